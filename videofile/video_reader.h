// Reading a camera's video file: the facts of its video and audio streams,
// and its frames one after another, from the start or from a time, either as
// 8-bit BGR images or as the decoded 8-bit YCbCr 4:2:0 planes themselves.
//
// Times are seconds on the file's own clock with 0 at its first video frame;
// a frame's index is its time times the frame rate, rounded, so a gap in the
// stream shows as a jump of the index. Pixels are converted with the colour
// matrix and range the stream is tagged with (cameras tag BT.709 and limited
// range; a stream without a tag is taken as BT.709 from 720 lines up and as
// BT.601 below, as players take it); deeper samples are cut to 8 bits.
//
// Read as planes, a frame keeps the numbers the camera wrote: 8-bit 4:2:0
// frames are handed on as the decoder made them (no copy), any other layout
// (10-bit, 4:2:2, 4:4:4) is converted to 8-bit 4:2:0 in its own matrix and
// range, and the planes say how their numbers are to be read. Read as deep
// planes, the same holds at 10 bits: 10-bit 4:2:0 frames as decoded, any
// other layout converted to 10-bit 4:2:0, each level in 16 bits.
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

struct AVFrame;

namespace vistereo::media {

// Frames per second as the stream states it (30000/1001 for 29.97).
struct FrameRate {
    int num = 0, den = 1;
    double value() const { return den ? static_cast<double>(num) / den : 0.0; }
    // Same rate: equal as fractions.
    friend bool operator==(const FrameRate& a, const FrameRate& b) {
        return int64_t{a.num} * b.den == int64_t{b.num} * a.den;
    }
};

// How the numbers of YCbCr planes are to be read, as FFmpeg's tags name
// them (AVColorSpace, AVColorPrimaries, AVColorTransferCharacteristic,
// AVChromaLocation): the defaults are BT.709 in limited range with the chroma
// sited left, between two rows (MPEG-2 and H.264's default).
struct YuvColour {
    int matrix = 1, primaries = 1, transfer = 1;
    bool fullRange = false;
    int chromaSiting = 1;
    // Where chroma sample (0, 0) lies in luma samples, right and down:
    // (0, 0.5) for left siting, (0.5, 0.5) for centre, (0, 0) for top left.
    double chromaX() const;
    double chromaY() const;
    // YCbCr black: the luma of black in this range, and neutral chroma.
    uint8_t blackLuma() const { return fullRange ? 0 : 16; }
    static constexpr uint8_t kNeutralChroma = 128;
    // "BT.709, limited range".
    std::string describe() const;
    // Whether frames of both are converted to colours alike: the same range
    // and the same matrix coefficients (BT.601 is tagged two ways, as
    // SMPTE 170M and as BT.470BG, with one matrix).
    bool sameConversion(const YuvColour& other) const;
    friend bool operator==(const YuvColour&, const YuvColour&) = default;
};

// The high-dynamic-range transfer a stream is tagged with, for the user:
// "HLG" (ARIB STD-B67) or "PQ" (SMPTE ST 2084); nullptr for any other.
const char* hdrTransferName(const YuvColour& colour);
// The transfer's name as FFmpeg gives it ("bt709", "arib-std-b67").
std::string transferName(const YuvColour& colour);

// The light an HDR picture was graded for, as the stream's SEI or the
// container carry it: the mastering display's primaries and white point (CIE
// 1931 x, y) and its luminance range in cd/m2, and the content's brightest
// pixel and brightest frame average in cd/m2.
struct HdrLight {
    struct Display {
        double red[2] = {}, green[2] = {}, blue[2] = {}, white[2] = {};
        double minLuminance = 0.0, maxLuminance = 0.0;
        friend bool operator==(const Display&, const Display&) = default;
    };
    std::optional<Display> display;
    std::optional<std::pair<int, int>> contentLight;  // MaxCLL, MaxFALL
    bool empty() const { return !display && !contentLight; }
    // As x265 takes it: "master-display=G(x,y)B(x,y)R(x,y)WP(x,y)L(max,min):max-cll=CLL,FALL"
    // (chromaticities in 0.00002, luminance in 0.0001 cd/m2); "" when empty.
    std::string x265Params() const;
    // "mastering display 0.005-1000 cd/m2, MaxCLL 1000, MaxFALL 400", for the user.
    std::string describe() const;
    friend bool operator==(const HdrLight&, const HdrLight&) = default;
};

struct VideoFacts {
    int width = 0, height = 0;
    FrameRate frameRate;
    double durationSeconds = 0.0;
    int64_t frameCount = 0;       // as the container counts them, else duration x rate
    std::string codec;            // "h264", "hevc", ...
    std::string pixelFormat;      // "yuv420p", "yuv420p10le", ...
    int bitDepth = 8;             // of the luma samples
    HdrLight light;               // the container's HDR side data; the frames' own come with them
    // The stream's colour tags as FFmpeg names them ("bt709", "tv", "unknown").
    std::string colourMatrix, colourRange, colourPrimaries, colourTransfer;
    // The matrix and range the frames are converted with: "BT.709, limited range".
    std::string conversion;
    // The same, and the chroma siting, as the planes of a frame carry it.
    YuvColour yuv;
    bool hasAudio = false;
    int audioSampleRate = 0, audioChannels = 0;
    std::string audioCodec;
    // The turn the stream's display matrix (a phone's "rotate" tag) asks
    // players to show its frames with, in degrees anticlockwise; the frames
    // are read as stored, unturned.
    double displayRotationDegrees = 0.0;
};

// A YCbCr 4:2:0 picture: a luma plane of width x height and two chroma
// planes of half that each way (rounded up), with their colour: 8-bit levels
// (CV_8UC1 each), or 10-bit levels in the low bits of 16 (CV_16UC1 each).
// The planes may be views of a decoder's buffers, which `owner` keeps alive
// while any copy of the planes is held.
struct YuvPlanes {
    cv::Mat y, cb, cr;
    YuvColour colour;
    int bits = 8;  // 8 or 10
    std::shared_ptr<const void> owner;
    bool empty() const { return y.empty(); }
    // Black luma and neutral chroma at the planes' depth.
    uint16_t blackLuma() const { return static_cast<uint16_t>(colour.blackLuma() << (bits - 8)); }
    uint16_t neutralChroma() const { return static_cast<uint16_t>(YuvColour::kNeutralChroma << (bits - 8)); }
    // Fresh planes of a picture of width x height.
    static YuvPlanes allocate(int width, int height, const YuvColour& colour, int bits = 8);
};

// How frames are read: 8-bit BGR, 8-bit 4:2:0 planes, or 10-bit 4:2:0 planes.
enum class FrameLayout { Bgr, Planes, DeepPlanes };

struct VideoFrame {
    cv::Mat bgr;          // width x height, CV_8UC3; reused by the next read when nobody else holds it (Bgr layout)
    YuvPlanes planes;     // the decoded planes (Planes layout)
    double seconds = 0;   // presentation time from the first frame
    int64_t index = 0;    // round(seconds x frame rate)
};

// A frame the decoder could not decode cleanly, or a packet it refused.
struct FrameDamage {
    double seconds = 0;
    std::string what;
};

class VideoReader {
public:
    // Opens the file and its video stream with `threads` decoding threads
    // (0: as many as the decoder likes), to read its frames in `layout`.
    // opened() tells why it could not.
    explicit VideoReader(const std::filesystem::path& path, int threads = 0, FrameLayout layout = FrameLayout::Bgr);
    ~VideoReader();
    VideoReader(const VideoReader&) = delete;
    VideoReader& operator=(const VideoReader&) = delete;

    // Whether the file and its video stream opened, or why not: "it has no
    // video stream", "Invalid data found when processing input", ...
    const Fallible& opened() const { return opened_; }
    // Why reading cannot go on: why the last read failed (Read::Failed), or
    // why the file did not open; good while reads may go on.
    const Fallible& failure() const { return failed_.ok() ? opened_ : failed_; }
    const VideoFacts& facts() const { return facts_; }
    // What the conversion to 8-bit BGR or 8-bit planes does that the user
    // should know: a 10-bit stream cut to 8 bits, a stream without a colour tag.
    const std::vector<std::string>& notes() const { return notes_; }

    // The next read gives the first frame at or after `seconds` (to half a
    // frame). False when the file cannot seek there.
    bool seek(double seconds);

    enum class Read { Frame, End, Failed };
    // The next frame into `frame`; End after the last; Failed with failure() set
    // when the file cannot be read any further.
    Read read(VideoFrame& frame);

    // The damage met since the last call, in the order met.
    std::vector<FrameDamage> takeDamage();
    // The HDR side data of the container, and of the frames read so far
    // (the last frame that carried any).
    const HdrLight& light() const;

private:
    bool scalerFor(const ::AVFrame& frame, int targetFormat);
    bool toBgr(const ::AVFrame& frame, cv::Mat& bgr);
    bool toPlanes(const ::AVFrame& frame, YuvPlanes& planes);

    struct State;
    std::unique_ptr<State> state_;
    VideoFacts facts_;
    std::vector<std::string> notes_;
    Fallible opened_, failed_;
};

// FFmpeg's libraries print nothing of their own on the standard error. For a
// program's start: it sets the libraries' process-wide log level when the
// first video or sound opens them.
void silenceVideoLibraries();

// "0:12.345" (minutes, seconds) or "1:02:03.500": how reports give times.
std::string formatMediaTime(double seconds);
// Seconds as "12.5", "1:05" or "1:02:03.5" (hours, minutes, seconds), as a
// user types a time; not negative.
std::optional<double> parseMediaTime(const std::string& text);

}  // namespace vistereo::media
