// The stereo measurement of a finished side-by-side equirectangular image:
// features matched between its halves, the turn of the right half that
// would line them up, the vertical disparity taken apart into misalignment
// and the near field's natural parallax, and the comfort verdict on it.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "alignment/alignment.h"
#include "base/fallible.h"

namespace vistereo::alignment {

// Comfort limits for vertical disparity. The vertical extent of Panum's
// fusional area at the fovea was measured at about 19.2 to 25.6 minutes of
// arc (horizontal 32 to 40): "Analysis of human binocular fusional area in
// retinal fovea", abstract at https://discovery.researcher.life/article/
// analysis-of-human-binocular-fusional-area-in-retinal-fovea/
// 76a38ee44a2f361d9c59c99520513208 (looked up with the search tool). Beyond
// the lower end of that range, some viewers cannot fuse the images at all;
// Kooi & Toet, "Visual comfort of binocular and 3D displays", Displays 25
// (2004) 99-108, doi:10.1016/j.displa.2004.07.004, found that vertical
// shifts reduce comfort well before fusion breaks. The comfort limit here is
// half the lower fusional limit, a margin chosen for this tool, applied to
// the 95th percentile of the misalignment (the vertical disparity less the
// near points' natural vertical parallax, see DisparityParts).
inline constexpr double kVerticalFusionLimitArcmin = 19.2;
inline constexpr double kVerticalComfortLimitArcmin = kVerticalFusionLimitArcmin / 2.0;

enum class Verdict {
    Unknown,        // the measurement failed
    Comfortable,    // 95th percentile of the misalignment <= comfort limit
    Marginal,       // <= fusion limit
    Uncomfortable,  // beyond the fusion limit
};
const char* verdictName(Verdict verdict);
// The verdict on a vertical disparity of `p95Arcmin` at the 95th percentile.
Verdict verticalDisparityVerdict(double p95Arcmin, double comfortLimitArcmin = kVerticalComfortLimitArcmin,
                                 double fusionLimitArcmin = kVerticalFusionLimitArcmin);

struct MeasureOptions {
    int workingSize = 1024;  // the halves are reduced to this size for matching when larger
    FeatureDetector detector = FeatureDetector::Akaze;  // see features.h for why
    int maxFeatures = 4000;
    double ratio = 0.8;
    double inlierPixels = 1.5;  // working pixels
    double maxParallaxDegrees = 12.0;
    int minFeatures = 60, minMatches = 30, minInliers = 30;
    double comfortLimitArcmin = kVerticalComfortLimitArcmin;
    double fusionLimitArcmin = kVerticalFusionLimitArcmin;
    bool refinePositions = true;
    SubpixelOptions subpixel;
    double farParallaxPixels = 1.0;  // working pixels
    int threads = 0;  // as in AlignmentOptions
};

// `error`: why it was not measured, with `failure` saying which way.
struct StereoMeasurement : Fallible {
    Failure failure = Failure::None;

    int halfSize = 0;              // N: the image is 2N x N
    double arcminPerPixel = 0.0;   // 180 * 60 / N
    int matches = 0, inliers = 0;

    // Over the inliers, right half minus left half, in the image's pixels
    // and in arcminutes. Vertical: rows (positive: the right eye sees the
    // point lower). Horizontal: columns, as the 1st and 99th percentile
    // (negative: the right eye sees the point further left, i.e. nearer
    // than infinity).
    Spread verticalArcmin, verticalPixels;
    double horizontalMinArcmin = 0.0, horizontalMaxArcmin = 0.0;
    double horizontalMinPixels = 0.0, horizontalMaxPixels = 0.0;
    double coverage = 0.0;  // share of the cells of a 16 x 16 grid over the left half holding an inlier

    // The stereo geometry fitted to the halves: the turn of the right half
    // against the left that would line them up (yaw, pitch, roll as in
    // estimateAlignment; zero for a perfectly aligned image) and the
    // vertical disparity taken apart. The baseline is the viewer's, +x: the
    // eyes that look at the image stand side by side, so the parallax they
    // expect runs along it (a fitted baseline would take a vertical offset
    // of the halves for the parallax of a rig stacked vertically). The
    // verdict is taken from the misalignment: the near field's vertical
    // parallax is natural.
    YawPitchRoll remainingTurn;
    double remainingTurnDegrees = 0.0;  // its angle
    Spread epipolarResidualArcmin;      // the fit's residual
    DisparitySummary disparity;
    std::vector<StereoCorrespondence> correspondences;  // the inliers, in the image's pixels

    double comfortLimitArcmin = kVerticalComfortLimitArcmin;
    double fusionLimitArcmin = kVerticalFusionLimitArcmin;
    Verdict verdict = Verdict::Unknown;
    std::string verdictText;  // one sentence
    StageSeconds seconds;
};

// Measures an 8-bit BGR side-by-side image of 2N x N pixels (left eye in
// the left half), as the conversion writes it.
StereoMeasurement measureStereo(const cv::Mat& sideBySide, const MeasureOptions& options = {});

}  // namespace vistereo::alignment
