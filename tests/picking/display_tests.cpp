// Display bitmaps and markers on plain pixel buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>

#include "picking/display.h"
#include "tests/picking/test_pairs.h"

using namespace vistereo;
using namespace vistereo::pickingtest;

namespace {

// Positions of the 11 x 11 outline around (x, y).
std::set<std::pair<int, int>> outline(ViewPosition c) {
    std::set<std::pair<int, int>> s;
    for (int dy = -5; dy <= 5; ++dy)
        for (int dx = -5; dx <= 5; ++dx)
            if (dx == -5 || dx == 5 || dy == -5 || dy == 5) s.insert({c.x + dx, c.y + dy});
    return s;
}

// Positions where the bitmap differs from the view's colours; all must be red.
std::set<std::pair<int, int>> changedPixels(const DisplayBitmap& bitmap, const cv::Mat& view) {
    std::set<std::pair<int, int>> s;
    for (int y = 0; y < bitmap.height; ++y)
        for (int x = 0; x < bitmap.width; ++x) {
            const cv::Vec3b p = view.at<cv::Vec3b>(y, x);
            if (bitmap.pixel(x, y) != displayColour(p[2], p[1], p[0])) {
                EXPECT_EQ(bitmap.pixel(x, y), kMarkerColour) << x << "," << y;
                s.insert({x, y});
            }
        }
    return s;
}

TEST(DisplayBitmap, StoresTrueColoursAsBlueGreenRedZero) {
    struct {
        cv::Vec3b bgr;                // as the view holds it
        unsigned char bytes[4];       // as the bitmap stores it
    } const cases[] = {
        {{255, 0, 0}, {255, 0, 0, 0}},  // blue
        {{0, 255, 0}, {0, 255, 0, 0}},  // green
        {{0, 0, 255}, {0, 0, 255, 0}},  // red
        {{1, 2, 3}, {1, 2, 3, 0}},
    };
    for (const auto& c : cases) {
        const cv::Mat view(1, 1, CV_8UC3, cv::Scalar(c.bgr[0], c.bgr[1], c.bgr[2]));
        const DisplayBitmap bitmap = MakeDisplayBitmap(view, 1, 1);
        unsigned char bytes[4];
        std::memcpy(bytes, &bitmap.pixels[0], 4);
        EXPECT_EQ(0, std::memcmp(bytes, c.bytes, 4)) << int(bytes[0]) << " " << int(bytes[1]) << " "
                                                      << int(bytes[2]) << " " << int(bytes[3]);
    }
    unsigned char red[4];
    std::memcpy(red, &kMarkerColour, 4);
    EXPECT_EQ(red[2], 255);
    EXPECT_EQ(red[0] + red[1] + red[3], 0);
}

TEST(DisplayBitmap, TakesTheViewSizeNotTheResizedImageSize) {
    const cv::Mat view = noiseImage(1024, 683, 11);
    const DisplayBitmap bitmap = MakeDisplayBitmap(view, 1024, 682);
    ASSERT_EQ(bitmap.width, 1024);
    ASSERT_EQ(bitmap.height, 682);
    ASSERT_EQ(bitmap.pixels.size(), 1024u * 682u);
    EXPECT_TRUE(changedPixels(bitmap, view).empty());
    const cv::Vec3b topLeft = view.at<cv::Vec3b>(0, 0), bottomRight = view.at<cv::Vec3b>(681, 1023);
    EXPECT_EQ(bitmap.pixels.front(), displayColour(topLeft[2], topLeft[1], topLeft[0]));
    EXPECT_EQ(bitmap.pixels.back(), displayColour(bottomRight[2], bottomRight[1], bottomRight[0]));
}

struct Press {
    ImagePoint left, right;
    ViewPosition leftMarker, rightMarker;  // trunc(point x scale)
};

TEST(Markers, EachPressLeavesExactlyOneOutlinePerBitmap) {
    // Views of a 6000 x 4000 pair: left scale 1024/6000, right 512/6000. The
    // noise stays below 200 so no view pixel is marker red by chance.
    const double leftScale = 1024.0 / 6000.0, rightScale = 512.0 / 6000.0;
    const cv::Mat leftView = noiseImage(1024, 683, 12, 0, 200), rightView = noiseImage(512, 342, 13, 0, 200);
    DisplayBitmap leftBitmap = MakeDisplayBitmap(leftView, 1024, 682);
    DisplayBitmap rightBitmap = MakeDisplayBitmap(rightView, 512, 341);
    MarkerState state;

    const Press presses[] = {
        {{58, 58}, {3001, 2000}, {9, 9}, {256, 170}},
        {{3003, 1503}, {2960, 1490}, {512, 256}, {252, 127}},
        {{3030, 1520}, {3010, 1530}, {517, 259}, {256, 130}},  // overlaps the previous pair
        {{5940, 3940}, {5882, 3882}, {1013, 672}, {501, 331}},
    };
    for (const Press& p : presses) {
        SCOPED_TRACE(std::to_string(p.left.x) + "," + std::to_string(p.left.y));
        UpdateMarkers(state, {leftBitmap, leftView, leftScale}, p.left, {rightBitmap, rightView, rightScale}, p.right);
        EXPECT_TRUE(state.markersShown);
        EXPECT_EQ(state.leftMarker, p.leftMarker);
        EXPECT_EQ(state.rightMarker, p.rightMarker);
        const auto leftChanged = changedPixels(leftBitmap, leftView);
        const auto rightChanged = changedPixels(rightBitmap, rightView);
        EXPECT_EQ(leftChanged.size(), 40u);
        EXPECT_EQ(rightChanged.size(), 40u);
        EXPECT_EQ(leftChanged, outline(p.leftMarker));
        EXPECT_EQ(rightChanged, outline(p.rightMarker));
        EXPECT_EQ(leftChanged.count({p.leftMarker.x, p.leftMarker.y}), 0u);  // centre untouched
    }
}

TEST(Markers, EraseRestoresTheWholeBlock) {
    const cv::Mat view = noiseImage(64, 48, 14);
    DisplayBitmap bitmap = MakeDisplayBitmap(view, 64, 48);
    // Scribble inside the block too: erasing puts all 121 pixels back.
    for (int y = 15; y <= 25; ++y)
        for (int x = 25; x <= 35; ++x) bitmap.pixel(x, y) = 0x00123456;
    DrawMarker(bitmap, {30, 20});
    EraseMarker(bitmap, view, {30, 20});
    EXPECT_TRUE(changedPixels(bitmap, view).empty());
}

}  // namespace
