// Relative orientation of two cameras a baseline apart from corresponding
// unit directions.
//
// Model: a scene point X (left-camera frame) is seen along u_L ~ X by the
// left camera and along u_R ~ R^T (X - b t) by the right one, t the unit
// baseline direction from the left camera to the right one. Then R u_R lies
// on the plane through u_L and t (the epipolar plane), on the side of u_L
// away from t, the further the nearer the point: its parallax. A point at
// infinity has none (u_L = R u_R).
//
// Each pair's residual is taken apart around u_L: `cross`, the angle of R u_R
// off the epipolar plane (no parallax can explain it), and `along`, its angle
// along the plane, positive away from t (the side a near point's parallax
// takes).
//
// Estimation compares explicit hypotheses over every pair with one robust
// cost, in which each pair takes the cheapest of three roles:
//   far      both parts count (cross^2 + along^2): the far field, whose
//            leftover displacement (the lenses' errors, the matching's noise)
//            is not parallax;
//   near     only cross counts, plus the far limit squared, and only when
//            along is positive: the point shows the parallax its side of the
//            baseline predicts (a displacement of the far field within the
//            far limit stays far, whichever way it points);
//   outlier  a fixed cost (the inlier threshold and the far limit squared).
// The hypotheses: the rotation alone (every pair far or an outlier), and the
// rotation with a baseline near the rig's nominal line on either side of it
// (t turned from +t0 or -t0 by a small tilt and toe, each held near zero by a
// prior: a rig's lenses stand side by side). Each is fitted by
// Levenberg-Marquardt on the pairs in their current roles, the roles chosen
// anew at every step; RANSAC on the eight-point solution gives the start and
// refuses pairs that fit no stereo geometry at all.
//
// The side of the baseline is decided by the points with the largest
// parallax, not by a count: under the rotation-only fit, every pair off the
// epipolar plane by less than the inlier threshold and displaced along it by
// more than three far limits adds what lies beyond that to its side, so one
// railing a metre away outweighs a thousand distant points that a lens error
// shifts a little. When that evidence is weak (fewer than 20 such points on
// the winning side, or less than four times the other side's sum), the
// baseline is the nominal one, held exactly, and only R is fitted; the
// estimate says so.
#pragma once

#include <string>
#include <vector>

#include "alignment/alignment.h"
#include "base/fallible.h"
#include "engine/lens.h"
#include "engine/rotation.h"

namespace vistereo::alignment {

// A pair of directions (DirectionPair) is in alignment.h.

// What a pair is to the fitted geometry.
enum class PointRole : unsigned char { Far, Near, Outlier };

struct PoseOptions {
    double inlierThreshold = 0.004;  // radians off the epipolar plane
    double farLimit = 0.003;         // radians of parallax along the epipolar plane a far point may show
    double maxParallax = 0.21;       // radians between u_L and R u_R (about 12 degrees, 0.3 m at 65 mm)
    int maxIterations = 3000;
    double confidence = 0.9999;
    Vec3 baselinePrior{1.0, 0.0, 0.0};  // the rig's nominal baseline direction (left frame)
    double tiltSigma = 0.052;  // radians: how far the baseline may rise or fall from the nominal line (3 degrees)
    double toeSigma = 0.14;    // radians: how far it may turn forward or back (8 degrees)
    // Only the nominal side is tried (the viewer's eyes, whose right eye
    // stands at +t0), not -t0 as well.
    bool nominalSideOnly = false;
    unsigned seed = 0x5EEDu;
};

// Why the baseline is what it is, in figures (BaselineEvidence), is in alignment.h.

// `error`: why no geometry was found (too few pairs support one).
struct PoseEstimate : Fallible {
    RotationMatrix rotation;                     // right-camera directions onto left-camera directions
    Vec3 baseline{1.0, 0.0, 0.0};                // unit, left frame, left camera to right camera
    std::vector<int> inliers;                    // far and near pairs, indices into the pairs
    std::vector<PointRole> roles;                // every pair's role at the estimate
    std::vector<double> residuals;               // every pair's cross part at the estimate (radians)
    double sigma = 0.0;                          // robust scale of the inliers' cross parts (radians)
    bool baselineObserved = false;  // parallax decided t; else t is the nominal one and only R was fitted
    double baselineSigma = 0.0;  // standard deviation of t's direction from the data alone (radians; infinite: unobserved)
    int nearInliers = 0;         // pairs in the near role
    int wrongSideInliers = 0;    // pairs on the epipolar plane whose parallax takes the wrong side beyond three far limits
    BaselineEvidence evidence;
    int ransacIterations = 0;
};

PoseEstimate estimateRelativePose(const std::vector<DirectionPair>& pairs, const PoseOptions& options = {});

// How strong the parallax must be to decide the baseline's side: at least
// this many strongly near points on the winning side, and this many times
// the other side's parallax.
inline constexpr int kStrongNearPoints = 20;
inline constexpr double kSideDominance = 4.0;

// The median of the values (0 for none).
double median(std::vector<double> values);

}  // namespace vistereo::alignment
