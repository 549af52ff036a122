// The alignment layer: the engine's grid, rotation helpers, the estimator on
// synthetic directions, the whole alignment on rendered scenes with known truth
// (accuracy, baseline, swapped images, refusals, the suggested A/B points
// through the engine's A/B route), the measurement of side-by-side images, and
// the stereo window: the convergence for a distance, a near object cut by the
// frame's edge flagged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "alignment/alignment.h"
#include "alignment/matching_steps.h"
#include "measure/measure.h"
#include "alignment/cv_rotation.h"
#include "alignment/relative_pose.h"
#include "alignment/rotation.h"
#include "measure/stereo_window.h"
#include "alignment/subpixel.h"
#include "alignment/working_view.h"
#include "conversion/request.h"
#include "engine/render.h"
#include "tests/support/stereo_scene.h"

namespace vistereo {
namespace {

using namespace alignment;
using namespace testsupport;

constexpr double kDeg = 3.14159265358979323846 / 180.0;

double angleDegrees(const Vec3& u, const Vec3& v) {
    const cv::Vec3d a = toCv(u), b = toCv(v);
    return std::acos(std::clamp(a.dot(b) / (cv::norm(a) * cv::norm(b)), -1.0, 1.0)) / kDeg;
}
CameraModel cameraOf(const SynthLens& lens) { return CameraModel::fromEyeGeometry(eyeGeometryOf(lens)); }
Vec3 gridDirection(int n, int i, int j) { return halfPixelDirection(n, {double(j), double(i)}); }

TEST(WorkingView, GridDirectionsAreTheEnginesAndInvert) {
    for (int n : {7, 230, 1024}) {
        ConversionGeometry p;
        p.outputHeight = n;
        for (int i = 0; i < n; i += std::max(1, n / 37))
            for (int j = 0; j < n; j += std::max(1, n / 41)) {
                const Vec3 engine = zenithDirection(p, i, j);
                const Vec3 mine = gridDirection(n, i, j);
                ASSERT_TRUE(mine == engine) << n << ": " << i << "," << j;
                // The pole (row 0) has no column.
                ASSERT_TRUE(i == 0 || cv::norm(halfPositionOfDirection(n, mine) - cv::Point2d(j, i)) < 1e-8) << n << ": " << i << "," << j;
            }
        const cv::Point2d between(n * 0.3 + 0.25, n * 0.6 + 0.75);
        EXPECT_LT(cv::norm(halfPositionOfDirection(n, halfPixelDirection(n, between)) - between), 1e-8);
    }
}

// The working half of a fisheye photograph of the panorama is the panorama's
// front hemisphere as that camera faces it, for a small image (sampled
// directly) and a large one (box-reduced first): against the truth turned by
// fractions of a working pixel of yaw and of pitch, the best agreement is at
// no turn at all (the parabola through three turns peaks within 0.05 pixel).
TEST(WorkingView, HalfShowsTheCameraUnrotatedOnTheGrid) {
    const struct { int width, height, n, reduction; RotationMatrix camera; } cases[] = {
        {800, 600, 512, 1, rotationFromYawPitchRoll(3.0, -2.0, 4.0)}, {800, 600, 256, 2, rotationFromYawPitchRoll(3.0, -2.0, 4.0)},
        {2400, 1800, 256, 7, rotationFromYawPitchRoll(-1.0, 1.0, -2.0)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " at " + std::to_string(c.n));
        const SynthLens lens = SynthLens::equisolid(c.width, c.height);
        const WorkingHalf half = renderWorkingHalf(cameraOf(lens), renderFisheye(panorama(), lens, c.camera), c.n);
        EXPECT_EQ(half.reduction, c.reduction);
        EXPECT_GT(cv::countNonZero(half.valid), c.n * c.n * 0.9) << "a 180-degree circle fills the half";
        const auto psnrTurned = [&](double yawPixels, double pitchPixels) {
            const double pixel = 180.0 / c.n;
            cv::Mat truth, a, b;
            cv::cvtColor(frontHemisphere(panorama(), c.n, c.camera * rotationFromYawPitchRoll(yawPixels * pixel, pitchPixels * pixel, 0)),
                         truth, cv::COLOR_BGR2GRAY);
            cv::GaussianBlur(half.gray, a, cv::Size(), 1.0);
            cv::GaussianBlur(truth, b, cv::Size(), 1.0);
            cv::cvtColor(a, a, cv::COLOR_GRAY2BGR), cv::cvtColor(b, b, cv::COLOR_GRAY2BGR);
            return psnr(a, b, half.valid);
        };
        const double step = 0.3, zero = psnrTurned(0, 0);
        EXPECT_GT(zero, 33.0);
        for (const bool yaw : {true, false}) {
            const double minus = psnrTurned(yaw ? -step : 0, yaw ? 0 : -step), plus = psnrTurned(yaw ? step : 0, yaw ? 0 : step);
            ASSERT_TRUE(zero > minus && zero > plus) << minus << " " << zero << " " << plus;
            EXPECT_LT(std::abs(0.5 * step * (minus - plus) / (minus - 2 * zero + plus)), 0.05) << (yaw ? "yaw" : "pitch");
        }
    }
}

TEST(Rotations, YawPitchRollAndRotationVectorsInvert) {
    for (const cv::Vec3d& c : {cv::Vec3d(2.0, -1.0, 1.5), {0, 0, 0}, {-30, 10, 5}, {0.01, 0, 0}, {0, 0.01, 0},
                               {0, 0, -0.01}, {170, -80, 100}, {-90, 45, -45}}) {
        SCOPED_TRACE(cv::format("%g %g %g", c[0], c[1], c[2]));
        const RotationMatrix mine = rotationFromYawPitchRoll(c[0], c[1], c[2]);
        const YawPitchRoll back = yawPitchRollOf(mine);
        EXPECT_LT(cv::norm(cv::Vec3d(back.yaw, back.pitch, back.roll) - c), 1e-9);
        EXPECT_LT(cv::norm(rotationFromVector(vectorFromRotation(toCv(mine))) - toCv(mine), cv::NORM_INF), 1e-12);
    }
}

// Points between nearest and farthest metres (at infinity when farthest is
// 0), over the front half of both cameras of a rig with a 65 mm baseline,
// directions perturbed by `noise` radians, a share turned into outliers.
std::vector<DirectionPair> syntheticPairs(const cv::Matx33d& rotation, const cv::Vec3d& baseline, double nearest,
                                          double farthest, double noise, double outlierShare, int count) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0), zeroOne(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, noise);
    auto jitter = [&](cv::Vec3d d) { return cv::normalize(d + cv::Vec3d(gauss(rng), gauss(rng), gauss(rng))); };
    std::vector<DirectionPair> pairs;
    while (static_cast<int>(pairs.size()) < count) {
        cv::Vec3d d(unit(rng), unit(rng), unit(rng));
        if (cv::norm(d) > 1.0 || d[1] < 0.2 * cv::norm(d)) continue;
        d = cv::normalize(d);
        const double distance = nearest + (farthest - nearest) * zeroOne(rng);
        cv::Vec3d right = rotation.t() * (farthest <= 0.0 ? d : cv::normalize(distance * d - 0.065 * baseline));
        if (right[1] < 0.1) continue;
        if (zeroOne(rng) < outlierShare) right = cv::normalize(cv::Vec3d(unit(rng), std::abs(unit(rng)) + 0.3, unit(rng)));
        pairs.push_back({fromCv(jitter(d)), fromCv(jitter(right))});
    }
    return pairs;
}

// With parallax (all but the first row) a rotation-only fit would be biased by
// tenths of a degree, and an inlier rule that judged pairs by one rotation would
// keep next to none of the nearest scene's; the full pose recovers the rotation
// within a hundredth of a degree and counts inliers by the epipolar model. A
// baseline tilted by 4.6 degrees is held a little towards the level by the
// pose's prior (near-horizontal rigs), which costs the rotation thousandths.
TEST(RelativePose, RecoversRotationAndBaselineWithOutliersAndParallax) {
    const double px = 3.14159265 / 1024;  // a working pixel
    const struct { const char* name; double nearest, farthest, noise, outliers; cv::Vec3d baseline; double tolerance; } cases[] = {
        {"infinity", 0, 0, 0.1 * px, 0.2, {1, 0, 0}, 0.003}, {"1-6 m", 1.0, 6.0, 0.1 * px, 0.2, {1, 0, 0}, 0.005},
        {"0.8-2 m, noisy", 0.8, 2.0, 0.3 * px, 0.3, {1, 0, 0}, 0.015},
        {"1-3 m, tilted baseline", 1.0, 3.0, 0.1 * px, 0.2, cv::normalize(cv::Vec3d(1, 0.05, -0.08)), 0.01},
        {"1-3 m, swapped eyes", 1.0, 3.0, 0.1 * px, 0.2, {-1, 0, 0}, 0.005},
        // So near that next to no pair agrees with any one rotation, yet nearly all with the epipolar model.
        {"0.4-1.2 m", 0.4, 1.2, 0.1 * px, 0.1, {1, 0, 0}, 0.01}};
    const RotationMatrix truth = rotationFromYawPitchRoll(1.5, -0.7, 2.2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<DirectionPair> pairs = syntheticPairs(toCv(truth), c.baseline, c.nearest, c.farthest, c.noise, c.outliers, 1500);
        PoseOptions options;
        options.inlierThreshold = 1.5 * px;
        const PoseEstimate e = estimateRelativePose(pairs, options);
        ASSERT_TRUE(e.ok());
        EXPECT_LT(rotationAngle(transpose(truth) * e.rotation) / kDeg, c.tolerance);
        EXPECT_GT(e.inliers.size(), 1500 * (1.0 - c.outliers) * 0.9);
        EXPECT_EQ(e.baselineObserved, c.farthest > 0);
        EXPECT_EQ(e.evidence.nominalBecause.empty(), c.farthest > 0) << e.evidence.nominalBecause;
        EXPECT_LT(angleDegrees(e.baseline, fromCv(c.baseline)), c.farthest > 0 ? 1.0 : 1e-5) << "no parallax: the prior +x";
    }
    EXPECT_FALSE(estimateRelativePose(std::vector<DirectionPair>(7)).ok()) << "fewer than eight pairs";
}

// A rig whose right lens images every direction `radialError` (a share)
// further from its axis than the left one: a smooth displacement of the far
// field no rotation removes, the size of a real lens's departure from its
// law. `far` points at infinity, spread over the view or, with `farSide`,
// only on its left (-1) or right (+1) half, and `near` points between
// `nearest` and `farthest` metres on the left half, the baseline +x.
std::vector<DirectionPair> bentPairs(const cv::Matx33d& rotation, double radialError, int far, int farSide, int near,
                                     double nearest, double farthest) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(-1.0, 1.0), zeroOne(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, 0.1 * 3.14159265 / 1024);
    auto seen = [&](cv::Vec3d d) {
        const double theta = std::acos(std::clamp(d[1], -1.0, 1.0)), bent = theta * (1.0 + radialError);
        const cv::Vec3d across = cv::normalize(cv::Vec3d(d[0], 0.0, d[2]));
        return cv::normalize(cv::Vec3d(across[0] * std::sin(bent), std::cos(bent), across[2] * std::sin(bent)) +
                             cv::Vec3d(gauss(rng), gauss(rng), gauss(rng)));
    };
    std::vector<DirectionPair> pairs;
    int farLeft = far, nearLeft = near;
    while (farLeft > 0 || nearLeft > 0) {
        cv::Vec3d d(unit(rng), unit(rng), unit(rng));
        if (cv::norm(d) > 1.0 || d[1] < 0.3 * cv::norm(d)) continue;
        d = cv::normalize(d);
        const bool isNear = nearLeft > 0 && (farLeft == 0 || zeroOne(rng) < 0.5);
        if (isNear ? d[0] > 0.0 : farSide * d[0] < 0.0) continue;
        const double distance = nearest + (farthest - nearest) * zeroOne(rng);
        const cv::Vec3d right = rotation.t() * (isNear ? cv::normalize(distance * d - 0.065 * cv::Vec3d(1, 0, 0)) : d);
        pairs.push_back({fromCv(d), fromCv(seen(right))});
        (isNear ? nearLeft : farLeft) -= 1;
    }
    return pairs;
}

// The baseline's side is decided by the points with the largest parallax,
// and a far field bent by a lens error stays far: a thousand distant points
// whose displacement by the lens mimics parallax along -x do not outweigh a
// few dozen near ones 0.6 to 1.5 m away (a railing) along +x, and do not
// become near themselves. With too few near points the nominal +x is taken,
// and said; the near points on the other side turn it round. (A far field
// bent on one half only pulls the rotation by a tenth of a degree: no
// rotation lines such a field up, and the best one is not the truth.)
TEST(RelativePose, TheLargestParallaxDecidesTheBaselineNotACount) {
    const double px = 3.14159265 / 1024;
    const RotationMatrix truth = rotationFromYawPitchRoll(0.4, 1.8, -0.3);
    const struct { const char* name; double radialError; int far, farSide, near; bool observed; double side, tolerance; } cases[] = {
        {"far field bent by the lens, near points a fifth", 0.002, 1200, 0, 300, true, 1.0, 0.03},
        {"far field bent on the right half, a railing on the left", 0.003, 1400, 1, 60, true, 1.0, 0.15},
        {"eight near points: too few to tell", 0.002, 1400, 0, 8, false, 1.0, 0.03}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<DirectionPair> pairs = bentPairs(toCv(truth), c.radialError, c.far, c.farSide, c.near, 0.6, 1.5);
        PoseOptions options;
        options.inlierThreshold = 1.5 * px;
        options.farLimit = px;
        const PoseEstimate e = estimateRelativePose(pairs, options);
        ASSERT_TRUE(e.ok()) << e.error;
        EXPECT_EQ(e.baselineObserved, c.observed) << e.evidence.nominalBecause;
        EXPECT_EQ(e.evidence.nominalBecause.find("too little of the scene is near"), c.observed ? std::string::npos : 0u)
            << e.evidence.nominalBecause;
        EXPECT_GT(e.baseline.x * c.side, 0.99);
        EXPECT_LT(rotationAngle(transpose(truth) * e.rotation) / kDeg, c.tolerance);
        // Near roles go to the near points, not to the bent far field.
        EXPECT_LE(e.nearInliers, c.near) << e.nearInliers << " near of " << c.near;
        EXPECT_GT(e.inliers.size(), (c.far + c.near) * 0.9);

        // The same pairs with the eyes given the other way round.
        std::vector<DirectionPair> swapped;
        for (const DirectionPair& p : pairs) swapped.push_back({p.right, p.left});
        const PoseEstimate s = estimateRelativePose(swapped, options);
        ASSERT_TRUE(s.ok()) << s.error;
        EXPECT_GT(s.baseline.x * (c.observed ? -c.side : c.side), 0.99) << "observed: turned round; else nominal";
        EXPECT_EQ(s.evidence.otherSide, c.observed);
    }
}

// A view of the panorama and the same view moved by a known fraction of a
// pixel (moved by whole pixels at four times the size, then reduced by
// averaging, so that the shift is exact): from the whole-pixel positions
// nearest the truth, the refinement finds the moved positions to a few
// hundredths of a pixel (the reduction's aliasing alone leaves some), on one thread or several alike. Where the left
// patch has no texture, or the shift is beyond reach, the detector's
// position stays.
TEST(Subpixel, RecoversKnownShifts) {
    cv::Mat large, gray;
    cv::cvtColor(frontHemisphere(panorama(), 2048), large, cv::COLOR_BGR2GRAY);
    cv::resize(large, gray, cv::Size(512, 512), 0, 0, cv::INTER_AREA);
    const RefinementImage left = prepareForRefinement(gray);
    const struct { int dx, dy, threads; } quarters[] = {{1, -1, 1}, {3, 2, 2}, {2, 0, 0}, {-3, 1, 1}};
    for (const auto& q : quarters) {
        const cv::Point2d shift(q.dx / 4.0, q.dy / 4.0);
        SCOPED_TRACE(cv::format("%g, %g", shift.x, shift.y));
        cv::Mat movedLarge, moved;
        cv::warpAffine(large, movedLarge, cv::Matx23d(1, 0, q.dx, 0, 1, q.dy), large.size(), cv::INTER_NEAREST,
                       cv::BORDER_REFLECT);
        cv::resize(movedLarge, moved, gray.size(), 0, 0, cv::INTER_AREA);
        std::vector<cv::Point2d> leftAt, rightAt, start;
        for (int y = 300; y < 480; y += 12)  // the textured ground
            for (int x = 40; x < 470; x += 12) {
                leftAt.emplace_back(x, y);
                start.emplace_back(std::round(x + shift.x), std::round(y + shift.y));
            }
        rightAt = start;
        const int refined =
            refineMatchedPositions(left, prepareForRefinement(moved), cv::Mat(), leftAt, rightAt, {}, q.threads);
        EXPECT_GT(refined, static_cast<int>(leftAt.size() / 2));
        std::vector<double> errors;
        for (size_t k = 0; k < leftAt.size(); ++k)
            if (rightAt[k] != start[k]) errors.push_back(cv::norm(rightAt[k] - leftAt[k] - shift));
        ASSERT_EQ(static_cast<int>(errors.size()), refined);
        std::sort(errors.begin(), errors.end());
        EXPECT_LT(errors[errors.size() / 2], 0.04);  // from up to 0.35 at the whole-pixel start
        EXPECT_LT(errors[errors.size() * 9 / 10], 0.1);
    }
    // A flat patch cannot pin a position down; a patch shifted beyond the
    // limit is not the one that was matched.
    const cv::Mat flat(200, 200, CV_8UC1, cv::Scalar(120));
    std::vector<cv::Point2d> at{{100.0, 100.0}};
    EXPECT_EQ(refineMatchedPositions(prepareForRefinement(flat), prepareForRefinement(flat), cv::Mat(), at, at, {}, 1), 0);
    cv::Mat far;
    cv::warpAffine(gray, far, cv::Matx23d(1, 0, 3.0, 0, 1, 0), gray.size());
    std::vector<cv::Point2d> from{{200.0, 400.0}}, to{{200.0, 400.0}};
    SubpixelOptions tight;
    tight.maxShift = 1.0;
    EXPECT_EQ(refineMatchedPositions(left, prepareForRefinement(far), cv::Mat(), from, to, tight, 1), 0);
    EXPECT_EQ(to[0], cv::Point2d(200.0, 400.0));
}

// ---- the whole alignment on rendered scenes --------------------------------------

struct RenderedPair { ConversionGeometry geometry; CameraModel left, right; cv::Mat leftImage, rightImage; };

// Each case's pair rendered once.
const RenderedPair& renderedPair(const AlignmentCase& c) {
    static std::map<std::string, RenderedPair> cache;
    if (auto found = cache.find(c.name); found != cache.end()) return found->second;
    RenderedPair pair{{}, cameraOf(c.rig.left.lens), cameraOf(c.rig.right.lens), renderView(c.scene, c.rig.left),
                      renderView(c.scene, c.rig.right)};
    pair.geometry.eye = {eyeGeometryOf(c.rig.left.lens), eyeGeometryOf(c.rig.right.lens)};
    return cache.emplace(c.name, std::move(pair)).first->second;
}

// Largest angle between where the engine's right half looks with the suggested
// A/B points (read back from their comma line) and where it should look.
double routeErrorAgainstTruthDegrees(const RenderedPair& pair, const AlignmentCase& c, const SuggestedPoints& s) {
    const CommaLineParse parsed = parseCommaLine(s.commaLine());
    EXPECT_TRUE(parsed.ok() && parsed.values == s.listOrder()) << s.commaLine();
    ConversionGeometry p = pair.geometry;
    p.outputHeight = 200;
    const AlignmentRotation route = alignmentRotation(p.eye[0], p.eye[1], PointSet::fromListOrder(parsed.values));
    double worst = 0.0;
    for (int i = 20; i < 180; i += 9)
        for (int j = 20; j < 180; j += 9) {
            const SourcePosition at = reference::sourcePosition(p, Half::Right, route, i, j);
            const Vec3 seen = cameraDirectionOfPixel(c.rig.right.lens, at.column, at.row);
            if (!std::isnan(seen.x))
                worst = std::max(worst, angleDegrees(seen, undoRotation(c.rig.rightToLeft(), gridDirection(200, i, j))));
        }
    return worst;
}

class SceneAlignment : public ::testing::TestWithParam<int> {};

TEST_P(SceneAlignment, RotationBaselineAndSuggestedPoints) {
    const AlignmentCase c = alignmentCases(1600, 1200)[GetParam()];
    const RenderedPair& pair = renderedPair(c);
    // As the command line aligns by default: the right lens refined as well and used only where it clearly lines
    // the pair up better. The rotation holds either way. Set aside, the result is the records' own and is judged
    // below; used, the records' own fit is made apart, judged below, and shows no less misalignment.
    AlignmentOptions tried;
    tried.refineLenses = tried.refineOnlyWhenClearlyBetter = true;
    const AlignmentResult t = estimateAlignment(pair.left, pair.leftImage, pair.right, pair.rightImage, tried);
    ASSERT_TRUE(t.ok()) << t.error;
    EXPECT_LT(rotationAngle(transpose(c.rig.rightToLeft()) * t.rotation) / kDeg, c.rotationToleranceDegrees)
        << (t.lenses.applied ? "refined lenses used" : t.lenses.notApplied);
    const bool refinedUsed = t.lensesRefined && t.lenses.applied;
    const AlignmentResult r = refinedUsed ? estimateAlignment(pair.left, pair.leftImage, pair.right, pair.rightImage) : t;
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_LE(t.disparity.misalignment.rms, r.disparity.misalignment.rms + 0.01);
    EXPECT_EQ(r.failure, Failure::None);
    EXPECT_LT(rotationAngle(transpose(c.rig.rightToLeft()) * r.rotation) / kDeg, c.rotationToleranceDegrees);
    const YawPitchRoll truth = yawPitchRollOf(c.rig.rightToLeft());
    EXPECT_LT(cv::norm(cv::Vec3d(r.yawDegrees - truth.yaw, r.pitchDegrees - truth.pitch, r.rollDegrees - truth.roll),
                       cv::NORM_INF), c.rotationToleranceDegrees);
    EXPECT_EQ(r.baselineObserved, c.parallax);
    EXPECT_NEAR(cv::norm(toCv(r.baseline)), 1.0, 1e-12);
    EXPECT_TRUE(!c.parallax || (angleDegrees(r.baseline, c.rig.baselineInLeft()) < 2.0 && r.nearInliers > 50))
        << angleDegrees(r.baseline, c.rig.baselineInLeft()) << " degrees off, " << r.nearInliers << " near inliers";
    EXPECT_FALSE(r.baselineSuspect) << r.warning;
    EXPECT_EQ(r.baselineNote.empty(), c.parallax) << r.baselineNote;
    EXPECT_TRUE(r.inliers > 400 && r.inliers <= r.matches && r.inliers > 0.8 * r.matches) << r.inliers << " of " << r.matches;
    EXPECT_LT(r.epipolarResidualArcmin.rms, 4.0);  // under half a working pixel (10.5 arcmin)
    // After alignment only matching noise is left as misalignment (under a
    // third of a working pixel; the near spheres' scene, whose matches lie
    // mostly on close, strongly distorted surfaces, comes to 2.9'; a rig whose
    // baseline is tilted shows its near points' vertical parallax, which the
    // viewer's eyes, side by side, see as misalignment); their vertical
    // parallax along the viewer's baseline is reported apart, and is larger.
    // Measured as `check` measures the image: the turn it still finds is none.
    EXPECT_LT(r.disparity.misalignment.rms, 4.0);
    EXPECT_LT(r.remainingTurnDegrees, 0.01);
    EXPECT_EQ(r.verdict, verticalDisparityVerdict(r.disparity.misalignment.p95));
    EXPECT_EQ(r.disparity.farCount + r.disparity.nearCount, static_cast<int>(r.correspondences.size()));
    EXPECT_TRUE(!c.parallax || (r.disparity.nearCount > 50 && r.disparity.parallaxVertical.p95 > 2 * r.disparity.misalignment.p95))
        << r.disparity.nearCount << " near, parallax " << r.disparity.parallaxVertical.p95 << "'";
    EXPECT_GT(r.refinedMatches, r.matches / 2);
    EXPECT_GE(r.verticalDisparityArcmin.p95, r.epipolarResidualArcmin.p95 * 0.5);
    EXPECT_TRUE(c.parallax || r.verticalDisparityArcmin.p95 < 5.0) << r.verticalDisparityArcmin.p95;
    // The suggested points: far, well apart, and through the engine's A/B route as good as the estimate.
    ASSERT_TRUE(r.suggested.ok()) << r.suggested.error;
    EXPECT_GT(r.suggested.separationDegrees, 40.0);
    EXPECT_LT(r.suggested.routeErrorDegrees, 0.02);
    // Where the lenses depart from their records, the engine looks through the records and no rotation sends its
    // view to the true lens's: the route's rotation itself is judged then.
    if (c.lawsOff) {
        const RotationMatrix route = pointRouteRotation(pair.left, pair.right,
                                                        PointSet{r.suggested.leftA, r.suggested.leftB, r.suggested.rightA,
                                                                 r.suggested.rightB});
        EXPECT_LT(rotationAngle(transpose(c.rig.rightToLeft()) * route) / kDeg, c.rotationToleranceDegrees + 0.03);
    } else {
        EXPECT_LT(routeErrorAgainstTruthDegrees(pair, c, r.suggested), c.rotationToleranceDegrees + 0.03);
    }
    // The spheres at 1-6 m with left and right given the wrong way round: the rotation comes out as the inverse,
    // the baseline as -x, and the result says so.
    if (c.name == "spheres at 1-6 m, equisolid") {
        const AlignmentResult s = estimateAlignment(pair.right, pair.rightImage, pair.left, pair.leftImage);
        ASSERT_TRUE(s.ok()) << s.error;
        EXPECT_LT(rotationAngle(c.rig.rightToLeft() * s.rotation) / kDeg, c.rotationToleranceDegrees);
        EXPECT_TRUE(s.baselineObserved && s.baselineOffAxisDegrees > 170.0 && s.baselineSuspect);
        EXPECT_NE(s.warning.find("swapped"), std::string::npos) << s.warning;
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, SceneAlignment, ::testing::Range(0, int(alignmentCases(64, 64).size())), [](const auto& info) {
    std::string name = alignmentCases(64, 64)[info.param].name;
    std::replace_if(name.begin(), name.end(), [](unsigned char ch) { return !std::isalnum(ch); }, '_');
    return name;
});

TEST(AutoAlignment, RefusesWithReasons) {
    const SynthLens lens = SynthLens::equisolid(1200, 900);
    const CameraModel camera = cameraOf(lens);
    const StereoRig rig = StereoRig::sideBySide(lens, lens, rotationFromYawPitchRoll(1, 0, 0));
    StereoScene plain;
    plain.panoramaBackground = false;
    const cv::Mat flat = renderView(plain, rig.left, 1), black(900, 1200, CV_8UC3, cv::Scalar::all(0));
    const cv::Mat forward = renderView(spheresOneToSixMetres(), rig.left, 1);
    // The same lens on a camera facing the other way, on a scene of its own.
    SceneCamera behind = rig.left;
    behind.cameraToWorld = rotationFromYawPitchRoll(180, 25, 0);
    StereoScene elsewhere;
    elsewhere.spheres = {TexturedSphere::at(180, 30, 1.5, 0.6, 77)};
    const cv::Mat other = renderView(elsewhere, behind, 1);
    cv::Mat gray;
    cv::cvtColor(forward, gray, cv::COLOR_BGR2GRAY);
    AlignmentOptions tiny, demanding;
    tiny.workingSize = 10;
    demanding.minInliers = 1000000;  // more support than there is
    const struct { const char* name; CameraModel left; const cv::Mat &leftImage, &rightImage; AlignmentOptions options;
                   Failure failure; const char* words; } cases[] = {
        {"flat colour both", camera, flat, flat, {}, Failure::TextureLess, "too little texture"},
        {"black right", camera, forward, black, {}, Failure::TextureLess, "right image"},
        {"unrelated photographs", camera, forward, other, {}, Failure::Unrelated, "stereo"},
        {"empty", camera, cv::Mat(), forward, {}, Failure::InvalidInput, "empty"},
        {"gray", camera, gray, forward, {}, Failure::InvalidInput, "BGR"},
        {"wrong size", camera, forward, cv::Mat(forward, cv::Rect(0, 0, 1000, 900)), {}, Failure::InvalidInput, "derived for"},
        {"no camera", CameraModel(), forward, forward, {}, Failure::InvalidInput, ""},
        {"tiny working size", camera, forward, forward, tiny, Failure::InvalidInput, ""},
        {"too few inliers", camera, forward, renderView(spheresOneToSixMetres(), rig.right, 1), demanding,
         Failure::TooFewInliers, "correspondences"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const AlignmentResult r = estimateAlignment(c.left, c.leftImage, camera, c.rightImage, c.options);
        EXPECT_FALSE(r.ok() || r.suggested.ok());
        EXPECT_EQ(r.failure, c.failure) << failureName(r.failure) << ", " << r.error;
        EXPECT_NE(r.error.find(c.words), std::string::npos) << r.error;
    }
}

// ---- measurement of side-by-side images -----------------------------------------

// A 2N x N side-by-side image of the panorama at infinity: the left half the
// front hemisphere, the right half the same moved down by `rows` rows or
// turned by `turn`.
cv::Mat sideBySide(int n, int rows, const RotationMatrix& turn = {}) {
    cv::Mat out(n, 2 * n, CV_8UC3);
    frontHemisphere(panorama(), n).copyTo(out.colRange(0, n));
    const cv::Mat right = frontHemisphere(panorama(), n, turn);
    cv::warpAffine(right, out.colRange(n, 2 * n), cv::Matx23d(1, 0, 0, 0, 1, rows), right.size(), cv::INTER_NEAREST,
                   cv::BORDER_CONSTANT, cv::Scalar::all(0));
    return out;
}

// The two eyes converted at height n, the right one turned by `rotation`.
cv::Mat convertedPair(ConversionGeometry g, const RotationMatrix& rotation, const cv::Mat& left, const cv::Mat& right,
                      int n = 1024) {
    g.outputHeight = n;
    cv::Mat image(n, 2 * n, CV_8UC3, cv::Scalar::all(0));
    renderLeftEye(g, left, image);
    renderRightEyeRotated(g, rotation, right, image);
    return image;
}

TEST(Measurement, VerticalDisparityOfKnownMisalignments) {
    // A row is 10.5 arcmin at N = 1024 and 5.3 at N = 2048 (measured on a half
    // reduced to 1024, yet in the image's rows); the comfort limit is 9.6, the
    // fusion limit 19.2: the verdicts tell the scale, the pitched eye below the arcminutes.
    const struct { int n, rows; Verdict verdict; } cases[] = {
        {1024, 0, Verdict::Comfortable}, {1024, 1, Verdict::Marginal}, {1024, 2, Verdict::Uncomfortable},
        {2048, -3, Verdict::Marginal}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + ": " + std::to_string(c.rows) + " rows");
        const StereoMeasurement m = measureStereo(sideBySide(c.n, c.rows));
        ASSERT_TRUE(m.ok()) << m.error;
        EXPECT_TRUE(m.halfSize == c.n && m.inliers > 300 && m.coverage > 0.3) << m.inliers << " " << m.coverage;
        EXPECT_NEAR(m.verticalPixels.mean, c.rows, 0.1);
        EXPECT_NEAR(m.verticalPixels.rms, std::abs(c.rows), 0.15);
        EXPECT_NEAR(m.verticalPixels.p95, std::abs(c.rows), 0.4);
        EXPECT_LT(std::max(std::abs(m.horizontalMinPixels), std::abs(m.horizontalMaxPixels)), 0.5 * c.n / 1024);
        EXPECT_EQ(m.verdict, c.verdict) << m.verdictText;
        EXPECT_FALSE(m.verdictText.empty());
    }
    // A pitch of the right eye: the vertical disparity is the pitch at the
    // centre, falling off with the cosine of the azimuth towards the sides.
    const StereoMeasurement pitched = measureStereo(sideBySide(1024, 0, rotationFromYawPitchRoll(0, 0.5, 0)));
    ASSERT_TRUE(pitched.ok()) << pitched.error;
    EXPECT_NEAR(pitched.verticalArcmin.p95, 30.0, 2.5);
    EXPECT_TRUE(pitched.verticalArcmin.max < 40.0 && pitched.verticalArcmin.rms > 15.0 && pitched.verticalArcmin.rms < 30.0);
    EXPECT_GT(pitched.verticalArcmin.mean, 15.0) << "turned up: the right eye sees things lower";
    EXPECT_EQ(pitched.verdict, Verdict::Uncomfortable);

    const struct { const char* name; cv::Mat image; Failure failure; } refused[] = {
        {"empty", cv::Mat(), Failure::InvalidInput}, {"not 2:1", cv::Mat(300, 400, CV_8UC3, cv::Scalar::all(90)), Failure::InvalidInput},
        {"gray", cv::Mat(300, 600, CV_8UC1, cv::Scalar::all(90)), Failure::InvalidInput},
        {"flat", cv::Mat(300, 600, CV_8UC3, cv::Scalar::all(90)), Failure::TextureLess},
        {"unrelated", sideBySide(512, 0, rotationFromYawPitchRoll(180, 20, 0)), Failure::Unrelated}};
    for (const auto& c : refused) {
        const StereoMeasurement m = measureStereo(c.image);
        EXPECT_TRUE(!m.ok() && m.verdict == Verdict::Unknown) << c.name;
        EXPECT_EQ(m.failure, c.failure) << c.name << ": " << m.error;
    }
}

// The vertical disparity (arcminutes) a far point shows in an image converted
// at height n through the eyes of `records` with the right eye turned by
// `used`, the point seen in the left half at `leftAt`, when the lenses are
// really `trueLeft` and `trueRight` and the cameras turned by `truth`: the
// left half at d shows what the true left lens sees at the record's pixel
// for d; the right camera sees that far point at truth^T of it, through its
// true lens at some pixel, which the right record reads as a direction the
// right half shows turned by `used`. NaN where a lens does not see it.
double trueFarVertical(const ConversionGeometry& records, const SynthLens& trueLeft, const SynthLens& trueRight,
                       const RotationMatrix& truth, const RotationMatrix& used, int n, cv::Point2d leftAt) {
    const CameraModel left = CameraModel::fromEyeGeometry(records.eye[0]), right = CameraModel::fromEyeGeometry(records.eye[1]);
    const Vec3 d = halfPixelDirection(n, leftAt);
    const std::optional<SourcePosition> l = sourcePositionOfDirection(left, d);
    if (!l) return NAN;
    const Vec3 scene = cameraDirectionOfPixel(trueLeft, l->column, l->row);
    const std::optional<cv::Point2d> r = pixelOfCameraDirection(trueRight, undoRotation(truth, scene));
    if (std::isnan(scene.x) || !r) return NAN;
    const Vec3 shown = rotate(used, directionOfSourcePosition(right, {r->x, r->y}));
    auto polar = [](const Vec3& v) { return std::acos(std::clamp(v.z, -1.0, 1.0)); };
    return (polar(shown) - polar(d)) * 10800.0 / 3.14159265358979323846;
}

// Pairs converted at height 1024 with the true rotation, and with the right
// eye turned further by a known turn: the measurement finds that turn, and
// the misalignment it reports is the vertical disparity the image truly
// shows at the matched points, which the truth works out here: on the scene
// with spheres 1 to 6 m away, the shift the turn causes (the spheres' natural
// vertical parallax is reported apart and does not count against the
// verdict); on the panorama at infinity photographed through lenses whose
// laws depart from their records by 1 % and 0.5 % at 90 degrees, the far
// field's whole vertical disparity, the lenses' share included. Within 25 %
// of the truth (and the matching's noise, 2' RMS, 3' at the 95th percentile).
// The halves of the pair with spheres given the wrong way round: the near
// points' parallax takes the wrong side of the viewer's baseline, and the
// measurement says the eyes seem swapped (not when they are not).
TEST(Measurement, MisalignmentIsTheImagesOwnApartFromParallaxAndSwappedEyesAreTold) {
    const AlignmentCase spheres = alignmentCases(1600, 1200)[1];
    AlignmentCase lawsOff = alignmentCases(1600, 1200)[0];
    lawsOff.name = "panorama at infinity, lens laws off their records";
    lawsOff.rig.left.lens.shape = 0.004, lawsOff.rig.right.lens.shape = 0.002;
    lawsOff.lawsOff = true;
    const struct { const char* name; RotationMatrix extra; } turns[] = {
        {"true rotation", RotationMatrix{}},
        // A roll of 0.3 degrees shifts no point vertically by more than 18'
        // (the shift is the roll times the cosine of the longitude), under
        // the fusion limit of 19.2': beyond comfort, short of uncomfortable.
        {"right eye rolled 0.3 degrees further", rotationFromYawPitchRoll(0, 0, 0.3)},
        {"right eye pitched 0.4 degrees further", rotationFromYawPitchRoll(0, 0.4, 0)},
        {"right eye turned by 0.5, 0.2, 0.3 degrees further", rotationFromYawPitchRoll(0.5, 0.2, 0.3)}};
    for (const AlignmentCase* c : {&spheres, static_cast<const AlignmentCase*>(&lawsOff)}) {
        const RenderedPair& pair = renderedPair(*c);
        const RotationMatrix truth = c->rig.rightToLeft();
        for (const auto& t : turns) {
            SCOPED_TRACE(c->name + ": " + t.name);
            const RotationMatrix used = truth * t.extra;
            const cv::Mat image = convertedPair(pair.geometry, used, pair.leftImage, pair.rightImage);
            const StereoMeasurement m = measureStereo(image);
            ASSERT_TRUE(m.ok()) << m.error;
            EXPECT_FALSE(m.eyesSwapped) << m.warning;
            EXPECT_EQ(m.warning.find("the eyes seem swapped"), std::string::npos) << m.warning;
            // The right half at d shows what the right camera sees along used^T d,
            // the scene direction truth used^T d: a far point at u_L shows at E u_L.
            const RotationMatrix turn = used * transpose(truth);
            std::vector<double> expected;
            auto polar = [](const Vec3& d) { return std::acos(std::clamp(d.z, -1.0, 1.0)); };
            for (const StereoCorrespondence& sc : m.correspondences) {
                const double v = c->lawsOff ? trueFarVertical(pair.geometry, c->rig.left.lens, c->rig.right.lens, truth,
                                                              used, m.halfSize, {sc.leftAt.column, sc.leftAt.row})
                                            : (polar(rotate(turn, sc.shown.left)) - polar(sc.shown.left)) * 10800.0 /
                                                  3.14159265358979323846;
                if (std::isfinite(v)) expected.push_back(v);
            }
            ASSERT_GT(expected.size(), 300u);
            const Spread truthSpread = spreadOf(expected);
            std::printf("[ figures  ] %s, %s: misalignment %.2f' RMS, %.2f' p95; truth %.2f', %.2f'\n", c->name.c_str(),
                        t.name, m.disparity.misalignment.rms, m.disparity.misalignment.p95, truthSpread.rms, truthSpread.p95);

            EXPECT_EQ(m.verdict, verticalDisparityVerdict(truthSpread.p95)) << m.verdictText;
            EXPECT_LT(std::abs(m.disparity.misalignment.rms - truthSpread.rms), std::max(0.25 * truthSpread.rms, 2.0));
            EXPECT_LT(std::abs(m.disparity.misalignment.p95 - truthSpread.p95), std::max(0.25 * truthSpread.p95, 3.0));
            if (c->lawsOff) continue;
            if (t.extra == RotationMatrix{}) {
                cv::Mat swapped;
                cv::hconcat(image.colRange(image.rows, 2 * image.rows), image.colRange(0, image.rows), swapped);
                const StereoMeasurement s = measureStereo(swapped);
                ASSERT_TRUE(s.ok()) << s.error;
                EXPECT_TRUE(s.eyesSwapped) << s.warning;
                EXPECT_NE(s.warning.find("the eyes seem swapped"), std::string::npos) << s.warning;
            }
            // The spheres' natural vertical parallax is large and reported apart.
            EXPECT_GT(m.disparity.nearCount, 100);
            EXPECT_GT(m.disparity.parallaxVertical.p95, 15.0);
            // The turn that would line the halves up undoes E.
            const RotationMatrix remaining = rotationFromYawPitchRoll(m.remainingTurn.yaw, m.remainingTurn.pitch, m.remainingTurn.roll);
            EXPECT_LT(rotationAngle(remaining * turn) / kDeg, 0.02);
        }
    }
}

// ---- the stereo window ----------------------------------------------------------

TEST(StereoWindow, ConvergenceForADistance) {
    const struct { double metres, millimetres; std::optional<double> degrees; } cases[] = {
        {2.0, 65.0, 1.861948}, {0.5, 120.0, 13.685547}, {1e6, 65.0, 3.724225e-6},
        {0.0, 65.0, std::nullopt}, {-1.0, 65.0, std::nullopt}, {NAN, 65.0, std::nullopt},
        {INFINITY, 65.0, std::nullopt}, {2.0, 0.0, std::nullopt}, {2.0, -65.0, std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.metres << " m, " << c.millimetres << " mm");
        const std::optional<double> got = convergenceForDistance(c.metres, c.millimetres);
        ASSERT_EQ(got.has_value(), c.degrees.has_value());
        if (got) {
            EXPECT_NEAR(*got, *c.degrees, *c.degrees * 1e-6);
        }
    }
    EXPECT_EQ(convergenceForDistance(3.0), convergenceForDistance(3.0, 65.0)) << "65 mm by default";
}

// A sphere a metre away, cut by the frame's left or right edge, stands in
// front of the plane of the frame: a window violation at that edge. In the
// middle of the view it is the nearest point but no violation.
TEST(StereoWindow, NearObjectAtTheFramesEdgeIsAViolation) {
    const struct { double azimuth; bool left, right; } cases[] = {{-70.0, true, false}, {70.0, false, true}, {0.0, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.azimuth);
        StereoScene scene;
        scene.spheres = {TexturedSphere::at(c.azimuth, 0.0, 1.0, 0.35, 41)};
        const StereoMeasurement m = measureStereo(convertedScene(scene));
        ASSERT_TRUE(m.ok()) << m.error;
        const StereoWindow w = assessStereoWindow(m, MeasureOptions{});
        ASSERT_TRUE(w.measured);
        EXPECT_EQ(w.violation[0], c.left) << w.edgeInFront[0];
        EXPECT_EQ(w.violation[1], c.right) << w.edgeInFront[1];
        // The sphere's front is 0.65 m away; its parallax falls towards the
        // side (with the cosine of the longitude), so its nearest point in
        // disparity lies on its inner half, within the 20.5 degrees it spans.
        EXPECT_LT(w.nearestPixels, -10.0);
        EXPECT_NEAR(w.nearestAt.column / m.halfSize * 180.0 - 90.0, c.azimuth, 23.0)
            << "the nearest point lies on the sphere";
    }
    // Far scenery only: nothing in front of the frame.
    const StereoMeasurement far = measureStereo(convertedScene(StereoScene{}));
    ASSERT_TRUE(far.ok()) << far.error;
    const StereoWindow w = assessStereoWindow(far, MeasureOptions{});
    EXPECT_TRUE(!w.violation[0] && !w.violation[1] && w.inFront < 3 && std::abs(w.nearestPixels) < 1.0) << w.nearestPixels;
}

}  // namespace
}  // namespace vistereo
