// A long take converted in parts, on as many machines as there are: part K
// of N holds the K-th of N equal stretches of the synchronised range, cut on
// frames of the output's clock, its pictures only (the sound of the whole
// range is written once, by the join). Every part is synchronised and
// aligned over the whole range, not over its own stretch, so that all parts
// of one take have the same geometry.
//
// Each part carries its record as a text tag of the MP4 itself, written with
// the file and renamed into place with it: a part present is complete and
// its record cannot be lost, swapped or left stale beside it. The record
// says which take the part is of (the cameras' file names, sizes, durations
// and a hash of their first mebibyte), where it lies in the range, and
// everything that must be the same in every part for the join to be one
// film: the synchronisation, the lenses, the alignment, the colour match,
// the height, the zenith, the resampling and the encoder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/fallible.h"
#include "conversion/request.h"
#include "engine/colour.h"
#include "video/video_sync.h"
#include "videofile/video_writer.h"

namespace vistereo {

// Part `part` (from 1) of `parts`.
struct VideoSegment {
    int part = 1, parts = 1;
    friend bool operator==(const VideoSegment&, const VideoSegment&) = default;
};

struct SegmentChoice : Fallible {
    VideoSegment segment;
};
// "K/N", 1 <= K <= N; the error says what is wrong with the text.
SegmentChoice parseVideoSegment(const std::string& text);

// Frames [first, first + count) of a range of `rangeFrames` frames, counted
// from the range's first: the parts' stretches follow one another without a
// frame lost or doubled. With a keyframe every `keyframeInterval` frames of
// the range, every part starts on one of those keyframes, so that it starts
// where a conversion of the whole range has a keyframe too, and the parts
// hold as equal numbers of the intervals as there are (the last interval may
// be shorter); with none (0), the parts differ in length by a frame at most.
// A part that would hold no frame has a count of 0.
struct FrameSpan {
    int64_t first = 0, count = 0;
};
FrameSpan segmentFrames(int64_t rangeFrames, const VideoSegment& segment, int64_t keyframeInterval = 0);
// Whether the range can be cut into the segment's parts; the error says why not.
Fallible segmentProblem(int64_t rangeFrames, const VideoSegment& segment, int64_t keyframeInterval);

// The name of the text tag a part's record is written under.
inline constexpr const char* kPartRecordTag = "com.vistereo.part";

// A part's record: named fields in a fixed order, one "name=value" a line.
class PartRecord {
public:
    void set(const std::string& name, const std::string& value);
    // The field's value, "" when there is none.
    std::string value(const std::string& name) const;
    const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }
    std::string text() const;
    // Empty when `text` is no record.
    static std::optional<PartRecord> parse(const std::string& text);

    // The fields that say which take a part is of, and those every part of
    // one join must share; the rest say where the part lies.
    static const std::vector<std::string>& takeFields();
    static const std::vector<std::string>& settingFields();

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

// What a part's record is made of, as the conversion found it.
struct PartFacts {
    VideoSegment segment;
    FrameSpan span;
    std::filesystem::path left, right;
    double leftSeconds = 0, rightSeconds = 0;  // the files' durations
    int64_t rangeFirst = 0, rangeFrames = 0;   // the whole range, in left frames
    media::FrameRate frameRate;
    long long offsetFrames = 0;
    ConversionGeometry geometry;  // with the output's height
    std::string alignment;        // alignmentRecordText
    std::optional<RotationMatrix> rightEye;  // the right eye's rotation as rendered (with the stereo window)
    std::optional<ColourCorrection> colour;
    Interpolation interpolation = Interpolation::Bilinear;
    bool exact = false, planes = false;
    media::YuvColour outputColour;
    media::VideoEncoding encoding;
    std::optional<media::AudioSource> sound;  // of the whole range
    // The synchronisation as found from the sound (confidence above 0, with
    // its drift check) or given; handed to the other parts with the record.
    VideoOffset offset;
};
PartRecord partRecord(const PartFacts& facts);

// The sound of the whole range as a record gives it; empty for "none". Its
// file is where the part's conversion found the camera file.
std::optional<media::AudioSource> recordedSound(const PartRecord& record);

// The record's sound with its camera file found on this machine: where the
// part's conversion found it, else beside any of `parts`, in the folder
// above it or in that folder's input/ (the take's folder and its cameras'
// folder, when the parts are in its output/), each
// place taken only when the file there is the camera file the record
// describes. Empty sound for "none"; the error names the file and where it
// was looked for.
struct SoundFileSearch : Fallible {
    std::optional<media::AudioSource> sound;
};
SoundFileSearch findRecordedSound(const PartRecord& record, const std::vector<std::filesystem::path>& parts);

// One camera's file as the record names it: its file name, size, duration
// and a hash of its first mebibyte (the file's own bytes, whatever folder
// a machine finds it in).
std::string cameraFileIdentity(const std::filesystem::path& file, double durationSeconds);

// The synchronisation one part found, handed to the other parts of the take
// with its alignment, so that no part searches the sound again: the offset
// (seconds, confidence, drift check as found), for the camera files and the
// range it was found for.
struct HandedOffset {
    VideoOffset offset;
    std::string left, right;  // the camera files' identities (cameraFileIdentity)
    int64_t rangeFirst = 0, rangeFrames = 0;  // in left frames
    std::string from;  // "the part NAME"
};

// The handed offset for this run's camera files (with their durations), its
// frames at `fps`; or, naming the part it came from, why it does not fit them.
VideoOffset takeHandedOffset(const HandedOffset& handed, const std::filesystem::path& left, double leftSeconds,
                             const std::filesystem::path& right, double rightSeconds, double fps);
// Why the range this run chose with the handed offset is not the one the
// offset was found over (another --start or --duration), naming the part.
Fallible checkHandedRange(const HandedOffset& handed, int64_t rangeFirst, int64_t rangeFrames);

// The alignment every part of a take is given: points A and B or a rotation
// from a part's record, or the rotation of `align --json`'s answer; from a
// part, its synchronisation too.
struct AlignmentHandOver : Fallible {
    AlignmentChoice alignment;
    std::string from;  // "the part NAME", "the alignment in NAME"
    std::optional<HandedOffset> offset;  // a part's that records it
};
AlignmentHandOver readAlignmentFrom(const std::filesystem::path& file);

// The alignment's text in a record ("rotation r00 ... r22" or "points ...").
std::string alignmentRecordText(const AlignmentChoice& alignment, const std::optional<RotationMatrix>& rotation);

}  // namespace vistereo
