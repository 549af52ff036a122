#include "videofile/mp4_output.h"

#include <algorithm>
#include <cmath>
#include <vector>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/spherical.h>
#include <libavutil/stereo3d.h>
}

namespace vistereo::media {
namespace {

// Encodes frames or samples and hands the packets to the muxer, in the
// stream's time base.
Fallible drain(AVCodecContext* encoder, AVFormatContext* output, AVStream* stream, AVPacket* packet) {
    for (;;) {
        const int got = avcodec_receive_packet(encoder, packet);
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return {};
        if (got < 0)
            return Fallible{"the " + std::string(encoder->codec->name) + " encoder failed (" + ff::errorText(got) +
                            ")"};
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        if (const int written = av_interleaved_write_frame(output, packet); written < 0)
            return Fallible{"cannot write the file (" + ff::errorText(written) + ")"};
    }
}

}  // namespace

Fallible encode(AVCodecContext* encoder, const AVFrame* frame, AVFormatContext* output, AVStream* stream,
                AVPacket* packet) {
    if (const int sent = avcodec_send_frame(encoder, frame); sent < 0)
        return Fallible{"the " + std::string(encoder->codec->name) + " encoder refused a frame (" +
                        ff::errorText(sent) + ")"};
    return drain(encoder, output, stream, packet);
}

namespace {

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
    Fallible pump(double seconds) override {
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
            if (ff::seconds(packet_->pts - from_, source_->time_base) > seconds) return {};
            packet_->pts -= from_;
            packet_->dts = packet_->dts == AV_NOPTS_VALUE ? packet_->pts : packet_->dts - from_;
            av_packet_rescale_ts(packet_.get(), source_->time_base, stream_->time_base);
            packet_->stream_index = stream_->index;
            packet_->pos = -1;
            pending_ = false;
            if (const int written = av_interleaved_write_frame(output_, packet_.get()); written < 0)
                return Fallible{"cannot write the sound (" + ff::errorText(written) + ")"};
        }
        return {};
    }
    Fallible finish() override { return pump(INFINITY); }

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
    Fallible useFile(ff::Input input, int index, double from, double seconds) {
        input_ = std::move(input);
        source_ = input_->streams[index];
        ff::OpenedDecoder decoder = ff::openDecoder(source_, 1);
        if (!decoder.ok()) return Fallible{decoder.error};
        decoder_ = std::move(decoder.decoder);
        SwrContext* raw = nullptr;
        if (swr_alloc_set_opts2(&raw, &encoder_->ch_layout, encoder_->sample_fmt, encoder_->sample_rate,
                                &decoder_->ch_layout, decoder_->sample_fmt, decoder_->sample_rate, 0, nullptr) < 0 ||
            swr_init(raw) < 0) {
            swr_free(&raw);
            return Fallible{"the sound cannot be converted for the AAC encoder"};
        }
        resampler_.reset(raw);
        from_ = CopiedAudio::clockZero(*input_) + from;
        total_ = std::llround(seconds * encoder_->sample_rate);
        av_seek_frame(input_.get(), index, ff::timestamp(from_ - 1.0, source_->time_base), AVSEEK_FLAG_BACKWARD);
        return {};
    }

    Fallible pump(double seconds) override {
        const int64_t wanted =
            std::isfinite(seconds) ? std::min<int64_t>(total_, std::llround(seconds * encoder_->sample_rate)) : total_;
        while (queued_ < wanted && !sourceEnded_)
            if (Fallible done = fill(wanted); !done.ok()) return done;
        return encodeFull();
    }
    Fallible finish() override {
        if (Fallible done = pump(INFINITY); !done.ok()) return done;
        if (av_audio_fifo_size(fifo_) > 0)
            if (Fallible done = encodeFrame(av_audio_fifo_size(fifo_)); !done.ok()) return done;
        return encode(encoder_.get(), nullptr, output_, stream_, packet_.get());
    }

private:
    // Queues more samples, at most up to `wanted`.
    Fallible fill(int64_t wanted) {
        if (samples_) {
            const int64_t count = std::min<int64_t>(wanted - queued_, static_cast<int64_t>(samples_->size()) - queued_);
            if (count <= 0) return planarSilence(wanted - queued_);  // past the given samples
            return queue(samples_->data() + queued_, count);
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
            const uint8_t** data = const_cast<const uint8_t**>(frame->extended_data);
            if (Fallible done = convert(data, frame->nb_samples); !done.ok()) return done;
            av_frame_unref(frame.get());
        }
        if (got < 0) {
            sourceEnded_ = true;
            if (Fallible done = convert(nullptr, 0); !done.ok()) return done;
            // The file's sound ends before the stretch does: silence to its end.
            if (Fallible done = planarSilence(total_ - queued_); !done.ok()) return done;
        }
        return {};
    }

    // Resampled samples into the queue: silence for a gap before them, those
    // before the stretch or already queued dropped, those after it left out.
    Fallible convert(const uint8_t** data, int count) {
        const int room = swr_get_out_samples(resampler_.get(), count);
        if (room <= 0) return {};
        ff::Frame out = ff::makeFrame();
        out->format = encoder_->sample_fmt;
        out->nb_samples = room;
        av_channel_layout_copy(&out->ch_layout, &encoder_->ch_layout);
        if (av_frame_get_buffer(out.get(), 0) < 0)
            return Fallible{"out of memory for the sound"};
        const int made = swr_convert(resampler_.get(), out->extended_data, room, data, count);
        if (made <= 0) return {};
        const int64_t first = position_;
        position_ += made;
        if (first > queued_)
            if (Fallible done = planarSilence(std::min(first, total_) - queued_); !done.ok()) return done;
        const int64_t skip = std::max<int64_t>(0, queued_ - first);
        const int64_t keep = std::min<int64_t>(made - skip, total_ - queued_);
        if (keep <= 0) return {};
        std::vector<void*> planes(static_cast<size_t>(encoder_->ch_layout.nb_channels));
        const int bytes = av_get_bytes_per_sample(encoder_->sample_fmt);
        for (size_t c = 0; c < planes.size(); ++c) planes[c] = out->extended_data[c] + skip * bytes;
        return write(planes.data(), keep);
    }

    Fallible planarSilence(int64_t count) {
        if (count <= 0) return {};
        std::vector<float> zeros(static_cast<size_t>(count), 0.0f);
        std::vector<void*> planes(static_cast<size_t>(encoder_->ch_layout.nb_channels), zeros.data());
        return write(planes.data(), count);
    }

    // Mono samples into every channel of the encoder's planar float format.
    Fallible queue(const float* mono, int64_t count) {
        std::vector<void*> planes(static_cast<size_t>(encoder_->ch_layout.nb_channels), const_cast<float*>(mono));
        return write(planes.data(), count);
    }

    Fallible write(void** planes, int64_t count) {
        if (av_audio_fifo_write(fifo_, planes, static_cast<int>(count)) < count)
            return Fallible{"out of memory for the sound"};
        queued_ += count;
        return {};
    }

    Fallible encodeFull() {
        while (av_audio_fifo_size(fifo_) >= encoder_->frame_size)
            if (Fallible done = encodeFrame(encoder_->frame_size); !done.ok()) return done;
        return {};
    }

    Fallible encodeFrame(int count) {
        ff::Frame frame = ff::makeFrame();
        frame->nb_samples = count;
        frame->format = encoder_->sample_fmt;
        frame->sample_rate = encoder_->sample_rate;
        av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout);
        if (av_frame_get_buffer(frame.get(), 0) < 0)
            return Fallible{"out of memory for the sound"};
        av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame->extended_data), count);
        frame->pts = encoded_;
        encoded_ += count;
        return encode(encoder_.get(), frame.get(), output_, stream_, packet_.get());
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
struct OpenedEncoder : Fallible {
    ff::Codec encoder;
};
OpenedEncoder openAacEncoder(int rate, const AVChannelLayout& layout, bool globalHeader) {
    OpenedEncoder out;
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    ff::Codec encoder(aac ? avcodec_alloc_context3(aac) : nullptr);
    if (!encoder) {
        out.error = "no AAC encoder";
        return out;
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
        out.error = "cannot open the AAC encoder (" + ff::errorText(code) + ")";
        return out;
    }
    out.encoder = std::move(encoder);
    return out;
}

}  // namespace

void markVr180(AVStream* stream) {
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
    if (av_stream_add_side_data(stream, AV_PKT_DATA_STEREO3D, reinterpret_cast<uint8_t*>(stereo),
                                sizeof *stereo) < 0)
        av_free(stereo);
    if (av_stream_add_side_data(stream, AV_PKT_DATA_SPHERICAL, reinterpret_cast<uint8_t*>(sphere), size) <
        0)
        av_free(sphere);
}

Fallible writeMp4Header(AVFormatContext* output, const std::filesystem::path& path,
                        const std::vector<std::pair<std::string, std::string>>& metadata) {
    for (const auto& [key, value] : metadata) av_dict_set(&output->metadata, key.c_str(), value.c_str(), 0);
    if (const int code = avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE); code < 0)
        return Fallible{"cannot create " + path.string() + " (" + ff::errorText(code) + ")"};
    AVDictionary* options = nullptr;
    // The index in front, so that players and web uploads can start before
    // the whole file is there; tags of names of our own kept as they are.
    av_dict_set(&options, "movflags", metadata.empty() ? "+faststart" : "+faststart+use_metadata_tags", 0);
    const int header = avformat_write_header(output, &options);
    av_dict_free(&options);
    if (header < 0) return Fallible{"cannot write the MP4 header (" + ff::errorText(header) + ")"};
    return {};
}

AddedAudio addAudioTrack(AVFormatContext* output, const AudioSource& a) {
    AddedAudio out;
    const bool globalHeader = output->oformat->flags & AVFMT_GLOBALHEADER;
    AVStream* stream = avformat_new_stream(output, nullptr);
    if (!stream) {
        out.error = "out of memory for the sound";
        return out;
    }
    if (a.file.empty()) {
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        OpenedEncoder aac = openAacEncoder(a.sampleRate, mono, globalHeader);
        if (!aac.ok()) {
            out.error = aac.error;
            return out;
        }
        avcodec_parameters_from_context(stream->codecpar, aac.encoder.get());
        stream->time_base = aac.encoder->time_base;
        const int64_t total = static_cast<int64_t>(a.mono.size());
        auto track = std::make_unique<EncodedAudio>(output, stream, std::move(aac.encoder));
        track->useSamples(a.mono, total);
        out.track = std::move(track);
        out.note = "samples encoded to AAC";
        return out;
    }
    ff::OpenedInput opened = ff::openInput(a.file);
    ff::Input input = std::move(opened.input);
    const int index = input ? av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) : -1;
    if (index < 0) {
        out.error = "cannot read the sound of " + a.file.string() + (opened.ok() ? "" : ": " + opened.error);
        return out;
    }
    const AVCodecParameters& source = *input->streams[index]->codecpar;
    const std::string sourceCodec = avcodec_get_name(source.codec_id);
    if (avformat_query_codec(output->oformat, source.codec_id, FF_COMPLIANCE_NORMAL) == 1) {
        avcodec_parameters_copy(stream->codecpar, &source);
        stream->codecpar->codec_tag = 0;
        stream->time_base = input->streams[index]->time_base;
        out.track = std::make_unique<CopiedAudio>(std::move(input), index, a.fromSeconds, a.seconds, output, stream);
        out.note = sourceCodec + " copied";
        return out;
    }
    OpenedEncoder aac = openAacEncoder(source.sample_rate, source.ch_layout, globalHeader);
    if (!aac.ok()) {
        out.error = aac.error;
        return out;
    }
    avcodec_parameters_from_context(stream->codecpar, aac.encoder.get());
    stream->time_base = aac.encoder->time_base;
    auto track = std::make_unique<EncodedAudio>(output, stream, std::move(aac.encoder));
    if (Fallible used = track->useFile(std::move(input), index, a.fromSeconds, a.seconds); !used.ok()) {
        out.error = used.error;
        return out;
    }
    out.track = std::move(track);
    out.note = sourceCodec + " re-encoded to AAC";
    return out;
}

}  // namespace vistereo::media
