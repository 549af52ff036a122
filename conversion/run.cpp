// The conversion run: from the dialog's values to one side-by-side file.
//
// Steps, in the order the user sees their effects: lens check, points (from
// the eight boxes or the comma line), point check, both images read (at the
// same time, both before either is judged), per-eye derivation (image size,
// radius for 180 degrees, mapping constants, axis point, left eye before right
// eye for each), the canvas, the right half, the left half, the file, the
// closing message. Every early end leaves in the parameters what was derived
// up to that point.
#include "conversion/run.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "engine/lens.h"
#include "registry/atomic_file.h"
#include "registry/text_numbers.h"

namespace vistereo {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Double to int32 by truncation toward zero. Values that do not fit (and
// NaN) give INT32_MIN, as the processor's truncating conversion does.
int32_t trunc32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// The difference of two coordinates as a 32-bit integer (wrapping, as the
// machine's integer subtraction does).
int32_t diff32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// "./input/" + name: the name is appended as typed, so a name with a
// directory part stays below input/.
std::filesystem::path inDirectory(const std::filesystem::path& workingDirectory, const char* dir,
                                  const std::string& name) {
    return std::filesystem::path(workingDirectory.string() + "/" + dir + "/" + name);
}

cv::Mat readColour(const std::filesystem::path& path) {
    try {
        return cv::imread(path.string(), cv::IMREAD_COLOR);
    } catch (const std::exception&) {
        return cv::Mat();  // an undecodable or oversized file counts as unreadable
    }
}

bool deriveRadius(EyeParams& eye) {
    switch (eye.radiusMode) {
        case kCircularFisheye: eye.radius180 = trunc32(eye.imageHeight * 0.5); return true;
        case kDiagonalFisheye: {
            const double h = eye.imageHeight * 0.5, w = eye.imageWidth * 0.5;
            eye.radius180 = trunc32(std::sqrt(h * h + w * w));
            return true;
        }
        case kMagnification: eye.radius180 = trunc32(eye.imageHeight * 0.5 * eye.magnification); return true;
        case kDots: return true;  // the record's radius in dots, as chosen
        default: return false;
    }
}

bool deriveMapping(ConversionParams& params, int i) {
    EyeParams& eye = params.eye[i];
    switch (eye.mappingKind) {
        case kOrthographic: eye.sineK = 1.0; eye.mappingScale = 1.0; return true;
        case kEquisolid: eye.sineK = 0.5; eye.mappingScale = 1.41421; return true;
        case kSineK:
            // 1 / sin(k * pi / 2), cut down to five decimals.
            eye.mappingScale = std::floor(100000.0 / std::sin(eye.sineK * kPi * 0.5)) / 100000.0;
            return true;
        case kQuadratic:
            eye.mappingScale = 1.0;
            eye.radius1 = lensRadius(params, i, static_cast<float>(eye.theta1));
            eye.radius2 = lensRadius(params, i, static_cast<float>(eye.theta2));
            eye.radius3 = lensRadius(params, i, static_cast<float>(eye.theta3));
            return true;
        default: return false;
    }
}

bool deriveAxis(EyeParams& eye) {
    switch (eye.axisMode) {
        case kImageCentre:
            eye.axisX = trunc32(eye.imageWidth * 0.5);
            eye.axisY = trunc32(eye.imageHeight * 0.5);
            return true;
        case kGivenAxis: return true;
        default: return false;
    }
}

// The extension the image library picks the format by ("" when there is none).
std::string extensionOf(const std::string& name) {
    const size_t dot = name.rfind('.');
    const size_t slash = name.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return name.substr(dot);
}

uint64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

}  // namespace

CommaLineParse parseCommaLine(std::string_view line) {
    CommaLineParse result;
    std::vector<std::string_view> pieces;
    if (!line.empty()) {
        size_t start = 0;
        for (;;) {
            const size_t comma = line.find(',', start);
            pieces.push_back(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
            if (comma == std::string_view::npos) break;
            start = comma + 1;
        }
        if (pieces.back().empty() && line.back() == ',') pieces.pop_back();  // a final comma adds nothing
    }
    if (pieces.size() != 8) {
        result.error = "The comma separated line must hold eight integers (A Left x, B Left x, A Right x, "
                       "B Right x, then the four y values); it holds " +
                       std::to_string(pieces.size()) + ".";
        return result;
    }
    for (size_t k = 0; k < pieces.size(); ++k) {
        const IntParse parsed = parseLeadingInt(pieces[k]);
        if (parsed.error == IntParseError::Invalid) {
            result.error = "Value " + std::to_string(k + 1) + " of the comma separated line (\"" +
                           std::string(pieces[k]) + "\") is not an integer.";
            return result;
        }
        if (parsed.error == IntParseError::OutOfRange) {
            result.error = "Value " + std::to_string(k + 1) + " of the comma separated line (\"" +
                           std::string(pieces[k]) + "\") is outside the 32-bit integer range.";
            return result;
        }
        result.values[k] = parsed.value;
    }
    return result;
}

InputImages readInputImages(const std::filesystem::path& workingDirectory, const std::string& leftName,
                            const std::string& rightName) {
    auto rightRead = std::async(std::launch::async, readColour, inDirectory(workingDirectory, "input", rightName));
    InputImages images;
    images.left = readColour(inDirectory(workingDirectory, "input", leftName));
    images.right = rightRead.get();
    return images;
}

void assignPoints(ConversionParams& params, const std::array<int32_t, 8>& v) {
    params.leftA = {v[0], v[4]};
    params.leftB = {v[1], v[5]};
    params.rightA = {v[2], v[6]};
    params.rightB = {v[3], v[7]};
}

std::array<int32_t, 8> pointsInListOrder(const ConversionParams& p) {
    return {p.leftA.x, p.leftB.x, p.rightA.x, p.rightB.x, p.leftA.y, p.leftB.y, p.rightA.y, p.rightB.y};
}

ConversionResult RunConversion(ConversionParams& params, const ConversionRequest& request,
                               MessageSink& messages, const RunOptions& options) {
    ConversionResult result;
    auto end = [&](ConversionStatus status, const char* message, std::string detail = {}) {
        result.status = status;
        result.detail = std::move(detail);
        if (message) messages.showMessage(message);
        else if (!result.detail.empty()) messages.showMessage(result.detail);
        return result;
    };

    // Lens check: the names the lens selection stored, left eye first.
    if (params.eye[0].lensName.empty() || params.eye[1].lensName.empty())
        return end(ConversionStatus::NoLensSelected, kMsgSelectLens);

    // Points.
    std::array<int32_t, 8> values{};
    if (request.pointEntryMode == kSeparateInput) {
        for (size_t k = 0; k < values.size(); ++k) values[k] = parseBoxInt(request.pointBoxes[k]);
    } else {
        const CommaLineParse parsed = parseCommaLine(request.commaLine);
        if (!parsed.ok()) return end(ConversionStatus::CommaLineInvalid, nullptr, parsed.error);
        values = parsed.values;
    }
    assignPoints(params, values);

    // A and B must differ somewhere between the two images.
    const double dax = diff32(params.leftA.x, params.rightA.x), day = diff32(params.leftA.y, params.rightA.y);
    const double dbx = diff32(params.leftB.x, params.rightB.x), dby = diff32(params.leftB.y, params.rightB.y);
    if (dax * dax + day * day + dbx * dbx + dby * dby == 0.0)
        return end(ConversionStatus::SamePoints, kMsgBadPoints);

    // Both images, decoded at the same time; both are read before either is judged.
    auto stage = Clock::now();
    const auto [left, right] = readInputImages(request.workingDirectory, request.leftName, request.rightName);
    result.seconds.read = secondsSince(stage);
    if (left.empty()) return end(ConversionStatus::LeftImageInvalid, kMsgBadLeftImage);
    if (right.empty()) return end(ConversionStatus::RightImageInvalid, kMsgBadRightImage);

    // Per-eye derivation, each step left eye then right eye.
    stage = Clock::now();
    params.eye[0].imageWidth = left.cols;
    params.eye[0].imageHeight = left.rows;
    params.eye[1].imageWidth = right.cols;
    params.eye[1].imageHeight = right.rows;
    auto badCode = [&](int eye, const char* field, int32_t value) {
        result.invalidLensCode = InvalidLensCode{eye, field, value};
        result.status = ConversionStatus::InvalidLensCode;
        result.detail = std::string(eye == 0 ? "left" : "right") + " lens \"" + params.eye[eye].lensName +
                        "\" has " + field + " " + std::to_string(value) + ", which is not a known code";
        return result;  // ends without a message, as the dialog does
    };
    for (int i = 0; i < 2; ++i)
        if (!deriveRadius(params.eye[i])) return badCode(i, "radiusMode", params.eye[i].radiusMode);
    for (int i = 0; i < 2; ++i)
        if (!deriveMapping(params, i)) return badCode(i, "mappingKind", params.eye[i].mappingKind);
    for (int i = 0; i < 2; ++i)
        if (!deriveAxis(params.eye[i])) return badCode(i, "axisMode", params.eye[i].axisMode);
    result.seconds.derive = secondsSince(stage);

    // What the writer and the machine can take, before the long render.
    result.outputPath = inDirectory(request.workingDirectory, "output", request.outputName);
    const std::string extension = extensionOf(request.outputName);
    if (extension.empty() || !cv::haveImageWriter(request.outputName))
        return end(ConversionStatus::OutputNameInvalid, nullptr,
                   "Cannot write the output image \"" + request.outputName +
                       "\": give it an extension the image library can write, such as .jpg, .png or .tif.");
    const int64_t n = params.outputHeight;
    if (n <= 0)
        return end(ConversionStatus::OutputHeightInvalid, nullptr,
                   "The output height must be at least 1 dot.");
    const uint64_t canvasBytes = static_cast<uint64_t>(n) * static_cast<uint64_t>(2 * n) * 3u;
    if (2 * n > std::numeric_limits<int32_t>::max() || canvasBytes > physicalMemoryBytes())
        return end(ConversionStatus::OutputHeightInvalid, nullptr,
                   "The output height " + std::to_string(n) + " needs an image of " +
                       std::to_string(canvasBytes / (1024 * 1024)) + " MiB, more than this machine can hold.");

    cv::Mat canvas;
    try {
        canvas.create(static_cast<int>(n), static_cast<int>(2 * n), CV_8UC3);
    } catch (const std::exception&) {
        return end(ConversionStatus::OutputHeightInvalid, nullptr,
                   "There is not enough memory for an output image of height " + std::to_string(n) + ".");
    }

    const RenderOptions renderOptions{options.threads, options.progress, options.exactArithmetic};
    stage = Clock::now();
    renderRightEyeAligned(params, right, canvas, renderOptions);
    result.seconds.renderRight = secondsSince(stage);
    stage = Clock::now();
    renderLeftEye(params, left, canvas, renderOptions);
    result.seconds.renderLeft = secondsSince(stage);

    // Encode once, then replace the target in one step.
    stage = Clock::now();
    std::vector<uchar> encoded;
    try {
        if (!cv::imencode(extension, canvas, encoded)) encoded.clear();
    } catch (const std::exception& e) {
        encoded.clear();
    }
    result.seconds.encode = secondsSince(stage);
    if (encoded.empty())
        return end(ConversionStatus::OutputNameInvalid, nullptr,
                   "The image library could not encode the output as \"" + extension + "\".");
    stage = Clock::now();
    std::string writeError;
    const bool written = writeFileAtomically(
        result.outputPath, std::string_view(reinterpret_cast<const char*>(encoded.data()), encoded.size()),
        &writeError);
    result.seconds.write = secondsSince(stage);
    result.status = written ? ConversionStatus::Written : ConversionStatus::WriteFailed;
    if (!written) result.detail = "cannot write " + result.outputPath.string() + ": " + writeError;
    messages.showMessage(kMsgFinished);
    return result;
}

}  // namespace vistereo
