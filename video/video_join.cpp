// The join's checks, in order, each naming the part it is about: every part
// read and carrying a record; all of one take; all with the same settings;
// parts 1 to N, each once, in order; each as long as its record says (a part
// cut short is one whose conversion did not finish) and starting with a
// keyframe; all one stream the decoder can read through. Then the pictures
// copied and the sound of the whole range written once.
#include "video/video_join.h"

#include <cstdlib>
#include <optional>

#include "base/atomic_file.h"
#include "base/message_text.h"
#include "conversion/output_target.h"
#include "video/video_segments.h"
#include "videofile/part_join.h"

namespace vistereo {
namespace {

namespace fs = std::filesystem;

struct ReadPart {
    fs::path path;
    std::string name;  // for messages
    media::EncodedPiece piece;
    PartRecord record;
};

std::string ordinal(size_t k) {
    static const char* names[] = {"first", "second", "third", "fourth", "fifth", "sixth", "seventh", "eighth", "ninth"};
    return k < 9 ? names[k] : "number " + std::to_string(k + 1);
}

// The first setting in which `b`'s record differs from `a`'s, said for the user.
std::string settingDifference(const ReadPart& a, const ReadPart& b) {
    for (const std::string& field : PartRecord::settingFields()) {
        const std::string x = a.record.value(field), y = b.record.value(field);
        if (x != y)
            return b.name + " was converted with other settings than " + a.name + ": its " + field + " is \"" +
                   shortenForMessage(y) + "\", not \"" + shortenForMessage(x) + "\"" +
                   (field == "alignment" || field == "right-eye" || field == "colour"
                        ? " (give every part the same --alignment-from FILE)"
                        : "");
    }
    return "";
}

}  // namespace

VideoJoinResult joinVideoParts(const VideoJoinRequest& request) {
    VideoJoinResult out;
    out.output = request.output;
    if (request.parts.empty()) {
        out.error = "give the parts to join, part 1 first";
        return out;
    }
    std::vector<ReadPart> parts;
    OutputRoom room;
    for (size_t k = 0; k < request.parts.size(); ++k) {
        ReadPart part;
        part.path = request.parts[k];
        part.name = "\"" + shortenForMessage(part.path.string()) + "\"";
        std::error_code ec;
        if (!fs::is_regular_file(part.path, ec)) {
            out.error = "cannot find the part " + part.name;
            return out;
        }
        part.piece = media::readEncodedPiece(part.path, kPartRecordTag);
        if (!part.piece.ok()) {
            out.error = "cannot read the part " + part.name + ": " + part.piece.error;
            return out;
        }
        const auto record = PartRecord::parse(part.piece.tag);
        if (!record) {
            out.error = part.name + " is not a part of a take converted with video --segment K/N (it carries no part "
                                    "record)";
            return out;
        }
        part.record = *record;
        room.protect(part.path, "one of the parts");
        parts.push_back(std::move(part));
    }

    const ReadPart& first = parts.front();
    for (size_t k = 1; k < parts.size(); ++k)
        for (const std::string& field : PartRecord::takeFields())
            if (parts[k].record.value(field) != first.record.value(field)) {
                out.error = parts[k].name + " is a part of another take than " + first.name + ": its " + field +
                            " camera's file is " + parts[k].record.value(field) + ", not " + first.record.value(field);
                return out;
            }
    for (size_t k = 1; k < parts.size(); ++k)
        if (std::string difference = settingDifference(first, parts[k]); !difference.empty()) {
            out.error = difference;
            return out;
        }

    // Parts 1 to N, each once, in order.
    const std::string partsText = first.record.value("parts");
    const int count = std::atoi(partsText.c_str());
    for (size_t k = 0; k < parts.size(); ++k) {
        const int number = std::atoi(parts[k].record.value("part").c_str());
        for (size_t j = 0; j < k; ++j)
            if (std::atoi(parts[j].record.value("part").c_str()) == number) {
                out.error = parts[k].name + " is part " + std::to_string(number) + " of " + partsText + " again (" +
                            parts[j].name + " is that part too)";
                return out;
            }
        if (number != static_cast<int>(k) + 1) {
            out.error = parts[k].name + " is part " + std::to_string(number) + " of " + partsText + ", but comes " +
                        ordinal(k) + ": give the parts in order, part 1 first" +
                        (number > static_cast<int>(k) + 1 ? " (is part " + std::to_string(k + 1) + " missing?)" : "");
            return out;
        }
    }
    if (static_cast<int>(parts.size()) != count) {
        out.error = "part " + std::to_string(parts.size() + 1) + " of " + partsText + " is missing: only " +
                    std::to_string(parts.size()) + " of the take's " + partsText + " parts were given";
        return out;
    }
    for (const ReadPart& part : parts) {
        const long long recorded = std::atoll(part.record.value("frames").c_str());
        if (part.piece.frames != recorded) {
            out.error = part.name + " is cut short: it holds " + std::to_string(part.piece.frames) + " of its " +
                        std::to_string(recorded) + " frames (its conversion did not finish; convert part " +
                        part.record.value("part") + " again)";
            return out;
        }
        if (!part.piece.startsWithKeyframe) {
            out.error = part.name + " does not start with a keyframe, so it cannot be joined without encoding it again";
            return out;
        }
        if (part.piece.streamKey != first.piece.streamKey) {
            out.error = part.name + "'s encoded stream differs from " + first.name + "'s (" + part.piece.streamKey +
                        ", not " + first.piece.streamKey + "): the parts were encoded by other encoders";
            return out;
        }
    }

    media::JoinSettings settings;
    settings.vr180 = true;
    std::optional<media::AudioSource> sound;
    if (request.sound) {
        std::vector<fs::path> partPaths;
        for (const ReadPart& part : parts) partPaths.push_back(part.path);
        SoundFileSearch found = findRecordedSound(first.record, partPaths);
        if (!found.ok()) {
            out.error = found.error;
            return out;
        }
        sound = found.sound;
    }
    if (sound) {
        std::error_code ec;
        if (!fs::is_regular_file(sound->file, ec)) {
            out.error = "cannot find " + shortenForMessage(sound->file.string()) +
                        ", the camera file whose sound the parts name (--no-audio joins them without sound)";
            return out;
        }
        room.protect(sound->file, "the camera file of the sound");
        settings.audio = sound;
    }
    if (Fallible admitted = room.admit(request.output, "the output"); !admitted.ok()) {
        out.error = admitted.error;
        return out;
    }

    StreamedFileWrite file(request.output);
    if (!file.opened().ok()) {
        out.error = "cannot write " + request.output.string() + ": " + file.opened().error;
        return out;
    }
    std::vector<fs::path> paths;
    for (const ReadPart& part : parts) paths.push_back(part.path);
    const media::JoinedFile joined = media::joinEncodedPieces(paths, file.temporaryPath(), settings);
    if (!joined.ok()) {
        out.error = "cannot write " + request.output.string() + ": " + joined.error;
        return out;
    }
    if (const Fallible committed = file.commit(); !committed.ok()) {
        out.error = "cannot write " + request.output.string() + ": " + committed.error;
        return out;
    }
    out.frames = joined.frames;
    out.parts = static_cast<int>(parts.size());
    const media::FrameRate rate = first.piece.frameRate;
    out.seconds = rate.num > 0 ? joined.frames * double(rate.den) / rate.num : 0.0;
    if (!joined.audioNote.empty()) out.notes.push_back("sound: " + joined.audioNote);
    else if (!sound) out.notes.push_back("the joined video has no sound");
    return out;
}

}  // namespace vistereo
