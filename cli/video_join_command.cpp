// vistereo-cli video-join: the parts of a take converted with video
// --segment K/N joined into one VR180 MP4, through the video layer's join.
#include <array>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "base/atomic_file.h"
#include "base/message_text.h"
#include "cli/command_catalogue.h"
#include "cli/commands.h"
#include "cli/options/common.h"
#include "cli/options/conversion_options.h"
#include "cli/options/json_reply.h"
#include "cli/options/option_table.h"
#include "video/video.h"
#include "video/video_join.h"

namespace vistereo::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::array<OptionSpec, 5> kVideoJoinOptions{{
    withHelp(kOutputOption, "the VR180 video to write, an .mp4, taken as given; its folders are made"),
    {"no-audio", 0, nullptr, "join the pictures without the sound the parts name"},
    withHelp(kQuietOption, "print nothing but errors"),
    withHelp(kJsonOption, "print one JSON object at the end, also on a failure (ok, frames, seconds, parts,\n"
                          "                            output, error, exit_status)"),
    kHelpOption,
}};

constexpr const char* kVideoJoinUsage = "usage: vistereo-cli video-join -o OUT.mp4 [--no-audio] [--quiet] [--json] PART...\n";

}  // namespace

const CommandHelp kVideoJoinHelp{
    "video-join", "join the parts of a take converted with video --segment", kVideoJoinUsage,
    "Joins the parts of one take, each converted with video --segment K/N (on one machine or\n"
    "many), into the one VR180 MP4 a single conversion of the whole range writes: the parts'\n"
    "pictures copied one after another without encoding them again, the sound of the whole\n"
    "range written once from the camera the parts name, the VR180 boxes as for a single\n"
    "conversion. PART... are the parts in order, part 1 first. A part that is missing, given\n"
    "twice or out of order, of another take, converted with other settings or cut short is\n"
    "refused, naming it, and nothing is written. The video appears only when complete.\n"
    "Exit status: 0 written, 1 refused or failed (nothing written), 2 usage error.",
    kVideoJoinOptions};

namespace {

int joinParts(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, JsonReply* reply) {
    const auto usage = [&](const std::string& text) { return cli::usageError(err, text, kVideoJoinUsage, "video-join"); };
    const ParsedOptions options = parseOptions(args, kVideoJoinOptions, 1000000);
    if (!options.error.empty()) return usage(options.error);
    if (options.has("help")) {
        printCommandHelp(out, kVideoJoinHelp);
        return kExitOk;
    }
    if (!options.has("output")) return usage("missing -o OUT.mp4");
    if (options.positional.empty()) return usage("give the parts to join, part 1 first");
    VideoJoinRequest request;
    request.output = options.value("output");
    if (!isMp4Name(request.output)) return usage("-o names an .mp4 file (the VR180 boxes are written in MP4 only)");
    for (const std::string& part : options.positional) request.parts.emplace_back(part);
    request.sound = !options.has("no-audio");
    const fs::path folder = request.output.has_parent_path() ? request.output.parent_path() : fs::path(".");
    std::error_code ec;
    fs::create_directories(folder, ec);

    // A temporary of a join killed outright goes now; the one being written
    // when this one is interrupted goes with it.
    removeAbandonedTemporaries(request.output, err, options.has("quiet"));
    removeTemporariesOnTermination("\nvistereo-cli: interrupted; no video was written\n");
    const VideoJoinResult result = joinVideoParts(request);
    if (reply) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.6f", result.ok() ? result.seconds : 0.0);
        std::ostringstream members;
        members << "\"frames\": " << (result.ok() ? result.frames : 0) << ", \"seconds\": " << seconds
                << ", \"parts\": " << result.parts
                << ", \"output\": " << (result.ok() ? jsonString(result.output.string()) : "null");
        reply->set(members.str());
    }
    if (!result.ok()) {
        printError(err, result.error);
        return kExitFailed;
    }
    if (!options.has("quiet"))
        for (const std::string& note : result.notes) err << "vistereo-cli: note: " << note << "\n";
    if (!options.has("quiet") && !reply) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", result.seconds);
        out << "wrote " << result.output.string() << " (" << result.parts << " parts, " << result.frames << " frames, "
            << seconds << " s)\n";
    }
    return kExitOk;
}

}  // namespace

int runVideoJoinCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return answerInJson(args, out, err, joinParts);
}

}  // namespace vistereo::cli
