#include "conversion/lens_calibration.h"

#include <cmath>
#include <cstdio>
#include <numbers>

#include "alignment/alignment.h"
#include "conversion/run_steps.h"

namespace vistereo {

LensCalibration calibrateLenses(const std::vector<BatchPair>& pairs, const ConversionRequest& request, bool shape,
                                int threads) {
    LensCalibration out;
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
        out.reason = describeSharedAlignment(out.shared);
        return out;
    }

    // The records' eyes, as the pairs were read.
    const alignment::AlignmentResult& r = first->alignment.result;
    const alignment::CameraModel& leftSeen = r.lenses.left;
    const alignment::CameraModel& rightSeen = r.lenses.right;
    out.rightImage = {rightSeen.imageWidth(), rightSeen.imageHeight()};
    ConversionRequest plain = request;
    plain.refinedLenses = {};
    PreparedPair prepared;
    if (const auto refused = preparePair(plain, {leftSeen.imageWidth(), leftSeen.imageHeight()}, out.rightImage, prepared)) {
        out.reason = refused->explained();
        return out;
    }

    const alignment::AlignmentOptions defaults;
    alignment::LensRefinementOptions options;
    options.shape = shape;
    options.pixelRadians = std::numbers::pi / (r.workingSize > 0 ? r.workingSize : defaults.workingSize);
    options.inlierPixels = defaults.inlierPixels;
    options.maxParallaxRadians = defaults.maxParallaxDegrees * std::numbers::pi / 180.0;
    const alignment::CameraModel left = alignment::CameraModel::fromEyeGeometry(prepared.geometry.eye[0]);
    const alignment::CameraModel right = alignment::CameraModel::fromEyeGeometry(prepared.geometry.eye[1]);
    out.pooled = alignment::refineLenses(left, right, pooledMatches, options);
    if (!out.pooled.ok) {
        out.reason = "the pooled refinement failed: " + out.pooled.reason;
        return out;
    }
    // As for one pair: refined lenses that line the pairs up worse than the records are not kept.
    if (out.pooled.residualAfterPixels > 1.02 * out.pooled.residualBeforePixels + 0.01) {
        char why[160];
        std::snprintf(why, sizeof why, "with them the pooled residual is %.3f px, with the records %.3f px",
                      out.pooled.residualAfterPixels, out.pooled.residualBeforePixels);
        out.pooled.setAside(left, right, why);
    }
    for (size_t k = 0; k < out.shared.attempts.size(); ++k)
        if (out.shared.attempts[k].used)
            out.pooledFits[k] = alignment::fitOfPair(out.pooled, out.shared.attempts[k].alignment.result.lensMatches, options);
    out.lenses.corrections = out.pooled.correction;
    if (out.pooled.lawReplaced) out.lenses.laws[1] = out.pooled.rightMapping;
    out.ok = true;
    return out;
}

}  // namespace vistereo
