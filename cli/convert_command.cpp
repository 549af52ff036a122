// vistereo-cli convert: one side-by-side conversion from the command line,
// through the same run as the desktop program's "Start Conversion !!!".
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>

#include "cli/command_catalogue.h"
#include "base/atomic_file.h"
#include "base/message_text.h"
#include "cli/commands.h"
#include "cli/options/common.h"
#include "cli/options/conversion_options.h"
#include "cli/options/option_table.h"
#include "cli/options/lens_refinement_report.h"
#include "cli/options/lens_saving.h"
#include "conversion/auto_align.h"
#include "lens/lens_selection.h"
#include "conversion/output_target.h"
#include "stereofile/output_formats.h"
#include "conversion/run.h"
#include "picking/matching.h"

namespace vistereo::cli {
namespace {

constexpr std::array<OptionSpec, 36> kConvertOptions{{
    kDirectoryOption,
    kLeftLensOption,
    kRightLensOption,
    kLensesOption,
    kPointsOption,
    {"match", 0, nullptr, "find the right image's A and B by template matching the left ones"},
    kAutoAlignOption,
    kRotationFromOption,
    kLeftTurnOption,
    kRightTurnOption,
    kRefineLensesOption,
    kKeepLensesOption,
    kRefineShapeOption,
    kSaveLensesOption,
    kLeftImageOption,
    kRightImageOption,
    withHelp(kOutputOption, "output image, format by extension (default: LROut.jpg); a bare name goes\n"
                            "                            into output/, a path (with /) is taken as given; its folders are\n"
                            "                            made; FILE.vr.jpg writes a VR180 photo (left eye, right eye in its XMP)"),
    kHeightOption,
    kVrSuffixOption,
    kQualityOption,
    kKeepExifOption,
    kInterpOption,
    kMatchColourOption,
    kConvergenceOption,
    kZeroParallaxOption,
    kBaselineOption,
    kRollOption,
    kPitchOption,
    kYawOption,
    kThreadsOption,
    kMaxInputOption,
    kIgnoreOrientationOption,
    kExactOption,
    kQuietOption,
    {"timing", 0, nullptr, "print the time of each stage"},
    kHelpOption,
}};

constexpr const char* kUsage =
    "usage: vistereo-cli convert [-C DIR] --left-lens LENS --right-lens LENS (--points LIST [--match] | --auto-align\n"
    "                            | --rotation-from FILE) [--left-turn DEG] [--right-turn DEG]\n"
    "                            [--lenses FILE] [--keep-lenses | --refine-lenses [--refine-shape] [--save-lenses SUFFIX]]\n"
    "                            [LEFT RIGHT | --left FILE --right FILE] [--output FILE] [--height N]\n"
    "                            [--roll DEG] [--pitch DEG] [--yaw DEG] [--threads N] [--exact] [--quiet]\n"
    "                            [--vr-suffix] [--quality Q] [--keep-exif] [--interp KIND]\n"
    "                            [--max-input-megapixels MP] [--ignore-orientation]\n"
    "                            [--match-colour[=vignetting]] [--convergence DEG | --zero-parallax METRES\n"
    "                            [--baseline MM]] [--timing]\n";

}  // namespace

const CommandHelp kConvertHelp{"convert", "convert input/L.jpg and input/R.jpg into output/LROut.jpg", kUsage,
                               "Converts the pair LEFT and RIGHT (default: input/L.jpg and input/R.jpg of the working\n"
                               "directory) into one side-by-side 180-degree equirectangular image (default:\n"
                               "output/LROut.jpg). An output that would replace an input, the lens registry, or a\n"
                               "folder, is refused before any picture is decoded.",
                               kConvertOptions};

namespace {

// The run's messages are kept on its result until the outcome says where they belong.
class KeptOnResult : public MessageSink {
public:
    void showMessage(const std::string&) override {}
};

// A progress bar on stderr, for terminals only: the rows of both halves,
// which are rendered band by band side by side.
class ProgressBar {
public:
    explicit ProgressBar(std::ostream& err) : err_(err) {}
    void update(Half half, int done, int total) {
        std::lock_guard lock(mutex_);
        rowsDone_[static_cast<int>(half)] = done;
        const int64_t all = 2 * int64_t{total};
        const int percent = all > 0 ? static_cast<int>((int64_t{rowsDone_[0]} + rowsDone_[1]) * 100 / all) : 100;
        if (percent == lastPercent_) return;
        lastPercent_ = percent;
        const int width = 30, filled = percent * width / 100;
        err_ << "\rrendering [" << std::string(filled, '#') << std::string(width - filled, ' ') << "] " << percent
             << "%" << std::flush;
    }
    void finish() {
        if (lastPercent_ >= 0) err_ << "\r" << std::string(50, ' ') << "\r" << std::flush;
    }

private:
    std::ostream& err_;
    std::mutex mutex_;
    int rowsDone_[2] = {0, 0};
    int lastPercent_ = -1;
};

int usageError(std::ostream& err, const std::string& text) { return cli::usageError(err, text, kUsage, "convert"); }

constexpr const char* kInterrupted = "\nvistereo-cli: interrupted; no output was written\n";

// Fills the right image's A and B from the left ones by template matching
// (the pictures upright, when the rig's lenses are turned).
bool matchRightPoints(const ConversionRequest& request, int threads, PointSet& points, std::ostream& err) {
    const std::array<int32_t, 2> turns{request.lenses[0].precision.turnDegrees, request.lenses[1].precision.turnDegrees};
    const auto images = readPickingImages(leftImagePath(request), rightImagePath(request),
                                          readOptionsOf(request, threads), err, false, turns);
    if (!images) return false;
    for (int k = 0; k < 2; ++k) {  // A, then B
        const ImagePoint leftPoint = k ? points.leftB : points.leftA;
        const MatchOutcome match = matchPointAsRead(*images, leftPoint, turns);
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
    const ParsedOptions options = parseOptions(args, kConvertOptions, 2);
    if (!options.error.empty()) return usageError(err, options.error);
    if (options.has("help")) {
        printCommandHelp(out, kConvertHelp);
        return kExitOk;
    }
    const bool autoAlign = options.has("auto-align"), rotationFrom = options.has("rotation-from");
    if (const Fallible none = noLensRegistered(options, workingDirectoryOf(options)); !none.ok()) {
        printError(err, none.error);
        return kExitFailed;
    }
    for (const char* required : {"left-lens", "right-lens", "points"})
        if (!options.has(required) && !((autoAlign || rotationFrom) && std::string(required) == "points"))
            return usageError(err, std::string("missing --") + required);
    if (autoAlign && (options.has("points") || options.has("match")))
        return usageError(err, "--auto-align finds the alignment itself: give it without --points or --match");
    if (rotationFrom && (autoAlign || options.has("points") || options.has("match")))
        return usageError(err, "--rotation-from aligns the right eye by the calibration's rotation: give it without "
                               "--points, --match or --auto-align");
    if (options.has("refine-lenses") && !autoAlign) return usageError(err, "--refine-lenses goes with --auto-align");
    if (options.has("keep-lenses") && !autoAlign) return usageError(err, "--keep-lenses goes with --auto-align");
    if (options.has("refine-shape") && !options.has("refine-lenses"))
        return usageError(err, "--refine-shape goes with --refine-lenses");

    ConversionRequest request;
    if (const Fallible bad = readImageArguments(options, request); !bad.ok()) return usageError(err, bad.error);
    request.outputName = options.value("output", request.outputName);

    RunOptions run;
    if (const Fallible bad = readConversionChoices(options, autoAlign ? std::optional(AlignmentScope::EachPair) : std::nullopt,
                                               request, run); !bad.ok())
        return usageError(err, bad.error);
    if (options.has("vr-suffix")) request.outputName = withVrSuffix(request.outputName);
    request.outputPath = argumentPath(request.outputName, request.workingDirectory / "output");
    request.createOutputFolder = true;
    request.keepExif = options.has("keep-exif");

    request.refuseImpossibleLenses = true;  // lens values and points are checked on every route of the command line
    request.refuseImpossiblePoints = true;

    if (const Fallible chosen = chooseLenses(options, request.workingDirectory, request.lenses, &request.otherInputs);
        !chosen.ok())
        return usageError(err, chosen.error);
    if (!applyRigChoices(options, request, request.otherInputs, err)) return kExitFailed;
    const LensSavingChoice saving = chooseLensSaving(options, request.workingDirectory, options.has("refine-lenses"), err);
    if (!saving.usage.empty()) return usageError(err, saving.usage);

    // The output is judged before any picture is decoded: a name the image
    // library can write, no file of this run replaced, a place it can go.
    if (const RunStep refused = admitOutput(request); !refused.ok()) {
        printError(err, refused.error);
        return kExitFailed;
    }
    const bool quiet = options.has("quiet");
    // A temporary left by a convert killed outright in this folder goes now;
    // one being written when this one is interrupted goes with it.
    removeAbandonedTemporaries(request.outputPath, err, quiet);
    removeTemporariesOnTermination(kInterrupted);

    if (options.has("match") &&
        !matchRightPoints(request, run.threads, std::get<PointSet>(std::get<PointsAB>(request.alignment).given), err))
        return kExitFailed;

    ProgressBar bar(err);
    if (!quiet && isatty(STDERR_FILENO))
        run.progress = [&bar](Half half, int done, int total) { bar.update(half, done, total); };

    KeptOnResult sink;
    const ConversionResult result = RunConversion(request, sink, run);
    bar.finish();
    int saveStatus = kExitOk;  // kExitFailed when --save-lenses could not save
    if (autoAlign) {
        // Refused before the pictures were aligned: why, on one line.
        if (!result.aligned) {
            printError(err, result.explained());
            return kExitFailed;
        }
        const PairAlignment& aligned = *result.aligned;
        if (!aligned.ok()) {
            for (const std::string& warning : aligned.warnings) err << "vistereo-cli: warning: " << warning << "\n";
            printError(err, aligned.error);
            return kExitFailed;
        }
        if (!aligned.result.warning.empty()) err << "vistereo-cli: warning: " << aligned.result.warning << "\n";
        if (aligned.result.lensesRefined && !aligned.result.lenses.lawAdvice.empty())
            err << "vistereo-cli: warning: " << aligned.result.lenses.lawAdvice << "\n";
        if (!quiet) out << describePairAlignment(aligned.result) << "\n";
        if (aligned.result.lensesRefined && !quiet) out << lensRefinementText(aligned.result.lenses);
        if (saving.saving) {
            // The render used the refined lenses whether or not they could be saved.
            const alignment::LensRefinement& lenses = aligned.result.lenses;
            const LensSaved saved =
                saveRefinedLens(*saving.saving, {lenses.right.imageWidth(), lenses.right.imageHeight()},
                                result.refinedLenses, lenses.applied ? std::string() : lenses.notApplied);
            std::ostringstream quietOut;
            printLensSaved(*saving.saving, saved, quiet ? quietOut : out, err);
            if (!saved.ok()) saveStatus = kExitFailed;
        }
    }
    for (const std::string& warning : result.warnings) err << "vistereo-cli: warning: " << warning << "\n";
    if (result.written())
        for (const std::string& note : result.notes) err << "vistereo-cli: note: " << note << "\n";

    switch (result.status) {
        case ConversionStatus::Written:
            if (!quiet) {
                for (const std::string& m : result.messages) out << m << "\n";
                if (options.has("match")) {
                    const auto values = alignmentPoints(request.alignment).listOrder();
                    out << "points: ";
                    for (size_t k = 0; k < values.size(); ++k) out << (k ? "," : "") << values[k];
                    out << "\n";
                }
                if (result.colour && result.colour->ok()) out << describeColourMatch(*result.colour) << "\n";
                const std::string written = shortenForMessage(result.outputPath.string());
                if (isVr180Name(request.outputName))
                    out << "wrote " << written << " (VR180 photo, each eye " << request.outputHeight << " x "
                        << request.outputHeight << ")\n";
                else
                    out << "wrote " << written << " (" << 2 * request.outputHeight << " x " << request.outputHeight
                        << ")\n";
            }
            if (options.has("timing")) {
                const StageSeconds& s = result.seconds;
                if (autoAlign) out << "align " << s.align << " s, ";
                out << "read " << s.read << " s, derive " << s.derive << " s, ";
                if (result.colour) out << "match colour " << s.matchColour << " s, ";
                out << "render right " << s.renderRight
                    << " s, render left " << s.renderLeft << " s, encode " << s.encode << " s, write " << s.write
                    << " s\n";
                rusage usage{};
                getrusage(RUSAGE_SELF, &usage);
                out << "peak memory " << usage.ru_maxrss / 1024 << " MiB\n";
            }
            return saveStatus;
        case ConversionStatus::WriteFailed:
        case ConversionStatus::OutputRefused:
        case ConversionStatus::InvalidLensCode:
        case ConversionStatus::ImpossibleLens:
            printError(err, result.detail);
            return kExitFailed;
        default:
            for (const std::string& m : result.messages) printError(err, m);
            // An unreadable image: the file and the cause on a line of their own.
            if (!result.detail.empty() && (result.messages.empty() || result.messages.back() != result.detail))
                printError(err, result.detail);
            return kExitFailed;
    }
}

}  // namespace vistereo::cli
