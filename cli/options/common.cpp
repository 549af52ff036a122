#include "cli/options/common.h"

#include "lens/lens_selection.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>

#include <opencv2/core.hpp>

#include "base/atomic_file.h"
#include "base/message_text.h"
#include "cli/options/exit_status.h"
#include "cli/options/json_reply.h"
#include "conversion/request.h"
#include "engine/lens.h"

namespace vistereo::cli {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    char escaped[8];
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += text[i++];
        } else if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
            ++i;
        } else if (byte < 0x80) {
            out += text[i++];
        } else if (const size_t length = utf8SequenceLength(std::string_view(text).substr(i)); length > 0) {
            out.append(text, i, length);
            i += length;
        } else {
            // A byte that is not UTF-8 (a file's name in another encoding):
            // escaped as a lone low surrogate, U+DC80 to U+DCFF, the way
            // Python's "surrogateescape" keeps such bytes, so the object
            // parses and a script can get the byte back.
            std::snprintf(escaped, sizeof escaped, "\\udc%02x", byte);
            out += escaped;
            ++i;
        }
    }
    return out + "\"";
}

void printError(std::ostream& err, const std::string& text) {
    if (auto* log = dynamic_cast<ErrorLog*>(&err)) log->errors.push_back(text);  // for the --json object
    err << "vistereo-cli: error: " << text << "\n";
}

int usageError(std::ostream& err, const std::string& text, const std::string& usage, const std::string& command) {
    printError(err, text);
    err << usage << "Try 'vistereo-cli " << command << " --help'.\n";
    return kExitUsage;
}

std::optional<int32_t> parseWholeNumber(const std::string& text) {
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    if (i == text.size()) return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > int64_t(std::numeric_limits<int32_t>::max()) + 1) return std::nullopt;
    }
    value = negative ? -value : value;
    if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
    return static_cast<int32_t>(value);
}

std::optional<int32_t> parseDegreesTenths(const std::string& text) {
    std::string digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.erase(0, 1);
    }
    std::string whole = digits, tenth = "0";
    if (const size_t dot = digits.find('.'); dot != std::string::npos) {
        whole = digits.substr(0, dot);
        tenth = digits.substr(dot + 1);
        if (tenth.size() != 1) return std::nullopt;  // finer than 0.1 degree, or "12."
        if (whole.empty()) whole = "0";
    }
    if (whole.empty()) return std::nullopt;
    const auto w = parseWholeNumber(whole);
    const auto t = parseWholeNumber(tenth);
    if (!w || !t || whole[0] == '-' || tenth[0] == '-') return std::nullopt;
    const int64_t tenths = int64_t(*w) * 10 + *t;
    if (tenths > std::numeric_limits<int32_t>::max()) return std::nullopt;
    return static_cast<int32_t>(negative ? -tenths : tenths);
}

std::optional<PickingImages> readPickingImages(const std::filesystem::path& left, const std::filesystem::path& right,
                                               const InputReadOptions& options, std::ostream& err, bool warn) {
    const InputImages images = readInputPair(left, right, options);
    std::vector<std::string> warnings;
    if (const RunStep refused = judgeInputImages(images, warnings); !refused.ok()) {
        printRefusal(err, refused);
        return std::nullopt;
    }
    if (warn)
        for (const std::string& warning : warnings) err << "vistereo-cli: warning: " << warning << "\n";
    return makePickingImages(images.left.pixels, images.right.pixels);
}

namespace {

// The pixels turned clockwise by a quarter turn (0, 90, 180 or 270 degrees).
cv::Mat turnedUpright(const cv::Mat& pixels, int32_t degrees) {
    if (degrees != 90 && degrees != 180 && degrees != 270) return pixels;  // (the lens checks refuse other turns)
    cv::Mat upright;
    cv::rotate(pixels, upright, degrees == 90 ? cv::ROTATE_90_CLOCKWISE : degrees == 180 ? cv::ROTATE_180
                                                                                         : cv::ROTATE_90_COUNTERCLOCKWISE);
    return upright;
}

// A whole-dot position through uprightPosition or positionAsRead (exact for whole dots).
ImagePoint wholeDots(SourcePosition p) { return {static_cast<int32_t>(p.column), static_cast<int32_t>(p.row)}; }

}  // namespace

std::optional<PickingImages> readPickingImages(const std::filesystem::path& left, const std::filesystem::path& right,
                                               const InputReadOptions& options, std::ostream& err, bool warn,
                                               std::array<int32_t, 2> turns) {
    std::optional<PickingImages> images = readPickingImages(left, right, options, err, warn);
    if (images && (turns[0] || turns[1]))
        images = makePickingImages(turnedUpright(images->leftImage, turns[0]), turnedUpright(images->rightImage, turns[1]));
    return images;
}

MatchOutcome matchPointAsRead(const PickingImages& images, ImagePoint left, std::array<int32_t, 2> turns) {
    // The sizes as read: an odd number of quarter turns swapped them.
    auto asRead = [](const cv::Mat& upright, int32_t degrees) {
        return degrees == 90 || degrees == 270 ? cv::Size(upright.rows, upright.cols) : upright.size();
    };
    const cv::Size leftSize = asRead(images.leftImage, turns[0]), rightSize = asRead(images.rightImage, turns[1]);
    MatchOutcome match = matchLeftPoint(
        images, wholeDots(uprightPosition({double(left.x), double(left.y)}, leftSize.width, leftSize.height, turns[0])));
    match.leftPoint = left;
    match.rightPoint = wholeDots(positionAsRead({double(match.rightPoint.x), double(match.rightPoint.y)}, rightSize.width,
                                                rightSize.height, turns[1]));
    return match;
}

void printRefusal(std::ostream& err, const RunStep& refusal) {
    printError(err, refusal.error);
    if (!endsSilently(refusal.status) && !refusal.detail.empty() && refusal.detail != refusal.error)
        printError(err, refusal.detail);
}

std::filesystem::path registryFile(const std::filesystem::path& workingDirectory) {
    return workingDirectory / kLensRegistryFileName;
}

void removeAbandonedTemporaries(const std::filesystem::path& output, std::ostream& err, bool quiet) {
    for (const std::filesystem::path& temporary : vistereo::removeAbandonedTemporaries(output.parent_path()))
        if (!quiet)
            err << "vistereo-cli: note: removed " << shortenForMessage(temporary.string())
                << ", left by an interrupted run\n";
}

std::optional<std::filesystem::path> userLensFileOfEnvironment() {
    return userLensFile(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

std::vector<LensSource> lensSources(const std::filesystem::path& workingDirectory, const ParsedOptions& options) {
    std::vector<LensSource> sources{{LensSourceKind::WorkingFolder, registryFile(workingDirectory)}};
    if (const auto given = options.values.find("lenses"); given != options.values.end())
        for (const std::string& file : given->second) sources.push_back({LensSourceKind::LensesOption, file});
    if (const auto user = userLensFileOfEnvironment()) sources.push_back({LensSourceKind::UserFile, *user});
    return sources;
}

LensesLoad loadLenses(const std::filesystem::path& workingDirectory, const ParsedOptions& options) {
    LensesLoad load;
    load.catalogue = loadLensCatalogue(lensSources(workingDirectory, options));
    for (const LoadedLensSource& loaded : load.catalogue.sources) {
        if (loaded.source.kind != LensSourceKind::LensesOption || loaded.report.clean()) continue;
        if (!loaded.report.found) {
            load.error = "--lenses: " + loaded.source.file.string() + " " + loaded.report.problems.front().text;
        } else {
            load.error = "--lenses: " + loaded.source.file.string() + " is not a whole lens registry:";
            for (const std::string& line : loaded.report.lines()) load.error += "\n  " + line;
        }
        return load;
    }
    return load;
}

Fallible noLensRegistered(const ParsedOptions& options, const std::filesystem::path& workingDirectory) {
    const LensesLoad load = loadLenses(workingDirectory, options);
    if (!load.error.empty() || !load.catalogue.order.empty()) return {};
    std::string files;
    for (const LoadedLensSource& loaded : load.catalogue.sources)
        files += "\n  " + loaded.source.file.string() + (loaded.report.found ? " (no records)" : " (missing)");
    return Fallible{
        "no camera and lens is registered, and this command needs one for each eye; looked in:" + files +
        "\nRegister your lens once, from one of your own photos (its image circle is found in it):\n"
        "  vistereo-cli lens add --user \"My fisheye\" --projection equidistant --fov 180 --detect input/L.jpg\n"
        "(equidistant suits most fisheye lenses; see 'vistereo-cli lens add --help'), or use \"Add my lens\" in "
        "the desktop program; then give it as --left-lens \"My fisheye\" --right-lens \"My fisheye\"."};
}

Fallible chooseLenses(const ParsedOptions& options, const std::filesystem::path& workingDirectory,
                      std::array<LensSettings, 2>& lenses, std::vector<ProtectedFile>* protect) {
    const LensesLoad load = loadLenses(workingDirectory, options);
    if (!load.error.empty()) return Fallible{load.error};
    const LensCatalogue& catalogue = load.catalogue;
    for (int eye = 0; eye < 2; ++eye) {
        const char* option = eye == 0 ? "left-lens" : "right-lens";
        const LensLookup lens = findLens(catalogue, options.value(option));
        if (!lens.error.empty()) {
            // The record may sit past a line the reader could not take: say which.
            std::string error = std::string("--") + option + ": " + lens.error;
            for (const LoadedLensSource& loaded : catalogue.sources)
                if (loaded.report.found)
                    for (const std::string& line : loaded.report.lines()) error += "\n  " + line;
            return Fallible{error};
        }
        SelectLensForEye(lenses, catalogue.sources[lens.position.source].registry, eye, lens.position.index);
    }
    if (protect)
        for (const LoadedLensSource& loaded : catalogue.sources)
            if (loaded.source.kind != LensSourceKind::WorkingFolder)
                protect->push_back({loaded.source.file, "a lens registry"});
    return {};
}

}  // namespace vistereo::cli
