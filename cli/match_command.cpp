// vistereo-cli match: the right image's partner of left-image points, found
// as the point picker finds them.
#include <array>
#include <iostream>

#include "cli/command_catalogue.h"
#include "cli/commands.h"
#include "cli/common.h"
#include "cli/conversion_options.h"
#include "cli/option_table.h"
#include "conversion/output_target.h"
#include "picking/matching.h"

namespace vistereo::cli {
namespace {

constexpr std::array<OptionSpec, 7> kMatchOptions{{
    withHelp(kDirectoryOption, "working directory holding input/ (default: .)"),
    withHelp(kLeftImageOption, "left image (default: L.jpg): a bare name is in input/ of the working\n"
                               "                            directory, a path (with /) is taken as given"),
    withHelp(kRightImageOption, "right image (default: R.jpg)"),
    {"point", 'p', "X,Y", "a left-image point in full-resolution pixels (repeatable)"},
    kMaxInputOption,
    kIgnoreOrientationOption,
    kHelpOption,
}};

constexpr const char* kUsage =
    "usage: vistereo-cli match [-C DIR] [--left FILE] [--right FILE] --point X,Y [--point X,Y]...\n"
    "                          [--max-input-megapixels MP] [--ignore-orientation]\n";

int usageError(std::ostream& err, const std::string& text) { return cli::usageError(err, text, kUsage, "match"); }

}  // namespace

const CommandHelp kMatchHelp{"match", "find the right image's partners of left-image points", kUsage,
                             "Prints, one a line, the right-image point X,Y matched to each left point.", kMatchOptions};

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
    if (const auto bad = readInputChoices(options, reading)) return usageError(err, *bad);
    const std::filesystem::path inputFolder = workingDirectoryOf(options) / "input";
    const auto images = readPickingImages(argumentPath(options.value("left", "L.jpg"), inputFolder),
                                          argumentPath(options.value("right", "R.jpg"), inputFolder), reading, err, true);
    if (!images) return kExitFailed;
    int status = kExitOk;
    for (const ImagePoint& p : leftPoints) {
        const MatchOutcome match = matchLeftPoint(*images, p);
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
