#include "videofile/video_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
}

#include "videofile/ffmpeg_support.h"

namespace vistereo::media {

struct VideoReader::State {
    ff::Input input;
    ff::Codec decoder;
    AVStream* stream = nullptr;
    int64_t start = 0;  // the first frame's time in the stream's time base
    ff::Packet packet;  // made once the file is open: FFmpeg's libraries are loaded by then
    ff::Frame frame;
    ff::Scaler scaler;
    // What the scaler was made for: a change of size or format mid-stream
    // makes a new one.
    int scalerWidth = 0, scalerHeight = 0, scalerFormat = -1;
    int matrix = SWS_CS_ITU709;
    bool fullRange = false;
    FrameLayout layout = FrameLayout::Bgr;
    YuvColour colour;  // of the planes read, but for the range and siting, which each frame states
    HdrLight light;    // the container's, then the frames'
    bool draining = false;   // the end of the file was reached and the decoder is being emptied
    double skipBefore = -1;  // after a seek: frames before this time are decoded and dropped
    double lastPacketSeconds = 0;  // for a decoder failure that names no frame
    std::vector<FrameDamage> damage;

    double secondsOf(int64_t ts) const { return ff::seconds(ts == AV_NOPTS_VALUE ? start : ts - start, stream->time_base); }
};

namespace {

const char* nameOr(const char* name) { return name ? name : "unknown"; }

bool fullRangeOf(const AVFrame& frame) {
    if (frame.color_range == AVCOL_RANGE_JPEG) return true;
    switch (frame.format) {  // the JPEG flavours of YCbCr are full range whatever the tag says
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P: return true;
        default: return false;
    }
}

// The colour tag of swscale's matrix, for a stream that carries none.
int matrixTag(int scalerMatrix) {
    switch (scalerMatrix) {
        case SWS_CS_ITU709: return AVCOL_SPC_BT709;
        case SWS_CS_SMPTE240M: return AVCOL_SPC_SMPTE240M;
        case SWS_CS_FCC: return AVCOL_SPC_FCC;
        case SWS_CS_BT2020: return AVCOL_SPC_BT2020_NCL;
        default: return AVCOL_SPC_SMPTE170M;
    }
}

// The colour of a stream's planes: its own tags, and for those it lacks what
// its matrix implies (the primaries and transfer of BT.709 or of BT.601).
YuvColour streamColour(const AVCodecParameters& par, int scalerMatrix, bool fullRange) {
    YuvColour c;
    c.matrix = par.color_space == AVCOL_SPC_UNSPECIFIED ? matrixTag(scalerMatrix) : par.color_space;
    const bool bt709 = scalerMatrix == SWS_CS_ITU709;
    c.primaries = par.color_primaries == AVCOL_PRI_UNSPECIFIED ? (bt709 ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M)
                                                               : par.color_primaries;
    c.transfer = par.color_trc == AVCOL_TRC_UNSPECIFIED ? (bt709 ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M)
                                                       : par.color_trc;
    c.fullRange = fullRange;
    c.chromaSiting = par.chroma_location == AVCHROMA_LOC_UNSPECIFIED ? AVCHROMA_LOC_LEFT : par.chroma_location;
    return c;
}

// The planes of a decoded 4:2:0 frame as they are (8-bit, or 10-bit in 16):
// views of its buffers, which a new reference to the frame keeps.
bool viewPlanes(const AVFrame& f, YuvPlanes& out, int bits = 8) {
    AVFrame* held = av_frame_clone(&f);
    if (!held) return false;
    auto owner = std::shared_ptr<AVFrame>(held, [](AVFrame* p) { av_frame_free(&p); });
    const int cw = (f.width + 1) / 2, ch = (f.height + 1) / 2, type = bits > 8 ? CV_16UC1 : CV_8UC1;
    out.y = cv::Mat(f.height, f.width, type, held->data[0], static_cast<size_t>(held->linesize[0]));
    out.cb = cv::Mat(ch, cw, type, held->data[1], static_cast<size_t>(held->linesize[1]));
    out.cr = cv::Mat(ch, cw, type, held->data[2], static_cast<size_t>(held->linesize[2]));
    out.bits = bits;
    out.owner = std::move(owner);
    return true;
}

double ratio(AVRational r) { return r.den ? static_cast<double>(r.num) / r.den : 0.0; }

// The mastering display and content light of FFmpeg's side data, into `light`.
void takeDisplay(const AVMasteringDisplayMetadata& m, HdrLight& light) {
    if (!m.has_primaries && !m.has_luminance) return;
    HdrLight::Display d;
    for (int k = 0; k < 2; ++k) {
        d.red[k] = ratio(m.display_primaries[0][k]);
        d.green[k] = ratio(m.display_primaries[1][k]);
        d.blue[k] = ratio(m.display_primaries[2][k]);
        d.white[k] = ratio(m.white_point[k]);
    }
    d.minLuminance = ratio(m.min_luminance);
    d.maxLuminance = ratio(m.max_luminance);
    light.display = d;
}
void takeContentLight(const AVContentLightMetadata& c, HdrLight& light) {
    light.contentLight = std::pair<int, int>(static_cast<int>(c.MaxCLL), static_cast<int>(c.MaxFALL));
}

}  // namespace

double YuvColour::chromaX() const {
    int x = 0, y = 0;
    if (avcodec_enum_to_chroma_pos(&x, &y, static_cast<AVChromaLocation>(chromaSiting)) < 0) return 0.0;
    return x / 256.0;
}

double YuvColour::chromaY() const {
    int x = 0, y = 0;
    if (avcodec_enum_to_chroma_pos(&x, &y, static_cast<AVChromaLocation>(chromaSiting)) < 0) return 0.5;
    return y / 256.0;
}

std::string YuvColour::describe() const {
    const char* name = av_color_space_name(static_cast<AVColorSpace>(matrix));
    std::string text = matrix == AVCOL_SPC_BT709                                     ? "BT.709"
                       : matrix == AVCOL_SPC_SMPTE170M || matrix == AVCOL_SPC_BT470BG ? "BT.601"
                       : name                                                         ? name
                                                                                      : "unknown matrix";
    return text + (fullRange ? ", full range" : ", limited range");
}

const char* hdrTransferName(const YuvColour& colour) {
    if (colour.transfer == AVCOL_TRC_ARIB_STD_B67) return "HLG";
    if (colour.transfer == AVCOL_TRC_SMPTE2084) return "PQ";
    return nullptr;
}

std::string transferName(const YuvColour& colour) {
    const char* name = av_color_transfer_name(static_cast<AVColorTransferCharacteristic>(colour.transfer));
    return name ? name : "unknown";
}

bool YuvColour::sameConversion(const YuvColour& other) const {
    const auto coefficients = [](int m) { return m == AVCOL_SPC_BT470BG ? int(AVCOL_SPC_SMPTE170M) : m; };
    return coefficients(matrix) == coefficients(other.matrix) && fullRange == other.fullRange;
}

YuvPlanes YuvPlanes::allocate(int width, int height, const YuvColour& colour, int bits) {
    YuvPlanes p;
    const int type = bits > 8 ? CV_16UC1 : CV_8UC1;
    p.y.create(height, width, type);
    p.cb.create((height + 1) / 2, (width + 1) / 2, type);
    p.cr.create(p.cb.size(), type);
    p.colour = colour;
    p.bits = bits > 8 ? 10 : 8;
    return p;
}

std::string HdrLight::x265Params() const {
    std::string text;
    char part[200];
    if (display) {
        const auto at = [](const double (&xy)[2]) {
            return std::to_string(std::lround(xy[0] * 50000)) + "," + std::to_string(std::lround(xy[1] * 50000));
        };
        std::snprintf(part, sizeof part, "master-display=G(%s)B(%s)R(%s)WP(%s)L(%lld,%lld)", at(display->green).c_str(),
                      at(display->blue).c_str(), at(display->red).c_str(), at(display->white).c_str(),
                      static_cast<long long>(std::llround(display->maxLuminance * 10000)),
                      static_cast<long long>(std::llround(display->minLuminance * 10000)));
        text += part;
    }
    if (contentLight) {
        std::snprintf(part, sizeof part, "%smax-cll=%d,%d", text.empty() ? "" : ":", contentLight->first,
                      contentLight->second);
        text += part;
    }
    return text;
}

std::string HdrLight::describe() const {
    std::string text;
    char part[120];
    if (display) {
        std::snprintf(part, sizeof part, "mastering display %.4g-%.6g cd/m2", display->minLuminance, display->maxLuminance);
        text += part;
    }
    if (contentLight) {
        std::snprintf(part, sizeof part, "%sMaxCLL %d, MaxFALL %d", text.empty() ? "" : ", ", contentLight->first,
                      contentLight->second);
        text += part;
    }
    return text;
}

namespace {

// The turn a stream's display matrix asks for, anticlockwise, as FFmpeg's
// av_display_rotation_get works it out (the matrix's first two columns,
// each scaled to unit length); 0 without a matrix.
double displayRotation(const AVStream* stream) {
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(int32_t)) return 0.0;
    int32_t m[9];
    std::memcpy(m, data, sizeof m);
    const double scale0 = std::hypot(double(m[0]), double(m[3])), scale1 = std::hypot(double(m[1]), double(m[4]));
    if (scale0 == 0.0 || scale1 == 0.0) return 0.0;
    const double degrees = -std::atan2(m[1] / scale1, m[0] / scale0) * 180.0 / M_PI;
    return degrees == 0.0 ? 0.0 : degrees;  // never -0
}

}  // namespace

VideoReader::VideoReader(const std::filesystem::path& path, int threads, FrameLayout layout)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.layout = layout;
    ff::OpenedInput opened = ff::openInput(path);
    if (!opened.ok()) {
        opened_.error = opened.error;
        return;
    }
    s.input = std::move(opened.input);
    s.packet = ff::makePacket();
    s.frame = ff::makeFrame();
    const int videoIndex = av_find_best_stream(s.input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (videoIndex < 0) {
        opened_.error = "it has no video stream";
        return;
    }
    s.stream = s.input->streams[videoIndex];
    for (unsigned k = 0; k < s.input->nb_streams; ++k)
        if (static_cast<int>(k) != videoIndex) s.input->streams[k]->discard = AVDISCARD_ALL;
    ff::OpenedDecoder decoder = ff::openDecoder(s.stream, threads);
    if (!decoder.ok()) {
        opened_.error = decoder.error;
        return;
    }
    s.decoder = std::move(decoder.decoder);
    s.start = ff::streamStart(s.stream);

    const AVCodecParameters& par = *s.stream->codecpar;
    VideoFacts& f = facts_;
    f.width = par.width;
    f.height = par.height;
    const AVRational rate = av_guess_frame_rate(s.input.get(), s.stream, nullptr);
    f.frameRate = FrameRate{rate.num, rate.den ? rate.den : 1};
    if (s.stream->duration != AV_NOPTS_VALUE) f.durationSeconds = ff::seconds(s.stream->duration, s.stream->time_base);
    else if (s.input->duration != AV_NOPTS_VALUE) f.durationSeconds = s.input->duration / double(AV_TIME_BASE);
    f.frameCount = s.stream->nb_frames > 0 ? s.stream->nb_frames
                                            : static_cast<int64_t>(std::llround(f.durationSeconds * f.frameRate.value()));
    f.codec = avcodec_get_name(par.codec_id);
    const auto format = static_cast<AVPixelFormat>(par.format);
    f.pixelFormat = nameOr(av_get_pix_fmt_name(format));
    if (const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format)) f.bitDepth = d->comp[0].depth;
    f.colourMatrix = nameOr(av_color_space_name(par.color_space));
    f.colourRange = nameOr(av_color_range_name(par.color_range));
    f.colourPrimaries = nameOr(av_color_primaries_name(par.color_primaries));
    f.colourTransfer = nameOr(av_color_transfer_name(par.color_trc));
    s.matrix = ff::scalerMatrix(par.color_space, par.height);
    AVFrame probe{};
    probe.format = par.format;
    probe.color_range = par.color_range;
    s.fullRange = fullRangeOf(probe);
    f.conversion = std::string(ff::matrixName(s.matrix)) + (s.fullRange ? ", full range" : ", limited range");
    s.colour = f.yuv = streamColour(par, s.matrix, s.fullRange);
    f.displayRotationDegrees = displayRotation(s.stream);
    size_t sideSize = 0;
    if (const uint8_t* d = av_stream_get_side_data(s.stream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, &sideSize);
        d && sideSize >= sizeof(AVMasteringDisplayMetadata))
        takeDisplay(*reinterpret_cast<const AVMasteringDisplayMetadata*>(d), f.light);
    if (const uint8_t* d = av_stream_get_side_data(s.stream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, &sideSize);
        d && sideSize >= sizeof(AVContentLightMetadata))
        takeContentLight(*reinterpret_cast<const AVContentLightMetadata*>(d), f.light);
    s.light = f.light;
    if (const int audio = av_find_best_stream(s.input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0); audio >= 0) {
        const AVCodecParameters& a = *s.input->streams[audio]->codecpar;
        f.hasAudio = true;
        f.audioSampleRate = a.sample_rate;
        f.audioChannels = a.ch_layout.nb_channels;
        f.audioCodec = avcodec_get_name(a.codec_id);
    }

    if (f.width <= 0 || f.height <= 0 || f.frameRate.num <= 0) {
        opened_.error = "its video stream states no frame size or frame rate";
        return;
    }
    if (f.bitDepth > 8 && !(layout == FrameLayout::DeepPlanes && f.bitDepth == 10))
        notes_.push_back(std::to_string(f.bitDepth) + "-bit video (" + f.pixelFormat +
                         ") is converted to 8 bits per channel");
    if (par.color_space == AVCOL_SPC_UNSPECIFIED && par.format != AV_PIX_FMT_NONE && !(av_pix_fmt_desc_get(format)->flags & AV_PIX_FMT_FLAG_RGB))
        notes_.push_back("the video carries no colour matrix; its colours are read as " + f.conversion);
}

VideoReader::~VideoReader() = default;

bool VideoReader::seek(double seconds) {
    State& s = *state_;
    if (!s.stream || !s.decoder) return false;
    const double halfFrame = 0.5 / facts_.frameRate.value();
    const int64_t target = s.start + ff::timestamp(std::max(0.0, seconds), s.stream->time_base);
    if (av_seek_frame(s.input.get(), s.stream->index, target, AVSEEK_FLAG_BACKWARD) < 0 &&
        av_seek_frame(s.input.get(), s.stream->index, s.start, AVSEEK_FLAG_BACKWARD) < 0)
        return false;
    avcodec_flush_buffers(s.decoder.get());
    s.draining = false;
    s.skipBefore = seconds - halfFrame;
    return true;
}

VideoReader::Read VideoReader::read(VideoFrame& out) {
    State& s = *state_;
    if (!s.decoder) return Read::Failed;
    for (;;) {
        const int received = avcodec_receive_frame(s.decoder.get(), s.frame.get());
        if (received == AVERROR_EOF) return Read::End;
        if (received == 0) {
            AVFrame& f = *s.frame;
            const double at = s.secondsOf(f.best_effort_timestamp);
            if (f.decode_error_flags || (f.flags & AV_FRAME_FLAG_CORRUPT))
                s.damage.push_back({at, "the frame decoded with errors and was patched up by the decoder"});
            if (at < s.skipBefore) {
                av_frame_unref(&f);
                continue;
            }
            s.skipBefore = -1;
            if (const AVFrameSideData* d = av_frame_get_side_data(&f, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA))
                takeDisplay(*reinterpret_cast<const AVMasteringDisplayMetadata*>(d->data), s.light);
            if (const AVFrameSideData* d = av_frame_get_side_data(&f, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL))
                takeContentLight(*reinterpret_cast<const AVContentLightMetadata*>(d->data), s.light);
            const bool converted = s.layout == FrameLayout::Bgr ? toBgr(f, out.bgr) : toPlanes(f, out.planes);
            if (!converted) {
                av_frame_unref(&f);
                return Read::Failed;
            }
            out.seconds = at;
            out.index = std::llround(at * facts_.frameRate.value());
            av_frame_unref(&f);
            return Read::Frame;
        }
        if (received != AVERROR(EAGAIN)) {
            s.damage.push_back({s.lastPacketSeconds, "the decoder failed: " + ff::errorText(received)});
            continue;
        }
        if (s.draining) return Read::End;  // nothing more will come
        const int got = av_read_frame(s.input.get(), s.packet.get());
        if (got == AVERROR_EOF) {
            s.draining = true;
            avcodec_send_packet(s.decoder.get(), nullptr);
            continue;
        }
        if (got < 0) {
            failed_.error = "it cannot be read further (" + ff::errorText(got) + ")";
            return Read::Failed;
        }
        if (s.packet->stream_index == s.stream->index) {
            s.lastPacketSeconds = s.secondsOf(s.packet->pts);
            const int sent = avcodec_send_packet(s.decoder.get(), s.packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN))
                s.damage.push_back({s.lastPacketSeconds, "the decoder refused a packet: " + ff::errorText(sent)});
        }
        av_packet_unref(s.packet.get());
    }
}

// A converter from the decoded frames' layout to `target`, made anew when
// the frames change size or layout mid-stream.
bool VideoReader::scalerFor(const AVFrame& f, int target) {
    State& s = *state_;
    if (s.scaler && f.width == s.scalerWidth && f.height == s.scalerHeight && f.format == s.scalerFormat) return true;
    const bool rgb = target == AV_PIX_FMT_BGR24;
    s.scaler = ff::makeScaler(f.width, f.height, static_cast<AVPixelFormat>(f.format), facts_.width, facts_.height,
                              static_cast<AVPixelFormat>(target), SWS_BILINEAR);
    const char* name = nameOr(av_get_pix_fmt_name(static_cast<AVPixelFormat>(f.format)));
    if (!s.scaler) {
        failed_.error = std::string("cannot convert its ") + name +
                 (rgb ? " frames to BGR" : target == AV_PIX_FMT_YUV420P ? " frames to 8-bit 4:2:0 planes" : " frames to 10-bit 4:2:0 planes");
        return false;
    }
    if (rgb) {
        ff::setYuvConversion(s.scaler.get(), true, s.matrix, fullRangeOf(f));
    } else {
        // YCbCr to YCbCr: the numbers keep their range; no matrix is applied.
        const int* table = sws_getCoefficients(s.matrix);
        sws_setColorspaceDetails(s.scaler.get(), table, fullRangeOf(f), table, fullRangeOf(f), 0, 1 << 16, 1 << 16);
    }
    s.scalerWidth = f.width, s.scalerHeight = f.height, s.scalerFormat = f.format;
    return true;
}

bool VideoReader::toBgr(const AVFrame& f, cv::Mat& bgr) {
    if (!scalerFor(f, AV_PIX_FMT_BGR24)) return false;
    // A buffer someone else still holds gets a fresh one (create() alone would keep it when the size fits).
    if (bgr.u && bgr.u->refcount > 1) bgr.release();
    bgr.create(facts_.height, facts_.width, CV_8UC3);
    uint8_t* planes[4] = {bgr.data, nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(bgr.step), 0, 0, 0};
    sws_scale(state_->scaler.get(), f.data, f.linesize, 0, f.height, planes, strides);
    return true;
}

bool VideoReader::toPlanes(const AVFrame& f, YuvPlanes& out) {
    State& s = *state_;
    YuvColour colour = s.colour;
    colour.fullRange = fullRangeOf(f);
    const bool deep = s.layout == FrameLayout::DeepPlanes;
    const bool asDecoded = (deep ? f.format == AV_PIX_FMT_YUV420P10LE
                                 : f.format == AV_PIX_FMT_YUV420P || f.format == AV_PIX_FMT_YUVJ420P) &&
                           f.width == facts_.width && f.height == facts_.height;
    if (asDecoded) {
        if (f.chroma_location != AVCHROMA_LOC_UNSPECIFIED) colour.chromaSiting = f.chroma_location;
        out = {};
        if (!viewPlanes(f, out, deep ? 10 : 8)) {
            failed_.error = "out of memory for a frame";
            return false;
        }
        out.colour = colour;
        return true;
    }
    if (!scalerFor(f, deep ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P)) return false;
    colour.chromaSiting = AVCHROMA_LOC_LEFT;
    out = YuvPlanes::allocate(facts_.width, facts_.height, colour, deep ? 10 : 8);
    uint8_t* planes[4] = {out.y.data, out.cb.data, out.cr.data, nullptr};
    int strides[4] = {static_cast<int>(out.y.step), static_cast<int>(out.cb.step), static_cast<int>(out.cr.step), 0};
    sws_scale(s.scaler.get(), f.data, f.linesize, 0, f.height, planes, strides);
    return true;
}

std::vector<FrameDamage> VideoReader::takeDamage() { return std::exchange(state_->damage, {}); }

const HdrLight& VideoReader::light() const { return state_->light; }

void silenceVideoLibraries() { ff::silenceWhenLoaded(); }

std::string formatMediaTime(double seconds) {
    const bool negative = seconds < 0;
    const long long ms = std::llround(std::fabs(seconds) * 1000.0);
    const long long h = ms / 3600000, m = ms / 60000 % 60, s = ms / 1000 % 60, frac = ms % 1000;
    char text[48];
    if (h > 0) std::snprintf(text, sizeof text, "%s%lld:%02lld:%02lld.%03lld", negative ? "-" : "", h, m, s, frac);
    else std::snprintf(text, sizeof text, "%s%lld:%02lld.%03lld", negative ? "-" : "", m, s, frac);
    return text;
}

std::optional<double> parseMediaTime(const std::string& text) {
    double total = 0.0;
    size_t start = 0;
    for (int field = 0;; ++field) {
        const size_t colon = text.find(':', start);
        const std::string part = text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        const bool last = colon == std::string::npos;
        // Whole minutes and hours before the last colon; seconds after it.
        if (part.empty() || field > 2 || part.find_first_not_of(last ? "0123456789." : "0123456789") != std::string::npos ||
            std::count(part.begin(), part.end(), '.') > 1 || part == ".")
            return std::nullopt;
        total = total * 60.0 + std::strtod(part.c_str(), nullptr);
        if (last) break;
        start = colon + 1;
    }
    if (!std::isfinite(total)) return std::nullopt;
    return total;
}

}  // namespace vistereo::media
