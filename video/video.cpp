// The video conversion's steps, in order: the request's own checks, both
// files opened and compared, the synchronisation, the range, then the
// conversion's prepare step (conversion/core.h) on the range's frame pairs
// as its samples (the eyes, the output height, the alignment, the colour
// match, the convergence), then the frames, each applied through the plans
// made once:
//
//   left decoder (own thread)   frame n of the left camera, gaps filled
//   right decoder (own thread)  frame n + offset of the right camera
//   renderer (caller)           the side-by-side frame from the two, through
//                               the halves' remap plans made before the first
//   encoder (own thread)        encodes and muxes it, with the sound
//
// The queues between them hold two frames each, and the canvases the renderer
// and the encoder pass between them (the encoder's planes, or BGR frames) are
// a fixed few, reused.
#include "video/video.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "base/atomic_file.h"
#include "base/channel.h"
#include "base/message_text.h"
#include "base/parallel.h"
#include "base/stages.h"
#include "conversion/auto_align.h"
#include "imagefile/input.h"
#include "conversion/core.h"
#include "conversion/output_file.h"
#include "videofile/video_reader.h"
#include "registry/lens_registry.h"

namespace vistereo {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kQueuedFrames = 2;         // per queue between two stages
constexpr int kCanvases = 2 * kQueuedFrames;
constexpr int kAlignmentFramePairs = 5;  // spread over the range for --auto-align
constexpr double kDamageGapSeconds = 1.0;  // damage closer than this is one stretch

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string fpsText(const media::FrameRate& rate) {
    char text[40];
    std::snprintf(text, sizeof text, "%.6g fps", rate.value());
    return text;
}

// A step that ended the conversion before any frame: why.
Fallible refusal(std::string why) { return Fallible{std::move(why)}; }

// What the conversion of a request needs before its frames: the facts of
// both files, the offset, the range, the geometry, the alignment.
struct VideoSetup {
    media::VideoFacts left, right;
    std::vector<std::string> readerNotes[2];
    double fps = 0;
    int64_t firstLeft = 0;  // index of the left camera's first frame of the range
    int64_t count = 0;      // frames in the range
};

const char* sideName(int side) { return side == 0 ? "left" : "right"; }

Fallible openBoth(const VideoRequest& request, VideoSetup& setup) {
    const fs::path* paths[2] = {&request.left, &request.right};
    media::VideoFacts* facts[2] = {&setup.left, &setup.right};
    // Both files opened at the same time: each opening decodes a little.
    std::string errors[2];
    const auto open = [&](int side) {
        const media::VideoReader reader(*paths[side]);
        errors[side] = reader.opened().error;
        if (reader.opened().ok()) *facts[side] = reader.facts();
        setup.readerNotes[side] = reader.notes();
    };
    runBoth(request.run.threads, [&] { open(0); }, [&] { open(1); });
    for (int side = 0; side < 2; ++side) {
        if (!errors[side].empty())
            return refusal(std::string("cannot read the ") + sideName(side) + " video \"" + paths[side]->string() +
                           "\": " + errors[side]);
        const double megapixels = facts[side]->width * double(facts[side]->height) / 1e6;
        const double limit = request.frames.limits.maxMegapixels;
        if (limit > 0 && megapixels > limit) {
            char text[160];
            std::snprintf(text, sizeof text, "its frames are %d x %d pixels (%.1f megapixels), more than the limit of %g megapixels",
                          facts[side]->width, facts[side]->height, megapixels, limit);
            return refusal(std::string("cannot read the ") + sideName(side) + " video \"" + paths[side]->string() +
                           "\": " + text);
        }
    }
    if (!(setup.left.frameRate == setup.right.frameRate))
        return refusal("the two videos' frame rates differ (left " + fpsText(setup.left.frameRate) + ", right " +
                       fpsText(setup.right.frameRate) + "): both cameras must film at the same rate");
    setup.fps = setup.left.frameRate.value();
    return {};
}

std::string timeText(double seconds) { return media::formatMediaTime(seconds); }

// The range from the request, the offset and the frame counts: left frame i
// pairs with right frame i + offset.frames, and both must exist.
Fallible chooseRange(const VideoRequest& request, long long offsetFrames, VideoSetup& setup) {
    const double fps = setup.fps;
    const int64_t first = std::max<int64_t>(0, -offsetFrames);
    const int64_t end = std::min<int64_t>(setup.left.frameCount, setup.right.frameCount - offsetFrames);
    if (end <= first)
        return refusal("the two videos do not overlap in time with an offset of " + std::to_string(offsetFrames) +
                       " frames (left " + timeText(setup.left.durationSeconds) + " long, right " +
                       timeText(setup.right.durationSeconds) + ")");
    int64_t start = first;
    if (request.startSeconds) {
        start = std::llround(*request.startSeconds * fps);
        if (start < first)
            return refusal("the right camera has no frame at --start " + timeText(*request.startSeconds) +
                           "; it begins filming at " + timeText(first / fps) + " on the left camera's clock");
        if (start >= end)
            return refusal("--start " + timeText(*request.startSeconds) +
                           " is beyond the end of the two videos' common part, which ends at " + timeText(end / fps) +
                           " on the left camera's clock");
    }
    int64_t count = end - start;
    if (request.durationSeconds) {
        count = std::llround(*request.durationSeconds * fps);
        if (count < 1) return refusal("--duration must cover at least one frame");
        if (start + count > end)
            return refusal("the range " + timeText(start / fps) + " to " + timeText((start + count) / fps) +
                           " reaches beyond the end of the two videos' common part, which ends at " +
                           timeText(end / fps) + " on the left camera's clock");
    }
    setup.firstLeft = start;
    setup.count = count;
    return {};
}

// What the range asks of the left video alone, whatever the offset: the
// reasons chooseRange gives later, said before the sound is searched for an
// offset, which a range outside the take cannot have.
Fallible checkRangeOnTheLeft(const VideoRequest& request, const VideoSetup& setup) {
    const double fps = setup.fps;
    const int64_t end = setup.left.frameCount;
    const int64_t start = request.startSeconds ? std::llround(*request.startSeconds * fps) : 0;
    if (request.startSeconds && start >= end)
        return refusal("--start " + timeText(*request.startSeconds) + " is beyond the end of the left video, which ends at " +
                       timeText(end / fps));
    if (request.durationSeconds) {
        const int64_t count = std::llround(*request.durationSeconds * fps);
        if (count < 1) return refusal("--duration must cover at least one frame");
        if (start + count > end)
            return refusal("the range " + timeText(start / fps) + " to " + timeText((start + count) / fps) +
                           " reaches beyond the end of the left video, which ends at " + timeText(end / fps));
    }
    return {};
}

// Both files opened and compared, the offset (given, or found from their
// sound), the range it leaves, and the drift check of an offset found.
Fallible synchronise(const VideoRequest& request, VideoSetup& setup, VideoResult& result) {
    if (Fallible opened = openBoth(request, setup); !opened.ok()) return opened;
    result.fps = setup.fps;
    for (int side = 0; side < 2; ++side)
        for (const std::string& note : setup.readerNotes[side])
            result.notes.push_back(std::string("the ") + sideName(side) + " video: " + note);
    const media::VideoFacts* facts[2] = {&setup.left, &setup.right};
    for (int side = 0; side < 2; ++side)
        if (const double turn = facts[side]->displayRotationDegrees; turn != 0.0) {
            char degrees[32];
            std::snprintf(degrees, sizeof degrees, "%g", turn);
            result.warnings.push_back(std::string("the ") + sideName(side) + " video carries a rotation of " + degrees +
                                      " degrees in its metadata (a display matrix, as phones write), which players "
                                      "apply; its frames are converted as stored, unturned, so its lens record and "
                                      "points must describe the frames as stored");
        }

    const HandedOffset* handed = request.offsetSeconds ? nullptr : request.handedOffset ? &*request.handedOffset : nullptr;
    if (request.offsetSeconds) {
        result.offsetGiven = true;
        result.offset.seconds = *request.offsetSeconds;
        result.offset.frames = std::llround(*request.offsetSeconds * setup.fps);
        result.offset.remainderSeconds = result.offset.seconds - result.offset.frames / setup.fps;
    } else if (handed) {
        result.offset = takeHandedOffset(*handed, request.left, setup.left.durationSeconds, request.right,
                                         setup.right.durationSeconds, setup.fps);
        if (!result.offset.ok()) return refusal(result.offset.error);
        result.offsetGiven = result.offset.confidence <= 0;  // the other part was given it
    } else {
        if (Fallible range = checkRangeOnTheLeft(request, setup); !range.ok()) return range;
        const double from = request.startSeconds.value_or(0.0);
        const double seconds = request.durationSeconds.value_or(setup.left.durationSeconds - from);
        result.offset = findVideoOffset(request.left, request.right, setup.fps, from, std::max(0.0, seconds),
                                        request.run.threads);
        if (!result.offset.ok()) return refusal(result.offset.error);
    }
    if (Fallible range = chooseRange(request, result.offset.frames, setup); !range.ok()) return range;
    result.startSeconds = setup.firstLeft / setup.fps;
    result.frames = setup.count;
    result.seconds = setup.count / setup.fps;
    if (handed) {
        if (Fallible range = checkHandedRange(*handed, setup.firstLeft, setup.count); !range.ok()) return range;
        result.notes.push_back("synchronised as " + handed->from + " found it, without searching the sound again");
        return {};
    }
    if (!result.offsetGiven)
        checkDrift(result.offset, request.left, request.right, setup.fps, result.startSeconds, result.seconds,
                   request.run.threads);
    return {};
}

// One frame of each camera, decoded at `leftIndex` and the offset later.
struct FramePairAt {
    cv::Mat left, right;
    std::string error;
};
FramePairAt readFramePair(const VideoRequest& request, double fps, int64_t leftIndex, long long offsetFrames) {
    FramePairAt pair;
    const fs::path* paths[2] = {&request.left, &request.right};
    const int64_t indices[2] = {leftIndex, leftIndex + offsetFrames};
    cv::Mat* out[2] = {&pair.left, &pair.right};
    for (int side = 0; side < 2; ++side) {
        media::VideoReader reader(*paths[side], request.run.threads);
        media::VideoFrame frame;
        if (!reader.seek(indices[side] / fps) || reader.read(frame) != media::VideoReader::Read::Frame) {
            pair.error = std::string("the ") + sideName(side) + " video has no frame at " + timeText(indices[side] / fps);
            return pair;
        }
        *out[side] = frame.bgr;
    }
    return pair;
}

// The frame pairs of the range as the conversion's samples: the right
// camera's rotation from pairs spread over the range, combined as the batch
// combines its first pairs, and the colours matched on the aligned pair
// nearest the range's middle (else on its middle).
class FrameSamples final : public PrepareSamples {
public:
    FrameSamples(const VideoRequest& request, const VideoSetup& setup, long long offsetFrames, VideoObserver& observer)
        : request_(request), setup_(setup), offsetFrames_(offsetFrames), observer_(observer) {}

    std::array<ImageSize, 2> sizes() const override {
        return {ImageSize{setup_.left.width, setup_.left.height}, ImageSize{setup_.right.width, setup_.right.height}};
    }

    // The lenses are taken as their records say: a video's alignment refines none.
    PairAlignment align(const ConversionGeometry& geometry, int threads, LensRefining) override {
        SharedAlignment shared;
        const auto start = Clock::now();
        for (int k = 0; k < kAlignmentFramePairs; ++k) {
            const int64_t index = setup_.firstLeft + static_cast<int64_t>((k + 0.5) * setup_.count / kAlignmentFramePairs);
            SharedAlignment::Attempt attempt;
            attempt.sample = SampleId::ofFramePair(index, timeText(index / setup_.fps));
            try {
                const FramePairAt pair = readFramePair(request_, setup_.fps, index, offsetFrames_);
                if (!pair.error.empty()) attempt.alignment.error = pair.error;
                else attempt.alignment = alignImages(pair.left, pair.right, geometry, threads);
            } catch (const std::exception& e) {
                attempt.alignment.error = std::string("the frame pair could not be read: ") + e.what();
            }
            shared.attempts.push_back(std::move(attempt));
        }
        shared.seconds = secondsSince(start);
        takeRobustMean(shared);
        remarks_ = sharedAlignmentRemarks(shared);
        // The frame pair taken into the mean nearest the range's middle: its
        // matches mark the far field for a colour match.
        const int64_t middle = setup_.firstLeft + setup_.count / 2;
        for (const SharedAlignment::Attempt& a : shared.attempts)
            if (a.used && (!matchedFrame_ || std::llabs(a.sample.frame - middle) < std::llabs(*matchedFrame_ - middle))) {
                matchedFrame_ = a.sample.frame;
                matches_ = a.alignment.result;
            }
        PairAlignment aligned;
        aligned.seconds = shared.seconds;
        summary_ = describeSharedAlignment(shared);
        if (!shared.rotation) {
            aligned.error = summary_;
            return aligned;
        }
        aligned.result.rotation = *shared.rotation;
        observer_.stepDone("aligned: " + summary_);
        return aligned;
    }

    ColourPair colourPair(const PreparedConversion&) override {
        colourFrame_ = matchedFrame_.value_or(setup_.firstLeft + setup_.count / 2);
        const FramePairAt pair = readFramePair(request_, setup_.fps, colourFrame_, offsetFrames_);
        ColourPair out;
        out.error = pair.error;
        out.left = pair.left;
        out.right = pair.right;
        out.matches = matchedFrame_ ? &matches_ : nullptr;
        return out;
    }

    // What the alignment found, for the user, and the frame pairs it left out.
    const std::string& summary() const { return summary_; }
    const std::vector<std::string>& remarks() const { return remarks_; }
    // The left camera's frame of the pair the colours were matched on.
    int64_t colourFrame() const { return colourFrame_; }

private:
    const VideoRequest& request_;
    const VideoSetup& setup_;
    const long long offsetFrames_;
    VideoObserver& observer_;
    std::string summary_;
    std::vector<std::string> remarks_;
    std::optional<int64_t> matchedFrame_;
    alignment::AlignmentResult matches_;
    int64_t colourFrame_ = 0;
};

// ---- the frames ----------------------------------------------------------

// The damage one camera's frames met, gathered into stretches for the report.
class DamageLog {
public:
    void add(int side, double seconds, const std::string& what) {
        std::lock_guard lock(mutex_);
        std::vector<Stretch>& list = stretches_[side];
        if (!list.empty() && seconds - list.back().to <= kDamageGapSeconds && seconds >= list.back().from) {
            list.back().to = std::max(list.back().to, seconds);
            ++list.back().count;
            return;
        }
        list.push_back({seconds, seconds, 1, what});
    }
    void report(std::vector<std::string>& warnings) const {
        for (int side = 0; side < 2; ++side)
            for (const Stretch& s : stretches_[side])
                warnings.push_back("the " + std::string(sideName(side)) + " video is damaged " +
                                   (s.count == 1 ? "at " + timeText(s.from)
                                                 : "from " + timeText(s.from) + " to " + timeText(s.to) + " (" +
                                                       std::to_string(s.count) + " times)") +
                                   ": " + s.first);
    }

private:
    struct Stretch {
        double from, to;
        int count;
        std::string first;  // what happened first
    };
    std::mutex mutex_;
    std::vector<Stretch> stretches_[2];
};

// One camera's frames of the range, in order, in BGR or as planes, with the
// gaps filled by repeating the previous frame. Runs on its own thread, where
// it also opens the file.
class FrameFeed {
public:
    FrameFeed(int side, const fs::path& path, int threads, media::FrameLayout layout, double fps, int64_t first,
              int64_t count, DamageLog& damage)
        : side_(side), path_(path), threads_(threads), layout_(layout), fps_(fps), first_(first), count_(count),
          damage_(damage), frames_(kQueuedFrames) {}

    Channel<media::VideoFrame>& frames() { return frames_; }
    // Set when the stream ended or failed before the range did.
    const std::string& shortfall() const { return shortfall_; }
    bool failed() const { return failed_; }

    void run() {
        try {
            feed();
        } catch (const std::exception& e) {  // no memory for a frame, say
            fail("cannot read the " + std::string(sideName(side_)) + " video: " + e.what());
        }
    }

private:
    void feed() {
        media::VideoReader reader(path_, threads_, layout_);
        if (!reader.opened().ok() || !reader.seek(first_ / fps_)) {
            fail("cannot read the " + std::string(sideName(side_)) + " video: " +
                 (reader.opened().ok() ? "it cannot seek to " + timeText(first_ / fps_) : reader.opened().error));
            return;
        }
        media::VideoFrame frame;
        bool held = false;  // `frame` holds a frame not yet handed on
        media::VideoFrame previous;
        bool hasPrevious = false;
        for (int64_t n = 0; n < count_; ++n) {
            const int64_t wanted = first_ + n;
            while (!held || frame.index < wanted) {
                const media::VideoReader::Read got = reader.read(frame);
                for (const media::FrameDamage& d : reader.takeDamage()) damage_.add(side_, d.seconds, d.what);
                if (got == media::VideoReader::Read::Failed) {
                    fail("the " + std::string(sideName(side_)) + " video failed at " + timeText(wanted / fps_) + ": " +
                         reader.failure().error);
                    return;
                }
                if (got == media::VideoReader::Read::End) {
                    shortfall_ = "the " + std::string(sideName(side_)) + " video ended at " + timeText(wanted / fps_) +
                                 ", before the range did";
                    frames_.close();
                    return;
                }
                held = true;
            }
            media::VideoFrame out;
            if (frame.index > wanted && hasPrevious) {
                // A gap in the stream: the previous frame again.
                damage_.add(side_, wanted / fps_, "frames are missing; the previous frame is repeated");
                out = previous;
            } else {
                out = frame;
                held = frame.index > wanted;  // the first frame of the range came late: keep it for later too
            }
            previous = out;
            hasPrevious = true;
            if (!frames_.push(out)) return;  // the renderer has stopped
        }
        frames_.close();
    }

    void fail(const std::string& text) {
        shortfall_ = text;
        failed_ = true;
        frames_.close();
    }

    const int side_;
    const fs::path path_;
    const int threads_;
    const media::FrameLayout layout_;
    const double fps_;
    const int64_t first_, count_;
    DamageLog& damage_;
    Channel<media::VideoFrame> frames_;
    std::string shortfall_;
    std::atomic<bool> failed_{false};
};

}  // namespace

std::optional<double> VideoProgress::secondsLeft() const {
    if (done <= 0 || elapsedSeconds <= 0) return std::nullopt;
    return elapsedSeconds / done * static_cast<double>(total - done);
}

void VideoObserver::stepDone(const std::string&) {}
void VideoObserver::framesDone(const VideoProgress&) {}
bool VideoObserver::stopRequested() { return false; }

namespace {

// Both halves' plan keys on the given sample grids, index 0 the left half.
std::array<RemapPlanKey, 2> halfKeys(const ConversionGeometry& geometry, const RightEyeTurn& turn,
                                     const RunOptions& run, const SampleGrid& leftGrid = {},
                                     const SampleGrid& rightGrid = {}) {
    RemapPlanKey left = halfPlanKey(Half::Left, geometry, turn, run);
    RemapPlanKey right = halfPlanKey(Half::Right, geometry, turn, run);
    left.grid = leftGrid, right.grid = rightGrid;
    left.rows = {0, left.samples()}, right.rows = {0, right.samples()};
    return {left, right};
}

}  // namespace

FrameRenderer plannedFrameRenderer(HalfPlans plans, int threads, std::optional<ColourCorrection> colour) {
    return [plans = std::move(plans), threads, colour = std::move(colour)](const cv::Mat& left, const cv::Mat& right,
                                                                           cv::Mat& sideBySide) {
        applyPlannedHalves(plans, HalfTarget{&left, &sideBySide, colour ? &colour->eye[0] : nullptr},
                           HalfTarget{&right, &sideBySide, colour ? &colour->eye[1] : nullptr}, threads);
    };
}

size_t FramePlanePlans::bytes() const {
    size_t total = 0;
    for (const auto* set : {&luma, &chroma})
        for (const auto& remap : *set) total += remap->bytes();
    return total;
}

FramePlanePlans planFramePlanes(const ConversionGeometry& geometry, const RightEyeTurn& turn, const RunOptions& run,
                                const media::YuvColour& output, const media::YuvColour& left,
                                const media::YuvColour& right) {
    const auto chromaGrid = [&](const media::YuvColour& source) {
        return SampleGrid{2, output.chromaX(), output.chromaY(), source.chromaX(), source.chromaY()};
    };
    FramePlanePlans remaps;
    // Each from its key's positions, row by row: no plan held or decoded.
    const auto take = [&](const std::array<RemapPlanKey, 2>& keys, std::array<std::shared_ptr<const PlaneRemap>, 2>& into) {
        for (int k = 0; k < 2; ++k) into[k] = buildPlaneRemap(keys[k], run.threads);
    };
    take(halfKeys(geometry, turn, run), remaps.luma);
    take(halfKeys(geometry, turn, run, chromaGrid(left), chromaGrid(right)), remaps.chroma);
    return remaps;
}

PlaneRenderer plannedPlaneRenderer(FramePlanePlans plans, int threads) {
    return [plans = std::move(plans), threads](const media::YuvPlanes& left, const media::YuvPlanes& right,
                                               media::YuvPlanes& out) {
        for (const media::YuvPlanes* eye : {&left, &right}) {
            if (eye->colour.matrix != out.colour.matrix || eye->colour.fullRange != out.colour.fullRange)
                throw std::runtime_error("the " + std::string(eye == &left ? "left" : "right") + " video's frame is in " +
                                         eye->colour.describe() + ", not in " + out.colour.describe() +
                                         " as its first frames were");
            if (eye->bits != out.bits)
                throw std::runtime_error("the " + std::string(eye == &left ? "left" : "right") + " video's frame has " +
                                         std::to_string(eye->bits) + "-bit planes, not " + std::to_string(out.bits) +
                                         "-bit ones as the output");
        }
        const uint16_t luma = out.blackLuma(), chroma = out.neutralChroma();
        // Cb and Cr go through their plan in one pass, which reads its samples once for both.
        const PlaneTarget targets[4] = {
            {plans.luma[0].get(), &left.y, &out.y, luma},
            {plans.luma[1].get(), &right.y, &out.y, luma},
            {plans.chroma[0].get(), &left.cb, &out.cb, chroma, &left.cr, &out.cr},
            {plans.chroma[1].get(), &right.cb, &out.cb, chroma, &right.cr, &out.cr},
        };
        applyPlaneRemaps(targets, threads);
    };
}

namespace {

// What the output does with cameras that film in HDR (HLG or PQ): written
// with their transfer and primaries tags, as their planes (at 10 bits when
// `deep`, else at 8), when both cameras share them; refused when one eye
// would be HDR and the other not, or when the frames would go through BGR,
// which knows SDR only.
Fallible judgeDynamicRange(const media::YuvColour& left, const media::YuvColour& right, bool planes, bool deep,
                              std::vector<std::string>& notes) {
    const char* hdr[2] = {media::hdrTransferName(left), media::hdrTransferName(right)};
    if (!hdr[0] && !hdr[1]) return {};
    if (left.transfer != right.transfer || left.primaries != right.primaries) {
        const auto said = [](const char* name, const media::YuvColour& c) {
            return std::string(name ? "HDR (" + std::string(name) + ", " : "SDR (") + "transfer " +
                   media::transferName(c) + ")";
        };
        return refusal("the left video is " + said(hdr[0], left) + " and the right video is " + said(hdr[1], right) +
               ": one eye's picture cannot be matched to the other's; film both cameras in the same picture profile");
    }
    if (!planes)
        return refusal(std::string("the videos are HDR (") + hdr[0] + "), which is converted only as its planes: "
                       "without --match-colour, with --interp bilinear (through BGR the picture would lose its "
                       "transfer)");
    if (deep) {
        notes.push_back(std::string("the videos are HDR (") + hdr[0] + ", " + left.describe() +
                        "): the output keeps their transfer, primaries and matrix tags at 10 bits per sample");
        return {};
    }
    notes.push_back(std::string("the videos are HDR (") + hdr[0] + ", " + left.describe() +
                    "): the output keeps their transfer and primaries tags at 8 bits per sample, so HDR players show it "
                    "as HDR with coarser steps than the cameras recorded");
    return {};
}

// Whether the frames are remapped and written at 10 bits: both cameras
// record 10 bits or more and their planes go to HEVC as decoded. Otherwise
// they are written at 8 bits, and the notes say why when a camera records
// more. A 10-bit camera's own note that its frames are cut to 8 bits is
// dropped when they are not.
bool chooseTenBits(const VideoSetup& setup, const VideoRequest& request, bool planes, std::vector<std::string>& notes) {
    const int bits[2] = {setup.left.bitDepth, setup.right.bitDepth};
    if (bits[0] <= 8 && bits[1] <= 8) return false;
    const auto depth = [&](int side) { return std::to_string(bits[side]) + "-bit"; };
    std::string why;
    if (bits[0] <= 8 || bits[1] <= 8)
        why = "the left video is " + depth(0) + " and the right " + depth(1) +
              ": both eyes are written at 8 bits, so that they match (the deeper eye's levels are rounded)";
    else if (request.encoding.codec != media::VideoCodec::Hevc)
        why = "the videos are " + depth(0) + ": H.264 is written at 8 bits, so their levels are rounded to 8 bits "
              "(--codec hevc writes them at 10 bits as HEVC Main 10)";
    else if (!planes)
        why = "the videos are " + depth(0) + ": their frames go through BGR (colour match, a kernel other than "
              "bilinear, or cameras of different colours), which is 8-bit, so the output is written at 8 bits";
    if (!why.empty()) {
        notes.push_back(why);
        return false;
    }
    const std::string cut = "-bit video (";
    std::erase_if(notes, [&](const std::string& note) {
        return note.find(cut) != std::string::npos && note.ends_with(") is converted to 8 bits per channel");
    });
    notes.push_back("the videos are " + depth(0) + " (" + setup.left.pixelFormat + "): remapped at 10 bits and " +
                    "written as HEVC Main 10 (yuv420p10le)");
    return true;
}

// "HEVC Main level 5.1" as the 10-bit profile names it: "HEVC Main 10 level 5.1".
std::string tenBitLevelName(const std::string& name) {
    const std::string main = "HEVC Main ";
    return name.starts_with(main) ? main + "10 " + name.substr(main.size()) : name;
}

// The light the left camera's HDR picture was graded for: the container's,
// or that of the range's first frame. A right camera that states other
// light is noted; the left's is written.
media::HdrLight hdrLightOf(const VideoRequest& request, const VideoSetup& setup, int64_t firstLeft, int64_t rightOffset,
                           std::vector<std::string>& notes) {
    media::HdrLight light[2];
    const fs::path* paths[2] = {&request.left, &request.right};
    const int64_t first[2] = {firstLeft, firstLeft + rightOffset};
    for (int side = 0; side < 2; ++side) {
        media::VideoReader reader(*paths[side], 1, media::FrameLayout::DeepPlanes);
        media::VideoFrame frame;
        if (reader.opened().ok() && reader.seek(first[side] / setup.fps)) (void)reader.read(frame);
        light[side] = reader.light();
    }
    if (!(light[0] == light[1]))
        notes.push_back("the cameras state different HDR light (left: " +
                        (light[0].empty() ? std::string("none") : light[0].describe()) + "; right: " +
                        (light[1].empty() ? std::string("none") : light[1].describe()) + "); the left camera's is written");
    if (!light[0].empty()) notes.push_back("HDR light written with the video: " + light[0].describe());
    return light[0];
}

}  // namespace

DefaultHeight defaultVideoHeight(const std::array<EyeGeometry, 2>& eyes, media::VideoCodec codec) {
    DefaultHeight out;
    double across = INFINITY;
    for (const EyeGeometry& eye : eyes) {
        // The circle's radius at 90 degrees off the axis.
        across = std::min(across, 2.0 * rimCircle(eye).radius);
    }
    out.circlePixels = std::isfinite(across) ? static_cast<int32_t>(std::min(across, 1e9)) : 0;
    // The largest of 16, 24, 32, 48, ... within `limit`.
    const auto friendly = [](int32_t limit) {
        int32_t best = 16;
        for (int64_t p = 16; p <= limit; p *= 2)
            for (int64_t size : {p, p + p / 2})
                if (size <= limit) best = std::max(best, static_cast<int32_t>(size));
        return best;
    };
    const int32_t cap = codec == media::VideoCodec::Hevc ? 4096 : 2048;
    out.height = friendly(std::min(out.circlePixels, cap));
    out.capped = friendly(out.circlePixels) > out.height;
    return out;
}

namespace {

// The offset the sound gave, as a step done, and a drift of more than half a
// frame as a warning. A part handed another part's synchronisation says so
// in its note instead of repeating the offset as if it had found it.
void reportSynchronisation(const VideoRequest& request, double fps, VideoResult& result, VideoObserver& observer) {
    if (result.offsetGiven) return;
    const bool handed = !request.offsetSeconds && request.handedOffset;
    if (!handed) observer.stepDone("synchronised: the right camera runs " + describeOffset(result.offset, fps));
    if (result.offset.driftSeconds && std::fabs(*result.offset.driftSeconds) > 0.5 / fps)
        result.warnings.push_back("the cameras' clocks drift " + std::to_string(std::lround(*result.offset.driftSeconds * 1000)) +
                                  " ms apart over the range, more than half a frame: the end of the video pairs "
                                  "frames a frame or more out of step (convert it in shorter ranges)");
}

}  // namespace

VideoResult convertVideo(const VideoRequest& request, VideoObserver& observer) {
    const auto begin = Clock::now();
    VideoResult result;
    result.output = request.output;
    auto refuse = [&](const std::string& message) {
        result.status = VideoStatus::Refused;
        result.detail = message;
        result.wallSeconds = secondsSince(begin);
        return result;
    };

    // The request's own checks: lenses, and the points when they align the right eye.
    const ConversionRequest& frames = request.frames;
    if (const RunStep refused = checkRequest(frames); !refused.ok()) return refuse(refused.error);
    // A height given is held against the codec before any file is opened.
    if (frames.outputHeight > 0)
        if (const std::string problem = media::videoHeightProblem(request.encoding.codec, frames.outputHeight);
            !problem.empty())
            return refuse(problem);

    VideoSetup setup;
    if (const Fallible synced = synchronise(request, setup, result); !synced.ok()) return refuse(synced.error);
    reportSynchronisation(request, setup.fps, result, observer);

    // The frames this run converts: the whole range, or one part of it.
    const int keyframes = request.encoding.keyframeInterval;
    if (request.segment)
        if (const Fallible cut = segmentProblem(setup.count, *request.segment, keyframes); !cut.ok())
            return refuse(cut.error);
    const FrameSpan span = request.segment ? segmentFrames(setup.count, *request.segment, keyframes)
                                           : FrameSpan{0, setup.count};

    // The prepare step on the range's frame pairs: the eyes for the frames'
    // size, the output's height, the alignment (once for the whole video),
    // the eyes' colours matched once on a frame pair of the range, the
    // stereo window.
    FrameSamples samples(request, setup, result.offset.frames, observer);
    PrepareChoices choices;
    choices.threads = request.run.threads;
    choices.settleOutput = [&](const PreparedPair& sized, ConversionGeometry& geometry) -> RunStep {
        int32_t height = frames.outputHeight;
        if (height <= 0) {
            const DefaultHeight chosen = defaultVideoHeight(sized.eyes.eye, request.encoding.codec);
            height = chosen.height;
            result.notes.push_back("output height " + std::to_string(height) +
                                   " (the largest power-of-two-friendly size within the " +
                                   std::to_string(chosen.circlePixels) + " pixels across the lens circles" +
                                   (chosen.capped ? std::string(", capped for ") + media::codecName(request.encoding.codec)
                                                  : "") +
                                   "); --height sets another");
        }
        if (std::string problem = media::videoHeightProblem(request.encoding.codec, height, setup.fps); !problem.empty())
            return refusalOf(ConversionStatus::OutputHeightInvalid, nullptr, std::move(problem));
        geometry.outputHeight = height;
        return {};
    };
    PreparedConversion prepared;
    const RunStep unprepared = prepareConversion(frames, samples, choices, prepared);
    result.warnings.insert(result.warnings.end(), prepared.impossiblePoints.begin(), prepared.impossiblePoints.end());
    result.warnings.insert(result.warnings.end(), samples.remarks().begin(), samples.remarks().end());
    result.warnings.insert(result.warnings.end(), prepared.warnings.begin(), prepared.warnings.end());
    if (!unprepared.ok()) return refuse(unprepared.error);
    const ConversionGeometry& geometry = *prepared.geometry;
    const int32_t height = geometry.outputHeight;
    const std::optional<media::VideoLevel> level = media::videoLevel(request.encoding.codec, 2 * height, height, setup.fps);
    result.outputHeight = height;
    result.rotation = prepared.alignedTurn.rotation;
    if (prepared.aligned) result.alignment = samples.summary();
    else result.alignment = result.rotation ? "by the given rotation" : "by points A and B";
    if (prepared.colourFitted) {
        result.colour = *prepared.colour;
        if (result.colour->ok())
            observer.stepDone("colours matched on the frame pair at " + timeText(samples.colourFrame() / setup.fps) +
                              ": " + describeColourMatch(*result.colour));
    }

    // The way of the frames: their planes remapped as decoded, unless the
    // colour match, a wider kernel, the request or the cameras' colours ask
    // for BGR.
    const std::optional<ColourCorrection> colour =
        result.colour && result.colour->ok() ? std::optional<ColourCorrection>(result.colour->correction) : std::nullopt;
    const media::YuvColour& leftColour = setup.left.yuv;
    const media::YuvColour& rightColour = setup.right.yuv;
    const bool sameColours = leftColour.sameConversion(rightColour);
    result.planes = !request.bgrFrames && !colour && request.run.interpolation == Interpolation::Bilinear && sameColours;
    if (!sameColours && !request.bgrFrames)
        result.notes.push_back("the two videos' colours differ (left " + leftColour.describe() + ", right " +
                               rightColour.describe() + "): the frames are converted through BGR and written in " +
                               media::YuvColour{}.describe());
    const bool tenBits = chooseTenBits(setup, request, result.planes, result.notes);
    if (const Fallible range = judgeDynamicRange(leftColour, rightColour, result.planes, tenBits, result.notes);
        !range.ok())
        return refuse(range.error);
    // The output keeps the left camera's matrix and range, its chroma sited
    // as the camera's; through BGR it is BT.709, limited range.
    media::YuvColour outputColour;
    if (result.planes) outputColour = leftColour;

    // The frames: two decoders, the renderer here, the encoder. The decoders
    // start first: they open their files, seek and decode their first frames
    // while the output is opened and the plans are made.
    const media::FrameLayout layout = tenBits         ? media::FrameLayout::DeepPlanes
                                      : result.planes ? media::FrameLayout::Planes
                                                      : media::FrameLayout::Bgr;
    DamageLog damage;
    // The encoder takes about three quarters of a conversion's processor time
    // and runs on every thread itself, so the two decoders keep to a quarter
    // of the threads between them, one each at least: a decoder's own frame
    // threads would only fight the encoder's for the same cores, and cost
    // more processor time per frame than one thread decoding in order.
    const int decoderThreads = std::max(1, resolveThreadCount(request.run.threads) / 8);
    const int64_t firstLeft = setup.firstLeft + span.first;
    FrameFeed leftFeed(0, request.left, decoderThreads, layout, setup.fps, firstLeft, span.count, damage);
    FrameFeed rightFeed(1, request.right, decoderThreads, layout, setup.fps, firstLeft + result.offset.frames,
                        span.count, damage);
    StageGroup decoders;
    // On every way out the decoders' hand-overs end, so that they stop and
    // are joined.
    struct StopFeeds {
        FrameFeed &left, &right;
        ~StopFeeds() {
            left.frames().abandon();
            right.frames().abandon();
        }
    } stopFeeds{leftFeed, rightFeed};
    decoders.start("left decoder", [&] { leftFeed.run(); });
    decoders.start("right decoder", [&] { rightFeed.run(); });

    // The output, through a temporary file beside it.
    StreamedFileWrite file(request.output);
    if (!file.opened().ok()) return refuse("cannot write " + request.output.string() + ": " + file.opened().error);
    media::VideoWriterSettings settings;
    settings.width = 2 * height;
    settings.height = height;
    settings.frameRate = setup.left.frameRate;
    settings.encoding = request.encoding;
    settings.vr180 = true;
    settings.colour = outputColour;
    if (tenBits) {
        settings.bits = 10;
        if (media::hdrTransferName(outputColour))
            settings.light = hdrLightOf(request, setup, firstLeft, result.offset.frames, result.notes);
    }
    if (level) {
        settings.levelIdc = level->idc;
        const std::string name = tenBits ? tenBitLevelName(level->name) : level->name;
        result.notes.push_back("the video is marked " + name + ", the lowest whose decoders take " +
                               std::to_string(2 * height) + " x " + std::to_string(height) + " at " +
                               fpsText(setup.left.frameRate));
    }
    if (request.sound != VideoSound::None) {
        const bool right = request.sound == VideoSound::Right;
        if ((right ? setup.right : setup.left).hasAudio) {
            media::AudioSource sound;
            sound.file = right ? request.right : request.left;
            sound.fromSeconds = result.startSeconds + (right ? result.offset.seconds : 0.0);
            sound.seconds = result.seconds;
            settings.audio = sound;
        } else {
            result.notes.push_back(std::string("the ") + (right ? "right" : "left") +
                                   " video has no sound; the output has none");
        }
    }
    if (request.segment) {
        // A part carries its pictures and its record; the join writes the sound.
        settings.metadata.emplace_back(
            kPartRecordTag, partRecord({*request.segment, span, request.left, request.right, setup.left.durationSeconds,
                                        setup.right.durationSeconds, setup.firstLeft, setup.count,
                                        setup.left.frameRate, result.offset.frames, geometry,
                                        alignmentRecordText(frames.alignment, prepared.alignedTurn.rotation),
                                        prepared.turn.rotation, colour,
                                        request.run.interpolation, request.run.exactArithmetic, result.planes,
                                        outputColour, request.encoding, settings.audio, result.offset})
                                .text());
        settings.audio.reset();
    }
    media::VideoWriter writer(file.temporaryPath(), settings);
    if (!writer.opened().ok()) return refuse("cannot write " + request.output.string() + ": " + writer.opened().error);
    if (!writer.audioNote().empty()) result.notes.push_back("sound: " + writer.audioNote());

    // Where every output pixel (or chroma sample) reads its source, worked
    // out once for all frames.
    const auto planStart = Clock::now();
    FrameRenderer renderBgr;
    PlaneRenderer renderPlanes;
    try {
        if (result.planes) {
            FramePlanePlans plans = planFramePlanes(geometry, prepared.turn, request.run, outputColour, leftColour,
                                                    rightColour);
            result.planBytes = plans.bytes();
            renderPlanes = plannedPlaneRenderer(std::move(plans), request.run.threads);
        } else {
            // The apply step of every frame: both halves through their plans,
            // each eye with the prepared colour correction.
            const HalfPlans plans = planHalves(prepared, request.run);
            result.planBytes = plans.bytes();
            renderBgr = [plans, &prepared, threads = request.run.threads](const cv::Mat& left, const cv::Mat& right,
                                                                          cv::Mat& sideBySide) {
                applyPlannedHalves(plans, prepared.target(Half::Left, left, sideBySide),
                                   prepared.target(Half::Right, right, sideBySide), threads);
            };
        }
    } catch (const std::bad_alloc&) {
        return refuse("there is not enough memory for the remap plans of an output of height " +
                      std::to_string(height));
    }
    result.planSeconds = secondsSince(planStart);

    // The side-by-side frames the renderer fills and the encoder takes: BGR
    // canvases, or planes in the output's colour.
    Channel<media::VideoFrame> rendered(kQueuedFrames), canvases(kCanvases);
    for (int k = 0; k < kCanvases; ++k) {
        media::VideoFrame canvas;
        if (result.planes) {
            try {
                canvas.planes = media::YuvPlanes::allocate(2 * height, height, outputColour, tenBits ? 10 : 8);
            } catch (const std::exception&) {
                return refuse("there is not enough memory for an output frame of height " + std::to_string(height));
            }
        } else if (const RunStep refused = allocateCanvas(height, canvas.bgr); !refused.ok()) {
            return refuse(refused.error);
        }
        canvases.push(std::move(canvas));
    }
    std::string encodeError;
    std::atomic<int64_t> written{0};
    const auto framesStart = Clock::now();
    // A stage that fails ends the others' hand-overs, so the frames stop.
    StageGroup stages([&] {
        leftFeed.frames().close();
        rightFeed.frames().close();
        rendered.abandon();
        canvases.close();
    });
    stages.start("encoder", [&] {
        while (std::optional<media::VideoFrame> frame = rendered.pop()) {
            Fallible wrote;
            try {
                wrote = result.planes ? writer.write(frame->planes) : writer.write(frame->bgr);
            } catch (const std::exception& e) {
                wrote.error = e.what();
            }
            if (!wrote.ok()) {
                encodeError = wrote.error;
                rendered.abandon();  // the renderer's next hand-over fails, and it stops
                canvases.close();
                return;
            }
            canvases.push(std::move(*frame));
            ++written;
            observer.framesDone(VideoProgress{written, span.count, secondsSince(framesStart)});
        }
    });

    std::string renderError;
    bool stopped = false;
    for (int64_t n = 0; n < span.count; ++n) {
        if (observer.stopRequested()) {
            stopped = true;
            break;
        }
        std::optional<media::VideoFrame> left = leftFeed.frames().pop();
        std::optional<media::VideoFrame> right = rightFeed.frames().pop();
        std::optional<media::VideoFrame> canvas = left && right ? canvases.pop() : std::nullopt;
        if (!canvas) break;  // a camera's frames ended early, or the encoder gave up
        try {
            if (result.planes) renderPlanes(left->planes, right->planes, canvas->planes);
            else renderBgr(left->bgr, right->bgr, canvas->bgr);
        } catch (const std::exception& e) {
            renderError = std::string("the rendering failed: ") + e.what();
            break;
        }
        if (!rendered.push(std::move(*canvas))) break;
    }
    rendered.close();
    leftFeed.frames().abandon();
    rightFeed.frames().abandon();
    std::string stageError;
    for (StageGroup* group : {&stages, &decoders}) {
        try {
            group->join();
        } catch (const std::exception& e) {
            if (stageError.empty()) stageError = describeException(e);
        }
    }
    damage.report(result.warnings);

    auto fail = [&](VideoStatus status, const std::string& message) {
        result.status = status;
        result.detail = message;
        result.frames = written;
        result.wallSeconds = secondsSince(begin);
        return result;  // `file` removes the temporary
    };
    if (stopped) return fail(VideoStatus::Stopped, "stopped after " + std::to_string(written.load()) + " frames");
    if (!renderError.empty()) return fail(VideoStatus::Failed, renderError);
    if (!stageError.empty()) return fail(VideoStatus::Failed, "the conversion stopped: " + stageError);
    if (!encodeError.empty()) return fail(VideoStatus::Failed, "cannot write " + request.output.string() + ": " + encodeError);
    for (const FrameFeed* feed : {&leftFeed, &rightFeed}) {
        if (feed->failed()) return fail(VideoStatus::Failed, feed->shortfall());
        if (!feed->shortfall().empty()) result.warnings.push_back(feed->shortfall() + "; the output is shorter");
    }
    if (written == 0) return fail(VideoStatus::Failed, "no frame could be converted");
    if (const Fallible finished = writer.finish(); !finished.ok())
        return fail(VideoStatus::Failed, "cannot write " + request.output.string() + ": " + finished.error);
    if (const Fallible committed = file.commit(); !committed.ok())
        return fail(VideoStatus::Failed, "cannot write " + request.output.string() + ": " + committed.error);
    result.status = VideoStatus::Written;
    result.frames = written;
    result.seconds = written / setup.fps;
    result.output = file.target();
    result.wallSeconds = secondsSince(begin);
    return result;
}

VideoSync synchroniseVideos(const VideoRequest& request) {
    VideoSetup setup;
    VideoResult found;
    VideoSync sync;
    sync.error = synchronise(request, setup, found).error;
    sync.offset = found.offset;
    sync.offsetGiven = found.offsetGiven;
    sync.fps = found.fps;
    sync.startSeconds = found.startSeconds;
    sync.frames = found.frames;
    sync.notes = found.notes;
    return sync;
}

bool isMp4Name(const fs::path& path) {
    std::string extension = path.extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".mp4";
}

Fallible admitVideoOutput(const VideoRequest& request, const fs::path& workingDirectory,
                          const std::vector<ProtectedFile>& lensFiles) {
    OutputRoom room;
    room.protect(request.left, "the left video");
    room.protect(request.right, "the right video");
    room.protect(workingDirectory / kLensRegistryFileName, "the lens registry");
    for (const ProtectedFile& file : lensFiles) room.protect(file.path, file.role);
    if (Fallible admitted = room.admit(request.output, "the output"); !admitted.ok()) return admitted;
    const fs::path folder = request.output.has_parent_path() ? request.output.parent_path() : fs::path(".");
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return refusal("cannot make the folder " + shortenForMessage(folder.string()) + ": " + ec.message());
    return {};
}

}  // namespace vistereo
