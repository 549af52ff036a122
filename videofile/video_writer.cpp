#include "videofile/video_writer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <span>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/opt.h>
#include <libavutil/spherical.h>
#include <libavutil/stereo3d.h>
}

#include "videofile/mp4_output.h"
#include "videofile/ffmpeg_support.h"

namespace vistereo::media {
namespace {

constexpr std::array<const char*, 10> kPresets{"ultrafast", "superfast", "veryfast", "faster", "fast",
                                               "medium",    "slow",      "slower",   "veryslow", "placebo"};

// x265's settings for HEVC Main 10 of an HDR picture: the profile, and the
// mastering display and content light as SEI, where the cameras gave them.
std::string main10Params(const HdrLight& light) {
    std::string text = ":profile=main10";
    if (const std::string sei = light.x265Params(); !sei.empty()) text += ":" + sei;
    return text;
}

// The mastering display and content light as the stream's side data, from
// which the MP4 muxer writes its 'mdcv' and 'clli' boxes: players that read
// the container rather than the stream's SEI find them there.
void addHdrSideData(AVStream* stream, const HdrLight& light) {
    const auto ratio = [](double v, int den) { return AVRational{static_cast<int>(std::lround(v * den)), den}; };
    if (light.display) {
        const HdrLight::Display& d = *light.display;
        AVMasteringDisplayMetadata* m = av_mastering_display_metadata_alloc();
        if (m) {
            const double* primaries[3] = {d.red, d.green, d.blue};  // FFmpeg's order: R, G, B
            for (int c = 0; c < 3; ++c)
                for (int xy = 0; xy < 2; ++xy) m->display_primaries[c][xy] = ratio(primaries[c][xy], 50000);
            for (int xy = 0; xy < 2; ++xy) m->white_point[xy] = ratio(d.white[xy], 50000);
            m->min_luminance = ratio(d.minLuminance, 10000);
            m->max_luminance = ratio(d.maxLuminance, 10000);
            m->has_primaries = m->has_luminance = 1;
            if (av_stream_add_side_data(stream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, reinterpret_cast<uint8_t*>(m),
                                        sizeof *m) < 0)
                av_free(m);
        }
    }
    if (light.contentLight) {
        size_t size = 0;
        AVContentLightMetadata* c = av_content_light_metadata_alloc(&size);
        if (c) {
            c->MaxCLL = static_cast<unsigned>(light.contentLight->first);
            c->MaxFALL = static_cast<unsigned>(light.contentLight->second);
            if (av_stream_add_side_data(stream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, reinterpret_cast<uint8_t*>(c), size) < 0)
                av_free(c);
        }
    }
}

}  // namespace

struct VideoWriter::State {
    AVFormatContext* output = nullptr;
    AVStream* videoStream = nullptr;
    ff::Codec video;
    ff::Scaler scaler;
    ff::Frame frame;  // made once FFmpeg's libraries are known to be loaded
    ff::Packet packet;
    std::unique_ptr<AudioTrack> audio;
    double frameSeconds = 0.0;
    YuvColour colour;
    int bits = 8;
    int keyframeInterval = 0;
    bool headerWritten = false, finished = false;

    ~State() {
        audio.reset();
        if (output) {
            if (output->pb) avio_closep(&output->pb);
            avformat_free_context(output);
        }
    }
};

VideoWriter::VideoWriter(const std::filesystem::path& path, const VideoWriterSettings& settings)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    if (settings.width <= 0 || settings.height <= 0 || settings.width % 2 || settings.height % 2) {
        opened_.error = "a 4:2:0 video needs an even width and height, not " + std::to_string(settings.width) + " x " +
                 std::to_string(settings.height);
        return;
    }
    if (const Fallible& loaded = ff::loadLibraries(); !loaded.ok()) {
        opened_.error = loaded.error;
        return;
    }
    s.frame = ff::makeFrame();
    s.packet = ff::makePacket();
    if (avformat_alloc_output_context2(&s.output, nullptr, "mp4", path.c_str()) < 0 || !s.output) {
        opened_.error = "cannot set up an MP4 file";
        return;
    }
    // The spherical and stereo boxes are not in the MP4 standard itself.
    s.output->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    const bool globalHeader = s.output->oformat->flags & AVFMT_GLOBALHEADER;

    // The picture.
    const VideoEncoding& e = settings.encoding;
    if (settings.bits != 8 && (settings.bits != 10 || e.codec != VideoCodec::Hevc)) {
        opened_.error = std::to_string(settings.bits) + "-bit " + codecName(e.codec) +
                 " is not written (10 bits are written as HEVC Main 10, other depths not at all)";
        return;
    }
    const bool deep = settings.bits == 10;
    const AVPixelFormat format = deep ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
    const char* encoderName = e.codec == VideoCodec::Hevc ? "libx265" : "libx264";
    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName);
    if (!codec) {
        opened_.error = std::string("FFmpeg's libraries have no ") + encoderName + " encoder";
        return;
    }
    s.video.reset(avcodec_alloc_context3(codec));
    AVCodecContext& v = *s.video;
    v.width = settings.width;
    v.height = settings.height;
    v.pix_fmt = format;
    v.time_base = AVRational{settings.frameRate.den, settings.frameRate.num};
    v.framerate = AVRational{settings.frameRate.num, settings.frameRate.den};
    const YuvColour& colour = settings.colour;
    v.color_primaries = static_cast<AVColorPrimaries>(colour.primaries);
    v.color_trc = static_cast<AVColorTransferCharacteristic>(colour.transfer);
    v.colorspace = static_cast<AVColorSpace>(colour.matrix);
    v.color_range = colour.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    v.chroma_sample_location = static_cast<AVChromaLocation>(colour.chromaSiting);
    v.thread_count = e.threads;
    if (globalHeader) v.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(v.priv_data, "preset", e.preset.c_str(), 0);
    av_opt_set_double(v.priv_data, "crf", e.crf, 0);
    // A keyframe asked for is an IDR picture in x264 and x265 alike (x265
    // would otherwise make it an open-GOP recovery point).
    av_opt_set_int(v.priv_data, "forced-idr", 1, 0);
    std::string x265 = "log-level=error";
    if (settings.levelIdc > 0) {
        // x264 takes the level as 10 x its number; x265 as its number.
        if (e.codec == VideoCodec::Hevc) {
            char level[32];
            std::snprintf(level, sizeof level, ":level-idc=%.1f", settings.levelIdc / 30.0);
            x265 += level;
        } else {
            v.level = settings.levelIdc;
        }
    }
    if (deep) x265 += main10Params(settings.light);
    if (e.codec == VideoCodec::Hevc) av_opt_set(v.priv_data, "x265-params", x265.c_str(), 0);
    if (const int code = avcodec_open2(&v, codec, nullptr); code < 0) {
        opened_.error = std::string("cannot open the ") + encoderName + " encoder (" + ff::errorText(code) + ")";
        return;
    }
    s.videoStream = avformat_new_stream(s.output, nullptr);
    avcodec_parameters_from_context(s.videoStream->codecpar, &v);
    // hvc1 rather than hev1: the tag Apple's and headsets' players require.
    if (e.codec == VideoCodec::Hevc) s.videoStream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    s.videoStream->time_base = v.time_base;
    s.videoStream->avg_frame_rate = v.framerate;
    s.frameSeconds = av_q2d(v.time_base);
    if (settings.vr180) markVr180(s.videoStream);
    if (deep && !settings.light.empty()) addHdrSideData(s.videoStream, settings.light);

    // The sound.
    if (settings.audio) {
        AddedAudio added = addAudioTrack(s.output, *settings.audio);
        if (!added.ok()) {
            opened_.error = added.error;
            return;
        }
        s.audio = std::move(added.track);
        audioNote_ = added.note;
    }

    if (const Fallible header = writeMp4Header(s.output, path, settings.metadata); !header.ok()) {
        opened_.error = header.error;
        return;
    }
    s.headerWritten = true;

    s.frame->format = format;
    s.frame->width = v.width;
    s.frame->height = v.height;
    s.frame->color_primaries = v.color_primaries;
    s.frame->color_trc = v.color_trc;
    s.frame->colorspace = v.colorspace;
    s.frame->color_range = v.color_range;
    s.frame->chroma_location = v.chroma_sample_location;
    s.colour = colour;
    s.bits = settings.bits;
    s.keyframeInterval = std::max(0, e.keyframeInterval);
}

bool VideoWriter::keyframeDue() const {
    const int every = state_->keyframeInterval;
    return every > 0 && frames_ % every == 0;
}

// The converter of BGR frames, made at the first of them: a writer fed
// planes needs none.
Fallible VideoWriter::bgrScaler() {
    State& s = *state_;
    if (s.scaler) return {};
    if (av_frame_get_buffer(s.frame.get(), 0) < 0)
        return fail("out of memory for a frame");
    const int matrix = ff::scalerMatrix(static_cast<AVColorSpace>(s.colour.matrix), s.video->height);
    s.scaler = ff::makeScaler(s.video->width, s.video->height, AV_PIX_FMT_BGR24, s.video->width, s.video->height,
                              AV_PIX_FMT_YUV420P, SWS_BILINEAR | SWS_ACCURATE_RND);
    if (!s.scaler || !ff::setYuvConversion(s.scaler.get(), false, matrix, s.colour.fullRange))
        return fail("cannot convert BGR frames to " + s.colour.describe() + " YCbCr");
    return {};
}

VideoWriter::~VideoWriter() = default;

const Fallible& VideoWriter::failure() const { return opened_.ok() ? failed_ : opened_; }

Fallible VideoWriter::fail(std::string why) {
    failed_.error = std::move(why);
    return failed_;
}

Fallible VideoWriter::write(const cv::Mat& bgr) {
    State& s = *state_;
    if (!failure().ok()) return failure();
    if (bgr.type() != CV_8UC3 || bgr.cols != s.video->width || bgr.rows != s.video->height)
        return fail("a frame of " + std::to_string(bgr.cols) + " x " + std::to_string(bgr.rows) +
                    " does not fit a video of " + std::to_string(s.video->width) + " x " +
                    std::to_string(s.video->height));
    if (s.bits != 8) return fail("BGR frames are written at 8 bits, not into a 10-bit video");
    if (const Fallible made = bgrScaler(); !made.ok()) return made;
    if (av_frame_make_writable(s.frame.get()) < 0) return fail("out of memory for a frame");
    const uint8_t* planes[4] = {bgr.data, nullptr, nullptr, nullptr};
    const int strides[4] = {static_cast<int>(bgr.step), 0, 0, 0};
    sws_scale(s.scaler.get(), planes, strides, 0, bgr.rows, s.frame->data, s.frame->linesize);
    return send(*s.frame);
}

Fallible VideoWriter::write(const YuvPlanes& planes) {
    State& s = *state_;
    if (!failure().ok()) return failure();
    const int w = s.video->width, h = s.video->height;
    const cv::Size chroma((w + 1) / 2, (h + 1) / 2);
    const int type = s.bits > 8 ? CV_16UC1 : CV_8UC1;
    const auto fits = [&](const cv::Mat& m, cv::Size size) { return m.type() == type && m.size() == size; };
    if (planes.bits != s.bits)
        return fail(std::to_string(planes.bits) + "-bit planes do not fit a video written at " +
                    std::to_string(s.bits) + " bits");
    if (!fits(planes.y, {w, h}) || !fits(planes.cb, chroma) || !fits(planes.cr, chroma))
        return fail("planes of " + std::to_string(planes.y.cols) + " x " + std::to_string(planes.y.rows) +
                    " do not fit a video of " + std::to_string(w) + " x " + std::to_string(h));
    if (!(planes.colour == s.colour))
        return fail("planes in " + planes.colour.describe() + " do not fit a video written in " + s.colour.describe());
    // The caller's memory lent to the encoder for the call: x264 and x265
    // copy the picture into their own frames while it is sent, and nothing
    // is freed when the lent buffers are let go.
    ff::Frame frame = ff::makeFrame();
    av_frame_copy_props(frame.get(), s.frame.get());
    frame->format = s.frame->format;
    frame->width = w, frame->height = h;
    const cv::Mat* mats[3] = {&planes.y, &planes.cb, &planes.cr};
    for (int k = 0; k < 3; ++k) {
        const cv::Mat& m = *mats[k];
        frame->buf[k] = av_buffer_create(m.data, m.step[0] * m.rows, [](void*, uint8_t*) {}, nullptr, 0);
        if (!frame->buf[k])
            return fail("out of memory for a frame");
        frame->data[k] = m.data;
        frame->linesize[k] = static_cast<int>(m.step[0]);
    }
    return send(*frame);
}

Fallible VideoWriter::send(AVFrame& frame) {
    State& s = *state_;
    frame.pts = frames_;
    frame.pict_type = keyframeDue() ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (const Fallible sent = encode(s.video.get(), &frame, s.output, s.videoStream, s.packet.get()); !sent.ok())
        return fail(sent.error);
    ++frames_;
    if (s.audio)
        if (const Fallible pumped = s.audio->pump(frames_ * s.frameSeconds + kAudioLead); !pumped.ok())
            return fail(pumped.error);
    return {};
}

Fallible VideoWriter::finish() {
    State& s = *state_;
    if (!failure().ok() || s.finished) return failure();
    if (const Fallible sent = encode(s.video.get(), nullptr, s.output, s.videoStream, s.packet.get()); !sent.ok())
        return fail(sent.error);
    if (s.audio)
        if (const Fallible finished = s.audio->finish(); !finished.ok()) return fail(finished.error);
    if (const int code = av_write_trailer(s.output); code < 0)
        return fail("cannot finish the MP4 (" + ff::errorText(code) + ")");
    if (const int code = avio_closep(&s.output->pb); code < 0)
        return fail("cannot close the file (" + ff::errorText(code) + ")");
    s.finished = true;
    return {};
}

const char* codecName(VideoCodec codec) { return codec == VideoCodec::Hevc ? "hevc" : "h264"; }

std::optional<VideoCodec> codecNamed(const std::string& name) {
    if (name == "h264") return VideoCodec::H264;
    if (name == "hevc") return VideoCodec::Hevc;
    return std::nullopt;
}

VideoFrameLimit largestVideoFrame(VideoCodec codec) {
    return codec == VideoCodec::Hevc ? VideoFrameLimit{8192, 4096, "HEVC Main level 6.2"}
                                     : VideoFrameLimit{8192, 4096, "H.264 level 6.2"};
}

namespace {

// A level's limits: H.264 in macroblocks (its Table A-1: MaxFS, MaxMBPS),
// HEVC Main tier in luma samples (its Table A.8: MaxLumaPs, MaxLumaSr). A
// side of the frame may be at most sqrt(8 x the frame limit) in either.
struct LevelLimit {
    int idc;
    const char* number;
    double frame, perSecond;
};
constexpr LevelLimit kH264Levels[] = {
    {10, "1", 99, 1485},         {11, "1.1", 396, 3000},       {12, "1.2", 396, 6000},
    {13, "1.3", 396, 11880},     {20, "2", 396, 11880},        {21, "2.1", 792, 19800},
    {22, "2.2", 1620, 20250},    {30, "3", 1620, 40500},       {31, "3.1", 3600, 108000},
    {32, "3.2", 5120, 216000},   {40, "4", 8192, 245760},      {41, "4.1", 8192, 245760},
    {42, "4.2", 8704, 522240},   {50, "5", 22080, 589824},     {51, "5.1", 36864, 983040},
    {52, "5.2", 36864, 2073600}, {60, "6", 139264, 4177920},   {61, "6.1", 139264, 8355840},
    {62, "6.2", 139264, 16711680}};
constexpr LevelLimit kHevcLevels[] = {
    {30, "1", 36864, 552960},           {60, "2", 122880, 3686400},         {63, "2.1", 245760, 7372800},
    {90, "3", 552960, 16588800},        {93, "3.1", 983040, 33177600},      {120, "4", 2228224, 66846720},
    {123, "4.1", 2228224, 133693440},   {150, "5", 8912896, 267386880},     {153, "5.1", 8912896, 534773760},
    {156, "5.2", 8912896, 1069547520},  {180, "6", 35651584, 1069547520},   {183, "6.1", 35651584, 2139095040},
    {186, "6.2", 35651584, 4278190080.0}};

}  // namespace

std::optional<VideoLevel> videoLevel(VideoCodec codec, int64_t width, int64_t height, double framesPerSecond) {
    const bool hevc = codec == VideoCodec::Hevc;
    // H.264 counts 16 x 16 macroblocks, HEVC luma samples.
    const double across = hevc ? double(width) : double((width + 15) / 16);
    const double down = hevc ? double(height) : double((height + 15) / 16);
    const double frame = across * down;
    for (const LevelLimit& level : hevc ? std::span<const LevelLimit>(kHevcLevels) : std::span<const LevelLimit>(kH264Levels)) {
        const double side = std::sqrt(8.0 * level.frame);
        if (frame <= level.frame && across <= side && down <= side && frame * framesPerSecond <= level.perSecond)
            return VideoLevel{level.idc, std::string(hevc ? "HEVC Main level " : "H.264 level ") + level.number};
    }
    return std::nullopt;
}

std::string videoHeightProblem(VideoCodec codec, int64_t height, double framesPerSecond) {
    if (height < 2 || height % 2) return "the output height must be even for 4:2:0 video, not " + std::to_string(height);
    const VideoFrameLimit limit = largestVideoFrame(codec);
    const int64_t most = std::min<int64_t>(limit.height, limit.width / 2);
    if (height > most)
        return "the output height " + std::to_string(height) + " gives frames of " + std::to_string(2 * height) + " x " +
               std::to_string(height) + "; " + limit.level + " takes at most " + std::to_string(limit.width) + " x " +
               std::to_string(limit.height) + ", so the height can be at most " + std::to_string(most);
    if (framesPerSecond > 0 && !videoLevel(codec, 2 * height, height, framesPerSecond)) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.6g", framesPerSecond);
        int64_t fits = most;
        while (fits > 2 && !videoLevel(codec, 2 * fits, fits, framesPerSecond)) fits -= 2;
        return "the output height " + std::to_string(height) + " gives frames of " + std::to_string(2 * height) +
               " x " + std::to_string(height) + " at " + rate + " fps, more than " + limit.level +
               ", the highest, decodes in a second; at that rate the height can be at most " + std::to_string(fits);
    }
    return "";
}

bool isEncoderPreset(const std::string& preset) {
    return std::find(kPresets.begin(), kPresets.end(), preset) != kPresets.end();
}

}  // namespace vistereo::media
