// vistereo-cli: the scriptable front end. Exit status 0 on success, 1 when a
// conversion or match is refused or fails, 2 for usage errors.
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "base/version.h"
#include "cli/commands.h"
#include "media/video_reader.h"

namespace {

constexpr const char* kHelp =
    "usage: vistereo-cli <command> [options]\n"
    "\n"
    "Turns a stereo pair of fisheye photographs into one side-by-side 180-degree\n"
    "equirectangular image, with the lenses registered in Vistereo.ini.\n"
    "\n"
    "commands:\n"
    "  convert     convert input/L.jpg and input/R.jpg into output/LROut.jpg\n"
    "  batch       convert every pair of input/left and input/right (or of a pairs file)\n"
    "  video       convert two cameras' videos of one take into a VR180 MP4\n"
    "  match       find the right image's partners of left-image points\n"
    "  align       find the right camera's rotation from the pictures, with its measured quality\n"
    "  check       measure the disparity of a side-by-side image or VR180 photo\n"
    "  lens list   list the registered camera-and-lens records\n"
    "\n"
    "options:\n"
    "  -h, --help     show this help ('vistereo-cli <command> --help' for a command's options)\n"
    "  --version      show the version\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace vistereo::cli;
    // Unreadable images are reported in our own words; keep the image library quiet.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    // So are damaged videos, with their times; FFmpeg's own lines would only repeat them.
    vistereo::media::silenceVideoLibraries();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << kHelp;
        return kExitUsage;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kHelp;
        return kExitOk;
    }
    if (command == "--version") {
        std::cout << "vistereo-cli " << vistereo::kVersion << "\n";
        return kExitOk;
    }
    if (command == "convert") return runConvertCommand(args, std::cout, std::cerr);
    if (command == "batch") return runBatchCommand(args, std::cout, std::cerr);
    if (command == "video") return runVideoCommand(args, std::cout, std::cerr);
    if (command == "match") return runMatchCommand(args, std::cout, std::cerr);
    if (command == "align") return runAlignCommand(args, std::cout, std::cerr);
    if (command == "check") return runCheckCommand(args, std::cout, std::cerr);
    if (command == "lens") return runLensCommand(args, std::cout, std::cerr);
    printError(std::cerr, "unknown command '" + command + "'");
    std::cerr << "Try 'vistereo-cli --help'.\n";
    return kExitUsage;
}
