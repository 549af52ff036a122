#include "videofile/audio_reader.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "videofile/ffmpeg_support.h"

namespace vistereo::media {

MonoAudio readMonoAudio(const std::filesystem::path& path, double fromSeconds, double seconds, int sampleRate) {
    MonoAudio out;
    out.sampleRate = sampleRate;
    const auto total = static_cast<size_t>(std::max<long long>(0, std::llround(seconds * sampleRate)));
    ff::OpenedInput opened = ff::openInput(path);
    if (!opened.ok()) {
        out.error = opened.error;
        return out;
    }
    ff::Input input = std::move(opened.input);
    const int audioIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (audioIndex < 0) {
        out.error = "it has no audio";
        return out;
    }
    AVStream* audio = input->streams[audioIndex];
    const int videoIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVStream* clock = videoIndex >= 0 ? input->streams[videoIndex] : audio;
    const double zero = ff::seconds(ff::streamStart(clock), clock->time_base);
    for (unsigned k = 0; k < input->nb_streams; ++k)
        if (static_cast<int>(k) != audioIndex) input->streams[k]->discard = AVDISCARD_ALL;

    ff::OpenedDecoder openedDecoder = ff::openDecoder(audio, 1);
    if (!openedDecoder.ok()) {
        out.error = openedDecoder.error;
        return out;
    }
    ff::Codec decoder = std::move(openedDecoder.decoder);
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* raw = nullptr;
    if (swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_FLT, sampleRate, &decoder->ch_layout, decoder->sample_fmt,
                            decoder->sample_rate, 0, nullptr) < 0 ||
        swr_init(raw) < 0) {
        swr_free(&raw);
        out.error = "its audio cannot be mixed down";
        return out;
    }
    ff::Resampler resampler(raw);

    out.samples.assign(total, 0.0f);
    // A second before the stretch, so that the decoder has settled by its start.
    av_seek_frame(input.get(), audioIndex, ff::timestamp(zero + fromSeconds - 1.0, audio->time_base),
                  AVSEEK_FLAG_BACKWARD);
    ff::Packet packet = ff::makePacket();
    ff::Frame frame = ff::makeFrame();
    long long position = 0;  // of the next converted sample, from the stretch's start
    bool placed = false;
    std::vector<float> converted;
    auto take = [&](const uint8_t** data, int count) {
        const int room = swr_get_out_samples(resampler.get(), count);
        if (room <= 0) return;
        converted.resize(static_cast<size_t>(room));
        uint8_t* target = reinterpret_cast<uint8_t*>(converted.data());
        const int made = swr_convert(resampler.get(), &target, room, data, count);
        for (int k = 0; k < made; ++k, ++position) {
            if (position < 0 || position >= static_cast<long long>(total)) continue;
            out.samples[position] = converted[k];
            if (out.heardFrom == out.heardTo) out.heardFrom = static_cast<size_t>(position);
            out.heardTo = static_cast<size_t>(position) + 1;
        }
    };
    bool ended = false;
    while (!ended && position < static_cast<long long>(total)) {
        const int got = av_read_frame(input.get(), packet.get());
        if (got < 0) {
            avcodec_send_packet(decoder.get(), nullptr);
            ended = true;
        } else {
            if (packet->stream_index == audioIndex) avcodec_send_packet(decoder.get(), packet.get());
            av_packet_unref(packet.get());
        }
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            if (!placed) {  // the first sound decoded sets where the samples go; the rest follow on
                const double at = ff::seconds(frame->best_effort_timestamp, audio->time_base) - zero - fromSeconds;
                position = std::llround(at * sampleRate);
                placed = true;
            }
            take(const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
            av_frame_unref(frame.get());
        }
    }
    take(nullptr, 0);  // what the resampler still holds
    return out;
}

}  // namespace vistereo::media
