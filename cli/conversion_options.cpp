#include "cli/conversion_options.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include "cli/common.h"
#include "conversion/output_target.h"

namespace vistereo::cli {

std::optional<std::string> readImageArguments(const ParsedOptions& options, ConversionRequest& request) {
    request.workingDirectory = options.value("directory", ".");
    if (!options.positional.empty()) {
        if (options.positional.size() != 2) return "give both images, LEFT and RIGHT";
        if (options.has("left") || options.has("right"))
            return "give the images either as LEFT RIGHT or with --left and --right, not both ways";
        request.leftName = options.positional[0];
        request.rightName = options.positional[1];
    } else {
        request.leftName = options.value("left", request.leftName);
        request.rightName = options.value("right", request.rightName);
    }
    const std::filesystem::path inputFolder = request.workingDirectory / "input";
    request.leftPath = argumentPath(request.leftName, inputFolder);
    request.rightPath = argumentPath(request.rightName, inputFolder);
    return std::nullopt;
}

std::optional<std::string> readInputChoices(const ParsedOptions& options, InputReadOptions& reading) {
    if (options.has("max-input-megapixels")) {
        const std::string text = options.value("max-input-megapixels");
        char* end = nullptr;
        const double limit = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(limit > 0) || !std::isfinite(limit))
            return "--max-input-megapixels takes a positive number, such as 200 or 0.5";
        reading.limits.maxMegapixels = limit;
    }
    reading.ignoreOrientation = options.has("ignore-orientation");
    return std::nullopt;
}

std::optional<std::string> readConversionChoices(const ParsedOptions& options, bool readPoints,
                                                 ConversionRequest& request, RunOptions& run) {
    if (readPoints) {
        const CommaLineParse points = parseCommaLine(options.value("points"));
        if (!points.ok()) return "--points: " + points.error;
        request.points.points = PointSet::fromListOrder(points.values);
    }

    if (options.has("height")) {
        const auto height = parseWholeNumber(options.value("height"));
        if (!height) return "--height takes a whole number of dots";
        request.outputHeight = *height;
    }
    const std::pair<const char*, int32_t ZenithTenths::*> zenith[] = {
        {"roll", &ZenithTenths::roll}, {"pitch", &ZenithTenths::pitch}, {"yaw", &ZenithTenths::yaw}};
    for (const auto& [name, axis] : zenith) {
        if (!options.has(name)) continue;
        const auto tenths = parseDegreesTenths(options.value(name));
        if (!tenths) return std::string("--") + name + " takes degrees in steps of 0.1, such as 1.5";
        request.zenith.*axis = *tenths;
    }
    if (options.has("threads")) {
        const auto threads = parseWholeNumber(options.value("threads"));
        if (!threads || *threads < 0) return "--threads takes a whole number (0: every core)";
        run.threads = *threads;
    }
    InputReadOptions reading = readOptionsOf(request);
    if (auto bad = readInputChoices(options, reading)) return bad;
    request.limits = reading.limits;
    request.ignoreOrientation = reading.ignoreOrientation;

    run.exactArithmetic = options.has("exact");
    if (options.has("quality")) {
        const auto quality = parseWholeNumber(options.value("quality"));
        if (!quality || *quality < 1 || *quality > 100) return "--quality takes a whole number from 1 to 100";
        request.jpegQuality = *quality;
    }
    if (options.has("interp")) {
        const std::string kind = options.value("interp");
        if (kind == "bilinear") run.interpolation = Interpolation::Bilinear;
        else if (kind == "bicubic") run.interpolation = Interpolation::Bicubic;
        else if (kind == "lanczos") run.interpolation = Interpolation::Lanczos;
        else return "--interp takes bilinear, bicubic or lanczos";
    }
    if (options.has("match-colour")) {
        const std::string kind = options.value("match-colour");
        if (kind.empty()) request.matchColour = ColourMatching::Tone;
        else if (kind == "vignetting") request.matchColour = ColourMatching::ToneAndFalloff;
        else return "--match-colour takes no value, or =vignetting";
    }
    return std::nullopt;
}

}  // namespace vistereo::cli
