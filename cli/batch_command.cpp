// vistereo-cli batch: many pairs with one set of choices, through the
// conversion layer's batch (each output the bytes `convert` would write).
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "base/atomic_file.h"
#include "cli/commands.h"
#include "cli/common.h"
#include "cli/conversion_options.h"
#include "cli/option_table.h"
#include "conversion/auto_align.h"
#include "conversion/batch.h"

namespace vistereo::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::array<OptionSpec, 26> kBatchOptions{{
    kDirectoryOption,
    kLeftLensOption,
    kRightLensOption,
    kPointsOption,
    {"auto-align", 0, nullptr, "align every pair automatically from its own pictures (no --points needed)"},
    {"align-once", 0, nullptr, "with --auto-align: align the first pairs that align (at most 5), and convert\n"
                               "                            every pair with the robust mean of their rotations"},
    {"left-dir", 0, "DIR", "folder of the left images (default: input/left)"},
    {"right-dir", 0, "DIR", "folder of the right images (default: input/right); the two folders'\n"
                            "                            images are paired in name order"},
    {"pairs", 0, "FILE", "CSV of left,right[,output] lines instead of the folders: images relative\n"
                         "                            to input/, outputs to the output folder"},
    {"output-dir", 0, "DIR", "folder of the outputs, named after the left images (default: output)"},
    kHeightOption,
    kVrSuffixOption,
    kQualityOption,
    kKeepExifOption,
    kInterpOption,
    kRollOption,
    kPitchOption,
    kYawOption,
    kThreadsOption,
    kMaxInputOption,
    kIgnoreOrientationOption,
    kExactOption,
    {"force", 0, nullptr, "convert a pair whose output exists (default: skip it)"},
    {"dry-run", 'n', nullptr, "print the pairing and what would be skipped; convert nothing"},
    {"quiet", 'q', nullptr, "print only failures and the summary"},
    {"help", 'h', nullptr, "show this help"},
}};

constexpr const char* kUsage =
    "usage: vistereo-cli batch [-C DIR] --left-lens LENS --right-lens LENS\n"
    "                          (--points LIST | --auto-align [--align-once])\n"
    "                          [--left-dir DIR] [--right-dir DIR] [--pairs FILE] [--output-dir DIR]\n"
    "                          [--height N] [--roll DEG] [--pitch DEG] [--yaw DEG] [--vr-suffix]\n"
    "                          [--quality Q] [--keep-exif] [--interp KIND] [--threads N] [--exact]\n"
    "                          [--max-input-megapixels MP] [--ignore-orientation] [--force] [--dry-run] [--quiet]\n";

constexpr const char* kInterrupted =
    "\nvistereo-cli: interrupted; the outputs written so far are complete, and the same command finishes the batch\n";

int usageError(std::ostream& err, const std::string& text) { return cli::usageError(err, text, kUsage, "batch"); }

std::string pairLabel(const BatchPair& pair) { return pair.left.string() + ", " + pair.right.string(); }

// Reports the pairs: a progress bar on a terminal, a line per pair
// otherwise; failures and warnings always.
class BatchReport : public BatchObserver {
public:
    BatchReport(std::ostream& out, std::ostream& err, bool bar, bool quiet)
        : out_(out), err_(err), bar_(bar && !quiet), quiet_(quiet) {}

    void start(const BatchProgress& progress) {
        if (bar_) drawBar(progress);
    }
    void pairFinished(const BatchPair& pair, const PairOutcome& outcome, const BatchProgress& progress) override {
        const std::string count = "[" + std::to_string(progress.done()) + "/" + std::to_string(progress.total) + "] ";
        clearBar();
        for (const std::string& warning : outcome.warnings) err_ << "vistereo-cli: warning: " << warning << "\n";
        if (!quiet_)
            for (const std::string& note : outcome.notes) err_ << "vistereo-cli: note: " << note << "\n";
        if (outcome.result == PairResult::Failed) {
            printError(err_, "pair " + std::to_string(outcome.index + 1) +
                                 (pair.line ? " (line " + std::to_string(pair.line) + ")" : std::string()) + " (" +
                                 pairLabel(pair) + "): " + outcome.message);
        } else if (!bar_ && !quiet_) {
            out_ << count << (outcome.result == PairResult::Converted ? "converted " : "skipped ") << pairLabel(pair)
                 << " -> " << pair.output.string() << (outcome.result == PairResult::Skipped ? " (exists)" : "")
                 << "\n"
                 << std::flush;
        }
        if (bar_) drawBar(progress);
    }
    void temporaryRemoved(const fs::path& temporary) override {
        if (!quiet_) out_ << "removed " << temporary.string() << ", left by an interrupted run\n";
    }
    void finish() { clearBar(); }

private:
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
    size_t drawn_ = 0;
};

// DIR, relative to the working directory unless absolute.
fs::path inWorkingDirectory(const fs::path& workingDirectory, const std::string& dir) {
    return workingDirectory / dir;
}

}  // namespace

int runBatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const ParsedOptions options = parseOptions(args, kBatchOptions);
    if (!options.error.empty()) return usageError(err, options.error);
    if (options.has("help")) {
        out << kUsage
            << "\nConverts every pair of the left and right folders (or of a pairs file) into\n"
               "side-by-side 180-degree equirectangular images with the same settings. A pair\n"
               "whose output exists is skipped, so after an interruption the same command\n"
               "finishes the batch. Exit status: 0 every pair converted or skipped, 1 a pair\n"
               "failed, 2 usage error.\n\n"
            << formatOptionHelp(kBatchOptions);
        return kExitOk;
    }
    const bool autoAlign = options.has("auto-align");
    const bool alignOnce = options.has("align-once");
    for (const char* required : {"left-lens", "right-lens"})
        if (!options.has(required)) return usageError(err, std::string("missing --") + required);
    if (alignOnce && !autoAlign) return usageError(err, "--align-once goes with --auto-align");
    if (autoAlign && options.has("points"))
        return usageError(err, "--auto-align finds the alignment itself: give it without --points");
    if (!autoAlign && !options.has("points")) return usageError(err, "missing --points (or --auto-align)");
    if (options.has("pairs") && (options.has("left-dir") || options.has("right-dir")))
        return usageError(err, "--pairs lists the images itself; leave out --left-dir and --right-dir");

    BatchSettings settings;
    ConversionRequest& request = settings.request;
    request.workingDirectory = options.value("directory", ".");
    if (const auto bad = readConversionChoices(options, !autoAlign, request, settings.run)) return usageError(err, *bad);
    request.keepExif = options.has("keep-exif");
    if (const std::string error = chooseLenses(request.workingDirectory, options.value("left-lens"),
                                               options.value("right-lens"), request.lenses);
        !error.empty())
        return usageError(err, error);
    settings.force = options.has("force");

    const fs::path& wd = request.workingDirectory;
    const fs::path outputDir = inWorkingDirectory(wd, options.value("output-dir", "output"));
    const bool vrSuffix = options.has("vr-suffix");
    const PairingResult pairing =
        options.has("pairs") ? readPairsFile(inWorkingDirectory(wd, options.value("pairs")), wd / "input", outputDir,
                                             vrSuffix)
                             : pairFolders(inWorkingDirectory(wd, options.value("left-dir", "input/left")),
                                           inWorkingDirectory(wd, options.value("right-dir", "input/right")),
                                           outputDir, vrSuffix);
    if (!pairing.ok()) return usageError(err, pairing.error);
    const std::vector<BatchPair>& pairs = pairing.pairs;
    const bool quiet = options.has("quiet");

    if (options.has("dry-run")) {
        const BatchPlan plan = planBatch(pairs, settings.force);
        for (size_t k = 0; k < pairs.size(); ++k)
            out << "[" << k + 1 << "/" << pairs.size() << "] " << (plan.skip[k] ? "skip " : "convert ")
                << pairLabel(pairs[k]) << " -> " << pairs[k].output.string()
                << (plan.skip[k] ? " (exists)" : "") << "\n";
        for (const fs::path& temporary : plan.abandonedTemporaries)
            out << "would remove " << temporary.string() << ", left by an interrupted run\n";
        out << "would convert " << plan.toConvert() << ", skip " << pairs.size() - plan.toConvert() << "\n";
        return kExitOk;
    }

    // Ctrl-C or kill while a file is written leaves no temporary file behind.
    removeTemporariesOnTermination(kInterrupted);
    if (alignOnce && planBatch(pairs, settings.force).toConvert() > 0) {
        const SharedAlignment shared = alignFirstPairs(pairs, request, settings.run.threads);
        for (const std::string& remark : sharedAlignmentRemarks(shared))
            err << "vistereo-cli: warning: " << remark << "\n";
        if (!shared.rotation) {
            printError(err, describeSharedAlignment(shared));
            return kExitFailed;
        }
        if (!quiet) out << describeSharedAlignment(shared) << "\n" << std::flush;
        request.rotation = shared.rotation;
    } else if (autoAlign && !alignOnce) {
        settings.alignPair = alignEachPair(settings.run.threads);
    }
    BatchReport report(out, err, isatty(STDERR_FILENO) == 1, quiet);
    BatchProgress before;
    before.total = pairs.size();
    report.start(before);
    const BatchSummary summary = runBatch(pairs, settings, report);
    report.finish();
    if (summary.refusal) {
        printError(err, summary.refusal->text());
        return kExitFailed;
    }
    out << describeSummary(summary) << "\n";
    return summary.failed ? kExitFailed : kExitOk;
}

}  // namespace vistereo::cli
