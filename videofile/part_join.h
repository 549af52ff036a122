// Pieces of one video encoded apart, joined into one MP4 without encoding
// the pictures again: each piece's packets copied in turn, their timestamps
// moved on by the frames before it, so that the whole runs on one continuous
// clock; the sound of the whole written once beside them, and the VR180
// boxes as the writer writes them. What a piece holds is read first, so
// that a caller can tell whether the pieces belong together before anything
// is written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/fallible.h"
#include "videofile/video_writer.h"

namespace vistereo::media {

// A piece's picture as the join sees it, read without decoding.
struct EncodedPiece : Fallible {
    int64_t frames = 0;               // picture packets read to the file's end
    int64_t framesIndexed = 0;        // as the file's index counts them
    bool startsWithKeyframe = false;  // its first packet decodes on its own
    FrameRate frameRate;
    int width = 0, height = 0;
    // The codec, the frame size, the encoder's parameter sets: pieces whose
    // keys differ cannot be one stream.
    std::string streamKey;
    std::string tag;  // the file's text tag asked for ("" when it has none)
    bool hasSound = false;
};
// Reads the piece at `path` and its text tag named `tagName`.
EncodedPiece readEncodedPiece(const std::filesystem::path& path, const std::string& tagName);

// The text tag named `tagName` of the file at `path`, read from its header
// alone; "" when it has none. `error` says why the file cannot be read.
struct TextTag : Fallible {
    std::string text;
};
TextTag readTextTag(const std::filesystem::path& path, const std::string& tagName);

struct JoinSettings {
    bool vr180 = false;
    std::optional<AudioSource> audio;
    std::vector<std::pair<std::string, std::string>> metadata;
};

struct JoinedFile : Fallible {
    int64_t frames = 0;
    std::string audioNote;  // how the sound was carried: "aac copied", ...
};

// Writes the pictures of `pieces`, in order, into a new MP4 at `path`
// (whatever its name). The caller has checked that they share one stream key
// and start with a keyframe; a piece that disagrees on the way is an error
// naming it.
JoinedFile joinEncodedPieces(const std::vector<std::filesystem::path>& pieces, const std::filesystem::path& path,
                             const JoinSettings& settings);

}  // namespace vistereo::media
