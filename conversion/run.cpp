// The conversion run: from the user's choices to one side-by-side file.
//
// Steps, in the order the user sees their effects: lens check, points (read
// from the eight boxes or the comma line by readPointEntry), point check,
// both images read (headers first, then decoded at the same time, both
// before either is judged), the prepare step (per-eye geometry, left eye
// before right eye for each quantity), the output's name, size and memory,
// the canvas, the right half, the left half, the file, the closing message.
#include "conversion/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "base/atomic_file.h"
#include "base/text_numbers.h"
#include "base/version.h"
#include "engine/lens.h"
#include "media/exif.h"
#include "media/vr180.h"

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

// "./input/" + name: the name is appended as typed, so a name with a
// directory part stays below input/.
std::filesystem::path inDirectory(const std::filesystem::path& workingDirectory, const char* dir,
                                  const std::string& name) {
    return std::filesystem::path(workingDirectory.string() + "/" + dir + "/" + name);
}

// libjpeg reports a damaged stream on the standard error with a line that
// names no file. The run names the file itself, so while it decodes an image
// it already knows to be damaged the standard error goes to /dev/null.
// Counted, so that the two decodes of a pair can overlap.
class QuietStandardError {
public:
    QuietStandardError() {
        std::lock_guard<std::mutex> guard(state().lock);
        if (state().users++ == 0) {
            std::fflush(stderr);
            state().saved = dup(STDERR_FILENO);
            const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null >= 0) {
                dup2(null, STDERR_FILENO);
                close(null);
            }
        }
    }
    ~QuietStandardError() {
        std::lock_guard<std::mutex> guard(state().lock);
        if (--state().users == 0 && state().saved >= 0) {
            std::fflush(stderr);
            dup2(state().saved, STDERR_FILENO);
            close(state().saved);
            state().saved = -1;
        }
    }
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

private:
    struct State {
        std::mutex lock;
        int users = 0;
        int saved = -1;
    };
    static State& state() {
        static State s;
        return s;
    }
};

// Header, limit, damage check and decode of one input.
InputImage readInput(const std::filesystem::path& path, const InputLimits& limits) {
    InputImage image;
    image.path = path;
    image.header = probeImageHeader(path);
    if (image.header.known() && limits.maxMegapixels > 0 && image.header.megapixels() > limits.maxMegapixels) {
        image.tooLarge = true;
        return image;
    }
    if (image.header.format == "JPEG") {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        image.damage = jpegStreamDamage(bytes);
    }
    try {
        if (image.damage.empty()) {
            image.pixels = cv::imread(path.string(), cv::IMREAD_COLOR);
        } else {
            QuietStandardError quiet;
            image.pixels = cv::imread(path.string(), cv::IMREAD_COLOR);
        }
    } catch (const std::exception&) {
        image.pixels = cv::Mat();  // an undecodable or oversized file counts as unreadable
    }
    return image;
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

std::vector<int> encodeParameters(const ConversionRequest& request, bool jpeg) {
    if (request.jpegQuality > 0 && jpeg) return {cv::IMWRITE_JPEG_QUALITY, request.jpegQuality};
    return {};
}

std::string softwareTag() { return std::string(kProgramName) + " " + kVersion; }

std::vector<uchar> encodeImage(const std::string& extension, const cv::Mat& image, const std::vector<int>& parameters) {
    std::vector<uchar> encoded;
    try {
        if (!cv::imencode(extension, image, encoded, parameters)) encoded.clear();
    } catch (const std::exception&) {
        encoded.clear();
    }
    return encoded;
}

// The side-by-side image in the format of its extension; a JPEG carries the
// left input's EXIF when asked to.
std::vector<uchar> encodeSideBySide(const ConversionRequest& request, const std::string& extension,
                                    const std::filesystem::path& leftInput, const cv::Mat& canvas,
                                    ConversionResult& result) {
    const bool jpeg = maximumOutputWidth(request.outputName) == kJpegMaxWidth;
    std::vector<uchar> encoded = encodeImage(extension, canvas, encodeParameters(request, jpeg));
    if (encoded.empty() || !jpeg || !request.keepExif) return encoded;
    const media::SourceExif exif = media::readExifFromFile(leftInput.string());
    if (!exif.found) {
        result.notes.push_back("The left image \"" + leftInput.string() + "\" has no EXIF to carry over (" +
                               exif.note + ").");
        return encoded;
    }
    media::JpegWithExif withExif = media::addExifToJpeg(encoded, exif, softwareTag());
    if (!withExif.exifWritten) result.notes.push_back("The EXIF was not carried over: " + withExif.note);
    return withExif.exifWritten ? std::move(withExif.jpeg) : encoded;
}

// The VR180 photo: the left half as the primary JPEG with the left input's
// EXIF, the right half as a JPEG in the extended XMP.
std::vector<uchar> encodeVr180(const ConversionRequest& request, const std::filesystem::path& leftInput,
                               const cv::Mat& canvas, ConversionResult& result) {
    const int n = canvas.rows;
    const std::vector<int> parameters = encodeParameters(request, true);
    const std::vector<uchar> left = encodeImage(".jpg", canvas.colRange(0, n), parameters);
    const std::vector<uchar> right = encodeImage(".jpg", canvas.colRange(n, 2 * n), parameters);
    if (left.empty() || right.empty()) return {};
    std::vector<uint8_t> app1;
    const media::SourceExif exif = media::readExifFromFile(leftInput.string());
    if (!exif.found) {
        result.notes.push_back("The left image \"" + leftInput.string() + "\" has no EXIF to carry over (" +
                               exif.note + ").");
    } else {
        media::ExifForOutput payload = media::makeExifApp1Payload(exif, n, n, softwareTag());
        if (payload.ok) app1 = std::move(payload.app1);
        else result.notes.push_back("The EXIF was not carried over: " + payload.note);
        if (payload.ok && !payload.note.empty()) result.notes.push_back(payload.note);
    }
    media::Vr180WriteResult written = media::writeVr180Jpeg(left, right, n, app1);
    if (!written.ok) {
        result.detail = written.error;
        return {};
    }
    return std::move(written.jpeg);
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
                            const std::string& rightName, const InputLimits& limits) {
    auto rightRead =
        std::async(std::launch::async, readInput, inDirectory(workingDirectory, "input", rightName), limits);
    InputImages images;
    images.left = readInput(inDirectory(workingDirectory, "input", leftName), limits);
    images.right = rightRead.get();
    return images;
}

std::string describeLensCodeError(const LensCodeError& error, const std::array<LensSettings, 2>& lenses) {
    return std::string(error.eye == 0 ? "left" : "right") + " lens \"" + lenses[error.eye].name + "\" has " +
           error.field + " " + std::to_string(error.value) + ", which is not a known code";
}

std::string describeTooLarge(const InputImage& image, const InputLimits& limits) {
    char text[160];
    std::snprintf(text, sizeof text, "%lld x %lld pixels (%.1f megapixels), more than the limit of %g megapixels",
                  static_cast<long long>(image.header.width), static_cast<long long>(image.header.height),
                  image.header.megapixels(), limits.maxMegapixels);
    return "The image \"" + image.path.string() + "\" is " + text + "; it was not read.";
}

bool isVr180Name(const std::string& outputName) {
    constexpr std::string_view suffix = ".vr.jpg";
    if (outputName.size() < suffix.size()) return false;
    for (size_t k = 0; k < suffix.size(); ++k)
        if (std::tolower(static_cast<unsigned char>(outputName[outputName.size() - suffix.size() + k])) != suffix[k])
            return false;
    return true;
}

std::string withVrSuffix(const std::string& outputName) {
    const std::string extension = extensionOf(outputName);
    return outputName.substr(0, outputName.size() - extension.size()) + "_180_LR" + extension;
}

PointsInput readPointEntry(const PointEntry& entry) {
    PointsInput input;
    std::array<int32_t, 8> values{};
    if (entry.mode == kSeparateInput) {
        for (size_t k = 0; k < values.size(); ++k) values[k] = parseBoxInt(entry.boxes[k]);
    } else {
        const CommaLineParse parsed = parseCommaLine(entry.commaLine);
        if (!parsed.ok()) {
            input.error = parsed.error;
            return input;
        }
        values = parsed.values;
    }
    input.points = PointSet::fromListOrder(values);
    return input;
}

ConversionResult RunConversion(const ConversionRequest& request, MessageSink& messages, const RunOptions& options) {
    ConversionResult result;
    auto end = [&](ConversionStatus status, const char* message, std::string detail = {}) {
        result.status = status;
        result.detail = std::move(detail);
        if (message) messages.showMessage(message);
        else if (!result.detail.empty()) messages.showMessage(result.detail);
        return result;
    };

    // Lens check: the names the lens selection stored, left eye first.
    if (request.lenses[0].name.empty() || request.lenses[1].name.empty())
        return end(ConversionStatus::NoLensSelected, kMsgSelectLens);

    // Points, unless a given rotation aligns the right eye instead.
    const PointSet& points = request.points.points;
    if (!request.rotation) {
        if (!request.points.ok()) return end(ConversionStatus::CommaLineInvalid, nullptr, request.points.error);
        // A and B must differ somewhere between the two images.
        const double dax = diff32(points.leftA.x, points.rightA.x), day = diff32(points.leftA.y, points.rightA.y);
        const double dbx = diff32(points.leftB.x, points.rightB.x), dby = diff32(points.leftB.y, points.rightB.y);
        if (dax * dax + day * day + dbx * dbx + dby * dby == 0.0)
            return end(ConversionStatus::SamePoints, kMsgBadPoints);
    }

    // Both images, decoded at the same time; both are read before either is judged.
    auto stage = Clock::now();
    const InputImages images =
        readInputImages(request.workingDirectory, request.leftName, request.rightName, request.limits);
    result.seconds.read = secondsSince(stage);
    const InputImage* eyes[2] = {&images.left, &images.right};
    const char* badImage[2] = {kMsgBadLeftImage, kMsgBadRightImage};
    const ConversionStatus badStatus[2] = {ConversionStatus::LeftImageInvalid, ConversionStatus::RightImageInvalid};
    for (int i = 0; i < 2; ++i) {
        if (eyes[i]->tooLarge)
            return end(ConversionStatus::InputTooLarge, nullptr, describeTooLarge(*eyes[i], request.limits));
        if (eyes[i]->pixels.empty()) return end(badStatus[i], badImage[i]);
    }
    for (const InputImage* image : eyes)
        if (!image->damage.empty())
            result.warnings.push_back("The image \"" + image->path.string() + "\" is damaged (" + image->damage +
                                      "); it was converted as far as it decodes.");
    const cv::Mat& left = images.left.pixels;
    const cv::Mat& right = images.right.pixels;

    // The per-eye geometry, once.
    stage = Clock::now();
    const PreparedEyes prepared =
        prepareEyes(request.lenses, {ImageSize{left.cols, left.rows}, ImageSize{right.cols, right.rows}});
    result.eyes = prepared.eye;
    if (const auto& bad = prepared.error) {
        result.invalidLensCode = *bad;
        result.status = ConversionStatus::InvalidLensCode;
        result.detail = describeLensCodeError(*bad, request.lenses);
        return result;  // ends without a message, as the dialog does
    }
    const ConversionGeometry geometry{prepared.eye, request.outputHeight, zenithAngles(request.zenith)};
    result.seconds.derive = secondsSince(stage);

    // What the writer and the machine can take, before the long render.
    result.outputPath = inDirectory(request.workingDirectory, "output", request.outputName);
    const std::string extension = extensionOf(request.outputName);
    if (extension.empty() || !cv::haveImageWriter(request.outputName))
        return end(ConversionStatus::OutputNameInvalid, nullptr,
                   "Cannot write the output image \"" + request.outputName +
                       "\": give it an extension the image library can write, such as .jpg, .png or .tif.");
    const int64_t n = request.outputHeight;
    if (n <= 0)
        return end(ConversionStatus::OutputHeightInvalid, nullptr,
                   "The output height must be at least 1 dot.");
    const bool vr180 = isVr180Name(request.outputName);
    if (const int64_t widest = maximumOutputWidth(request.outputName); widest > 0 && (vr180 ? n : 2 * n) > widest)
        return end(ConversionStatus::OutputHeightInvalid, nullptr,
                   "The output height " + std::to_string(n) + " gives an image " + std::to_string(vr180 ? n : 2 * n) +
                       " dots wide; a \"" + extension + "\" file holds at most " + std::to_string(widest) +
                       ", so the height can be at most " + std::to_string(vr180 ? widest : widest / 2) + ".");
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

    const RenderOptions renderOptions{options.threads, options.progress, options.exactArithmetic,
                                      options.interpolation};
    stage = Clock::now();
    if (request.rotation)
        renderRightEyeRotated(geometry, *request.rotation, right, canvas, renderOptions);
    else
        renderRightEyeAligned(geometry, alignmentRotation(geometry.eye[0], geometry.eye[1], points), right, canvas,
                              renderOptions);
    result.seconds.renderRight = secondsSince(stage);
    stage = Clock::now();
    renderLeftEye(geometry, left, canvas, renderOptions);
    result.seconds.renderLeft = secondsSince(stage);

    // Encode once, then replace the target in one step.
    stage = Clock::now();
    std::vector<uchar> encoded = vr180 ? encodeVr180(request, images.left.path, canvas, result)
                                       : encodeSideBySide(request, extension, images.left.path, canvas, result);
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
