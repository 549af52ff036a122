// View sizing, the three acceptance tests of a click, and matching on
// fisheye pairs with a known truth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "picking/matching.h"
#include "picking/template_search.h"
#include "tests/picking/test_pairs.h"

using namespace vistereo;
using namespace vistereo::pickingtest;

namespace {

struct FitCase {
    int width, height, limit;
    double scale;
    int viewWidth, viewHeight;
};

TEST(FitToView, SizesViewsByTheLongerSide) {
    const FitCase cases[] = {
        {6000, 4000, 1024, 1024.0 / 6000.0, 1024, 682},
        {4000, 6000, 1024, 1024.0 / 6000.0, 682, 1024},
        {6000, 4000, 512, 512.0 / 6000.0, 512, 341},
        {1024, 1024, 1024, 1.0, 1024, 1024},
        {500, 400, 1024, 2.048, 1024, 819},  // enlarged
        // Squares whose width x scale falls just below the limit.
        {49, 49, 1024, 1024.0 / 49, 1023, 1024},
        {98, 98, 1024, 1024.0 / 98, 1023, 1024},
        {103, 103, 1024, 1024.0 / 103, 1023, 1024},
        {107, 107, 1024, 1024.0 / 107, 1023, 1024},
        {49, 49, 512, 512.0 / 49, 511, 512},
        {98, 98, 512, 512.0 / 98, 511, 512},
        {103, 103, 512, 512.0 / 103, 511, 512},
        {107, 107, 512, 512.0 / 107, 511, 512},
        {0, 0, 1024, 0.0, 0, 0},  // no image: an empty view
    };
    for (const FitCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " limit " + std::to_string(c.limit));
        const ViewGeometry g = FitToView(c.width, c.height, c.limit);
        EXPECT_EQ(g.scale, c.scale);
        EXPECT_EQ(g.width, c.viewWidth);
        EXPECT_EQ(g.height, c.viewHeight);
    }
    EXPECT_NEAR(FitToView(6000, 4000, 1024).scale, 0.1706666, 1e-7);
}

TEST(FitToView, ResizedViewCanBeOneRowLargerThanTheView) {
    const cv::Mat image(4000, 6000, CV_8UC3, cv::Scalar(1, 2, 3));
    const ViewGeometry g = FitToView(image.cols, image.rows, kLeftViewLimit);
    const cv::Mat view = makeView(image, g);
    EXPECT_EQ(view.cols, 1024);
    EXPECT_EQ(view.rows, 683);
    EXPECT_EQ(g.height, 682);
}

struct ClickCase {
    const char* name;
    int dx, dy;             // from the corner named by fromFarEdge
    bool fromFarEdge;       // dx, dy counted back from (view width, view height)
    bool passesViewMargin;
};

TEST(MatchClickedPoint, ViewMarginIsTenPixelsInclusive) {
    // An identical textured pair: every click that gets past the view test
    // finds its own point again.
    const cv::Mat image = noiseImage(1200, 800, 1);
    const PickingImages images = makePickingImages(image, image.clone());
    ASSERT_EQ(images.left.width, 1024);
    ASSERT_EQ(images.left.height, 682);
    const ClickCase cases[] = {
        {"top-left corner", 10, 10, false, true},   {"one left of it", 9, 10, false, false},
        {"one above it", 10, 9, false, false},      {"bottom-right corner", 10, 10, true, true},
        {"one right of it", 9, 10, true, false},    {"one below it", 10, 9, true, false},
        {"negative position", -5, 300, false, false},
    };
    for (const ClickCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int cx = c.fromFarEdge ? images.left.width - c.dx : c.dx;
        const int cy = c.fromFarEdge ? images.left.height - c.dy : c.dy;
        const MatchOutcome m = MatchClickedPoint(images, cx, cy);
        EXPECT_EQ(m.refusal == MatchRefusal::OutsideLeftView, !c.passesViewMargin);
        if (c.passesViewMargin) {
            const ImagePoint expected{static_cast<int>(cx / images.left.scale), static_cast<int>(cy / images.left.scale)};
            EXPECT_EQ(m.leftPoint, expected);
        }
    }
    // Deep inside, the click is accepted and finds itself.
    const MatchOutcome inside = MatchClickedPoint(images, 500, 300);
    ASSERT_TRUE(inside.accepted()) << describeRefusal(inside.refusal);
    EXPECT_EQ(inside.rightPoint, inside.leftPoint);
}

TEST(MatchClickedPoint, ClickBecomesTruncatedImagePoint) {
    // 10 / (1024 / 6000) = 58.59...: the left point is (58, 58). The right
    // image is too small to match, which shows the left point is kept.
    const cv::Mat left(4000, 6000, CV_8UC3, cv::Scalar(0, 0, 0));
    const cv::Mat tinyRight(12, 12, CV_8UC3, cv::Scalar(0, 0, 0));
    const MatchOutcome m = MatchClickedPoint(makePickingImages(left, tinyRight), 10, 10);
    EXPECT_EQ(m.refusal, MatchRefusal::RightImageTooSmall);
    EXPECT_EQ(m.leftPoint, (ImagePoint{58, 58}));
}

TEST(MatchClickedPoint, EnlargedLeftImageRefusesAtTheImageMargin) {
    // 500 x 400 shows at scale 2.048: view (10, 10) is image (4, 4).
    const cv::Mat image = noiseImage(500, 400, 2);
    const MatchOutcome m = MatchClickedPoint(makePickingImages(image, image.clone()), 10, 10);
    EXPECT_EQ(m.refusal, MatchRefusal::OutsideLeftImage);
    EXPECT_EQ(m.leftPoint, (ImagePoint{4, 4}));
}

struct PointCase {
    const char* name;
    ImagePoint left;
    MatchRefusal refusal;
};

TEST(MatchLeftPoint, ImageAndRightViewMargins) {
    // Identical 1024 x 768 noise images: the right point equals the left one,
    // the right view has scale 0.5 and is 512 x 384, so a match is accepted
    // for 20 <= rx <= 1004 and 20 <= ry <= 748.
    const cv::Mat image = noiseImage(1024, 768, 3);
    const PickingImages images = makePickingImages(image, image.clone());
    ASSERT_EQ(images.right.scale, 0.5);
    const PointCase cases[] = {
        {"image margin, left", {9, 400}, MatchRefusal::OutsideLeftImage},
        {"image margin, top", {400, 9}, MatchRefusal::OutsideLeftImage},
        {"image margin, right", {1015, 400}, MatchRefusal::OutsideLeftImage},
        {"image margin, bottom", {400, 759}, MatchRefusal::OutsideLeftImage},
        {"inside image margin, right view refuses", {10, 10}, MatchRefusal::OutsideRightView},
        {"last image column, right view refuses", {1014, 758}, MatchRefusal::OutsideRightView},
        {"right view: one left of the margin", {19, 400}, MatchRefusal::OutsideRightView},
        {"right view: on the left margin", {20, 400}, MatchRefusal::None},
        {"right view: one above the margin", {400, 19}, MatchRefusal::OutsideRightView},
        {"right view: on the top margin", {400, 20}, MatchRefusal::None},
        {"right view: on the right margin", {1004, 400}, MatchRefusal::None},
        {"right view: one right of the margin", {1005, 400}, MatchRefusal::OutsideRightView},
        {"right view: on the bottom margin", {400, 748}, MatchRefusal::None},
        {"right view: one below the margin", {400, 749}, MatchRefusal::OutsideRightView},
    };
    for (const PointCase& c : cases) {
        SCOPED_TRACE(c.name);
        const MatchOutcome m = matchLeftPoint(images, c.left);
        EXPECT_EQ(m.refusal, c.refusal) << describeRefusal(m.refusal);
        if (m.refusal == MatchRefusal::None || m.refusal == MatchRefusal::OutsideRightView) {
            EXPECT_EQ(m.rightPoint, c.left);
        }
    }
}

TEST(MatchLeftPoint, RightViewMarginRefusesAGoodMatchNearTheEdge) {
    // The right image is the left one moved 300 pixels left: the partner of
    // left x = 310 is right x = 10, inside the right view's margin.
    const cv::Mat left = noiseImage(1024, 768, 4);
    const cv::Mat right = cv::Mat(left, cv::Rect(300, 0, 724, 768)).clone();
    const PickingImages images = makePickingImages(left, right);
    const MatchOutcome near = matchLeftPoint(images, {310, 400});
    EXPECT_EQ(near.refusal, MatchRefusal::OutsideRightView);
    EXPECT_EQ(near.rightPoint, (ImagePoint{10, 400}));
    const MatchOutcome far = matchLeftPoint(images, {700, 400});
    ASSERT_TRUE(far.accepted()) << describeRefusal(far.refusal);
    EXPECT_EQ(far.rightPoint, (ImagePoint{400, 400}));
}

TEST(MatchLeftPoint, RightImageSmallerThanTheTemplateRefusesEveryPoint) {
    const cv::Mat left = noiseImage(200, 200, 5);
    struct {
        int width, height;
        MatchRefusal refusal;
    } const cases[] = {
        {0, 0, MatchRefusal::RightImageTooSmall},   {19, 19, MatchRefusal::RightImageTooSmall},
        {19, 100, MatchRefusal::RightImageTooSmall}, {100, 19, MatchRefusal::RightImageTooSmall},
        {1, 1, MatchRefusal::RightImageTooSmall},   {20, 20, MatchRefusal::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        const cv::Mat right = c.width ? noiseImage(c.width, c.height, 6) : cv::Mat();
        const PickingImages images = makePickingImages(left, right);
        EXPECT_EQ(matchLeftPoint(images, {100, 100}).refusal, c.refusal);
        EXPECT_EQ(MatchClickedPoint(images, 500, 500).refusal, c.refusal);
    }
    // The only placement in a 20 x 20 right image is its top-left pixel.
    const MatchOutcome m = matchLeftPoint(makePickingImages(left, noiseImage(20, 20, 6)), {100, 100});
    EXPECT_EQ(m.rightPoint, (ImagePoint{10, 10}));
}

TEST(MatchClickedPoint, IdenticalCopyFindsTheSamePoint) {
    const FisheyePair& pair = fisheyePair();
    const PickingImages images = makePickingImages(pair.left, pair.left.clone());
    int tried = 0;
    // Rows around the horizon: near the top of the image circle the panorama's
    // pole repeats blocks exactly, and the first copy wins.
    for (int cy = 250; cy <= 650; cy += 100) {
        for (int cx = 250; cx <= 1100; cx += 170) {
            const ImagePoint p{static_cast<int>(cx / images.left.scale), static_cast<int>(cy / images.left.scale)};
            if (cx > images.left.width - 10 || cy > images.left.height - 10 || templateTexture(pair.left, p) < 20)
                continue;
            const MatchOutcome m = MatchClickedPoint(images, cx, cy);
            ASSERT_TRUE(m.accepted()) << describeRefusal(m.refusal) << " at " << cx << "," << cy;
            EXPECT_EQ(m.leftPoint, p);
            EXPECT_EQ(m.rightPoint, p) << "click " << cx << "," << cy;
            ++tried;
        }
    }
    EXPECT_GE(tried, 8);
}

TEST(MatchLeftPoint, FindsTheTruePartnerInATurnedPair) {
    // Left points on a grid over the inner image circle, textured blocks
    // only; each is matched and compared with where the known turn puts it.
    // At least 95 % must land within 2 pixels of the truth.
    const FisheyePair& pair = fisheyePair();
    const PickingImages images = makePickingImages(pair.left, pair.right);
    int tried = 0, close = 0;
    std::vector<std::string> misses;
    for (int y = 120; y < 1100; y += 50) {
        for (int x = 280; x < 1340; x += 50) {
            const ImagePoint p{x, y};
            const double r = std::hypot(x - pair.lens.axisX, y - pair.lens.axisY);
            if (r > 0.85 * pair.lens.radius180 || templateTexture(pair.left, p) < 25) continue;
            const std::optional<cv::Point2d> truth = pair.truthOf(p);
            if (!truth) continue;
            const MatchOutcome m = matchLeftPoint(images, p);
            ++tried;
            const double err = m.accepted() ? std::hypot(m.rightPoint.x - truth->x, m.rightPoint.y - truth->y) : -1;
            if (m.accepted() && err <= 2.0) {
                ++close;
            } else {
                char line[200];
                std::snprintf(line, sizeof line, "left (%d,%d) truth (%.1f,%.1f) got (%d,%d) %s error %.1f", x, y,
                              truth->x, truth->y, m.rightPoint.x, m.rightPoint.y, describeRefusal(m.refusal), err);
                misses.push_back(line);
            }
        }
    }
    std::printf("turned pair: %d of %d textured points within 2 px of the truth\n", close, tried);
    for (const std::string& miss : misses) std::printf("  miss: %s\n", miss.c_str());
    ASSERT_GE(tried, 60);
    EXPECT_GE(close, 0.95 * tried);
}

}  // namespace
