#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "engine/render.h"
#include "tests/support/synth.h"

namespace vistereo {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kDegree = kPi / 180.0;

double gap(const Vec3& a, const Vec3& b) {
    return std::max({std::abs(a.x - b.x), std::abs(a.y - b.y), std::abs(a.z - b.z)});
}

// Lens of a kind on a width x height image, axis at the centre, circle filling the height, mapping factor derived
// as the conversion run does. The quadratic one is continuous and increasing, with a junk c1 that must never be
// read; its inverse's bounds are prepared.
void setLens(ConversionParams& p, int i, int kind, int width, int height) {
    EyeParams& e = p.eye[i];
    e.lensName = "test", e.mappingKind = kind, e.sineK = kind == kOrthographic ? 1.0 : kind == kEquisolid ? 0.5 : 0.7;
    e.mappingScale = kind == kEquisolid ? 1.41421
                     : kind == kSineK   ? std::floor(100000.0 / std::sin(0.35 * kPi)) / 100000.0
                                        : 1.0;
    e.radius180 = height / 2, e.axisX = width / 2, e.axisY = height / 2, e.imageWidth = width, e.imageHeight = height;
    if (kind != kQuadratic) return;
    e.sineK = 0.0;
    e.theta1 = 0.4, e.theta2 = 0.8, e.theta3 = 1.2;
    e.a1 = -0.05, e.b1 = 0.7, e.c1 = 5.0, e.a2 = 0.08, e.b2 = 0.55, e.a3 = -0.02, e.b3 = 0.72, e.a4 = -0.1, e.b4 = 0.9;
    auto at = [](double a, double b, double c, double t) { return a * t * t + b * t + c; };
    e.c2 = at(e.a1, e.b1, 0.0, e.theta1) - at(e.a2, e.b2, 0.0, e.theta1);
    e.c3 = at(e.a2, e.b2, e.c2, e.theta2) - at(e.a3, e.b3, 0.0, e.theta2);
    e.c4 = at(e.a3, e.b3, e.c3, e.theta3) - at(e.a4, e.b4, 0.0, e.theta3);
    e.radius1 = lensRadius(p, i, static_cast<float>(e.theta1));
    e.radius2 = lensRadius(p, i, static_cast<float>(e.theta2));
    e.radius3 = lensRadius(p, i, static_cast<float>(e.theta3));
}

void setZenith(ConversionParams& p, int pitch, int roll, int yaw) {
    for (auto [axis, tenths] : {std::pair{ZenithAxis::Pitch, pitch}, {ZenithAxis::Roll, roll}, {ZenithAxis::Yaw, yaw}})
        setZenithTenths(p, axis, tenths);
}

TEST(LensMapping, QuadraticSegmentsInverseRimAndReach) {
    // Segments that tell themselves apart: 0.1 t^2 + t (junk c1), 2, 3, t^2 + 4.
    ConversionParams p;
    EyeParams& e = p.eye[1];
    e.mappingKind = kQuadratic, e.theta1 = 0.5, e.theta2 = 1.0, e.theta3 = 1.5;
    e.a1 = 0.1, e.b1 = 1.0, e.c1 = 5.0, e.c2 = 2.0, e.c3 = 3.0, e.a4 = 1.0, e.c4 = 4.0;
    const struct { float theta; double expected; } cases[] = {
        {0.25f, static_cast<float>(0.25625)}, {0.0f, 0.0}, {0.5f, 2.0}, {1.0f, 3.0}, {1.5f, 6.25}, {2.0f, 8.0},
        {-0.1f, 0.0}, {std::numeric_limits<float>::quiet_NaN(), 0.0}};
    for (const auto& c : cases) EXPECT_EQ(lensRadius(p, 1, c.theta), c.expected) << "theta " << c.theta;

    setLens(p, 0, kQuadratic, 400, 300);  // the inverse, the rim and the reach
    int checked = 0;
    for (float theta = 0.0f; theta < 3.0f && lensRadius(p, 0, theta) <= 1.0; theta += 0.0005f, ++checked)
        ASSERT_NEAR(lensTheta(p, 0, static_cast<float>(lensRadius(p, 0, theta))), theta, 2e-6) << theta;
    EXPECT_GT(checked, 2800);  // past theta3, close to the rim
    EXPECT_GT(lensTheta(p, 0, 1.0f), p.eye[0].theta3);
    for (float r : {1.02f, -0.01f, std::numeric_limits<float>::quiet_NaN()}) EXPECT_EQ(lensTheta(p, 0, r), 0.0) << r;
    EXPECT_EQ(gap(directionOfPoint(p, 0, {200 + 160, 150}), {0, 1, 0}), 0.0) << "past the circle lies on the axis";

    setLens(p, 0, kOrthographic, 3000, 2400);
    const SourcePosition right = projectToImage(p, 0, kHalfPi, 0.0);
    EXPECT_TRUE(std::abs(right.column - 2700.0) < 1e-9 && right.row == 1200.0) << right.column << "," << right.row;
    EXPECT_LE(gap(directionOfPoint(p, 0, {2700, 1200}), {1, 0, 0}), 1e-15);
    for (ImagePoint outside : {ImagePoint{2701, 1200}, ImagePoint{1500, 1200}})
        EXPECT_TRUE(std::isnan(directionOfPoint(p, 0, outside).x)) << "sine: outside and axis are NaN, " << outside.x;
}

TEST(LensMapping, DirectionOfPointProjectsBackOntoThePoint) {
    for (int kind : {kOrthographic, kEquisolid, kSineK, kQuadratic}) {
        ConversionParams p;
        setLens(p, 1, kind, 640, 480);
        const EyeParams& e = p.eye[1];
        const double tolerance = kind == kQuadratic ? 2e-3 : 1e-7;
        for (int y = e.axisY - 236; y <= e.axisY + 236; y += 17)
            for (int x = e.axisX - 236; x <= e.axisX + 236; x += 13) {
                const double q = std::hypot(x - e.axisX, y - e.axisY);
                if (q == 0.0 || q > 0.98 * e.radius180 * e.mappingScale) continue;
                const Vec3 d = directionOfPoint(p, 1, {x, y});
                ASSERT_NEAR(d.x * d.x + d.y * d.y + d.z * d.z, 1.0, 1e-12) << kind << " at " << x << "," << y;
                const SourcePosition back = projectToImage(p, 1, std::acos(d.y), std::atan2(d.z, d.x));
                ASSERT_LE(std::max(std::abs(back.column - x), std::abs(back.row - y)), tolerance)
                    << kind << " at " << x << "," << y;
            }
    }
}

TEST(SampleBilinear, EdgesFractionsAndOutsidePositions) {
    cv::Mat src(12, 6, CV_8UC3);  // channel k of (y, x) is 10 y + x + 50 k
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 6; ++x) src.at<cv::Vec3b>(y, x) = cv::Vec3b(10 * y + x, 10 * y + x + 50, 10 * y + x + 100);
    const struct { double column, row; int b, g, r; } cases[] = {  // past the last column: half black
        {5.0, 11.0, 115, 165, 215}, {5.5, 10.25, 53, 78, 103}, {1.25, 2.5, 26, 76, 126}, {-0.0, 1.0, 10, 60, 110},
        {-0.5, 3.0, 0, 0, 0}, {3.0, -0.25, 0, 0, 0}, {-1.0, 3.0, 0, 0, 0}, {6.0, 3.0, 0, 0, 0}, {3.0, 12.0, 0, 0, 0},
        {kNaN, 3.0, 0, 0, 0}, {3.0, kNaN, 0, 0, 0}, {3e9, 2.0, 0, 0, 0}, {2.0, -3e9, 0, 0, 0}};
    for (const auto& c : cases) {
        const Pixel3 p = sampleBilinear(src, 6, 12, c.column, c.row);
        EXPECT_TRUE(p.c[0] == c.b && p.c[1] == c.g && p.c[2] == c.r)
            << c.column << "," << c.row << ": " << int(p.c[0]) << " " << int(p.c[1]) << " " << int(p.c[2]);
    }
}

TEST(Zenith, CountersAndRotationOrderPitchRollYaw) {
    const double s = std::sin(10 * kDegree), c = std::cos(10 * kDegree), h = std::sqrt(0.5);
    const struct { int pitch, roll, yaw, i, j; Vec3 expected; } cases[] = {
        {0, 0, 0, 180, 180, {0, 1, 0}}, {0, 0, 0, 0, 97, {0, 0, 1}}, {0, 0, 0, 180, 0, {-1, 0, 0}},
        {100, 0, 0, 180, 180, {0, c, s}}, {-100, 0, 0, 180, 180, {0, c, -s}}, {0, 0, 100, 180, 180, {s, c, 0}},
        {0, 100, 0, 180, 180, {0, 1, 0}}, {0, 100, 0, 180, 270, {h * c, h, h * s}},
        {0, -100, 0, 180, 270, {h * c, h, -h * s}}, {100, 0, 100, 180, 180, {s * c, c * c, s}},
        {100, 100, 0, 180, 180, {-s * s, c, c * s}}};  // the last two: pitch comes first
    ConversionParams p;  // counters: a positive proposed change lowers the counter by one tenth
    for (int step = 0; step < 5; ++step) EXPECT_TRUE(stepZenith(p, ZenithAxis::Pitch, +1));
    EXPECT_FALSE(stepZenith(p, ZenithAxis::Pitch, 0));
    EXPECT_TRUE(stepZenith(p, ZenithAxis::Roll, -3));
    EXPECT_TRUE(zenithTenths(p, ZenithAxis::Pitch) == -5 && p.rollTenths == 1 && p.yawTenths == 0);
    EXPECT_EQ(p.pitch, -5 / 1800.0 * 3.14159265);
    clearZenith(p);
    EXPECT_TRUE(p.pitchTenths == 0 && p.rollTenths == 0 && p.pitch == 0.0 && p.roll == 0.0);
    p.outputHeight = 360;
    for (const auto& k : cases) {
        setZenith(p, k.pitch, k.roll, k.yaw);
        EXPECT_LT(gap(zenithDirection(p, k.i, k.j), k.expected), 1e-7) << k.pitch << " " << k.roll << " " << k.yaw
                                                                        << " at " << k.i << "," << k.j;
    }
}

// A textured pair (a gradient with noise on top: a pixel read from the wrong place shows), with alignment
// points and all three zenith angles.
struct Scene {
    ConversionParams params;
    cv::Mat left = texture(11), right = texture(12);
    Scene(int kind, int n) {
        params.outputHeight = n;
        for (int i : {0, 1}) setLens(params, i, kind, 360, 280);
        params.leftA = {130, 120}, params.leftB = {230, 170}, params.rightA = {121, 124}, params.rightB = {222, 171};
        setZenith(params, -41, 23, 17);
    }
    static cv::Mat texture(uint64_t seed) {
        cv::Mat image(280, 360, CV_8UC3);
        cv::RNG(seed).fill(image, cv::RNG::UNIFORM, 0, 96);
        for (int y = 0; y < 280; ++y)
            for (int x = 0; x < 360; ++x)
                image.at<cv::Vec3b>(y, x) += cv::Vec3b(x * 150 / 360, y * 150 / 280, (x + y) * 75 / 640);
        return image;
    }
};

// Both halves on 1, 2, 3 and 7 threads, on canvases of 0 and 255 (an unwritten pixel would show), against the
// per-pixel path: exact mode byte for byte, default mode within 1 in at most one byte in 10,000.
void checkAgainstReference(const ConversionParams& params, const cv::Mat& left, const cv::Mat& right, bool exact) {
    const int n = params.outputHeight;
    cv::Mat expected(n, 2 * n, CV_8UC3), first, diff;
    reference::renderRightEyeAligned(params, right, expected);
    reference::renderLeftEye(params, left, expected);
    for (const cv::Mat& half : {expected.colRange(0, n), expected.colRange(n, 2 * n)})
        ASSERT_GT(cv::countNonZero(half.reshape(1)), half.total() * 3 / 2) << "the scene should show texture";
    for (int threads : {1, 2, 3, 7})
        for (int fill : {0x00, 0xFF}) {
            const cv::Mat blank(n, 2 * n, CV_8UC3, cv::Scalar::all(fill));
            cv::Mat out = blank.clone();
            renderLeftEye(params, left, out, {threads, {}, exact});
            EXPECT_EQ(cv::norm(out.colRange(n, 2 * n), blank.colRange(n, 2 * n), cv::NORM_INF), 0) << "left in right";
            renderRightEyeAligned(params, right, out, {threads, {}, exact});
            if (first.empty()) first = out;
            EXPECT_EQ(cv::norm(out, first, cv::NORM_INF), 0) << threads << " threads, fill " << fill;
        }
    cv::absdiff(first, expected, diff);
    double largest = 0.0;
    cv::minMaxLoc(diff.reshape(1), nullptr, &largest);
    EXPECT_LE(largest, exact ? 0.0 : 1.0);
    EXPECT_LE(cv::countNonZero(diff.reshape(1)), exact ? 0.0 : expected.total() * 3 * 1e-4);
}

bool sameBits(double a, double b) { return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0; }

class FastRenderer : public ::testing::TestWithParam<int> {};

TEST_P(FastRenderer, MatchesTheReferenceInBothModes) {
    const Scene s(GetParam(), 230);
    for (bool exact : {true, false}) {
        SCOPED_TRACE(exact ? "exact" : "default");
        checkAgainstReference(s.params, s.left, s.right, exact);
        auto same = [exact](double a, double b) { return exact ? sameBits(a, b) : std::abs(a - b) <= 1e-10; };
        int differing = 0;  // exact: positions to the last bit; default: up to rounding
        for (Half half : {Half::Left, Half::Right})
            for (int i = 0; i < 230; ++i) {
                const std::vector<SourcePosition> row = sourcePositionsOfRow(s.params, half, i, exact);
                ASSERT_EQ(row.size(), 230u);
                for (int j = 0; j < 230; ++j) {
                    const SourcePosition want = reference::sourcePosition(s.params, half, i, j);
                    if (!(same(row[j].column, want.column) && same(row[j].row, want.row)) && ++differing <= 3)
                        ADD_FAILURE() << "half " << int(half) << " (" << i << "," << j << "): " << row[j].column
                                      << "," << row[j].row << " instead of " << want.column << "," << want.row;
                }
            }
        EXPECT_EQ(differing, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, FastRenderer, ::testing::Values(kOrthographic, kEquisolid, kSineK, kQuadratic));

// Two equisolid cameras in a panorama, the right one turned, A and B where two scene points fall.
TEST(DefaultMode, PhotographPairStaysWithinOneLevelOfTheReference) {
    using namespace testsupport;
    const SynthLens lens = SynthLens::equisolid(1200, 900);
    const Rotation turn = Rotation::fromYawPitchRoll(2.0, 1.0, -0.5);
    ConversionParams p;
    p.outputHeight = 640;
    for (int i : {0, 1}) setLens(p, i, kEquisolid, 1200, 900);
    p.leftA = {480, 380}, p.leftB = {820, 560};
    auto inRight = [&](ImagePoint q) {
        const auto at = pixelOfCameraDirection(lens, turn.inverse().apply(cameraDirectionOfPixel(lens, q.x, q.y)));
        return ImagePoint{static_cast<int>(std::lround(at->x)), static_cast<int>(std::lround(at->y))};
    };
    p.rightA = inRight(p.leftA), p.rightB = inRight(p.leftB);
    setZenith(p, -30, 15, 8);
    checkAgainstReference(p, renderFisheye(panorama(), lens, Rotation{}), renderFisheye(panorama(), lens, turn), false);
}

TEST(Render, ProgressIsSerialisedIncreasingAndComplete) {
    const Scene s(kEquisolid, 97);
    cv::Mat out(97, 194, CV_8UC3);
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<int> seen[2];
    const RenderOptions options{3, [&](Half half, int done, int total) {
        if (inside++ != 0) overlapped = true;
        else seen[static_cast<int>(half)].push_back(total == 97 ? done : -1);
        --inside;
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

// Weighted centroid of one channel of a half: where a marker landed.
cv::Point2d centroid(const cv::Mat& half, int channel) {
    double sum = 0, sx = 0, sy = 0;
    for (int y = 0; y < half.rows; ++y)
        for (int x = 0; x < half.cols; ++x) {
            const double v = half.at<cv::Vec3b>(y, x)[channel];
            sum += v, sx += v * x, sy += v * y;
        }
    return sum > 0 ? cv::Point2d(sx / sum, sy / sum) : cv::Point2d(kNaN, kNaN);
}

ImagePoint turned(ImagePoint p, double degrees) {  // about the axis point (300, 300)
    const double c = std::cos(degrees * kDegree), s = std::sin(degrees * kDegree), x = p.x - 300, y = p.y - 300;
    return {static_cast<int>(std::lround(300 + c * x - s * y)), static_cast<int>(std::lround(300 + s * x + c * y))};
}

TEST(Alignment, RightMarkersLandWhereTheLeftOnesDo) {
    // turned: the right image is the left turned about its axis, so B lands too.
    const struct { bool turned; int pitch, roll, yaw; } cases[] = {
        {false, 0, 0, 0}, {false, 120, -80, 250}, {true, 0, 0, 0}, {true, -60, 150, -200}};
    for (const auto& c : cases) {
        ConversionParams p;
        p.outputHeight = 256;
        for (int i : {0, 1}) setLens(p, i, kEquisolid, 600, 600);
        p.leftA = {230, 260}, p.leftB = {420, 350};
        p.rightA = c.turned ? turned(p.leftA, 15) : ImagePoint{240, 260};
        p.rightB = c.turned ? turned(p.leftB, 15) : ImagePoint{430, 350};
        setZenith(p, c.pitch, c.roll, c.yaw);
        auto markers = [](ImagePoint a, ImagePoint b) {  // red square at a, green at b
            cv::Mat m(600, 600, CV_8UC3, cv::Scalar::all(0));
            m(cv::Rect(a.x - 3, a.y - 3, 7, 7)).setTo(cv::Scalar(0, 0, 255));
            m(cv::Rect(b.x - 3, b.y - 3, 7, 7)).setTo(cv::Scalar(0, 255, 0));
            return m;
        };
        cv::Mat out(256, 512, CV_8UC3);
        renderRightEyeAligned(p, markers(p.rightA, p.rightB), out);
        renderLeftEye(p, markers(p.leftA, p.leftB), out);
        for (int channel : c.turned ? std::vector<int>{2, 1} : std::vector<int>{2})
            EXPECT_LT(cv::norm(centroid(out.colRange(0, 256), channel) - centroid(out.colRange(256, 512), channel)),
                      0.5) << "turned " << c.turned << " zenith " << c.pitch << " channel " << channel;
    }
}

TEST(Render, DegenerateRotationLeavesTheRightHalfBlackAndZeroRadiusTheAxisPixel) {
    // Same A in both images (no axis), left A on the axis point, right A on it.
    const struct { ImagePoint leftA, rightA; } cases[] = {
        {{121, 124}, {121, 124}}, {{180, 140}, {121, 124}}, {{130, 120}, {180, 140}}};
    for (const auto& c : cases) {
        Scene s(kEquisolid, 64);
        s.params.leftA = c.leftA, s.params.rightA = c.rightA;
        cv::Mat out(64, 128, CV_8UC3, cv::Scalar::all(0x80));
        renderRightEyeAligned(s.params, s.right, out);
        EXPECT_EQ(cv::countNonZero(out.colRange(64, 128).reshape(1)), 0) << c.leftA.x << "," << c.rightA.x;
    }
    Scene s(kOrthographic, 40);  // zero radius: the whole half shows the axis pixel
    s.params.eye[0].radius180 = 0;
    cv::Mat out(40, 80, CV_8UC3, cv::Scalar::all(0x80));
    renderLeftEye(s.params, s.left, out);
    EXPECT_EQ(cv::norm(out.colRange(0, 40), cv::Mat(40, 40, CV_8UC3, cv::Scalar(s.left.at<cv::Vec3b>(140, 180))),
                       cv::NORM_INF), 0);
}

}  // namespace
}  // namespace vistereo
