// Lens calibration over a shoot: the pairs aligned and refined one by one,
// the rig's pairs pooled into one refinement of the right lens, and each
// camera's circle over every frame (see lens_calibration.h).
#include "calibration/lens_calibration.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "alignment/alignment.h"
#include "conversion/core.h"

namespace vistereo {
namespace {

// Why the pooled lenses line the pooled pairs up worse than the records, or
// nothing: each pair aligned again, once through the records and once
// through the pooled lenses (neither refined), judged by the figure the
// user sees (the misalignment as the viewer, and `check`, see it), as one
// pair's refinement is judged. The residual the pooled fit lowers does not
// tell: it is the fit's own.
std::string judgePooledLenses(LensCalibration& c, const std::vector<BatchPair>& pairs, const ConversionRequest& request,
                              const ConversionGeometry& records, int threads) {
    ConversionGeometry refined = records;
    RefinedLenses lenses;
    lenses.corrections = c.pooled.correction;
    if (c.pooled.lawReplaced) lenses.laws[1] = c.pooled.rightMapping;
    applyRefinedLenses(lenses, refined);
    double misalignment[2] = {};
    int counted = 0;
    const InputReadOptions reading = readOptionsOf(request, threads);
    for (const SharedAlignment::Attempt& a : c.shared.attempts) {
        if (!a.used) continue;
        const InputImages images = readInputPair(pairs[a.sample.pair].left, pairs[a.sample.pair].right, reading);
        if (!images.left.ok() || !images.right.ok()) continue;
        const PairAlignment byRecords = alignImages(images.left.pixels, images.right.pixels, records, threads);
        const PairAlignment byPooled = alignImages(images.left.pixels, images.right.pixels, refined, threads);
        if (!byRecords.ok()) continue;
        const std::string pair = a.sample.name() + ": ";
        if (!byPooled.ok()) return pair + "with them " + byPooled.error;
        if (byRecords.result.baselineObserved && !byPooled.result.baselineObserved)
            return pair + "with them the baseline the records' fit observes is lost";
        misalignment[0] += byRecords.result.disparity.misalignment.rms;
        misalignment[1] += byPooled.result.disparity.misalignment.rms;
        ++counted;
    }
    if (counted == 0) return {};
    auto worse = [](double pooled, double records) { return pooled > 1.02 * records + 0.01; };
    char why[200] = "";
    if (worse(misalignment[1], misalignment[0]))
        std::snprintf(why, sizeof why, "with them the misalignment is %.2f' RMS (mean of the pairs), with the records %.2f'",
                      misalignment[1] / counted, misalignment[0] / counted);
    return why;
}

}  // namespace

std::array<alignment::PooledCircle, 2> shootCircles(const std::vector<BatchPair>& pairs, const ConversionRequest& request,
                                                    int threads) {
    std::array<alignment::CircleOverFrames, 2> frames;
    std::array<alignment::PooledCircle, 2> out;
    const InputReadOptions reading = readOptionsOf(request, threads);
    for (const BatchPair& pair : pairs) {
        const InputImages images = readInputPair(pair.left, pair.right, reading);
        const InputImage* eye[2] = {&images.left, &images.right};
        for (int k = 0; k < 2; ++k) {
            if (!out[k].circle.error.empty()) continue;
            if (!eye[k]->ok())
                out[k].circle.error = "cannot read the image " + describeInputProblem(*eye[k]);
            else if (!frames[k].add(eye[k]->pixels))
                out[k].circle.error = eye[k]->path.string() + " differs in size from the camera's first frame";
        }
    }
    for (int k = 0; k < 2; ++k)
        if (out[k].circle.error.empty()) out[k] = frames[k].detect();
    return out;
}

LensCalibration calibrateLenses(const std::vector<BatchPair>& pairs, const ConversionRequest& request, bool shape,
                                int threads) {
    LensCalibration out;
    out.circles = shootCircles(pairs, request, threads);
    out.shared = alignFirstPairs(pairs, request, threads, kMaxCalibrationPairs, kMaxCalibrationPairs, {true, shape});
    out.pooledFits.resize(out.shared.attempts.size());
    const SharedAlignment::Attempt* first = nullptr;
    std::vector<alignment::SourceMatch> pooledMatches;
    for (const SharedAlignment::Attempt& a : out.shared.attempts) {
        if (!a.used) continue;
        if (!first) first = &a;
        const std::vector<alignment::SourceMatch>& m = a.alignment.result.lensMatches;
        pooledMatches.insert(pooledMatches.end(), m.begin(), m.end());
    }
    if (!first) {
        out.error = describeSharedAlignment(out.shared);
        return out;
    }

    // The records' eyes, as the pairs were read.
    const alignment::AlignmentResult& r = first->alignment.result;
    const alignment::CameraModel& leftSeen = r.lenses.left;
    const alignment::CameraModel& rightSeen = r.lenses.right;
    out.rightImage = {rightSeen.imageWidth(), rightSeen.imageHeight()};
    ConversionRequest plain = request;
    if (GivenRotation* given = std::get_if<GivenRotation>(&plain.alignment)) given->lenses = {};
    PreparedPair prepared;
    const RunStep refused = preparePair(plain, {leftSeen.imageWidth(), leftSeen.imageHeight()}, out.rightImage, prepared);
    if (!refused.ok()) {
        out.error = refused.explained();
        return out;
    }

    const alignment::AlignmentOptions defaults;
    alignment::LensRefinementOptions options;
    options.shape = shape;
    options.pixelRadians = std::numbers::pi / (r.workingSize > 0 ? r.workingSize : defaults.workingSize);
    options.inlierPixels = defaults.inlierPixels;
    options.farPixels = defaults.farParallaxPixels;
    options.maxParallaxRadians = defaults.maxParallaxDegrees * std::numbers::pi / 180.0;
    const alignment::CameraModel left = alignment::CameraModel::fromEyeGeometry(prepared.geometry.eye[0]);
    const alignment::CameraModel right = alignment::CameraModel::fromEyeGeometry(prepared.geometry.eye[1]);
    out.pooled = alignment::refineLenses(left, right, pooledMatches, options);
    if (!out.pooled.ok()) {
        out.error = "the pooled refinement failed: " + out.pooled.error;
        return out;
    }
    // As for one pair: refined lenses that line the pairs up worse than the records are not kept.
    for (size_t k = 0; k < out.shared.attempts.size(); ++k)
        if (out.shared.attempts[k].used)
            out.pooledFits[k] = alignment::fitOfPair(out.pooled, out.shared.attempts[k].alignment.result.lensMatches, options);
    const std::string worse = judgePooledLenses(out, pairs, request, prepared.geometry, threads);
    if (!worse.empty()) out.pooled.setAside(left, right, worse);
    out.lenses.corrections = out.pooled.correction;
    if (out.pooled.lawReplaced) out.lenses.laws[1] = out.pooled.rightMapping;
    return out;
}

PooledPairVerdicts judgePooledPairs(const LensCalibration& c) {
    PooledPairVerdicts out;
    std::vector<PooledPairVerdict>& verdicts = out.pairs;
    verdicts.resize(c.shared.attempts.size());
    const size_t judged = std::min(verdicts.size(), c.pooledFits.size());
    const double misfit = alignment::LensRefinementOptions{}.misfitPixels;
    std::vector<double> residuals;
    for (size_t k = 0; k < judged; ++k) {
        if (!c.shared.attempts[k].used) continue;
        const double rms = c.pooledFits[k].rmsPixels;
        residuals.push_back(rms);
        verdicts[k].grade = alignment::gradeAtMost(rms, kGoodPooledResidualPixels, misfit);
        if (verdicts[k].grade == alignment::Grade::Good || verdicts[k].grade == alignment::Grade::Acceptable)
            out.noneFitsWell = false;
    }
    // When every pooled pair is poor, none is the one to leave out: the
    // pairs are not of one rig, or the lens law does not fit them.
    if (out.noneFitsWell) return out;
    std::sort(residuals.begin(), residuals.end());
    const size_t n = residuals.size();
    const double median = n % 2 ? residuals[n / 2] : (residuals[n / 2 - 1] + residuals[n / 2]) / 2.0;
    for (size_t k = 0; k < judged; ++k) {
        if (!c.shared.attempts[k].used) continue;
        const double rms = c.pooledFits[k].rmsPixels;
        PooledPairVerdict& v = verdicts[k];
        // Beside one other pair, neither stands out from the median of the two.
        const bool outlier = n > 2 && rms > kPooledResidualOutlierRatio * median;
        v.leaveOut = v.grade == alignment::Grade::Poor || outlier;
        if (!v.leaveOut) continue;
        char text[160];
        if (outlier)
            std::snprintf(text, sizeof text, "%.3f working px, %.1f times the pairs' median of %.3f", rms, rms / median,
                          median);
        else
            std::snprintf(text, sizeof text, "%.3f working px, beyond the %.2f a fit may leave", rms, misfit);
        v.why = text;
    }
    return out;
}

std::string pooledResidualLimits() {
    char text[96];
    std::snprintf(text, sizeof text, "good up to %.2f, acceptable up to %.2f working px", kGoodPooledResidualPixels,
                  alignment::LensRefinementOptions{}.misfitPixels);
    return text;
}

}  // namespace vistereo
