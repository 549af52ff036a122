// The prepare step, the lens mapping, bilinear sampling, the zenith rotation and the alignment, and the wider
// kernels against a known truth. (The renderers against the per-pixel path are the remap plan's tests.)
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "engine/fast_rows.h"
#include "engine/prepare.h"
#include "engine/render.h"
#include "engine/samplers.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/synth.h"

namespace vistereo {
namespace {

using namespace enginetest;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kDegree = kPi / 180.0;

double gap(const Vec3& a, const Vec3& b) { return std::max({std::abs(a.x - b.x), std::abs(a.y - b.y), std::abs(a.z - b.z)}); }

ZenithAngles zenithOf(int pitch, int roll, int yaw) { return zenithAngles({roll, pitch, yaw}); }

// The right eye from its own 640 x 480 image, the left from a 400 x 300 one.
TEST(Prepare, DerivesEachEyeFromItsOwnImageAndStopsAtTheFirstUnknownCode) {
    const struct {
        int32_t radiusMode, mappingKind, axisMode;
        int radius, axisX;
        double k, m;
        const char* error;
        MappingKinds kinds = MappingKinds::All;
    } cases[] = {
        {0, 0, 0, 240, 320, 1.0, 1.0, nullptr},      // circular, orthographic, centre
        {1, 1, 0, 400, 320, 0.5, 1.41421, nullptr},  // diagonal of 640 x 480, equisolid
        {2, 2, 1, 360, 17, 0.7, 1.12232, nullptr},   // magnification 1.5, sin(0.7 theta), given axis
        {3, 3, 0, 321, 320, 0.7, 1.0, nullptr},      // dots, quadratic
        {3, 3, 0, 321, 320, 0.7, 1.0, nullptr, MappingKinds::Classic},
        {4, 0, 0, 0, 0, 0, 0, "radiusMode"}, {0, 9, 0, 240, 0, 0, 0, "mappingKind"}, {0, 0, 2, 240, 0, 1.0, 1.0, "axisMode"},
        // An equidistant record where only the classic laws are known: an unknown code, as it always was.
        {0, 4, 0, 240, 0, 0, 0, "mappingKind", MappingKinds::Classic}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.radiusMode << "/" << c.mappingKind << "/" << c.axisMode);
        LensSettings good = lensOf(MappingKind::Orthographic), lens = good;
        lens.radiusMode = c.radiusMode, lens.mappingKind = c.mappingKind, lens.axisMode = c.axisMode;
        lens.magnification = 1.5, lens.radiusDots = 321, lens.axisX = 17, lens.axisY = 19;
        const PreparedEyes p = prepareEyes({good, lens}, {ImageSize{400, 300}, {640, 480}}, c.kinds);
        const EyeGeometry& e = p.eye[1];
        EXPECT_EQ(e.radius180, c.radius);
        EXPECT_TRUE(p.eye[0].radius180 == 150 && p.eye[0].imageWidth == 400) << "the left eye is derived first, from its image";
        if (c.error) {
            ASSERT_TRUE(p.lensCode && p.lensCode->eye == 1);
            EXPECT_STREQ(p.lensCode->field, c.error);
            continue;
        }
        ASSERT_TRUE(p.ok());
        EXPECT_TRUE(e.axisX == c.axisX && e.imageHeight == 480);
        EXPECT_NEAR(e.mappingScale, c.m, 1e-12);
        if (c.mappingKind != 3) EXPECT_EQ(e.sineK, c.k);
        else EXPECT_TRUE(e.radius1 == lensRadius(e.quadratic, 0.4f) && e.radius3 == lensRadius(e.quadratic, 1.2f));
    }
}

TEST(LensMapping, QuadraticSegmentsInverseRimAndReach) {
    // Segments that tell themselves apart: 0.1 t^2 + t (junk c1), 2, 3, t^2 + 4.
    const QuadraticLaw q{0.5, 1.0, 1.5, 0.1, 1.0, 5.0, 0, 0, 2.0, 0, 0, 3.0, 1.0, 0, 4.0};
    const struct { float theta; double expected; } cases[] = {
        {0.25f, static_cast<float>(0.25625)}, {0.0f, 0.0}, {0.5f, 2.0}, {1.0f, 3.0}, {1.5f, 6.25}, {2.0f, 8.0},
        {-0.1f, 0.0}, {std::numeric_limits<float>::quiet_NaN(), 0.0}};
    for (const auto& c : cases) EXPECT_EQ(lensRadius(q, c.theta), c.expected) << "theta " << c.theta;

    const EyeGeometry e = geometryOf(MappingKind::Quadratic, 400, 300).eye[0];  // the inverse, the rim and the reach
    int checked = 0;
    for (float theta = 0.0f; theta < 3.0f && lensRadius(e.quadratic, theta) <= 1.0; theta += 0.0005f, ++checked)
        ASSERT_NEAR(lensTheta(e, static_cast<float>(lensRadius(e.quadratic, theta))), theta, 2e-6) << theta;
    EXPECT_GT(checked, 2800);  // past theta3, close to the rim
    EXPECT_GT(lensTheta(e, 1.0f), e.quadratic.theta3);
    for (float r : {1.02f, -0.01f, std::numeric_limits<float>::quiet_NaN()}) EXPECT_EQ(lensTheta(e, r), 0.0) << r;
    EXPECT_EQ(gap(directionOfPoint(e, {200 + 160, 150}), {0, 1, 0}), 0.0) << "past the circle lies on the axis";

    const EyeGeometry o = geometryOf(MappingKind::Orthographic, 3000, 2400).eye[0];
    const SourcePosition right = projectToImage(o, kHalfPi, 0.0);
    EXPECT_TRUE(std::abs(right.column - 2700.0) < 1e-9 && right.row == 1200.0) << right.column << "," << right.row;
    EXPECT_LE(gap(directionOfPoint(o, {2700, 1200}), {1, 0, 0}), 1e-15);
    for (ImagePoint outside : {ImagePoint{2701, 1200}, ImagePoint{1500, 1200}})
        EXPECT_TRUE(std::isnan(directionOfPoint(o, outside).x)) << "sine: outside and axis are NaN, " << outside.x;
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

// The row blend against the pixel blend, on a source with padded rows and on one whose last row ends its buffer:
// runs of pixels well inside (the vector path) broken by pixels on the last column or row, just outside, at -0.0,
// NaN and far away, on rows of every length around the vector widths; the byte after the row is left alone.
TEST(SampleBilinear, RowBlendIsThePixelBlend) {
    const int width = 37, height = 23;
    cv::Mat padded(height, width + 5, CV_8UC3);
    cv::RNG rng(7);
    rng.fill(padded, cv::RNG::UNIFORM, 0, 256);
    const cv::Mat tight = padded.colRange(0, width).clone();
    std::vector<double> columns, rows;
    const double odd[][2] = {{width - 1.0, 3.5},  {4.25, height - 1.0}, {width - 1.0, height - 1.0}, {width - 1.001, height - 1.001},
                             {-0.0, 2.5},         {-0.3, 4.0},          {5.0, -1.0},                 {kNaN, 3.0},
                             {3e9, 1.0},          {width + 0.0, 2.0},   {width - 2.0, height - 2.0}, {0.0, 0.0}};
    for (int k = 0; k < 24; ++k)  // the shorter rows wholly inside
        columns.push_back(rng.uniform(0.0, width - 1.0)), rows.push_back(rng.uniform(0.0, height - 1.0));
    for (int run = 0; run < 40; ++run) {
        for (int k = 0; k < 1 + run % 13; ++k)
            columns.push_back(rng.uniform(0.0, width - 1.0)), rows.push_back(rng.uniform(0.0, height - 1.0));
        columns.push_back(odd[run % 12][0]), rows.push_back(odd[run % 12][1]);
    }
    ASSERT_GT(columns.size(), 300u);
    for (const cv::Mat& source : {padded.colRange(0, width), tight}) {
        const sampling::SourceView view = sampling::viewOf(source, width, height);
        for (int n : {0, 1, 3, 4, 7, 8, 9, 15, 16, 17, 24, 31, static_cast<int>(columns.size())}) {
            std::vector<uint8_t> out(3 * n + 1, 0xAB);
            blendRow(view, columns.data(), rows.data(), n, out.data());
            int wrong = 0;
            for (int j = 0; j < n; ++j) {
                uint8_t expected[3];
                sampling::blendInto(view, columns[j], rows[j], expected);
                wrong += !std::equal(expected, expected + 3, out.data() + 3 * j);
            }
            EXPECT_EQ(wrong, 0) << n << " pixels, step " << source.step[0];
            EXPECT_EQ(out[3 * n], 0xAB) << "written past the row";
        }
    }
}

// The planes' blend against the scalar ten-bit blend, group of 16 samples by group, on shapes that decide how
// a group's neighbours are read: along one source row, down a curve over two to eight rows and beyond, rising
// and falling, turning within the group, spread over 62 to 64 columns, with black samples among them, and at the
// bottom right of a plane whose last row ends its buffer (read past it, the address sanitizer stops the test).
// A second plane goes through the same samples; every group is the kernel's, so it must take the whole row.
TEST(SampleBilinear, PlaneBlendIsTheTenBitBlendOfEveryGroup) {
    const int width = 300, height = 90;
    const size_t step = 304;
    std::vector<uint8_t> plane(step * height), paired(step * height);
    cv::RNG rng(11);
    for (size_t k = 0; k < plane.size(); ++k) plane[k] = rng.uniform(0, 256), paired[k] = rng.uniform(0, 256);
    // Per shape, sample s of 16 at column left + columns(s), row top + rows(s).
    const struct {
        const char* name;
        int left, top;
        int (*column)(int);
        int (*row)(int);
    } shapes[] = {
        {"one row", 40, 10, [](int s) { return s; }, [](int) { return 0; }},
        {"two rows", 7, 20, [](int s) { return s; }, [](int s) { return s / 8; }},
        {"eight rows, falling", 100, 30, [](int s) { return 15 - s; }, [](int s) { return s / 2; }},
        {"eight rows, rising", 100, 30, [](int s) { return 2 * s; }, [](int s) { return 7 - s / 2; }},
        {"nine rows", 150, 40, [](int s) { return s; }, [](int s) { return s * 8 / 15; }},
        {"a turn", 60, 50, [](int s) { return s; }, [](int s) { return s < 8 ? 7 - s : s - 8; }},
        {"62 columns", 0, 60, [](int s) { return s * 61 / 15; }, [](int) { return 0; }},
        {"63 columns", 5, 61, [](int s) { return s * 62 / 15; }, [](int) { return 1; }},
        {"64 columns", 9, 62, [](int s) { return s * 63 / 15; }, [](int s) { return s % 2; }},
        {"black among them", 70, 5, [](int s) { return s % 5 == 0 ? -1 : s; }, [](int) { return 0; }},
        {"the last rows, right", width - 20, height - 4, [](int s) { return s; }, [](int s) { return s / 6; }},
        {"the last row, right", width - 19, height - 2, [](int s) { return s; }, [](int) { return 0; }},
    };
    const int n = 16 * static_cast<int>(std::size(shapes));
    std::vector<uint32_t> samples(2 * n);
    std::vector<int> expected(n), pairedExpected(n);
    const uint8_t black = 16;
    for (size_t g = 0; g < std::size(shapes); ++g) {
        for (int s = 0; s < 16; ++s) {
            const int j = 16 * static_cast<int>(g) + s, c = shapes[g].column(s), r = shapes[g].top + shapes[g].row(s);
            if (c < 0) {
                samples[j] = kPlaneBlackSample, samples[n + j] = 0;
                expected[j] = pairedExpected[j] = black;
                continue;
            }
            const int column = shapes[g].left + c, fx = rng.uniform(0, 1024), fy = rng.uniform(0, 1024);
            ASSERT_LT(column, width - 3) << shapes[g].name;
            ASSERT_LT(r, height - 1) << shapes[g].name;
            samples[j] = static_cast<uint32_t>(column) | static_cast<uint32_t>(r) << 16;
            samples[n + j] = static_cast<uint32_t>(fx) | static_cast<uint32_t>(fy) << 16;
            const auto blend = [&](const std::vector<uint8_t>& p) {
                const uint8_t* at = p.data() + r * step + column;
                return tenBitBlend(at[0], at[1], at[step], at[step + 1], fx, fy);
            };
            expected[j] = blend(plane), pairedExpected[j] = blend(paired);
        }
    }
    std::vector<uint8_t> out(n + 1, 0xAB), pairedOut(n + 1, 0xAB);
    const PlaneSource source{plane.data(), step, width, height};
    ASSERT_EQ(blendPlaneSamples(source, samples.data(), 0, n, black, out.data(), paired.data(), pairedOut.data()), n);
    for (size_t g = 0; g < std::size(shapes); ++g) {
        int wrong = 0, pairedWrong = 0;
        for (int j = 16 * static_cast<int>(g); j < 16 * static_cast<int>(g) + 16; ++j)
            wrong += out[j] != expected[j], pairedWrong += pairedOut[j] != pairedExpected[j];
        EXPECT_EQ(wrong, 0) << shapes[g].name;
        EXPECT_EQ(pairedWrong, 0) << shapes[g].name;
    }
    EXPECT_EQ(out[n], 0xAB) << "written past the row";
    EXPECT_EQ(pairedOut[n], 0xAB) << "written past the row";
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

TEST(Alignment, RightMarkersLandWhereTheLeftOnesDo) {
    // turned: the right image is the left turned by 15 degrees about its axis (300, 300), so B lands too.
    const struct { MappingKind kind; bool turned; int pitch, roll, yaw; } cases[] = {
        {MappingKind::Equisolid, false, 0, 0, 0}, {MappingKind::Equisolid, false, 120, -80, 250},
        {MappingKind::Equisolid, true, 0, 0, 0}, {MappingKind::Equisolid, true, -60, 150, -200},
        {MappingKind::Quadratic, true, 30, 0, -50}, {MappingKind::SineK, true, 0, 40, 0}};
    const double c15 = std::cos(15 * kDegree), s15 = std::sin(15 * kDegree);
    auto turned = [&](ImagePoint p) {
        const double x = p.x - 300, y = p.y - 300;
        return ImagePoint{int(std::lround(300 + c15 * x - s15 * y)), int(std::lround(300 + s15 * x + c15 * y))};
    };
    auto markers = [](ImagePoint a, ImagePoint b) {  // red square at a, green at b
        cv::Mat m(600, 600, CV_8UC3, cv::Scalar::all(0));
        m(cv::Rect(a.x - 3, a.y - 3, 7, 7)).setTo(cv::Scalar(0, 0, 255));
        m(cv::Rect(b.x - 3, b.y - 3, 7, 7)).setTo(cv::Scalar(0, 255, 0));
        return m;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "kind " << int(c.kind) << " turned " << c.turned << " zenith " << c.pitch);
        ConversionGeometry g = geometryOf(c.kind, 600, 600, 256);
        g.zenith = zenithOf(c.pitch, c.roll, c.yaw);
        PointSet p{{230, 260}, {420, 350}, {240, 260}, {430, 350}};
        if (c.turned) p.rightA = turned(p.leftA), p.rightB = turned(p.leftB);
        cv::Mat out(256, 512, CV_8UC3);
        renderRightEyeAligned(g, alignmentRotation(g.eye[0], g.eye[1], p), markers(p.rightA, p.rightB), out);
        renderLeftEye(g, markers(p.leftA, p.leftB), out);
        for (int channel : c.turned ? std::vector<int>{2, 1} : std::vector<int>{2})
            EXPECT_LT(cv::norm(centroid(out.colRange(0, 256), channel) - centroid(out.colRange(256, 512), channel)), 0.5)
                << "channel " << channel;
    }
}

// Each zenith angle turns the view its own way, and pitch acts before yaw: the centre pixel of a pitch of
// 10 degrees looks 10 degrees up, of a yaw 10 degrees right; a roll leaves the centre and lifts the pixel
// 45 degrees to the right by 10 degrees of azimuth.
TEST(Zenith, EachAngleTurnsTheViewItsOwnWay) {
    const double s = std::sin(10 * kDegree), c = std::cos(10 * kDegree), h = std::sqrt(0.5);
    const struct { int pitch, roll, yaw, column; Vec3 expected; } cases[] = {
        {100, 0, 0, 32, {0, c, s}},           {-100, 0, 0, 32, {0, c, -s}},
        {0, 0, 100, 32, {s, c, 0}},           {0, 100, 0, 32, {0, 1, 0}},
        {0, 100, 0, 48, {c * h, h, s * h}},   {0, -100, 0, 48, {c * h, h, -s * h}},
        {100, 0, 100, 32, {0.17101, 0.96985, 0.17365}}};
    for (const auto& t : cases) {
        SCOPED_TRACE(::testing::Message() << "pitch " << t.pitch << " roll " << t.roll << " yaw " << t.yaw);
        ConversionGeometry g = geometryOf(MappingKind::Equisolid, 600, 600, 64);
        g.zenith = zenithOf(t.pitch, t.roll, t.yaw);
        const Vec3 d = zenithDirection(g, 32, t.column);
        const double tolerance = t.pitch && t.yaw ? 1e-5 : 1e-7;
        EXPECT_NEAR(d.x, t.expected.x, tolerance);
        EXPECT_NEAR(d.y, t.expected.y, tolerance);
        EXPECT_NEAR(d.z, t.expected.z, tolerance);
    }
}

// Turns composed, undone and built from yaw, pitch and roll: a product applies its right factor first, the
// transpose undoes a turn, and yaw, pitch and roll are applied roll first.
TEST(Rotations, ComposeUndoAndBuildFromAngles) {
    const struct { double yaw, pitch, roll; } cases[] = {{2.0, -1.0, 1.5}, {-30, 10, 5}, {170, -80, 100}, {-90, 45, -45}};
    const Vec3 v{0.3, 0.8, -0.52};
    auto entries = [](const RotationMatrix& a, const RotationMatrix& b) {
        double largest = 0.0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) largest = std::max(largest, std::abs(a.m[i][j] - b.m[i][j]));
        return largest;
    };
    for (const auto& a : cases) {
        SCOPED_TRACE(::testing::Message() << a.yaw << " " << a.pitch << " " << a.roll);
        const RotationMatrix r = rotationFromYawPitchRoll(a.yaw, a.pitch, a.roll);
        EXPECT_LT(entries(r, rotationFromYawPitchRoll(a.yaw, 0, 0) * rotationFromYawPitchRoll(0, a.pitch, 0) *
                                 rotationFromYawPitchRoll(0, 0, a.roll)),
                  1e-15);
        EXPECT_LT(entries(transpose(r) * r, RotationMatrix{}), 1e-15);
        EXPECT_LT(gap(undoRotation(r, rotate(r, v)), v), 1e-15);
        EXPECT_EQ(rotate(transpose(r), v), undoRotation(r, v));
        for (const auto& b : cases) {
            const RotationMatrix s = rotationFromYawPitchRoll(b.yaw, b.pitch, b.roll);
            EXPECT_LT(gap(rotate(r * s, v), rotate(r, rotate(s, v))), 1e-15);
        }
    }
    // Positive yaw looks right, positive pitch up, positive roll leans image-up towards image-right.
    EXPECT_GT(rotate(rotationFromYawPitchRoll(5, 0, 0), {0, 1, 0}).x, 0.08);
    EXPECT_GT(rotate(rotationFromYawPitchRoll(0, 5, 0), {0, 1, 0}).z, 0.08);
    EXPECT_GT(rotate(rotationFromYawPitchRoll(0, 0, 5), {0, 0, 1}).x, 0.08);
}

// The wider kernels against a known truth: an equisolid fisheye of the panorama converted and compared with the
// panorama's own front hemisphere within 85 degrees of the axis; and on a plain disc, the rim (85 to 90 degrees)
// must not come out darker than bilinear's. Both are rendered together, as a batch renders pairs of one geometry:
// each output must read its own source.
TEST(Interpolation, WiderKernelsAreSharperAndKeepTheRim) {
    using namespace testsupport;
    const int n = 1024;  // about the fisheye's own resolution at its centre
    const cv::Mat fisheye = renderFisheye(panorama(), SynthLens::equisolid(1500, 1000), RotationMatrix{});
    const cv::Mat truth = frontHemisphere(panorama(), n);
    cv::Mat disc(1000, 1500, CV_8UC3, cv::Scalar::all(0)), inner(n, n, CV_8U), rim(n, n, CV_8U);
    for (int y = 0; y < 1000; ++y)
        for (int x = 0; x < 1500; ++x)
            if (std::hypot(x - 750, y - 500) <= 500) disc.at<cv::Vec3b>(y, x) = cv::Vec3b(200, 200, 200);
    const ConversionGeometry g = geometryOf(MappingKind::Equisolid, 1500, 1000, n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double off = std::acos(std::clamp(zenithDirection(g, i, j).y, -1.0, 1.0)) / kDegree;
            inner.at<uchar>(i, j) = off <= 85.0, rim.at<uchar>(i, j) = off > 85.0 && off < 89.9;
        }
    double bilinearPsnr = 0.0, bilinearRim = 0.0;
    for (const auto& [mode, minimumGain] : {std::pair{Interpolation::Bilinear, 0.0}, {Interpolation::Bicubic, 0.5}, {Interpolation::Lanczos, 0.3}}) {
        SCOPED_TRACE(static_cast<int>(mode));
        cv::Mat out(n, n, CV_8UC3), plain(n, n, CV_8UC3);
        const HalfTarget targets[] = {{&fisheye, &out}, {&disc, &plain}};
        renderLeftEyeForEach(g, targets, {0, {}, false, mode, {}});
        const double quality = psnr(out, truth, inner), rimLevel = cv::mean(plain, rim)[0];
        if (mode == Interpolation::Bilinear) bilinearPsnr = quality, bilinearRim = rimLevel;
        EXPECT_GE(quality, std::max(bilinearPsnr + minimumGain, 37.0)) << quality << " dB against bilinear's " << bilinearPsnr;
        EXPECT_GE(rimLevel, bilinearRim) << "rim level " << rimLevel;
        EXPECT_NEAR(cv::mean(plain, inner)[0], 200.0, 0.01);
    }
}

}  // namespace
}  // namespace vistereo
