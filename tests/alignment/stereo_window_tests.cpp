// The stereo window on stereo scenes with a known truth: the convergence for
// a distance, and a near object cut by the frame's edge flagged.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "alignment/stereo_window.h"
#include "engine/render.h"
#include "tests/support/stereo_scene.h"

namespace vistereo {
namespace {

using namespace alignment;
using namespace testsupport;

// A scene photographed by an equisolid 1200 x 900 pair 65 mm apart, the right
// camera turned by a little of each angle, converted at height n with the
// true rotation.
cv::Mat converted(const StereoScene& scene, int n = 1024) {
    const SynthLens lens = SynthLens::equisolid(1200, 900);
    const StereoRig rig = StereoRig::sideBySide(lens, lens, rotationFromYawPitchRoll(1.0, -0.5, 0.8));
    ConversionGeometry g;
    g.eye = {eyeGeometryOf(lens), eyeGeometryOf(lens)};
    g.outputHeight = n;
    const RotationMatrix rotation = rig.rightToLeft();
    cv::Mat image(n, 2 * n, CV_8UC3, cv::Scalar::all(0));
    renderLeftEye(g, renderView(scene, rig.left), image);
    renderRightEyeRotated(g, rotation, renderView(scene, rig.right), image);
    return image;
}

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
        const StereoMeasurement m = measureStereo(converted(scene));
        ASSERT_TRUE(m.ok()) << m.error;
        const StereoWindow w = assessStereoWindow(m, MeasureOptions{});
        ASSERT_TRUE(w.measured);
        EXPECT_EQ(w.violation[0], c.left) << w.edgeInFront[0];
        EXPECT_EQ(w.violation[1], c.right) << w.edgeInFront[1];
        // The sphere's front is 0.65 m away; its parallax falls towards the
        // side (with the cosine of the longitude), so its nearest point in
        // disparity lies on its inner half, within the 20.5 degrees it spans.
        EXPECT_LT(w.nearestPixels, -10.0);
        EXPECT_NEAR(w.nearestAt.x / m.halfSize * 180.0 - 90.0, c.azimuth, 23.0) << "the nearest point lies on the sphere";
    }
    // Far scenery only: nothing in front of the frame.
    const StereoMeasurement far = measureStereo(converted(StereoScene{}));
    ASSERT_TRUE(far.ok()) << far.error;
    const StereoWindow w = assessStereoWindow(far, MeasureOptions{});
    EXPECT_TRUE(!w.violation[0] && !w.violation[1] && w.inFront < 3 && std::abs(w.nearestPixels) < 1.0) << w.nearestPixels;
}

}  // namespace
}  // namespace vistereo
