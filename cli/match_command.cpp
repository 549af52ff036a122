// vistereo-cli match: the right image's partner of left-image points, found
// as the point picker finds them.
#include <array>
#include <iostream>

#include "cli/command_catalogue.h"
#include "cli/commands.h"
#include "cli/options/common.h"
#include "cli/options/conversion_options.h"
#include "cli/options/option_table.h"
#include "conversion/output_target.h"
#include "picking/matching.h"

namespace vistereo::cli {
namespace {

constexpr std::array<OptionSpec, 9> kMatchOptions{{
    withHelp(kDirectoryOption, "working directory holding input/ (default: .)"),
    withHelp(kLeftImageOption, "left image (default: L.jpg): a bare name is in input/ of the working\n"
                               "                            directory, a path (with /) is taken as given"),
    withHelp(kRightImageOption, "right image (default: R.jpg)"),
    {"point", 'p', "X,Y", "a left-image point in full-resolution pixels (repeatable)"},
    withHelp(kLeftTurnOption, "how far the left picture must be turned clockwise to stand upright: 0, 90,\n"
                              "                            180 or 270; the pictures are matched upright"),
    kRightTurnOption,
    kMaxInputOption,
    kIgnoreOrientationOption,
    kHelpOption,
}};

constexpr const char* kUsage =
    "usage: vistereo-cli match [-C DIR] [--left FILE] [--right FILE] --point X,Y [--point X,Y]...\n"
    "                          [--left-turn DEG] [--right-turn DEG] [--max-input-megapixels MP] [--ignore-orientation]\n";

int usageError(std::ostream& err, const std::string& text) { return cli::usageError(err, text, kUsage, "match"); }

}  // namespace

const CommandHelp kMatchHelp{"match", "find the right image's partners of left-image points", kUsage,
                             "Prints, one a line, the right-image point X,Y matched to each left point. Points are\n"
                             "in the pictures as read (after their EXIF orientation, before any turn), as --points\n"
                             "takes them; pictures with a turn are matched upright.",
                             kMatchOptions};

int runMatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const ParsedOptions options = parseOptions(args, kMatchOptions);
    if (!options.error.empty()) return usageError(err, options.error);
    if (options.has("help")) {
        printCommandHelp(out, kMatchHelp);
        return kExitOk;
    }
    if (!options.has("point")) return usageError(err, "missing --point");
    std::vector<ImagePoint> leftPoints;
    for (const std::string& text : options.values.at("point")) {
        const size_t comma = text.find(',');
        const auto x = comma == std::string::npos ? std::nullopt : parseWholeNumber(text.substr(0, comma));
        const auto y = comma == std::string::npos ? std::nullopt : parseWholeNumber(text.substr(comma + 1));
        if (!x || !y) return usageError(err, "--point takes X,Y in whole pixels, not '" + text + "'");
        leftPoints.push_back({*x, *y});
    }

    InputReadOptions reading;
    if (const Fallible bad = readInputChoices(options, reading); !bad.ok()) return usageError(err, bad.error);
    std::array<int32_t, 2> turns{};
    for (int eye = 0; eye < 2; ++eye) {
        const TurnOption turn = readTurnOption(options, eye ? "right-turn" : "left-turn");
        if (!turn.ok()) {
            printError(err, turn.error);
            return kExitFailed;
        }
        turns[eye] = turn.degrees.value_or(0);
    }
    const std::filesystem::path inputFolder = workingDirectoryOf(options) / "input";
    const auto images = readPickingImages(argumentPath(options.value("left", "L.jpg"), inputFolder),
                                          argumentPath(options.value("right", "R.jpg"), inputFolder), reading, err, true,
                                          turns);
    if (!images) return kExitFailed;
    int status = kExitOk;
    for (const ImagePoint& p : leftPoints) {
        const MatchOutcome match = matchPointAsRead(*images, p, turns);
        if (match.accepted()) {
            out << match.rightPoint.x << "," << match.rightPoint.y << "\n";
        } else {
            printError(err, "point " + std::to_string(p.x) + "," + std::to_string(p.y) + ": " +
                                describeRefusal(match.refusal));
            status = kExitFailed;
        }
    }
    return status;
}

}  // namespace vistereo::cli
