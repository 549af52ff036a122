// The alignment layer's only contact with the engine.
//
// Everything the alignment needs of a camera goes through this file: the
// working half of an eye (its source image seen through the engine's lens
// mapping on the engine's equirectangular grid, without any alignment
// rotation or zenith correction), the exact camera direction of a position
// in such a half, the source-image position of a camera direction and back,
// and the rotation the engine's A/B route builds from four points. When the
// engine's interface changes, only working_view.cpp (and CameraModel's
// factory, declared in alignment.h) has to follow.
//
// Directions are the engine's unit Vec3 in a camera's frame: +y the optical axis
// (forward), +x image-right, +z image-up.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "alignment/alignment.h"
#include "engine/lens.h"
#include "engine/params.h"
#include "engine/rotation.h"

namespace vistereo::alignment {

// One camera, CameraModel (the lens mapping of its source image, as the
// engine applies it), is in alignment.h.

// Why an eye's image cannot be seen through its camera model, or nothing
// when it can: no model, an empty image, one that is not 8-bit BGR, or one
// of another size than the model was derived for. `eye` names the eye
// ("left", "right") in the sentence.
std::string eyeImageProblem(const char* eye, const CameraModel& camera, const cv::Mat& image);

// An eye's working half: n x n gray pixels, row i and column j looking along
// halfPixelDirection(n, {j, i}) of that camera, and the mask of the pixels
// that show the photograph (inside the source image and not its black
// surround, eroded by a few pixels so that features keep off the edges).
struct WorkingHalf {
    cv::Mat gray;   // CV_8UC1, n x n
    cv::Mat valid;  // CV_8UC1, n x n, 255 where usable
    int reduction = 1;  // the source was box-filtered by this factor before sampling
};

// Renders the working half of `camera` from its 8-bit 3-channel source
// image. The source position of every half pixel is the engine's (its left
// half's mapping at size n with no zenith); the source is first reduced by
// the integer box factor that brings its density near the half's, so that
// sampling it does not alias. Rows are shared out among `threads` threads
// (0: every hardware thread).
WorkingHalf renderWorkingHalf(const CameraModel& camera, const cv::Mat& source, int n, int threads = 0);

// An eye in colour on the common grid, for comparing the eyes' levels: the
// n x n half of the frame `toCamera` turns into this camera's (identity for
// the left eye; for the right eye the transpose of the rotation carrying
// right-camera directions onto left-camera ones), each pixel the bilinear
// blend of the box-reduced source (as renderWorkingHalf reduces it), its
// source position (column, row; NaN where nothing is mapped) and the mask
// of the pixels that show the photograph, trimmed as renderWorkingHalf's.
struct ColourHalf {
    cv::Mat bgr;     // CV_32FC3, levels
    cv::Mat source;  // CV_32FC2
    cv::Mat valid;   // CV_8UC1, 255 where usable
};
ColourHalf renderColourHalf(const CameraModel& camera, const cv::Mat& source, int n, const RotationMatrix& toCamera,
                            int threads = 0);

// Where the lens's image circle lies in its source image: the axis point
// and the distance from it at 90 degrees off the axis (the radius the
// photometric fall-off is measured in).
struct LensCircle {
    SourcePosition axis;
    double rimRadius = 0.0;
};
LensCircle lensCircle(const CameraModel& camera);

// Camera direction of the continuous position (column, row) of an n x n
// half: the engine's grid, psi = row * pi / n from +z, lambda = column * pi / n
// from -x, direction (-sin psi cos lambda, sin psi sin lambda, cos psi), with
// the engine's value of pi. At integer positions this is zenithDirection
// with zero zenith, bit for bit.
Vec3 halfPixelDirection(int n, cv::Point2d position);

// The inverse: continuous (column, row) of a direction of the front
// hemisphere (y >= 0) in an n x n half.
cv::Point2d halfPositionOfDirection(int n, const Vec3& direction);

// Source-image position (column, row; pixel centres at integers) of a camera
// direction through the engine's lens mapping; nullopt for NaN input or a
// direction the mapping cannot place.
std::optional<SourcePosition> sourcePositionOfDirection(const CameraModel& camera, const Vec3& direction);

// Camera direction of an integer source pixel, as the engine's A/B route
// reads a point (NaN components where the engine gives NaN).
Vec3 directionOfSourcePixel(const CameraModel& camera, ImagePoint pixel);

// Camera direction of a continuous source position (column, row), through
// the lens's correction; NaN components beyond the law's reach.
Vec3 directionOfSourcePosition(const CameraModel& camera, SourcePosition position);

// Source pixels per radian at the lens axis (the density the working size is
// compared with).
double axisDensity(const CameraModel& camera);

// The rotation (row-major 3 x 3, right-camera directions onto left-camera
// directions) that the engine's A/B route builds from points A and B in the
// left and the right source image. NaN entries when the route is degenerate.
RotationMatrix pointRouteRotation(const CameraModel& left, const CameraModel& right, const PointSet& points);

}  // namespace vistereo::alignment
