// The stereo measurement of a finished side-by-side equirectangular image:
// features matched between its halves, the turn of the right half that
// would line them up, the vertical disparity taken apart into misalignment
// and the near field's natural parallax, and the comfort verdict on it
// (alignment/comfort.h), all as `align` measures the image it leads to
// (alignment/misalignment.h).
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "alignment/alignment.h"
#include "alignment/comfort.h"
#include "base/fallible.h"

namespace vistereo::alignment {

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
    // expect runs along it (a fitted baseline far from it would take a
    // vertical offset of the halves for the parallax of a rig stacked
    // vertically). The verdict is taken from the misalignment: the near
    // field's vertical parallax is natural.
    YawPitchRoll remainingTurn;
    double remainingTurnDegrees = 0.0;  // its angle
    Spread epipolarResidualArcmin;      // the fit's residual
    DisparitySummary disparity;
    std::vector<StereoCorrespondence> correspondences;  // the inliers, in the image's pixels

    double comfortLimitArcmin = kVerticalComfortLimitArcmin;
    double fusionLimitArcmin = kVerticalFusionLimitArcmin;
    Verdict verdict = Verdict::Unknown;
    std::string verdictText;  // one sentence
    // The near points' parallax takes the wrong side of the viewer's
    // baseline: the halves seem to be the wrong way round (`warning` says so).
    bool eyesSwapped = false;
    std::string warning;
    StageSeconds seconds;
};

// Measures an 8-bit BGR side-by-side image of 2N x N pixels (left eye in
// the left half), as the conversion writes it.
StereoMeasurement measureStereo(const cv::Mat& sideBySide, const MeasureOptions& options = {});

}  // namespace vistereo::alignment
