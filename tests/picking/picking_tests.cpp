// View sizing, click acceptance, matching on a fisheye pair with a known turn, the strip search against
// cv::matchTemplate, display bitmaps and markers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "picking/display.h"
#include "picking/matching.h"
#include "picking/template_search.h"
#include "tests/support/synth.h"

using namespace vistereo;

namespace {

// 1600 x 1200 equisolid pair, the right camera turned by 2 degrees of yaw, 1 of pitch and 0.5 of roll.
struct FisheyePair {
    testsupport::SynthLens lens = testsupport::SynthLens::equisolid(1600, 1200);
    testsupport::Rotation turn = testsupport::Rotation::fromYawPitchRoll(2.0, 1.0, 0.5);
    cv::Mat left = renderFisheye(testsupport::panorama(), lens, {});
    cv::Mat right = renderFisheye(testsupport::panorama(), lens, turn);
    // Where the scene point shown at left pixel p appears in the right image.
    std::optional<cv::Point2d> truthOf(ImagePoint p) const {
        const Vec3 world = cameraDirectionOfPixel(lens, p.x, p.y);
        if (std::isnan(world.x)) return std::nullopt;
        return pixelOfCameraDirection(lens, turn.inverse().apply(world));
    }
};
const FisheyePair& fisheyePair() {
    static const FisheyePair pair;
    return pair;
}

cv::Mat noiseImage(int width, int height, int seed, int high = 256) {
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG(static_cast<uint64>(seed)).fill(image, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(high));
    return image;
}

cv::Rect templateRect(ImagePoint p) {
    return {p.x - kTemplateOffset, p.y - kTemplateOffset, kTemplateSize, kTemplateSize};
}

TEST(TemplateSearch, ScoreMapEqualsMatchTemplateBitForBit) {
    // Heights around the correlation block (237 result rows for 20 template rows): less than a block, one
    // block, a short tail folded into the last strip, a tail of a block and more.
    const FisheyePair& pair = fisheyePair();
    const cv::Mat templ = pair.left(templateRect({700, 500})).clone();
    const struct { int rows; TemplateSearchOptions options; } cases[] = {
        {1200, {2, 2}}, {1200, {1, 1}}, {1200, {3, 1}}, {1200, {2, 3}}, {250, {2, 1}},
        {256, {2, 1}},  {500, {2, 1}},  {493, {2, 1}},  {731, {2, 1}}};
    for (const auto& c : cases) {
        const cv::Mat image = pair.right.rowRange(0, c.rows);
        cv::Mat expected, got = templateScoreMap(image, templ, c.options);
        cv::matchTemplate(image, templ, expected, cv::TM_SQDIFF);
        ASSERT_TRUE(got.size() == expected.size() && got.type() == expected.type()) << c.rows << " rows";
        int differingRows = 0;
        for (int y = 0; y < got.rows; ++y)
            differingRows += std::memcmp(got.ptr(y), expected.ptr(y), got.cols * got.elemSize()) != 0;
        EXPECT_EQ(differingRows, 0) << c.rows << " rows, " << c.options.threads << " threads, "
                                    << c.options.blocksPerStrip << " blocks per strip";
    }
}

TEST(TemplateSearch, AgreesWithTheReferenceOnAGridOfATurnedPair) {
    // Textured or not, including the black corners outside the image circle and the plain sky.
    const FisheyePair& pair = fisheyePair();
    for (int y = 30; y < 1180; y += 230)
        for (int x = 30; x < 1580; x += 260) {
            const cv::Mat templ = pair.left(templateRect({x, y})).clone();
            const TemplateSearchResult want = searchTemplateReference(pair.right, templ);
            const TemplateSearchResult got = searchTemplate(pair.right, templ);
            EXPECT_TRUE(got.location == want.location && got.score == want.score)
                << x << "," << y << ": " << got.location << " " << got.score << " instead of " << want.location;
        }
}

TEST(TemplateSearch, EqualScoresGiveTheFirstInRowMajorOrder) {
    const cv::Mat uniform(900, 700, CV_8UC3, cv::Scalar(140, 170, 200)), flat = uniform(cv::Rect(300, 400, 20, 20));
    EXPECT_EQ(searchTemplate(uniform, flat.clone()).location, searchTemplateReference(uniform, flat.clone()).location);
    // Copies of a block in several strips; the first in row-major order has one a row lower further left.
    cv::Mat repeated = noiseImage(700, 900, 7);
    const cv::Mat block = noiseImage(20, 20, 8);
    for (const cv::Point& c : {cv::Point{600, 250}, {20, 251}, {300, 700}, {5, 880}})
        block.copyTo(repeated(cv::Rect(c.x, c.y, 20, 20)));
    for (int threads : {1, 2, 4})
        EXPECT_EQ(searchTemplate(repeated, block, {threads, 1}).location, cv::Point(600, 250)) << threads;
    EXPECT_EQ(searchTemplateReference(repeated, block).location, cv::Point(600, 250));
}

TEST(FitToView, SizesViewsByTheLongerSide) {
    const struct { int width, height, limit; double scale; int viewWidth, viewHeight; } cases[] = {
        {6000, 4000, 1024, 1024.0 / 6000.0, 1024, 682}, {4000, 6000, 1024, 1024.0 / 6000.0, 682, 1024},
        {6000, 4000, 512, 512.0 / 6000.0, 512, 341},    {1024, 1024, 1024, 1.0, 1024, 1024},
        {500, 400, 1024, 2.048, 1024, 819},              {0, 0, 1024, 0.0, 0, 0},
        // Squares whose width x scale falls just below the limit.
        {49, 49, 1024, 1024.0 / 49, 1023, 1024},   {98, 98, 1024, 1024.0 / 98, 1023, 1024},
        {103, 103, 1024, 1024.0 / 103, 1023, 1024}, {107, 107, 1024, 1024.0 / 107, 1023, 1024},
        {49, 49, 512, 512.0 / 49, 511, 512},       {98, 98, 512, 512.0 / 98, 511, 512},
        {103, 103, 512, 512.0 / 103, 511, 512},    {107, 107, 512, 512.0 / 107, 511, 512}};
    for (const auto& c : cases) {
        const ViewGeometry g = FitToView(c.width, c.height, c.limit);
        EXPECT_TRUE(g.scale == c.scale && g.width == c.viewWidth && g.height == c.viewHeight)
            << c.width << " x " << c.height << " limit " << c.limit << ": " << g.width << " x " << g.height;
    }
    const cv::Mat view = makeView(cv::Mat(4000, 6000, CV_8UC3, cv::Scalar(1, 2, 3)), FitToView(6000, 4000, 1024));
    EXPECT_EQ(view.size(), cv::Size(1024, 683));  // cv::resize rounds: one row more than the view shows
}

TEST(MatchClickedPoint, ViewMarginIsTenPixelsInclusiveAndClicksTruncate) {
    // Identical 1200 x 800 noise pair at scale 1024 / 1200: a click past the view test finds its own point.
    const cv::Mat image = noiseImage(1200, 800, 1);
    const PickingImages images = makePickingImages(image, image.clone());
    ASSERT_EQ(images.left.height, 682);
    const struct { int x, y; bool passes; } clicks[] = {
        {10, 10, true}, {9, 10, false}, {10, 9, false}, {1014, 672, true}, {1015, 672, false}, {1014, 673, false},
        {-5, 300, false}, {500, 300, true}};
    for (const auto& c : clicks) {
        const MatchOutcome m = MatchClickedPoint(images, c.x, c.y);
        EXPECT_EQ(m.refusal != MatchRefusal::OutsideLeftView, c.passes) << c.x << "," << c.y;
        const ImagePoint p{static_cast<int>(c.x / images.left.scale), static_cast<int>(c.y / images.left.scale)};
        EXPECT_TRUE(!c.passes || (m.leftPoint == p && (!m.accepted() || m.rightPoint == p))) << c.x << "," << c.y;
    }
    EXPECT_TRUE(MatchClickedPoint(images, 500, 300).accepted());
    // 10 / (1024 / 6000) = 58.59 gives (58, 58), kept although the right image is too small to match; an
    // enlarged 500 x 400 image shows view (10, 10) as image (4, 4), inside the image margin.
    const PickingImages tiny = makePickingImages(cv::Mat::zeros(4000, 6000, CV_8UC3), cv::Mat::zeros(12, 12, CV_8UC3));
    const MatchOutcome small = MatchClickedPoint(tiny, 10, 10);
    EXPECT_TRUE(small.refusal == MatchRefusal::RightImageTooSmall && small.leftPoint == ImagePoint(58, 58));
    const cv::Mat enlarged = noiseImage(500, 400, 2);
    const MatchOutcome near = MatchClickedPoint(makePickingImages(enlarged, enlarged.clone()), 10, 10);
    EXPECT_TRUE(near.refusal == MatchRefusal::OutsideLeftImage && near.leftPoint == ImagePoint(4, 4));
}

TEST(MatchLeftPoint, ImageAndRightViewMargins) {
    // Identical 1024 x 768 noise pair: the right point is the left one, the right view is 512 x 384 at scale
    // 0.5, so a match is accepted for 20 <= x <= 1004 and 20 <= y <= 748.
    const cv::Mat image = noiseImage(1024, 768, 3);
    const PickingImages images = makePickingImages(image, image.clone());
    using R = MatchRefusal;
    const struct { ImagePoint left; R refusal; } cases[] = {
        {{9, 400}, R::OutsideLeftImage},   {{400, 9}, R::OutsideLeftImage},   {{1015, 400}, R::OutsideLeftImage},
        {{400, 759}, R::OutsideLeftImage}, {{10, 10}, R::OutsideRightView},   {{1014, 758}, R::OutsideRightView},
        {{19, 400}, R::OutsideRightView},  {{20, 400}, R::None},              {{400, 19}, R::OutsideRightView},
        {{400, 20}, R::None},              {{1004, 400}, R::None},            {{1005, 400}, R::OutsideRightView},
        {{400, 748}, R::None},             {{400, 749}, R::OutsideRightView}};
    for (const auto& c : cases) {
        const MatchOutcome m = matchLeftPoint(images, c.left);
        EXPECT_EQ(m.refusal, c.refusal) << c.left.x << "," << c.left.y << ": " << describeRefusal(m.refusal);
        EXPECT_TRUE(c.refusal == R::OutsideLeftImage || m.rightPoint == c.left) << c.left.x << "," << c.left.y;
    }
    // The right image is the left moved 300 pixels left: left x = 310 matches right x = 10, inside the margin.
    const PickingImages moved = makePickingImages(image, image(cv::Rect(300, 0, 724, 768)).clone());
    const MatchOutcome near = matchLeftPoint(moved, {310, 400}), far = matchLeftPoint(moved, {700, 400});
    EXPECT_TRUE(near.refusal == R::OutsideRightView && near.rightPoint == ImagePoint(10, 400));
    EXPECT_TRUE(far.accepted() && far.rightPoint == ImagePoint(400, 400)) << describeRefusal(far.refusal);
}

TEST(MatchLeftPoint, RightImageSmallerThanTheTemplateRefusesEveryPoint) {
    const cv::Mat left = noiseImage(200, 200, 5);
    for (auto [width, height] : {std::pair{0, 0}, {19, 19}, {19, 100}, {100, 19}, {1, 1}, {20, 20}}) {
        const PickingImages images = makePickingImages(left, width ? noiseImage(width, height, 6) : cv::Mat());
        const MatchRefusal expected = width == 20 ? MatchRefusal::None : MatchRefusal::RightImageTooSmall;
        EXPECT_EQ(matchLeftPoint(images, {100, 100}).refusal, expected) << width << " x " << height;
        EXPECT_EQ(MatchClickedPoint(images, 500, 500).refusal, expected) << width << " x " << height;
    }
    // The only placement in a 20 x 20 right image is its top-left pixel.
    const MatchOutcome only = matchLeftPoint(makePickingImages(left, noiseImage(20, 20, 6)), {100, 100});
    EXPECT_EQ(only.rightPoint, (ImagePoint{10, 10}));
}

TEST(MatchLeftPoint, FindsTheTruePartnerInATurnedPair) {
    // Textured points of the inner image circle: at least 95 % land within 2 pixels of the known turn's truth.
    const FisheyePair& pair = fisheyePair();
    const PickingImages images = makePickingImages(pair.left, pair.right);
    int tried = 0, close = 0;
    for (int y = 120; y < 1100; y += 50)
        for (int x = 280; x < 1340; x += 50) {
            cv::Scalar mean, sdv;
            cv::meanStdDev(pair.left(templateRect({x, y})), mean, sdv);
            const std::optional<cv::Point2d> truth = pair.truthOf({x, y});
            if (std::hypot(x - pair.lens.axisX, y - pair.lens.axisY) > 0.85 * pair.lens.radius180 ||
                sdv[0] + sdv[1] + sdv[2] < 25 || !truth)
                continue;
            const MatchOutcome m = matchLeftPoint(images, {x, y});
            ++tried;
            if (m.accepted() && std::hypot(m.rightPoint.x - truth->x, m.rightPoint.y - truth->y) <= 2.0) ++close;
        }
    ASSERT_GE(tried, 60);
    EXPECT_GE(close, 0.95 * tried) << close << " of " << tried;
}

// Positions where the bitmap differs from the view's colours; all must be marker red.
std::set<std::pair<int, int>> changedPixels(const DisplayBitmap& bitmap, const cv::Mat& view) {
    std::set<std::pair<int, int>> s;
    for (int y = 0; y < bitmap.height; ++y)
        for (int x = 0; x < bitmap.width; ++x) {
            const cv::Vec3b p = view.at<cv::Vec3b>(y, x);
            if (bitmap.pixel(x, y) == displayColour(p[2], p[1], p[0])) continue;
            EXPECT_EQ(bitmap.pixel(x, y), kMarkerColour) << x << "," << y;
            s.insert({x, y});
        }
    return s;
}

TEST(DisplayBitmap, StoresBlueGreenRedZeroAndTakesTheViewSize) {
    const struct { cv::Vec3b bgr; unsigned char bytes[4]; } cases[] = {
        {{255, 0, 0}, {255, 0, 0, 0}}, {{0, 255, 0}, {0, 255, 0, 0}}, {{0, 0, 255}, {0, 0, 255, 0}},
        {{1, 2, 3}, {1, 2, 3, 0}}};
    for (const auto& c : cases) {
        const DisplayBitmap bitmap = MakeDisplayBitmap(cv::Mat(1, 1, CV_8UC3, cv::Scalar(c.bgr)), 1, 1);
        EXPECT_EQ(std::memcmp(bitmap.pixels.data(), c.bytes, 4), 0) << std::hex << bitmap.pixels[0];
    }
    const unsigned char red[4] = {0, 0, 255, 0};
    EXPECT_EQ(std::memcmp(&kMarkerColour, red, 4), 0);
    const cv::Mat view = noiseImage(1024, 683, 11);  // a view one row higher than shown
    const DisplayBitmap bitmap = MakeDisplayBitmap(view, 1024, 682);
    ASSERT_TRUE(bitmap.width == 1024 && bitmap.height == 682 && bitmap.pixels.size() == 1024u * 682u);
    EXPECT_TRUE(changedPixels(bitmap, view).empty());
}

TEST(Markers, EachPressLeavesExactlyOneOutlinePerBitmapAndEraseRestoresTheBlock) {
    // Views of a 6000 x 4000 pair (noise below 200, so no view pixel is marker red by chance).
    const cv::Mat leftView = noiseImage(1024, 683, 12, 200), rightView = noiseImage(512, 342, 13, 200);
    DisplayBitmap leftBitmap = MakeDisplayBitmap(leftView, 1024, 682);
    DisplayBitmap rightBitmap = MakeDisplayBitmap(rightView, 512, 341);
    const auto outline = [](ViewPosition c) {
        std::set<std::pair<int, int>> s;
        for (int d = -5; d <= 5; ++d)
            s.insert({{c.x + d, c.y - 5}, {c.x + d, c.y + 5}, {c.x - 5, c.y + d}, {c.x + 5, c.y + d}});
        return s;
    };
    MarkerState state;
    const struct { ImagePoint left, right; ViewPosition leftMarker, rightMarker; } presses[] = {
        {{58, 58}, {3001, 2000}, {9, 9}, {256, 170}},           {{3003, 1503}, {2960, 1490}, {512, 256}, {252, 127}},
        {{3030, 1520}, {3010, 1530}, {517, 259}, {256, 130}},   {{5940, 3940}, {5882, 3882}, {1013, 672}, {501, 331}}};
    for (const auto& p : presses) {  // the third overlaps the second
        UpdateMarkers(state, {leftBitmap, leftView, 1024.0 / 6000}, p.left, {rightBitmap, rightView, 512.0 / 6000},
                      p.right);
        EXPECT_TRUE(state.markersShown && state.leftMarker == p.leftMarker && state.rightMarker == p.rightMarker);
        EXPECT_EQ(changedPixels(leftBitmap, leftView), outline(p.leftMarker)) << p.left.x;
        EXPECT_EQ(changedPixels(rightBitmap, rightView), outline(p.rightMarker)) << p.left.x;
    }
    for (int y = 15; y <= 25; ++y)  // scribbled inside the block too: erasing puts all 121 pixels back
        for (int x = 25; x <= 35; ++x) leftBitmap.pixel(x, y) = 0x00123456;
    DrawMarker(leftBitmap, {30, 20});
    EraseMarker(leftBitmap, leftView, {30, 20});
    EraseMarker(leftBitmap, leftView, state.leftMarker);
    EXPECT_TRUE(changedPixels(leftBitmap, leftView).empty());
}

}  // namespace
