// vistereo-cli: the scriptable front end. Exit status 0 on success, 1 when a
// conversion or match is refused or fails, 2 for usage errors.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "base/version.h"
#include "cli/command_catalogue.h"
#include "cli/commands.h"
#include "imagefile/input.h"
#include "videofile/video_reader.h"

namespace {

int runCommand(const std::string& command, const std::vector<std::string>& args) {
    using namespace vistereo::cli;
    if (command == "convert") return runConvertCommand(args, std::cout, std::cerr);
    if (command == "batch") return runBatchCommand(args, std::cout, std::cerr);
    if (command == "video") return runVideoCommand(args, std::cout, std::cerr);
    if (command == "video-join") return runVideoJoinCommand(args, std::cout, std::cerr);
    if (command == "match") return runMatchCommand(args, std::cout, std::cerr);
    if (command == "align") return runAlignCommand(args, std::cout, std::cerr);
    if (command == "check") return runCheckCommand(args, std::cout, std::cerr);
    if (command == "lens") return runLensCommand(args, std::cout, std::cerr);
    printError(std::cerr, "unknown command '" + command + "'");
    std::cerr << "Try 'vistereo-cli --help'.\n";
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vistereo::cli;
    // Unreadable images are reported in our own words; keep the image library quiet.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    // So are damaged videos, with their times; FFmpeg's own lines would only repeat them.
    vistereo::media::silenceVideoLibraries();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        printProgramHelp(std::cerr);
        return kExitUsage;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        printProgramHelp(std::cout);
        return kExitOk;
    }
    if (command == "--version") {
        std::cout << "vistereo-cli " << vistereo::kVersion << "\n";
        return kExitOk;
    }
    // Whatever a command did not foresee ends it with a message, never an abort.
    try {
        return runCommand(command, args);
    } catch (const std::exception& e) {
        printError(std::cerr, "the command failed: " + vistereo::describeException(e));
    } catch (...) {
        printError(std::cerr, "unexpected failure");
    }
    return kExitFailed;
}
