// View sizing, click acceptance, matching on a fisheye pair with a known turn, the strip search against
// cv::matchTemplate, display bitmaps and markers.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <tuple>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "picking/display.h"
#include "picking/matching.h"
#include "picking/template_search.h"
#include "tests/support/synth.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

// 1600 x 1200 equisolid pair, the right camera turned by 2 degrees of yaw, 1 of pitch and 0.5 of roll.
struct FisheyePair {
    SynthLens lens = SynthLens::equisolid(1600, 1200);
    RotationMatrix turn = rotationFromYawPitchRoll(2.0, 1.0, 0.5);
    cv::Mat left = renderFisheye(panorama(), lens, {}), right = renderFisheye(panorama(), lens, turn);
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

TEST(TemplateSearch, ScoreMapAndBestPlacementEqualMatchTemplateBitForBitAndTiesGoToTheFirst) {
    // Heights around the correlation block (237 result rows for 20 template rows): less than a block, one
    // block, a short tail folded into the last strip, a tail of a block and more; 600 columns, three blocks
    // across with a partial last one.
    const FisheyePair& pair = fisheyePair();
    const cv::Mat templ = pair.left(cv::Rect(700 - kTemplateOffset, 500 - kTemplateOffset, kTemplateSize, kTemplateSize)).clone();
    const struct { int rows; TemplateSearchOptions options; } cases[] = {
        {1200, {3, 1}}, {1200, {2, 3}}, {250, {2, 1}}, {256, {2, 1}}, {500, {2, 1}}, {493, {2, 1}}, {731, {2, 1}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.rows << " rows, " << c.options.threads << " threads, "
                                          << c.options.blocksPerStrip << " blocks per strip");
        const cv::Mat image = pair.right(cv::Rect(0, 0, 600, c.rows)).clone();
        cv::Mat expected, got = templateScoreMap(image, templ, c.options);
        cv::matchTemplate(image, templ, expected, cv::TM_SQDIFF);
        ASSERT_TRUE(got.size() == expected.size() && got.type() == expected.type());
        int differingRows = 0;
        for (int y = 0; y < got.rows; ++y) differingRows += std::memcmp(got.ptr(y), expected.ptr(y), got.cols * got.elemSize()) != 0;
        EXPECT_EQ(differingRows, 0);
        const TemplateSearchResult best = searchTemplate(image, templ, c.options), want = searchTemplateReference(image, templ);
        EXPECT_TRUE(best.location == want.location && best.score == want.score) << best.location.x << "," << best.location.y << " " << want.location.x << "," << want.location.y;
    }
    // Equal scores: copies of a block in several strips; the first in row-major order has one a row lower further left.
    cv::Mat repeated = noiseImage(700, 900, 7);
    const cv::Mat block = noiseImage(20, 20, 8);
    for (const cv::Point& c : {cv::Point{600, 250}, {20, 251}, {300, 700}, {5, 880}}) block.copyTo(repeated(cv::Rect(c.x, c.y, 20, 20)));
    for (int threads : {1, 2, 4}) EXPECT_EQ(searchTemplate(repeated, block, {threads, 1}).location, (ImagePoint{600, 250})) << threads;
    EXPECT_EQ(searchTemplateReference(repeated, block).location, (ImagePoint{600, 250}));
}

TEST(MatchLeftPoint, ImageAndRightViewMarginsATooSmallRightImageAndClicks) {
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
    const MatchOutcome inside = matchLeftPoint(moved, {310, 400}), far = matchLeftPoint(moved, {700, 400});
    EXPECT_TRUE(inside.refusal == R::OutsideRightView && inside.rightPoint == ImagePoint(10, 400));
    EXPECT_TRUE(far.accepted() && far.rightPoint == ImagePoint(400, 400)) << describeRefusal(far.refusal);
    // A right image smaller than the template refuses every point; in a 20 x 20 one the only placement is its
    // top-left pixel.
    const cv::Mat left = noiseImage(200, 200, 5);
    for (auto [width, height] : {std::pair{0, 0}, {19, 19}, {19, 100}, {100, 19}, {1, 1}, {20, 20}}) {
        const PickingImages pair = makePickingImages(left, width ? noiseImage(width, height, 6) : cv::Mat());
        const R expected = width == 20 ? R::None : R::RightImageTooSmall;
        EXPECT_EQ(matchLeftPoint(pair, {100, 100}).refusal, expected) << width << " x " << height;
        EXPECT_EQ(MatchClickedPoint(pair, 500, 500).refusal, expected) << width << " x " << height;
        EXPECT_TRUE(width != 20 || matchLeftPoint(pair, {100, 100}).rightPoint == ImagePoint(10, 10));
    }
    // The left view's margin is 10 pixels, inclusive: a 1200 x 800 image shows as 1024 x 682.
    const cv::Mat wide = noiseImage(1200, 800, 1);
    const PickingImages same = makePickingImages(wide, wide.clone());
    for (auto [x, y, passes] : {std::tuple{10, 10, true}, {9, 10, false}, {10, 9, false}, {1014, 672, true},
                                {1015, 672, false}, {1014, 673, false}})
        EXPECT_EQ(MatchClickedPoint(same, x, y).refusal != R::OutsideLeftView, passes) << x << "," << y;
    // A click truncates to image pixels: view (10, 10) at scale 1024 / 6000 is (58, 58), kept although the
    // right image is too small to match; an enlarged 500 x 400 image shows it as (4, 4), inside the image margin.
    const MatchOutcome small = MatchClickedPoint(makePickingImages(cv::Mat::zeros(4000, 6000, CV_8UC3), cv::Mat::zeros(12, 12, CV_8UC3)), 10, 10);
    EXPECT_TRUE(small.refusal == R::RightImageTooSmall && small.leftPoint == ImagePoint(58, 58));
    const cv::Mat enlarged = noiseImage(500, 400, 2);
    const MatchOutcome near = MatchClickedPoint(makePickingImages(enlarged, enlarged.clone()), 10, 10);
    EXPECT_TRUE(near.refusal == R::OutsideLeftImage && near.leftPoint == ImagePoint(4, 4));
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

TEST(Markers, BitmapsTakeTheViewAndEachPressLeavesExactlyOneOutlineThatEraseRestores) {
    // Views of a 6000 x 4000 pair (noise below 200, so no view pixel is marker red by chance).
    const cv::Mat leftView = noiseImage(1024, 683, 12, 200), rightView = noiseImage(512, 342, 13, 200);
    DisplayBitmap leftBitmap = MakeDisplayBitmap(leftView, 1024, 682), rightBitmap = MakeDisplayBitmap(rightView, 512, 341);
    ASSERT_TRUE(leftBitmap.width == 1024 && leftBitmap.height == 682 && leftBitmap.pixels.size() == 1024u * 682u);
    EXPECT_TRUE(changedPixels(leftBitmap, leftView).empty() && changedPixels(rightBitmap, rightView).empty());
    const unsigned char bgr0[4] = {leftView.at<cv::Vec3b>(0, 0)[0], leftView.at<cv::Vec3b>(0, 0)[1], leftView.at<cv::Vec3b>(0, 0)[2], 0};
    const unsigned char red[4] = {0, 0, 255, 0};  // a bitmap pixel is blue, green, red, 0 in memory
    EXPECT_TRUE(std::memcmp(&leftBitmap.pixels[0], bgr0, 4) == 0 && std::memcmp(&kMarkerColour, red, 4) == 0);
    const auto outline = [](ImagePoint c) {
        std::set<std::pair<int, int>> s;
        for (int d = -5; d <= 5; ++d) s.insert({{c.x + d, c.y - 5}, {c.x + d, c.y + 5}, {c.x - 5, c.y + d}, {c.x + 5, c.y + d}});
        return s;
    };
    MarkerState state;
    const struct { ImagePoint left, right, leftMarker, rightMarker; } presses[] = {
        {{58, 58}, {3001, 2000}, {9, 9}, {256, 170}},           {{3003, 1503}, {2960, 1490}, {512, 256}, {252, 127}},
        {{3030, 1520}, {3010, 1530}, {517, 259}, {256, 130}},   {{5940, 3940}, {5882, 3882}, {1013, 672}, {501, 331}}};
    for (const auto& p : presses) {  // the third overlaps the second
        UpdateMarkers(state, {leftBitmap, leftView, 1024.0 / 6000}, p.left, {rightBitmap, rightView, 512.0 / 6000}, p.right);
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
