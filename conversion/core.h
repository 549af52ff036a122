// The conversion's core, shared by the photo run, the batch and the video:
// a prepare step that sets a conversion up once (the eyes for the pictures'
// sizes, points A and B judged, the right eye's turn, the colour match, the
// convergence) and an apply step that renders halves through what was
// prepared (a photo's bands, a batch's pairs, a video's frames).
//
// The right eye's turn travels as one value, RightEyeTurn: a rotation (given,
// found by the automatic alignment, or turned by the convergence) or points
// A and B, whose rotation the engine works out with its reference
// arithmetic. Which of the two it is decides nothing outside this value.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "colour/photometric.h"
#include "conversion/checks.h"
#include "conversion/request.h"
#include "conversion/result.h"
#include "engine/plan.h"
#include "engine/prepare.h"
#include "engine/render.h"

namespace vistereo {

struct RunOptions;

// The per-eye geometry for the images' sizes and what both renderers read.
// After an unknown lens code, `eyes` holds what was derived.
struct PreparedPair {
    PreparedEyes eyes;
    ConversionGeometry geometry;
    // The lens values no lens has, when the request does not refuse them.
    std::vector<LensValueFinding> impossibleLenses;
};

// The right eye's turn onto the left eye, as its half is rendered.
struct RightEyeTurn {
    std::optional<RotationMatrix> rotation;  // none: by points A and B
    PointSet points;

    // The right half's one turn as planning takes it: the geometry's zenith
    // correction, then this turn undone.
    HalfTurn half(const ConversionGeometry& geometry) const;
    // The turn as one matrix (the points' rotation when there is no other).
    RotationMatrix matrix(const ConversionGeometry& geometry) const;
    // The same turn, bit for bit: halves that share it can be rendered in one pass.
    bool sameAs(const RightEyeTurn& other) const;
};

// The turn the request gives before any alignment: its rotation, or its points.
RightEyeTurn requestedTurn(const ConversionRequest& request);

// ---- prepare ---------------------------------------------------------------

// The eyes of `geometry`, prepared from their records, as `lenses` refined them.
void applyRefinedLenses(const RefinedLenses& lenses, ConversionGeometry& geometry);

RunStep preparePair(const ConversionRequest& request, ImageSize left, ImageSize right, PreparedPair& prepared);

// Points A and B judged against the pictures and lenses they are for: a
// point outside its picture, beyond its lens's image circle or exactly on
// its axis (where the turn between the cameras has no direction to take).
// Each problem named with the point, the picture and why.
std::vector<std::string> pointProblems(const PreparedPair& prepared, const std::array<LensSettings, 2>& lenses,
                                       const PointSet& points);

// The eyes for the pictures' sizes, then, when points A and B turn the right
// eye, the points judged: a refusal when the request refuses their problems,
// else the problems appended to `wentOn`.
RunStep prepareEyesAndPoints(const ConversionRequest& request, ImageSize left, ImageSize right, PreparedPair& prepared,
                             std::vector<std::string>& wentOn);

// The colour match `request` asks for (nothing when Off), fitted on the far
// field of the pair as its right half is rendered, turned by `turn`. The
// automatic alignment's matches, when given, tell near from far; without
// them every pixel counts as far.
std::optional<alignment::ColourMatch> matchColours(const ConversionRequest& request, const cv::Mat& left,
                                                   const cv::Mat& right, const ConversionGeometry& geometry,
                                                   const RightEyeTurn& turn, const alignment::AlignmentResult* aligned,
                                                   int threads);

// "the colours of the eyes were not matched: ..." for a match that failed or
// had no pair to fit on, and why.
std::string colourMatchFailure(const std::string& why);

// The turn as the request renders it: turned by the request's convergence
// when it has one (the rotation of A and B then as a matrix).
RightEyeTurn convergedTurn(const ConversionRequest& request, const ConversionGeometry& geometry,
                           const RightEyeTurn& turn);

// ---- the one conversion: prepare once, apply to every picture -------------

struct PreparedConversion;

// The pictures a conversion is prepared on: one decoded pair (a photo, a
// batch's pair), or samples spread over a take (a video's frame pairs),
// whose alignments combine into one and of which the colour match takes one.
class PrepareSamples {
public:
    virtual ~PrepareSamples() = default;
    // The sizes of the left and the right pictures.
    virtual std::array<ImageSize, 2> sizes() const = 0;
    // The automatic alignment on the eyes of `geometry`: the rotation (and
    // the lenses as it refined them), or why there is none.
    virtual PairAlignment align(const ConversionGeometry& geometry, int threads, LensRefining refining) = 0;
    // The pair the colours are matched on, and the alignment whose matches
    // mark its far field (none: every pixel counts as far); or why there is
    // no pair to match on.
    struct ColourPair : Fallible {
        cv::Mat left, right;
        const alignment::AlignmentResult* matches = nullptr;
    };
    virtual ColourPair colourPair(const PreparedConversion& prepared) = 0;
};

// One decoded pair: aligned on its own, its colours matched on itself.
class PairSamples final : public PrepareSamples {
public:
    PairSamples(const cv::Mat& left, const cv::Mat& right) : left_(left), right_(right) {}
    std::array<ImageSize, 2> sizes() const override;
    PairAlignment align(const ConversionGeometry& geometry, int threads, LensRefining refining) override;
    ColourPair colourPair(const PreparedConversion& prepared) override;

private:
    const cv::Mat& left_;
    const cv::Mat& right_;
};

// How one conversion is prepared, besides its request.
struct PrepareChoices {
    int threads = 0;  // 0: every hardware thread
    // The eyes already prepared for pictures of these sizes (the pairs of a
    // shoot share them); none: prepared now.
    std::shared_ptr<const PreparedPair> sized;
    // A refusal of those eyes, when they were refused (good when not): given
    // back as it is.
    RunStep sizedRefusal;
    // The shoot's one colour match, applied instead of fitting one to the pair.
    std::shared_ptr<const alignment::ColourMatch> sharedColour;
    // The output's name, height and memory judged, and its clash with an
    // input, once the geometry is final and before the colours are fitted.
    bool admitOutput = false;
    // The output's size settled once the eyes are known and before the
    // alignment (a video's default height from its lens circles, held
    // against its codec): it may change the geometry's height; a refusal
    // ends the conversion.
    std::function<RunStep(const PreparedPair& sized, ConversionGeometry& geometry)> settleOutput;
};

// What the prepare step hands the apply step, and what it found on the way.
struct PreparedConversion {
    std::shared_ptr<const PreparedPair> sized;  // the eyes for the pictures' sizes, as derived
    // The geometry both halves are planned on (the lenses as the alignment
    // refined them); halves of one geometry and turn share their plans.
    std::shared_ptr<const ConversionGeometry> geometry;
    RightEyeTurn turn;                               // as rendered: aligned, then converged
    RightEyeTurn alignedTurn;                        // as aligned (or given), before the convergence
    std::optional<PairAlignment> aligned;            // the pair's own automatic alignment
    RefinedLenses refinedLenses;                     // the lenses the halves are rendered through
    std::shared_ptr<const alignment::ColourMatch> colour;  // applied as the halves are rendered
    bool colourFitted = false;                       // `colour` was fitted on this pair
    std::vector<std::string> impossiblePoints;       // point problems the request went on with
    std::vector<std::string> warnings;               // a colour match that failed
    double deriveSeconds = 0.0, matchColourSeconds = 0.0;

    // The target of one half: its source picture into `output` (whose row 0
    // is output row `firstRow`), with this pair's colour correction.
    HalfTarget target(Half half, const cv::Mat& source, cv::Mat& output, int firstRow = 0) const;
    // Whether `other`'s half can be rendered in the same pass as this one's.
    bool sharesHalf(const PreparedConversion& other, Half half) const;
    // The key of one half's plan on the full output grid: a plan built from
    // it once renders every frame of one geometry and turn.
    RemapPlanKey planKey(Half half, const RunOptions& options) const;
};

// The eyes for pictures of these sizes and, when points A and B turn the
// right eye, the points judged (prepareEyesAndPoints), ready to be shared.
std::shared_ptr<const PreparedPair> prepareSizes(const ConversionRequest& request, ImageSize left, ImageSize right,
                                                 RunStep& refusal,
                                                 std::vector<std::string>& impossiblePoints);

// The prepare step of pictures that were read and judged, in this order:
// the eyes for their sizes (and points A and B judged), the output settled
// when `choices` says how, the automatic alignment on `samples` when the
// request asks for it (and the lenses as it refined them), the output
// admitted when `choices` says so, the colour match, the convergence. A
// refusal ends the conversion; what was found before it stays in `prepared`.
RunStep prepareConversion(const ConversionRequest& request, PrepareSamples& samples, const PrepareChoices& choices,
                          PreparedConversion& prepared);
// The same for one decoded pair (PairSamples).
RunStep prepareConversion(const ConversionRequest& request, const cv::Mat& left, const cv::Mat& right,
                          const PrepareChoices& choices, PreparedConversion& prepared);

// The apply step: one half of every target through what was prepared (the
// geometry and turn of `prepared`; each target with its own colour). With
// `rows`, only that band of rows of each half.
void applyHalf(Half half, const PreparedConversion& prepared, std::span<const HalfTarget> targets,
               const RunOptions& options, std::optional<RowRange> rows = {});

// Both halves' plans on the full output grid, built once from what was
// prepared: every pair of pictures of the prepared sizes (a video's frames)
// is then applied through them without working out a position again.
struct HalfPlans {
    std::shared_ptr<const RemapPlan> left, right;
    size_t bytes() const { return left->bytes() + right->bytes(); }
};
HalfPlans planHalves(const PreparedConversion& prepared, const RunOptions& options);
HalfPlans planHalves(const ConversionGeometry& geometry, const RightEyeTurn& turn, const RunOptions& options);

// The apply step through plans: the right half of one pair, then the left,
// each into its target (with its own colour correction).
void applyPlannedHalves(const HalfPlans& plans, const HalfTarget& left, const HalfTarget& right, int threads);

// ---- apply -----------------------------------------------------------------

// The correction of eye 0 (left) or 1 (right) a fitted match carries into
// the render; none when there is no match or it failed.
const EyeColourCorrection* colourOf(const alignment::ColourMatch* match, int eye);

RenderOptions renderOptionsOf(const RunOptions& options);

// One half of every target: the left as it is, the right turned by `turn`.
// With `rows`, only that band of rows of each half (the progress then counts
// the rows of the half down to the band's end).
void renderHalves(Half half, const ConversionGeometry& geometry, const RightEyeTurn& turn,
                  std::span<const HalfTarget> targets, const RunOptions& options, std::optional<RowRange> rows = {});

// The plan key of one half on the full output grid, the right turned by `turn`.
RemapPlanKey halfPlanKey(Half half, const ConversionGeometry& geometry, const RightEyeTurn& turn,
                         const RunOptions& options);

}  // namespace vistereo
