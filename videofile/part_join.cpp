#include "videofile/part_join.h"

#include <cstdio>

#include "videofile/ffmpeg_support.h"
#include "videofile/mp4_output.h"

namespace vistereo::media {
namespace {

// FNV-1a over the encoder's parameter sets: equal sets, equal keys.
std::string hashText(const uint8_t* data, size_t size) {
    uint64_t hash = 1469598103934665603ULL;
    for (size_t k = 0; k < size; ++k) hash = (hash ^ data[k]) * 1099511628211ULL;
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

struct OpenedPiece : Fallible {
    ff::Input input;
    int video = -1;
};

OpenedPiece openPiece(const std::filesystem::path& path) {
    OpenedPiece piece;
    ff::OpenedInput opened = ff::openInput(path);
    piece.error = opened.error;
    if (!opened.ok()) return piece;
    piece.input = std::move(opened.input);
    piece.video = av_find_best_stream(piece.input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (piece.video < 0) piece.error = "it has no video stream";
    return piece;
}

}  // namespace

EncodedPiece readEncodedPiece(const std::filesystem::path& path, const std::string& tagName) {
    EncodedPiece out;
    if (const Fallible& loaded = ff::loadLibraries(); !loaded.ok()) {
        out.error = loaded.error;
        return out;
    }
    OpenedPiece piece = openPiece(path);
    if (!piece.ok()) {
        out.error = piece.error;
        return out;
    }
    AVFormatContext& input = *piece.input;
    const AVStream& stream = *input.streams[piece.video];
    const AVCodecParameters& p = *stream.codecpar;
    out.width = p.width, out.height = p.height;
    out.frameRate = FrameRate{stream.avg_frame_rate.num, stream.avg_frame_rate.den};
    out.framesIndexed = stream.nb_frames;
    out.streamKey = std::string(avcodec_get_name(p.codec_id)) + " " + std::to_string(p.width) + "x" +
                    std::to_string(p.height) + " " + std::to_string(p.format) + " " +
                    std::to_string(stream.avg_frame_rate.num) + "/" + std::to_string(stream.avg_frame_rate.den) + " " +
                    hashText(p.extradata, static_cast<size_t>(std::max(0, p.extradata_size)));
    if (const AVDictionaryEntry* tag = av_dict_get(input.metadata, tagName.c_str(), nullptr, 0)) out.tag = tag->value;
    out.hasSound = av_find_best_stream(&input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;
    ff::Packet packet = ff::makePacket();
    int code = 0;
    while ((code = av_read_frame(&input, packet.get())) >= 0) {
        if (packet->stream_index == piece.video) {
            if (out.frames == 0) out.startsWithKeyframe = packet->flags & AV_PKT_FLAG_KEY;
            ++out.frames;
        }
        av_packet_unref(packet.get());
    }
    if (code != AVERROR_EOF && out.frames < out.framesIndexed)
        out.error = "it cannot be read to its end (" + ff::errorText(code) + ")";
    return out;
}

TextTag readTextTag(const std::filesystem::path& path, const std::string& tagName) {
    TextTag out;
    const ff::OpenedInput opened = ff::openInput(path);  // which loads the libraries first
    if (!opened.ok()) {
        out.error = opened.error;
        return out;
    }
    if (const AVDictionaryEntry* tag = av_dict_get(opened.input->metadata, tagName.c_str(), nullptr, 0))
        out.text = tag->value;
    return out;
}

JoinedFile joinEncodedPieces(const std::vector<std::filesystem::path>& pieces, const std::filesystem::path& path,
                             const JoinSettings& settings) {
    JoinedFile out;
    if (const Fallible& loaded = ff::loadLibraries(); !loaded.ok()) {
        out.error = loaded.error;
        return out;
    }
    if (pieces.empty()) {
        out.error = "there are no parts to join";
        return out;
    }
    struct Output {
        AVFormatContext* context = nullptr;
        std::unique_ptr<AudioTrack> audio;
        ~Output() {
            audio.reset();
            if (context) {
                if (context->pb) avio_closep(&context->pb);
                avformat_free_context(context);
            }
        }
    } output;
    if (avformat_alloc_output_context2(&output.context, nullptr, "mp4", path.c_str()) < 0 || !output.context) {
        out.error = "cannot set up an MP4 file";
        return out;
    }
    // The spherical and stereo boxes are not in the MP4 standard itself.
    output.context->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;

    // The picture's stream as the first piece has it: codec, parameter sets, colour tags.
    OpenedPiece first = openPiece(pieces.front());
    if (!first.error.empty()) {
        out.error = "cannot read " + pieces.front().string() + ": " + first.error;
        return out;
    }
    const AVStream& source = *first.input->streams[first.video];
    AVStream* stream = avformat_new_stream(output.context, nullptr);
    if (!stream || avcodec_parameters_copy(stream->codecpar, source.codecpar) < 0) {
        out.error = "out of memory for the picture's stream";
        return out;
    }
    // The frame's clock: one tick a frame, as the encoder counts.
    const AVRational frameClock{source.avg_frame_rate.den, source.avg_frame_rate.num};
    if (frameClock.num <= 0 || frameClock.den <= 0) {
        out.error = pieces.front().string() + " does not say its frame rate";
        return out;
    }
    stream->codecpar->codec_tag = source.codecpar->codec_tag;
    stream->time_base = frameClock;
    stream->avg_frame_rate = source.avg_frame_rate;
    if (settings.vr180) markVr180(stream);
    first.input.reset();

    if (settings.audio) {
        AddedAudio added = addAudioTrack(output.context, *settings.audio);
        if (!added.ok()) {
            out.error = added.error;
            return out;
        }
        output.audio = std::move(added.track);
        out.audioNote = added.note;
    }
    if (const Fallible header = writeMp4Header(output.context, path, settings.metadata); !header.ok()) {
        out.error = header.error;
        return out;
    }

    const double frameSeconds = av_q2d(frameClock);
    ff::Packet packet = ff::makePacket();
    int64_t before = 0;  // frames of the pieces already joined
    int64_t lastDts = INT64_MIN;
    for (const std::filesystem::path& piecePath : pieces) {
        OpenedPiece piece = openPiece(piecePath);
        if (!piece.ok()) {
            out.error = "cannot read " + piecePath.string() + ": " + piece.error;
            return out;
        }
        const AVRational pieceClock = piece.input->streams[piece.video]->time_base;
        int64_t frames = 0;
        int code = 0;
        while ((code = av_read_frame(piece.input.get(), packet.get())) >= 0) {
            if (packet->stream_index != piece.video) {
                av_packet_unref(packet.get());
                continue;
            }
            // Onto the frame clock, moved on by the frames before this piece.
            av_packet_rescale_ts(packet.get(), pieceClock, frameClock);
            packet->pts += before;
            packet->dts = (packet->dts == AV_NOPTS_VALUE ? packet->pts : packet->dts + before);
            if (packet->dts <= lastDts) {
                av_packet_unref(packet.get());
                out.error = piecePath.string() + " decodes a frame before the end of the part ahead of it: the parts "
                                                 "were not encoded alike";
                return out;
            }
            lastDts = packet->dts;
            av_packet_rescale_ts(packet.get(), frameClock, stream->time_base);
            packet->stream_index = stream->index;
            packet->pos = -1;
            ++frames;
            if (const int written = av_interleaved_write_frame(output.context, packet.get()); written < 0) {
                out.error = "cannot write the file (" + ff::errorText(written) + ")";
                return out;
            }
            if (output.audio)
                if (const Fallible pumped = output.audio->pump((before + frames) * frameSeconds + kAudioLead);
                    !pumped.ok()) {
                    out.error = pumped.error;
                    return out;
                }
        }
        if (code != AVERROR_EOF) {
            out.error = "cannot read " + piecePath.string() + " to its end (" + ff::errorText(code) + ")";
            return out;
        }
        before += frames;
    }
    if (output.audio)
        if (const Fallible finished = output.audio->finish(); !finished.ok()) {
            out.error = finished.error;
            return out;
        }
    if (const int code = av_write_trailer(output.context); code < 0) {
        out.error = "cannot finish the MP4 (" + ff::errorText(code) + ")";
        return out;
    }
    if (const int code = avio_closep(&output.context->pb); code < 0) {
        out.error = "cannot close the file (" + ff::errorText(code) + ")";
        return out;
    }
    out.frames = before;
    return out;
}

}  // namespace vistereo::media
