// Photometric differences put on a synthetic fisheye pair, their correction
// applied pixel by pixel, and the difference of the two eyes' far fields as
// a conversion shows it.
#pragma once

#include <functional>

#include <opencv2/core.hpp>

#include "engine/colour.h"
#include "engine/render.h"
#include "tests/support/synth.h"

namespace vistereo::testsupport {

// The panorama at infinity with a white patch ahead and to the right
// (longitude 15 to 35 degrees, latitude 5 to 20: clipped in both eyes), seen
// by an equisolid 1200 x 900 pair, the right camera turned by 2 degrees of
// yaw, -1 of pitch and 1.5 of roll. Made once.
struct ClippedPair {
    SynthLens lens = SynthLens::equisolid(1200, 900);
    RotationMatrix rightToLeft = rotationFromYawPitchRoll(2.0, -1.0, 1.5);
    cv::Mat left, right;
};
const ClippedPair& clippedPair();

// New levels of a pixel from its levels (blue, green, red) and its distance
// from the lens axis over the radius of the lens's 90-degree circle.
using LevelChange = std::function<cv::Vec3d(cv::Vec3d levels, double rho)>;

// Every pixel of a fisheye image taken with `lens` through `change`, rounded
// and kept within 0 .. 255 (an empty change copies the image).
cv::Mat withLevels(const cv::Mat& fisheye, const SynthLens& lens, const LevelChange& change);

// Every pixel of a source image through an eye's correction at its own
// position, as the renderer corrects what it samples there.
cv::Mat corrected(const cv::Mat& source, const EyeColourCorrection& correction);

// The two eyes converted at height n with the right eye's rotation (and,
// when given, the colour correction applied as the halves are rendered),
// both halves lightly blurred (Gaussian, sigma 1 pixel): the mean absolute
// difference per channel (blue, green, red) over the pixels where every
// channel of both lies within 9 .. 249, kept 4 pixels off everything else.
cv::Vec3d farFieldDifference(const ConversionGeometry& geometry, const RotationMatrix& rightToLeft,
                             const cv::Mat& left, const cv::Mat& right, int n = 512,
                             const ColourCorrection* colour = nullptr);

// The same measure on a side-by-side image already converted (2N x N).
cv::Vec3d halvesDifference(const cv::Mat& sideBySide);

}  // namespace vistereo::testsupport
