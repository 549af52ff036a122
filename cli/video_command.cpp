// vistereo-cli video: two cameras' video files into one VR180 MP4, through
// the conversion layer's video conversion.
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "base/atomic_file.h"
#include "base/message_text.h"
#include "cli/command_catalogue.h"
#include "cli/commands.h"
#include "cli/options/common.h"
#include "cli/options/json_reply.h"
#include "cli/options/conversion_options.h"
#include "cli/options/option_table.h"
#include "conversion/auto_align.h"
#include "batch/batch.h"
#include "stereofile/output_formats.h"
#include "conversion/output_target.h"
#include "video/video.h"
#include "videofile/video_reader.h"

namespace vistereo::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::array<OptionSpec, 35> kVideoOptions{{
    kDirectoryOption,
    kLeftLensOption,
    kRightLensOption,
    kLensesOption,
    withHelp(kPointsOption, "ALx,BLx,ARx,BRx,ALy,BLy,ARy,BRy: points A and B in the frames' pixels"),
    withHelp(kAutoAlignOption, "align the right eye from frame pairs spread over the range (no --points)"),
    kRotationFromOption,
    kLeftTurnOption,
    kRightTurnOption,
    withHelp(kOutputOption, "the VR180 video to write, an .mp4: a bare name goes into output/, a path\n"
                            "                            (with /) is taken as given; its folders are made"),
    withHelp(kHeightOption, "output height, even, at most 4096 (H.264 and HEVC level 6.2 reach 8192 x 4096);\n"
                            "                            the width is twice that (default: the largest power-of-two-\n"
                            "                            friendly size the lens circles support, at most 2048 for h264\n"
                            "                            and 4096 for hevc); the file is marked with the lowest level\n"
                            "                            that takes its size at the cameras' frame rate"),
    kRollOption,
    kPitchOption,
    kYawOption,
    kInterpOption,
    kMatchColourOption,
    kConvergenceOption,
    kZeroParallaxOption,
    kBaselineOption,
    {"codec", 0, "CODEC", "h264 (default) or hevc"},
    {"crf", 0, "Q", "the encoder's constant rate factor, 0-51; lower is better (default: 20)"},
    {"preset", 0, "P", "the encoder's speed preset, ultrafast .. veryslow (default: fast)"},
    {"keyframes", 0, "N", "a keyframe every N frames of the range, where the parts of --segment start\n"
                          "                            (default: 250; 0: where the encoder chooses)"},
    {"start", 0, "T", "start of the range on the left camera's clock: seconds, M:SS or H:MM:SS\n"
                      "                            (default: the first moment both cameras film)"},
    {"duration", 0, "T", "length of the range (default: until either camera stops)"},
    {"offset", 0, "SECONDS", "the right camera's clock minus the left's, when their sound cannot tell\n"
                             "                            (default: found by cross-correlating their sound)"},
    {"audio", 0, "SIDE", "whose sound the output carries: left (default), right or none"},
    {"segment", 0, "K/N", "convert only the K-th of N equal parts of the range, its pictures only, for\n"
                          "                            video-join to join with the others (see docs/video.md)"},
    {"alignment-from", 0, "FILE", "align the right eye as a part of the take (an .mp4 of --segment) or\n"
                                  "                            align --json's answer says: every part the same"},
    kThreadsOption,
    kVrSuffixOption,
    withHelp(kExactOption, "take every angle through acos/atan2/sin/cos (slower)"),
    withHelp(kQuietOption, "print nothing but errors and warnings"),
    withHelp(kJsonOption, "print one JSON object at the end, also on a failure (ok, offset_seconds,\n"
                          "                            offset_confidence, frames, seconds, fps, output, error, exit_status)"),
    kHelpOption,
}};

constexpr const char* kUsage =
    "usage: vistereo-cli video [-C DIR] --left-lens LENS --right-lens LENS [--lenses FILE]\n"
    "                          (--points LIST | --auto-align | --rotation-from FILE | --alignment-from FILE)\n"
    "                          LEFT RIGHT -o OUT.mp4 [--segment K/N]\n"
    "                          [--left-turn DEG] [--right-turn DEG] [--height N]\n"
    "                          [--roll DEG] [--pitch DEG] [--yaw DEG] [--interp KIND] [--match-colour[=vignetting]]\n"
    "                          [--convergence DEG | --zero-parallax METRES [--baseline MM]] [--codec h264|hevc]\n"
    "                          [--crf Q] [--preset P] [--keyframes N] [--start T] [--duration T]\n"
    "                          [--offset SECONDS] [--audio left|right|none] [--threads N]\n"
    "                          [--vr-suffix] [--exact] [--quiet] [--json]\n";

}  // namespace

const CommandHelp kVideoHelp{"video", "convert two cameras' videos of one take into a VR180 MP4", kUsage,
                             "Converts two cameras' videos of one take into a side-by-side 180-degree stereo MP4\n"
                             "that YouTube and headset players recognise as VR180: the two synchronised by their\n"
                             "sound (or --offset), the right eye aligned once, every frame pair converted through\n"
                             "one remap plan per eye. LEFT and RIGHT are bare names in input/ of the working\n"
                             "directory, or paths (with /) taken as given. The video is written under a temporary\n"
                             "name and appears only when complete. An output that would replace an input or the\n"
                             "lens registry is refused before any frame is decoded. Exit status: 0 written,\n"
                             "1 refused or failed (nothing written), 2 usage error.",
                             kVideoOptions};

namespace {

constexpr const char* kInterrupted = "\nvistereo-cli: interrupted; no video was written\n";

int usageError(std::ostream& err, const std::string& text) { return cli::usageError(err, text, kUsage, "video"); }

std::string number(double v, const char* format = "%.6g") {
    char text[40];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

// Steps and progress for the user: a bar on a terminal, a line every few
// seconds otherwise, all on stderr.
class VideoReport : public VideoObserver {
public:
    VideoReport(std::ostream& err, bool bar, bool quiet) : err_(err), bar_(bar && !quiet), quiet_(quiet) {}

    void stepDone(const std::string& text) override {
        if (!quiet_) err_ << text << "\n" << std::flush;
    }
    void framesDone(const VideoProgress& p) override {
        if (quiet_) return;
        const auto now = std::chrono::steady_clock::now();
        const bool last = p.done == p.total;
        if (!bar_ && !last && now - lastLine_ < std::chrono::seconds(5)) return;
        if (bar_ && !last && now - lastLine_ < std::chrono::milliseconds(200)) return;
        lastLine_ = now;
        std::string text = std::to_string(p.done) + "/" + std::to_string(p.total) + " frames, " +
                           number(p.framesPerSecond(), "%.1f") + " fps";
        if (const auto left = p.secondsLeft()) text += ", " + formatClock(*left) + " left";
        if (bar_) {
            const int width = 24;
            const int filled = p.total ? static_cast<int>(p.done * width / p.total) : width;
            text = "\r[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " + text;
            err_ << text << std::string(drawn_ > text.size() ? drawn_ - text.size() : 0, ' ') << std::flush;
            drawn_ = text.size();
        } else {
            err_ << text << "\n" << std::flush;
        }
    }
    void finish() {
        if (drawn_) err_ << "\r" << std::string(drawn_, ' ') << "\r" << std::flush;
        drawn_ = 0;
    }

private:
    std::ostream& err_;
    const bool bar_, quiet_;
    size_t drawn_ = 0;
    std::chrono::steady_clock::time_point lastLine_{};
};

// The result's members of the --json object.
std::string resultMembers(const VideoResult& r) {
    const bool known = r.offsetGiven || r.offset.confidence > 0;
    std::ostringstream out;
    out << "\"offset_seconds\": " << (known ? number(r.offset.seconds, "%.6f") : "null")
        << ", \"offset_confidence\": " << (known && !r.offsetGiven ? number(r.offset.confidence, "%.3f") : "null")
        << ", \"frames\": " << (r.written() ? r.frames : 0) << ", \"seconds\": "
        << (r.written() ? number(r.seconds, "%.6f") : "0") << ", \"fps\": " << number(r.fps)
        << ", \"output\": " << (r.written() ? jsonString(r.output.string()) : "null");
    return out.str();
}

}  // namespace

namespace {

int convertVideos(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, JsonReply* reply) {
    const ParsedOptions options = parseOptions(args, kVideoOptions, 2);
    if (!options.error.empty()) return usageError(err, options.error);
    if (options.has("help")) {
        printCommandHelp(out, kVideoHelp);
        return kExitOk;
    }
    const bool autoAlign = options.has("auto-align");
    if (options.has("alignment-from") && (autoAlign || options.has("points") || options.has("rotation-from")))
        return usageError(err, "--alignment-from hands over an alignment found before: give it without --points, "
                               "--auto-align or --rotation-from");
    if (const Fallible none = noLensRegistered(options, workingDirectoryOf(options)); !none.ok()) {
        printError(err, none.error);
        return kExitFailed;
    }
    for (const char* required : {"left-lens", "right-lens", "output"})
        if (!options.has(required)) return usageError(err, std::string("missing --") + required);
    if (autoAlign && options.has("points"))
        return usageError(err, "--auto-align finds the alignment itself: give it without --points");
    if (options.has("rotation-from") && (autoAlign || options.has("points")))
        return usageError(err, "--rotation-from aligns the right eye by the calibration's rotation: give it without "
                               "--points or --auto-align");
    if (!autoAlign && !options.has("points") && !options.has("rotation-from") && !options.has("alignment-from"))
        return usageError(err, "missing --points (or --auto-align, or --rotation-from)");
    if (options.positional.size() != 2) return usageError(err, "give the LEFT and the RIGHT video");

    VideoRequest request;
    const fs::path directory = workingDirectoryOf(options);
    ConversionRequest& frames = request.frames;
    frames.outputHeight = 0;  // the default for the lens circles, unless --height
    // An alignment handed over reads no points: read as automatic, then replaced.
    const bool handedOver = options.has("alignment-from");
    if (const Fallible bad = readConversionChoices(options, autoAlign || handedOver ? std::optional(AlignmentScope::Once)
                                                                                : std::nullopt,
                                                 frames, request.run); !bad.ok()) return usageError(err, bad.error);
    request.encoding.threads = request.run.threads;
    frames.refuseImpossibleLenses = true;  // lens values and points are checked on every route of the command line
    frames.refuseImpossiblePoints = true;

    if (options.has("codec")) {
        const auto codec = media::codecNamed(options.value("codec"));
        if (!codec) return usageError(err, "--codec takes h264 or hevc");
        request.encoding.codec = *codec;
    }
    if (options.has("height"))
        if (const std::string problem = media::videoHeightProblem(request.encoding.codec, frames.outputHeight);
            !problem.empty())
            return usageError(err, "--height: " + problem);
    if (options.has("crf")) {
        const auto crf = parseWholeNumber(options.value("crf"));
        if (!crf || *crf < 0 || *crf > 51) return usageError(err, "--crf takes a whole number from 0 to 51");
        request.encoding.crf = *crf;
    }
    if (options.has("preset")) {
        request.encoding.preset = options.value("preset");
        if (!media::isEncoderPreset(request.encoding.preset))
            return usageError(err, "--preset takes ultrafast, superfast, veryfast, faster, fast, medium, slow, "
                                   "slower or veryslow");
    }
    if (options.has("keyframes")) {
        const auto every = parseWholeNumber(options.value("keyframes"));
        if (!every || *every < 0 || *every > 100000)
            return usageError(err, "--keyframes takes a whole number of frames from 0 to 100000, such as 250");
        request.encoding.keyframeInterval = *every;
    }
    const std::pair<const char*, std::optional<double>*> times[] = {{"start", &request.startSeconds},
                                                                   {"duration", &request.durationSeconds}};
    for (const auto& [name, target] : times) {
        if (!options.has(name)) continue;
        *target = media::parseMediaTime(options.value(name));
        if (!*target) return usageError(err, std::string("--") + name + " takes seconds, M:SS or H:MM:SS, such as 12.5 or 1:05");
    }
    if (options.has("offset")) {
        const std::string text = options.value("offset");
        char* end = nullptr;
        const double offset = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(offset))
            return usageError(err, "--offset takes seconds, such as 0.25 or -1.5");
        request.offsetSeconds = offset;
    }
    if (options.has("audio")) {
        const std::string side = options.value("audio");
        if (side == "left") request.sound = VideoSound::Left;
        else if (side == "right") request.sound = VideoSound::Right;
        else if (side == "none") request.sound = VideoSound::None;
        else return usageError(err, "--audio takes left, right or none");
    }
    if (options.has("segment")) {
        const SegmentChoice segment = parseVideoSegment(options.value("segment"));
        if (!segment.ok()) return usageError(err, segment.error);
        request.segment = segment.segment;
    }

    fs::path* sides[2] = {&request.left, &request.right};
    for (int side = 0; side < 2; ++side) {
        const std::string& name = options.positional[side];
        *sides[side] = argumentPath(name, directory / "input");
        std::error_code ec;
        if (!fs::exists(*sides[side], ec)) {
            printError(err, std::string("cannot find the ") + (side ? "right" : "left") + " video \"" + name +
                                "\" (no file at " + shortenForMessage(sides[side]->string()) + ")");
            return kExitFailed;
        }
    }
    std::string outputName = options.value("output");
    if (options.has("vr-suffix")) outputName = withVrSuffix(outputName);
    request.output = argumentPath(outputName, directory / "output");
    if (!isMp4Name(request.output))
        return usageError(err, "-o names an .mp4 file (the VR180 boxes are written in MP4 only)");

    std::vector<ProtectedFile> lensFiles;
    if (const Fallible chosen = chooseLenses(options, directory, frames.lenses, &lensFiles); !chosen.ok())
        return usageError(err, chosen.error);
    if (!applyRigChoices(options, frames, lensFiles, err)) return kExitFailed;
    if (handedOver) {
        const AlignmentHandOver given = readAlignmentFrom(options.value("alignment-from"));
        if (!given.ok()) {
            printError(err, given.error);
            return kExitFailed;
        }
        frames.alignment = given.alignment;
        request.handedOffset = given.offset;  // a part's synchronisation, unless --offset is given
        lensFiles.push_back({options.value("alignment-from"), "the --alignment-from file"});
    }

    // The output is judged before any frame is decoded: no file this run
    // reads replaced, a place it can go (its missing folders are made).
    if (const Fallible admitted = admitVideoOutput(request, directory, lensFiles); !admitted.ok()) {
        printError(err, admitted.error);
        return kExitFailed;
    }

    const bool quiet = options.has("quiet"), json = reply != nullptr;
    // A temporary left by a run killed outright in this folder goes now; the
    // one being written when this one is interrupted goes with it.
    removeAbandonedTemporaries(request.output, err, quiet);
    removeTemporariesOnTermination(kInterrupted);

    VideoReport report(err, isatty(STDERR_FILENO) == 1, quiet);
    const VideoResult result = convertVideo(request, report);
    report.finish();
    for (const std::string& warning : result.warnings) err << "vistereo-cli: warning: " << warning << "\n";
    if (!quiet)
        for (const std::string& note : result.notes) err << "vistereo-cli: note: " << note << "\n";
    if (reply) reply->set(resultMembers(result));
    if (!result.written()) {
        printError(err, result.detail);
        return kExitFailed;
    }
    if (!quiet && !json) {
        out << "wrote " << result.output.string() << " (" << 2 * result.outputHeight << " x " << result.outputHeight
            << ", " << result.frames << " frames, " << number(result.seconds, "%.3f") << " s at "
            << number(result.fps, "%.5g") << " fps, " << media::codecName(request.encoding.codec) << " crf "
            << request.encoding.crf << " " << request.encoding.preset << ") in " << number(result.wallSeconds, "%.1f")
            << " s\n";
        if (result.offsetGiven)
            out << "offset: " << number(result.offset.seconds, "%.4f") << " s as given (" << result.offset.frames
                << " frames)\n";
        out << "alignment: " << result.alignment << "\n";
        if (result.colour && result.colour->ok()) out << describeColourMatch(*result.colour) << "\n";
    }
    return kExitOk;
}

}  // namespace

int runVideoCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return answerInJson(args, out, err, convertVideos);
}

}  // namespace vistereo::cli
