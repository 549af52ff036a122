// Stereo scenes with parallax: two fisheye cameras a baseline apart, each with its own lens and orientation,
// photograph the bundled panorama at infinity with textured spheres a few metres away. The rig carries the truth
// the alignment is checked against (relative rotation and baseline). World frame as in synth.h, lengths in metres.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "tests/support/synth.h"

namespace vistereo::testsupport {

// A sphere in smooth multi-scale noise (its own colours for each seed), lit so that both cameras see the same shading.
struct TexturedSphere {
    Vec3 centre;
    double radius = 0.3;
    unsigned seed = 1;
    // Centre `distance` metres away at azimuth (degrees, positive to the right of +y) and elevation (degrees, up).
    static TexturedSphere at(double azimuthDeg, double elevationDeg, double distance, double radius, unsigned seed);
};

struct StereoScene {
    std::vector<TexturedSphere> spheres;
    bool panoramaBackground = true;                    // false: a plain colour at infinity
    cv::Vec3b plainColour = cv::Vec3b(120, 130, 140);  // B, G, R
};

// The dot product of two vectors, and the unit vector along one.
double dot(const Vec3& a, const Vec3& b);
Vec3 unit(const Vec3& a);

struct SceneCamera {
    SynthLens lens;
    RotationMatrix cameraToWorld;
    Vec3 position;  // metres, world frame
};

// The left camera at the origin turned by leftToWorld, the right at baseline * baselineDirection (left-camera
// frame) turned by rightToLeft against the left one. The truth: the rotation carrying right-camera directions
// onto left-camera ones, and the unit direction from the left camera to the right one in the left camera's frame.
struct StereoRig {
    SceneCamera left, right;
    static StereoRig sideBySide(const SynthLens& leftLens, const SynthLens& rightLens, const RotationMatrix& rightToLeft,
                                double baseline = 0.065, Vec3 baselineDirection = {1, 0, 0},
                                const RotationMatrix& leftToWorld = {});
    RotationMatrix rightToLeft() const;
    Vec3 baselineInLeft() const;
};

// What `camera` photographs of `scene`: samples x samples rays per pixel (averaged), black outside the circle.
cv::Mat renderView(const StereoScene& scene, const SceneCamera& camera, int samples = 2);

// `scene` photographed by an equisolid 1200 x 900 pair 65 mm apart, the right camera turned by 1, -0.5 and 0.8
// degrees of yaw, pitch and roll, converted side by side at height 1024 with the true rotation; `rightTone` (each
// row a channel's gains and offset, B, G, R) applied to the right photograph first.
cv::Mat convertedScene(const StereoScene& scene, const std::optional<cv::Matx34f>& rightTone = std::nullopt);

// A few spheres between 1 and 6 metres in front of the panorama; near spheres (1 to 2.5 m) filling most of the view;
// four spheres 1.3 to 2.2 m away off the middle of the view, which hold about a fifth of a pair's matches.
StereoScene spheresOneToSixMetres();
StereoScene nearSpheresFillingTheView();
StereoScene nearObjectsAFifth();

// The synthetic pairs the alignment is measured on (tests and benchmark): scene, rig with its truth, and the
// rotation error the estimate must stay within at width x height.
struct AlignmentCase {
    std::string name;
    StereoScene scene;
    StereoRig rig;
    double rotationToleranceDegrees = 0.02;
    bool parallax = true;  // the scene shows parallax, so the baseline is measurable
    // The lenses' laws depart from their records (SynthLens::shape, which records do not state): the far field
    // cannot be lined up exactly, by a few tenths of a working pixel.
    bool lawsOff = false;
};
std::vector<AlignmentCase> alignmentCases(int width, int height);

}  // namespace vistereo::testsupport
