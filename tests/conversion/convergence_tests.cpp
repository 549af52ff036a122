// The stereo window of a conversion: a sphere on the middle line 1.75 m
// away, photographed by a rig 65 mm apart, lies on the plane of the frame
// once the run converges for that distance, the far panorama moves behind it
// by the convergence, and the window's nearest point is the sphere's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "alignment/working_view.h"
#include "measure/stereo_window.h"
#include "conversion/run.h"
#include "tests/support/conversion_test_support.h"
#include "tests/support/scratch.h"
#include "tests/support/stereo_scene.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;
using namespace vistereo::conversiontest;

namespace {

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

class ConvergenceTest : public ScratchTest {};

// Disparity: the right half's column minus the left's (negative: in front
// of the plane of the frame).
TEST_F(ConvergenceTest, ZeroParallaxDistancePutsANearSphereOnThePlaneOfTheFrame) {
    StereoScene scene;
    TexturedSphere sphere;
    sphere.centre = {0.0325, 2.0, 0.0};  // its front 1.75 m away, on the middle line
    sphere.radius = 0.25;
    sphere.seed = 31;
    scene.spheres = {sphere};
    const SynthLens lens = SynthLens::equisolid(1200, 900);
    const StereoRig rig = StereoRig::sideBySide(lens, lens, rotationFromYawPitchRoll(1.0, -0.5, 0.8));
    const cv::Mat left = renderView(scene, rig.left), right = renderView(scene, rig.right);
    ConversionRequest request;
    equisolidLenses(request);
    const RotationMatrix truth = rig.rightToLeft();
    RotationMatrix rotation;
    std::copy(&truth.m[0][0], &truth.m[0][0] + 9, &rotation.m[0][0]);
    request.alignment = GivenRotation{rotation};
    const int n = 1024;
    request.outputHeight = n;

    const double convergence = *alignment::convergenceForDistance(1.75, 65.0), shift = convergence * n / 180.0;
    const Vec3 towards = unit(sphere.centre);
    const double front = std::asin(sphere.radius / std::hypot(sphere.centre.x, sphere.centre.y)) / 2;
    const struct { double convergence, sphere, far; } cases[] = {{0.0, -shift, 0.0}, {convergence, 0.0, shift}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.convergence);
        request.convergenceDegrees = c.convergence;
        const alignment::StereoMeasurement m = alignment::measureStereo(singleRun(request, dir, left, right, {}));
        ASSERT_TRUE(m.ok()) << m.error;
        std::vector<double> onSphere, far;
        for (const alignment::StereoCorrespondence& sc : m.correspondences) {
            const Vec3 d = alignment::halfPixelDirection(n, {sc.leftAt.column, sc.leftAt.row});
            const double off = std::acos(std::clamp(dot(d, towards), -1.0, 1.0));
            (off < front ? onSphere : far).push_back(sc.rightAt.column - sc.leftAt.column);
        }
        ASSERT_GE(onSphere.size(), 5u);
        EXPECT_NEAR(median(onSphere), c.sphere, 0.5);
        EXPECT_NEAR(median(far), c.far, 0.1);
        EXPECT_NEAR(alignment::assessStereoWindow(m, alignment::MeasureOptions{}).nearestPixels, c.sphere, 0.6);
    }
}

}  // namespace
