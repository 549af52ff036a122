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

// The difference of two coordinates as a 32-bit integer (wrapping, as the
// machine's integer subtraction does).
int32_t diff32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}


uint64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

}  // namespace

std::string describeLensCodeError(const LensCodeError& error, const std::array<LensSettings, 2>& lenses) {
    return std::string(error.eye == 0 ? "left" : "right") + " lens \"" + lenses[error.eye].name + "\" has " +
           error.field + " " + std::to_string(error.value) + ", which is not a known code";
}

namespace {

RunRefusal refusal(ConversionStatus status, const char* message, std::string detail = {}) {
    RunRefusal r;
    r.status = status;
    r.message = message ? std::string(message) : detail;
    r.detail = std::move(detail);
    return r;
}

}  // namespace

std::optional<RunRefusal> checkRequest(const ConversionRequest& request) {
    // Lens check: the names the lens selection stored, left eye first.
    if (request.lenses[0].name.empty() || request.lenses[1].name.empty())
        return refusal(ConversionStatus::NoLensSelected, kMsgSelectLens);

    // Points, when they align the right eye (not a rotation, given or found).
    if (const PointsAB* given = std::get_if<PointsAB>(&request.alignment)) {
        const PointsInput read = readPoints(*given);
        if (!read.ok()) return refusal(ConversionStatus::CommaLineInvalid, nullptr, read.error);
        const PointSet& points = read.points;
        // A and B must differ somewhere between the two images.
        const double dax = diff32(points.leftA.x, points.rightA.x), day = diff32(points.leftA.y, points.rightA.y);
        const double dbx = diff32(points.leftB.x, points.rightB.x), dby = diff32(points.leftB.y, points.rightB.y);
        if (dax * dax + day * day + dbx * dbx + dby * dby == 0.0)
            return refusal(ConversionStatus::SamePoints, kMsgBadPoints);
    }
    return std::nullopt;
}

std::optional<RunRefusal> judgeInputImage(const InputImage& image, int eye) {
    if (image.tooLarge()) return refusal(ConversionStatus::InputTooLarge, nullptr, describeTooLarge(image));
    if (image.ok()) return std::nullopt;
    return refusal(eye == 0 ? ConversionStatus::LeftImageInvalid : ConversionStatus::RightImageInvalid,
                   eye == 0 ? kMsgBadLeftImage : kMsgBadRightImage,
                   std::string(eye == 0 ? "Left" : "Right") + " image " + describeInputProblem(image));
}

std::optional<RunRefusal> judgeInputImages(const InputImages& images, std::vector<std::string>& warnings) {
    if (auto refused = judgeInputImage(images.left, 0)) return refused;
    if (auto refused = judgeInputImage(images.right, 1)) return refused;
    const std::vector<std::string> heard = inputWarnings(images);
    warnings.insert(warnings.end(), heard.begin(), heard.end());
    return std::nullopt;
}

void applyRefinedLenses(const RefinedLenses& lenses, ConversionGeometry& geometry) {
    for (int eye = 0; eye < 2; ++eye) {
        EyeGeometry& e = geometry.eye[eye];
        if (lenses.laws[eye]) e = withMappingAt90Degrees(e, *lenses.laws[eye]);
        e.correction = lenses.corrections[eye];
    }
}

std::optional<RunRefusal> preparePair(const ConversionRequest& request, ImageSize left, ImageSize right,
                                      PreparedPair& prepared) {
    prepared.eyes = prepareEyes(request.lenses, {left, right}, request.mappingKinds);
    if (const auto& bad = prepared.eyes.lensCode) {
        RunRefusal r;  // ends without a message, as the dialog does
        r.status = ConversionStatus::InvalidLensCode;
        r.lensCode = *bad;
        r.detail = describeLensCodeError(*bad, request.lenses);
        return r;
    }
    for (int eye = 0; eye < 2; ++eye)
        if (const auto problems = eyeGeometryProblems(request.lenses[eye], prepared.eyes.eye[eye]); !problems.empty()) {
            if (request.refuseImpossibleLenses)
                return refusal(ConversionStatus::ImpossibleLens, nullptr,
                               describeLensProblem(eye, request.lenses[eye], problems.front()));
            for (const LensValueProblem& problem : problems) prepared.impossibleLenses.push_back({eye, problem});
        }
    prepared.geometry = ConversionGeometry{prepared.eyes.eye, request.outputHeight, zenithAngles(request.zenith)};
    applyRefinedLenses(givenLenses(request.alignment), prepared.geometry);
    return std::nullopt;
}

std::vector<std::string> pointProblems(const PreparedPair& prepared, const std::array<LensSettings, 2>& lenses,
                                       const PointSet& points) {
    struct Named { const char* name; int eye; ImagePoint point; };
    const Named all[] = {{"point A", 0, points.leftA}, {"point B", 0, points.leftB},
                         {"point A", 1, points.rightA}, {"point B", 1, points.rightB}};
    std::vector<std::string> problems;
    for (const Named& p : all) {
        const EyeGeometry& eye = prepared.eyes.eye[p.eye];
        const std::string picture = p.eye == 0 ? "left" : "right";
        const std::string named = std::string(p.name) + " of the " + picture + " picture (" + std::to_string(p.point.x) +
                                  ", " + std::to_string(p.point.y) + ")";
        const std::string lens = "the " + picture + " lens \"" + lenses[p.eye].name + "\"";
        if (p.point.x < 0 || p.point.y < 0 || p.point.x >= eye.imageWidth || p.point.y >= eye.imageHeight) {
            problems.push_back(named + " lies outside that picture (" + std::to_string(eye.imageWidth) + " x " +
                               std::to_string(eye.imageHeight) + ")");
            continue;
        }
        const Vec3 direction = directionOfPoint(eye, p.point);
        if (std::isfinite(direction.x) && std::isfinite(direction.y) && std::isfinite(direction.z)) continue;
        if (p.point.x == eye.axisX && p.point.y == eye.axisY)
            problems.push_back(named + " lies exactly on the optical axis of " + lens +
                               ", where the turn between the cameras has no direction to take from it; move it by a dot");
        else
            problems.push_back(named + " lies outside the image circle of " + lens + ", where the lens sees nothing");
    }
    return problems;
}

std::optional<RunRefusal> judgePoints(const ConversionRequest& request, const PreparedPair& prepared,
                                      const PointSet& points, std::vector<std::string>& wentOn) {
    const std::vector<std::string> problems = pointProblems(prepared, request.lenses, points);
    if (problems.empty()) return std::nullopt;
    if (!request.refuseImpossiblePoints) {
        wentOn.insert(wentOn.end(), problems.begin(), problems.end());
        return std::nullopt;
    }
    std::string detail;
    for (const std::string& problem : problems) detail += (detail.empty() ? "" : "; ") + problem;
    return refusal(ConversionStatus::ImpossiblePoint, nullptr, detail);
}

std::optional<RunRefusal> checkOutput(const std::string& outputName, int32_t outputHeight) {
    const std::string extension = outputExtension(outputName);
    if (extension.empty() || !imageWriterExists(outputName)) {
        // Without the image codecs only JPEG names can be written: say why.
        if (const Fallible& codecs = loadImageCodecs(); !extension.empty() && !codecs.ok())
            return refusal(ConversionStatus::OutputNameInvalid, nullptr,
                           "Cannot write the output image \"" + shortenForMessage(outputName) + "\": " + codecs.error +
                               "; a .jpg output needs no codecs.");
        return refusal(ConversionStatus::OutputNameInvalid, nullptr,
                       "Cannot write the output image \"" + shortenForMessage(outputName) +
                           "\": give it an extension the image library can write, such as .jpg, .png or .tif.");
    }
    const int64_t n = outputHeight;
    if (n <= 0) return refusal(ConversionStatus::OutputHeightInvalid, nullptr, "The output height must be at least 1 dot.");
    const int64_t width = outputImageWidth(outputName, n);
    if (const int64_t widest = widestOutputImage(outputName); widest > 0 && width > widest)
        return refusal(ConversionStatus::OutputHeightInvalid, nullptr,
                       "The output height " + std::to_string(n) + " gives an image " + std::to_string(width) +
                           " dots wide; a \"" + extension + "\" file holds at most " + std::to_string(widest) +
                           ", so the height can be at most " + std::to_string(widest / (width / n)) + ".");
    const uint64_t canvasBytes = static_cast<uint64_t>(n) * static_cast<uint64_t>(2 * n) * 3u;
    if (2 * n > std::numeric_limits<int32_t>::max() || canvasBytes > physicalMemoryBytes())
        return refusal(ConversionStatus::OutputHeightInvalid, nullptr,
                       "The output height " + std::to_string(n) + " needs an image of " +
                           std::to_string(canvasBytes / (1024 * 1024)) + " MiB, more than this machine can hold.");
    return std::nullopt;
}

std::optional<RunRefusal> allocateCanvas(int32_t outputHeight, cv::Mat& canvas, int rows) {
    try {
        canvas.create(rows < 0 ? static_cast<int>(outputHeight) : rows, static_cast<int>(2 * int64_t{outputHeight}),
                      CV_8UC3);
    } catch (const std::exception&) {
        return refusal(ConversionStatus::OutputHeightInvalid, nullptr,
                       "There is not enough memory for an output image of height " + std::to_string(outputHeight) +
                           ".");
    }
    return std::nullopt;
}

RenderOptions renderOptionsOf(const RunOptions& options) {
    return RenderOptions{options.threads, options.progress, options.exactArithmetic, options.interpolation, {}};
}

namespace {

// The bands a ringed output holds: the one being rendered, and the ones
// before it that the encoder may not have taken yet.
constexpr int kRingBands = 4;

// The options for a band of rows: its progress counted from the half's top.
RenderOptions bandOptionsOf(const RunOptions& options, std::optional<RowRange> rows, int halfRows) {
    RenderOptions render = renderOptionsOf(options);
    render.rows = rows;
    if (rows && options.progress)
        render.progress = [progress = options.progress, first = rows->first, halfRows](Half half, int done, int) {
            progress(half, first + done, halfRows);
        };
    return render;
}

}  // namespace

void renderRightHalves(const ConversionGeometry& geometry, const std::optional<RotationMatrix>& rotation,
                       const PointSet& points, std::span<const HalfTarget> targets, const RunOptions& options,
                       std::optional<RowRange> rows) {
    if (rotation)
        renderRightEyeRotatedForEach(geometry, *rotation, targets, bandOptionsOf(options, rows, geometry.outputHeight));
    else
        renderRightEyeAlignedForEach(geometry, alignmentRotation(geometry.eye[0], geometry.eye[1], points), targets,
                                     bandOptionsOf(options, rows, geometry.outputHeight));
}

std::optional<RotationMatrix> convergedRightEye(const ConversionRequest& request, const ConversionGeometry& geometry,
                                                const std::optional<RotationMatrix>& rotation, const PointSet& points) {
    if (request.convergenceDegrees == 0.0) return rotation;
    const RotationMatrix base =
        rotation ? *rotation : rotationMatrixOf(alignmentRotation(geometry.eye[0], geometry.eye[1], points));
    return alignment::convergedRotation(base, request.convergenceDegrees);
}

std::optional<alignment::ColourMatch> matchColours(const ConversionRequest& request, const cv::Mat& left,
                                                   const cv::Mat& right, const ConversionGeometry& geometry,
                                                   const std::optional<RotationMatrix>& rotation,
                                                   const PointSet& points, const alignment::AlignmentResult* aligned,
                                                   int threads) {
    if (request.matchColour == ColourMatching::Off) return std::nullopt;
    alignment::PhotometricOptions options;
    options.threads = threads;
    options.falloff = request.matchColour == ColourMatching::ToneAndFalloff;
    const RotationMatrix rightToLeft =
        rotation ? *rotation : rotationMatrixOf(alignmentRotation(geometry.eye[0], geometry.eye[1], points));
    return matchPairColours(left, right, geometry, rightToLeft, aligned, options);
}

const EyeColourCorrection* colourOf(const alignment::ColourMatch* match, int eye) {
    return match && match->ok() ? &match->correction.eye[eye] : nullptr;
}

std::string colourMatchFailure(const alignment::ColourMatch& match) {
    return "the colours of the eyes were not matched: " + match.error;
}

void renderLeftHalves(const ConversionGeometry& geometry, std::span<const HalfTarget> targets,
                      const RunOptions& options, std::optional<RowRange> rows) {
    renderLeftEyeForEach(geometry, targets, bandOptionsOf(options, rows, geometry.outputHeight));
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
        return refusal(ConversionStatus::OutOfMemory, nullptr,
                       "There is not enough memory to encode the output as \"" + extension + "\".");
    if (encoded.empty())
        return refusal(ConversionStatus::OutputNameInvalid, nullptr,
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
    const PointSet points = alignmentPoints(request.alignment);
    std::optional<RotationMatrix> rotation = givenRotation(request.alignment);

    // Both images, decoded at the same time when the threads allow; both are
    // read before either is judged.
    auto stage = Clock::now();
    const InputImages images = readInputImages(request, options.threads, options.pixelAllocator);
    result.seconds.read = secondsSince(stage);
    if (const auto refused = judgeInputImages(images, result.warnings)) return end(*refused);
    const cv::Mat& left = images.left.pixels;
    const cv::Mat& right = images.right.pixels;

    // The per-eye geometry, once.
    stage = Clock::now();
    PreparedPair prepared;
    const auto badLens = preparePair(request, {left.cols, left.rows}, {right.cols, right.rows}, prepared);
    result.eyes = prepared.eyes.eye;
    if (badLens) return end(*badLens);
    result.impossibleLenses = prepared.impossibleLenses;
    // Points A and B, when they turn the right eye: within their pictures,
    // each with a direction.
    if (std::holds_alternative<PointsAB>(request.alignment))
        if (const auto refused = judgePoints(request, prepared, points, result.impossiblePoints)) return end(*refused);
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
        rotation = result.aligned->result.rotation;
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
    result.colour = matchColours(request, left, right, prepared.geometry, rotation, points, aligned, options.threads);
    if (result.colour && !result.colour->ok()) result.warnings.push_back(colourMatchFailure(*result.colour));
    result.seconds.matchColour = secondsSince(stage);

    // The encoder takes each band as soon as both its halves are written: the
    // encoding (one thread's work in libjpeg) runs beside the render rather
    // than after it, with the same bytes. With one thread, the render ends
    // before the encoding starts.
    const alignment::ColourMatch* colour = result.colour ? &*result.colour : nullptr;
    const std::optional<RotationMatrix> rightEye = convergedRightEye(request, prepared.geometry, rotation, points);
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
                renderRightHalves(prepared.geometry, rightEye, points, {&rightTarget, 1}, options, rows);
                result.seconds.renderRight += secondsSince(start);
                start = Clock::now();
                const HalfTarget leftTarget{&left, &band, colourOf(colour, 0), rows.first};
                renderLeftHalves(prepared.geometry, {&leftTarget, 1}, options, rows);
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
