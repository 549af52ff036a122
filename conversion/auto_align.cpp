#include "conversion/auto_align.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <sstream>

#include "alignment/lens_refinement.h"
#include "conversion/core.h"
#include "conversion/run.h"

namespace vistereo {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A pair read as the run reads it, judged and its eyes prepared.
RunStep judgeAndPrepare(const InputImages& images, const ConversionRequest& request, std::vector<std::string>& warnings,
                        PreparedPair& prepared) {
    if (RunStep refused = judgeInputImages(images, warnings); !refused.ok()) return refused;
    const cv::Mat& l = images.left.pixels;
    const cv::Mat& r = images.right.pixels;
    return preparePair(request, {l.cols, l.rows}, {r.cols, r.rows}, prepared);
}

// Aligns a pair read as the run reads it: the request's lens check, the
// images judged, the eyes prepared. The request needs no points.
PairAlignment alignReadPair(const InputImages& images, const ConversionRequest& request, int threads,
                            Clock::time_point start, LensRefining refining = {}) {
    PairAlignment out;
    std::vector<std::string> warnings;
    PreparedPair prepared;
    if (const RunStep refused = judgeAndPrepare(images, request, warnings, prepared); !refused.ok()) {
        out.error = refused.explained();
        return out;
    }
    out = alignImages(images.left.pixels, images.right.pixels, prepared.geometry, threads, refining);
    out.warnings = std::move(warnings);
    out.seconds = secondsSince(start);
    return out;
}

// Whether an attempt's refined lenses can join the shoot's mean: taken into
// the rotation's mean, refined, and kept (a refinement set aside carries the
// identity, which is the records' answer, not a measurement of the lens).
bool refinementKept(const SharedAlignment::Attempt& a) {
    return a.used && a.alignment.result.lensesRefined && a.alignment.result.lenses.applied;
}

// The mean of the kept refined corrections. Corrections are relative to
// the law each pair refined with, so only those of the law most pairs
// refined with (the first of them on a tie) are averaged. Empty when no
// attempt's refinement was kept.
std::optional<RefinedLenses> meanLenses(const std::vector<SharedAlignment::Attempt>& attempts) {
    std::vector<RefinedLenses> kept;
    for (const SharedAlignment::Attempt& a : attempts)
        if (refinementKept(a)) kept.push_back(refinedLensesOf(a.alignment.result));
    if (kept.empty()) return std::nullopt;
    const auto sameLaws = [&](const RefinedLenses& one) {
        return std::count_if(kept.begin(), kept.end(), [&](const RefinedLenses& k) { return k.laws == one.laws; });
    };
    const RefinedLenses& most = *std::max_element(
        kept.begin(), kept.end(), [&](const RefinedLenses& a, const RefinedLenses& b) { return sameLaws(a) < sameLaws(b); });
    RefinedLenses mean;
    mean.laws = most.laws;
    mean.corrections[0] = mean.corrections[1] = {0.0, 0.0, 0.0, 0.0};
    int count = 0;
    for (const RefinedLenses& one : kept) {
        if (one.laws != mean.laws) continue;
        for (int eye = 0; eye < 2; ++eye) {
            LensCorrection& m = mean.corrections[eye];
            const LensCorrection& c = one.corrections[eye];
            m.axisDx += c.axisDx, m.axisDy += c.axisDy, m.scale += c.scale, m.shape += c.shape;
        }
        ++count;
    }
    for (LensCorrection& m : mean.corrections)
        m.axisDx /= count, m.axisDy /= count, m.scale /= count, m.shape /= count;
    return mean;
}

ConversionRequest withoutPoints(const ConversionRequest& request) {
    ConversionRequest byRotation = request;
    byRotation.alignment = AutomaticAlignment{};
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
    options.refineOnlyWhenClearlyBetter = refining.onlyWhenClearlyBetter;
    out.result = alignment::estimateAlignment(alignment::CameraModel::fromEyeGeometry(geometry.eye[0]), left,
                                              alignment::CameraModel::fromEyeGeometry(geometry.eye[1]), right, options);
    if (!out.result.ok()) out.error = "automatic alignment failed: " + out.result.error;
    out.seconds = secondsSince(start);
    return out;
}

PairAlignment alignRequestPair(const ConversionRequest& request, int threads, LensRefining refining) {
    const auto start = Clock::now();
    const ConversionRequest byRotation = withoutPoints(request);
    if (const RunStep refused = checkRequest(byRotation); !refused.ok()) {
        PairAlignment refusedPair;
        refusedPair.error = refused.error;
        return refusedPair;
    }
    return alignReadPair(readInputImages(request, threads), byRotation, threads, start, refining);
}

RefinedLenses refinedLensesOf(const alignment::AlignmentResult& result) {
    RefinedLenses lenses;
    if (!result.lensesRefined) return lenses;
    lenses.corrections = result.lenses.correction;
    if (result.lenses.lawReplaced) lenses.laws[1] = result.lenses.rightMapping;
    return lenses;
}

std::string describePairAlignment(const alignment::AlignmentResult& result) {
    std::ostringstream text;  // the stream's own six significant digits
    text << "aligned: yaw " << result.yawDegrees << ", pitch " << result.pitchDegrees << ", roll "
         << result.rollDegrees << " degrees; " << result.inliers << " of " << result.matches
         << " matches agree; vertical disparity RMS " << result.verticalDisparityArcmin.rms << "' (95th percentile "
         << result.verticalDisparityArcmin.p95 << "')";
    return text.str();
}

alignment::ColourMatch matchPairColours(const cv::Mat& left, const cv::Mat& right, const ConversionGeometry& geometry,
                                        const RotationMatrix& rightToLeft, const alignment::AlignmentResult* alignment,
                                        const alignment::PhotometricOptions& options) {
    const alignment::ColourSamples samples = alignment::colourSamplesOfPair(
        alignment::CameraModel::fromEyeGeometry(geometry.eye[0]), left,
        alignment::CameraModel::fromEyeGeometry(geometry.eye[1]), right, rightToLeft,
        alignment ? alignment->correspondences : std::vector<alignment::StereoCorrespondence>{},
        alignment ? alignment->workingSize : 0, options);
    return alignment::fitColourMatch(samples, options);
}

SharedAlignment alignFirstPairs(const std::vector<BatchPair>& pairs, const ConversionRequest& request, int threads,
                                size_t wanted, size_t attempts, LensRefining refining) {
    const auto begin = Clock::now();
    SharedAlignment shared;
    const ConversionRequest byRotation = withoutPoints(request);
    if (!checkRequest(byRotation).ok()) return shared;  // the batch refuses such a request itself
    size_t aligned = 0;
    for (size_t k = 0; k < pairs.size() && k < attempts && aligned < wanted; ++k) {
        SharedAlignment::Attempt attempt;
        attempt.sample = SampleId::ofPair(k);
        const auto start = Clock::now();
        try {
            attempt.alignment = alignReadPair(readInputPair(pairs[k].left, pairs[k].right, readOptionsOf(request, threads)),
                                              byRotation, threads, start, refining);
        } catch (const std::exception& e) {
            attempt.alignment.error = std::string("the pair could not be read: ") + e.what();
        }
        aligned += attempt.alignment.ok() ? 1 : 0;
        shared.attempts.push_back(std::move(attempt));
    }
    shared.seconds = secondsSince(begin);
    takeRobustMean(shared);
    return shared;
}

void takeRobustMean(SharedAlignment& shared) {
    std::vector<RotationMatrix> rotations;
    std::vector<SharedAlignment::Attempt*> aligned;
    for (SharedAlignment::Attempt& attempt : shared.attempts)
        if (attempt.alignment.ok()) {
            rotations.push_back(attempt.alignment.result.rotation);
            aligned.push_back(&attempt);
        }
    shared.rotation.reset();
    if (rotations.empty()) return;
    const alignment::RotationMean mean = alignment::robustMeanRotation(rotations);
    for (size_t i = 0; i < rotations.size(); ++i) {
        aligned[i]->used = mean.used[i];
        aligned[i]->offDegrees = mean.offDegrees[i];
    }
    shared.rotation = mean.rotation;
    // Lenses refined on the pairs (the video's frame pairs too) take their mean likewise.
    shared.lenses = meanLenses(shared.attempts);
    shared.angles = yawPitchRollOf(mean.rotation);
    shared.rmsDegrees = mean.rmsDegrees;
    shared.maxDegrees = mean.maxDegrees;
    shared.used = mean.usedCount();
}

std::string SampleId::name() const {
    return kind == Kind::Pair ? "pair " + std::to_string(pair + 1) : "frame pair at " + time;
}

std::string describeSharedAlignment(const SharedAlignment& shared) {
    const bool frames = !shared.attempts.empty() && shared.attempts.front().sample.kind == SampleId::Kind::FramePair;
    if (!shared.rotation) {
        const size_t tried = shared.attempts.size();
        if (frames)
            return "no frame pair could be aligned (" + std::to_string(tried) + " tried over the range); the first: " +
                   shared.attempts.front().alignment.error;
        std::string text = "no pair could be aligned (" + std::to_string(tried) + " tried)";
        if (!shared.attempts.empty())
            text += "; " + shared.attempts.front().sample.name() + ": " + shared.attempts.front().alignment.error;
        return text;
    }
    std::string used;  // the samples taken into the mean: pair numbers, or frame pairs' times
    for (const SharedAlignment::Attempt& a : shared.attempts)
        if (a.used)
            used += (used.empty() ? "" : ", ") + (frames ? a.sample.time : std::to_string(a.sample.pair + 1));
    char text[240];
    if (frames) {
        std::snprintf(text, sizeof text,
                      "yaw %.3f, pitch %.3f, roll %.3f degrees from %zu frame pairs (at %s); spread %.4f degrees RMS, "
                      "%.4f max; %.1f s",
                      shared.angles.yaw, shared.angles.pitch, shared.angles.roll, shared.used, used.c_str(),
                      shared.rmsDegrees, shared.maxDegrees, shared.seconds);
        return text;
    }
    std::snprintf(text, sizeof text, ": yaw %.3f, pitch %.3f, roll %.3f degrees; spread %.4f degrees RMS, %.4f max; %.1f s",
                  shared.angles.yaw, shared.angles.pitch, shared.angles.roll, shared.rmsDegrees, shared.maxDegrees,
                  shared.seconds);
    return std::string(shared.used == 1 ? "aligned once on pair " : "aligned once on pairs ") + used + text;
}

std::vector<std::string> sharedAlignmentRemarks(const SharedAlignment& shared) {
    std::vector<std::string> remarks;
    for (const SharedAlignment::Attempt& a : shared.attempts) {
        const std::string sample = a.sample.name() + ": ";
        if (!a.alignment.ok()) {
            remarks.push_back(sample + a.alignment.error);
        } else if (!a.used) {
            char text[120];
            std::snprintf(text, sizeof text, "%.3f degrees from the others' rotation, left out", a.offDegrees);
            remarks.push_back(sample + text);
        } else if (a.alignment.result.lensesRefined && shared.lenses) {
            // Used for the rotation, but its lenses are not in the shoot's mean.
            const alignment::LensRefinement& lenses = a.alignment.result.lenses;
            if (!lenses.applied)
                remarks.push_back(sample + "its lenses are not in the shoot's mean: " + lenses.notApplied);
            else if (refinedLensesOf(a.alignment.result).laws != shared.lenses->laws)
                remarks.push_back(sample + "its lenses are not in the shoot's mean: refined with another projection (" +
                                  alignment::mappingName(lenses.rightMapping) + ") than most pairs");
        }
    }
    return remarks;
}

SharedColour matchSharedColours(const SharedAlignment& shared, const std::vector<BatchPair>& pairs,
                                const ConversionRequest& request, int threads) {
    SharedColour out;
    const auto first = std::find_if(shared.attempts.begin(), shared.attempts.end(),
                                    [](const SharedAlignment::Attempt& a) { return a.used; });
    if (request.matchColour == ColourMatching::Off || !shared.rotation || first == shared.attempts.end()) {
        out.error = "no pair to match the colours on";
        return out;
    }
    out.index = first->sample.pair;
    try {
        const InputImages images =
            readInputPair(pairs[out.index].left, pairs[out.index].right, readOptionsOf(request, threads));
        std::vector<std::string> warnings;
        PreparedPair prepared;
        if (const RunStep refused = judgeAndPrepare(images, request, warnings, prepared); !refused.ok()) {
            out.error = refused.explained();
            return out;
        }
        auto match = matchColours(request, images.left.pixels, images.right.pixels, prepared.geometry,
                                  RightEyeTurn{shared.rotation, {}}, &first->alignment.result, threads);
        if (!match->ok()) out.error = match->error;
        out.match = std::make_shared<const alignment::ColourMatch>(std::move(*match));
    } catch (const std::exception& e) {
        out.error = std::string("the pair could not be read: ") + e.what();
    }
    return out;
}

std::string describeColourMatch(const alignment::ColourMatch& m) {
    if (!m.ok()) return "colours not matched: " + m.error;
    // Red, green, blue (the images' order is blue, green, red).
    auto channels = [&](auto figure, const char* format) {
        std::string text;
        for (int ch = 2; ch >= 0; --ch) {
            char number[32];
            std::snprintf(number, sizeof number, format, figure(ch));
            text += (ch == 2 ? "" : " / ") + std::string(number);
        }
        return text;
    };
    const bool curve = m.model == alignment::ToneModel::Curve;
    std::string text = "colour matched on " + std::to_string(m.pixels) + " far-field pixels: the right eye onto the left by " +
                       (curve ? "a tone curve per channel (as a straight line: gain " : "a gain and offset per channel (gain ") +
                       channels([&](int ch) { return m.channel[ch].gain; }, "%.3f") + ", offset " +
                       channels([&](int ch) { return m.channel[ch].offset; }, "%+.1f") +
                       ", red / green / blue); the far fields differed by " +
                       channels([&](int ch) { return m.channel[ch].before; }, "%.1f") + " levels, now " +
                       channels([&](int ch) { return m.channel[ch].after; }, "%.2f");
    const char* eyeName[2] = {"left", "right"};
    for (int eye = 0; eye < 2; ++eye)
        if (m.correction.eye[eye].hasFalloff)
            text += "; the " + std::string(eyeName[eye]) + " lens's fall-off undone (" +
                    channels([&](int ch) { return m.rimFalloff[eye][ch]; }, "%.2f") + " of the centre at the rim)";
    return text;
}

}  // namespace vistereo
