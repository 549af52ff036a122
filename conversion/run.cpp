// The conversion run: from the user's choices to one side-by-side file.
//
// Steps, in the order the user sees their effects: lens check, points (read
// from the eight boxes or the comma line by readPointEntry, when they align
// the right eye), point check, both images read once (headers first, then
// decoded at the same time, both before either is judged), the core's
// prepare step (per-eye geometry, left eye before right eye for each
// quantity; the automatic alignment when the request asks for it; the
// output's name, size and memory, and its clash with an input; the colour
// match; the convergence), the canvas, the apply step (the right half, the
// left half, band by band beside the encoder), the file, the closing message.
#include "conversion/run.h"

#include "measure/stereo_window.h"
#include "conversion/auto_align.h"
#include "stereofile/output_formats.h"
#include "conversion/core.h"
#include "conversion/output_file.h"
#include "lens/lens_check.h"

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

std::string ConversionResult::explained() const {
    return explainedRefusal(messages.empty() ? std::string() : messages.back(), detail);
}

ConversionResult RunConversion(const ConversionRequest& request, MessageSink& messages, const RunOptions& options) {
    ConversionResult result;
    auto show = [&](const std::string& text) {
        result.messages.push_back(text);
        messages.showMessage(text);
    };
    auto end = [&](const RunStep& r) {
        result.status = r.status;
        result.detail = r.detail;
        result.invalidLensCode = r.lensCode;
        if (!endsSilently(r.status)) show(r.error);
        return result;
    };

    if (const RunStep refused = checkRequest(request); !refused.ok()) return end(refused);

    // Both images, decoded at the same time when the threads allow; both are
    // read before either is judged.
    auto stage = Clock::now();
    const InputImages images = readInputImages(request, options.threads, options.pixelAllocator);
    result.seconds.read = secondsSince(stage);
    if (const RunStep refused = judgeInputImages(images, result.warnings); !refused.ok()) return end(refused);
    const cv::Mat& left = images.left.pixels;
    const cv::Mat& right = images.right.pixels;

    // The prepare step: the eyes, points A and B, the automatic alignment
    // when asked, the output admitted, the colour match, the convergence.
    result.outputPath = outputImagePath(request);
    PreparedConversion prepared;
    PrepareChoices choices;
    choices.threads = options.threads;
    choices.admitOutput = true;
    const RunStep refused = prepareConversion(request, left, right, choices, prepared);
    if (prepared.sized) {
        result.eyes = prepared.sized->eyes.eye;
        result.impossibleLenses = prepared.sized->impossibleLenses;
    }
    result.impossiblePoints = prepared.impossiblePoints;
    result.seconds.derive = prepared.deriveSeconds;
    result.refinedLenses = prepared.refinedLenses;
    if (prepared.aligned) {
        result.aligned = prepared.aligned;
        result.aligned->warnings = result.warnings;
        result.seconds.align = result.aligned->seconds;
    }
    if (prepared.colourFitted) result.colour = *prepared.colour;
    result.warnings.insert(result.warnings.end(), prepared.warnings.begin(), prepared.warnings.end());
    result.seconds.matchColour = prepared.matchColourSeconds;
    if (!refused.ok()) return end(refused);

    // The apply step: the halves rendered in bands of rows, right then left.
    // An encoder that lets rows go once taken (a side-by-side JPEG's), on a
    // thread of its own, needs only a ring of a few bands; any other the
    // whole canvas.
    const int n = request.outputHeight, bandRows = std::max(64, (n + 15) / 16);
    const bool ringed = n > kRingBands * bandRows && resolveThreadCount(options.threads) >= 2 &&
                        outputFormatOf(request.outputName).lends(request.outputName);
    cv::Mat memory;
    if (const RunStep refused = allocateCanvas(request.outputHeight, memory, ringed ? kRingBands * bandRows : n);
        !refused.ok())
        return end(refused);
    OutputBands bands = ringed ? OutputBands(std::move(memory), n, bandRows) : OutputBands(std::move(memory));

    // The encoder takes each band as soon as both its halves are written: the
    // encoding (one thread's work in libjpeg) runs beside the render rather
    // than after it, with the same bytes. With one thread, the render ends
    // before the encoding starts.
    std::vector<uchar> encoded;
    RunStep badEncoding;
    Clock::time_point renderEnd, encodeEnd;
    const auto render = [&] {
        try {
            for (int first = 0; first < n; first += bandRows) {
                const RowRange rows{first, std::min(bandRows, n - first)};
                cv::Mat band = bands.band(rows.first, rows.count);
                auto start = Clock::now();
                const HalfTarget rightTarget = prepared.target(Half::Right, right, band, rows.first);
                applyHalf(Half::Right, prepared, {&rightTarget, 1}, options, rows);
                result.seconds.renderRight += secondsSince(start);
                start = Clock::now();
                const HalfTarget leftTarget = prepared.target(Half::Left, left, band, rows.first);
                applyHalf(Half::Left, prepared, {&leftTarget, 1}, options, rows);
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
    if (!badEncoding.ok()) return end(badEncoding);
    stage = Clock::now();
    const RunStep written = writeOutput(result.outputPath, encoded, request.createOutputFolder);
    result.seconds.write = secondsSince(stage);
    result.status = written.ok() ? ConversionStatus::Written : ConversionStatus::WriteFailed;
    if (!written.ok()) result.detail = written.detail;
    show(kMsgFinished);
    return result;
}

}  // namespace vistereo
