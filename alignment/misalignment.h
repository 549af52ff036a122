// The misalignment of a stereo pair as its viewer sees it, measured one way
// wherever it is measured: by `align` on the matches of the two photographs
// (the right directions turned by the rotation found, as the conversion will
// render them) and by `check` on the matches of a finished side-by-side
// image. Internal to alignment/ and measure/.
//
// The model is the viewer's: the eyes stand side by side, so the baseline is
// +x of the image, right eye on the right. The relative pose is fitted to
// the directions as shown with that baseline on its nominal side
// (relative_pose.h: the near points' parallax, where it shows, may tilt it a
// little), which gives the turn the right eye would still need (none for an
// image aligned by the same fit) and which points are far and which near.
// Each inlier's vertical disparity is then taken apart along the viewer's
// baseline (DisparityParts): the near points' parallax along it is natural,
// and what is left, of every inlier, is the misalignment, which a turn of
// the right eye or better lens records could remove. The verdict is taken
// from its 95th percentile.
#pragma once

#include <string>
#include <vector>

#include "alignment/alignment.h"
#include "alignment/comfort.h"
#include "alignment/matching_steps.h"
#include "alignment/relative_pose.h"

namespace vistereo::alignment {

struct ViewerMeasureOptions {
    double pixelRadians = kTruePi / 1024;  // a pixel of the matching, the unit of the limits below
    double inlierPixels = 1.5;             // off the epipolar plane
    double farParallaxPixels = 1.0;        // along it: within this a point is far
    double maxParallaxDegrees = 12.0;
    double comfortLimitArcmin = kVerticalComfortLimitArcmin;
    double fusionLimitArcmin = kVerticalFusionLimitArcmin;
};

// `error`: why it was not measured (no geometry fits the pairs).
struct ViewerMisalignment : Fallible {
    PoseEstimate pose;                  // the fit on the pairs as shown
    YawPitchRoll remainingTurn;         // the turn of the right eye that fit still finds
    double remainingTurnDegrees = 0.0;  // its angle
    DisparitySummary disparity;
    std::vector<StereoCorrespondence> correspondences;  // the inliers
    Spread epipolarResidualArcmin;                      // the fit's residual off the epipolar planes
    Verdict verdict = Verdict::Unknown;
    std::string verdictText;  // one sentence, the limits named
    // The near points' parallax takes the wrong side of the viewer's
    // baseline, clearly: the eyes seem to be swapped (then `warning` says so).
    bool eyesSwapped = false;
    std::string warning;
};

// Measures the pairs `shown` (left directions, and right directions as the
// image shows them, in one frame, +z up), matched at the positions `at`.
ViewerMisalignment measureViewerMisalignment(const std::vector<DirectionPair>& shown, const MatchedPositions& at,
                                             const ViewerMeasureOptions& options);

}  // namespace vistereo::alignment
