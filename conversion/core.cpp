// The conversion's core: the prepare step's pieces and the halves rendered
// through what they prepared.
#include "conversion/core.h"

#include <chrono>
#include <cmath>
#include <cstring>

#include "alignment/rotation.h"
#include "measure/stereo_window.h"
#include "conversion/auto_align.h"
#include "conversion/given_rotation.h"
#include "conversion/request.h"
#include "conversion/run.h"
#include "engine/lens.h"
#include "lens/lens_check.h"

namespace vistereo {

HalfTurn RightEyeTurn::half(const ConversionGeometry& geometry) const {
    if (rotation) return HalfTurn(geometry.zenith, *rotation);
    return HalfTurn(geometry.zenith, alignmentRotation(geometry.eye[0], geometry.eye[1], points));
}

RotationMatrix RightEyeTurn::matrix(const ConversionGeometry& geometry) const {
    return rotation ? *rotation : rotationMatrixOf(alignmentRotation(geometry.eye[0], geometry.eye[1], points));
}

bool RightEyeTurn::sameAs(const RightEyeTurn& other) const {
    if (rotation.has_value() != other.rotation.has_value()) return false;
    if (rotation) return std::memcmp(rotation->m, other.rotation->m, sizeof rotation->m) == 0;
    return points.leftA.x == other.points.leftA.x && points.leftA.y == other.points.leftA.y &&
           points.leftB.x == other.points.leftB.x && points.leftB.y == other.points.leftB.y &&
           points.rightA.x == other.points.rightA.x && points.rightA.y == other.points.rightA.y &&
           points.rightB.x == other.points.rightB.x && points.rightB.y == other.points.rightB.y;
}

RightEyeTurn requestedTurn(const ConversionRequest& request) {
    return RightEyeTurn{givenRotation(request.alignment), alignmentPoints(request.alignment)};
}

void applyRefinedLenses(const RefinedLenses& lenses, ConversionGeometry& geometry) {
    for (int eye = 0; eye < 2; ++eye) {
        EyeGeometry& e = geometry.eye[eye];
        if (lenses.laws[eye]) e = withMappingAt90Degrees(e, *lenses.laws[eye]);
        e.correction = lenses.corrections[eye];
    }
}

RunStep preparePair(const ConversionRequest& request, ImageSize left, ImageSize right, PreparedPair& prepared) {
    prepared.eyes = prepareEyes(request.lenses, {left, right}, request.mappingKinds);
    if (const auto& bad = prepared.eyes.lensCode) {
        // Ends without a message, as the dialog does: the detail says why.
        RunStep r = refusalOf(ConversionStatus::InvalidLensCode, nullptr, describeLensCodeError(*bad, request.lenses));
        r.lensCode = *bad;
        return r;
    }
    for (int eye = 0; eye < 2; ++eye)
        if (const auto problems = eyeGeometryProblems(request.lenses[eye], prepared.eyes.eye[eye]); !problems.empty()) {
            if (request.refuseImpossibleLenses)
                return refusalOf(ConversionStatus::ImpossibleLens, nullptr,
                               describeLensProblem(eye, request.lenses[eye], problems.front()));
            for (const LensValueProblem& problem : problems) prepared.impossibleLenses.push_back({eye, problem});
        }
    prepared.geometry = ConversionGeometry{prepared.eyes.eye, request.outputHeight, zenithAngles(request.zenith)};
    applyRefinedLenses(givenLenses(request.alignment), prepared.geometry);
    return {};
}

std::vector<std::string> pointProblems(const PreparedPair& prepared, const std::array<LensSettings, 2>& lenses,
                                       const PointSet& points) {
    struct Named { const char* name; int eye; ImagePoint point; };
    const Named all[] = {{"point A", 0, points.leftA}, {"point B", 0, points.leftB},
                         {"point A", 1, points.rightA}, {"point B", 1, points.rightB}};
    std::vector<std::string> problems;
    for (const Named& p : all) {
        const EyeGeometry& eye = prepared.eyes.eye[p.eye];
        const std::string picture = p.eye == 0 ? "left" : "right";
        const std::string named = std::string(p.name) + " of the " + picture + " picture (" + std::to_string(p.point.x) +
                                  ", " + std::to_string(p.point.y) + ")";
        const std::string lens = "the " + picture + " lens \"" + lenses[p.eye].name + "\"";
        if (p.point.x < 0 || p.point.y < 0 || p.point.x >= eye.imageWidth || p.point.y >= eye.imageHeight) {
            problems.push_back(named + " lies outside that picture (" + std::to_string(eye.imageWidth) + " x " +
                               std::to_string(eye.imageHeight) + ")");
            continue;
        }
        const Vec3 direction = directionOfPoint(eye, p.point);
        if (std::isfinite(direction.x) && std::isfinite(direction.y) && std::isfinite(direction.z)) continue;
        if (p.point.x == eye.axisX && p.point.y == eye.axisY)
            problems.push_back(named + " lies exactly on the optical axis of " + lens +
                               ", where the turn between the cameras has no direction to take from it; move it by a dot");
        else
            problems.push_back(named + " lies outside the image circle of " + lens + ", where the lens sees nothing");
    }
    return problems;
}

RunStep prepareEyesAndPoints(const ConversionRequest& request, ImageSize left, ImageSize right, PreparedPair& prepared,
                             std::vector<std::string>& wentOn) {
    if (RunStep refused = preparePair(request, left, right, prepared); !refused.ok()) return refused;
    if (!std::holds_alternative<PointsAB>(request.alignment)) return {};
    const std::vector<std::string> problems =
        pointProblems(prepared, request.lenses, alignmentPoints(request.alignment));
    if (problems.empty()) return {};
    if (!request.refuseImpossiblePoints) {
        wentOn.insert(wentOn.end(), problems.begin(), problems.end());
        return {};
    }
    std::string detail;
    for (const std::string& problem : problems) detail += (detail.empty() ? "" : "; ") + problem;
    return refusalOf(ConversionStatus::ImpossiblePoint, nullptr, detail);
}

std::optional<alignment::ColourMatch> matchColours(const ConversionRequest& request, const cv::Mat& left,
                                                   const cv::Mat& right, const ConversionGeometry& geometry,
                                                   const RightEyeTurn& turn, const alignment::AlignmentResult* aligned,
                                                   int threads) {
    if (request.matchColour == ColourMatching::Off) return std::nullopt;
    alignment::PhotometricOptions options;
    options.threads = threads;
    options.falloff = request.matchColour == ColourMatching::ToneAndFalloff;
    return matchPairColours(left, right, geometry, turn.matrix(geometry), aligned, options);
}

std::string colourMatchFailure(const std::string& why) {
    return "the colours of the eyes were not matched: " + why;
}

RightEyeTurn convergedTurn(const ConversionRequest& request, const ConversionGeometry& geometry,
                           const RightEyeTurn& turn) {
    if (request.convergenceDegrees == 0.0) return turn;
    return RightEyeTurn{alignment::convergedRotation(turn.matrix(geometry), request.convergenceDegrees), turn.points};
}

const EyeColourCorrection* colourOf(const alignment::ColourMatch* match, int eye) {
    return match && match->ok() ? &match->correction.eye[eye] : nullptr;
}

RenderOptions renderOptionsOf(const RunOptions& options) {
    return RenderOptions{options.threads, options.progress, options.exactArithmetic, options.interpolation, {}};
}

namespace {

// The options for a band of rows: its progress counted from the half's top.
RenderOptions bandOptionsOf(const RunOptions& options, std::optional<RowRange> rows, int halfRows) {
    RenderOptions render = renderOptionsOf(options);
    render.rows = rows;
    if (rows && options.progress)
        render.progress = [progress = options.progress, first = rows->first, halfRows](Half half, int done, int) {
            progress(half, first + done, halfRows);
        };
    return render;
}

}  // namespace

void renderHalves(Half half, const ConversionGeometry& geometry, const RightEyeTurn& turn,
                  std::span<const HalfTarget> targets, const RunOptions& options, std::optional<RowRange> rows) {
    const RenderOptions render = bandOptionsOf(options, rows, geometry.outputHeight);
    if (half == Half::Left) return renderLeftEyeForEach(geometry, targets, render);
    if (turn.rotation) return renderRightEyeRotatedForEach(geometry, *turn.rotation, targets, render);
    renderRightEyeAlignedForEach(geometry, alignmentRotation(geometry.eye[0], geometry.eye[1], turn.points), targets,
                                 render);
}

RemapPlanKey halfPlanKey(Half half, const ConversionGeometry& geometry, const RightEyeTurn& turn,
                         const RunOptions& options) {
    const HalfTurn halfTurn = half == Half::Left ? HalfTurn(geometry.zenith) : turn.half(geometry);
    RemapPlanKey key = remapPlanKey(geometry, half, halfTurn, options.interpolation, options.exactArithmetic);
    key.rows = {0, key.samples()};
    return key;
}

// ---- the one conversion ----------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

HalfTarget PreparedConversion::target(Half half, const cv::Mat& source, cv::Mat& output, int firstRow) const {
    return HalfTarget{&source, &output, colourOf(colour.get(), half == Half::Left ? 0 : 1), firstRow};
}

bool PreparedConversion::sharesHalf(const PreparedConversion& other, Half half) const {
    if (geometry != other.geometry) return false;
    return half == Half::Left || turn.sameAs(other.turn);
}

RemapPlanKey PreparedConversion::planKey(Half half, const RunOptions& options) const {
    return halfPlanKey(half, *geometry, turn, options);
}

std::shared_ptr<const PreparedPair> prepareSizes(const ConversionRequest& request, ImageSize left, ImageSize right,
                                                 RunStep& refusal,
                                                 std::vector<std::string>& impossiblePoints) {
    auto sized = std::make_shared<PreparedPair>();
    refusal = prepareEyesAndPoints(request, left, right, *sized, impossiblePoints);
    return sized;
}

std::array<ImageSize, 2> PairSamples::sizes() const {
    return {ImageSize{left_.cols, left_.rows}, ImageSize{right_.cols, right_.rows}};
}

PairAlignment PairSamples::align(const ConversionGeometry& geometry, int threads, LensRefining refining) {
    return alignImages(left_, right_, geometry, threads, refining);
}

PrepareSamples::ColourPair PairSamples::colourPair(const PreparedConversion& prepared) {
    ColourPair pair;
    pair.left = left_;
    pair.right = right_;
    pair.matches = prepared.aligned ? &prepared.aligned->result : nullptr;
    return pair;
}

RunStep prepareConversion(const ConversionRequest& request, const cv::Mat& left, const cv::Mat& right,
                          const PrepareChoices& choices, PreparedConversion& prepared) {
    PairSamples samples(left, right);
    return prepareConversion(request, samples, choices, prepared);
}

RunStep prepareConversion(const ConversionRequest& request, PrepareSamples& samples, const PrepareChoices& choices,
                          PreparedConversion& prepared) {
    // The per-eye geometry, once for pictures of these sizes, and points A
    // and B, when they turn the right eye: within their pictures, each with
    // a direction.
    auto stage = Clock::now();
    RightEyeTurn turn = requestedTurn(request);
    if (choices.sized) {
        prepared.sized = choices.sized;
        if (!choices.sizedRefusal.ok()) return choices.sizedRefusal;
    } else {
        RunStep refused;
        const std::array<ImageSize, 2> sizes = samples.sizes();
        prepared.sized = prepareSizes(request, sizes[0], sizes[1], refused, prepared.impossiblePoints);
        if (!refused.ok()) return refused;
    }
    prepared.deriveSeconds = secondsSince(stage);
    prepared.geometry = std::shared_ptr<const ConversionGeometry>(prepared.sized, &prepared.sized->geometry);
    prepared.refinedLenses = givenLenses(request.alignment);

    // The output's size, where it follows from the eyes.
    if (choices.settleOutput) {
        auto settled = std::make_shared<ConversionGeometry>(*prepared.geometry);
        if (RunStep refused = choices.settleOutput(*prepared.sized, *settled); !refused.ok()) return refused;
        prepared.geometry = std::move(settled);
    }

    // The automatic alignment, on the pictures as read: the rotation, and
    // the lenses as it refined them, which the render then uses.
    if (const AutomaticAlignment* automatic = std::get_if<AutomaticAlignment>(&request.alignment)) {
        prepared.aligned = samples.align(*prepared.geometry, choices.threads, automatic->refining);
        if (!prepared.aligned->ok()) {
            // Ends without a message: the detail says why.
            return refusalOf(ConversionStatus::AlignmentFailed, nullptr, prepared.aligned->error);
        }
        turn.rotation = prepared.aligned->result.rotation;
        if (prepared.aligned->result.lensesRefined) {
            prepared.refinedLenses = refinedLensesOf(prepared.aligned->result);
            auto refined = std::make_shared<ConversionGeometry>(*prepared.geometry);
            applyRefinedLenses(prepared.refinedLenses, *refined);
            prepared.geometry = std::move(refined);
        }
    }
    prepared.alignedTurn = turn;

    // What the writer and the machine can take, before the long render; an
    // output that would replace a file the run reads is not written, and the
    // run ends as one whose write did not happen, with its closing message.
    if (choices.admitOutput) {
        if (RunStep refused = checkOutput(request.outputName, request.outputHeight); !refused.ok()) return refused;
        if (Fallible clash = outputClash(request); !clash.ok())
            return refusalOf(ConversionStatus::OutputRefused, kMsgFinished, std::move(clash.error));
    }

    // The colour match, fitted on the samples' pair (where the eyes see the
    // same far field: before any convergence), or the shoot's.
    stage = Clock::now();
    if (choices.sharedColour) {
        prepared.colour = choices.sharedColour;
    } else if (request.matchColour != ColourMatching::Off) {
        const PrepareSamples::ColourPair pair = samples.colourPair(prepared);
        if (!pair.ok()) {
            prepared.warnings.push_back(colourMatchFailure(pair.error));
        } else if (auto fitted = matchColours(request, pair.left, pair.right, *prepared.geometry, turn, pair.matches,
                                              choices.threads)) {
            if (!fitted->ok()) prepared.warnings.push_back(colourMatchFailure(fitted->error));
            prepared.colour = std::make_shared<const alignment::ColourMatch>(std::move(*fitted));
            prepared.colourFitted = true;
        }
    }
    prepared.matchColourSeconds = secondsSince(stage);

    // The stereo window turns the right eye once the colours are fitted.
    prepared.turn = convergedTurn(request, *prepared.geometry, turn);
    return {};
}

HalfPlans planHalves(const ConversionGeometry& geometry, const RightEyeTurn& turn, const RunOptions& options) {
    HalfPlans plans;
    plans.right = buildRemapPlan(halfPlanKey(Half::Right, geometry, turn, options), options.threads);
    plans.left = buildRemapPlan(halfPlanKey(Half::Left, geometry, turn, options), options.threads);
    return plans;
}

HalfPlans planHalves(const PreparedConversion& prepared, const RunOptions& options) {
    return planHalves(*prepared.geometry, prepared.turn, options);
}

void applyPlannedHalves(const HalfPlans& plans, const HalfTarget& left, const HalfTarget& right, int threads) {
    applyRemapPlan(*plans.right, {&right, 1}, threads);
    applyRemapPlan(*plans.left, {&left, 1}, threads);
}

void applyHalf(Half half, const PreparedConversion& prepared, std::span<const HalfTarget> targets,
               const RunOptions& options, std::optional<RowRange> rows) {
    renderHalves(half, *prepared.geometry, prepared.turn, targets, options, rows);
}

}  // namespace vistereo
