#include "cli/options/conversion_options.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include "measure/stereo_window.h"
#include "cli/options/exit_status.h"
#include "cli/options/common.h"
#include "conversion/output_target.h"
#include "lens/calibration_file.h"

namespace vistereo::cli {

std::filesystem::path workingDirectoryOf(const ParsedOptions& options) { return options.value("directory", "."); }

std::filesystem::path inDirectory(const std::filesystem::path& directory, const std::string& name) {
    const std::filesystem::path given = name;
    if (given.is_absolute() || directory.empty() || directory == ".") return given;
    return directory / given;
}

Fallible readThreads(const ParsedOptions& options, int& threads) {
    if (!options.has("threads")) return {};
    const auto given = parseWholeNumber(options.value("threads"));
    if (!given || *given < 0) return Fallible{"--threads takes a whole number (0: every core)"};
    threads = *given;
    return {};
}

Fallible readImageArguments(const ParsedOptions& options, ConversionRequest& request) {
    request.workingDirectory = workingDirectoryOf(options);
    if (!options.positional.empty()) {
        if (options.positional.size() != 2) return Fallible{"give both images, LEFT and RIGHT"};
        if (options.has("left") || options.has("right"))
            return Fallible{"give the images either as LEFT RIGHT or with --left and --right, not both ways"};
        request.leftName = options.positional[0];
        request.rightName = options.positional[1];
    } else {
        request.leftName = options.value("left", request.leftName);
        request.rightName = options.value("right", request.rightName);
    }
    const std::filesystem::path inputFolder = request.workingDirectory / "input";
    request.leftPath = argumentPath(request.leftName, inputFolder);
    request.rightPath = argumentPath(request.rightName, inputFolder);
    return {};
}

namespace {

// The option's value as a finite decimal number with nothing after it.
std::optional<double> decimalValue(const ParsedOptions& options, const char* name) {
    const std::string text = options.value(name);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace

Fallible readInputChoices(const ParsedOptions& options, InputReadOptions& reading) {
    if (options.has("max-input-megapixels")) {
        const auto limit = decimalValue(options, "max-input-megapixels");
        if (!limit || !(*limit > 0)) return Fallible{"--max-input-megapixels takes a positive number, such as 200 or 0.5"};
        reading.limits.maxMegapixels = *limit;
    }
    reading.ignoreOrientation = options.has("ignore-orientation");
    return {};
}

Fallible readAlignmentChoices(const ParsedOptions& options, ConversionRequest& request) {
    request.refuseImpossibleLenses = true;  // lens values and points are checked on every route of the command line
    request.refuseImpossiblePoints = true;
    InputReadOptions reading;
    if (Fallible bad = readInputChoices(options, reading); !bad.ok()) return bad;
    request.limits = reading.limits;
    request.ignoreOrientation = reading.ignoreOrientation;
    if (Fallible chosen = chooseLenses(options, request.workingDirectory, request.lenses); !chosen.ok()) return chosen;
    return {};
}

Fallible readLensRefining(const ParsedOptions& options, LensRefining& refining) {
    if (options.has("keep-lenses") && options.has("refine-lenses"))
        return Fallible{"--keep-lenses and --refine-lenses exclude each other"};
    if (options.has("refine-shape") && !options.has("refine-lenses"))
        return Fallible{"--refine-shape goes with --refine-lenses"};
    if (options.has("keep-lenses"))
        refining = {};
    else if (options.has("refine-lenses"))
        refining = {true, options.has("refine-shape"), false};
    else
        refining = kRefineWhenClearlyBetter;
    return {};
}

Fallible readConversionChoices(const ParsedOptions& options,
                                                 std::optional<AlignmentScope> automatic,
                                                 ConversionRequest& request, RunOptions& run) {
    PointsAB points;
    if (!automatic && !options.has("rotation-from")) {
        const CommaLineParse parsed = parseCommaLine(options.value("points"));
        if (!parsed.ok()) return Fallible{"--points: " + parsed.error};
        points.given = PointSet::fromListOrder(parsed.values);
    }
    LensRefining refining;
    if (Fallible bad = readLensRefining(options, refining); !bad.ok()) return bad;
    request.alignment = chooseAlignment(automatic, points, refining);

    if (options.has("height")) {
        const auto height = parseWholeNumber(options.value("height"));
        if (!height) return Fallible{"--height takes a whole number of dots"};
        request.outputHeight = *height;
    }
    const std::pair<const char*, int32_t ZenithTenths::*> zenith[] = {
        {"roll", &ZenithTenths::roll}, {"pitch", &ZenithTenths::pitch}, {"yaw", &ZenithTenths::yaw}};
    for (const auto& [name, axis] : zenith) {
        if (!options.has(name)) continue;
        const auto tenths = parseDegreesTenths(options.value(name));
        if (!tenths) return Fallible{std::string("--") + name + " takes degrees in steps of 0.1, such as 1.5"};
        request.zenith.*axis = *tenths;
    }
    if (Fallible bad = readThreads(options, run.threads); !bad.ok()) return bad;
    InputReadOptions reading = readOptionsOf(request, run.threads);
    if (Fallible bad = readInputChoices(options, reading); !bad.ok()) return bad;
    request.limits = reading.limits;
    request.ignoreOrientation = reading.ignoreOrientation;

    run.exactArithmetic = options.has("exact");
    if (options.has("quality")) {
        const auto quality = parseWholeNumber(options.value("quality"));
        if (!quality || *quality < 1 || *quality > 100) return Fallible{"--quality takes a whole number from 1 to 100"};
        request.jpegQuality = *quality;
    }
    if (options.has("interp")) {
        const std::string kind = options.value("interp");
        if (kind == "bilinear") run.interpolation = Interpolation::Bilinear;
        else if (kind == "bicubic") run.interpolation = Interpolation::Bicubic;
        else if (kind == "lanczos") run.interpolation = Interpolation::Lanczos;
        else return Fallible{"--interp takes bilinear, bicubic or lanczos"};
    }
    if (options.has("match-colour")) {
        const std::string kind = options.value("match-colour");
        if (kind.empty()) request.matchColour = ColourMatching::Tone;
        else if (kind == "vignetting") request.matchColour = ColourMatching::ToneAndFalloff;
        else return Fallible{"--match-colour takes no value, or =vignetting"};
    }
    if (options.has("convergence") && options.has("zero-parallax"))
        return Fallible{"--convergence and --zero-parallax both set the stereo window: give one"};
    if (options.has("baseline") && !options.has("zero-parallax")) return Fallible{"--baseline goes with --zero-parallax"};
    if (options.has("convergence")) {
        const auto degrees = decimalValue(options, "convergence");
        if (!degrees || std::abs(*degrees) > 45.0) return Fallible{"--convergence takes degrees between -45 and 45, such as 1.5"};
        request.convergenceDegrees = *degrees;
    }
    if (options.has("zero-parallax")) {
        const auto metres = decimalValue(options, "zero-parallax");
        const auto baseline =
            options.has("baseline") ? decimalValue(options, "baseline") : alignment::kDefaultBaselineMillimetres;
        if (!baseline || !(*baseline > 0)) return Fallible{"--baseline takes the rig's lens distance in millimetres, such as 65"};
        const auto degrees = metres ? alignment::convergenceForDistance(*metres, *baseline) : std::nullopt;
        if (!degrees) return Fallible{"--zero-parallax takes a distance in metres greater than 0, such as 2.5"};
        request.convergenceDegrees = *degrees;
    }
    return {};
}

TurnOption readTurnOption(const ParsedOptions& options, const char* name) {
    TurnOption out;
    if (!options.has(name)) return out;
    const std::string text = options.value(name);
    const auto degrees = parseWholeNumber(text);
    if (!degrees || !isQuarterTurn(*degrees)) {
        out.error = std::string("--") + name + " takes 0, 90, 180 or 270 (degrees clockwise for the picture to stand "
                                               "upright), not '" + text + "'";
        return out;
    }
    out.degrees = *degrees;
    return out;
}

RigChoices readRigChoices(const ParsedOptions& options, ConversionRequest& request) {
    RigChoices out;
    const char* names[2] = {"left-turn", "right-turn"};
    for (int eye = 0; eye < 2; ++eye) {
        const TurnOption turn = readTurnOption(options, names[eye]);
        if (!turn.ok()) {
            out.error = turn.error;
            return out;
        }
        if (turn.degrees) request.lenses[eye].precision.turnDegrees = *turn.degrees;
    }
    if (!options.has("rotation-from")) return out;
    const std::filesystem::path file = options.value("rotation-from");
    const CalibrationFile calibration = readCalibrationFile(file);
    if (!calibration.ok() || !calibration.rotation) {
        out.error = "--rotation-from: " + (!calibration.ok() ? calibration.error : calibration.rotationError);
        return out;
    }
    out.rotation = rightToLeftOfCalibration(*calibration.rotation, request.lenses[0].precision.turnDegrees,
                                            request.lenses[1].precision.turnDegrees);
    out.file = ProtectedFile{file, "the calibration file"};
    return out;
}

bool applyRigChoices(const ParsedOptions& options, ConversionRequest& request, std::vector<ProtectedFile>& protect,
                     std::ostream& err) {
    const RigChoices rig = readRigChoices(options, request);
    if (!rig.ok()) {
        printError(err, rig.error);
        return false;
    }
    if (rig.rotation) request.alignment = GivenRotation{*rig.rotation};
    if (rig.file) protect.push_back(*rig.file);
    return true;
}

}  // namespace vistereo::cli
