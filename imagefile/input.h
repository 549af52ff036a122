// The input room: every photograph the program converts, aligns, matches,
// measures or shows in the point picker is read here, by one rule, so every
// route sees the pixels the conversion sees.
//
// Reading an input, in order: the file is looked up and anything but a
// regular file (a folder, a FIFO, a device, a socket) is refused by its type
// before it is opened; it is read whole, once, within a size bound; its
// header's claimed size is held against the limit before anything is
// decoded; the picture is decoded in colour, turned by its EXIF orientation
// tag as the image library turns it (unless asked not to), and judged. A
// result that is not decoded carries its status and, in `error`, the cause
// in words.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "imagefile/image_header.h"

namespace vistereo {

// Limits on what an input may cost before it is decoded.
struct InputLimits {
    double maxMegapixels = kDefaultMaxInputMegapixels;  // per image; 0 or less: no limit
};

struct InputReadOptions {
    InputLimits limits;
    // Read the pixels as the sensor recorded them: the EXIF orientation tag,
    // which the image library otherwise turns JPEG and PNG pictures by, is
    // left unapplied. What a calibrated rig wants, whose lens records
    // describe the sensor.
    bool ignoreOrientation = false;
    // Where a JPEG picture's pixels are allocated (an ImageBufferPool's, to
    // reuse the buffers of the images before it); null: the image library's
    // usual way.
    cv::MatAllocator* pixelAllocator = nullptr;
    // Threads a pair's reading may take: both pictures at once with two or
    // more (0: as many as the hardware has), one after the other with one.
    int threads = 0;

    InputReadOptions(InputLimits limits = {}, bool ignoreOrientation = false)
        : limits(limits), ignoreOrientation(ignoreOrientation) {}
};

enum class InputStatus {
    Decoded,
    NotFound,
    PermissionDenied,
    Directory,
    SpecialFile,  // a FIFO, a device or a socket: never opened for reading
    ReadFailed,   // an error of the file system while reading
    Empty,
    TooLarge,     // over the pixel limit by its header, or a file too large for any image within it
    Unsupported,  // not a format the image library reads
    Damaged,      // a format it reads, but the picture cannot be decoded
    OutOfMemory,
};

struct InputImage {
    cv::Mat pixels;  // 8-bit BGR, when decoded
    std::filesystem::path path;
    InputStatus status = InputStatus::NotFound;
    std::string error;   // when not decoded: why, in words ("no such file", ...)
    ImageHeader header;  // what the header claims, for the formats the probe reads
    // A format the image library does not read, or reads only in part (the
    // preview a camera RAW file carries), named by its signature.
    std::string foreignFormat;
    std::string damage;       // decoded, but the stream is damaged: how
    int orientationTag = 0;   // the EXIF orientation the file carries (0: none)
    bool turned = false;      // the pixels were turned as that tag says
    bool turnedAnyway = false;  // ... although the tag was to be ignored (the library applies it to TIFF itself)

    // Judged by the status, which the callers tell apart (too large, not
    // found, damaged): a picture that was not decoded always says why in `error`.
    bool ok() const { return status == InputStatus::Decoded; }
    bool tooLarge() const { return status == InputStatus::TooLarge; }
};

struct InputImages {
    InputImage left;
    InputImage right;
};

// A file's bytes, read as the input rule reads them (refused by type before
// it is opened; at most `maxBytes`, 0: no bound).
struct InputFile {
    InputStatus status = InputStatus::NotFound;
    std::string error;
    std::vector<uint8_t> bytes;
    bool ok() const { return status == InputStatus::Decoded; }
};
InputFile readInputFile(const std::filesystem::path& path, uint64_t maxBytes);

// The most bytes a file may have whose picture fits the limit: eight bytes a
// pixel and room for metadata (0: no bound).
uint64_t maximumInputBytes(const InputLimits& limits);

// One photograph from a file, by the rule above. Never throws.
InputImage readInput(const std::filesystem::path& path, const InputReadOptions& options = {});
// The same for bytes already read (an eye of a VR180 photo); `path` names
// them in messages.
InputImage decodeInput(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                       const InputReadOptions& options = {});

// "<working directory>/input/" followed by the name as typed: a name with a
// directory part stays below input/.
std::filesystem::path inputPath(const std::filesystem::path& workingDirectory, const std::string& name);

// Both images of a pair, decoded at the same time as `options.threads`
// allows; both are read before either is judged.
InputImages readInputPair(const std::filesystem::path& left, const std::filesystem::path& right,
                          const InputReadOptions& options = {});
InputImages readInputImages(const std::filesystem::path& workingDirectory, const std::string& leftName,
                            const std::string& rightName, const InputReadOptions& options = {});

// "\"<path>\": <error>" for an image that was not decoded.
std::string describeInputProblem(const InputImage& image);
// The refusal of an image over the limit, naming the file and its size.
std::string describeTooLarge(const InputImage& image);

// What the user should hear about a pair that was read: each damaged image,
// each image a tag turned (the lens record must then describe the turned
// picture), the two eyes turned differently (one of them cannot match its
// lens), a camera RAW file read as its preview.
std::vector<std::string> inputWarnings(const InputImages& images);

// "6 (rotate 90 degrees clockwise)", the EXIF meaning of an orientation tag.
std::string describeOrientation(int tag);

// Whether an exception says that memory ran out: std::bad_alloc, or the
// image library's allocation error.
bool isOutOfMemory(const std::exception& error);
// An exception in words: "not enough memory (...)" when memory ran out,
// otherwise what it says.
std::string describeException(const std::exception& error);

}  // namespace vistereo
