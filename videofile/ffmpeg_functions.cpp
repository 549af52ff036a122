// FFmpeg's libraries opened on first use. The media library is compiled
// against FFmpeg's headers but not linked to its libraries: each FFmpeg
// function the video readers and writer call is defined here with the
// header's own signature (the compiler refuses a C function declared twice
// with different parameters) and passes the call on to the real function,
// looked up once in the library opened by its soname.
//
// Why: linked, libavformat, libavcodec and libswscale bring 134 shared
// libraries that the dynamic loader opened and relocated at every start of
// the programs: a program linked to the rest of our libraries started in 8 ms,
// and in 34 ms with FFmpeg's added. Every photo conversion paid it without
// touching a video. With these and the image codecs opened on first use,
// "vistereo-cli --version" went from 130 ms to 5 ms (27 libraries instead of
// 227). Now only the first video or sound opened pays it.
//
// A program that also links FFmpeg itself still works: its calls land here
// and are passed on to the same, already loaded libraries.
#include "videofile/ffmpeg_support.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/spherical.h>
#include <libavutil/stereo3d.h>
}

#include <atomic>

#include "base/shared_libraries.h"

namespace vistereo::media::ff {
namespace {

// The group's libraries, in the order of `libraries()`'s sonames.
enum Library : size_t { Avutil, Swresample, Swscale, Avcodec, Avformat };

// The sonames of the major versions the headers describe: a library of
// another major version has another binary interface.
SharedLibraries& libraries() {
    static SharedLibraries group("FFmpeg's libraries", {"libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR),
                                                        "libswresample.so." AV_STRINGIFY(LIBSWRESAMPLE_VERSION_MAJOR),
                                                        "libswscale.so." AV_STRINGIFY(LIBSWSCALE_VERSION_MAJOR),
                                                        "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR),
                                                        "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR)});
    return group;
}

std::atomic<bool> quiet{false};

}  // namespace

const Fallible& loadLibraries() {
    const Fallible& loaded = libraries().load();
    if (loaded.ok() && quiet.load(std::memory_order_relaxed)) av_log_set_level(AV_LOG_QUIET);
    return loaded;
}

void silenceWhenLoaded() { quiet.store(true, std::memory_order_relaxed); }

}  // namespace vistereo::media::ff

// One forwarding definition: the real function is looked up on the first
// call (thread-safe, as every function-local static) and called with the
// same arguments.
#define FORWARD(library, result, name, parameters, arguments)                                \
    result name parameters {                                                                 \
        static const auto real = reinterpret_cast<decltype(&name)>(                          \
            vistereo::media::ff::libraries().function(vistereo::media::ff::library, #name)); \
        return real arguments;                                                               \
    }

extern "C" {

// libavutil
FORWARD(Avutil, AVAudioFifo*, av_audio_fifo_alloc, (enum AVSampleFormat sample_fmt, int channels, int nb_samples),
        (sample_fmt, channels, nb_samples))
FORWARD(Avutil, void, av_audio_fifo_free, (AVAudioFifo* af), (af))
FORWARD(Avutil, int, av_audio_fifo_read, (AVAudioFifo* af, void** data, int nb_samples), (af, data, nb_samples))
FORWARD(Avutil, int, av_audio_fifo_size, (AVAudioFifo* af), (af))
FORWARD(Avutil, int, av_audio_fifo_write, (AVAudioFifo* af, void** data, int nb_samples), (af, data, nb_samples))
FORWARD(Avutil, AVBufferRef*, av_buffer_create,
        (uint8_t* data, size_t size, void (*free)(void* opaque, uint8_t* data), void* opaque, int flags),
        (data, size, free, opaque, flags))
FORWARD(Avutil, int, av_channel_layout_copy, (AVChannelLayout* dst, const AVChannelLayout* src), (dst, src))
FORWARD(Avutil, void, av_channel_layout_default, (AVChannelLayout* ch_layout, int nb_channels),
        (ch_layout, nb_channels))
FORWARD(Avutil, const char*, av_color_primaries_name, (enum AVColorPrimaries primaries), (primaries))
FORWARD(Avutil, const char*, av_color_range_name, (enum AVColorRange range), (range))
FORWARD(Avutil, const char*, av_color_space_name, (enum AVColorSpace space), (space))
FORWARD(Avutil, const char*, av_color_transfer_name, (enum AVColorTransferCharacteristic transfer), (transfer))
FORWARD(Avutil, void, av_dict_free, (AVDictionary** m), (m))
FORWARD(Avutil, AVDictionaryEntry*, av_dict_get,
        (const AVDictionary* m, const char* key, const AVDictionaryEntry* prev, int flags), (m, key, prev, flags))
FORWARD(Avutil, int, av_dict_set, (AVDictionary** pm, const char* key, const char* value, int flags),
        (pm, key, value, flags))
FORWARD(Avutil, AVFrame*, av_frame_alloc, (void), ())
FORWARD(Avutil, AVFrame*, av_frame_clone, (const AVFrame* src), (src))
FORWARD(Avutil, int, av_frame_copy_props, (AVFrame* dst, const AVFrame* src), (dst, src))
FORWARD(Avutil, void, av_frame_free, (AVFrame** frame), (frame))
FORWARD(Avutil, int, av_frame_get_buffer, (AVFrame* frame, int align), (frame, align))
FORWARD(Avutil, AVFrameSideData*, av_frame_get_side_data, (const AVFrame* frame, enum AVFrameSideDataType type),
        (frame, type))
FORWARD(Avutil, int, av_frame_make_writable, (AVFrame* frame), (frame))
FORWARD(Avutil, void, av_frame_unref, (AVFrame* frame), (frame))
FORWARD(Avutil, void, av_free, (void* ptr), (ptr))
FORWARD(Avutil, int, av_get_bytes_per_sample, (enum AVSampleFormat sample_fmt), (sample_fmt))
FORWARD(Avutil, const char*, av_get_pix_fmt_name, (enum AVPixelFormat pix_fmt), (pix_fmt))
FORWARD(Avutil, void, av_log_set_level, (int level), (level))
FORWARD(Avutil, int, av_opt_set, (void* obj, const char* name, const char* val, int search_flags),
        (obj, name, val, search_flags))
FORWARD(Avutil, int, av_opt_set_double, (void* obj, const char* name, double val, int search_flags),
        (obj, name, val, search_flags))
FORWARD(Avutil, int, av_opt_set_int, (void* obj, const char* name, int64_t val, int search_flags),
        (obj, name, val, search_flags))
FORWARD(Avutil, AVContentLightMetadata*, av_content_light_metadata_alloc, (size_t* size), (size))
FORWARD(Avutil, AVMasteringDisplayMetadata*, av_mastering_display_metadata_alloc, (void), ())
FORWARD(Avutil, const AVPixFmtDescriptor*, av_pix_fmt_desc_get, (enum AVPixelFormat pix_fmt), (pix_fmt))
FORWARD(Avutil, AVSphericalMapping*, av_spherical_alloc, (size_t* size), (size))
FORWARD(Avutil, AVStereo3D*, av_stereo3d_alloc, (void), ())
FORWARD(Avutil, int, av_strerror, (int errnum, char* errbuf, size_t errbuf_size), (errnum, errbuf, errbuf_size))

// libswresample
FORWARD(Swresample, int, swr_alloc_set_opts2,
        (struct SwrContext** ps, AVChannelLayout* out_ch_layout, enum AVSampleFormat out_sample_fmt,
         int out_sample_rate, AVChannelLayout* in_ch_layout, enum AVSampleFormat in_sample_fmt, int in_sample_rate,
         int log_offset, void* log_ctx),
        (ps, out_ch_layout, out_sample_fmt, out_sample_rate, in_ch_layout, in_sample_fmt, in_sample_rate, log_offset,
         log_ctx))
FORWARD(Swresample, int, swr_convert,
        (struct SwrContext* s, uint8_t** out, int out_count, const uint8_t** in, int in_count),
        (s, out, out_count, in, in_count))
FORWARD(Swresample, void, swr_free, (struct SwrContext** s), (s))
FORWARD(Swresample, int, swr_get_out_samples, (struct SwrContext* s, int in_samples), (s, in_samples))
FORWARD(Swresample, int, swr_init, (struct SwrContext* s), (s))

// libswscale
FORWARD(Swscale, struct SwsContext*, sws_alloc_context, (void), ())
FORWARD(Swscale, void, sws_freeContext, (struct SwsContext* swsContext), (swsContext))
FORWARD(Swscale, const int*, sws_getCoefficients, (int colorspace), (colorspace))
FORWARD(Swscale, int, sws_init_context, (struct SwsContext* sws_context, SwsFilter* srcFilter, SwsFilter* dstFilter),
        (sws_context, srcFilter, dstFilter))
FORWARD(Swscale, int, sws_scale,
        (struct SwsContext* c, const uint8_t* const srcSlice[], const int srcStride[], int srcSliceY, int srcSliceH,
         uint8_t* const dst[], const int dstStride[]),
        (c, srcSlice, srcStride, srcSliceY, srcSliceH, dst, dstStride))
FORWARD(Swscale, int, sws_setColorspaceDetails,
        (struct SwsContext* c, const int inv_table[4], int srcRange, const int table[4], int dstRange, int brightness,
         int contrast, int saturation),
        (c, inv_table, srcRange, table, dstRange, brightness, contrast, saturation))

// libavcodec
FORWARD(Avcodec, AVPacket*, av_packet_alloc, (void), ())
FORWARD(Avcodec, void, av_packet_free, (AVPacket** pkt), (pkt))
FORWARD(Avcodec, void, av_packet_rescale_ts, (AVPacket* pkt, AVRational tb_src, AVRational tb_dst),
        (pkt, tb_src, tb_dst))
FORWARD(Avcodec, void, av_packet_unref, (AVPacket* pkt), (pkt))
FORWARD(Avcodec, AVCodecContext*, avcodec_alloc_context3, (const AVCodec* codec), (codec))
FORWARD(Avcodec, int, avcodec_enum_to_chroma_pos, (int* xpos, int* ypos, enum AVChromaLocation pos), (xpos, ypos, pos))
FORWARD(Avcodec, const AVCodec*, avcodec_find_decoder, (enum AVCodecID id), (id))
FORWARD(Avcodec, const AVCodec*, avcodec_find_encoder, (enum AVCodecID id), (id))
FORWARD(Avcodec, const AVCodec*, avcodec_find_encoder_by_name, (const char* name), (name))
FORWARD(Avcodec, void, avcodec_flush_buffers, (AVCodecContext* avctx), (avctx))
FORWARD(Avcodec, void, avcodec_free_context, (AVCodecContext** avctx), (avctx))
FORWARD(Avcodec, const char*, avcodec_get_name, (enum AVCodecID id), (id))
FORWARD(Avcodec, int, avcodec_open2, (AVCodecContext* avctx, const AVCodec* codec, AVDictionary** options),
        (avctx, codec, options))
FORWARD(Avcodec, int, avcodec_parameters_copy, (AVCodecParameters* dst, const AVCodecParameters* src), (dst, src))
FORWARD(Avcodec, int, avcodec_parameters_from_context, (AVCodecParameters* par, const AVCodecContext* codec),
        (par, codec))
FORWARD(Avcodec, int, avcodec_parameters_to_context, (AVCodecContext* codec, const AVCodecParameters* par),
        (codec, par))
FORWARD(Avcodec, int, avcodec_receive_frame, (AVCodecContext* avctx, AVFrame* frame), (avctx, frame))
FORWARD(Avcodec, int, avcodec_receive_packet, (AVCodecContext* avctx, AVPacket* avpkt), (avctx, avpkt))
FORWARD(Avcodec, int, avcodec_send_frame, (AVCodecContext* avctx, const AVFrame* frame), (avctx, frame))
FORWARD(Avcodec, int, avcodec_send_packet, (AVCodecContext* avctx, const AVPacket* avpkt), (avctx, avpkt))

// libavformat
FORWARD(Avformat, int, av_find_best_stream,
        (AVFormatContext* ic, enum AVMediaType type, int wanted_stream_nb, int related_stream,
         const AVCodec** decoder_ret, int flags),
        (ic, type, wanted_stream_nb, related_stream, decoder_ret, flags))
FORWARD(Avformat, uint8_t*, av_stream_get_side_data,
        (const AVStream* stream, enum AVPacketSideDataType type, size_t* size), (stream, type, size))
FORWARD(Avformat, AVRational, av_guess_frame_rate, (AVFormatContext* ctx, AVStream* stream, AVFrame* frame),
        (ctx, stream, frame))
FORWARD(Avformat, int, av_interleaved_write_frame, (AVFormatContext* s, AVPacket* pkt), (s, pkt))
FORWARD(Avformat, int, av_read_frame, (AVFormatContext* s, AVPacket* pkt), (s, pkt))
FORWARD(Avformat, int, av_seek_frame, (AVFormatContext* s, int stream_index, int64_t timestamp, int flags),
        (s, stream_index, timestamp, flags))
FORWARD(Avformat, int, av_stream_add_side_data,
        (AVStream* st, enum AVPacketSideDataType type, uint8_t* data, size_t size), (st, type, data, size))
FORWARD(Avformat, int, av_write_trailer, (AVFormatContext* s), (s))
FORWARD(Avformat, int, avformat_alloc_output_context2,
        (AVFormatContext** ctx, const AVOutputFormat* oformat, const char* format_name, const char* filename),
        (ctx, oformat, format_name, filename))
FORWARD(Avformat, void, avformat_close_input, (AVFormatContext** s), (s))
FORWARD(Avformat, int, avformat_find_stream_info, (AVFormatContext* ic, AVDictionary** options), (ic, options))
FORWARD(Avformat, void, avformat_free_context, (AVFormatContext* s), (s))
FORWARD(Avformat, AVStream*, avformat_new_stream, (AVFormatContext* s, const AVCodec* c), (s, c))
FORWARD(Avformat, int, avformat_open_input,
        (AVFormatContext** ps, const char* url, const AVInputFormat* fmt, AVDictionary** options),
        (ps, url, fmt, options))
FORWARD(Avformat, int, avformat_query_codec, (const AVOutputFormat* ofmt, enum AVCodecID codec_id, int std_compliance),
        (ofmt, codec_id, std_compliance))
FORWARD(Avformat, int, avformat_write_header, (AVFormatContext* s, AVDictionary** options), (s, options))
FORWARD(Avformat, int, avio_closep, (AVIOContext** s), (s))
FORWARD(Avformat, int, avio_open, (AVIOContext** s, const char* url, int flags), (s, url, flags))
}  // extern "C"
