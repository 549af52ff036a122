// What the video files' readers and writer share of FFmpeg: owning handles
// for its contexts, its error texts, timestamps in seconds, and the opening
// of an input file with the decoder of one of its streams. Included only by
// the media layer's own sources.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <filesystem>
#include <memory>
#include <string>

#include "base/fallible.h"

namespace vistereo::media::ff {

// Opens FFmpeg's libraries the first time it is asked; good when they are
// open, else the error "FFmpeg's libraries could not be loaded: <the
// loader's reason>".
// What opens a file or sets up a writer asks first, so that a missing
// library is an error on its result rather than an exception from within.
const Fallible& loadLibraries();
// The libraries print nothing of their own once opened.
void silenceWhenLoaded();

// "Invalid data found when processing input" for AVERROR_INVALIDDATA.
std::string errorText(int code);

struct InputCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameCloser {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketCloser {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerCloser {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct ResamplerCloser {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;
using Codec = std::unique_ptr<AVCodecContext, CodecCloser>;
using Frame = std::unique_ptr<AVFrame, FrameCloser>;
using Packet = std::unique_ptr<AVPacket, PacketCloser>;
using Scaler = std::unique_ptr<SwsContext, ScalerCloser>;
using Resampler = std::unique_ptr<SwrContext, ResamplerCloser>;

inline Frame makeFrame() { return Frame(av_frame_alloc()); }
inline Packet makePacket() { return Packet(av_packet_alloc()); }

// A timestamp in seconds (0 for AV_NOPTS_VALUE).
double seconds(int64_t timestamp, AVRational timeBase);
// Seconds as a timestamp of `timeBase`, rounded to the nearest.
int64_t timestamp(double seconds, AVRational timeBase);

// An input file opened and its streams probed; `error` says why not.
struct OpenedInput : Fallible {
    Input input;
};
OpenedInput openInput(const std::filesystem::path& path);

// The decoder of `stream`, opened with `threads` threads (0: FFmpeg's choice).
struct OpenedDecoder : Fallible {
    Codec decoder;
};
OpenedDecoder openDecoder(const AVStream* stream, int threads);

// The YCbCr matrix of swscale for a stream's colour matrix tag (BT.709 for
// an untagged stream from 720 lines up, BT.601 below), and its name.
int scalerMatrix(AVColorSpace space, int height);
const char* matrixName(int scalerMatrix);

// Sets the YCbCr matrix and ranges of a converter between YCbCr and RGB:
// `yuvMatrix` (SWS_CS_*) and `yuvFullRange` on the YCbCr side, full range on
// the RGB side, whichever of the two is the source. False when the
// converter takes no such details (RGB to RGB).
bool setYuvConversion(SwsContext* scaler, bool yuvIsSource, int yuvMatrix, bool yuvFullRange);

// A converter of frames from one size and layout to another with swscale's
// `flags`; a YCbCr 4:2:0 target gets its chroma sited left (MPEG-2 and
// H.264's default), as frames are tagged unless they say otherwise. Empty
// when swscale cannot convert between the two.
Scaler makeScaler(int fromWidth, int fromHeight, AVPixelFormat from, int toWidth, int toHeight, AVPixelFormat to,
                  int flags);

// The first presentation time of a stream in its own time base: its start
// time, else 0.
int64_t streamStart(const AVStream* stream);

}  // namespace vistereo::media::ff
