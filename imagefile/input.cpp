#include "imagefile/input.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include <opencv2/imgcodecs.hpp>

#include "base/parallel.h"
#include "base/regular_file.h"
#include "imagefile/image_codecs.h"
#include "imagefile/jpeg_decoder.h"
#include "imagefile/png_stream.h"

namespace vistereo {
namespace {

// The image library's own ceiling on a decoded picture, whatever our limit.
constexpr uint64_t kLibraryMaxPixels = uint64_t{1} << 30;

std::string_view textOf(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

InputFile refused(InputStatus status, std::string cause) {
    InputFile file;
    file.status = status;
    file.error = std::move(cause);
    return file;
}

// A file the lookup refused, by what it found.
InputFile refusedByLookup(const FileLookup& lookup) {
    switch (lookup.kind) {
        case FileKind::Missing: return refused(InputStatus::NotFound, lookup.error);
        case FileKind::Folder: return refused(InputStatus::Directory, lookup.error);
        case FileKind::Unreadable:
            return refused(lookup.systemError == EACCES || lookup.systemError == EPERM ? InputStatus::PermissionDenied
                           : lookup.systemError == ENOMEM                               ? InputStatus::OutOfMemory
                                                                                        : InputStatus::ReadFailed,
                           lookup.error);
        default: return refused(InputStatus::SpecialFile, lookup.error);
    }
}

InputFile refusedByError(int error) {
    switch (error) {
        case ENOENT: return refused(InputStatus::NotFound, "no such file");
        case ENOTDIR: return refused(InputStatus::NotFound, "no such file (a part of the path is not a folder)");
        case EACCES:
        case EPERM: return refused(InputStatus::PermissionDenied, "permission denied");
        case ENOMEM: return refused(InputStatus::OutOfMemory, "not enough memory to read it");
        default: return refused(InputStatus::ReadFailed, std::string("it cannot be read: ") + std::strerror(error));
    }
}

std::string megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// "a" or "an" before a format's name, as it is spoken.
std::string withArticle(const std::string& name) {
    return (name.empty() || (name[0] != 'A' && name[0] != 'a') ? "a " : "an ") + name;
}

InputImage undecoded(InputImage image, InputStatus status, std::string cause) {
    image.pixels.release();
    image.status = status;
    image.error = std::move(cause);
    return image;
}

// The image library's turn of a picture by its EXIF orientation tag.
void applyOrientation(cv::Mat& image, int tag) {
    switch (tag) {
        case 2: cv::flip(image, image, 1); break;
        case 3: cv::flip(image, image, -1); break;
        case 4: cv::flip(image, image, 0); break;
        case 5: cv::transpose(image, image); break;
        case 6: cv::transpose(image, image), cv::flip(image, image, 1); break;
        case 7: cv::transpose(image, image), cv::flip(image, image, -1); break;
        case 8: cv::transpose(image, image), cv::flip(image, image, 0); break;
        default: break;
    }
}

bool turnsPicture(int tag) { return tag >= 2 && tag <= 8; }

// "is W x H pixels (N megapixels), more than the limit of L megapixels"
std::string overTheLimit(int64_t width, int64_t height, double limit) {
    char text[160];
    std::snprintf(text, sizeof text, "is %lld x %lld pixels (%.1f megapixels), more than the limit of %g megapixels",
                  static_cast<long long>(width), static_cast<long long>(height),
                  static_cast<double>(width) * static_cast<double>(height) / 1e6, limit);
    return text;
}

// The JPEG branch: our own libjpeg decoding (its warnings kept with the
// result), then the orientation as the image library applies it.
InputImage decodeJpegInput(InputImage image, std::span<const uint8_t> bytes, const InputReadOptions& options,
                           uint64_t maxPixels) {
    JpegDecoding decoded = decodeJpeg(bytes, maxPixels, options.pixelAllocator);
    if (decoded.tooLarge)
        return undecoded(std::move(image), InputStatus::TooLarge,
                         "is " + std::to_string(decoded.width) + " x " + std::to_string(decoded.height) +
                             " pixels by its frame header, more than allowed");
    if (decoded.pixels.empty()) {
        if (decoded.outOfMemory)
            return undecoded(std::move(image), InputStatus::OutOfMemory, "there is not enough memory to decode it");
        return undecoded(std::move(image), InputStatus::Damaged,
                         "it is a damaged JPEG file that cannot be decoded (" + decoded.error + ")");
    }
    image.pixels = std::move(decoded.pixels);
    image.status = InputStatus::Decoded;
    image.damage = jpegStreamDamage(textOf(bytes));
    if (image.damage.empty() && decoded.warnings > 0) image.damage = decoded.firstWarning;
    if (!options.ignoreOrientation && turnsPicture(image.orientationTag)) {
        applyOrientation(image.pixels, image.orientationTag);
        image.turned = true;
    }
    return image;
}

// Every other format through the image library, which applies the
// orientation tag itself (to PNG by its eXIf chunk, and to TIFF even when told
// not to).
InputImage decodeOtherInput(InputImage image, std::span<const uint8_t> bytes, const InputReadOptions& options) {
    const int flags = cv::IMREAD_COLOR | (options.ignoreOrientation ? cv::IMREAD_IGNORE_ORIENTATION : 0);
    if (const Fallible& loaded = loadImageCodecs(); !loaded.ok())
        return undecoded(std::move(image), InputStatus::Unsupported, loaded.error);
    // A damaged PNG is refused in our words: the library's reader would
    // print libpng's complaint, naming no file, and fail all the same.
    if (const std::string damage = pngStreamDamage(textOf(bytes)); !damage.empty())
        return undecoded(std::move(image), InputStatus::Damaged,
                         "it is a damaged PNG file that cannot be decoded (" + damage + ")");
    const cv::Mat encoded(1, static_cast<int>(bytes.size()), CV_8U, const_cast<uint8_t*>(bytes.data()));
    image.pixels = cv::imdecode(encoded, flags);
    if (image.pixels.empty()) {
        if (!image.foreignFormat.empty())
            return undecoded(std::move(image), InputStatus::Unsupported,
                             "it is " + withArticle(image.foreignFormat) + " file, a format the image library cannot read");
        if (image.header.known())
            return undecoded(std::move(image), InputStatus::Damaged,
                             "it is a damaged " + image.header.format + " file that cannot be decoded");
        return undecoded(std::move(image), InputStatus::Unsupported, "it is not an image the image library can read");
    }
    // A format whose header the probe does not read (JPEG 2000, OpenEXR) meets the limit after decoding.
    const double limit = options.limits.maxMegapixels;
    if (limit > 0 && static_cast<double>(image.pixels.total()) / 1e6 > limit)
        return undecoded(std::move(image), InputStatus::TooLarge, overTheLimit(image.pixels.cols, image.pixels.rows, limit));
    image.status = InputStatus::Decoded;
    const bool tiff = image.header.format == "TIFF";
    if (turnsPicture(image.orientationTag) && (tiff || !options.ignoreOrientation)) {
        image.turned = true;
        image.turnedAnyway = options.ignoreOrientation;
    }
    return image;
}

}  // namespace

uint64_t maximumInputBytes(const InputLimits& limits) {
    if (!(limits.maxMegapixels > 0)) return 0;
    const double bytes = limits.maxMegapixels * 1e6 * 8 + double(64u << 20);
    return bytes >= 1.8e19 ? 0 : static_cast<uint64_t>(bytes);
}

InputFile readInputFile(const std::filesystem::path& path, uint64_t maxBytes) {
    // Never opened unless a regular file: a FIFO would wait, a device never end.
    const FileForReading opened = openRegularFile(path, "an image file");
    if (!opened.ok()) return refusedByLookup(opened.lookup());
    const int fd = opened.fd();
    if (opened.size() == 0) return refused(InputStatus::Empty, "the file is empty");
    const uint64_t size = opened.size();
    if (maxBytes > 0 && size > maxBytes)
        return refused(InputStatus::TooLarge,
                       "is a file of " + megabytes(size) + ", more than any picture within the pixel limit takes");
    InputFile file;
    try {
        file.bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return refused(InputStatus::OutOfMemory, "not enough memory to read its " + megabytes(size));
    }
    size_t got = 0;
    while (got < file.bytes.size()) {
        const ssize_t n = ::read(fd, file.bytes.data() + got, file.bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refusedByError(errno);
        if (n == 0) break;  // it shrank while being read
        got += static_cast<size_t>(n);
    }
    file.bytes.resize(got);
    if (got == 0) return refused(InputStatus::Empty, "the file is empty");
    file.status = InputStatus::Decoded;
    return file;
}

InputImage decodeInput(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                       const InputReadOptions& options) {
    InputImage image;
    image.path = path;
    try {
        const std::string_view text = textOf(bytes);
        image.header = probeImageHeaderBytes(text);
        image.foreignFormat = foreignImageFormat(text, path.filename().string());
        image.orientationTag = exifOrientationTag(text);
        const double limit = options.limits.maxMegapixels;
        if (image.header.known() && limit > 0 && image.header.megapixels() > limit)
            return undecoded(std::move(image), InputStatus::TooLarge,
                             overTheLimit(image.header.width, image.header.height, limit));
        if (image.header.known() && static_cast<double>(image.header.width) * image.header.height > kLibraryMaxPixels)
            return undecoded(std::move(image), InputStatus::TooLarge,
                             "is " + std::to_string(image.header.width) + " x " + std::to_string(image.header.height) +
                                 " pixels, more than the image library decodes");
        if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
            return undecoded(std::move(image), InputStatus::TooLarge, "is a file too large for the image library");
        const uint64_t maxPixels =
            limit > 0 ? std::min<uint64_t>(kLibraryMaxPixels, static_cast<uint64_t>(limit * 1e6)) : kLibraryMaxPixels;
        if (text.substr(0, 3) == "\xFF\xD8\xFF") return decodeJpegInput(std::move(image), bytes, options, maxPixels);
        return decodeOtherInput(std::move(image), bytes, options);
    } catch (const std::exception& e) {
        if (isOutOfMemory(e))
            return undecoded(std::move(image), InputStatus::OutOfMemory, "there is not enough memory to decode it");
        return undecoded(std::move(image), InputStatus::Damaged, std::string("it cannot be decoded: ") + e.what());
    }
}

InputImage readInput(const std::filesystem::path& path, const InputReadOptions& options) {
    InputImage image;
    image.path = path;
    try {
        InputFile file = readInputFile(path, maximumInputBytes(options.limits));
        if (!file.ok()) return undecoded(std::move(image), file.status, std::move(file.error));
        return decodeInput(path, file.bytes, options);
    } catch (const std::exception& e) {
        return undecoded(std::move(image), isOutOfMemory(e) ? InputStatus::OutOfMemory : InputStatus::ReadFailed,
                         isOutOfMemory(e) ? "there is not enough memory to read it" : e.what());
    }
}

std::filesystem::path inputPath(const std::filesystem::path& workingDirectory, const std::string& name) {
    return std::filesystem::path(workingDirectory.string() + "/input/" + name);
}

InputImages readInputPair(const std::filesystem::path& left, const std::filesystem::path& right,
                          const InputReadOptions& options) {
    InputImages images;
    runBoth(options.threads, [&] { images.left = readInput(left, options); },
            [&] { images.right = readInput(right, options); });
    return images;
}

InputImages readInputImages(const std::filesystem::path& workingDirectory, const std::string& leftName,
                            const std::string& rightName, const InputReadOptions& options) {
    return readInputPair(inputPath(workingDirectory, leftName), inputPath(workingDirectory, rightName), options);
}

std::string describeInputProblem(const InputImage& image) {
    if (image.tooLarge()) return describeTooLarge(image);
    return "\"" + image.path.string() + "\": " + image.error + ".";
}

std::string describeTooLarge(const InputImage& image) {
    return "The image \"" + image.path.string() + "\" " + image.error + "; it was not read.";
}

std::string describeOrientation(int tag) {
    static const char* const kMeanings[] = {"upright",
                                            "mirrored left to right",
                                            "rotate 180 degrees",
                                            "mirrored top to bottom",
                                            "mirrored left to right, then rotate 90 degrees anticlockwise",
                                            "rotate 90 degrees clockwise",
                                            "mirrored left to right, then rotate 90 degrees clockwise",
                                            "rotate 90 degrees anticlockwise"};
    const std::string number = std::to_string(tag);
    return tag >= 1 && tag <= 8 ? number + " (" + kMeanings[tag - 1] + ")" : number;
}

std::vector<std::string> inputWarnings(const InputImages& images) {
    std::vector<std::string> warnings;
    const InputImage* eyes[2] = {&images.left, &images.right};
    const char* names[2] = {"left", "right"};
    for (int i = 0; i < 2; ++i) {
        const InputImage& image = *eyes[i];
        const std::string quoted = "\"" + image.path.string() + "\"";
        if (!image.damage.empty())
            warnings.push_back("The image " + quoted + " is damaged (" + image.damage +
                               "); it was converted as far as it decodes.");
        if (image.turned)
            warnings.push_back("The " + std::string(names[i]) + " image " + quoted + " carries the EXIF orientation " +
                               describeOrientation(image.orientationTag) +
                               " and was read turned as the tag says: its lens record must describe the turned "
                               "picture. To read the pixels as the sensor recorded them, ignore the orientation tags" +
                               (image.turnedAnyway ? " (the image library turns TIFF files by the tag even then: "
                                                     "save the picture as PNG or JPEG)."
                                                   : "."));
        if (image.foreignFormat.rfind("camera RAW", 0) == 0)
            warnings.push_back("The image " + quoted + " is " + withArticle(image.foreignFormat) +
                               " file: the image library read only the preview it carries (" +
                               std::to_string(image.pixels.cols) + " x " + std::to_string(image.pixels.rows) +
                               "), not the sensor's picture.");
    }
    const int leftTurn = images.left.turned ? images.left.orientationTag : 1;
    const int rightTurn = images.right.turned ? images.right.orientationTag : 1;
    if (leftTurn != rightTurn)
        warnings.push_back("WARNING: the two eyes were read turned differently (left orientation " +
                           describeOrientation(leftTurn) + ", right " + describeOrientation(rightTurn) +
                           "): at most one of them can match its lens record, and the eyes will not line up. "
                           "Ignore the orientation tags to read both as the sensors recorded them.");
    return warnings;
}

std::string describeException(const std::exception& error) {
    return isOutOfMemory(error) ? std::string("not enough memory (") + error.what() + ")" : error.what();
}

bool isOutOfMemory(const std::exception& error) {
    if (dynamic_cast<const std::bad_alloc*>(&error)) return true;
    const auto* cvError = dynamic_cast<const cv::Exception*>(&error);
    return cvError && cvError->code == cv::Error::StsNoMem;
}

}  // namespace vistereo
