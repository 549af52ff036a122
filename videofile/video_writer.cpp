#include "videofile/video_writer.h"

#include <algorithm>
#include <array>
#include <cmath>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/spherical.h>
#include <libavutil/stereo3d.h>
}

#include "videofile/ffmpeg_support.h"

namespace vistereo::media {
namespace {

constexpr std::array<const char*, 10> kPresets{"ultrafast", "superfast", "veryfast", "faster", "fast",
                                               "medium",    "slow",      "slower",   "veryslow", "placebo"};

// Sound is written ahead of the pictures by this much, so that the muxer
// interleaves the two without holding either back for long.
constexpr double kAudioLead = 0.5;

// Encodes frames or samples and hands the packets to the muxer, in the
// stream's time base.
bool drain(AVCodecContext* encoder, AVFormatContext* output, AVStream* stream, AVPacket* packet, std::string& error) {
    for (;;) {
        const int got = avcodec_receive_packet(encoder, packet);
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
        if (got < 0) {
            error = "the " + std::string(encoder->codec->name) + " encoder failed (" + ff::errorText(got) + ")";
            return false;
        }
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        if (const int written = av_interleaved_write_frame(output, packet); written < 0) {
            error = "cannot write the file (" + ff::errorText(written) + ")";
            return false;
        }
    }
}

bool encode(AVCodecContext* encoder, const AVFrame* frame, AVFormatContext* output, AVStream* stream,
            AVPacket* packet, std::string& error) {
    if (const int sent = avcodec_send_frame(encoder, frame); sent < 0) {
        error = "the " + std::string(encoder->codec->name) + " encoder refused a frame (" + ff::errorText(sent) + ")";
        return false;
    }
    return drain(encoder, output, stream, packet, error);
}

// The sound track: pumped along with the pictures up to a time, finished at
// the end.
class AudioTrack {
public:
    virtual ~AudioTrack() = default;
    // Writes the sound up to `seconds` of the output.
    virtual bool pump(double seconds, std::string& error) = 0;
    // Writes the rest and empties the encoder.
    virtual bool finish(std::string& error) = 0;
};

// Packets of a file's sound stream copied within the stretch, their times
// moved so that the stretch starts at 0.
class CopiedAudio : public AudioTrack {
public:
    CopiedAudio(ff::Input input, int index, double from, double seconds, AVFormatContext* output, AVStream* stream)
        : input_(std::move(input)), source_(input_->streams[index]), output_(output), stream_(stream) {
        from_ = ff::timestamp(clockZero(*input_) + from, source_->time_base);
        end_ = from_ + ff::timestamp(seconds, source_->time_base);
        av_seek_frame(input_.get(), index, from_, AVSEEK_FLAG_BACKWARD);
    }
    bool pump(double seconds, std::string& error) override {
        while (!ended_) {
            if (!pending_) {
                const int got = av_read_frame(input_.get(), packet_.get());
                if (got < 0) {
                    ended_ = true;
                    break;
                }
                if (packet_->stream_index != source_->index || packet_->pts == AV_NOPTS_VALUE ||
                    packet_->pts < from_) {
                    av_packet_unref(packet_.get());
                    continue;
                }
                if (packet_->pts >= end_) {
                    ended_ = true;
                    av_packet_unref(packet_.get());
                    break;
                }
                pending_ = true;
            }
            if (ff::seconds(packet_->pts - from_, source_->time_base) > seconds) return true;
            packet_->pts -= from_;
            packet_->dts = packet_->dts == AV_NOPTS_VALUE ? packet_->pts : packet_->dts - from_;
            av_packet_rescale_ts(packet_.get(), source_->time_base, stream_->time_base);
            packet_->stream_index = stream_->index;
            packet_->pos = -1;
            pending_ = false;
            if (const int written = av_interleaved_write_frame(output_, packet_.get()); written < 0) {
                error = "cannot write the sound (" + ff::errorText(written) + ")";
                return false;
            }
        }
        return true;
    }
    bool finish(std::string& error) override { return pump(INFINITY, error); }

    static double clockZero(const AVFormatContext& input) {
        const int video = av_find_best_stream(const_cast<AVFormatContext*>(&input), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (video < 0) return 0.0;
        const AVStream* s = input.streams[video];
        return ff::seconds(ff::streamStart(s), s->time_base);
    }

private:
    ff::Input input_;
    AVStream* source_;
    AVFormatContext* output_;
    AVStream* stream_;
    ff::Packet packet_ = ff::makePacket();
    int64_t from_ = 0, end_ = 0;
    bool pending_ = false, ended_ = false;
};

// Sound encoded to AAC: from given mono samples, or decoded from a file's
// sound stream and resampled to the encoder's format, cut to the sample.
class EncodedAudio : public AudioTrack {
public:
    EncodedAudio(AVFormatContext* output, AVStream* stream, ff::Codec encoder)
        : output_(output), stream_(stream), encoder_(std::move(encoder)) {
        fifo_ = av_audio_fifo_alloc(encoder_->sample_fmt, encoder_->ch_layout.nb_channels, encoder_->frame_size);
    }
    ~EncodedAudio() override {
        if (fifo_) av_audio_fifo_free(fifo_);
    }

    // From given samples.
    void useSamples(const std::vector<float>& mono, int64_t total) {
        samples_ = &mono;
        total_ = total;
    }
    // From a file's stream: `input` with its decoder, the stretch in samples
    // of the encoder's rate from the stream's first sound.
    bool useFile(ff::Input input, int index, double from, double seconds, std::string& error) {
        input_ = std::move(input);
        source_ = input_->streams[index];
        decoder_ = ff::openDecoder(source_, 1, error);
        if (!decoder_) return false;
        SwrContext* raw = nullptr;
        if (swr_alloc_set_opts2(&raw, &encoder_->ch_layout, encoder_->sample_fmt, encoder_->sample_rate,
                                &decoder_->ch_layout, decoder_->sample_fmt, decoder_->sample_rate, 0, nullptr) < 0 ||
            swr_init(raw) < 0) {
            swr_free(&raw);
            error = "the sound cannot be converted for the AAC encoder";
            return false;
        }
        resampler_.reset(raw);
        from_ = CopiedAudio::clockZero(*input_) + from;
        total_ = std::llround(seconds * encoder_->sample_rate);
        av_seek_frame(input_.get(), index, ff::timestamp(from_ - 1.0, source_->time_base), AVSEEK_FLAG_BACKWARD);
        return true;
    }

    bool pump(double seconds, std::string& error) override {
        const int64_t wanted =
            std::isfinite(seconds) ? std::min<int64_t>(total_, std::llround(seconds * encoder_->sample_rate)) : total_;
        while (queued_ < wanted && !sourceEnded_)
            if (!fill(wanted, error)) return false;
        return encodeFull(error);
    }
    bool finish(std::string& error) override {
        if (!pump(INFINITY, error)) return false;
        if (av_audio_fifo_size(fifo_) > 0 && !encodeFrame(av_audio_fifo_size(fifo_), error)) return false;
        return encode(encoder_.get(), nullptr, output_, stream_, packet_.get(), error);
    }

private:
    // Queues more samples, at most up to `wanted`.
    bool fill(int64_t wanted, std::string& error) {
        if (samples_) {
            const int64_t count = std::min<int64_t>(wanted - queued_, static_cast<int64_t>(samples_->size()) - queued_);
            if (count <= 0) return planarSilence(wanted - queued_, error);  // past the given samples
            return queue(samples_->data() + queued_, count, error);
        }
        const int got = av_read_frame(input_.get(), packet_.get());
        if (got < 0) {
            avcodec_send_packet(decoder_.get(), nullptr);
        } else if (packet_->stream_index == source_->index) {
            avcodec_send_packet(decoder_.get(), packet_.get());
        }
        if (got >= 0) av_packet_unref(packet_.get());
        ff::Frame frame = ff::makeFrame();
        while (avcodec_receive_frame(decoder_.get(), frame.get()) == 0) {
            if (position_ == INT64_MIN) {  // the first sound decoded: where it lies against the stretch
                const double at = ff::seconds(frame->best_effort_timestamp, source_->time_base) - from_;
                position_ = std::llround(at * encoder_->sample_rate);
            }
            if (!convert(const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples, error)) return false;
            av_frame_unref(frame.get());
        }
        if (got < 0) {
            sourceEnded_ = true;
            if (!convert(nullptr, 0, error)) return false;
            // The file's sound ends before the stretch does: silence to its end.
            if (!planarSilence(total_ - queued_, error)) return false;
        }
        return true;
    }

    // Resampled samples into the queue: silence for a gap before them, those
    // before the stretch or already queued dropped, those after it left out.
    bool convert(const uint8_t** data, int count, std::string& error) {
        const int room = swr_get_out_samples(resampler_.get(), count);
        if (room <= 0) return true;
        ff::Frame out = ff::makeFrame();
        out->format = encoder_->sample_fmt;
        out->nb_samples = room;
        av_channel_layout_copy(&out->ch_layout, &encoder_->ch_layout);
        if (av_frame_get_buffer(out.get(), 0) < 0) {
            error = "out of memory for the sound";
            return false;
        }
        const int made = swr_convert(resampler_.get(), out->extended_data, room, data, count);
        if (made <= 0) return true;
        const int64_t first = position_;
        position_ += made;
        if (first > queued_ && !planarSilence(std::min(first, total_) - queued_, error)) return false;
        const int64_t skip = std::max<int64_t>(0, queued_ - first);
        const int64_t keep = std::min<int64_t>(made - skip, total_ - queued_);
        if (keep <= 0) return true;
        std::vector<void*> planes(static_cast<size_t>(encoder_->ch_layout.nb_channels));
        const int bytes = av_get_bytes_per_sample(encoder_->sample_fmt);
        for (size_t c = 0; c < planes.size(); ++c) planes[c] = out->extended_data[c] + skip * bytes;
        return write(planes.data(), keep, error);
    }

    bool planarSilence(int64_t count, std::string& error) {
        if (count <= 0) return true;
        std::vector<float> zeros(static_cast<size_t>(count), 0.0f);
        std::vector<void*> planes(static_cast<size_t>(encoder_->ch_layout.nb_channels), zeros.data());
        return write(planes.data(), count, error);
    }

    // Mono samples into every channel of the encoder's planar float format.
    bool queue(const float* mono, int64_t count, std::string& error) {
        std::vector<void*> planes(static_cast<size_t>(encoder_->ch_layout.nb_channels), const_cast<float*>(mono));
        return write(planes.data(), count, error);
    }

    bool write(void** planes, int64_t count, std::string& error) {
        if (av_audio_fifo_write(fifo_, planes, static_cast<int>(count)) < count) {
            error = "out of memory for the sound";
            return false;
        }
        queued_ += count;
        return true;
    }

    bool encodeFull(std::string& error) {
        while (av_audio_fifo_size(fifo_) >= encoder_->frame_size)
            if (!encodeFrame(encoder_->frame_size, error)) return false;
        return true;
    }

    bool encodeFrame(int count, std::string& error) {
        ff::Frame frame = ff::makeFrame();
        frame->nb_samples = count;
        frame->format = encoder_->sample_fmt;
        frame->sample_rate = encoder_->sample_rate;
        av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout);
        if (av_frame_get_buffer(frame.get(), 0) < 0) {
            error = "out of memory for the sound";
            return false;
        }
        av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame->extended_data), count);
        frame->pts = encoded_;
        encoded_ += count;
        return encode(encoder_.get(), frame.get(), output_, stream_, packet_.get(), error);
    }

    AVFormatContext* output_;
    AVStream* stream_;
    ff::Codec encoder_;
    AVAudioFifo* fifo_ = nullptr;
    ff::Packet packet_ = ff::makePacket();
    const std::vector<float>* samples_ = nullptr;
    ff::Input input_;
    AVStream* source_ = nullptr;
    ff::Codec decoder_;
    ff::Resampler resampler_;
    double from_ = 0.0;                // the stretch's start on the source's stream clock, seconds
    int64_t position_ = INT64_MIN;     // of the next resampled sample, from the stretch's start
    int64_t total_ = 0, queued_ = 0, encoded_ = 0;
    bool sourceEnded_ = false;
};

// An AAC encoder for `channels` channels at `rate`.
ff::Codec openAacEncoder(int rate, const AVChannelLayout& layout, bool globalHeader, std::string& error) {
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    ff::Codec encoder(aac ? avcodec_alloc_context3(aac) : nullptr);
    if (!encoder) {
        error = "no AAC encoder";
        return nullptr;
    }
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = rate;
    // A source that names only its channel count (a WAV file, say) gets the usual layout of that many.
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_default(&encoder->ch_layout, layout.nb_channels);
    else av_channel_layout_copy(&encoder->ch_layout, &layout);
    encoder->bit_rate = 96000 * std::min(layout.nb_channels, 2);
    encoder->time_base = AVRational{1, rate};
    if (globalHeader) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (const int code = avcodec_open2(encoder.get(), aac, nullptr); code < 0) {
        error = "cannot open the AAC encoder (" + ff::errorText(code) + ")";
        return nullptr;
    }
    return encoder;
}

}  // namespace

struct VideoWriter::State {
    AVFormatContext* output = nullptr;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    ff::Codec video;
    ff::Scaler scaler;
    ff::Frame frame;  // made once FFmpeg's libraries are known to be loaded
    ff::Packet packet;
    std::unique_ptr<AudioTrack> audio;
    double frameSeconds = 0.0;
    YuvColour colour;
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
        error_ = "a 4:2:0 video needs an even width and height, not " + std::to_string(settings.width) + " x " +
                 std::to_string(settings.height);
        return;
    }
    if (const Fallible& loaded = ff::loadLibraries(); !loaded.ok()) {
        error_ = loaded.error;
        return;
    }
    s.frame = ff::makeFrame();
    s.packet = ff::makePacket();
    if (avformat_alloc_output_context2(&s.output, nullptr, "mp4", path.c_str()) < 0 || !s.output) {
        error_ = "cannot set up an MP4 file";
        return;
    }
    // The spherical and stereo boxes are not in the MP4 standard itself.
    s.output->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    const bool globalHeader = s.output->oformat->flags & AVFMT_GLOBALHEADER;

    // The picture.
    const VideoEncoding& e = settings.encoding;
    const char* encoderName = e.codec == VideoCodec::Hevc ? "libx265" : "libx264";
    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName);
    if (!codec) {
        error_ = std::string("FFmpeg's libraries have no ") + encoderName + " encoder";
        return;
    }
    s.video.reset(avcodec_alloc_context3(codec));
    AVCodecContext& v = *s.video;
    v.width = settings.width;
    v.height = settings.height;
    v.pix_fmt = AV_PIX_FMT_YUV420P;
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
    if (e.codec == VideoCodec::Hevc) av_opt_set(v.priv_data, "x265-params", "log-level=error", 0);
    if (const int code = avcodec_open2(&v, codec, nullptr); code < 0) {
        error_ = std::string("cannot open the ") + encoderName + " encoder (" + ff::errorText(code) + ")";
        return;
    }
    s.videoStream = avformat_new_stream(s.output, nullptr);
    avcodec_parameters_from_context(s.videoStream->codecpar, &v);
    // hvc1 rather than hev1: the tag Apple's and headsets' players require.
    if (e.codec == VideoCodec::Hevc) s.videoStream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    s.videoStream->time_base = v.time_base;
    s.videoStream->avg_frame_rate = v.framerate;
    s.frameSeconds = av_q2d(v.time_base);
    if (settings.vr180) {
        AVStereo3D* stereo = av_stereo3d_alloc();
        stereo->type = AV_STEREO3D_SIDEBYSIDE;  // left eye in the left half
        size_t size = 0;
        AVSphericalMapping* sphere = av_spherical_alloc(&size);
        sphere->projection = AV_SPHERICAL_EQUIRECTANGULAR_TILE;
        // Each eye's picture is the middle half of a 360-degree equirectangular
        // one: a quarter of the circle cut off on either side (bounds in 0.32
        // fixed point).
        sphere->bound_left = sphere->bound_right = 0x40000000;
        sphere->bound_top = sphere->bound_bottom = 0;
        if (av_stream_add_side_data(s.videoStream, AV_PKT_DATA_STEREO3D, reinterpret_cast<uint8_t*>(stereo),
                                    sizeof *stereo) < 0)
            av_free(stereo);
        if (av_stream_add_side_data(s.videoStream, AV_PKT_DATA_SPHERICAL, reinterpret_cast<uint8_t*>(sphere), size) <
            0)
            av_free(sphere);
    }

    // The sound.
    if (settings.audio) {
        const AudioSource& a = *settings.audio;
        s.audioStream = avformat_new_stream(s.output, nullptr);
        if (a.file.empty()) {
            AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
            ff::Codec aac = openAacEncoder(a.sampleRate, mono, globalHeader, error_);
            if (!aac) return;
            avcodec_parameters_from_context(s.audioStream->codecpar, aac.get());
            s.audioStream->time_base = aac->time_base;
            const int64_t total = static_cast<int64_t>(a.mono.size());
            auto track = std::make_unique<EncodedAudio>(s.output, s.audioStream, std::move(aac));
            track->useSamples(a.mono, total);
            s.audio = std::move(track);
            audioNote_ = "samples encoded to AAC";
        } else {
            std::string why;
            ff::Input input = ff::openInput(a.file, why);
            const int index = input ? av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) : -1;
            if (index < 0) {
                error_ = "cannot read the sound of " + a.file.string() + (why.empty() ? "" : ": " + why);
                return;
            }
            const AVCodecParameters& source = *input->streams[index]->codecpar;
            const std::string sourceCodec = avcodec_get_name(source.codec_id);
            if (avformat_query_codec(s.output->oformat, source.codec_id, FF_COMPLIANCE_NORMAL) == 1) {
                avcodec_parameters_copy(s.audioStream->codecpar, &source);
                s.audioStream->codecpar->codec_tag = 0;
                s.audioStream->time_base = input->streams[index]->time_base;
                s.audio = std::make_unique<CopiedAudio>(std::move(input), index, a.fromSeconds, a.seconds, s.output,
                                                        s.audioStream);
                audioNote_ = sourceCodec + " copied";
            } else {
                ff::Codec aac = openAacEncoder(source.sample_rate, source.ch_layout, globalHeader, error_);
                if (!aac) return;
                avcodec_parameters_from_context(s.audioStream->codecpar, aac.get());
                s.audioStream->time_base = aac->time_base;
                auto track = std::make_unique<EncodedAudio>(s.output, s.audioStream, std::move(aac));
                if (!track->useFile(std::move(input), index, a.fromSeconds, a.seconds, error_)) return;
                s.audio = std::move(track);
                audioNote_ = sourceCodec + " re-encoded to AAC";
            }
        }
    }

    if (const int code = avio_open(&s.output->pb, path.c_str(), AVIO_FLAG_WRITE); code < 0) {
        error_ = "cannot create " + path.string() + " (" + ff::errorText(code) + ")";
        return;
    }
    AVDictionary* options = nullptr;
    // The index in front, so that players and web uploads can start before
    // the whole file is there.
    av_dict_set(&options, "movflags", "+faststart", 0);
    const int header = avformat_write_header(s.output, &options);
    av_dict_free(&options);
    if (header < 0) {
        error_ = "cannot write the MP4 header (" + ff::errorText(header) + ")";
        return;
    }
    s.headerWritten = true;

    s.frame->format = AV_PIX_FMT_YUV420P;
    s.frame->width = v.width;
    s.frame->height = v.height;
    s.frame->color_primaries = v.color_primaries;
    s.frame->color_trc = v.color_trc;
    s.frame->colorspace = v.colorspace;
    s.frame->color_range = v.color_range;
    s.frame->chroma_location = v.chroma_sample_location;
    s.colour = colour;
}

// The converter of BGR frames, made at the first of them: a writer fed
// planes needs none.
bool VideoWriter::bgrScaler() {
    State& s = *state_;
    if (s.scaler) return true;
    if (av_frame_get_buffer(s.frame.get(), 0) < 0) {
        error_ = "out of memory for a frame";
        return false;
    }
    const int matrix = ff::scalerMatrix(static_cast<AVColorSpace>(s.colour.matrix), s.video->height);
    s.scaler = ff::makeScaler(s.video->width, s.video->height, AV_PIX_FMT_BGR24, s.video->width, s.video->height,
                              AV_PIX_FMT_YUV420P, SWS_BILINEAR | SWS_ACCURATE_RND);
    if (!s.scaler || !ff::setYuvConversion(s.scaler.get(), false, matrix, s.colour.fullRange)) {
        error_ = "cannot convert BGR frames to " + s.colour.describe() + " YCbCr";
        return false;
    }
    return true;
}

VideoWriter::~VideoWriter() = default;

bool VideoWriter::write(const cv::Mat& bgr) {
    State& s = *state_;
    if (!ok()) return false;
    if (bgr.type() != CV_8UC3 || bgr.cols != s.video->width || bgr.rows != s.video->height) {
        error_ = "a frame of " + std::to_string(bgr.cols) + " x " + std::to_string(bgr.rows) + " does not fit a video of " +
                 std::to_string(s.video->width) + " x " + std::to_string(s.video->height);
        return false;
    }
    if (!bgrScaler()) return false;
    if (av_frame_make_writable(s.frame.get()) < 0) {
        error_ = "out of memory for a frame";
        return false;
    }
    const uint8_t* planes[4] = {bgr.data, nullptr, nullptr, nullptr};
    const int strides[4] = {static_cast<int>(bgr.step), 0, 0, 0};
    sws_scale(s.scaler.get(), planes, strides, 0, bgr.rows, s.frame->data, s.frame->linesize);
    return send(*s.frame);
}

bool VideoWriter::write(const YuvPlanes& planes) {
    State& s = *state_;
    if (!ok()) return false;
    const int w = s.video->width, h = s.video->height;
    const cv::Size chroma((w + 1) / 2, (h + 1) / 2);
    const auto fits = [](const cv::Mat& m, cv::Size size) { return m.type() == CV_8UC1 && m.size() == size; };
    if (!fits(planes.y, {w, h}) || !fits(planes.cb, chroma) || !fits(planes.cr, chroma)) {
        error_ = "planes of " + std::to_string(planes.y.cols) + " x " + std::to_string(planes.y.rows) +
                 " do not fit a video of " + std::to_string(w) + " x " + std::to_string(h);
        return false;
    }
    if (!(planes.colour == s.colour)) {
        error_ = "planes in " + planes.colour.describe() + " do not fit a video written in " + s.colour.describe();
        return false;
    }
    // The caller's memory lent to the encoder for the call: x264 and x265
    // copy the picture into their own frames while it is sent, and nothing
    // is freed when the lent buffers are let go.
    ff::Frame frame = ff::makeFrame();
    av_frame_copy_props(frame.get(), s.frame.get());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = w, frame->height = h;
    const cv::Mat* mats[3] = {&planes.y, &planes.cb, &planes.cr};
    for (int k = 0; k < 3; ++k) {
        const cv::Mat& m = *mats[k];
        frame->buf[k] = av_buffer_create(m.data, m.step[0] * m.rows, [](void*, uint8_t*) {}, nullptr, 0);
        if (!frame->buf[k]) {
            error_ = "out of memory for a frame";
            return false;
        }
        frame->data[k] = m.data;
        frame->linesize[k] = static_cast<int>(m.step[0]);
    }
    return send(*frame);
}

bool VideoWriter::send(AVFrame& frame) {
    State& s = *state_;
    frame.pts = frames_;
    if (!encode(s.video.get(), &frame, s.output, s.videoStream, s.packet.get(), error_)) return false;
    ++frames_;
    if (s.audio && !s.audio->pump(frames_ * s.frameSeconds + kAudioLead, error_)) return false;
    return true;
}

bool VideoWriter::finish() {
    State& s = *state_;
    if (!ok() || s.finished) return ok();
    if (!encode(s.video.get(), nullptr, s.output, s.videoStream, s.packet.get(), error_)) return false;
    if (s.audio && !s.audio->finish(error_)) return false;
    if (const int code = av_write_trailer(s.output); code < 0) {
        error_ = "cannot finish the MP4 (" + ff::errorText(code) + ")";
        return false;
    }
    if (const int code = avio_closep(&s.output->pb); code < 0) {
        error_ = "cannot close the file (" + ff::errorText(code) + ")";
        return false;
    }
    s.finished = true;
    return true;
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

std::string videoHeightProblem(VideoCodec codec, int64_t height) {
    if (height < 2 || height % 2) return "the output height must be even for 4:2:0 video, not " + std::to_string(height);
    const VideoFrameLimit limit = largestVideoFrame(codec);
    const int64_t most = std::min<int64_t>(limit.height, limit.width / 2);
    if (height > most)
        return "the output height " + std::to_string(height) + " gives frames of " + std::to_string(2 * height) + " x " +
               std::to_string(height) + "; " + limit.level + " takes at most " + std::to_string(limit.width) + " x " +
               std::to_string(limit.height) + ", so the height can be at most " + std::to_string(most);
    return "";
}

bool isEncoderPreset(const std::string& preset) {
    return std::find(kPresets.begin(), kPresets.end(), preset) != kPresets.end();
}

}  // namespace vistereo::media
