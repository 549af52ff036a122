// The alignment layer: the engine adapter's grid and lens mapping, rotation
// helpers, the estimator on synthetic directions, the whole alignment on
// rendered stereo scenes (accuracy, baseline, mixed lenses, refusals, the
// suggested A/B points through the engine's A/B route), and the stereo
// measurement of side-by-side images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "alignment/alignment.h"
#include "alignment/relative_pose.h"
#include "alignment/rotation.h"
#include "alignment/working_view.h"
#include "conversion/run.h"
#include "engine/render.h"
#include "tests/support/stereo_scene.h"

namespace vistereo {
namespace {

using namespace alignment;
using testsupport::AlignmentCase;
using testsupport::Rotation;
using testsupport::SynthLens;

constexpr double kDeg = 3.14159265358979323846 / 180.0;

cv::Matx33d matrixOf(const Rotation& r) { return cv::Matx33d(&r.m[0][0]); }
cv::Vec3d vecOf(const Vec3& v) { return {v.x, v.y, v.z}; }
double angleDegrees(const cv::Vec3d& a, const cv::Vec3d& b) {
    return std::acos(std::clamp(a.dot(b) / (cv::norm(a) * cv::norm(b)), -1.0, 1.0)) / kDeg;
}
double rotationErrorDegrees(const cv::Matx33d& estimate, const Rotation& truth) {
    return rotationAngle(matrixOf(truth).t() * estimate) / kDeg;
}

ConversionGeometry geometryOf(const SynthLens& left, const SynthLens& right) {
    ConversionGeometry g;
    g.eye = {testsupport::eyeGeometryOf(left), testsupport::eyeGeometryOf(right)};
    return g;
}

CameraModel cameraOf(const SynthLens& lens) { return CameraModel::fromEyeGeometry(testsupport::eyeGeometryOf(lens)); }

// ---- engine adapter ---------------------------------------------------------

TEST(WorkingView, GridDirectionsAreTheEnginesAndInvert) {
    for (int n : {7, 230, 1024}) {
        ConversionGeometry p;
        p.outputHeight = n;
        for (int i = 0; i < n; i += std::max(1, n / 37))
            for (int j = 0; j < n; j += std::max(1, n / 41)) {
                const Vec3 engine = zenithDirection(p, i, j);
                const cv::Vec3d mine = halfPixelDirection(n, {static_cast<double>(j), static_cast<double>(i)});
                ASSERT_TRUE(mine[0] == engine.x && mine[1] == engine.y && mine[2] == engine.z)
                    << "n " << n << " at " << i << "," << j;
                if (i == 0) continue;  // the pole has no column
                const cv::Point2d back = halfPositionOfDirection(n, mine);
                ASSERT_NEAR(back.x, j, 1e-8) << n << " " << i << "," << j;
                ASSERT_NEAR(back.y, i, 1e-8) << n << " " << i << "," << j;
            }
        // Continuous positions: between the integer ones.
        const cv::Vec3d d = halfPixelDirection(n, {n * 0.3 + 0.25, n * 0.6 + 0.75});
        const cv::Point2d back = halfPositionOfDirection(n, d);
        EXPECT_NEAR(back.x, n * 0.3 + 0.25, 1e-8);
        EXPECT_NEAR(back.y, n * 0.6 + 0.75, 1e-8);
    }
}

TEST(WorkingView, LensMappingBothWaysAgreesWithTheTestLenses) {
    const struct { const char* name; SynthLens lens; } lenses[] = {
        {"equisolid", SynthLens::equisolid(1600, 1200)},
        {"orthographic", SynthLens::orthographic(1600, 1200)},
        {"sin(0.7 theta)", SynthLens::sine(1600, 1200, 0.7)}};
    for (const auto& l : lenses) {
        const CameraModel camera = cameraOf(l.lens);
        EXPECT_EQ(camera.imageWidth(), 1600);
        EXPECT_EQ(camera.imageHeight(), 1200);
        for (int y = 100; y < 1200; y += 97)
            for (int x = 250; x < 1400; x += 89) {
                const Vec3 truth = testsupport::cameraDirectionOfPixel(l.lens, x, y);
                if (std::isnan(truth.x) || std::hypot(x - 800, y - 600) < 1) continue;
                const cv::Vec3d d = directionOfSourcePixel(camera, {x, y});
                ASSERT_LT(angleDegrees(d, vecOf(truth)), 1e-4) << l.name << " at " << x << "," << y;
                const std::optional<cv::Point2d> back = sourcePositionOfDirection(camera, d);
                ASSERT_TRUE(back.has_value());
                ASSERT_LT(std::hypot(back->x - x, back->y - y), 1e-6) << l.name << " at " << x << "," << y;
            }
    }
}

// The working half of a fisheye photograph of the panorama is the
// panorama's front hemisphere as that camera faces it, for a small image
// (sampled directly) and a large one (box-reduced first); the right camera
// turned against the left shows unturned, in its own frame.
TEST(WorkingView, HalfShowsTheCameraUnrotatedOnTheGrid) {
    const struct { int width, height, n, reduction; Rotation camera; } cases[] = {
        {800, 600, 512, 1, Rotation{}},
        {800, 600, 512, 1, Rotation::fromYawPitchRoll(3.0, -2.0, 4.0)},
        {800, 600, 256, 2, Rotation::fromYawPitchRoll(3.0, -2.0, 4.0)},
        {2400, 1800, 256, 7, Rotation::fromYawPitchRoll(-1.0, 1.0, -2.0)}};
    for (const auto& c : cases) {
        const SynthLens lens = SynthLens::equisolid(c.width, c.height);
        const cv::Mat image = testsupport::renderFisheye(testsupport::panorama(), lens, c.camera);
        const CameraModel camera = cameraOf(lens);
        const WorkingHalf half = renderWorkingHalf(camera, image, c.n);
        EXPECT_EQ(half.reduction, c.reduction) << c.width;
        cv::Mat truth;
        cv::cvtColor(testsupport::frontHemisphere(testsupport::panorama(), c.n, c.camera), truth, cv::COLOR_BGR2GRAY);
        // The half against the truth turned by fractions of a working pixel
        // of yaw and of pitch: the best agreement is at no turn at all
        // (the parabola through three turns peaks within 0.05 of a pixel).
        auto psnrTurned = [&](double yawPixels, double pitchPixels) {
            cv::Mat truth, a, b;
            const double pixel = 180.0 / c.n;
            cv::cvtColor(testsupport::frontHemisphere(
                             testsupport::panorama(), c.n,
                             c.camera * Rotation::fromYawPitchRoll(yawPixels * pixel, pitchPixels * pixel, 0.0)),
                         truth, cv::COLOR_BGR2GRAY);
            cv::GaussianBlur(half.gray, a, cv::Size(), 1.0);
            cv::GaussianBlur(truth, b, cv::Size(), 1.0);
            cv::cvtColor(a, a, cv::COLOR_GRAY2BGR);
            cv::cvtColor(b, b, cv::COLOR_GRAY2BGR);
            return testsupport::psnr(a, b, half.valid);
        };
        for (bool yaw : {true, false}) {
            const double step = 0.3;
            const double minus = yaw ? psnrTurned(-step, 0) : psnrTurned(0, -step);
            const double zero = psnrTurned(0, 0);
            const double plus = yaw ? psnrTurned(step, 0) : psnrTurned(0, step);
            EXPECT_GT(zero, 33.0) << c.width << " x " << c.height << " at " << c.n;
            ASSERT_TRUE(zero > minus && zero > plus) << minus << " " << zero << " " << plus;
            const double vertex = 0.5 * step * (minus - plus) / (minus - 2 * zero + plus);
            EXPECT_LT(std::abs(vertex), 0.05) << (yaw ? "yaw" : "pitch") << " at " << c.width << " x " << c.height
                                              << ", n " << c.n;
        }
        EXPECT_GT(cv::countNonZero(half.valid), c.n * c.n * 0.9) << "a 180-degree circle fills the half";
    }
}

// pointRouteRotation is the rotation the engine's right half undoes: its
// source positions are those of R^T d for output direction d.
TEST(WorkingView, PointRouteRotationIsWhatTheRightHalfUndoes) {
    ConversionGeometry p = geometryOf(SynthLens::equisolid(1600, 1200), SynthLens::orthographic(1600, 1200));
    p.outputHeight = 300;
    const AlignmentRotation route = alignmentRotation(p.eye[0], p.eye[1], {{560, 820}, {1060, 700}, {554, 822}, {1048, 687}});
    const CameraModel left = CameraModel::fromEyeGeometry(p.eye[0]), right = CameraModel::fromEyeGeometry(p.eye[1]);
    const cv::Matx33d r = pointRouteRotation(left, right, {560, 820}, {1060, 700}, {554, 822}, {1048, 687});
    EXPECT_LT(cv::norm(r * r.t() - cv::Matx33d::eye(), cv::NORM_INF), 1e-12);
    EXPECT_NEAR(cv::determinant(r), 1.0, 1e-12);
    for (int i = 10; i < 300; i += 23)
        for (int j = 10; j < 300; j += 29) {
            const SourcePosition engine = reference::sourcePosition(p, Half::Right, route, i, j);
            const cv::Vec3d d = halfPixelDirection(300, {static_cast<double>(j), static_cast<double>(i)});
            const std::optional<cv::Point2d> mine = sourcePositionOfDirection(right, r.t() * d);
            ASSERT_TRUE(mine.has_value());
            ASSERT_LT(std::hypot(mine->x - engine.column, mine->y - engine.row), 1e-7) << i << "," << j;
        }
}

// ---- rotations ----------------------------------------------------------------

TEST(Rotations, YawPitchRollIsTheTestPairsConventionAndInverts) {
    const struct { double yaw, pitch, roll; } cases[] = {{2.0, -1.0, 1.5}, {0, 0, 0},      {-30, 10, 5},
                                                          {0.01, 0, 0},    {0, 0.01, 0},   {0, 0, -0.01},
                                                          {170, -80, 100}, {-90, 45, -45}};
    for (const auto& c : cases) {
        const cv::Matx33d mine = rotationFromYawPitchRoll(c.yaw, c.pitch, c.roll);
        EXPECT_LT(cv::norm(mine - matrixOf(Rotation::fromYawPitchRoll(c.yaw, c.pitch, c.roll)), cv::NORM_INF), 1e-15);
        const YawPitchRoll back = yawPitchRollOf(mine);
        EXPECT_NEAR(back.yaw, c.yaw, 1e-9);
        EXPECT_NEAR(back.pitch, c.pitch, 1e-9);
        EXPECT_NEAR(back.roll, c.roll, 1e-9);
        const cv::Vec3d w = vectorFromRotation(mine);
        EXPECT_LT(cv::norm(rotationFromVector(w) - mine, cv::NORM_INF), 1e-12);
    }
    // Positive yaw looks right, positive pitch up.
    const cv::Vec3d forward(0, 1, 0);
    EXPECT_GT((rotationFromYawPitchRoll(5, 0, 0) * forward)[0], 0.08);
    EXPECT_GT((rotationFromYawPitchRoll(0, 5, 0) * forward)[2], 0.08);
}

// ---- the estimator on synthetic directions ---------------------------------------

// Points between nearest and farthest metres (infinity when farthest is 0),
// uniform over the front half of both cameras, seen from a rig with a 65 mm
// baseline, directions perturbed by `noise` radians, a share turned into
// random outliers.
std::vector<DirectionPair> syntheticPairs(const cv::Matx33d& rotation, const cv::Vec3d& baseline, double nearest,
                                          double farthest, double noise, double outlierShare, int count,
                                          unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0), zeroOne(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, noise);
    auto jitter = [&](cv::Vec3d d) { return cv::normalize(d + cv::Vec3d(gauss(rng), gauss(rng), gauss(rng))); };
    std::vector<DirectionPair> pairs;
    while (static_cast<int>(pairs.size()) < count) {
        cv::Vec3d d(unit(rng), unit(rng), unit(rng));
        if (cv::norm(d) > 1.0 || d[1] < 0.2 * cv::norm(d)) continue;
        d = cv::normalize(d);
        cv::Vec3d left = d, right;
        if (farthest <= 0.0) {
            right = rotation.t() * d;
        } else {
            const double distance = nearest + (farthest - nearest) * zeroOne(rng);
            const cv::Vec3d x = distance * d;
            right = rotation.t() * cv::normalize(x - 0.065 * baseline);
        }
        if (right[1] < 0.1) continue;
        if (zeroOne(rng) < outlierShare) {
            cv::Vec3d other(unit(rng), std::abs(unit(rng)) + 0.3, unit(rng));
            right = cv::normalize(other);
        }
        pairs.push_back({jitter(left), jitter(right)});
    }
    return pairs;
}

TEST(RelativePose, RecoversRotationAndBaselineWhereARotationOnlyFitIsBiased) {
    const double px = 3.14159265 / 1024;  // a working pixel
    const struct {
        const char* name;
        double nearest, farthest, noise, outliers;
        cv::Vec3d baseline;
        double tolerance;  // degrees
        bool observed;
        double rotationOnlyBiasAtLeast;  // degrees
    } cases[] = {
        {"infinity", 0, 0, 0.1 * px, 0.2, {1, 0, 0}, 0.003, false, 0.0},
        {"1-6 m", 1.0, 6.0, 0.1 * px, 0.2, {1, 0, 0}, 0.005, true, 0.3},
        {"0.8-2 m, noisy", 0.8, 2.0, 0.3 * px, 0.3, {1, 0, 0}, 0.01, true, 0.8},
        {"1-3 m, tilted baseline", 1.0, 3.0, 0.1 * px, 0.2, cv::normalize(cv::Vec3d(1, 0.05, -0.08)), 0.005, true, 0.3},
        {"1-3 m, swapped eyes", 1.0, 3.0, 0.1 * px, 0.2, {-1, 0, 0}, 0.005, true, 0.3},
    };
    const cv::Matx33d truth = rotationFromYawPitchRoll(1.5, -0.7, 2.2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<DirectionPair> pairs =
            syntheticPairs(truth, c.baseline, c.nearest, c.farthest, c.noise, c.outliers, 1500, 7);
        PoseOptions options;
        options.inlierThreshold = 1.5 * px;
        const PoseEstimate e = estimateRelativePose(pairs, options);
        ASSERT_TRUE(e.ok);
        EXPECT_LT(rotationAngle(truth.t() * e.rotation) / kDeg, c.tolerance);
        EXPECT_GT(e.inliers.size(), 1500 * (1.0 - c.outliers) * 0.9);
        EXPECT_EQ(e.baselineObserved, c.observed);
        if (c.observed) {
            EXPECT_LT(angleDegrees(e.baseline, c.baseline), 1.0);
        } else {
            EXPECT_LT(angleDegrees(e.baseline, {1, 0, 0}), 1e-5) << "no parallax: the prior";
        }
        const cv::Matx33d rotationOnly = rotationOnlyFit(pairs, e.inliers);
        EXPECT_GE(rotationAngle(truth.t() * rotationOnly) / kDeg, c.rotationOnlyBiasAtLeast);
    }
    EXPECT_FALSE(estimateRelativePose(std::vector<DirectionPair>(7)).ok) << "fewer than eight pairs";
}

// ---- the whole alignment on rendered scenes --------------------------------------

struct RenderedPair {
    ConversionGeometry geometry;
    CameraModel left, right;
    cv::Mat leftImage, rightImage;
};

const RenderedPair& renderedPair(const AlignmentCase& c) {
    static std::map<std::string, RenderedPair> cache;
    auto found = cache.find(c.name);
    if (found != cache.end()) return found->second;
    RenderedPair pair;
    pair.geometry = geometryOf(c.rig.left.lens, c.rig.right.lens);
    pair.left = CameraModel::fromEyeGeometry(pair.geometry.eye[0]);
    pair.right = CameraModel::fromEyeGeometry(pair.geometry.eye[1]);
    pair.leftImage = testsupport::renderView(c.scene, c.rig.left);
    pair.rightImage = testsupport::renderView(c.scene, c.rig.right);
    return cache.emplace(c.name, std::move(pair)).first->second;
}

// Largest angle between where the engine's right half looks with the given
// A/B points and where it should look (the truth), over a grid of a half.
double routeErrorAgainstTruthDegrees(const RenderedPair& pair, const AlignmentCase& c, const SuggestedPoints& s) {
    ConversionGeometry p = pair.geometry;
    const std::array<int32_t, 8> values = s.listOrder();
    const CommaLineParse parsed = parseCommaLine(s.commaLine());
    EXPECT_TRUE(parsed.ok() && parsed.values == values) << s.commaLine();
    const PointSet points = PointSet::fromListOrder(parsed.values);
    EXPECT_EQ(points.listOrder(), values);
    const AlignmentRotation route = alignmentRotation(p.eye[0], p.eye[1], points);
    p.outputHeight = 200;
    double worst = 0.0;
    for (int i = 20; i < 180; i += 9)
        for (int j = 20; j < 180; j += 9) {
            const SourcePosition at = reference::sourcePosition(p, Half::Right, route, i, j);
            const Vec3 seen = testsupport::cameraDirectionOfPixel(c.rig.right.lens, at.column, at.row);
            const cv::Vec3d wanted = matrixOf(c.rig.rightToLeft()).t() *
                                     halfPixelDirection(200, {static_cast<double>(j), static_cast<double>(i)});
            if (std::isnan(seen.x)) continue;
            worst = std::max(worst, angleDegrees(vecOf(seen), wanted));
        }
    return worst;
}

class SceneAlignment : public ::testing::TestWithParam<int> {};

TEST_P(SceneAlignment, RotationBaselineAndSuggestedPoints) {
    const AlignmentCase c = testsupport::alignmentCases(1600, 1200)[GetParam()];
    SCOPED_TRACE(c.name);
    const RenderedPair& pair = renderedPair(c);
    const AlignmentResult r = estimateAlignment(pair.left, pair.leftImage, pair.right, pair.rightImage);
    ASSERT_TRUE(r.ok) << r.reason;
    EXPECT_EQ(r.failure, Failure::None);
    EXPECT_TRUE(r.reason.empty());

    EXPECT_LT(rotationErrorDegrees(r.rotationMatrix(), c.rig.rightToLeft()), c.rotationToleranceDegrees);
    const YawPitchRoll truth = yawPitchRollOf(matrixOf(c.rig.rightToLeft()));
    EXPECT_NEAR(r.yawDegrees, truth.yaw, c.rotationToleranceDegrees);
    EXPECT_NEAR(r.pitchDegrees, truth.pitch, c.rotationToleranceDegrees);
    EXPECT_NEAR(r.rollDegrees, truth.roll, c.rotationToleranceDegrees);

    EXPECT_EQ(r.baselineObserved, c.parallax);
    const cv::Vec3d baseline(r.baseline[0], r.baseline[1], r.baseline[2]);
    EXPECT_NEAR(cv::norm(baseline), 1.0, 1e-12);
    if (c.parallax) {
        EXPECT_LT(angleDegrees(baseline, vecOf(c.rig.baselineInLeft())), 2.0);
        EXPECT_GT(r.nearInliers, 50);
    }
    EXPECT_FALSE(r.baselineSuspect) << r.warning;

    EXPECT_GT(r.inliers, 400);
    EXPECT_LE(r.inliers, r.matches);
    EXPECT_GT(r.inliers, 0.8 * r.matches);
    EXPECT_LT(r.epipolarResidualArcmin.rms, 4.0);   // under half a working pixel (10.5 arcmin)
    EXPECT_GE(r.verticalDisparityArcmin.p95, r.epipolarResidualArcmin.p95 * 0.5);
    if (!c.parallax) {
        EXPECT_LT(r.verticalDisparityArcmin.p95, 5.0);
    }

    // The suggested points: far, well apart, and through the engine's A/B
    // route a rotation as good as the estimate.
    const SuggestedPoints& s = r.suggested;
    ASSERT_TRUE(s.ok) << s.reason;
    EXPECT_GT(s.separationDegrees, 40.0);
    EXPECT_LT(s.routeErrorDegrees, 0.02);
    EXPECT_LT(routeErrorAgainstTruthDegrees(pair, c, s), c.rotationToleranceDegrees + 0.03);
}

INSTANTIATE_TEST_SUITE_P(Scenes, SceneAlignment,
                         ::testing::Range(0, static_cast<int>(testsupport::alignmentCases(64, 64).size())),
                         [](const ::testing::TestParamInfo<int>& info) {
                             std::string name = testsupport::alignmentCases(64, 64)[info.param].name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

// Left and right photographs given the wrong way round: the rotation comes
// out as the inverse, the baseline as -x, and the result says so.
TEST(AutoAlignment, SwappedImagesAreFlagged) {
    const AlignmentCase c = testsupport::alignmentCases(1600, 1200)[1];  // spheres at 1-6 m, one lens
    const RenderedPair& pair = renderedPair(c);
    const AlignmentResult r = estimateAlignment(pair.right, pair.rightImage, pair.left, pair.leftImage);
    ASSERT_TRUE(r.ok) << r.reason;
    EXPECT_LT(rotationAngle(matrixOf(c.rig.rightToLeft()) * r.rotationMatrix()) / kDeg, c.rotationToleranceDegrees);
    EXPECT_TRUE(r.baselineObserved);
    EXPECT_GT(r.baselineOffAxisDegrees, 170.0);
    EXPECT_TRUE(r.baselineSuspect);
    EXPECT_NE(r.warning.find("swapped"), std::string::npos) << r.warning;
}

// The suggested points of the example-like pair, converted through the
// engine's A/B route: the right half shows what the left half shows.
TEST(SuggestedPoints, ConvertToHalvesThatAgree) {
    const AlignmentCase c = testsupport::alignmentCases(1600, 1200)[0];  // panorama at infinity
    const RenderedPair& pair = renderedPair(c);
    const AlignmentResult r = estimateAlignment(pair.left, pair.leftImage, pair.right, pair.rightImage);
    ASSERT_TRUE(r.ok && r.suggested.ok) << r.reason << r.suggested.reason;
    ConversionGeometry p = pair.geometry;
    PointSet points = PointSet::fromListOrder(r.suggested.listOrder());
    p.outputHeight = 600;
    cv::Mat out(600, 1200, CV_8UC3, cv::Scalar::all(0));
    renderLeftEye(p, pair.leftImage, out);
    renderRightEyeAligned(p, alignmentRotation(p.eye[0], p.eye[1], points), pair.rightImage, out);
    cv::Mat mask, gray;
    cv::cvtColor(out.colRange(600, 1200), gray, cv::COLOR_BGR2GRAY);
    cv::compare(gray, 0, mask, cv::CMP_GT);
    cv::erode(mask, mask, cv::Mat(), cv::Point(-1, -1), 3);
    const double aligned = testsupport::psnr(out.colRange(0, 600), out.colRange(600, 1200), mask);
    // The same with B moved by a few pixels in the right image: visibly worse.
    points.rightB.y += 4;
    cv::Mat off = out.clone();
    renderRightEyeAligned(p, alignmentRotation(p.eye[0], p.eye[1], points), pair.rightImage, off);
    const double misaligned = testsupport::psnr(off.colRange(0, 600), off.colRange(600, 1200), mask);
    EXPECT_GT(aligned, 33.0);
    EXPECT_GT(aligned, misaligned + 4.0) << aligned << " against " << misaligned;
}

// ---- refusals ---------------------------------------------------------------

TEST(AutoAlignment, RefusesWithReasons) {
    const SynthLens lens = SynthLens::equisolid(1200, 900);
    const CameraModel camera = cameraOf(lens);
    const testsupport::StereoRig rig =
        testsupport::StereoRig::sideBySide(lens, lens, Rotation::fromYawPitchRoll(1, 0, 0));
    testsupport::StereoScene plain;
    plain.panoramaBackground = false;
    const cv::Mat flat = testsupport::renderView(plain, rig.left, 1);
    const cv::Mat black(900, 1200, CV_8UC3, cv::Scalar::all(0));
    const cv::Mat forward = testsupport::renderView(testsupport::spheresOneToSixMetres(), rig.left, 1);
    // The same lens on a camera facing the other way, on a scene of its own.
    testsupport::SceneCamera behind = rig.left;
    behind.cameraToWorld = Rotation::fromYawPitchRoll(180, 25, 0);
    testsupport::StereoScene elsewhere;
    elsewhere.spheres = {testsupport::TexturedSphere::at(180, 30, 1.5, 0.6, 77)};
    const cv::Mat other = testsupport::renderView(elsewhere, behind, 1);
    cv::Mat gray;
    cv::cvtColor(forward, gray, cv::COLOR_BGR2GRAY);

    const struct {
        const char* name;
        const cv::Mat &left, &right;
        Failure failure;
        const char* words;  // part of the reason
    } cases[] = {
        {"flat colour both", flat, flat, Failure::TextureLess, "too little texture"},
        {"black right", forward, black, Failure::TextureLess, "right image"},
        {"unrelated photographs", forward, other, Failure::Unrelated, "stereo"},
        {"empty", cv::Mat(), forward, Failure::InvalidInput, "empty"},
        {"gray", gray, forward, Failure::InvalidInput, "BGR"},
        {"wrong size", forward, cv::Mat(forward, cv::Rect(0, 0, 1000, 900)), Failure::InvalidInput, "derived for"},
    };
    for (const auto& c : cases) {
        const AlignmentResult r = estimateAlignment(camera, c.left, camera, c.right);
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_EQ(r.failure, c.failure) << c.name << ": " << failureName(r.failure) << ", " << r.reason;
        EXPECT_NE(r.reason.find(c.words), std::string::npos) << c.name << ": " << r.reason;
        EXPECT_FALSE(r.suggested.ok) << c.name;
    }
    EXPECT_EQ(estimateAlignment(CameraModel(), forward, camera, forward).failure, Failure::InvalidInput);
    AlignmentOptions tiny;
    tiny.workingSize = 10;
    EXPECT_EQ(estimateAlignment(camera, forward, camera, forward, tiny).failure, Failure::InvalidInput);
    // Too few inliers: the same pair, asking for more support than there is.
    AlignmentOptions demanding;
    demanding.minInliers = 1000000;
    const AlignmentResult few = estimateAlignment(camera, forward, camera,
                                                  testsupport::renderView(testsupport::spheresOneToSixMetres(),
                                                                          rig.right, 1),
                                                  demanding);
    EXPECT_EQ(few.failure, Failure::TooFewInliers) << few.reason;
    EXPECT_NE(few.reason.find("correspondences"), std::string::npos) << few.reason;
}

// ---- measurement of side-by-side images -----------------------------------------

// A 2N x N side-by-side image of the panorama at infinity: the left half the
// front hemisphere, the right half the same moved down by `rows` rows (a
// plain vertical misalignment) or turned by `pitch` degrees.
cv::Mat sideBySide(int n, int rows, double pitchDegrees = 0.0) {
    static std::map<int, cv::Mat> fronts;
    cv::Mat& front = fronts[n];
    if (front.empty()) front = testsupport::frontHemisphere(testsupport::panorama(), n);
    cv::Mat out(n, 2 * n, CV_8UC3);
    front.copyTo(out.colRange(0, n));
    const cv::Mat right = pitchDegrees == 0.0 ? front
                                              : testsupport::frontHemisphere(testsupport::panorama(), n,
                                                                             Rotation::fromYawPitchRoll(0, pitchDegrees, 0));
    const cv::Matx23d shift(1, 0, 0, 0, 1, rows);
    cv::Mat moved;
    cv::warpAffine(right, moved, shift, right.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    moved.copyTo(out.colRange(n, 2 * n));
    return out;
}

TEST(Measurement, VerticalDisparityOfKnownMisalignments) {
    // A row is 10.5 arcmin at N = 1024 and 5.3 at N = 2048 (measured on a
    // half reduced to 1024); the comfort limit is 9.6, the fusion limit 19.2.
    const struct { int n, rows; Verdict verdict; } cases[] = {
        {1024, 0, Verdict::Comfortable}, {1024, 1, Verdict::Marginal},   {1024, -1, Verdict::Marginal},
        {1024, 2, Verdict::Uncomfortable}, {2048, 1, Verdict::Comfortable}, {2048, -3, Verdict::Marginal}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + ": " + std::to_string(c.rows) + " rows");
        const int n = c.n;
        const double arcmin = 10800.0 / n;
        const StereoMeasurement m = measureStereo(sideBySide(n, c.rows));
        ASSERT_TRUE(m.ok) << m.reason;
        EXPECT_EQ(m.halfSize, n);
        EXPECT_NEAR(m.arcminPerPixel, arcmin, 1e-12);
        EXPECT_GT(m.inliers, 300);
        EXPECT_NEAR(m.verticalPixels.mean, c.rows, 0.1);
        EXPECT_NEAR(m.verticalPixels.rms, std::abs(c.rows), 0.15);
        EXPECT_NEAR(m.verticalPixels.p95, std::abs(c.rows), 0.4);
        EXPECT_NEAR(m.verticalArcmin.rms, m.verticalPixels.rms * arcmin, 1e-9);
        EXPECT_LT(std::abs(m.horizontalMinPixels), 0.5 * n / 1024);
        EXPECT_LT(std::abs(m.horizontalMaxPixels), 0.5 * n / 1024);
        EXPECT_GT(m.coverage, 0.3);
        EXPECT_EQ(m.verdict, c.verdict) << m.verdictText;
        EXPECT_FALSE(m.verdictText.empty());
    }
    // A pitch of the right eye: the vertical disparity is the pitch at the
    // centre, falling off with the cosine of the azimuth towards the sides.
    const StereoMeasurement pitched = measureStereo(sideBySide(1024, 0, 0.5));
    ASSERT_TRUE(pitched.ok) << pitched.reason;
    EXPECT_NEAR(pitched.verticalArcmin.p95, 30.0, 2.5);
    EXPECT_LT(pitched.verticalArcmin.max, 40.0);
    EXPECT_GT(pitched.verticalArcmin.rms, 15.0);
    EXPECT_LT(pitched.verticalArcmin.rms, 30.0);
    EXPECT_GT(pitched.verticalArcmin.mean, 15.0) << "turned up: the right eye sees things lower";
    EXPECT_EQ(pitched.verdict, Verdict::Uncomfortable);
}

// The whole chain: a turned pair, aligned automatically, converted through
// the A/B route with the suggested points, measured: no vertical disparity
// left. Converted with the points of an unturned rig instead: the turn shows.
TEST(Measurement, ConvertedWithSuggestedPointsShowsNoVerticalDisparity) {
    const AlignmentCase c = testsupport::alignmentCases(1600, 1200)[0];
    const RenderedPair& pair = renderedPair(c);
    const AlignmentResult r = estimateAlignment(pair.left, pair.leftImage, pair.right, pair.rightImage);
    ASSERT_TRUE(r.ok && r.suggested.ok);
    auto convert = [&](const std::array<int32_t, 8>& points) {
        ConversionGeometry p = pair.geometry;
        p.outputHeight = 800;
        cv::Mat out(800, 1600, CV_8UC3, cv::Scalar::all(0));
        renderLeftEye(p, pair.leftImage, out);
        renderRightEyeAligned(p, alignmentRotation(p.eye[0], p.eye[1], PointSet::fromListOrder(points)), pair.rightImage, out);
        return out;
    };
    const StereoMeasurement good = measureStereo(convert(r.suggested.listOrder()));
    ASSERT_TRUE(good.ok) << good.reason;
    EXPECT_LT(good.verticalArcmin.p95, 2.5);
    EXPECT_LT(std::abs(good.horizontalMinPixels), 1.0);  // the 1st and 99th percentile: within a pixel
    EXPECT_LT(std::abs(good.horizontalMaxPixels), 1.0);
    EXPECT_EQ(good.verdict, Verdict::Comfortable);
    // Identity-like points (each right point where the left one is, B nudged
    // so the route is defined): the 1 degree pitch and 1.5 roll remain.
    const SuggestedPoints& s = r.suggested;
    const StereoMeasurement raw =
        measureStereo(convert({s.leftA.x, s.leftB.x, s.leftA.x, s.leftB.x + 1, s.leftA.y, s.leftB.y, s.leftA.y + 1,
                               s.leftB.y}));
    ASSERT_TRUE(raw.ok) << raw.reason;
    EXPECT_GT(raw.verticalArcmin.p95, 40.0);
    EXPECT_EQ(raw.verdict, Verdict::Uncomfortable);
}

TEST(Measurement, RefusesWhatIsNotAPair) {
    const struct { const char* name; cv::Mat image; Failure failure; } cases[] = {
        {"empty", cv::Mat(), Failure::InvalidInput},
        {"not 2:1", cv::Mat(300, 400, CV_8UC3, cv::Scalar::all(90)), Failure::InvalidInput},
        {"gray", cv::Mat(300, 600, CV_8UC1, cv::Scalar::all(90)), Failure::InvalidInput},
        {"flat", cv::Mat(300, 600, CV_8UC3, cv::Scalar::all(90)), Failure::TextureLess},
    };
    for (const auto& c : cases) {
        const StereoMeasurement m = measureStereo(c.image);
        EXPECT_FALSE(m.ok) << c.name;
        EXPECT_EQ(m.failure, c.failure) << c.name << ": " << m.reason;
        EXPECT_EQ(m.verdict, Verdict::Unknown) << c.name;
        EXPECT_FALSE(m.reason.empty()) << c.name;
    }
    // Two unrelated halves.
    cv::Mat unrelated(512, 1024, CV_8UC3);
    testsupport::frontHemisphere(testsupport::panorama(), 512).copyTo(unrelated.colRange(0, 512));
    testsupport::frontHemisphere(testsupport::panorama(), 512, Rotation::fromYawPitchRoll(180, 20, 0))
        .copyTo(unrelated.colRange(512, 1024));
    const StereoMeasurement m = measureStereo(unrelated);
    EXPECT_FALSE(m.ok);
    EXPECT_EQ(m.failure, Failure::Unrelated) << m.reason;
}

}  // namespace
}  // namespace vistereo
