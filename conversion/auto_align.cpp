#include "conversion/auto_align.h"

#include <chrono>
#include <cstdio>
#include <exception>

#include "conversion/run_steps.h"

namespace vistereo {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Aligns a pair read as the run reads it: the request's lens check, the
// images judged, the eyes prepared. The request needs no points.
PairAlignment alignReadPair(const InputImages& images, const ConversionRequest& request, int threads,
                            Clock::time_point start, LensRefining refining = {}) {
    PairAlignment out;
    std::vector<std::string> warnings;
    std::optional<RunRefusal> refused = judgeInputImages(images, warnings);
    PreparedPair prepared;
    const cv::Mat& l = images.left.pixels;
    const cv::Mat& r = images.right.pixels;
    if (!refused) refused = preparePair(request, {l.cols, l.rows}, {r.cols, r.rows}, prepared);
    if (refused) {
        out.error = refused->explained();
        return out;
    }
    out = alignImages(l, r, prepared.geometry, threads, refining);
    out.warnings = std::move(warnings);
    out.seconds = secondsSince(start);
    return out;
}

// The mean of the refined corrections of the attempts taken into the
// rotation's mean, with the law the first of them found.
RefinedLenses meanLenses(const std::vector<SharedAlignment::Attempt>& attempts) {
    RefinedLenses mean;
    mean.corrections[0] = mean.corrections[1] = {0.0, 0.0, 0.0, 0.0};
    int count = 0;
    for (const SharedAlignment::Attempt& a : attempts) {
        if (!a.used || !a.alignment.result.lensesRefined) continue;
        const RefinedLenses one = refinedLensesOf(a.alignment.result);
        if (count == 0) mean.laws = one.laws;
        for (int eye = 0; eye < 2; ++eye) {
            LensCorrection& m = mean.corrections[eye];
            const LensCorrection& c = one.corrections[eye];
            m.axisDx += c.axisDx, m.axisDy += c.axisDy, m.scale += c.scale, m.shape += c.shape;
        }
        ++count;
    }
    for (LensCorrection& m : mean.corrections) {
        if (count == 0) {
            m = {};
            continue;
        }
        m.axisDx /= count, m.axisDy /= count, m.scale /= count, m.shape /= count;
    }
    return mean;
}

ConversionRequest withoutPoints(const ConversionRequest& request) {
    ConversionRequest byRotation = request;
    byRotation.rotation = RotationMatrix{};
    return byRotation;
}

}  // namespace

PairAlignment alignImages(const cv::Mat& left, const cv::Mat& right, const ConversionGeometry& geometry,
                          int threads, LensRefining refining) {
    const auto start = Clock::now();
    PairAlignment out;
    alignment::AlignmentOptions options;
    options.threads = threads;
    options.refineLenses = refining.lenses;
    options.refineShape = refining.shape;
    out.result = alignment::estimateAlignment(alignment::CameraModel::fromEyeGeometry(geometry.eye[0]), left,
                                              alignment::CameraModel::fromEyeGeometry(geometry.eye[1]), right, options);
    if (!out.result.ok) out.error = "automatic alignment failed: " + out.result.reason;
    out.seconds = secondsSince(start);
    return out;
}

PairAlignment alignRequestPair(const ConversionRequest& request, int threads, InputImages* images,
                               LensRefining refining) {
    const auto start = Clock::now();
    const ConversionRequest byRotation = withoutPoints(request);
    if (const auto refused = checkRequest(byRotation)) {
        PairAlignment refusedPair;
        refusedPair.error = refused->text();
        return refusedPair;
    }
    InputImages read = readInputImages(request);
    PairAlignment aligned = alignReadPair(read, byRotation, threads, start, refining);
    if (images) *images = std::move(read);
    return aligned;
}

RefinedLenses refinedLensesOf(const alignment::AlignmentResult& result) {
    RefinedLenses lenses;
    if (!result.lensesRefined) return lenses;
    lenses.corrections = result.lenses.correction;
    if (result.lenses.lawReplaced) lenses.laws[1] = result.lenses.rightMapping;
    return lenses;
}

RotationMatrix rotationOf(const alignment::AlignmentResult& result) {
    RotationMatrix m;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m.m[r][c] = result.rotation[3 * r + c];
    return m;
}

SharedAlignment alignFirstPairs(const std::vector<BatchPair>& pairs, const ConversionRequest& request, int threads,
                                size_t wanted, size_t attempts, LensRefining refining) {
    const auto begin = Clock::now();
    SharedAlignment shared;
    const ConversionRequest byRotation = withoutPoints(request);
    if (checkRequest(byRotation)) return shared;  // the batch refuses such a request itself
    std::vector<cv::Matx33d> rotations;
    std::vector<size_t> alignedAttempt;
    for (size_t k = 0; k < pairs.size() && k < attempts && rotations.size() < wanted; ++k) {
        SharedAlignment::Attempt attempt;
        attempt.index = k;
        const auto start = Clock::now();
        try {
            attempt.alignment = alignReadPair(readInputPair(pairs[k].left, pairs[k].right, readOptionsOf(request)),
                                              byRotation, threads, start, refining);
        } catch (const std::exception& e) {
            attempt.alignment.error = std::string("the pair could not be read: ") + e.what();
        }
        if (attempt.alignment.ok()) {
            rotations.push_back(attempt.alignment.result.rotationMatrix());
            alignedAttempt.push_back(shared.attempts.size());
        }
        shared.attempts.push_back(std::move(attempt));
    }
    shared.seconds = secondsSince(begin);
    if (rotations.empty()) return shared;
    const alignment::RotationMean mean = alignment::robustMeanRotation(rotations);
    for (size_t i = 0; i < rotations.size(); ++i) {
        SharedAlignment::Attempt& attempt = shared.attempts[alignedAttempt[i]];
        attempt.used = mean.used[i];
        attempt.offDegrees = mean.offDegrees[i];
    }
    RotationMatrix m;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m.m[r][c] = mean.rotation(r, c);
    shared.rotation = m;
    if (refining.lenses) shared.lenses = meanLenses(shared.attempts);
    shared.angles = alignment::yawPitchRollOf(mean.rotation);
    shared.rmsDegrees = mean.rmsDegrees;
    shared.maxDegrees = mean.maxDegrees;
    shared.used = mean.usedCount();
    return shared;
}

std::string describeSharedAlignment(const SharedAlignment& shared) {
    if (!shared.rotation) {
        std::string text = "no pair could be aligned (" + std::to_string(shared.attempts.size()) + " tried)";
        if (!shared.attempts.empty())
            text += "; pair " + std::to_string(shared.attempts.front().index + 1) + ": " +
                    shared.attempts.front().alignment.error;
        return text;
    }
    std::string pairs;
    for (const SharedAlignment::Attempt& a : shared.attempts)
        if (a.used) pairs += (pairs.empty() ? "" : ", ") + std::to_string(a.index + 1);
    char text[200];
    std::snprintf(text, sizeof text, ": yaw %.3f, pitch %.3f, roll %.3f degrees; spread %.4f degrees RMS, %.4f max; %.1f s",
                  shared.angles.yaw, shared.angles.pitch, shared.angles.roll, shared.rmsDegrees, shared.maxDegrees,
                  shared.seconds);
    return std::string(shared.used == 1 ? "aligned once on pair " : "aligned once on pairs ") + pairs + text;
}

std::vector<std::string> sharedAlignmentRemarks(const SharedAlignment& shared) {
    std::vector<std::string> remarks;
    for (const SharedAlignment::Attempt& a : shared.attempts) {
        const std::string pair = "pair " + std::to_string(a.index + 1) + ": ";
        if (!a.alignment.ok()) {
            remarks.push_back(pair + a.alignment.error);
        } else if (!a.used) {
            char text[120];
            std::snprintf(text, sizeof text, "%.3f degrees from the others' rotation, left out", a.offDegrees);
            remarks.push_back(pair + text);
        }
    }
    return remarks;
}

BatchAligner alignEachPair(int threads, LensRefining refining) {
    return [threads, refining](const cv::Mat& left, const cv::Mat& right, const ConversionGeometry& geometry) {
        const PairAlignment aligned = alignImages(left, right, geometry, threads, refining);
        BatchAlignment out;
        if (aligned.ok()) out.rotation = rotationOf(aligned.result);
        if (aligned.ok() && aligned.result.lensesRefined) out.lenses = refinedLensesOf(aligned.result);
        out.error = aligned.error;
        out.warning = aligned.result.warning;
        if (aligned.ok() && aligned.result.lensesRefined && !aligned.result.lenses.lawAdvice.empty())
            out.warning += (out.warning.empty() ? "" : "; ") + aligned.result.lenses.lawAdvice;
        return out;
    };
}

}  // namespace vistereo
