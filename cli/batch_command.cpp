// vistereo-cli batch: many pairs with one set of choices, through the
// conversion layer's batch (each output the bytes `convert` would write).
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "base/atomic_file.h"
#include "cli/command_catalogue.h"
#include "base/message_text.h"
#include "cli/commands.h"
#include "cli/options/common.h"
#include "cli/options/conversion_options.h"
#include "cli/options/lens_saving.h"
#include "cli/options/option_table.h"
#include "alignment/lens_refinement.h"
#include "conversion/auto_align.h"
#include "batch/batch.h"
#include "conversion/output_target.h"

namespace vistereo::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::array<OptionSpec, 41> kBatchOptions{{
    kDirectoryOption,
    kLeftLensOption,
    kRightLensOption,
    kLensesOption,
    kPointsOption,
    kRotationFromOption,
    kLeftTurnOption,
    kRightTurnOption,
    withHelp(kAutoAlignOption, "align every pair automatically from its own pictures (no --points needed)"),
    {"align-once", 0, nullptr, "with --auto-align: align the first pairs that align (at most 5), and convert\n"
                               "                            every pair with the robust mean of their rotations"},
    kRefineLensesOption,
    kKeepLensesOption,
    kRefineShapeOption,
    withHelp(kSaveLensesOption, "with --align-once --refine-lenses: write the refined right lens (the mean of\n"
                                "                            the pairs used) as a new record named LENS+SUFFIX, beside the right\n"
                                "                            lens's in the file it came from"),
    {"left-dir", 0, "DIR", "folder of the left images (default: input/left); a bare name is in the\n"
                           "                            working directory, a path (with /) is taken as given"},
    {"right-dir", 0, "DIR", "folder of the right images (default: input/right); the two folders'\n"
                            "                            images are paired in name order"},
    {"pairs", 0, "FILE", "CSV of left,right[,output] lines instead of the folders: images relative\n"
                         "                            to input/, outputs to the output folder"},
    {"max-pairs", 0, "N", "most pairs a pairs file may list (default: 100000)"},
    {"max-pairs-line", 0, "BYTES", "longest line a pairs file may hold (default: 16384)"},
    {"output-dir", 0, "DIR", "folder of the outputs, named after the left images (default: output)"},
    {"allow-outside-output-dir", 0, nullptr, "let a pairs file's outputs lie outside the output folder\n"
                                             "                            (through \"..\", an absolute path or a link)"},
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
    {"force", 0, nullptr, "convert a pair whose output is done (default: skip it); an output that is\n"
                          "                            a link is replaced, never written through"},
    {"dry-run", 'n', nullptr, "print the pairing and what would be skipped; convert nothing"},
    withHelp(kQuietOption, "print only failures and the summary"),
    kHelpOption,
}};

constexpr const char* kUsage =
    "usage: vistereo-cli batch [-C DIR] --left-lens LENS --right-lens LENS [--lenses FILE]\n"
    "                          (--points LIST | --auto-align [--align-once] [--keep-lenses | --refine-lenses [--refine-shape]\n"
    "                          [--save-lenses SUFFIX]] | --rotation-from FILE) [--left-turn DEG] [--right-turn DEG]\n"
    "                          [--left-dir DIR] [--right-dir DIR] [--pairs FILE [--max-pairs N]\n"
    "                          [--max-pairs-line BYTES] [--allow-outside-output-dir]] [--output-dir DIR]\n"
    "                          [--height N] [--roll DEG] [--pitch DEG] [--yaw DEG] [--vr-suffix]\n"
    "                          [--quality Q] [--keep-exif] [--interp KIND] [--match-colour[=vignetting]]\n"
    "                          [--convergence DEG | --zero-parallax METRES [--baseline MM]]\n"
    "                          [--threads N] [--exact]\n"
    "                          [--max-input-megapixels MP] [--ignore-orientation] [--force] [--dry-run] [--quiet]\n";

}  // namespace

const CommandHelp kBatchHelp{"batch", "convert every pair of input/left and input/right (or of a pairs file)", kUsage,
                             "Converts every pair of the left and right folders (or of a pairs file) into\n"
                             "side-by-side 180-degree equirectangular images with the same settings. A pair\n"
                             "whose output is a complete image of the batch's size is skipped, so after an\n"
                             "interruption the same command finishes the batch; an empty or cut-short output is\n"
                             "converted again. An output that would replace an input, the pairs file, the lens\n"
                             "registry or another output is refused before any picture is decoded. Batches that\n"
                             "share an output folder (also over NFS) take turns on each output, through the lock\n"
                             "file .vistereo.lock in it. Exit status: 0 every pair converted or skipped, 1 a pair\n"
                             "failed or the outputs were refused, 2 usage error.",
                             kBatchOptions};

namespace {

constexpr const char* kInterrupted =
    "\nvistereo-cli: interrupted; the outputs written so far are complete, and the same command finishes the batch\n";

int usageError(std::ostream& err, const std::string& text) { return cli::usageError(err, text, kUsage, "batch"); }

std::string pairFiles(const BatchPair& pair) {
    return shortenForMessage(pair.left.string()) + ", " + shortenForMessage(pair.right.string());
}

// Reports the pairs: a progress bar on a terminal, a line per pair
// otherwise; failures and warnings always.
class BatchReport : public BatchObserver {
public:
    // `saving`: where the lenses of a shoot aligned once are saved, if anywhere.
    BatchReport(std::ostream& out, std::ostream& err, bool bar, bool quiet, const LensSaving* saving)
        : out_(out), err_(err), bar_(bar && !quiet), quiet_(quiet), saving_(saving) {}

    void start(const BatchProgress& progress) {
        shown_ = progress;
        if (bar_) drawBar(progress);
    }
    // Whether the lenses of a shoot aligned once could not be saved.
    bool saveFailed() const { return saveFailed_; }

    void alignedOnce(const SharedAlignment& shared, const SharedColour& colour) override {
        clearBar();
        for (const std::string& remark : sharedAlignmentRemarks(shared))
            err_ << "vistereo-cli: warning: " << remark << "\n";
        if (!shared.rotation) return;  // the batch is refused with what the pairs gave
        if (!quiet_) out_ << describeSharedAlignment(shared) << "\n" << std::flush;
        if (shared.lenses) {
            const LensCorrection& c = shared.lenses->corrections[1];
            char text[200];
            std::snprintf(text, sizeof text, "right lens refined (mean of the pairs used): axis point moved by %.2f, %.2f "
                          "dots; scale %.5f; shape %.5f", c.axisDx, c.axisDy, c.scale, c.shape);
            if (!quiet_) out_ << text << (shared.lenses->laws[1] ? std::string("; projection taken as ") +
                                                                        alignment::mappingName(*shared.lenses->laws[1])
                                                                  : std::string()) << "\n";
        }
        if (saving_) saveShootLenses(shared);
        if (colour.match || !colour.error.empty()) {  // a colour match was asked for: one for the shoot
            if (!colour.ok())  // the pairs are converted as sampled, as a single run whose match fails
                err_ << "vistereo-cli: warning: pair " << colour.index + 1
                     << ": the colours of the eyes were not matched: " << colour.error << "\n";
            else if (!quiet_)
                out_ << "pair " << colour.index + 1 << ", for every pair: " << describeColourMatch(*colour.match)
                     << "\n" << std::flush;
        }
        if (bar_) drawBar(shown_);
    }
    void pairFinished(const BatchPair& pair, const PairOutcome& outcome, const BatchProgress& progress) override {
        const std::string count = "[" + std::to_string(progress.done()) + "/" + std::to_string(progress.total) + "] ";
        clearBar();
        for (const std::string& warning : outcome.warnings) err_ << "vistereo-cli: warning: " << warning << "\n";
        if (!quiet_)
            for (const std::string& note : outcome.notes) err_ << "vistereo-cli: note: " << note << "\n";
        if (outcome.result == PairResult::Failed) {
            printError(err_, pairLabel(pair, outcome.index) + " (" + pairFiles(pair) + "): " + outcome.detail);
        } else if (!bar_ && !quiet_) {
            out_ << count << (outcome.result == PairResult::Converted ? "converted " : "skipped ") << pairFiles(pair)
                 << " -> " << shortenForMessage(pair.output.string())
                 << (outcome.detail.empty() ? "" : " (" + outcome.detail + ")") << "\n"
                 << std::flush;
        }
        if (!quiet_ && outcome.result == PairResult::Converted && outcome.colour && outcome.colour->ok())
            out_ << "  " << describeColourMatch(*outcome.colour) << "\n" << std::flush;
        if (bar_) drawBar(progress);
    }
    void pairWaiting(const BatchPair& pair) override {
        if (quiet_) return;
        clearBar();
        err_ << "vistereo-cli: note: another run is converting " << shortenForMessage(pair.output.string())
             << "; this one comes back to it\n";
    }
    void temporaryRemoved(const fs::path& temporary) override {
        if (!quiet_) out_ << "removed " << shortenForMessage(temporary.string()) << ", left by an interrupted run\n";
    }
    void finish() { clearBar(); }

private:
    void saveShootLenses(const SharedAlignment& shared) {
        // A used pair whose refinement was set aside disagrees with the others
        // about the lens: nothing is saved then.
        std::string setAside;
        ImageSize size;
        for (const SharedAlignment::Attempt& a : shared.attempts) {
            if (!a.used) continue;
            const alignment::LensRefinement& lenses = a.alignment.result.lenses;
            if (size.width == 0) size = {lenses.right.imageWidth(), lenses.right.imageHeight()};
            if (!lenses.applied && setAside.empty())
                setAside = a.sample.name() + ": " + lenses.notApplied;
        }
        if (setAside.empty() && !shared.lenses) setAside = "no pair's lenses were refined";
        const LensSaved saved = saveRefinedLens(*saving_, size, shared.lenses.value_or(RefinedLenses{}), setAside);
        std::ostringstream quietOut;
        printLensSaved(*saving_, saved, quiet_ ? quietOut : out_, err_);
        if (!saved.ok()) saveFailed_ = true;
    }

    void drawBar(const BatchProgress& p) {
        const int width = 24;
        const int filled = p.total ? static_cast<int>(p.done() * width / p.total) : width;
        const std::string text =
            "\r[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " + describeProgress(p);
        err_ << text << std::string(drawn_ > text.size() ? drawn_ - text.size() : 0, ' ') << std::flush;
        drawn_ = text.size();
    }
    void clearBar() {
        if (!bar_ || drawn_ == 0) return;
        err_ << "\r" << std::string(drawn_, ' ') << "\r" << std::flush;
        drawn_ = 0;
    }

    std::ostream& out_;
    std::ostream& err_;
    const bool bar_, quiet_;
    const LensSaving* saving_;
    BatchProgress shown_;
    bool saveFailed_ = false;
    size_t drawn_ = 0;
};

// A count option: a whole number of at least 1.
std::optional<size_t> countOption(const ParsedOptions& options, const char* name, size_t fallback) {
    if (!options.has(name)) return fallback;
    const auto value = parseWholeNumber(options.value(name));
    if (!value || *value < 1) return std::nullopt;
    return static_cast<size_t>(*value);
}

}  // namespace

int runBatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const ParsedOptions options = parseOptions(args, kBatchOptions);
    if (!options.error.empty()) return usageError(err, options.error);
    if (options.has("help")) {
        printCommandHelp(out, kBatchHelp);
        return kExitOk;
    }
    const bool autoAlign = options.has("auto-align");
    const bool alignOnce = options.has("align-once");
    if (const Fallible none = noLensRegistered(options, workingDirectoryOf(options)); !none.ok()) {
        printError(err, none.error);
        return kExitFailed;
    }
    for (const char* required : {"left-lens", "right-lens"})
        if (!options.has(required)) return usageError(err, std::string("missing --") + required);
    if (alignOnce && !autoAlign) return usageError(err, "--align-once goes with --auto-align");
    if (options.has("refine-lenses") && !autoAlign) return usageError(err, "--refine-lenses goes with --auto-align");
    if (options.has("keep-lenses") && !autoAlign) return usageError(err, "--keep-lenses goes with --auto-align");
    if (options.has("refine-shape") && !options.has("refine-lenses"))
        return usageError(err, "--refine-shape goes with --refine-lenses");
    if (autoAlign && options.has("points"))
        return usageError(err, "--auto-align finds the alignment itself: give it without --points");
    if (options.has("rotation-from") && (autoAlign || options.has("points")))
        return usageError(err, "--rotation-from aligns the right eye by the calibration's rotation: give it without "
                               "--points or --auto-align");
    if (!autoAlign && !options.has("points") && !options.has("rotation-from"))
        return usageError(err, "missing --points (or --auto-align, or --rotation-from)");
    if (options.has("pairs") && (options.has("left-dir") || options.has("right-dir")))
        return usageError(err, "--pairs lists the images itself; leave out --left-dir and --right-dir");

    const std::optional<AlignmentScope> automaticScope =
        !autoAlign ? std::nullopt : std::optional(alignOnce ? AlignmentScope::Once : AlignmentScope::EachPair);
    BatchSettings settings;
    ConversionRequest& request = settings.request;
    request.workingDirectory = workingDirectoryOf(options);
    if (const Fallible bad = readConversionChoices(options, automaticScope, request, settings.run); !bad.ok()) return usageError(err, bad.error);
    request.keepExif = options.has("keep-exif");
    request.refuseImpossibleLenses = true;  // lens values and points are checked on every route of the command line
    request.refuseImpossiblePoints = true;
    if (const Fallible chosen = chooseLenses(options, request.workingDirectory, request.lenses, &settings.otherInputs);
        !chosen.ok())
        return usageError(err, chosen.error);
    if (!applyRigChoices(options, request, settings.otherInputs, err)) return kExitFailed;
    if (options.has("save-lenses") && !alignOnce)
        return usageError(err, "--save-lenses in a batch goes with --align-once: one set of lenses for the shoot "
                               "('vistereo-cli lens calibrate' pools the pairs for them)");
    const LensSavingChoice saving = chooseLensSaving(options, request.workingDirectory, options.has("refine-lenses"), err);
    if (!saving.usage.empty()) return usageError(err, saving.usage);
    settings.force = options.has("force");

    const fs::path& wd = request.workingDirectory;
    const fs::path outputDir = argumentPath(options.value("output-dir", "output"), wd);
    const bool vrSuffix = options.has("vr-suffix");
    PairsFileLimits limits;
    const auto maxPairs = countOption(options, "max-pairs", limits.maxPairs);
    const auto maxLine = countOption(options, "max-pairs-line", limits.maxLineBytes);
    if (!maxPairs) return usageError(err, "--max-pairs takes a whole number of at least 1");
    if (!maxLine) return usageError(err, "--max-pairs-line takes a whole number of bytes, at least 1");
    limits = {*maxLine, *maxPairs};
    settings.otherInputs.push_back({registryFile(wd), "the lens registry"});
    PairingResult pairing;
    if (options.has("pairs")) {
        const fs::path pairsFile = argumentPath(options.value("pairs"), wd);
        pairing = readPairsFile(pairsFile, wd / "input", outputDir, vrSuffix, limits);
        settings.otherInputs.push_back({pairsFile, "the pairs file"});
        if (!options.has("allow-outside-output-dir")) {
            settings.outputFolder = outputDir;
            settings.howToAllowOutside = "--allow-outside-output-dir allows it";
        }
    } else {
        const fs::path leftDir =
            options.has("left-dir") ? argumentPath(options.value("left-dir"), wd) : wd / "input" / "left";
        const fs::path rightDir =
            options.has("right-dir") ? argumentPath(options.value("right-dir"), wd) : wd / "input" / "right";
        pairing = pairFolders(leftDir, rightDir, outputDir, vrSuffix);
        settings.inputFolders = {{leftDir, "the left image folder"}, {rightDir, "the right image folder"}};
    }
    if (!pairing.ok()) return usageError(err, pairing.error);
    const std::vector<BatchPair>& pairs = pairing.pairs;
    const bool quiet = options.has("quiet");

    // Every output judged before any picture is decoded or aligned.
    if (const RunStep refused = checkBatchOutputs(pairs, settings); !refused.ok()) {
        printError(err, refused.error);
        return kExitFailed;
    }

    if (options.has("dry-run")) {
        const BatchPlan plan = planBatch(pairs, settings.force, request.outputHeight);
        for (size_t k = 0; k < pairs.size(); ++k) {
            const OutputState& found = plan.found[k];
            // The same test as the batch's: what it would redo, and why.
            const std::string why = plan.skip[k]                               ? " (exists)"
                                    : found.stamp.exists && !found.complete ? " (exists, but " + found.fault + ")"
                                    : found.stamp.exists                    ? " (exists; forced)"
                                                                            : "";
            out << "[" << k + 1 << "/" << pairs.size() << "] " << (plan.skip[k] ? "skip " : "convert ")
                << pairFiles(pairs[k]) << " -> " << shortenForMessage(pairs[k].output.string()) << why << "\n";
        }
        for (const fs::path& temporary : plan.abandonedTemporaries)
            out << "would remove " << shortenForMessage(temporary.string()) << ", left by an interrupted run\n";
        out << "would convert " << plan.toConvert() << ", skip " << pairs.size() - plan.toConvert() << "\n";
        return kExitOk;
    }

    // Ctrl-C or kill while a file is written leaves no temporary file behind.
    removeTemporariesOnTermination(kInterrupted);
    int saveStatus = kExitOk;  // kExitFailed when --save-lenses could not save
    if (saving.saving && planBatch(pairs, settings.force, request.outputHeight).toConvert() == 0) {
        printError(err, "nothing saved to " + saving.saving->file.string() +
                            ": every output exists, so no pair was aligned (--force converts them again)");
        saveStatus = kExitFailed;
    }
    BatchReport report(out, err, isatty(STDERR_FILENO) == 1, quiet, saving.saving ? &*saving.saving : nullptr);
    BatchProgress before;
    before.total = pairs.size();
    report.start(before);
    const BatchSummary summary = runBatch(pairs, settings, report);
    report.finish();
    if (report.saveFailed()) saveStatus = kExitFailed;
    if (!summary.refusal.ok()) {
        printError(err, summary.refusal.error);
        return kExitFailed;
    }
    out << describeSummary(summary) << "\n";
    return summary.failed ? kExitFailed : saveStatus;
}

}  // namespace vistereo::cli
