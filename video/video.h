// Stereo VR180 video from two cameras' files: the two are synchronised (by
// their sound, or by a given offset), the right eye is aligned once (points A
// and B in the frames' pixels, or automatically from frame pairs spread over
// the range), and every pair of frames of the chosen range becomes one
// side-by-side frame of an MP4 that players recognise as VR180.
//
// The frames go through four stages at once, each on its own thread: the two
// cameras' decoders, the renderer and the encoder, handing over through
// bounded queues, so the memory a conversion holds does not depend on the
// video's length. The renderer is one narrow seam: it takes the two decoded
// frames of one instant and writes the side-by-side frame through the
// halves' remap plans, worked out once before the first frame; nothing else
// depends on how it does that.
//
// The frames are remapped in YCbCr as the cameras recorded them: each
// camera's luma plane through a plan at the output's size, its two chroma
// planes through a plan of the same geometry sampled at the chroma grid,
// straight into the planes the encoder takes, so no colour conversion runs on
// either side and the output keeps the inputs' matrix and range. Frames whose
// eyes' colours are matched (a gain and offset or a tone curve in RGB), whose
// kernel is wider than bilinear, or whose two cameras differ in matrix or
// range take the way through BGR instead: decoded to BGR, remapped as a
// single conversion is, and converted to BT.709 limited range for the
// encoder.
//
// Frames are paired by time: output frame n shows the left camera's frame at
// start + n / fps and the right camera's frame the rounded offset later. A
// frame missing from a camera's stream (a corrupt stretch the decoder
// skipped) is filled by repeating that camera's previous frame; a frame the
// decoder patched up is used as decoded. Both are reported with their times.
// The output is written to a temporary file beside the target and renamed
// into place only when complete; a failure or a stop leaves no file.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conversion/core.h"
#include "conversion/output_target.h"
#include "conversion/run.h"
#include "video/video_segments.h"
#include "video/video_sync.h"
#include "engine/colour.h"
#include "engine/plan.h"
#include "videofile/video_writer.h"

namespace vistereo {

enum class VideoSound { Left, Right, None };

struct VideoRequest {
    // The lenses, the alignment (points A and B in the frames' pixels, a
    // given rotation, or automatic: once, from frame pairs spread over the
    // range, the lenses as their records say), the output height (0: the
    // default of defaultVideoHeight) and the zenith correction. Its file
    // names, working directory, limits and JPEG choices are not used.
    ConversionRequest frames;
    std::filesystem::path left, right, output;
    std::optional<double> offsetSeconds;  // right clock minus left clock; empty: found from the sound
    // The synchronisation another part of the take found, taken instead of
    // searching the sound (when no offset is given).
    std::optional<HandedOffset> handedOffset;
    // The range on the left camera's clock. No start: the first moment both
    // cameras film; no duration: until either stops.
    std::optional<double> startSeconds, durationSeconds;
    // One of N equal parts of the range: its frames only, without sound,
    // with the record the join checks. The synchronisation, the alignment
    // and the colour match are still found over the whole range, so that
    // every part has the same. Empty: the whole range.
    std::optional<VideoSegment> segment;
    VideoSound sound = VideoSound::Left;
    media::VideoEncoding encoding;
    // Render every frame through BGR even where the planes could be remapped
    // as decoded (the way a colour-matched video goes).
    bool bgrFrames = false;
    RunOptions run;  // render threads, resampling, arithmetic (no row progress)
};

enum class VideoStatus {
    Written,  // the output holds the whole range
    Refused,  // the request or the inputs do not allow the conversion; nothing was written
    Failed,   // reading, rendering, encoding or writing failed on the way; nothing was written
    Stopped,  // stopped on request; nothing was written
};

struct VideoResult {
    VideoStatus status = VideoStatus::Refused;
    std::string detail;  // why, unless written
    std::filesystem::path output;
    // The synchronisation: found from the sound (with its confidence and drift
    // check) or given (confidence 0).
    VideoOffset offset;
    bool offsetGiven = false;
    int64_t frames = 0;     // written (or planned, before the frames started)
    double seconds = 0.0;   // frames / fps
    double fps = 0.0;
    double startSeconds = 0.0;  // of the range, on the left clock
    int32_t outputHeight = 0;
    std::string alignment;  // how the right eye was aligned, for the user
    std::optional<RotationMatrix> rotation;  // the right eye's rotation, when not aligned by points
    // The eyes' colour match, when asked for: fitted once on one frame pair
    // of the range and applied to every frame as it is rendered.
    std::optional<alignment::ColourMatch> colour;
    // Facts the user should hear (damage with its time, a camera that ended
    // early) and of lesser weight (10-bit input, how the sound was carried).
    std::vector<std::string> warnings, notes;
    double wallSeconds = 0.0;
    double planSeconds = 0.0;  // spent working out the two halves' remap plans, once
    size_t planBytes = 0;      // the memory they hold for the whole video
    bool planes = false;       // the frames were remapped as YCbCr planes, not through BGR
    bool written() const { return status == VideoStatus::Written; }
};

struct VideoProgress {
    int64_t done = 0, total = 0;  // frames written, frames in the range
    double elapsedSeconds = 0.0;  // since the first frame was started
    double framesPerSecond() const { return elapsedSeconds > 0 ? done / elapsedSeconds : 0.0; }
    std::optional<double> secondsLeft() const;
};

class VideoObserver {
public:
    virtual ~VideoObserver() = default;
    // A step done before the frames: "synchronised: ...", "aligned: ...".
    // Called on the caller's thread.
    virtual void stepDone(const std::string& text);
    // After each frame written, from the encoding thread (never two at a time).
    virtual void framesDone(const VideoProgress& progress);
    // Asked before each frame is rendered: true stops the conversion, which
    // then writes nothing.
    virtual bool stopRequested();
};

// Renders the side-by-side frame of one instant from the two cameras'
// frames. Called for one frame at a time.
using FrameRenderer = std::function<void(const cv::Mat& left, const cv::Mat& right, cv::Mat& sideBySide)>;

// The renderer that applies both halves' plans (conversion/core.h's
// planHalves, made once for the whole video: every frame has the same size,
// lenses, alignment, zenith and height) to each frame pair, on `threads`
// threads, correcting each eye's colours by `colour` when given: the same
// bytes as a single conversion of the pair with the same choices, without
// working out a position again.
FrameRenderer plannedFrameRenderer(HalfPlans plans, int threads, std::optional<ColourCorrection> colour = {});

// The plans of the YCbCr planes of both halves, in the form the planes'
// remap reads: luma at the output's size, and chroma on the 4:2:0 chroma
// grid, the output's chroma sited as `output` says and each camera's as its
// own planes say. Index 0 is the left half, 1 the right.
struct FramePlanePlans {
    std::array<std::shared_ptr<const PlaneRemap>, 2> luma, chroma;
    size_t bytes() const;
};
FramePlanePlans planFramePlanes(const ConversionGeometry& geometry, const RightEyeTurn& turn, const RunOptions& run,
                                const media::YuvColour& output, const media::YuvColour& left,
                                const media::YuvColour& right);

// Renders the side-by-side planes of one instant from the two cameras'
// planes; the output planes carry the output's colour and the cameras' must
// be in its matrix and range.
using PlaneRenderer =
    std::function<void(const media::YuvPlanes& left, const media::YuvPlanes& right, media::YuvPlanes& sideBySide)>;

// The renderer that applies the six plans to each frame pair on `threads`
// threads, the rim fading to the range's YCbCr black.
PlaneRenderer plannedPlaneRenderer(FramePlanePlans plans, int threads);

// The default output height: the largest power of two, or one and a half
// times one, that is no more than the pixels across the narrower of the two
// lens circles' 180 degrees; at most 2048 for H.264 (an output 4096 wide,
// which every headset decodes) and 4096 for HEVC.
struct DefaultHeight {
    int32_t height = 0;
    int32_t circlePixels = 0;  // across the narrower circle
    bool capped = false;       // the codec's cap, not the circles, decided
};
DefaultHeight defaultVideoHeight(const std::array<EyeGeometry, 2>& eyes, media::VideoCodec codec);

// Converts `request.left` and `request.right` into `request.output`.
VideoResult convertVideo(const VideoRequest& request, VideoObserver& observer);

// The synchronisation convertVideo will work with, for showing before it
// starts: both files opened and compared, the offset (the request's, or found
// from the sound with its confidence and drift check), and the range it
// leaves. `error` says why not, as convertVideo would refuse.
struct VideoSync : Fallible {
    VideoOffset offset;
    bool offsetGiven = false;
    double fps = 0.0;
    double startSeconds = 0.0;  // of the range, on the left clock
    int64_t frames = 0;         // in the range
    std::vector<std::string> notes;
};
VideoSync synchroniseVideos(const VideoRequest& request);

// Whether `path` names an MP4 file: the VR180 boxes are written in MP4 only.
bool isMp4Name(const std::filesystem::path& path);

// The output judged before any frame is decoded, as every caller of
// convertVideo does: it replaces neither video, nor the working directory's
// lens registry, nor another lens file the lenses came from, and its place
// takes a file; its missing folders are made. Why it cannot be written,
// naming the file.
Fallible admitVideoOutput(const VideoRequest& request, const std::filesystem::path& workingDirectory,
                          const std::vector<ProtectedFile>& lensFiles = {});

}  // namespace vistereo
