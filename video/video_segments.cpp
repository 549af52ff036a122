// The parts of a take: their stretches of the range, their records, and the
// alignment handed to every part.
#include "video/video_segments.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/message_text.h"
#include "videofile/part_join.h"

namespace vistereo {
namespace {

namespace fs = std::filesystem;

constexpr size_t kIdentityBytes = size_t(1) << 20;  // of a camera file, hashed for its identity

// The record's numbers: enough digits to give back the same double.
std::string exactNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v + 0.0);
    return text;
}

uint64_t fnv1a(const void* data, size_t size, uint64_t hash = 1469598103934665603ULL) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t k = 0; k < size; ++k) hash = (hash ^ bytes[k]) * 1099511628211ULL;
    return hash;
}

std::string hexText(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

std::string rotationText(const RotationMatrix& r) {
    std::string text;
    for (const auto& row : r.m)
        for (double v : row) text += (text.empty() ? "" : " ") + exactNumber(v);
    return text;
}

// Nine numbers, or none.
std::optional<RotationMatrix> rotationOf(const std::string& text) {
    std::istringstream in(text);
    RotationMatrix r;
    for (auto& row : r.m)
        for (double& v : row)
            if (!(in >> v)) return std::nullopt;
    std::string more;
    if (in >> more) return std::nullopt;
    return r;
}

std::string eyeText(const EyeGeometry& e) {
    std::string text = std::to_string(e.imageWidth) + "x" + std::to_string(e.imageHeight) + " law " +
                       std::to_string(static_cast<int32_t>(e.mapping)) + " radius " + std::to_string(e.radius180) +
                       " axis " + std::to_string(e.axisX) + "," + std::to_string(e.axisY) + " turns " +
                       std::to_string(e.quarterTurns);
    const double numbers[] = {e.sineK, e.mappingScale, e.radius1, e.radius2, e.radius3, e.circleTheta, e.reachTheta,
                              e.axisFractionX, e.axisFractionY, e.aspect, e.correction.axisDx, e.correction.axisDy,
                              e.correction.scale, e.correction.shape, e.polynomial.k1, e.polynomial.k2,
                              e.polynomial.k3, e.polynomial.k4, e.sphere.first, e.sphere.second, e.quadratic.theta1,
                              e.quadratic.theta2, e.quadratic.theta3, e.quadratic.a1, e.quadratic.b1, e.quadratic.c1,
                              e.quadratic.a2, e.quadratic.b2, e.quadratic.c2, e.quadratic.a3, e.quadratic.b3,
                              e.quadratic.c3, e.quadratic.a4, e.quadratic.b4, e.quadratic.c4};
    for (double v : numbers) text += " " + exactNumber(v);
    return text;
}

// The colour match as a hash of everything it applies.
std::string colourText(const std::optional<ColourCorrection>& colour) {
    if (!colour) return "none";
    uint64_t hash = fnv1a(nullptr, 0);
    for (const EyeColourCorrection& eye : colour->eye) {
        hash = fnv1a(eye.tone.data(), sizeof eye.tone, hash);
        hash = fnv1a(eye.falloff.data(), sizeof eye.falloff, hash);
        for (double v : {eye.axisX, eye.axisY, eye.rimRadius}) hash = fnv1a(&v, sizeof v, hash);
    }
    return "matched " + hexText(hash);
}

const char* interpolationName(Interpolation kind) {
    switch (kind) {
        case Interpolation::Bicubic: return "bicubic";
        case Interpolation::Lanczos: return "lanczos";
        default: return "bilinear";
    }
}

// The numbers of the "rotation" array of an align --json answer.
std::optional<RotationMatrix> jsonRotation(const std::string& text) {
    const size_t key = text.find("\"rotation\"");
    if (key == std::string::npos) return std::nullopt;
    const size_t open = text.find('[', key), close = text.find(']', key);
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
    std::string numbers = text.substr(open + 1, close - open - 1);
    std::replace(numbers.begin(), numbers.end(), ',', ' ');
    return rotationOf(numbers);
}

}  // namespace

SegmentChoice parseVideoSegment(const std::string& text) {
    SegmentChoice out;
    const size_t slash = text.find('/');
    const auto whole = [](const std::string& t) -> std::optional<int> {
        if (t.empty() || t.size() > 6 || t.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        return std::atoi(t.c_str());
    };
    const auto part = slash == std::string::npos ? std::nullopt : whole(text.substr(0, slash));
    const auto parts = slash == std::string::npos ? std::nullopt : whole(text.substr(slash + 1));
    if (!part || !parts) {
        out.error = "--segment takes K/N, the K-th of N equal parts of the range, such as 2/8";
        return out;
    }
    if (*parts < 1) out.error = "--segment " + text + ": the range is cut into 1 part or more";
    else if (*part < 1) out.error = "--segment " + text + ": parts are counted from 1, so the first is 1/" + std::to_string(*parts);
    else if (*part > *parts)
        out.error = "--segment " + text + ": there are only " + std::to_string(*parts) + " parts, so the last is " +
                    std::to_string(*parts) + "/" + std::to_string(*parts);
    out.segment = {*part, *parts};
    return out;
}

FrameSpan segmentFrames(int64_t rangeFrames, const VideoSegment& segment, int64_t keyframeInterval) {
    // The intervals between keyframes (the last one perhaps shorter) dealt
    // out; without a grid, every frame is an interval of its own.
    const int64_t every = std::max<int64_t>(1, keyframeInterval);
    const int64_t intervals = (rangeFrames + every - 1) / every;
    const auto cut = [&](int64_t k) { return std::min(rangeFrames, intervals * k / segment.parts * every); };
    return {cut(segment.part - 1), cut(segment.part) - cut(segment.part - 1)};
}

Fallible segmentProblem(int64_t rangeFrames, const VideoSegment& segment, int64_t keyframeInterval) {
    if (keyframeInterval <= 0) {
        if (rangeFrames >= segment.parts) return {};
        return Fallible{"the range has " + std::to_string(rangeFrames) + " frames, too few for " +
               std::to_string(segment.parts) + " parts of a frame or more"};
    }
    const int64_t intervals = (rangeFrames + keyframeInterval - 1) / keyframeInterval;
    if (intervals >= segment.parts) return {};
    return Fallible{"the range has " + std::to_string(rangeFrames) + " frames, " + std::to_string(intervals) +
           (intervals == 1 ? " stretch" : " stretches") + " between keyframes " + std::to_string(keyframeInterval) +
           " frames apart: too few for " + std::to_string(segment.parts) +
           " parts, each of which starts on a keyframe (--keyframes sets a shorter interval)"};
}

void PartRecord::set(const std::string& name, const std::string& value) {
    for (auto& field : fields_)
        if (field.first == name) {
            field.second = value;
            return;
        }
    fields_.emplace_back(name, value);
}

std::string PartRecord::value(const std::string& name) const {
    for (const auto& field : fields_)
        if (field.first == name) return field.second;
    return "";
}

std::string PartRecord::text() const {
    std::string text;
    for (const auto& [name, value] : fields_) text += name + "=" + value + "\n";
    return text;
}

std::optional<PartRecord> PartRecord::parse(const std::string& text) {
    PartRecord record;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) return std::nullopt;
        record.fields_.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    if (record.value("record") != "vistereo part 1") return std::nullopt;
    return record;
}

const std::vector<std::string>& PartRecord::takeFields() {
    static const std::vector<std::string> names{"left", "right"};
    return names;
}

const std::vector<std::string>& PartRecord::settingFields() {
    static const std::vector<std::string> names{"range",  "fps",     "offset", "parts",  "height", "left-lens",
                                                "right-lens", "zenith", "alignment", "right-eye", "colour",
                                                "resampling", "frames-as", "picture-colour", "encoder", "sound"};
    return names;
}

PartRecord partRecord(const PartFacts& f) {
    PartRecord r;
    r.set("record", "vistereo part 1");
    r.set("left", cameraFileIdentity(f.left, f.leftSeconds));
    r.set("right", cameraFileIdentity(f.right, f.rightSeconds));
    r.set("range", std::to_string(f.rangeFirst) + " " + std::to_string(f.rangeFrames));
    r.set("fps", std::to_string(f.frameRate.num) + "/" + std::to_string(f.frameRate.den));
    r.set("offset", std::to_string(f.offsetFrames));
    r.set("parts", std::to_string(f.segment.parts));
    r.set("part", std::to_string(f.segment.part));
    r.set("first", std::to_string(f.span.first));
    r.set("frames", std::to_string(f.span.count));
    r.set("height", std::to_string(f.geometry.outputHeight));
    r.set("left-lens", eyeText(f.geometry.eye[0]));
    r.set("right-lens", eyeText(f.geometry.eye[1]));
    const ZenithAngles& z = f.geometry.zenith;
    r.set("zenith", exactNumber(z.roll) + " " + exactNumber(z.pitch) + " " + exactNumber(z.yaw));
    r.set("alignment", f.alignment);
    r.set("right-eye", f.rightEye ? rotationText(*f.rightEye) : "by the points");
    r.set("colour", colourText(f.colour));
    r.set("resampling", std::string(interpolationName(f.interpolation)) + (f.exact ? " exact" : ""));
    r.set("frames-as", f.planes ? "planes" : "bgr");
    r.set("picture-colour", f.outputColour.describe());
    r.set("encoder", std::string(media::codecName(f.encoding.codec)) + " crf " + std::to_string(f.encoding.crf) + " " +
                         f.encoding.preset + " keyframes " + std::to_string(f.encoding.keyframeInterval));
    // The sound names its camera ("left" or "right", whose identity the
    // record holds), not a path: parts made on machines that mount the take
    // at other places then agree. Where the camera file was is kept beside
    // it, as the join's first place to look.
    if (!f.sound) r.set("sound", "none");
    else {
        const bool right = fs::absolute(f.sound->file).lexically_normal() == fs::absolute(f.right).lexically_normal();
        r.set("sound", exactNumber(f.sound->fromSeconds) + " " + exactNumber(f.sound->seconds) + " " +
                           (right ? "right" : "left"));
        r.set("sound-file", fs::absolute(f.sound->file).lexically_normal().string());
    }
    // The offset to the audio sample, its confidence (0: given) and its drift
    // check, for the parts handed this one: not a setting the join compares,
    // since "offset" and "sound" already are.
    const VideoOffset& o = f.offset;
    r.set("sync", exactNumber(o.seconds) + " " + exactNumber(o.confidence) + " " +
                      (o.driftSeconds ? exactNumber(*o.driftSeconds) : std::string("none")));
    if (!o.driftSeconds && !o.driftNote.empty()) r.set("sync-drift-note", o.driftNote);
    return r;
}

std::optional<media::AudioSource> recordedSound(const PartRecord& record) {
    const std::string text = record.value("sound");
    std::istringstream in(text);
    media::AudioSource sound;
    if (!(in >> sound.fromSeconds >> sound.seconds)) return std::nullopt;
    std::string file;
    std::getline(in >> std::ws, file);
    if (file.empty()) return std::nullopt;
    // A camera named by its side is looked for where the record last saw it.
    sound.file = file == "left" || file == "right" ? fs::path(record.value("sound-file")) : fs::path(file);
    return sound;
}

namespace {

// Whether `file` is the camera file `identity` describes: its name, size and
// the hash of its first mebibyte (its duration is not read again here).
bool isCameraFile(const fs::path& file, const std::string& identity) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return false;
    const auto tokens = [](const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string t; in >> t;) out.push_back(t);
        return out;
    };
    std::vector<std::string> want = tokens(identity), got = tokens(cameraFileIdentity(file, 0.0));
    // "NAME SIZE bytes SECONDS s HASH": all but the seconds (a name with spaces has more tokens alike).
    if (want.size() != got.size() || want.size() < 5) return false;
    want.erase(want.end() - 3), got.erase(got.end() - 3);
    return want == got;
}

}  // namespace

SoundFileSearch findRecordedSound(const PartRecord& record, const std::vector<fs::path>& parts) {
    SoundFileSearch out;
    std::optional<media::AudioSource> sound = recordedSound(record);
    if (!sound) return out;
    std::istringstream in(record.value("sound"));
    std::string from, seconds, side;
    in >> from >> seconds >> side;
    if (side != "left" && side != "right") {  // a record that names the file by its path only
        out.sound = sound;
        return out;
    }
    const std::string identity = record.value(side);
    const std::string head = identity.substr(0, identity.rfind(" bytes "));  // "NAME SIZE"
    const std::string nameOnly = head.substr(0, head.rfind(' '));
    // Where it was, then beside each part and in the folder above it (a
    // part's default place is the take's output/ folder).
    std::vector<fs::path> places{sound->file};
    for (const fs::path& part : parts) {
        const fs::path folder = fs::absolute(part).parent_path();
        places.push_back(folder / nameOnly);
        places.push_back(folder.parent_path() / nameOnly);
        places.push_back(folder.parent_path() / "input" / nameOnly);
    }
    for (const fs::path& place : places)
        if (isCameraFile(place, identity)) {
            sound->file = place;
            out.sound = sound;
            return out;
        }
    out.error = "cannot find the " + side + " camera's file " + shortenForMessage(nameOnly) + " (" +
                shortenForMessage(sound->file.string()) + " where the parts were made, nor beside the parts, in " +
                "the folder above them or its input/), whose sound the parts name (--no-audio joins them without sound)";
    return out;
}

std::string cameraFileIdentity(const fs::path& file, double durationSeconds) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    std::string head(kIdentityBytes, '\0');
    std::ifstream in(file, std::ios::binary);
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f", durationSeconds);
    return file.filename().string() + " " + (ec ? std::string("?") : std::to_string(size)) + " bytes " + seconds +
           " s " + hexText(fnv1a(head.data(), head.size()));
}

namespace {

// The synchronisation a part's record holds, with the take and range it was
// found for; none in a record that does not hold it.
std::optional<HandedOffset> handedOffsetOf(const PartRecord& record, const std::string& from) {
    std::istringstream sync(record.value("sync")), range(record.value("range"));
    HandedOffset handed;
    std::string drift;
    if (!(sync >> handed.offset.seconds >> handed.offset.confidence >> drift)) return std::nullopt;
    if (!(range >> handed.rangeFirst >> handed.rangeFrames)) return std::nullopt;
    if (drift != "none") {
        char* end = nullptr;
        const double seconds = std::strtod(drift.c_str(), &end);
        if (end == drift.c_str() || *end != '\0') return std::nullopt;
        handed.offset.driftSeconds = seconds;
    }
    handed.offset.driftNote = record.value("sync-drift-note");
    handed.left = record.value("left");
    handed.right = record.value("right");
    handed.from = from;
    return handed;
}

}  // namespace

VideoOffset takeHandedOffset(const HandedOffset& handed, const fs::path& left, double leftSeconds,
                             const fs::path& right, double rightSeconds, double fps) {
    VideoOffset offset = handed.offset;
    const struct { const char* side; const fs::path& file; double seconds; const std::string& recorded; } cameras[] = {
        {"left", left, leftSeconds, handed.left},
        {"right", right, rightSeconds, handed.right},
    };
    for (const auto& camera : cameras) {
        const std::string identity = cameraFileIdentity(camera.file, camera.seconds);
        if (identity != camera.recorded) {
            offset.error = "--alignment-from: " + handed.from + " was synchronised on other camera files: its " +
                           camera.side + " video is " + shortenForMessage(camera.recorded) + ", this run's \"" +
                           shortenForMessage(camera.file.string()) + "\" is " + shortenForMessage(identity) +
                           " (give the parts of one take the same two files, or --offset)";
            return offset;
        }
    }
    offset.frames = std::llround(offset.seconds * fps);
    offset.remainderSeconds = offset.seconds - offset.frames / fps;
    return offset;
}

Fallible checkHandedRange(const HandedOffset& handed, int64_t rangeFirst, int64_t rangeFrames) {
    if (handed.rangeFirst == rangeFirst && handed.rangeFrames == rangeFrames) return {};
    return {"--alignment-from: " + handed.from + " was synchronised over frames " + std::to_string(handed.rangeFirst) +
           " to " + std::to_string(handed.rangeFirst + handed.rangeFrames - 1) + " of the left video, this range is " +
           std::to_string(rangeFirst) + " to " + std::to_string(rangeFirst + rangeFrames - 1) +
           ": give every part the same --start and --duration"};
}

std::string alignmentRecordText(const AlignmentChoice& alignment, const std::optional<RotationMatrix>& rotation) {
    if (rotation) return "rotation " + rotationText(*rotation);
    std::string text = "points";
    for (int32_t v : alignmentPoints(alignment).listOrder()) text += " " + std::to_string(v);
    return text;
}

AlignmentHandOver readAlignmentFrom(const fs::path& file) {
    AlignmentHandOver out;
    const std::string name = shortenForMessage(file.string());
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
        out.error = "--alignment-from: there is no file " + name;
        return out;
    }
    std::string head;
    {
        std::ifstream in(file, std::ios::binary);
        head.assign(4096, '\0');
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        head.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
    }
    const size_t firstText = head.find_first_not_of(" \t\r\n");
    if (firstText != std::string::npos && head[firstText] == '{') {
        std::ifstream in(file, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        const auto rotation = jsonRotation(text);
        if (!rotation) {
            out.error = "--alignment-from: " + name + " holds no \"rotation\" of nine numbers (the answer of align --json)";
            return out;
        }
        out.alignment = GivenRotation{*rotation};
        out.from = "the alignment in " + name;
        return out;
    }
    const media::TextTag tag = media::readTextTag(file, kPartRecordTag);
    if (!tag.ok()) {
        out.error = "--alignment-from: cannot read " + name + ": " + tag.error;
        return out;
    }
    const auto record = PartRecord::parse(tag.text);
    if (!record) {
        out.error = "--alignment-from: " + name + " is neither a part of a take converted with --segment nor the "
                                                  "answer of align --json";
        return out;
    }
    out.offset = handedOffsetOf(*record, "the part " + name);
    std::istringstream in(record->value("alignment"));
    std::string kind;
    in >> kind;
    std::string rest;
    std::getline(in, rest);
    if (kind == "rotation") {
        if (const auto rotation = rotationOf(rest)) {
            out.alignment = GivenRotation{*rotation};
            out.from = "the part " + name;
            return out;
        }
    } else if (kind == "points") {
        std::istringstream numbers(rest);
        std::array<int32_t, 8> values{};
        bool complete = true;
        for (int32_t& v : values) complete = complete && static_cast<bool>(numbers >> v);
        if (complete) {
            out.alignment = PointsAB{PointSet::fromListOrder(values)};
            out.from = "the part " + name;
            return out;
        }
    }
    out.error = "--alignment-from: the record of " + name + " holds no alignment";
    return out;
}

}  // namespace vistereo
