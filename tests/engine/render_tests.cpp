// Sampling, the zenith rotation, the alignment and both renderers.
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "engine/render.h"
#include "tests/engine/fixtures.h"
#include "tests/support/synth.h"

namespace vistereo {
namespace {

using testing::lensOfKind;
using testing::texturedImage;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kDegree = kPi / 180.0;

TEST(SampleBilinear, EdgesFractionsAndOutsidePositions) {
    // 6 x 12 pixels; channel k of (row y, column x) is 10 y + x + 50 k.
    cv::Mat src(12, 6, CV_8UC3);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 6; ++x) src.at<cv::Vec3b>(y, x) = cv::Vec3b(10 * y + x, 10 * y + x + 50, 10 * y + x + 100);
    const struct { double column, row; int b, g, r; const char* why; } cases[] = {
        {5.0, 11.0, 115, 165, 215, "last pixel: weight only on P00"},
        {5.5, 10.25, 53, 78, 103, "half past the last column: darkened by half"},
        {1.25, 2.5, 26, 76, 126, "inside: a linear ramp blends exactly"},
        {-0.0, 1.0, 10, 60, 110, "minus zero is column 0"},
        {-0.5, 3.0, 0, 0, 0, "column between -1 and 0"},
        {3.0, -0.25, 0, 0, 0, "row between -1 and 0"},
        {-1.0, 3.0, 0, 0, 0, "column -1"},
        {6.0, 3.0, 0, 0, 0, "column W"},
        {3.0, 12.0, 0, 0, 0, "row H"},
        {kNaN, 3.0, 0, 0, 0, "NaN column"},
        {3.0, kNaN, 0, 0, 0, "NaN row"},
        {3e9, 2.0, 0, 0, 0, "beyond int32"},
        {2.0, -3e9, 0, 0, 0, "below int32"},
    };
    for (const auto& c : cases) {
        const Pixel3 p = sampleBilinear(src, 6, 12, c.column, c.row);
        EXPECT_EQ(p.c[0], c.b) << c.why;
        EXPECT_EQ(p.c[1], c.g) << c.why;
        EXPECT_EQ(p.c[2], c.r) << c.why;
    }
}

// Pitch about x, then roll about y, then yaw about z, checked as directions
// worked out by hand at the centre of a half and 45 degrees right of it.
TEST(ZenithDirection, RotationsApplyPitchThenRollThenYaw) {
    const double s10 = std::sin(10 * kDegree), c10 = std::cos(10 * kDegree), h = std::sqrt(0.5);
    const struct { int pitch, roll, yaw, i, j; Vec3 expected; const char* why; } cases[] = {
        {0, 0, 0, 180, 180, {0, 1, 0}, "straight ahead"},
        {0, 0, 0, 0, 97, {0, 0, 1}, "top row looks straight up"},
        {0, 0, 0, 180, 0, {-1, 0, 0}, "left edge of the horizon"},
        {100, 0, 0, 180, 180, {0, c10, s10}, "pitch lifts the view"},
        {-100, 0, 0, 180, 180, {0, c10, -s10}, "negative pitch lowers it"},
        {0, 0, 100, 180, 180, {s10, c10, 0}, "yaw turns right"},
        {0, 100, 0, 180, 180, {0, 1, 0}, "roll keeps the centre"},
        {0, 100, 0, 180, 270, {h * c10, h, h * s10}, "roll lifts the right side"},
        {0, -100, 0, 180, 270, {h * c10, h, -h * s10}, "negative roll lowers it"},
        {100, 0, 100, 180, 180, {s10 * c10, c10 * c10, s10}, "pitch before yaw"},
        {100, 100, 0, 180, 180, {-s10 * s10, c10, c10 * s10}, "pitch before roll"},
    };
    for (const auto& c : cases) {
        ConversionParams p;
        p.outputHeight = 360;
        setZenithTenths(p, ZenithAxis::Pitch, c.pitch);
        setZenithTenths(p, ZenithAxis::Roll, c.roll);
        setZenithTenths(p, ZenithAxis::Yaw, c.yaw);
        const Vec3 d = zenithDirection(p, c.i, c.j);
        EXPECT_NEAR(d.x, c.expected.x, 1e-7) << c.why;
        EXPECT_NEAR(d.y, c.expected.y, 1e-7) << c.why;
        EXPECT_NEAR(d.z, c.expected.z, 1e-7) << c.why;
    }
    ConversionParams p;
    p.outputHeight = 360;
    setZenithTenths(p, ZenithAxis::Pitch, 100);
    setZenithTenths(p, ZenithAxis::Yaw, 100);
    const Vec3 d = zenithDirection(p, 180, 180);
    EXPECT_NEAR(d.x, 0.17101, 1e-5);
    EXPECT_NEAR(d.y, 0.96985, 1e-5);
    EXPECT_NEAR(d.z, 0.17365, 1e-5);
}

// A stereo pair of textured images and settings with every part switched on.
struct Scene {
    ConversionParams params;
    cv::Mat left, right;
};

Scene texturedScene(int kind, int n) {
    Scene s;
    s.left = texturedImage(360, 280, 11);
    s.right = texturedImage(360, 280, 12);
    ConversionParams& p = s.params;
    p.outputHeight = n;
    for (int i : {0, 1}) {
        p.eye[i] = lensOfKind(kind, 360, 280);
        if (kind == kQuadratic) testing::prepareQuadratic(p, i);
    }
    p.leftA = {130, 120}, p.leftB = {230, 170}, p.rightA = {121, 124}, p.rightB = {222, 171};
    setZenithTenths(p, ZenithAxis::Roll, 23);
    setZenithTenths(p, ZenithAxis::Pitch, -41);
    setZenithTenths(p, ZenithAxis::Yaw, 17);
    return s;
}

bool identical(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

// Renders both halves on 1, 2, 3 and 7 threads, on canvases filled with 0
// and with 255 (a pixel left unwritten would show), and compares with the
// per-pixel path: the exact mode byte for byte, the default mode within 1 in
// at most one byte in 10,000, and the same bytes on every thread count.
void checkAgainstReference(const ConversionParams& params, const cv::Mat& left, const cv::Mat& right, bool exact) {
    const int n = params.outputHeight;
    cv::Mat expected(n, 2 * n, CV_8UC3), first;
    reference::renderRightEyeAligned(params, right, expected);
    reference::renderLeftEye(params, left, expected);
    for (const cv::Mat& half : {expected.colRange(0, n), expected.colRange(n, 2 * n)})
        ASSERT_GT(cv::countNonZero(half.reshape(1)), half.total() * 3 / 2) << "the scene should show texture";
    for (int threads : {1, 2, 3, 7}) {
        for (int fill : {0x00, 0xFF}) {
            const cv::Mat blank(n, 2 * n, CV_8UC3, cv::Scalar::all(fill));
            cv::Mat out = blank.clone();
            renderLeftEye(params, left, out, {threads, {}, exact});
            EXPECT_TRUE(identical(out.colRange(n, 2 * n), blank.colRange(n, 2 * n))) << "left wrote into the right half";
            renderRightEyeAligned(params, right, out, {threads, {}, exact});
            if (first.empty()) first = out;
            EXPECT_TRUE(identical(out, first)) << threads << " threads, fill " << fill;
        }
    }
    cv::Mat diff;
    cv::absdiff(first, expected, diff);
    double largest = 0.0;
    cv::minMaxLoc(diff.reshape(1), nullptr, &largest);
    const int count = cv::countNonZero(diff.reshape(1));
    if (exact) {
        EXPECT_EQ(count, 0) << "the exact mode must give the reference's bytes";
    } else {
        EXPECT_LE(largest, 1.0);
        EXPECT_LE(count, expected.total() * 3 * 1e-4) << count << " bytes differ";
    }
}

class FastRenderer : public ::testing::TestWithParam<int> {};

TEST_P(FastRenderer, ExactModeGivesTheReferenceBytesOnAnyThreadCount) {
    const Scene s = texturedScene(GetParam(), 230);
    checkAgainstReference(s.params, s.left, s.right, true);
}

TEST_P(FastRenderer, DefaultModeStaysWithinOneLevelOfTheReference) {
    const Scene s = texturedScene(GetParam(), 230);
    checkAgainstReference(s.params, s.left, s.right, false);
}

// Same bits, or NaN on both sides.
bool sameBits(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// The exact mode must give the reference's positions to the last bit; the
// default mode the same positions up to rounding.
TEST_P(FastRenderer, ComputesTheReferencePositions) {
    const Scene s = texturedScene(GetParam(), 230);
    for (bool exact : {true, false}) {
        int differing = 0;
        for (Half half : {Half::Left, Half::Right}) {
            for (int i = 0; i < 230; ++i) {
                const std::vector<SourcePosition> row = sourcePositionsOfRow(s.params, half, i, exact);
                ASSERT_EQ(row.size(), 230u);
                for (int j = 0; j < 230; ++j) {
                    const SourcePosition want = reference::sourcePosition(s.params, half, i, j);
                    const bool same = exact ? sameBits(row[j].column, want.column) && sameBits(row[j].row, want.row)
                                            : std::abs(row[j].column - want.column) <= 1e-10 &&
                                                  std::abs(row[j].row - want.row) <= 1e-10;
                    if (!same && ++differing <= 5)
                        ADD_FAILURE() << (exact ? "exact" : "default") << " mode, half " << static_cast<int>(half)
                                      << " pixel (" << i << ", " << j << "): " << row[j].column << ", "
                                      << row[j].row << " instead of " << want.column << ", " << want.row;
                }
            }
        }
        EXPECT_EQ(differing, 0) << (exact ? "exact" : "default") << " mode";
    }
}

// The same on photographic content: a pair seen by two equisolid cameras
// standing in a panorama, the right one turned, A and B where two scene
// points fall.
TEST(DefaultMode, PhotographPairStaysWithinOneLevelOfTheReference) {
    using namespace testsupport;
    const SynthLens lens = SynthLens::equisolid(1200, 900);
    const Rotation turn = Rotation::fromYawPitchRoll(2.0, 1.0, -0.5);
    const cv::Mat left = renderFisheye(panorama(), lens, Rotation{});
    const cv::Mat right = renderFisheye(panorama(), lens, turn);
    ConversionParams p;
    p.outputHeight = 640;
    p.eye[0] = p.eye[1] = testing::sineLens(kEquisolid, 0.5, 450, 600, 450, 1200, 900);
    p.leftA = {480, 380}, p.leftB = {820, 560};
    auto inRight = [&](ImagePoint q) {
        const auto at = pixelOfCameraDirection(lens, turn.inverse().apply(cameraDirectionOfPixel(lens, q.x, q.y)));
        return ImagePoint{static_cast<int>(std::lround(at->x)), static_cast<int>(std::lround(at->y))};
    };
    p.rightA = inRight(p.leftA), p.rightB = inRight(p.leftB);
    setZenithTenths(p, ZenithAxis::Roll, 15);
    setZenithTenths(p, ZenithAxis::Pitch, -30);
    setZenithTenths(p, ZenithAxis::Yaw, 8);
    checkAgainstReference(p, left, right, false);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, FastRenderer, ::testing::Values(kOrthographic, kEquisolid, kSineK, kQuadratic));

TEST(Render, ProgressIsSerialisedIncreasingAndComplete) {
    const Scene s = texturedScene(kEquisolid, 97);
    cv::Mat out(97, 194, CV_8UC3);
    std::mutex lock;
    std::atomic<int> inside{0};
    std::vector<int> seen[2];
    bool overlapped = false;
    const RenderOptions options{3, [&](Half half, int done, int total) {
                                    if (inside.fetch_add(1) != 0) overlapped = true;
                                    {
                                        std::lock_guard<std::mutex> guard(lock);
                                        EXPECT_EQ(total, 97);
                                        seen[static_cast<int>(half)].push_back(done);
                                    }
                                    inside.fetch_sub(1);
                                }};
    renderRightEyeAligned(s.params, s.right, out, options);
    renderLeftEye(s.params, s.left, out, options);
    EXPECT_FALSE(overlapped);
    for (const std::vector<int>& calls : seen) {
        ASSERT_FALSE(calls.empty());
        for (size_t k = 1; k < calls.size(); ++k) EXPECT_LT(calls[k - 1], calls[k]);
        EXPECT_EQ(calls.back(), 97);
    }

    const RenderOptions failing{2, [](Half, int, int) { throw std::runtime_error("cancelled"); }};
    EXPECT_THROW(renderLeftEye(s.params, s.left, out, failing), std::runtime_error);
}

TEST(Render, ZeroRadiusFillsTheHalfWithTheAxisPixel) {
    Scene s = texturedScene(kOrthographic, 40);
    s.params.eye[0].radius180 = 0;
    cv::Mat out(s.params.outputHeight, 2 * s.params.outputHeight, CV_8UC3, cv::Scalar::all(0x80));
    renderLeftEye(s.params, s.left, out);
    const cv::Vec3b axis = s.left.at<cv::Vec3b>(s.params.eye[0].axisY, s.params.eye[0].axisX);
    cv::Mat expected(40, 40, CV_8UC3, cv::Scalar(axis[0], axis[1], axis[2]));
    EXPECT_TRUE(identical(out.colRange(0, 40), expected));
}

TEST(Render, HeightOneLooksStraightUpAtTheRim) {
    ConversionParams p;
    p.outputHeight = 1;
    p.eye[0] = testing::sineLens(kOrthographic, 1.0, 100, 150, 150, 300, 300);
    cv::Mat src(300, 300, CV_8UC3, cv::Scalar(200, 200, 200));
    src(cv::Rect(147, 47, 7, 7)).setTo(cv::Scalar(12, 34, 56));  // around the top rim point (150, 50)
    cv::Mat out(1, 2, CV_8UC3, cv::Scalar::all(0x80));
    renderLeftEye(p, src, out);
    const cv::Vec3b px = out.at<cv::Vec3b>(0, 0);
    EXPECT_NEAR(px[0], 12, 1);
    EXPECT_NEAR(px[1], 34, 1);
    EXPECT_NEAR(px[2], 56, 1);
}

// Where a marker drawn in one channel lands in a half: the weighted centroid.
cv::Point2d centroid(const cv::Mat& half, int channel) {
    cv::Mat plane;
    cv::extractChannel(half, plane, channel);
    double sum = 0, sx = 0, sy = 0;
    for (int y = 0; y < plane.rows; ++y)
        for (int x = 0; x < plane.cols; ++x) {
            const double v = plane.at<uint8_t>(y, x);
            sum += v, sx += v * x, sy += v * y;
        }
    return sum > 0 ? cv::Point2d(sx / sum, sy / sum) : cv::Point2d(kNaN, kNaN);
}

// Black, with a red disc at a and a green one at b.
cv::Mat markers(ImagePoint a, ImagePoint b) {
    cv::Mat m(600, 600, CV_8UC3, cv::Scalar::all(0));
    for (int y = -4; y <= 4; ++y)
        for (int x = -4; x <= 4; ++x)
            if (x * x + y * y <= 16) m.at<cv::Vec3b>(a.y + y, a.x + x)[2] = m.at<cv::Vec3b>(b.y + y, b.x + x)[1] = 255;
    return m;
}

ImagePoint turnedAboutAxis(ImagePoint p, double degrees) {
    const double c = std::cos(degrees * kDegree), s = std::sin(degrees * kDegree), x = p.x - 300, y = p.y - 300;
    return {static_cast<int>(std::lround(300 + c * x - s * y)), static_cast<int>(std::lround(300 + s * x + c * y))};
}

struct AlignmentCase {
    bool turned;  // right image = left turned about its axis point (A and B keep their angle)
    int pitch, roll, yaw;
};

class Alignment : public ::testing::TestWithParam<AlignmentCase> {};

TEST_P(Alignment, RightMarkersLandWhereTheLeftOnesDo) {
    const AlignmentCase c = GetParam();
    ConversionParams p;
    p.outputHeight = 256;
    p.eye[0] = p.eye[1] = testing::sineLens(kEquisolid, 0.5, 300, 300, 300, 600, 600);
    p.leftA = {230, 260}, p.leftB = {420, 350};
    p.rightA = c.turned ? turnedAboutAxis(p.leftA, 15) : ImagePoint{240, 260};
    p.rightB = c.turned ? turnedAboutAxis(p.leftB, 15) : ImagePoint{430, 350};
    setZenithTenths(p, ZenithAxis::Pitch, c.pitch);
    setZenithTenths(p, ZenithAxis::Roll, c.roll);
    setZenithTenths(p, ZenithAxis::Yaw, c.yaw);
    cv::Mat out(256, 512, CV_8UC3);
    renderRightEyeAligned(p, markers(p.rightA, p.rightB), out);
    renderLeftEye(p, markers(p.leftA, p.leftB), out);
    const cv::Mat left = out.colRange(0, 256), right = out.colRange(256, 512);
    const cv::Point2d aL = centroid(left, 2), aR = centroid(right, 2);
    EXPECT_LT(cv::norm(aL - aR), 0.5) << "A left " << aL << ", A right " << aR;
    if (c.turned) {
        const cv::Point2d bL = centroid(left, 1), bR = centroid(right, 1);
        EXPECT_LT(cv::norm(bL - bR), 0.5) << "B left " << bL << ", B right " << bR;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Alignment,
                         ::testing::Values(AlignmentCase{false, 0, 0, 0}, AlignmentCase{false, 120, -80, 250},
                                           AlignmentCase{true, 0, 0, 0}, AlignmentCase{true, -60, 150, -200}));

TEST(Alignment, DegenerateRotationLeavesTheRightHalfBlack) {
    const struct { ImagePoint leftA, rightA; const char* why; } cases[] = {
        {{121, 124}, {121, 124}, "A at the same place in both images: no axis"},
        {{180, 140}, {121, 124}, "left A on the axis point"},
        {{130, 120}, {180, 140}, "right A on the axis point"},
    };
    for (const auto& c : cases) {
        Scene s = texturedScene(kEquisolid, 64);
        s.params.leftA = c.leftA, s.params.rightA = c.rightA;
        cv::Mat out(s.params.outputHeight, 2 * s.params.outputHeight, CV_8UC3, cv::Scalar::all(0x80));
        renderRightEyeAligned(s.params, s.right, out);
        renderLeftEye(s.params, s.left, out);
        EXPECT_EQ(cv::countNonZero(out.colRange(64, 128).reshape(1)), 0) << c.why;
        EXPECT_GT(cv::countNonZero(out.colRange(0, 64).reshape(1)), 64 * 64) << c.why;
    }
}

TEST(Render, ThreadCountResolution) {
    EXPECT_EQ(resolveThreadCount(5), 5);
    EXPECT_GE(resolveThreadCount(0), 1);
    EXPECT_EQ(resolveThreadCount(0), resolveThreadCount(-1));
}

}  // namespace
}  // namespace vistereo
