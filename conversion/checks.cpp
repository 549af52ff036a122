// The checks before a conversion decodes or renders: the request's own, each
// decoded image, the output's name, height and memory, the output's place.
#include "conversion/checks.h"

#include <unistd.h>

#include <cstdint>
#include <limits>

#include "base/message_text.h"
#include "conversion/output_target.h"
#include "conversion/run.h"
#include "conversion/core.h"
#include "imagefile/image_codecs.h"
#include "stereofile/output_formats.h"

namespace vistereo {
namespace {

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

bool endsSilently(ConversionStatus status) {
    return status == ConversionStatus::InvalidLensCode || status == ConversionStatus::AlignmentFailed ||
           status == ConversionStatus::WriteFailed;
}

std::string explainedRefusal(const std::string& message, const std::string& detail) {
    if (message.empty()) return detail;
    return detail.empty() || detail == message ? message : message + ": " + detail;
}

std::string RunStep::explained() const { return endsSilently(status) ? error : explainedRefusal(error, detail); }

RunStep refusalOf(ConversionStatus status, const char* message, std::string detail) {
    RunStep r;
    r.status = status;
    r.error = message ? std::string(message) : detail;
    // A step that ends the run always says why, even where its detail is lost.
    if (r.error.empty()) r.error = "the conversion was refused";
    r.detail = std::move(detail);
    return r;
}

RunStep checkRequest(const ConversionRequest& request) {
    // Lens check: the names the lens selection stored, left eye first.
    if (request.lenses[0].name.empty() || request.lenses[1].name.empty())
        return refusalOf(ConversionStatus::NoLensSelected, kMsgSelectLens);

    // Points, when they align the right eye (not a rotation, given or found).
    if (const PointsAB* given = std::get_if<PointsAB>(&request.alignment)) {
        const PointsInput read = readPoints(*given);
        if (!read.ok()) return refusalOf(ConversionStatus::CommaLineInvalid, nullptr, read.error);
        const PointSet& points = read.points;
        // A and B must differ somewhere between the two images.
        const double dax = diff32(points.leftA.x, points.rightA.x), day = diff32(points.leftA.y, points.rightA.y);
        const double dbx = diff32(points.leftB.x, points.rightB.x), dby = diff32(points.leftB.y, points.rightB.y);
        if (dax * dax + day * day + dbx * dbx + dby * dby == 0.0)
            return refusalOf(ConversionStatus::SamePoints, kMsgBadPoints);
    }
    return {};
}

RunStep judgeInputImage(const InputImage& image, int eye) {
    if (image.tooLarge()) return refusalOf(ConversionStatus::InputTooLarge, nullptr, describeTooLarge(image));
    if (image.ok()) return {};
    return refusalOf(eye == 0 ? ConversionStatus::LeftImageInvalid : ConversionStatus::RightImageInvalid,
                   eye == 0 ? kMsgBadLeftImage : kMsgBadRightImage,
                   std::string(eye == 0 ? "Left" : "Right") + " image " + describeInputProblem(image));
}

RunStep judgeInputImages(const InputImages& images, std::vector<std::string>& warnings) {
    if (RunStep refused = judgeInputImage(images.left, 0); !refused.ok()) return refused;
    if (RunStep refused = judgeInputImage(images.right, 1); !refused.ok()) return refused;
    const std::vector<std::string> heard = inputWarnings(images);
    warnings.insert(warnings.end(), heard.begin(), heard.end());
    return {};
}

RunStep checkOutput(const std::string& outputName, int32_t outputHeight) {
    const std::string extension = outputExtension(outputName);
    if (extension.empty() || !imageWriterExists(outputName)) {
        // Without the image codecs only JPEG names can be written: say why.
        if (const Fallible& codecs = loadImageCodecs(); !extension.empty() && !codecs.ok())
            return refusalOf(ConversionStatus::OutputNameInvalid, nullptr,
                           "Cannot write the output image \"" + shortenForMessage(outputName) + "\": " + codecs.error +
                               "; a .jpg output needs no codecs.");
        return refusalOf(ConversionStatus::OutputNameInvalid, nullptr,
                       "Cannot write the output image \"" + shortenForMessage(outputName) +
                           "\": give it an extension the image library can write, such as .jpg, .png or .tif.");
    }
    const int64_t n = outputHeight;
    if (n <= 0) return refusalOf(ConversionStatus::OutputHeightInvalid, nullptr, "The output height must be at least 1 dot.");
    const int64_t width = outputImageWidth(outputName, n);
    if (const int64_t widest = widestOutputImage(outputName); widest > 0 && width > widest)
        return refusalOf(ConversionStatus::OutputHeightInvalid, nullptr,
                       "The output height " + std::to_string(n) + " gives an image " + std::to_string(width) +
                           " dots wide; a \"" + extension + "\" file holds at most " + std::to_string(widest) +
                           ", so the height can be at most " + std::to_string(widest / (width / n)) + ".");
    const uint64_t canvasBytes = static_cast<uint64_t>(n) * static_cast<uint64_t>(2 * n) * 3u;
    if (2 * n > std::numeric_limits<int32_t>::max() || canvasBytes > physicalMemoryBytes())
        return refusalOf(ConversionStatus::OutputHeightInvalid, nullptr,
                       "The output height " + std::to_string(n) + " needs an image of " +
                           std::to_string(canvasBytes / (1024 * 1024)) + " MiB, more than this machine can hold.");
    return {};
}

RunStep admitOutput(const ConversionRequest& request) {
    if (RunStep refused = checkOutput(request.outputName, request.outputHeight); !refused.ok()) return refused;
    Fallible problem = outputClash(request);
    if (problem.ok()) problem = writeObstacle(request.outputPath);
    if (problem.ok()) return {};
    return refusalOf(ConversionStatus::OutputRefused, nullptr, std::move(problem.error));
}

}  // namespace vistereo
