// vistereo-cli convert: one side-by-side conversion from the command line,
// through the same run as the desktop program's "Start Conversion !!!".
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <mutex>

#include "cli/commands.h"
#include "cli/common.h"
#include "cli/option_table.h"
#include "conversion/auto_align.h"
#include "conversion/lens_selection.h"
#include "conversion/run.h"
#include "picking/matching.h"

namespace vistereo::cli {
namespace {

constexpr std::array<OptionSpec, 23> kConvertOptions{{
    {"directory", 'C', "DIR", "working directory holding input/, output/ and Vistereo.ini (default: .)"},
    {"left-lens", 0, "LENS", "lens of the left image: a registered name, or #K for the K-th record"},
    {"right-lens", 0, "LENS", "lens of the right image: a registered name, or #K"},
    {"points", 0, "LIST", "ALx,BLx,ARx,BRx,ALy,BLy,ARy,BRy: points A and B in both images"},
    {"match", 0, nullptr, "find the right image's A and B by template matching the left ones"},
    {"auto-align", 0, nullptr, "align the right eye automatically from the pictures (no --points needed)"},
    {"left", 0, "NAME", "left image in input/ (default: L.jpg)"},
    {"right", 0, "NAME", "right image in input/ (default: R.jpg)"},
    {"output", 'o', "NAME", "output image in output/, format by extension (default: LROut.jpg);\n"
                            "                            NAME.vr.jpg writes a VR180 photo (left eye, right eye in its XMP)"},
    {"height", 0, "N", "output height in dots; the width is twice that (default: 4096)"},
    {"vr-suffix", 0, nullptr, "insert _180_LR before the output's extension, the name headset players\n"
                              "                            recognise as 180-degree left-right stereo"},
    {"quality", 0, "Q", "JPEG quality 1-100 (default: the image library's)"},
    {"keep-exif", 0, nullptr, "a JPEG output carries the left image's EXIF (a .vr.jpg output always does)"},
    {"interp", 0, "KIND", "resampling: bilinear (default), bicubic or lanczos"},
    {"roll", 0, "DEG", "zenith correction: roll in degrees, steps of 0.1 (default: 0)"},
    {"pitch", 0, "DEG", "zenith correction: pitch in degrees, steps of 0.1 (default: 0)"},
    {"yaw", 0, "DEG", "zenith correction: yaw in degrees, steps of 0.1 (default: 0)"},
    {"threads", 'j', "N", "render threads (default: 0 = every hardware thread)"},
    {"max-input-megapixels", 0, "MP", "refuse an input image larger than this, before decoding it (default: 200)"},
    {"exact", 0, nullptr, "take every angle through acos/atan2/sin/cos (slower; differs from the default\n"
                          "                            by at most 1 in a few bytes, usually none)"},
    {"quiet", 'q', nullptr, "print nothing but errors"},
    {"timing", 0, nullptr, "print the time of each stage"},
    {"help", 'h', nullptr, "show this help"},
}};

constexpr const char* kUsage =
    "usage: vistereo-cli convert [-C DIR] --left-lens LENS --right-lens LENS (--points LIST [--match] | --auto-align)\n"
    "                            [--left NAME] [--right NAME] [--output NAME] [--height N]\n"
    "                            [--roll DEG] [--pitch DEG] [--yaw DEG] [--threads N] [--exact] [--quiet]\n"
    "                            [--vr-suffix] [--quality Q] [--keep-exif] [--interp KIND]\n"
    "                            [--max-input-megapixels MP]\n"
    "                            [--timing]\n";

// The run's messages, kept until the outcome says where they belong.
class CollectingSink : public MessageSink {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }
    std::vector<std::string> messages;
};

// A progress bar on stderr, for terminals only.
class ProgressBar {
public:
    explicit ProgressBar(std::ostream& err) : err_(err) {}
    void update(Half half, int done, int total) {
        const int percent = total > 0 ? done * 100 / total : 100;
        std::lock_guard lock(mutex_);
        if (half == last_ && percent == lastPercent_) return;
        last_ = half;
        lastPercent_ = percent;
        const int width = 30, filled = percent * width / 100;
        err_ << "\r" << (half == Half::Right ? "right half " : "left half  ") << "["
             << std::string(filled, '#') << std::string(width - filled, ' ') << "] " << percent << "%"
             << std::flush;
    }
    void finish() {
        if (lastPercent_ >= 0) err_ << "\r" << std::string(50, ' ') << "\r" << std::flush;
    }

private:
    std::ostream& err_;
    std::mutex mutex_;
    Half last_ = Half::Right;
    int lastPercent_ = -1;
};

int usageError(std::ostream& err, const std::string& text) { return cli::usageError(err, text, kUsage, "convert"); }

// Fills the right image's A and B from the left ones by template matching.
bool matchRightPoints(const ConversionRequest& request, PointSet& points, std::ostream& err) {
    const auto images = readPickingImages(request.workingDirectory, request.leftName, request.rightName, err);
    if (!images) return false;
    for (int k = 0; k < 2; ++k) {  // A, then B
        const ImagePoint leftPoint = k ? points.leftB : points.leftA;
        const MatchOutcome match = matchLeftPoint(*images, leftPoint);
        if (!match.accepted()) {
            printError(err, std::string("point ") + (k ? "B" : "A") + " (" + std::to_string(leftPoint.x) + "," +
                                std::to_string(leftPoint.y) + "): " + describeRefusal(match.refusal));
            return false;
        }
        (k ? points.rightB : points.rightA) = match.rightPoint;
    }
    return true;
}

}  // namespace

int runConvertCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const ParsedOptions options = parseOptions(args, kConvertOptions);
    if (!options.error.empty()) return usageError(err, options.error);
    if (options.has("help")) {
        out << kUsage << "\nConverts input/LEFT and input/RIGHT of the working directory into one side-by-side\n"
                         "180-degree equirectangular image in output/.\n\n"
            << formatOptionHelp(kConvertOptions);
        return kExitOk;
    }
    const bool autoAlign = options.has("auto-align");
    for (const char* required : {"left-lens", "right-lens", "points"})
        if (!options.has(required) && !(autoAlign && std::string(required) == "points"))
            return usageError(err, std::string("missing --") + required);
    if (autoAlign && (options.has("points") || options.has("match")))
        return usageError(err, "--auto-align finds the alignment itself: give it without --points or --match");

    ConversionRequest request;
    request.workingDirectory = options.value("directory", ".");
    request.leftName = options.value("left", request.leftName);
    request.rightName = options.value("right", request.rightName);
    request.outputName = options.value("output", request.outputName);

    if (!autoAlign) {
        const CommaLineParse points = parseCommaLine(options.value("points"));
        if (!points.ok()) return usageError(err, "--points: " + points.error);
        request.points.points = PointSet::fromListOrder(points.values);
    }

    if (options.has("height")) {
        const auto height = parseWholeNumber(options.value("height"));
        if (!height) return usageError(err, "--height takes a whole number of dots");
        request.outputHeight = *height;
    }
    const std::pair<const char*, int32_t ZenithTenths::*> zenith[] = {
        {"roll", &ZenithTenths::roll}, {"pitch", &ZenithTenths::pitch}, {"yaw", &ZenithTenths::yaw}};
    for (const auto& [name, axis] : zenith) {
        if (!options.has(name)) continue;
        const auto tenths = parseDegreesTenths(options.value(name));
        if (!tenths) return usageError(err, std::string("--") + name + " takes degrees in steps of 0.1, such as 1.5");
        request.zenith.*axis = *tenths;
    }
    RunOptions run;
    if (options.has("threads")) {
        const auto threads = parseWholeNumber(options.value("threads"));
        if (!threads || *threads < 0) return usageError(err, "--threads takes a whole number (0: every core)");
        run.threads = *threads;
    }
    if (options.has("max-input-megapixels")) {
        const std::string text = options.value("max-input-megapixels");
        char* end = nullptr;
        const double limit = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(limit > 0) || !std::isfinite(limit))
            return usageError(err, "--max-input-megapixels takes a positive number, such as 200 or 0.5");
        request.limits.maxMegapixels = limit;
    }

    run.exactArithmetic = options.has("exact");
    if (options.has("quality")) {
        const auto quality = parseWholeNumber(options.value("quality"));
        if (!quality || *quality < 1 || *quality > 100) return usageError(err, "--quality takes a whole number from 1 to 100");
        request.jpegQuality = *quality;
    }
    if (options.has("interp")) {
        const std::string kind = options.value("interp");
        if (kind == "bilinear") run.interpolation = Interpolation::Bilinear;
        else if (kind == "bicubic") run.interpolation = Interpolation::Bicubic;
        else if (kind == "lanczos") run.interpolation = Interpolation::Lanczos;
        else return usageError(err, "--interp takes bilinear, bicubic or lanczos");
    }
    if (options.has("vr-suffix")) request.outputName = withVrSuffix(request.outputName);
    request.keepExif = options.has("keep-exif");

    if (const std::string error = chooseLenses(request.workingDirectory, options.value("left-lens"),
                                               options.value("right-lens"), request.lenses);
        !error.empty())
        return usageError(err, error);

    if (options.has("match") && !matchRightPoints(request, request.points.points, err)) return kExitFailed;
    double alignSeconds = 0.0;
    if (autoAlign) {
        const PairAlignment aligned = alignRequestPair(request, run.threads);
        if (!aligned.ok()) {
            printError(err, aligned.error);
            return kExitFailed;
        }
        request.rotation = rotationOf(aligned.result);
        alignSeconds = aligned.seconds;
        if (!aligned.result.warning.empty()) err << "vistereo-cli: warning: " << aligned.result.warning << "\n";
        if (!options.has("quiet"))
            out << "aligned: yaw " << aligned.result.yawDegrees << ", pitch " << aligned.result.pitchDegrees
                << ", roll " << aligned.result.rollDegrees << " degrees; " << aligned.result.inliers << " of "
                << aligned.result.matches << " matches agree; vertical disparity RMS "
                << aligned.result.verticalDisparityArcmin.rms << "' (95th percentile "
                << aligned.result.verticalDisparityArcmin.p95 << "')\n";
    }

    const bool quiet = options.has("quiet");
    ProgressBar bar(err);
    if (!quiet && isatty(STDERR_FILENO))
        run.progress = [&bar](Half half, int done, int total) { bar.update(half, done, total); };

    CollectingSink sink;
    const ConversionResult result = RunConversion(request, sink, run);
    bar.finish();
    for (const std::string& warning : result.warnings) err << "vistereo-cli: warning: " << warning << "\n";
    if (result.written())
        for (const std::string& note : result.notes) err << "vistereo-cli: note: " << note << "\n";

    switch (result.status) {
        case ConversionStatus::Written:
            if (!quiet) {
                for (const std::string& m : sink.messages) out << m << "\n";
                if (options.has("match")) {
                    const auto values = request.points.points.listOrder();
                    out << "points: ";
                    for (size_t k = 0; k < values.size(); ++k) out << (k ? "," : "") << values[k];
                    out << "\n";
                }
                if (isVr180Name(request.outputName))
                    out << "wrote " << result.outputPath.string() << " (VR180 photo, each eye " << request.outputHeight
                        << " x " << request.outputHeight << ")\n";
                else
                    out << "wrote " << result.outputPath.string() << " (" << 2 * request.outputHeight << " x "
                        << request.outputHeight << ")\n";
            }
            if (options.has("timing")) {
                const StageSeconds& s = result.seconds;
                if (autoAlign) out << "align " << alignSeconds << " s, ";
                out << "read " << s.read << " s, derive " << s.derive << " s, render right " << s.renderRight
                    << " s, render left " << s.renderLeft << " s, encode " << s.encode << " s, write " << s.write
                    << " s\n";
                rusage usage{};
                getrusage(RUSAGE_SELF, &usage);
                out << "peak memory " << usage.ru_maxrss / 1024 << " MiB\n";
            }
            return kExitOk;
        case ConversionStatus::WriteFailed:
            printError(err, result.detail);
            return kExitFailed;
        case ConversionStatus::InvalidLensCode:
            printError(err, result.detail);
            return kExitFailed;
        default:
            for (const std::string& m : sink.messages) printError(err, m);
            return kExitFailed;
    }
}

}  // namespace vistereo::cli
