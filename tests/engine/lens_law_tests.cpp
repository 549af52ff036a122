// The equidistant, stereographic and polynomial projections, the field of view as the scale, the per-eye
// corrections, and the straight quadratic segment: round trips, the rim, and renders against a known truth.
#include <cmath>
#include <numbers>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/lens.h"
#include "lens/lens_check.h"
#include "engine/prepare.h"
#include "engine/render.h"
#include "tests/support/synth.h"

namespace vistereo {
namespace {

constexpr double kTrueDegree = std::numbers::pi / 180.0;

// A lens record of a kind with a field of view, circle radius and axis given in dots.
LensSettings projectionLens(MappingKind kind, double fovDegrees, int32_t radius, PolynomialLaw poly = {}) {
    LensSettings lens;
    lens.name = "projection";
    lens.mappingKind = static_cast<int32_t>(kind);
    lens.radiusMode = static_cast<int32_t>(RadiusMode::Dots);
    lens.radiusDots = radius;
    lens.axisMode = static_cast<int32_t>(AxisMode::GivenAxis);
    lens.axisX = 3000, lens.axisY = 2000;
    lens.quadratic.c1 = fovDegrees;
    lens.quadratic.a1 = poly.k1, lens.quadratic.a2 = poly.k2, lens.quadratic.a3 = poly.k3, lens.quadratic.a4 = poly.k4;
    return lens;
}

EyeGeometry eyeOf(const LensSettings& lens, int width = 6000, int height = 4000) {
    const PreparedEyes p = prepareEyes({lens, lens}, {ImageSize{width, height}, {width, height}});
    EXPECT_TRUE(p.ok());
    return p.eye[0];
}

// The left half of a conversion of `photo` through `eye`.
cv::Mat convertLeft(const EyeGeometry& eye, const cv::Mat& photo, int n) {
    ConversionGeometry g{{eye, eye}, n, {}};
    cv::Mat out(n, 2 * n, CV_8UC3, cv::Scalar::all(0));
    renderLeftEye(g, photo, out);
    return cv::Mat(out, cv::Rect(0, 0, n, n)).clone();
}

// The inner part of an n x n view, where the rim's anti-aliasing plays no part.
cv::Mat innerDisc(int n) {
    cv::Mat inner(n, n, CV_8U, cv::Scalar(0));
    cv::circle(inner, {n / 2, n / 2}, n * 2 / 5, cv::Scalar(255), cv::FILLED);
    return inner;
}

struct ProjectionCase {
    const char* name;
    MappingKind kind;
    double fov;
    PolynomialLaw poly;
    LensCorrection correction;
};

const ProjectionCase kProjections[] = {
    {"equidistant 190", MappingKind::Equidistant, 190, {}, {}},
    {"equidistant 220 corrected", MappingKind::Equidistant, 220, {}, {4.5, -3.25, 1.013, 0.004}},
    {"stereographic 200", MappingKind::Stereographic, 200, {}, {}},
    {"stereographic 180 corrected", MappingKind::Stereographic, 180, {}, {-2, 1, 0.98, -0.003}},
    {"polynomial 210", MappingKind::Polynomial, 210, {-0.018, 0.0021, -0.00015, 0.00001}, {}},
    {"polynomial 195 corrected", MappingKind::Polynomial, 195, {0.012, -0.0009, 0, 0}, {0.7, 0.2, 1.005, 0.002}},
};

// theta -> r -> theta, and direction -> source position -> direction, within 1e-9 rad out to the rim of the
// circle. The stated field of view fixes the scale: the circle's rim lies at the record's radius, and the law's own
// shape holds in between (equidistant: half the angle, half the radius).
TEST(Projections, RoundTripUpToTheFieldOfViewWhichSetsTheRadiusOfTheCircle) {
    for (const ProjectionCase& c : kProjections) {
        SCOPED_TRACE(c.name);
        const EyeGeometry uncorrected = eyeOf(projectionLens(c.kind, c.fov, 1900, c.poly));
        EXPECT_NEAR(radialDistance(uncorrected, uncorrected.circleTheta), 1900.0, 1e-9);
        const SourcePosition rimAt = projectToImage(uncorrected, uncorrected.circleTheta, 0.0);
        EXPECT_NEAR(rimAt.column, 3000.0 + 1900.0, 1e-9);
        EXPECT_NEAR(rimAt.row, 2000.0, 1e-9);
        EyeGeometry eye = uncorrected;
        eye.correction = c.correction;
        const double rim = c.fov * 0.5 * kTrueDegree;
        EXPECT_NEAR(eye.circleTheta, rim, 1e-15);
        double worst = 0.0, previous = -1.0;
        for (int i = 0; i <= 2000; ++i) {
            const double theta = rim * i / 2000.0;
            const double r = radialDistance(eye, theta);
            ASSERT_TRUE(std::isfinite(r)) << theta;
            EXPECT_GT(r, previous);  // one radius per angle
            previous = r;
            worst = std::max(worst, std::abs(angleOffAxis(eye, r) - theta));
            const double phi = i * 0.37;
            const SourcePosition p = projectToImage(eye, theta, phi);
            const Vec3 d = directionOfPosition(eye, p);
            const Vec3 want{std::sin(theta) * std::cos(phi), std::cos(theta), std::sin(theta) * std::sin(phi)};
            worst = std::max({worst, std::abs(d.x - want.x), std::abs(d.y - want.y), std::abs(d.z - want.z)});
        }
        EXPECT_LT(worst, 1e-9);
    }
    EXPECT_NEAR(radialDistance(eyeOf(projectionLens(MappingKind::Equidistant, 190, 1900)), 47.5 * kTrueDegree), 950.0, 1e-9);
    // Stereographic: r = 2 f tan(theta / 2); 90 degrees of a 180-degree circle lands on the rim, 45 at tan(22.5).
    const EyeGeometry stereo = eyeOf(projectionLens(MappingKind::Stereographic, 180, 1000));
    EXPECT_NEAR(radialDistance(stereo, 45 * kTrueDegree), 1000.0 * std::tan(22.5 * kTrueDegree), 1e-9);
    // Without a field of view the radius is the one at 90 degrees, as for the sine laws.
    EXPECT_NEAR(radialDistance(eyeOf(projectionLens(MappingKind::Equidistant, 0, 1000)), std::numbers::pi / 2), 1000.0, 1e-9);
}

// Beyond what the law can image one to one there is no position and no direction.
TEST(Projections, NothingBeyondTheLawsReach) {
    // theta - 0.2 theta^3 stops rising at theta = sqrt(1 / 0.6) = 1.29 rad.
    const EyeGeometry bent = eyeOf(projectionLens(MappingKind::Polynomial, 140, 1500, {-0.2, 0, 0, 0}));
    EXPECT_NEAR(bent.reachTheta, std::sqrt(1.0 / 0.6), 1e-3);
    EXPECT_TRUE(std::isnan(projectToImage(bent, 1.35, 0.0).column));
    EXPECT_TRUE(std::isnan(angleOffAxis(bent, radialDistance(bent, bent.reachTheta) + 1.0)));
    const EyeGeometry stereo = eyeOf(projectionLens(MappingKind::Stereographic, 200, 1500));
    EXPECT_TRUE(std::isnan(projectToImage(stereo, std::numbers::pi, 0.3).row));
    EXPECT_TRUE(std::isfinite(projectToImage(stereo, 3.1, 0.3).row));
}

// A quadratic law without square terms is a straight line: its inverse used to divide zero by zero, so the right
// eye of the A/B route had no direction at all. It now agrees with the equidistant law it describes.
TEST(Projections, StraightQuadraticSegmentsInvert) {
    LensSettings straight = projectionLens(MappingKind::Quadratic, 0, 1000);
    QuadraticLaw& q = straight.quadratic;
    const double b = 2.0 / std::numbers::pi;  // r = theta / (pi / 2): 1 at the rim
    q = {0.4, 0.8, 1.2, 0, b, 0, 0, b, 0, 0, b, 0, 0, b, 0};
    const EyeGeometry eye = eyeOf(straight);
    const EyeGeometry equidistant = eyeOf(projectionLens(MappingKind::Equidistant, 180, 1000));
    for (const ImagePoint p : {ImagePoint{3300, 2000}, ImagePoint{3000, 1400}, ImagePoint{2300, 2600}, ImagePoint{3990, 2010}}) {
        const Vec3 got = directionOfPoint(eye, p), want = directionOfPoint(equidistant, p);
        EXPECT_NEAR(got.x, want.x, 1e-6);
        EXPECT_NEAR(got.y, want.y, 1e-6);
        EXPECT_NEAR(got.z, want.z, 1e-6);
    }
}

// Found by the fuzzer: a quadratic whose last segment starts 0.0007 lower than the one before ends (rounded
// coefficients) passes the value checks, so a corrected eye must map it out to its rim instead of stopping there.
TEST(Projections, RoundedQuadraticReachesItsRim) {
    LensSettings lens = projectionLens(MappingKind::Quadratic, 0, 240);
    QuadraticLaw& q = lens.quadratic;
    q = {0.0, 0.0, 1.2, 0, 0.63, 0, 0, 636366, 0, 0, 0.6366, 0, 0, 0.636, 0};
    EXPECT_TRUE(lensSettingsProblems(lens).empty());
    EyeGeometry eye = eyeOf(lens, 640, 480);
    eye.correction.scale = 1.001;
    EXPECT_GT(eye.reachTheta, eye.circleTheta);
    for (int i = 0; i <= 64; ++i) EXPECT_TRUE(std::isfinite(radialDistance(eye, eye.circleTheta * i / 64.0))) << i;
    // A law that really falls there is refused, and stops short of its rim.
    q.b4 = 0.5;
    EXPECT_FALSE(lensSettingsProblems(lens).empty());
    EXPECT_LT(eyeOf(lens, 640, 480).reachTheta, 1.2001);
}

// The sine laws and the quadratic take the general arithmetic once a correction is set; with a vanishing one it
// must land where the fixed arithmetic does, in both directions.
TEST(Corrections, TheGeneralArithmeticAgreesWithTheFixedOne) {
    for (const MappingKind kind : {MappingKind::Orthographic, MappingKind::Equisolid, MappingKind::SineK}) {
        LensSettings lens = projectionLens(kind, 0, 1800);
        lens.sineK = 0.7;
        const EyeGeometry fixed = eyeOf(lens);
        EyeGeometry general = fixed;
        general.correction.axisDx = 1e-300;
        ASSERT_TRUE(usesFixedArithmetic(fixed));
        ASSERT_FALSE(usesFixedArithmetic(general));
        for (int i = 0; i < 90; ++i) {
            const double theta = i * kTrueDegree, phi = i * 0.21;
            const SourcePosition a = projectToImage(fixed, theta, phi), b = projectToImage(general, theta, phi);
            EXPECT_NEAR(a.column, b.column, 1e-6) << int(kind) << " " << i;
            EXPECT_NEAR(a.row, b.row, 1e-6) << int(kind) << " " << i;
            const ImagePoint p{3001 + 17 * i, 2000 - 7 * i};
            const Vec3 u = directionOfPoint(fixed, p), v = directionOfPoint(general, p);
            EXPECT_NEAR(u.x, v.x, 1e-9);
            EXPECT_NEAR(u.z, v.z, 1e-9);
        }
    }
}

// Conversions against a known truth, each with the right eye and a wrong one: a camera whose lens sits 3.5 px right,
// 2.25 px up and images 2 % larger than its record says, converted with the matching correction and with the record
// alone; an equidistant 190-degree circle cut by the sensor's sides, with the new kind and its field of view and as
// an equisolid lens of the same circle (radius at 90 degrees = 600 sin(45) / sin(47.5)).
TEST(Projections, PhotographsConvertToTheirTruthOnlyThroughTheRightEye) {
    using namespace testsupport;
    const cv::Mat& pano = panorama();
    const int n = 512;
    const cv::Mat want = frontHemisphere(pano, n), inner = innerDisc(n);
    SynthLens shifted = SynthLens::equisolid(1200, 1200);
    shifted.axisX += 3.5, shifted.axisY -= 2.25, shifted.radius180 *= 1.02;
    CircleShot shot;
    shot.width = 1100, shot.height = 1300, shot.centreX = 550, shot.centreY = 650, shot.radius = 600;
    auto cut = [&](MappingKind kind, double fov, int32_t radius) {
        LensSettings lens = projectionLens(kind, fov, radius);
        lens.axisX = 550, lens.axisY = 650;
        return eyeOf(lens, shot.width, shot.height);
    };
    auto recorded = [](LensCorrection correction) {
        EyeGeometry eye = eyeGeometryOf(SynthLens::equisolid(1200, 1200));
        eye.correction = correction;
        return eye;
    };
    const struct { const char* name; cv::Mat photo; EyeGeometry right, wrong; double margin; } cases[] = {
        {"shifted and scaled eye", renderFisheye(pano, shifted, {}), recorded({3.5, -2.25, 1.02, 0.0}), recorded({}), 6.0},
        {"equidistant 190 degrees", renderCircleShot(pano, shot), cut(MappingKind::Equidistant, 190, 600),
         cut(MappingKind::Equisolid, 0, 575), 4.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double right = psnr(convertLeft(c.right, c.photo, n), want, inner);
        const double wrong = psnr(convertLeft(c.wrong, c.photo, n), want, inner);
        EXPECT_GT(right, 30.0);
        EXPECT_GT(right, wrong + c.margin) << wrong;
    }
}

}  // namespace
}  // namespace vistereo
