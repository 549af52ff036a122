// Relative orientation of two cameras a baseline apart from corresponding
// unit directions.
//
// Model: a scene point X (left-camera frame) is seen along u_L ~ X by the
// left camera and along u_R ~ R^T (X - b t) by the right one, t the unit
// baseline direction from the left camera to the right one. Then u_L, t and
// R u_R are coplanar: u_L . (t x R u_R) = 0, whatever the point's distance.
// The residual used throughout is that triple product divided by
// |t x R u_R|, the sine of u_L's angle to the epipolar plane.
//
// Estimation: RANSAC (MSAC score) over eight-pair sets with the linear
// (eight-point) solution of u_L^T E u_R = 0 on the directions themselves, E
// projected onto the essential matrices and split into R and t, pairs more
// than maxParallax apart counting as outliers; then R and t refined together
// on the inliers by Huber-weighted Gauss-Newton with Levenberg damping on a
// rotation vector and a tangent step of t, starting from and weakly pulled
// towards the rig's expected baseline line (the prior, +x). The coplanarity
// residual does not tell t from -t: the sign comes from the side the near
// points' parallax takes. When no parallax stands out of the matching noise
// (a scene at infinity), t cannot be measured: it is set to the prior and R
// alone is refined. Pairs whose parallax clearly takes the wrong side (a
// point that would lie behind the cameras) are dropped before the last
// refinement.
#pragma once

#include <vector>

#include "base/fallible.h"
#include "engine/lens.h"
#include "engine/rotation.h"

namespace vistereo::alignment {

struct DirectionPair {
    Vec3 left;   // unit, left-camera frame
    Vec3 right;  // unit, right-camera frame
};

struct PoseOptions {
    double inlierThreshold = 0.004;  // radians off the epipolar plane
    double maxParallax = 0.21;       // radians between u_L and R u_R (about 12 degrees, 0.3 m at 65 mm)
    int maxIterations = 3000;
    double confidence = 0.9999;
    Vec3 baselinePrior{1.0, 0.0, 0.0};
    double baselinePriorSigma = 0.35;  // radians
    // The baseline is the prior, whatever the parallax says: only R is
    // fitted (for eyes whose baseline is given, such as a viewer's).
    bool fixedBaseline = false;
    unsigned seed = 0x5EEDu;
};

// `error`: why no geometry was found (too few pairs support one).
struct PoseEstimate : Fallible {
    RotationMatrix rotation;                     // right-camera directions onto left-camera directions
    Vec3 baseline{1.0, 0.0, 0.0};                // unit, left frame, left camera to right camera
    std::vector<int> inliers;                    // indices into the pairs
    std::vector<double> residuals;               // signed residual of every pair at the estimate (radians)
    double sigma = 0.0;                          // robust scale of the inliers' residuals (radians)
    bool baselineObserved = false;  // parallax decided t; else t is the prior and only R was fitted
    double baselineSigma = 0.0;  // standard deviation of t's direction from the data alone (radians; infinite: unobserved)
    int nearInliers = 0;         // inliers whose parallax shows (beyond 8 sigma, on the near side)
    int wrongSideInliers = 0;    // inliers dropped for parallax clearly on the wrong side of the baseline
    int ransacIterations = 0;
};

PoseEstimate estimateRelativePose(const std::vector<DirectionPair>& pairs, const PoseOptions& options = {});

// The median of the values (0 for none).
double median(std::vector<double> values);

}  // namespace vistereo::alignment
