// What the writer that encodes the pictures and the one that joins parts
// already encoded share of an MP4 being written: the VR180 boxes of the
// picture's stream; the sound track (a stretch of a camera's sound copied
// packet by packet, or decoded and re-encoded to AAC, or given samples
// encoded to AAC), pumped a little ahead of the pictures; the header with
// the index in front and the file's own text tags; and the encoding of frames
// or samples with the packets handed to the muxer. Included only by the
// media layer's own sources.
#pragma once

#include <memory>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "videofile/ffmpeg_support.h"
#include "videofile/video_writer.h"

namespace vistereo::media {

// Sound is written ahead of the pictures by this much, so that the muxer
// interleaves the two without holding either back for long.
inline constexpr double kAudioLead = 0.5;

// Marks the picture's stream as a side-by-side 180-degree stereo one: the
// side data from which the muxer writes `st3d` and `sv3d`.
void markVr180(AVStream* stream);

// Opens `path` and writes the header of `output`, its index to be put in
// front, with `metadata` as the file's own tags (kept under their names).
Fallible writeMp4Header(AVFormatContext* output, const std::filesystem::path& path,
                        const std::vector<std::pair<std::string, std::string>>& metadata);

// Encodes `frame` (null: the encoder's last packets) and hands its packets to
// the muxer in `stream`'s time base.
Fallible encode(AVCodecContext* encoder, const AVFrame* frame, AVFormatContext* output, AVStream* stream,
                AVPacket* packet);

// The sound track: pumped along with the pictures up to a time, finished at
// the end.
class AudioTrack {
public:
    virtual ~AudioTrack() = default;
    // Writes the sound up to `seconds` of the output.
    virtual Fallible pump(double seconds) = 0;
    // Writes the rest and empties the encoder.
    virtual Fallible finish() = 0;
};

// A new sound stream in `output` carrying `source`, before its header is
// written, and how it is carried ("aac copied", "pcm_s16le re-encoded to
// AAC").
struct AddedAudio : Fallible {
    std::unique_ptr<AudioTrack> track;
    std::string note;
};
AddedAudio addAudioTrack(AVFormatContext* output, const AudioSource& source);

}  // namespace vistereo::media
