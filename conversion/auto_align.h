// Automatic alignment of the pairs a conversion converts: each eye prepared
// from its lens, the rotation estimated from the pictures themselves; for a
// batch, either every pair on its own or the first pairs that align, their
// rotations combined into one for the whole shoot.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "alignment/alignment.h"
#include "colour/photometric.h"
#include "alignment/rotation.h"
#include "base/fallible.h"
#include "conversion/photo_pair.h"
#include "conversion/request.h"
#include "conversion/result.h"

namespace vistereo {

// Aligns two decoded images whose eyes `geometry` describes.
PairAlignment alignImages(const cv::Mat& left, const cv::Mat& right, const ConversionGeometry& geometry,
                          int threads = 0, LensRefining refining = {});

// Aligns the images `request` names with its lenses (points, zenith and
// output are not used), read as the run reads them, without converting them.
PairAlignment alignRequestPair(const ConversionRequest& request, int threads = 0, LensRefining refining = {});

// The lenses an alignment refined (its corrections, and a law that fits
// better than the record's), as a conversion renders with them.
RefinedLenses refinedLensesOf(const alignment::AlignmentResult& result);

// What the automatic alignment of a pair found, on one line: "aligned: yaw
// ..., pitch ..., roll ... degrees; 812 of 1034 matches agree; vertical
// disparity RMS ...' (95th percentile ...')".
std::string describePairAlignment(const alignment::AlignmentResult& result);

// The photometric correction of a pair whose eyes `geometry` describes, the
// right eye turned onto the left by `rightToLeft` (as the right half is
// rendered): fitted on the far field, which the automatic alignment's
// inliers mark when it is given (without it every pixel counts as far).
// The correction's fall-off, when fitted, is in each eye's source pixels.
alignment::ColourMatch matchPairColours(const cv::Mat& left, const cv::Mat& right, const ConversionGeometry& geometry,
                                        const RotationMatrix& rightToLeft,
                                        const alignment::AlignmentResult* alignment = nullptr,
                                        const alignment::PhotometricOptions& options = {});

// Which sample of an alignment over many samples: a batch's pair, or a
// video's frame pair.
struct SampleId {
    enum class Kind { Pair, FramePair };
    Kind kind = Kind::Pair;
    size_t pair = 0;     // a batch's pair: its place in the batch's list
    int64_t frame = 0;   // a video's frame pair: the index of the left camera's frame
    std::string time;    // a frame pair's time on the left camera's clock, as shown

    static SampleId ofPair(size_t pair) { return SampleId{Kind::Pair, pair, 0, {}}; }
    static SampleId ofFramePair(int64_t frame, std::string time) {
        return SampleId{Kind::FramePair, 0, frame, std::move(time)};
    }
    // "pair 3", "frame pair at 0:01.500".
    std::string name() const;
};

// One rotation for a whole batch, or a whole video, from the first samples that align.
struct SharedAlignment {
    struct Attempt {
        SampleId sample;
        PairAlignment alignment;
        bool used = false;        // taken into the mean
        double offDegrees = 0.0;  // aligned: angle between its rotation and the mean
    };
    std::vector<Attempt> attempts;  // in the batch's order
    std::optional<RotationMatrix> rotation;  // empty: no pair aligned
    // With lenses refined: the mean of the corrections the used pairs kept,
    // among those refined with the law most of them used (a pair's
    // refinement set aside, or made with another law, is left out and
    // named by sharedAlignmentRemarks).
    std::optional<RefinedLenses> lenses;
    YawPitchRoll angles;
    double rmsDegrees = 0.0, maxDegrees = 0.0;  // spread of the used pairs' rotations around the mean
    size_t used = 0;
    double seconds = 0.0;  // reading and aligning the pairs tried
};

inline constexpr size_t kSharedAlignmentPairs = 5;    // pairs that must align
inline constexpr size_t kSharedAlignmentAttempts = 20;  // pairs tried at most

// Aligns pairs in order until `wanted` have aligned or `attempts` were tried,
// then takes the robust mean of their rotations (an estimate far from the
// others is left out). The pairs' images are read and the eyes prepared as
// the run does, with the request's lenses and limits.
SharedAlignment alignFirstPairs(const std::vector<BatchPair>& pairs, const ConversionRequest& request,
                                int threads = 0, size_t wanted = kSharedAlignmentPairs,
                                size_t attempts = kSharedAlignmentAttempts, LensRefining refining = {});

// Combines the rotations of the attempts in `shared` that aligned into their
// robust mean (an estimate far from the others is left out): marks each
// attempt used or not with its distance from the mean, and sets the rotation,
// its angles and the spread. Leaves the rotation empty when none aligned.
void takeRobustMean(SharedAlignment& shared);

// What an alignment over many samples found, for the user: "aligned once on
// pairs 1, 2, 3: yaw ..., pitch ..., roll ... degrees; spread ... RMS, ...
// max; 3.2 s" for a batch's pairs, "yaw ..., pitch ..., roll ... degrees from
// 5 frame pairs (at 0:01, ...); spread ..." for a video's frame pairs, or,
// when none aligned, why the first tried did not.
std::string describeSharedAlignment(const SharedAlignment& shared);
// The samples tried but not used, each with why: "pair 2: automatic
// alignment failed: ..." or "frame pair at 0:04: 1.300 degrees from the
// others' rotation, left out".
std::vector<std::string> sharedAlignmentRemarks(const SharedAlignment& shared);

// The colour match of a whole shoot aligned once: fitted on the first pair
// the shared rotation was taken from (read again), turned by that rotation,
// its own matches marking the far field. Not ok, with the reason, when the
// request asks for no match, no pair aligned or the pair cannot be read.
// `error` says why there is no good match (then `match` is empty or failed).
struct SharedColour : Fallible {
    std::shared_ptr<const alignment::ColourMatch> match;  // empty when not fitted
    size_t index = 0;                                     // the pair it was fitted on
};
SharedColour matchSharedColours(const SharedAlignment& shared, const std::vector<BatchPair>& pairs,
                                const ConversionRequest& request, int threads = 0);

// What a colour match did, on one line: "colour matched on 51234 far-field
// pixels: the right eye onto the left by a gain and offset per channel (gain
// 1.176 / 1.000 / 0.893, offset ..., red / green / blue); the far fields
// differed by 13.2 / 6.0 / 21.8 levels, now 0.15 / ...", and the fall-off it
// undoes at each lens's rim.
std::string describeColourMatch(const alignment::ColourMatch& match);

}  // namespace vistereo
