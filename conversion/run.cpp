// The conversion run: from the user's choices to one side-by-side file.
//
// Steps, in the order the user sees their effects: lens check, points (read
// from the eight boxes or the comma line by readPointEntry, when they align
// the right eye), point check, both images read once (headers first, then
// decoded at the same time, both before either is judged), the prepare step
// (per-eye geometry, left eye before right eye for each quantity), the
// automatic alignment when the request asks for it, the output's name, size
// and memory, the canvas, the right half, the left half, the file, the
// closing message.
#include "conversion/run.h"

#include "measure/stereo_window.h"
#include "conversion/auto_align.h"
#include "stereofile/output_formats.h"
#include "conversion/run_steps.h"
#include "engine/lens_check.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "base/atomic_file.h"
#include "base/parallel.h"
#include "base/watermark.h"
#include "base/message_text.h"
#include "base/text_numbers.h"
#include "base/stages.h"
#include "imagefile/image_codecs.h"
#include "stereofile/output_bands.h"
#include "conversion/output_target.h"
#include "engine/lens.h"
#include "registry/lens_registry.h"

namespace vistereo {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The bands a ringed output holds: the one being rendered, and the ones
// before it that the encoder may not have taken yet.
constexpr int kRingBands = 4;

}  // namespace

std::string describeLensCodeError(const LensCodeError& error, const std::array<LensSettings, 2>& lenses) {
    return std::string(error.eye == 0 ? "left" : "right") + " lens \"" + lenses[error.eye].name + "\" has " +
           error.field + " " + std::to_string(error.value) + ", which is not a known code";
}

std::optional<RunRefusal> allocateCanvas(int32_t outputHeight, cv::Mat& canvas, int rows) {
    try {
        canvas.create(rows < 0 ? static_cast<int>(outputHeight) : rows, static_cast<int>(2 * int64_t{outputHeight}),
                      CV_8UC3);
    } catch (const std::exception&) {
        return refusalOf(ConversionStatus::OutputHeightInvalid, nullptr,
                       "There is not enough memory for an output image of height " + std::to_string(outputHeight) +
                           ".");
    }
    return std::nullopt;
}

std::optional<RunRefusal> encodeOutput(const ConversionRequest& request, const std::string& outputName,
                                       const std::filesystem::path& leftInput, const cv::Mat& canvas,
                                       std::vector<uchar>& encoded, std::vector<std::string>& notes,
                                       const WaitForRows& rowsReady, int threads, const LentRows* lent) {
    // The format and the quality's use follow the output's own name.
    EncodedOutput output = outputFormatOf(outputName).encode(
        {outputName, request.jpegQuality, request.keepExif, leftInput, rowsReady, threads, lent}, canvas);
    notes.insert(notes.end(), output.notes.begin(), output.notes.end());
    encoded = std::move(output.bytes);
    const std::string extension = outputExtension(outputName);
    if (encoded.empty() && output.outOfMemory)
        return refusalOf(ConversionStatus::OutOfMemory, nullptr,
                       "There is not enough memory to encode the output as \"" + extension + "\".");
    if (encoded.empty())
        return refusalOf(ConversionStatus::OutputNameInvalid, nullptr,
                       "The image library could not encode the output as \"" + extension + "\".");
    return std::nullopt;
}

std::optional<RunRefusal> writeOutput(const std::filesystem::path& target, const std::vector<uchar>& encoded,
                                      bool makeFolder) {
    RunRefusal r;  // the run still closes with its message
    r.status = ConversionStatus::WriteFailed;
    std::error_code ec;
    const std::filesystem::path folder = target.parent_path();
    if (makeFolder && !folder.empty() && !std::filesystem::is_directory(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        if (ec) {
            r.detail = "cannot make the folder " + shortenForMessage(folder.string()) + ": " + ec.message();
            return r;
        }
    }
    // An output that is a link is replaced by the new file: what the link
    // named, perhaps another photograph, is left as it was.
    const Fallible written = writeFileAtomically(
        target, std::string_view(reinterpret_cast<const char*>(encoded.data()), encoded.size()), AtLink::Replace);
    if (written.ok()) return std::nullopt;
    r.detail = "cannot write " + shortenForMessage(target.string()) + ": " + written.error;
    return r;
}

std::string ConversionResult::explained() const {
    RunRefusal refusal;
    refusal.message = messages.empty() ? std::string() : messages.back();
    refusal.detail = detail;
    return refusal.explained();
}

ConversionResult RunConversion(const ConversionRequest& request, MessageSink& messages, const RunOptions& options) {
    ConversionResult result;
    auto show = [&](const std::string& text) {
        result.messages.push_back(text);
        messages.showMessage(text);
    };
    auto end = [&](const RunRefusal& r) {
        result.status = r.status;
        result.detail = r.detail;
        result.invalidLensCode = r.lensCode;
        if (!r.message.empty()) show(r.message);
        return result;
    };

    if (const auto refused = checkRequest(request)) return end(*refused);
    // The right eye's turn: the points as checked, a given rotation, or the
    // one the automatic alignment finds below.
    RightEyeTurn turn = requestedTurn(request);

    // Both images, decoded at the same time when the threads allow; both are
    // read before either is judged.
    auto stage = Clock::now();
    const InputImages images = readInputImages(request, options.threads, options.pixelAllocator);
    result.seconds.read = secondsSince(stage);
    if (const auto refused = judgeInputImages(images, result.warnings)) return end(*refused);
    const cv::Mat& left = images.left.pixels;
    const cv::Mat& right = images.right.pixels;

    // The per-eye geometry, once, and points A and B, when they turn the
    // right eye: within their pictures, each with a direction.
    stage = Clock::now();
    PreparedPair prepared;
    const auto badEyes = prepareEyesAndPoints(request, {left.cols, left.rows}, {right.cols, right.rows}, prepared,
                                              result.impossiblePoints);
    result.eyes = prepared.eyes.eye;
    result.impossibleLenses = prepared.impossibleLenses;
    if (badEyes) return end(*badEyes);
    result.seconds.derive = secondsSince(stage);
    result.refinedLenses = givenLenses(request.alignment);

    // The automatic alignment, on the pair as read: the rotation, and the
    // lenses as it refined them, which the render then uses.
    if (const AutomaticAlignment* automatic = std::get_if<AutomaticAlignment>(&request.alignment)) {
        result.aligned = alignImages(left, right, prepared.geometry, options.threads, automatic->refining);
        result.aligned->warnings = result.warnings;
        result.seconds.align = result.aligned->seconds;
        if (!result.aligned->ok()) {
            result.status = ConversionStatus::AlignmentFailed;
            result.detail = result.aligned->error;
            return result;
        }
        turn.rotation = result.aligned->result.rotation;
        if (result.aligned->result.lensesRefined) {
            result.refinedLenses = refinedLensesOf(result.aligned->result);
            applyRefinedLenses(result.refinedLenses, prepared.geometry);
        }
    }
    const alignment::AlignmentResult* aligned = result.aligned ? &result.aligned->result : nullptr;

    // What the writer and the machine can take, before the long render.
    result.outputPath = outputImagePath(request);
    if (const auto refused = checkOutput(request.outputName, request.outputHeight)) return end(*refused);
    // The halves are rendered in bands of rows, right then left. An encoder
    // that lets rows go once taken (a side-by-side JPEG's), on a thread of
    // its own, needs only a ring of a few bands; any other the whole canvas.
    const int n = request.outputHeight, bandRows = std::max(64, (n + 15) / 16);
    const bool ringed = n > kRingBands * bandRows && resolveThreadCount(options.threads) >= 2 &&
                        outputFormatOf(request.outputName).lends(request.outputName);
    cv::Mat memory;
    if (const auto refused = allocateCanvas(request.outputHeight, memory, ringed ? kRingBands * bandRows : n))
        return end(*refused);
    OutputBands bands = ringed ? OutputBands(std::move(memory), n, bandRows) : OutputBands(std::move(memory));

    // An output that would replace a file the run reads is not written. The
    // run ends as one whose write did not happen, with its closing message,
    // and says why in the result; nothing is rendered for a file that will
    // not be written.
    if (std::string clash = outputClash(request); !clash.empty()) {
        result.status = ConversionStatus::OutputRefused;
        result.detail = std::move(clash);
        show(kMsgFinished);
        return result;
    }

    // The colour match, fitted on this pair (where the eyes see the same far
    // field: before any convergence) and applied as the halves are rendered.
    stage = Clock::now();
    result.colour = matchColours(request, left, right, prepared.geometry, turn, aligned, options.threads);
    if (result.colour && !result.colour->ok()) result.warnings.push_back(colourMatchFailure(*result.colour));
    result.seconds.matchColour = secondsSince(stage);

    // The encoder takes each band as soon as both its halves are written: the
    // encoding (one thread's work in libjpeg) runs beside the render rather
    // than after it, with the same bytes. With one thread, the render ends
    // before the encoding starts.
    const alignment::ColourMatch* colour = result.colour ? &*result.colour : nullptr;
    const RightEyeTurn rightEye = convergedTurn(request, prepared.geometry, turn);
    std::vector<uchar> encoded;
    std::optional<RunRefusal> badEncoding;
    Clock::time_point renderEnd, encodeEnd;
    const auto render = [&] {
        try {
            for (int first = 0; first < n; first += bandRows) {
                const RowRange rows{first, std::min(bandRows, n - first)};
                cv::Mat band = bands.band(rows.first, rows.count);
                auto start = Clock::now();
                const HalfTarget rightTarget{&right, &band, colourOf(colour, 1), rows.first};
                renderHalves(Half::Right, prepared.geometry, rightEye, {&rightTarget, 1}, options, rows);
                result.seconds.renderRight += secondsSince(start);
                start = Clock::now();
                const HalfTarget leftTarget{&left, &band, colourOf(colour, 0), rows.first};
                renderHalves(Half::Left, prepared.geometry, rightEye, {&leftTarget, 1}, options, rows);
                result.seconds.renderLeft += secondsSince(start);
                bands.finished(rows.first + rows.count);
            }
        } catch (...) {
            bands.abandon();
            throw;
        }
        renderEnd = Clock::now();
    };
    const auto encode = [&] {
        // However the encoder ends, the render must not wait for it any more.
        struct Ended {
            OutputBands& bands;
            ~Ended() { bands.encoderEnded(); }
        } ended{bands};
        try {
            const LentRows lent = bands.lent();
            badEncoding = encodeOutput(request, request.outputName, images.left.path,
                                       bands.whole() ? *bands.whole() : cv::Mat(), encoded, result.notes,
                                       bands.rowsReady(), options.threads, ringed ? &lent : nullptr);
        } catch (const WatermarkAbandoned&) {
            // The render failed or was stopped; its exception is the one that counts.
        }
        encodeEnd = Clock::now();
    };
    if (ringed) {
        // The render waits for the encoder to let go of rows: it must have a
        // thread of its own.
        StageGroup encoding;
        encoding.start("encoder", encode);
        render();
        encoding.join();
    } else {
        runBoth(options.threads, render, encode);
    }
    result.seconds.encode = std::max(0.0, std::chrono::duration<double>(encodeEnd - renderEnd).count());
    if (badEncoding) return end(*badEncoding);
    stage = Clock::now();
    const auto badWrite = writeOutput(result.outputPath, encoded, request.createOutputFolder);
    result.seconds.write = secondsSince(stage);
    result.status = badWrite ? ConversionStatus::WriteFailed : ConversionStatus::Written;
    if (badWrite) result.detail = badWrite->detail;
    show(kMsgFinished);
    return result;
}

}  // namespace vistereo
