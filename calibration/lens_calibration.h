// Lens calibration over a shoot: each camera's image circle over every frame
// of the shoot (so that no one scene decides it), and the pairs of one rig,
// which share one rotation,
// one baseline and one set of lens corrections, so their matches are pooled
// into one refinement of the right lens against the left, steadier than any
// single pair's (a pair sees the lens only where its scene has detail, and
// its near objects bend its own fit). Each pair is first aligned and refined
// on its own, as the batch's shared alignment does; pairs whose rotation is
// far from the others' are left out as not of the rig.
#pragma once

#include <string>
#include <vector>

#include "alignment/comfort.h"
#include "alignment/lens_refinement.h"
#include "lens/image_circle.h"
#include "base/fallible.h"
#include "conversion/auto_align.h"
#include "batch/batch_pairs.h"
#include "conversion/request.h"

namespace vistereo {

inline constexpr size_t kMaxCalibrationPairs = 12;

// `error`: why not: no pair aligned, the pooled fit failed or lined the pairs up worse.
struct LensCalibration : Fallible {
    SharedAlignment shared;  // each pair on its own, and which were pooled (used)
    // Per attempt (in shared.attempts' order): how its matches fit the pooled
    // refinement; zeros for a pair that was not pooled.
    std::vector<alignment::PairFit> pooledFits;
    alignment::LensRefinement pooled;
    RefinedLenses lenses;     // the pooled corrections, as a conversion renders with them
    ImageSize rightImage;     // the right images' size
    // Each camera's image circle (left, right) over every frame of the shoot,
    // with the spread of the frames' own circles; `error` where none was
    // found (a frame that cannot be read, or no circular rim).
    std::array<alignment::PooledCircle, 2> circles;
};

// Each camera's image circle over every frame of `pairs` (left images, right
// images), read as the request reads its inputs.
std::array<alignment::PooledCircle, 2> shootCircles(const std::vector<BatchPair>& pairs, const ConversionRequest& request,
                                                    int threads = 0);

// Aligns up to kMaxCalibrationPairs of `pairs` with the request's lenses,
// each refined on its own (the shape term too with `shape`), and refines the
// right lens once more on the matches of every pair that agrees with the
// others' rotation. Those lenses are set aside (the records kept, the reason
// said) when, each pooled pair aligned again through them, the pairs show
// more misalignment than through the records, or lose
// the baseline the records observe.
LensCalibration calibrateLenses(const std::vector<BatchPair>& pairs, const ConversionRequest& request, bool shape,
                                int threads = 0);

// Each pooled pair's fit to the pooled lenses, judged: its RMS residual off
// the epipolar planes (working pixels) good up to kGoodPooledResidualPixels,
// acceptable up to the refinement's own misfit limit
// (LensRefinementOptions::misfitPixels); a pair that is poor, or whose
// residual is more than kPooledResidualOutlierRatio times the median of the
// pooled pairs', fits the others' lenses worse than they do: a pair to leave
// out (a moved camera, a near scene, a smeared frame). When every pooled
// pair is poor none is named: leaving them all out helps nothing (the pairs
// are not of one rig, or the lens law does not fit them). Pairs not pooled
// are not judged here (their reason is the shared alignment's remark).
inline constexpr double kGoodPooledResidualPixels = 0.25;
inline constexpr double kPooledResidualOutlierRatio = 2.0;
struct PooledPairVerdict {
    alignment::Grade grade = alignment::Grade::NotJudged;
    bool leaveOut = false;
    std::string why;  // "0.31 working px, 2.4 times the pairs' median of 0.13": for a pair to leave out
};
struct PooledPairVerdicts {
    std::vector<PooledPairVerdict> pairs;  // in the order of `c.shared.attempts`
    // No pooled pair fits well (every one poor, or none pooled): then none is
    // named to leave out.
    bool noneFitsWell = true;
};
PooledPairVerdicts judgePooledPairs(const LensCalibration& c);
// "good up to 0.25, acceptable up to 0.50 working px": the limits the verdicts name.
std::string pooledResidualLimits();

}  // namespace vistereo
