// Small rotation helpers on cv::Matx33d (row-major, acting on column vectors).
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace vistereo::alignment {

// exp of the cross-product matrix of w: the rotation by |w| radians about w.
cv::Matx33d rotationFromVector(const cv::Vec3d& w);

// The inverse of rotationFromVector (angle in 0 .. pi).
cv::Vec3d vectorFromRotation(const cv::Matx33d& r);

// Angle of the rotation r in radians.
double rotationAngle(const cv::Matx33d& r);

// Nearest rotation to a 3 x 3 matrix (SVD, determinant +1).
cv::Matx33d nearestRotation(const cv::Matx33d& m);

// R = Yaw(yaw) * Pitch(pitch) * Roll(roll), degrees, applied to camera
// directions (+y forward, +x right, +z up):
//   Yaw(w)   = [ cos w  sin w  0 ; -sin w  cos w  0 ; 0 0 1 ]   positive turns +y towards +x (to the right)
//   Pitch(p) = [ 1 0 0 ; 0  cos p  -sin p ; 0  sin p  cos p ]   positive turns +y towards +z (up)
//   Roll(r)  = [ cos r  0  sin r ; 0 1 0 ; -sin r  0  cos r ]   positive turns +z towards +x (clockwise as seen from behind)
cv::Matx33d rotationFromYawPitchRoll(double yawDeg, double pitchDeg, double rollDeg);

struct YawPitchRoll {
    double yaw = 0.0, pitch = 0.0, roll = 0.0;  // degrees
};
// The inverse of rotationFromYawPitchRoll (pitch in -90 .. 90).
YawPitchRoll yawPitchRollOf(const cv::Matx33d& r);

// One rotation for several estimates of the same one (a rig's rotation
// measured on several pairs). The estimate closest to all the others (the
// least sum of angles to them) is the centre; estimates further from it than
// max(floorDegrees, 3 x the median distance) are left out as outliers; the
// rest are averaged (the nearest rotation to the sum of their matrices).
struct RotationMean {
    cv::Matx33d rotation = cv::Matx33d::eye();
    std::vector<bool> used;            // per estimate: taken into the mean
    std::vector<double> offDegrees;    // per estimate: angle to the mean
    double rmsDegrees = 0.0, maxDegrees = 0.0;  // of the used estimates' angles to the mean
    size_t usedCount() const;
};
RotationMean robustMeanRotation(const std::vector<cv::Matx33d>& estimates, double floorDegrees = 0.25);

inline cv::Matx33d cross(const cv::Vec3d& v) {
    return {0, -v[2], v[1], v[2], 0, -v[0], -v[1], v[0], 0};
}

}  // namespace vistereo::alignment
