// Zenith counters, the quadratic lens model and its inverse, and the two
// directions of the lens mapping.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "engine/lens.h"
#include "tests/engine/fixtures.h"

namespace vistereo {
namespace {

using testing::lensOfKind;
using testing::prepareQuadratic;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ZenithCounters, StepsMoveCounterAndAngleTogetherAndClearResetsBoth) {
    ConversionParams p;
    for (int step = 0; step < 5; ++step) EXPECT_TRUE(stepZenith(p, ZenithAxis::Pitch, +1));
    EXPECT_FALSE(stepZenith(p, ZenithAxis::Pitch, 0));
    EXPECT_EQ(zenithTenths(p, ZenithAxis::Pitch), -5);
    EXPECT_EQ(p.pitch, -5 / 1800.0 * 3.14159265);
    EXPECT_NEAR(p.pitch, -0.00873, 1e-5);
    EXPECT_TRUE(stepZenith(p, ZenithAxis::Roll, -3));
    EXPECT_EQ(p.rollTenths, 1);
    EXPECT_EQ(p.yawTenths, 0);
    clearZenith(p);
    EXPECT_EQ(p.pitchTenths, 0);
    EXPECT_EQ(p.rollTenths, 0);
    EXPECT_EQ(p.pitch, 0.0);
    EXPECT_EQ(p.roll, 0.0);
}

// Segments that tell themselves apart: 0.1 t^2 + t (with a junk c1), the
// constant 2, the constant 3, then t^2 + 4.
ConversionParams steppedQuadratic() {
    ConversionParams p;
    EyeParams& e = p.eye[1];
    e.mappingKind = kQuadratic;
    e.theta1 = 0.5, e.theta2 = 1.0, e.theta3 = 1.5;
    e.a1 = 0.1, e.b1 = 1.0, e.c1 = 5.0;
    e.c2 = 2.0, e.c3 = 3.0;
    e.a4 = 1.0, e.c4 = 4.0;
    return p;
}

TEST(LensRadius, PicksTheSegmentByItsEnds) {
    const ConversionParams p = steppedQuadratic();
    const struct { float theta; double expected; const char* why; } cases[] = {
        {0.25f, static_cast<float>(0.25625), "segment 1 ignores c1"},
        {0.0f, 0.0, "segment 1 starts at zero"},
        {0.5f, 2.0, "theta1 itself belongs to segment 2"},
        {1.0f, 3.0, "theta2 itself belongs to segment 3"},
        {1.5f, 6.25, "theta3 itself belongs to segment 4"},
        {2.0f, 8.0, "segment 4 goes on past the rim"},
        {-0.1f, 0.0, "negative angle"},
        {std::numeric_limits<float>::quiet_NaN(), 0.0, "NaN"},
    };
    for (const auto& c : cases) EXPECT_EQ(lensRadius(p, 1, c.theta), c.expected) << c.why << ", theta " << c.theta;
}

class ContinuousQuadratic : public ::testing::Test {
protected:
    void SetUp() override {
        p.eye[0] = lensOfKind(kQuadratic, 400, 300);
        prepareQuadratic(p, 0);
    }
    ConversionParams p;
};

TEST_F(ContinuousQuadratic, InverseRecoversEveryAngleInsideTheCircle) {
    int checked = 0;
    for (double t = 0.0; t < 3.0; t += 0.0005) {
        const float theta = static_cast<float>(t);
        const double r = lensRadius(p, 0, theta);
        if (r > 1.0) break;
        const double back = lensTheta(p, 0, static_cast<float>(r));
        ASSERT_NEAR(back, theta, 2e-6) << "theta " << theta << " radius " << r;
        ++checked;
    }
    EXPECT_GT(checked, 2800);  // reached past theta3, close to the rim
}

TEST_F(ContinuousQuadratic, InverseEdges) {
    const double atOne = lensTheta(p, 0, 1.0f);
    EXPECT_GT(atOne, p.eye[0].theta3) << "1.0 is still inverted by segment 4";
    EXPECT_NEAR(lensRadius(p, 0, static_cast<float>(atOne)), 1.0, 1e-6);
    EXPECT_EQ(lensTheta(p, 0, 1.02f), 0.0) << "segment 4 has a root there, but the radius is past the circle";
    EXPECT_EQ(lensTheta(p, 0, -0.01f), 0.0);
    EXPECT_EQ(lensTheta(p, 0, std::numeric_limits<float>::quiet_NaN()), 0.0);
}

// Every lens kind: the direction of a pixel projects back onto that pixel.
class LensRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(LensRoundTrip, DirectionOfPointProjectsBackOntoThePoint) {
    ConversionParams p;
    p.eye[1] = lensOfKind(GetParam(), 640, 480);
    if (GetParam() == kQuadratic) prepareQuadratic(p, 1);
    const EyeParams& e = p.eye[1];
    const double tolerance = GetParam() == kQuadratic ? 2e-3 : 1e-7;  // single-precision angles
    for (int y = e.axisY - 236; y <= e.axisY + 236; y += 17) {
        for (int x = e.axisX - 236; x <= e.axisX + 236; x += 13) {
            const double q = std::hypot(x - e.axisX, y - e.axisY);
            if (q == 0.0 || q > 0.98 * e.radius180 * e.mappingScale) continue;
            const Vec3 d = directionOfPoint(p, 1, {x, y});
            ASSERT_NEAR(d.x * d.x + d.y * d.y + d.z * d.z, 1.0, 1e-12) << "at " << x << "," << y;
            const SourcePosition back = projectToImage(p, 1, std::acos(d.y), std::atan2(d.z, d.x));
            ASSERT_NEAR(back.column, x, tolerance) << "at " << x << "," << y;
            ASSERT_NEAR(back.row, y, tolerance) << "at " << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, LensRoundTrip, ::testing::Values(kOrthographic, kEquisolid, kSineK, kQuadratic));

TEST(LensMapping, OrthographicRimAndReach) {
    ConversionParams p;
    p.eye[0] = testing::sineLens(kOrthographic, 1.0, 1000, 1500, 1200, 3000, 2400);
    const SourcePosition right = projectToImage(p, 0, kHalfPi, 0.0);
    EXPECT_DOUBLE_EQ(right.column, 2500.0);
    EXPECT_EQ(right.row, 1200.0);
    const SourcePosition up = projectToImage(p, 0, kHalfPi, kHalfPi);
    // The short pi/2 leaves cos(phi) at about 1.79e-9 instead of 0.
    EXPECT_NEAR(up.column - 1500.0, 1000.0 * (std::acos(0.0) - kHalfPi), 1e-9);
    EXPECT_DOUBLE_EQ(up.row, 200.0);

    const Vec3 rim = directionOfPoint(p, 0, {2500, 1200});
    EXPECT_NEAR(rim.x, 1.0, 1e-15);
    EXPECT_NEAR(rim.y, 0.0, 1e-15);
    EXPECT_EQ(rim.z, 0.0);
    for (ImagePoint outside : {ImagePoint{2501, 1200}, ImagePoint{1500, 1200}}) {
        const Vec3 d = directionOfPoint(p, 0, outside);
        EXPECT_TRUE(std::isnan(d.x) && std::isnan(d.z)) << outside.x << "," << outside.y;
    }
}

TEST(LensMapping, QuadraticPointPastTheCircleLiesOnTheAxis) {
    ConversionParams p;
    p.eye[0] = lensOfKind(kQuadratic, 400, 300);
    prepareQuadratic(p, 0);
    const Vec3 d = directionOfPoint(p, 0, {200 + 160, 150});
    EXPECT_EQ(d.x, 0.0);
    EXPECT_EQ(d.y, 1.0);
    EXPECT_EQ(d.z, 0.0);
}

}  // namespace
}  // namespace vistereo
