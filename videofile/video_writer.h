// Writing a video file: 8-bit YCbCr 4:2:0 planes, or 8-bit BGR frames
// converted to them, encoded with x264 (H.264) or x265 (HEVC) into an MP4,
// or 10-bit planes encoded with x265 as HEVC Main 10 (with an HDR picture's
// mastering display and content light as the stream's SEI),
// in the settings' colour (BT.709, limited range unless told) and tagged so,
// with a camera's sound carried over and, for a
// side-by-side 180-degree stereo video, the boxes by which YouTube and
// headset players recognise it as VR180: `st3d` (left eye in the left half)
// and `sv3d` (equirectangular, each eye cut to 180 x 180 degrees).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "base/fallible.h"
#include "videofile/video_reader.h"

namespace vistereo::media {

enum class VideoCodec { H264, Hevc };

// x264's and x265's constant rate factor and speed preset. The defaults,
// measured with x264 on a 4096 x 2048 side-by-side stream (bench/video.sh
// --presets): "fast" at CRF 20 gives 48.6 dB PSNR at 8.4 Mbit/s for 0.19 CPU
// seconds a frame, where x264's own default (medium, CRF 23) gives 47.5 dB at
// 4.8 Mbit/s for 0.20: a dB more, which a headset's magnification shows, for
// less time; medium at CRF 20 adds 0.2 dB for 1.36 times the time.
inline constexpr int kDefaultCrf = 20;
inline constexpr const char* kDefaultPreset = "fast";

// A keyframe every 250 frames, counted from a conversion's first: x264's
// and x265's own longest interval, so that a whole take is cut into GOPs as
// long as the encoders' own, and the parts of a take, which start on this
// grid, start where the whole take's conversion has a keyframe too.
inline constexpr int kDefaultKeyframeInterval = 250;

struct VideoEncoding {
    VideoCodec codec = VideoCodec::H264;
    int crf = kDefaultCrf;  // 0 .. 51; 0 is lossless for H.264
    std::string preset = kDefaultPreset;
    int threads = 0;  // encoder threads; 0: the encoder's choice
    // Every this many frames from the first, an IDR picture (closed: nothing
    // after it refers to a picture before); 0: where the encoder chooses.
    int keyframeInterval = kDefaultKeyframeInterval;
};

// The sound of the written file: either a stretch of a file's sound (copied
// packet by packet when an MP4 can hold its codec, at most one audio packet
// off at each cut, otherwise decoded and re-encoded to AAC to the sample),
// or given mono samples encoded to AAC. The whole stretch is written,
// whatever the number of frames. Copied sound that starts after the picture
// (its first whole packet) is delayed to the millisecond: the MP4's edit list
// counts in the movie's milliseconds.
struct AudioSource {
    std::filesystem::path file;  // empty: the samples below
    double fromSeconds = 0.0;    // on the file's clock (0 at its first video frame)
    double seconds = 0.0;
    std::vector<float> mono;
    int sampleRate = 0;
};

struct VideoWriterSettings {
    int width = 0, height = 0;  // even
    FrameRate frameRate{30, 1};
    VideoEncoding encoding;
    bool vr180 = false;  // a side-by-side 180-degree stereo picture: write st3d and sv3d
    // The matrix, range and chroma siting of the written numbers, and the
    // primaries and transfer they are tagged with.
    YuvColour colour;
    std::optional<AudioSource> audio;
    // Text tags of the file itself, under names of our own (a part's record).
    std::vector<std::pair<std::string, std::string>> metadata;
    // The level the stream is marked with (videoLevel's idc); 0: the encoder's choice.
    int levelIdc = 0;
    // The planes' depth: 8, or 10 (HEVC Main 10, planes only).
    int bits = 8;
    // The light an HDR picture was graded for, written with a 10-bit HEVC stream.
    HdrLight light;
};

class VideoWriter {
public:
    // Creates the MP4 at `path` (whatever its name) and writes its header.
    VideoWriter(const std::filesystem::path& path, const VideoWriterSettings& settings);
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // Whether the file was created and its header written, and why not.
    const Fallible& opened() const { return opened_; }
    // How the sound was carried: "AAC copied", "pcm_s16le re-encoded to AAC".
    const std::string& audioNote() const { return audioNote_; }

    // The next frame (width x height, CV_8UC3), converted to the settings'
    // colour; why it cannot be encoded or written. A writer that failed once
    // (or never opened) refuses every later frame with that failure.
    Fallible write(const cv::Mat& bgr);
    // The next frame as planes of width x height in the settings' colour and
    // depth, encoded as they are. The encoder takes its copy before this returns,
    // so the planes may be written again at once.
    Fallible write(const YuvPlanes& planes);
    // The encoders' last packets, the rest of the sound and the file's index.
    // The file is complete only when this succeeds.
    Fallible finish();
    int64_t framesWritten() const { return frames_; }

private:
    Fallible bgrScaler();
    // Whether the next frame falls on the keyframe grid.
    bool keyframeDue() const;
    Fallible send(::AVFrame& frame);
    // The opening's failure, else the first of the frames' (none yet: good).
    const Fallible& failure() const;
    // Keeps `why` as the writer's failure and returns it.
    Fallible fail(std::string why);

    struct State;
    std::unique_ptr<State> state_;
    Fallible opened_, failed_;
    std::string audioNote_;
    int64_t frames_ = 0;
};

// "h264" / "hevc", and back (nullopt for another name).
const char* codecName(VideoCodec codec);
std::optional<VideoCodec> codecNamed(const std::string& name);

// The largest frame a codec's highest level takes, which players and the
// encoders (x264, x265) hold to: H.264 level 6.2 and HEVC Main level 6.2
// both reach 8192 x 4096.
struct VideoFrameLimit {
    int32_t width = 0, height = 0;
    const char* level = "";  // "H.264 level 6.2"
};
VideoFrameLimit largestVideoFrame(VideoCodec codec);

// The lowest level of a codec (H.264, HEVC Main tier) whose decoders take
// frames of width x height at `framesPerSecond`: frame size, samples a
// second and the longest side within the level's limits. Players check a
// file's level against what their decoder supports, so the encoder is told
// this one. `idc` is as the stream and ffprobe give it (10 x the level for
// H.264, 30 x for HEVC).
struct VideoLevel {
    int idc = 0;
    std::string name;  // "HEVC Main level 6.1"
};
std::optional<VideoLevel> videoLevel(VideoCodec codec, int64_t width, int64_t height, double framesPerSecond);

// Why a side-by-side output `height` high (twice as wide) cannot be encoded
// with `codec`, naming the limit, or "": below 2 or odd (4:2:0 chroma halves
// both sides), a frame beyond the codec's largest, or, when the frame rate
// is given, more frames a second of that size than the codec's highest
// level takes. The one place where the output's size meets the codec,
// checked before any frame is decoded.
std::string videoHeightProblem(VideoCodec codec, int64_t height, double framesPerSecond = 0);

// Whether `preset` is one of x264's and x265's preset names.
bool isEncoderPreset(const std::string& preset);

}  // namespace vistereo::media
