#include "videofile/ffmpeg_support.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <cmath>

#include "base/regular_file.h"

namespace vistereo::media::ff {

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

double seconds(int64_t ts, AVRational timeBase) {
    if (ts == AV_NOPTS_VALUE) return 0.0;
    return static_cast<double>(ts) * av_q2d(timeBase);
}

int64_t timestamp(double s, AVRational timeBase) {
    return static_cast<int64_t>(std::llround(s / av_q2d(timeBase)));
}

OpenedInput openInput(const std::filesystem::path& path) {
    OpenedInput out;
    if (const Fallible& loaded = loadLibraries(); !loaded.ok()) {
        out.error = loaded.error;
        return out;
    }
    // Refused by its type first: FFmpeg would wait on a FIFO for ever.
    if (const FileLookup lookup = lookUpRegularFile(path, "a video file"); !lookup.ok()) {
        out.error = lookup.error;
        return out;
    }
    AVFormatContext* raw = nullptr;
    if (const int code = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); code < 0) {
        out.error = errorText(code);
        return out;
    }
    Input input(raw);
    if (const int code = avformat_find_stream_info(input.get(), nullptr); code < 0) {
        out.error = "its streams cannot be read (" + errorText(code) + ")";
        return out;
    }
    out.input = std::move(input);
    return out;
}

OpenedDecoder openDecoder(const AVStream* stream, int threads) {
    OpenedDecoder out;
    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder) {
        out.error = std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id);
        return out;
    }
    Codec codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0) {
        out.error = "cannot set up the decoder";
        return out;
    }
    codec->pkt_timebase = stream->time_base;
    codec->thread_count = threads;
    codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (const int code = avcodec_open2(codec.get(), decoder, nullptr); code < 0) {
        out.error = std::string("cannot open the ") + decoder->name + " decoder (" + errorText(code) + ")";
        return out;
    }
    out.decoder = std::move(codec);
    return out;
}

int scalerMatrix(AVColorSpace space, int height) {
    switch (space) {
        case AVCOL_SPC_BT709: return SWS_CS_ITU709;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
        case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
        case AVCOL_SPC_FCC: return SWS_CS_FCC;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
        default: return height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

const char* matrixName(int matrix) {
    switch (matrix) {
        case SWS_CS_ITU709: return "BT.709";
        case SWS_CS_SMPTE240M: return "SMPTE 240M";
        case SWS_CS_FCC: return "FCC";
        case SWS_CS_BT2020: return "BT.2020";
        default: return "BT.601";
    }
}

bool setYuvConversion(SwsContext* scaler, bool yuvIsSource, int yuvMatrix, bool yuvFullRange) {
    const int* yuv = sws_getCoefficients(yuvMatrix);
    const int* rgb = sws_getCoefficients(SWS_CS_DEFAULT);  // not used on the RGB side
    const int fromRange = yuvIsSource ? yuvFullRange : 1, toRange = yuvIsSource ? 1 : yuvFullRange;
    return sws_setColorspaceDetails(scaler, yuvIsSource ? yuv : rgb, fromRange, yuvIsSource ? rgb : yuv, toRange, 0,
                                    1 << 16, 1 << 16) >= 0;
}

Scaler makeScaler(int fromWidth, int fromHeight, AVPixelFormat from, int toWidth, int toHeight, AVPixelFormat to,
                  int flags) {
    Scaler scaler(sws_alloc_context());
    if (!scaler) return scaler;
    SwsContext* s = scaler.get();
    av_opt_set_int(s, "srcw", fromWidth, 0);
    av_opt_set_int(s, "srch", fromHeight, 0);
    av_opt_set_int(s, "src_format", from, 0);
    av_opt_set_int(s, "dstw", toWidth, 0);
    av_opt_set_int(s, "dsth", toHeight, 0);
    av_opt_set_int(s, "dst_format", to, 0);
    av_opt_set_int(s, "sws_flags", flags, 0);
    if (to == AV_PIX_FMT_YUV420P) {  // in 1/256 of a luma sample: on the column, between the rows
        av_opt_set_int(s, "dst_h_chr_pos", 0, 0);
        av_opt_set_int(s, "dst_v_chr_pos", 128, 0);
    }
    if (sws_init_context(s, nullptr, nullptr) < 0) scaler.reset();
    return scaler;
}

int64_t streamStart(const AVStream* stream) {
    return stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
}

}  // namespace vistereo::media::ff
