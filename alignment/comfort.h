// The comfort verdict on a stereo pair's misalignment: the limits, and the
// verdict `align` gives on the image it leads to and `check` on a finished
// image, from the same figure. Also the grade every figure the programs show
// is told by (good, acceptable, poor against two stated limits), so that one
// figure reads the same in every window and command.
#pragma once

#include "alignment/alignment.h"

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

// The verdict itself (Verdict, verdictName) is the alignment result's, in alignment.h.
// The verdict on a vertical disparity of `p95Arcmin` at the 95th percentile.
Verdict verticalDisparityVerdict(double p95Arcmin, double comfortLimitArcmin = kVerticalComfortLimitArcmin,
                                 double fusionLimitArcmin = kVerticalFusionLimitArcmin);

// A figure as a photographer reads it: good within its first limit,
// acceptable within its second, poor beyond; not judged when it could not be
// measured (a NaN).
enum class Grade { NotJudged, Good, Acceptable, Poor };
const char* gradeName(Grade grade);  // "good", "acceptable", "poor", "not judged"
// The comfort verdict as a grade: comfortable is good, marginal acceptable.
Grade gradeOf(Verdict verdict);
// A figure where less is better (a residual, a disparity): good up to
// `goodLimit`, acceptable up to `acceptableLimit`.
Grade gradeAtMost(double value, double goodLimit, double acceptableLimit);
// A figure where more is better (a confidence, a speed): good from
// `goodLimit` on, acceptable from `acceptableLimit` on.
Grade gradeAtLeast(double value, double goodLimit, double acceptableLimit);

}  // namespace vistereo::alignment
