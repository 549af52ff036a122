// The alignment's own maths on OpenCV's small matrices, for its .cpp files
// only: the one rotation type (RotationMatrix) and the one direction type
// (Vec3) converted to and from cv::Matx33d and cv::Vec3d at the edges, and
// the rotation and pose helpers that work on them inside. Not for code
// outside the alignment library.
#pragma once

#include <algorithm>
#include <vector>

#include <opencv2/core.hpp>

#include "alignment/relative_pose.h"
#include "engine/rotation.h"

namespace vistereo::alignment {

// The same nine numbers, row-major both ways.
inline cv::Matx33d toCv(const RotationMatrix& r) { return cv::Matx33d(&r.m[0][0]); }
inline RotationMatrix fromCv(const cv::Matx33d& m) {
    RotationMatrix r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r.m[i][j] = m(i, j);
    return r;
}

// The same three numbers, x y z both ways.
inline cv::Vec3d toCv(const Vec3& v) { return {v.x, v.y, v.z}; }
inline Vec3 fromCv(const cv::Vec3d& v) { return {v[0], v[1], v[2]}; }

// exp of the cross-product matrix of w: the rotation by |w| radians about w.
cv::Matx33d rotationFromVector(const cv::Vec3d& w);

// The inverse of rotationFromVector (angle in 0 .. pi).
cv::Vec3d vectorFromRotation(const cv::Matx33d& r);

// Angle of the rotation r in radians.
double rotationAngle(const cv::Matx33d& r);

// Nearest rotation to a 3 x 3 matrix (SVD, determinant +1).
cv::Matx33d nearestRotation(const cv::Matx33d& m);

// Levenberg-Marquardt's step for the normal equations h step = -g, each
// diagonal term raised by lambda times itself; false when they cannot be solved.
template <int N>
bool dampedStep(const cv::Matx<double, N, N>& h, const cv::Vec<double, N>& g, double lambda, cv::Vec<double, N>& step) {
    cv::Matx<double, N, N> damped = h;
    for (int d = 0; d < N; ++d) damped(d, d) += lambda * std::max(h(d, d), 1e-12);
    return cv::solve(damped, -g, step, cv::DECOMP_CHOLESKY);
}

// Unknown k held where it is: its row and column of the normal equations
// made the identity's, its gradient zero.
template <int N>
void holdUnknown(cv::Matx<double, N, N>& h, cv::Vec<double, N>& g, int k) {
    for (int e = 0; e < N; ++e) h(k, e) = h(e, k) = 0.0;
    h(k, k) = 1.0, g[k] = 0.0;
}

inline cv::Matx33d cross(const cv::Vec3d& v) {
    return {0, -v[2], v[1], v[2], 0, -v[0], -v[1], v[0], 0};
}

// The least-squares rotation carrying the right directions of the chosen
// pairs onto their left ones, ignoring the baseline (Kabsch). Near points
// bias it: it is here to show how much, not used by the estimate.
cv::Matx33d rotationOnlyFit(const std::vector<DirectionPair>& pairs, const std::vector<int>& chosen);

// Two unit vectors completing the unit t to an orthonormal basis (t's tangent steps).
void tangentBasis(const cv::Vec3d& t, cv::Vec3d& e1, cv::Vec3d& e2);

// A baseline as a turn from a rig's nominal direction: t along nominal +
// tilt up + toe forward, "up" the direction towards +z across the nominal
// line and "forward" completing the two (for +x: up +z, forward -y).
struct BaselineLine {
    cv::Vec3d nominal, up, forward;  // unit
    cv::Vec3d at(double tilt, double toe) const { return cv::normalize(nominal + tilt * up + toe * forward); }
    // The tilt and toe of a unit t on the nominal's side.
    void turnOf(const cv::Vec3d& t, double& tilt, double& toe) const {
        const double along = t.dot(nominal);
        tilt = t.dot(up) / along, toe = t.dot(forward) / along;
    }
};
BaselineLine baselineLine(const cv::Vec3d& nominal);

// Signed residual of one pair: the triple product u_L . (t x R u_R) over
// |t x R u_R|, the sine of u_L's angle to the epipolar plane.
double coplanarityResidual(const cv::Matx33d& rotation, const cv::Vec3d& baseline, const DirectionPair& pair);

// The vertical disparity of one correspondence as an image shows it (u_L
// and the right direction in one frame, +z up), taken apart; radians.
// Vertical is the polar angle from +z, right minus left (positive: the right
// eye sees the point lower). `remaining` is the turn a fit still finds
// between the eyes as shown (the identity when the right directions were
// already turned by the fitted rotation), `baseline` the fitted t. Undoing
// `remaining` and moving the right direction onto u_L's epipolar plane gives
// where a perfectly aligned right eye sees the point: from there to u_L is
// the point's parallax, along the baseline, which the eyes see in the real
// world too; the rest of the vertical disparity is misalignment, which a
// turn of the right eye (or better lenses) could remove.
struct DisparityParts {
    double vertical = 0.0;      // as shown
    double parallax = 0.0;      // vertical component of the parallax
    double misalignment = 0.0;  // vertical - parallax
    double along = 0.0;         // the parallax's angle along the epipolar line, positive on the near side
};
DisparityParts disparityParts(const cv::Matx33d& remaining, const cv::Vec3d& baseline, const DirectionPair& shown);

// Angle between u_L and R u_R, signed positive when R u_R lies on the side
// of u_L away from the baseline (the side a near point's parallax takes).
double signedParallax(const cv::Matx33d& rotation, const cv::Vec3d& baseline, const DirectionPair& pair);

}  // namespace vistereo::alignment
