// The batch's three stages and what they hand each other.
//
//   reader (own thread)    -> one pair at a time: read, decode, judge
//   renderer (caller)      -> the core's prepare step (the eyes, shared by the
//                             pairs of one size; the alignment; the colour
//                             match; the convergence), a canvas, the apply
//                             step (halves shared between staggered pairs)
//   writer (own thread)    -> encode, return the canvas, write, report
//
// Every pair, skipped and failed ones included, passes all three stages in
// order, so the writer reports the pairs in the batch's order.
#include "batch/batch.h"

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <malloc.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "base/atomic_file.h"
#include "base/channel.h"
#include "base/stages.h"
#include "conversion/core.h"
#include "conversion/output_file.h"
#include "imagefile/image_buffers.h"

namespace vistereo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The canvases the renderer and the writer pass between them: at most
// `limit` exist; take() waits for one to come back, or throws once the pool
// is closed (the writer has failed: none comes back).
class CanvasPool {
public:
    explicit CanvasPool(int limit) : limit_(limit) {}

    RunStep take(int32_t height, cv::Mat& canvas) {
        std::unique_lock lock(mutex_);
        returned_.wait(lock, [&] { return !free_.empty() || made_ < limit_ || closed_; });
        if (closed_) throw std::runtime_error("the batch's writer has stopped");
        if (!free_.empty()) {
            canvas = free_.back();
            free_.pop_back();
            return {};
        }
        ++made_;
        lock.unlock();
        RunStep refused = allocateCanvas(height, canvas);
        if (!refused.ok()) {
            std::lock_guard relock(mutex_);
            --made_;
        }
        return refused;
    }
    void give(cv::Mat& canvas) {
        if (canvas.empty()) return;
        std::lock_guard lock(mutex_);
        free_.push_back(canvas);
        canvas = cv::Mat();
        returned_.notify_all();
    }
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        returned_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<cv::Mat> free_;
    int made_ = 0;
    bool closed_ = false;
    const int limit_;
};

// The eyes prepared for one combination of image sizes, shared by its pairs.
struct SizedGeometry {
    ImageSize left, right;
    RunStep refusal;  // good when the eyes were not refused
    std::shared_ptr<const PreparedPair> prepared;
};

bool sameSize(ImageSize a, ImageSize b) { return a.width == b.width && a.height == b.height; }

// One pair on its way through the stages.
struct Job {
    size_t index = 0;
    PairOutcome outcome;
    bool decoded = false;     // the reader's part went well
    bool renderable = false;  // prepared, aligned, colours matched, canvas taken
    InputImages images;
    PreparedConversion prepared;  // the geometry, turn and colour match its halves are rendered through
    cv::Mat canvas;
    bool halfDone[2] = {false, false};  // left, right
    std::optional<OutputLocks::Claim> claim;  // the output's lock, while the pair is converted
    bool deferred = false;                    // another run holds the output: tried again later
};
using JobPtr = std::unique_ptr<Job>;

void fail(Job& job, const RunStep& refusal) {
    job.outcome.result = PairResult::Failed;
    job.outcome.status = refusal.status;
    job.outcome.detail = refusal.explained();
    job.renderable = false;
}

void fail(Job& job, const std::string& text) {
    job.outcome.result = PairResult::Failed;
    job.outcome.status.reset();
    job.outcome.detail = text;
    job.renderable = false;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The choices refused as a whole, before any picture is decoded: the
// request's own checks, then every output.
RunStep checkBatch(const std::vector<BatchPair>& pairs, const BatchSettings& settings) {
    if (RunStep refused = checkRequest(settings.request); !refused.ok()) return refused;
    return checkBatchOutputs(pairs, settings);
}

class Batch {
public:
    // `sharedColour`: the shoot's one colour match, applied to every pair;
    // none: each pair fitted on its own, as a single run fits it.
    Batch(const std::vector<BatchPair>& pairs, const BatchSettings& settings, BatchObserver& observer,
          std::shared_ptr<const alignment::ColourMatch> sharedColour = nullptr)
        : pairs_(pairs), settings_(settings), observer_(observer), sharedColour_(std::move(sharedColour)),
          canvases_(2) {
        run_ = settings.run;
        run_.progress = nullptr;
        if (const auto* automatic = std::get_if<AutomaticAlignment>(&settings.request.alignment))
            refining_ = automatic->refining;
    }

    BatchSummary run() {
        start_ = Clock::now();
        if (RunStep refused = checkBatch(pairs_, settings_); !refused.ok()) {
            summary_.refusal = std::move(refused);
            summary_.wallSeconds = elapsed();
            return summary_;
        }
        const BatchPlan plan = planBatch(pairs_, settings_.force, settings_.request.outputHeight);
        for (const fs::path& temporary : plan.abandonedTemporaries) {
            std::error_code ec;
            if (fs::remove(temporary, ec)) observer_.temporaryRemoved(temporary);
        }
        skip_ = plan.skip;
        found_ = plan.found;
        waiting_.assign(pairs_.size(), false);
        progress_.total = pairs_.size();
        progress_.toConvert = plan.toConvert();

        // Pairs another run was converting come round again until that run
        // lets go of them, after a pause that grows while nothing moves.
        std::vector<size_t> order(pairs_.size());
        for (size_t k = 0; k < order.size(); ++k) order[k] = k;
        auto pause = std::chrono::milliseconds(100);
        while (!order.empty()) {
            const size_t before = order.size();
            order = runPass(order);
            if (order.empty() || stopping()) break;
            pause = order.size() < before ? std::chrono::milliseconds(100) : std::min(2 * pause, kLongestPause);
            for (auto slept = std::chrono::milliseconds(0); slept < pause && !stopping(); slept += kPauseStep)
                std::this_thread::sleep_for(kPauseStep);
        }

        summary_.converted = progress_.converted;
        summary_.skipped = progress_.skipped;
        summary_.failed = progress_.failed;
        summary_.notStarted = pairs_.size() - progress_.done();
        summary_.wallSeconds = elapsed();
        return summary_;
    }

private:
    static constexpr auto kLongestPause = std::chrono::milliseconds(2000);
    static constexpr auto kPauseStep = std::chrono::milliseconds(50);

    // One walk of the three stages over some of the pairs, in order.
    struct Pass {
        explicit Pass(std::vector<size_t> pairs) : order(std::move(pairs)) {}
        std::vector<size_t> order;
        Channel<JobPtr> decoded{1};
        Channel<JobPtr> finished{SIZE_MAX};
        std::atomic<bool> renderDone{false};
        std::vector<size_t> deferred;  // the writer's
    };

    // Runs the pairs of `order`; returns those whose output another run held.
    std::vector<size_t> runPass(const std::vector<size_t>& order) {
        Pass pass(order);
        // A stage that fails stops the batch: the renderer gets no more pairs
        // and no more canvases, and the failure is the batch's.
        StageGroup stages([&] {
            stopped_ = true;
            pass.decoded.close();
            canvases_.close();
        });
        stages.start("batch reader", [&] { readPairs(pass); });
        stages.start("batch writer", [&] { writePairs(pass); });
        try {
            renderPairs(pass);
        } catch (...) {  // the other stages end before the failure goes on
            stopped_ = true;
            pass.decoded.abandon();
            pass.finished.close();
            throw;
        }
        for (JobPtr& left : pass.decoded.abandon()) release(*left);
        pass.finished.close();
        stages.join();
        return pass.deferred;
    }

    double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

    bool stopping() {
        if (!stopped_ && observer_.stopRequested()) stopped_ = true;
        return stopped_;
    }

    void release(Job& job) {
        canvases_.give(job.canvas);
        job.images = InputImages{};
    }

    // ---- reader ----------------------------------------------------------

    void readPairs(Pass& pass) {
        for (const size_t k : pass.order) {
            // At most one pair decoded ahead of the ones being rendered. A
            // pair aligned from its own images is aligned before the next is
            // decoded: the alignment's scale spaces and the next pair's
            // pictures are not held at once.
            if (refining_)
                pass.decoded.waitUntilFinished();
            else
                pass.decoded.waitUntilTaken();
            if (stopping() || pass.renderDone) break;
            auto job = std::make_unique<Job>();
            job->index = k;
            job->outcome.index = k;
            if (skip_[k]) {
                job->outcome.result = PairResult::Skipped;
                job->outcome.detail = "exists";
            } else if (claimOutput(*job)) {
                try {
                    const InputReadOptions reading =
                        readOptionsOf(settings_.request, settings_.run.threads, decodedBuffers_.allocator());
                    job->images = readInputPair(pairs_[k].left, pairs_[k].right, reading);
                    if (const RunStep refused = judgeInputImages(job->images, job->outcome.warnings); !refused.ok())
                        fail(*job, refused);
                    else
                        job->decoded = true;
                } catch (const std::exception& e) {
                    fail(*job, std::string("the pair could not be read: ") + describeException(e));
                }
                if (!job->decoded) job->images = InputImages{};
            }
            pass.decoded.push(std::move(job));
        }
        pass.decoded.close();
    }

    // Takes the pair's output for this run. False when the pair is not to be
    // converted now: another run holds the output (the pair is deferred), or
    // has written it since this batch looked (the pair is skipped).
    bool claimOutput(Job& job) {
        const BatchPair& pair = pairs_[job.index];
        std::string warning;
        auto claim = locks_.tryClaim(pair.output, warning);
        if (!warning.empty()) job.outcome.warnings.push_back(warning);
        if (!claim) {
            job.deferred = true;
            if (!waiting_[job.index]) {
                waiting_[job.index] = true;
                std::lock_guard guard(observerMutex_);
                observer_.pairWaiting(pair);
            }
            return false;
        }
        // Judged again now that no other run can write it, by the one test of
        // a finished output: complete and new since the batch looked is
        // another run's work (runs write an output whole, by a rename);
        // anything not complete (empty, cut short, damaged) is converted.
        const OutputState now = inspectOutput(pair.output, expectedSize(pair));
        const bool changed = now.stamp != found_[job.index].stamp;
        if (now.complete && (changed || !settings_.force)) {
            job.outcome.result = PairResult::Skipped;
            job.outcome.detail = changed ? "written by another run while this one ran" : "exists";
            return false;
        }
        if (now.stamp.exists && !now.complete) job.outcome.detail = "redone: " + now.fault;
        job.claim = std::move(claim);
        return true;
    }

    ImageSize expectedSize(const BatchPair& pair) const {
        return outputImageSize(pair.output.filename().string(), settings_.request.outputHeight);
    }

    // ---- renderer --------------------------------------------------------

    // Takes the pair's share of what every pair of its sizes shares, checks
    // its output, aligns it and gives it a canvas, in the run's order.
    void enter(Job& job) {
        if (!job.decoded) return;
        try {
            const ImageSize left{job.images.left.pixels.cols, job.images.left.pixels.rows};
            const ImageSize right{job.images.right.pixels.cols, job.images.right.pixels.rows};
            if (!sized_ || !sameSize(sized_->left, left) || !sameSize(sized_->right, right)) {
                // Points A and B judged once for the pictures of these sizes.
                auto sized = std::make_shared<SizedGeometry>();
                sized->left = left, sized->right = right;
                std::vector<std::string> wentOn;
                sized->prepared = prepareSizes(settings_.request, left, right, sized->refusal, wentOn);
                sized_ = std::move(sized);
            }
            // The output's name and size were checked before the batch began.
            PrepareChoices choices;
            choices.threads = run_.threads;
            choices.sized = sized_->prepared;
            choices.sizedRefusal = sized_->refusal;
            choices.sharedColour = sharedColour_;
            // The reader waits for an alignment from the pair's own images;
            // its spare buffers would only sit beside the alignment's scale spaces.
            if (refining_) decodedBuffers_.giveBack();
            const RunStep refused = prepareConversion(settings_.request, job.images.left.pixels,
                                                      job.images.right.pixels, choices, job.prepared);
            if (const auto& aligned = job.prepared.aligned) {
                const alignment::AlignmentResult& found = aligned->result;
                std::string warning = found.warning;
                if (aligned->ok() && found.lensesRefined && !found.lenses.lawAdvice.empty())
                    warning += (warning.empty() ? "" : "; ") + found.lenses.lawAdvice;
                if (!warning.empty()) job.outcome.warnings.push_back(warning);
                if (!aligned->ok()) return fail(job, aligned->error);
            }
            if (!refused.ok()) return fail(job, refused);
            if (job.prepared.colourFitted) job.outcome.colour = job.prepared.colour;
            job.outcome.warnings.insert(job.outcome.warnings.end(), job.prepared.warnings.begin(),
                                        job.prepared.warnings.end());
            if (const RunStep taken = canvases_.take(settings_.request.outputHeight, job.canvas); !taken.ok())
                return fail(job, taken);
            job.renderable = true;
        } catch (const std::exception& e) {
            fail(job, std::string("the pair could not be prepared: ") + describeException(e));
        }
        if (!job.renderable) release(job);
    }

    // Whether `q` can take `half` in the same pass as `p`.
    static bool canShare(const Job& p, const Job& q, int half) {
        if (!q.renderable || q.halfDone[half] || q.halfDone[1 - half]) return false;
        return p.prepared.sharesHalf(q.prepared, half == 1 ? Half::Right : Half::Left);
    }

    void renderHalf(int half, const std::vector<Job*>& group) {
        const Half which = half == 1 ? Half::Right : Half::Left;
        std::vector<HalfTarget> targets;
        for (Job* job : group)
            targets.push_back(job->prepared.target(
                which, half == 1 ? job->images.right.pixels : job->images.left.pixels, job->canvas));
        try {
            applyHalf(which, group.front()->prepared, targets, run_);
        } catch (const std::exception& e) {
            for (Job* job : group) {
                fail(*job, std::string("the rendering stopped: ") + describeException(e));
                release(*job);
            }
            return;
        }
        for (Job* job : group) {
            job->halfDone[half] = true;
            (half == 1 ? job->images.right.pixels : job->images.left.pixels).release();
        }
    }

    void renderPairs(Pass& pass) {
        std::deque<JobPtr> active;  // taken from the reader, in order, not yet handed to the writer
        bool inputEnded = false;
        auto takeNext = [&] {
            if (inputEnded) return false;
            std::optional<JobPtr> job = pass.decoded.pop();
            if (!job) {
                inputEnded = true;
                return false;
            }
            enter(**job);
            pass.decoded.finished();
            if ((*job)->renderable && stopping()) {  // stopped while it waited for a canvas: leave it out
                release(**job);
                inputEnded = true;
                return false;
            }
            active.push_back(std::move(*job));
            return true;
        };
        auto partnerOf = [&]() -> Job* {
            for (size_t k = 1; k < active.size(); ++k)
                if (active[k]->renderable) return active[k].get();
            return nullptr;
        };
        for (;;) {
            if (active.empty() && (stopping() || !takeNext())) break;
            Job& p = *active.front();
            if (!p.renderable || (p.halfDone[0] && p.halfDone[1])) {
                pass.finished.push(std::move(active.front()));
                active.pop_front();
                continue;
            }
            const int half = p.halfDone[1] ? 0 : 1;  // the right half first, as the run renders
            std::vector<Job*> group{&p};
            // A pair that has one half already takes the next pair along for
            // its other half; a pair on its own starts alone. A pair aligned
            // from its own images finishes alone, so that the next pair's
            // alignment does not hold this one's picture and canvas as well.
            if (p.halfDone[1 - half] && !refining_) {
                Job* q = partnerOf();
                while (!q && !stopping() && takeNext()) q = partnerOf();
                if (q && canShare(p, *q, half)) group.push_back(q);
            }
            renderHalf(half, group);
        }
        pass.renderDone = true;
    }

    // ---- writer ----------------------------------------------------------

    void writePairs(Pass& pass) {
        while (std::optional<JobPtr> next = pass.finished.pop()) {
            Job& job = **next;
            if (job.renderable) write(job);
            release(job);
            job.claim.reset();
            if (job.deferred) pass.deferred.push_back(job.index);
            else report(job);
        }
    }

    // Encodes the pair's canvas, hands the canvas back and writes the file.
    void write(Job& job) {
        const BatchPair& pair = pairs_[job.index];
        std::vector<uchar> encoded;
        try {
            const RunStep encodedStep = encodeOutput(settings_.request, pair.output.filename().string(), pair.left,
                                                     job.canvas, encoded, job.outcome.notes);
            release(job);
            if (!encodedStep.ok()) return fail(job, encodedStep);
        } catch (const std::exception& e) {
            return fail(job, std::string("the output could not be encoded: ") + describeException(e));
        }
        if (const RunStep written = writeOutput(pair.output, encoded, true); !written.ok()) return fail(job, written);
        job.outcome.result = PairResult::Converted;
    }

    void report(const Job& job) {
        switch (job.outcome.result) {
            case PairResult::Converted: ++progress_.converted; break;
            case PairResult::Skipped: ++progress_.skipped; break;
            case PairResult::Failed:
                ++progress_.failed;
                summary_.failures.push_back(job.outcome);
                break;
        }
        progress_.elapsedSeconds = elapsed();
        std::lock_guard guard(observerMutex_);
        observer_.pairFinished(pairs_[job.index], job.outcome, progress_);
    }

    // The decoded pictures' buffers, reused from pair to pair by the reader.
    ImageBufferPool decodedBuffers_;
    const std::vector<BatchPair>& pairs_;
    const BatchSettings& settings_;
    BatchObserver& observer_;
    const std::shared_ptr<const alignment::ColourMatch> sharedColour_;
    std::optional<LensRefining> refining_;    // set when each pair is aligned from its own images
    RunOptions run_;
    Clock::time_point start_;
    std::vector<bool> skip_;
    std::vector<OutputState> found_;  // what each output's place held when the batch began
    std::vector<bool> waiting_;       // the reader's: the observer has heard that another run holds it
    OutputLocks locks_;
    std::mutex observerMutex_;
    CanvasPool canvases_;
    std::shared_ptr<const SizedGeometry> sized_;  // the eyes of the last pictures' sizes
    std::atomic<bool> stopped_{false};
    BatchProgress progress_;  // the writer's
    BatchSummary summary_;
};

}  // namespace

void BatchObserver::pairFinished(const BatchPair&, const PairOutcome&, const BatchProgress&) {}
void BatchObserver::pairWaiting(const BatchPair&) {}
void BatchObserver::temporaryRemoved(const fs::path&) {}
bool BatchObserver::stopRequested() { return false; }
void BatchObserver::alignedOnce(const SharedAlignment&, const SharedColour&) {}

double BatchProgress::pairsPerMinute() const {
    const size_t worked = converted + failed;
    return worked == 0 || elapsedSeconds <= 0.0 ? 0.0 : worked * 60.0 / elapsedSeconds;
}

std::optional<double> BatchProgress::secondsLeft() const {
    const size_t worked = converted + failed;
    if (worked == 0) return std::nullopt;
    const size_t left = toConvert > worked ? toConvert - worked : 0;
    return elapsedSeconds / worked * left;
}

std::string formatClock(double seconds) {
    const long s = std::lround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

std::string describeProgress(const BatchProgress& p) {
    std::string text = std::to_string(p.done()) + "/" + std::to_string(p.total) + " pairs";
    if (p.converted + p.failed > 0) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.1f", p.pairsPerMinute());
        text += std::string(", ") + rate + " per minute";
        if (const auto left = p.secondsLeft()) text += ", " + formatClock(*left) + " left";
    }
    return text;
}

std::string describeSummary(const BatchSummary& s) {
    char wall[48];
    if (s.wallSeconds < 60) std::snprintf(wall, sizeof wall, "%.1f s", s.wallSeconds);
    else std::snprintf(wall, sizeof wall, "%s (%.0f s)", formatClock(s.wallSeconds).c_str(), s.wallSeconds);
    std::string text = "converted " + std::to_string(s.converted) + ", skipped " + std::to_string(s.skipped) +
                       ", failed " + std::to_string(s.failed) + " in " + wall;
    if (s.notStarted > 0) text += "; stopped, " + std::to_string(s.notStarted) + " not started";
    return text;
}

size_t BatchPlan::toConvert() const {
    size_t count = 0;
    for (bool s : skip) count += s ? 0 : 1;
    return count;
}

BatchPlan planBatch(const std::vector<BatchPair>& pairs, bool force, int32_t outputHeight) {
    BatchPlan plan;
    std::set<fs::path> folders;
    for (const BatchPair& pair : pairs) {
        plan.found.push_back(
            inspectOutput(pair.output, outputImageSize(pair.output.filename().string(), outputHeight)));
        plan.skip.push_back(!force && plan.found.back().complete);
        folders.insert(pair.output.parent_path().empty() ? fs::path(".") : pair.output.parent_path());
    }
    for (const fs::path& folder : folders) {
        const auto found = findAbandonedTemporaries(folder);
        plan.abandonedTemporaries.insert(plan.abandonedTemporaries.end(), found.begin(), found.end());
    }
    return plan;
}

std::string pairLabel(const BatchPair& pair, size_t index) {
    return "pair " + std::to_string(index + 1) + (pair.line > 0 ? " (line " + std::to_string(pair.line) + ")" : "");
}

RunStep checkBatchOutputs(const std::vector<BatchPair>& pairs, const BatchSettings& settings) {
    OutputRoom room;
    for (const ProtectedFile& file : settings.otherInputs) room.protect(file.path, file.role);
    for (const ProtectedFile& folder : settings.inputFolders) room.protectFolder(folder.path, folder.role);
    for (size_t k = 0; k < pairs.size(); ++k) {
        room.protect(pairs[k].left, "the left image of " + pairLabel(pairs[k], k));
        room.protect(pairs[k].right, "the right image of " + pairLabel(pairs[k], k));
    }
    if (!settings.outputFolder.empty()) room.keepWithin(settings.outputFolder, settings.howToAllowOutside);
    for (size_t k = 0; k < pairs.size(); ++k) {
        const BatchPair& pair = pairs[k];
        RunStep refused = checkOutput(pair.output.filename().string(), settings.request.outputHeight);
        if (refused.ok())
            if (Fallible clash = room.admit(pair.output, "the output of " + pairLabel(pair, k)); !clash.ok())
                refused = refusalOf(ConversionStatus::OutputRefused, nullptr, std::move(clash.error));
        if (!refused.ok()) {
            // The pair named before the problem, in the text and the detail alike.
            refused.error = pairLabel(pair, k) + ": " + refused.error;
            refused.detail = refused.error;
            return refused;
        }
    }
    return {};
}

BatchSummary runBatch(const std::vector<BatchPair>& pairs, const BatchSettings& settings, BatchObserver& observer) {
    const auto* automatic = std::get_if<AutomaticAlignment>(&settings.request.alignment);
    if (!automatic || automatic->scope != AlignmentScope::Once) return Batch(pairs, settings, observer).run();

    // A shoot aligned once: the first pairs that align give every pair its
    // rotation (and refined lenses, and colour match), as if it were given.
    const auto begin = Clock::now();
    BatchSummary summary;
    if (RunStep refused = checkBatch(pairs, settings); !refused.ok()) {
        summary.refusal = std::move(refused);
        summary.wallSeconds = secondsSince(begin);
        return summary;
    }
    if (planBatch(pairs, settings.force, settings.request.outputHeight).toConvert() == 0)
        return Batch(pairs, settings, observer).run();  // nothing to align for
    const int threads = settings.run.threads;
    const SharedAlignment shared = alignFirstPairs(pairs, settings.request, threads, kSharedAlignmentPairs,
                                                   kSharedAlignmentAttempts, automatic->refining);
    SharedColour colour;
    if (shared.rotation && settings.request.matchColour != ColourMatching::Off)
        colour = matchSharedColours(shared, pairs, settings.request, threads);
    observer.alignedOnce(shared, colour);
    if (!shared.rotation) {
        summary.refusal = refusalOf(ConversionStatus::AlignmentFailed, nullptr, describeSharedAlignment(shared));
        summary.wallSeconds = secondsSince(begin);
        return summary;
    }
    // The alignment's many working images are freed by now, but into the
    // heaps of the threads that made them: handing those pages back keeps
    // them from sitting beside the batch's pictures and canvases.
    malloc_trim(0);
    BatchSettings once = settings;
    once.request.alignment = GivenRotation{*shared.rotation, shared.lenses.value_or(RefinedLenses{})};
    // A match that failed leaves the pairs as sampled, as a single run whose match fails.
    return Batch(pairs, once, observer, colour.ok() ? colour.match : nullptr).run();
}

}  // namespace vistereo
