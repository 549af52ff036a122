// The stereo window: where the zero-parallax plane lies, and whether near
// objects stand out of the frame.
//
// Converted as it is, a side-by-side 180-degree image puts zero horizontal
// disparity at infinity: far things line up in the two halves and every
// nearer thing lies in front of that plane (the right eye sees it further
// left). Stereographers move the plane nearer by turning one eye about the
// vertical axis (convergence): a point on the middle line between two eyes
// a baseline b apart, at distance D, is seen by the two at directions that
// differ by the vergence angle 2 atan(b / 2D); turning the right eye's view
// by that angle lines the point up, so objects at D lie on the plane of the
// frame, nearer ones in front of it and farther ones behind it. Off the
// middle line the same turn suits a slightly different distance (the
// parallax of a point at D falls with the cosine of its angle off the
// baseline's normal), so the plane is exact straight ahead.
//
// A headset shows zero disparity at infinity: a converged image asks the
// viewer's eyes to diverge for whatever lies beyond D. Keep the turn small.
//
// An object in front of the plane that the frame's left or right edge cuts
// is a window violation: the eyes see it stand out of the frame while the
// frame hides part of it, which they cannot fuse comfortably.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "measure/measure.h"

namespace vistereo::alignment {

inline constexpr double kDefaultBaselineMillimetres = 65.0;

// The convergence (degrees) that puts the zero-parallax plane `distance`
// metres away for a rig whose lenses are `baseline` millimetres apart:
// 2 atan(b / 2D). Nothing for a distance or baseline that is not a positive
// finite number.
std::optional<double> convergenceForDistance(double distanceMetres,
                                             double baselineMillimetres = kDefaultBaselineMillimetres);

// The right eye's rotation (right-camera directions onto left-camera ones)
// with a convergence added: a turn by `convergenceDegrees` about the left
// camera's vertical axis (+z), Yaw(c) * R in the alignment's yaw, pitch and
// roll convention. Positive convergence turns the right half's picture to
// the right: a far point then shows further right in the right half than
// in the left (behind the frame), a point at the convergence distance at
// the same column. Zero gives R back.
RotationMatrix convergedRotation(const RotationMatrix& rightToLeft, double convergenceDegrees);

struct WindowOptions {
    double edgeBandDegrees = 18.0;  // the band along the left and the right edge of a half that counts as the frame's edge
    double frontPixels = 1.0;       // disparities beyond this (image pixels, crossed) count as in front of the plane
    int minPoints = 3;              // points in an edge band in front of the plane that make a violation
    double setAsideShare = 0.005;   // the nearest share of points set aside as possible mismatches
};

struct StereoWindow {
    bool measured = false;  // false: no inliers
    // The nearest point: the most crossed horizontal disparity (right minus
    // left column; negative: in front of the plane of the frame) once the
    // nearest share is set aside, in image pixels and arcminutes, and where
    // it lies in the left half (column, row).
    double nearestPixels = 0.0, nearestArcmin = 0.0;
    SourcePosition nearestAt;
    int inFront = 0;  // points in front of the plane
    // Per edge (0 left, 1 right): points of the band in front of the plane,
    // the nearest of them (pixels; 0 when none), and whether they are a violation.
    std::array<int, 2> edgeInFront{0, 0};
    std::array<double, 2> edgeNearestPixels{0.0, 0.0};
    std::array<bool, 2> violation{false, false};
    double edgeBandDegrees = 0.0;
    double frontPixels = 0.0;  // the limit a disparity had to pass to count as in front
};

// Judges the matched points of a measured side-by-side image of halves
// `halfSize` pixels square (positions in the image's pixels).
StereoWindow assessStereoWindow(const std::vector<StereoCorrespondence>& inliers, int halfSize,
                                const WindowOptions& options = {});

// The same for a measurement: a disparity counts as in front of the plane
// beyond the far limit the measurement judged near points by.
StereoWindow assessStereoWindow(const StereoMeasurement& measurement, const MeasureOptions& measured,
                                WindowOptions options = {});

}  // namespace vistereo::alignment
