// Batch conversion: many pairs converted with one set of choices (lenses,
// points or rotation, height, zenith, quality, resampling), each output
// holding exactly the bytes a single run with those choices writes.
//
// The pairs go through three stages at once: one thread reads and decodes the
// next pair while the caller's thread renders, and a third encodes and writes
// the finished one. Consecutive pairs whose images have the same sizes share
// their prepared geometry, and the same half of two such pairs is rendered in
// one pass that works out each row's source positions once (the pairs are
// staggered: each pass finishes one pair's second half and starts the next
// one's first). At most two pairs' images are held at a time (the next one
// decoding, or decoded and waiting, and the one or two being rendered, whose
// images are released eye by eye) and two canvases, so the memory a batch
// needs does not grow with its length. While it runs, large image buffers
// are reused from pair to pair instead of being returned to the system and
// allocated afresh.
//
// A pair that fails is reported with the run's own text and the batch goes
// on; a pair whose output is done (a complete image of the batch's size) is
// skipped unless forced, so running the same batch again after an
// interruption finishes it. Before any picture is decoded, every output is
// checked: none may replace a file the batch reads or another of its
// outputs, or lie where it cannot be written. A pair is converted only under
// its output's lock (see output_claim.h), so batches that share an output
// folder, on one machine or several, convert each pair once.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conversion/auto_align.h"
#include "batch/batch_pairs.h"
#include "conversion/output_claim.h"
#include "conversion/output_target.h"
#include "conversion/run.h"
#include "conversion/checks.h"

namespace vistereo {

struct BatchSettings {
    // The choices every pair shares; its file names and working directory are
    // not used (each pair brings its own paths). Its alignment: the points or
    // a given rotation for every pair, or automatic: each pair from its own
    // images, or once from the first pairs that align (their rotations and
    // refined lenses combined, and with a colour match asked for, one match
    // for the whole shoot fitted on the first of them).
    ConversionRequest request;
    RunOptions run;      // threads, arithmetic and resampling; no row progress is reported
    bool force = false;  // convert a pair although its output is done
    // Files no output may replace besides the pairs' images (the pairs file,
    // the lens registry), and folders no output may go into (those the
    // images were found in).
    std::vector<ProtectedFile> otherInputs;
    std::vector<ProtectedFile> inputFolders;
    // When set, every output must lie within this folder once links and ".."
    // are resolved; `howToAllowOutside` ends that refusal (names the option
    // that lifts the rule).
    std::filesystem::path outputFolder;
    std::string howToAllowOutside;
};

enum class PairResult { Converted, Skipped, Failed };

struct PairOutcome {
    size_t index = 0;  // in the batch's list of pairs
    PairResult result = PairResult::Failed;
    // A failed pair: the run's status when a step of the run refused it, and
    // the text that says why. A skipped pair: why ("exists", ...). A pair
    // converted over an output that was not complete: what was wrong with it.
    std::optional<ConversionStatus> status;
    std::string detail;
    std::vector<std::string> warnings;  // a damaged input, named with its file
    std::vector<std::string> notes;     // of lesser weight: an input without EXIF to carry over
    // The pair's own colour match, when the batch fits one per pair.
    std::shared_ptr<const alignment::ColourMatch> colour;
};

struct BatchProgress {
    size_t total = 0;      // pairs in the batch
    size_t toConvert = 0;  // pairs not skipped at the start
    size_t converted = 0, skipped = 0, failed = 0;
    double elapsedSeconds = 0.0;
    size_t done() const { return converted + skipped + failed; }
    // Pairs converted or failed per minute so far (0 before the first).
    double pairsPerMinute() const;
    // At that pace, the time the pairs still to convert need.
    std::optional<double> secondsLeft() const;
};

class BatchObserver {
public:
    virtual ~BatchObserver() = default;
    // Each pair once, from one of the batch's threads (never two calls of
    // the observer at a time): in the batch's order, except for pairs whose
    // output another run was converting, which come when that run has let
    // go of it.
    virtual void pairFinished(const BatchPair& pair, const PairOutcome& outcome, const BatchProgress& progress);
    // Another run holds the pair's output; the batch comes back to it later.
    // Once per pair.
    virtual void pairWaiting(const BatchPair& pair);
    // A temporary file an interrupted earlier run left for one of this
    // batch's outputs, removed before the first pair.
    virtual void temporaryRemoved(const std::filesystem::path& temporary);
    // Asked from the batch's threads before a pair is started: true ends the
    // batch once the pairs already being rendered are written.
    virtual bool stopRequested();
    // A shoot aligned once: what the first pairs gave (and the shoot's colour
    // match, when one was asked for), before any pair is converted. Without
    // a rotation the batch then ends, refused with describeSharedAlignment.
    virtual void alignedOnce(const SharedAlignment& shared, const SharedColour& colour);
};

struct BatchSummary {
    size_t converted = 0, skipped = 0, failed = 0;
    size_t notStarted = 0;  // left out because the batch was stopped
    double wallSeconds = 0.0;
    // The choices refused as a whole (no lens, bad comma line, A and B the
    // same, no pair aligned for a shoot aligned once): then no pair was
    // started. Good when the batch was not refused.
    RunStep refusal;
    std::vector<PairOutcome> failures;
    bool succeeded() const { return refusal.ok() && failed == 0; }
};

// "3/8 pairs, 2.4 per minute, 2:05 left" (rate and time once a pair is done).
std::string describeProgress(const BatchProgress& progress);
// "converted 6, skipped 1, failed 1 in 1:23 (83 s)", and "; stopped, 2 not
// started" for a stopped batch.
std::string describeSummary(const BatchSummary& summary);
// 0:07, 4:05, 1:02:03
std::string formatClock(double seconds);

// What a batch would do before it starts: what each output's place holds,
// the pairs it skips because their output is done, and the temporaries
// interrupted runs on this host left in the output folders.
struct BatchPlan {
    std::vector<bool> skip;
    std::vector<OutputState> found;
    std::vector<std::filesystem::path> abandonedTemporaries;
    size_t toConvert() const;
};
BatchPlan planBatch(const std::vector<BatchPair>& pairs, bool force, int32_t outputHeight);

// Every output checked before any picture is decoded: a name the image
// library can write at the batch's height, no file the batch reads nor
// another output replaced, within the output folder, writable. The first
// output that fails refuses the whole batch, naming its pair.
RunStep checkBatchOutputs(const std::vector<BatchPair>& pairs, const BatchSettings& settings);

// "pair 3" or "pair 3 (line 7)": how refusals name a pair.
std::string pairLabel(const BatchPair& pair, size_t index);

// Converts the pairs in order (see above), once checkBatchOutputs has passed;
// creates an output's folder when it is missing.
BatchSummary runBatch(const std::vector<BatchPair>& pairs, const BatchSettings& settings, BatchObserver& observer);

}  // namespace vistereo
