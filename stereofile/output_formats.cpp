#include "stereofile/output_formats.h"

#include <array>
#include <cctype>
#include <cstring>
#include <exception>

#include <opencv2/imgcodecs.hpp>

#include "base/parallel.h"
#include "base/version.h"
#include "imagefile/exif.h"
#include "imagefile/image_header.h"
#include "stereofile/vr180.h"

namespace vistereo {
namespace {

std::string softwareTag() { return std::string(kProgramName) + " " + kVersion; }

std::string noExifNote(const std::filesystem::path& leftInput, const media::SourceExif& exif) {
    return "The left image \"" + leftInput.string() + "\" has no EXIF to carry over (" + exif.error + ").";
}

int jpegQualityOf(const EncodeChoices& choices) {
    return choices.jpegQuality > 0 ? choices.jpegQuality : kDefaultJpegQuality;
}

// The image in the format of `extension`: a JPEG through our encoder, as
// its rows become final, any other format through the image library once
// every row is. Empty when it cannot be encoded, and then `outOfMemory`
// tells whether memory ran out.
std::vector<uchar> encodeImage(const std::string& extension, const cv::Mat& image, const EncodeChoices& choices,
                               bool& outOfMemory) {
    if (isJpegName(extension)) {
        JpegEncoding jpeg = encodeJpeg(image, jpegQualityOf(choices), choices.rowsReady);
        outOfMemory = outOfMemory || jpeg.outOfMemory;
        return std::move(jpeg.bytes);
    }
    if (choices.rowsReady) choices.rowsReady(image.rows);
    std::vector<uchar> encoded;
    try {
        if (!cv::imencode(extension, image, encoded)) encoded.clear();
    } catch (const std::exception& e) {
        encoded.clear();
        outOfMemory = outOfMemory || isOutOfMemory(e);
    }
    return encoded;
}

// The side-by-side image in the format of its extension; a JPEG carries the
// left input's EXIF when asked to.
EncodedOutput encodeSideBySide(const EncodeChoices& choices, const cv::Mat& canvas) {
    EncodedOutput out;
    if (choices.lent) {
        JpegEncoding jpeg = encodeJpeg(*choices.lent, jpegQualityOf(choices));
        out.outOfMemory = jpeg.outOfMemory;
        out.bytes = std::move(jpeg.bytes);
    } else {
        out.bytes = encodeImage(outputExtension(choices.outputName), canvas, choices, out.outOfMemory);
    }
    if (out.bytes.empty() || !isJpegName(choices.outputName) || !choices.keepExif) return out;
    const media::SourceExif exif = media::readExifFromFile(choices.leftInput.string());
    if (!exif.ok()) {
        out.notes.push_back(noExifNote(choices.leftInput, exif));
        return out;
    }
    media::JpegWithExif withExif = media::addExifToJpeg(out.bytes, exif, softwareTag());
    if (withExif.ok()) out.bytes = std::move(withExif.jpeg);
    else out.notes.push_back("The EXIF was not carried over: " + withExif.error);
    return out;
}

// The VR180 photo: the left half as the primary JPEG with the left input's
// EXIF, the right half as a JPEG in the extended XMP.
EncodedOutput encodeVr180(const EncodeChoices& choices, const cv::Mat& canvas) {
    EncodedOutput out;
    const int n = canvas.rows;
    std::vector<uchar> left, right;
    bool leftOutOfMemory = false, rightOutOfMemory = false;
    runBoth(
        choices.threads, [&] { left = encodeImage(".jpg", canvas.colRange(0, n), choices, leftOutOfMemory); },
        [&] { right = encodeImage(".jpg", canvas.colRange(n, 2 * n), choices, rightOutOfMemory); });
    out.outOfMemory = leftOutOfMemory || rightOutOfMemory;
    if (left.empty() || right.empty()) return out;
    std::vector<uint8_t> app1;
    const media::SourceExif exif = media::readExifFromFile(choices.leftInput.string());
    if (!exif.ok()) {
        out.notes.push_back(noExifNote(choices.leftInput, exif));
    } else {
        media::ExifForOutput payload = media::makeExifApp1Payload(exif, n, n, softwareTag());
        if (payload.ok()) app1 = std::move(payload.app1);
        else out.notes.push_back("The EXIF was not carried over: " + payload.error);
        if (payload.ok() && !payload.note.empty()) out.notes.push_back(payload.note);
    }
    media::Vr180WriteResult written = media::writeVr180Jpeg(left, right, n, app1);
    if (!written.ok()) {  // the run names the extension it could not encode
        out.outOfMemory = out.outOfMemory || written.outOfMemory;
        return out;
    }
    out.bytes = std::move(written.jpeg);
    return out;
}

bool anyName(const std::string&) { return true; }
bool noName(const std::string&) { return false; }
bool jpegName(const std::string& outputName) { return isJpegName(outputName); }

// The VR180 photo first: its name is also a JPEG's. Its two eyes are
// encoded at the same time from the whole canvas.
constexpr std::array<OutputFormat, 2> kFormats{{
    {"VR180 photo", isVr180Name, 1, encodeVr180, noName, readStereoImage},
    {"side-by-side image", anyName, 2, encodeSideBySide, jpegName, readStereoImage},
}};

}  // namespace

std::span<const OutputFormat> outputFormats() { return kFormats; }

const OutputFormat& outputFormatOf(const std::string& outputName) {
    for (const OutputFormat& format : kFormats)
        if (format.picks(outputName)) return format;
    return kFormats.back();
}

std::string outputExtension(const std::string& outputName) {
    const size_t dot = outputName.rfind('.');
    const size_t slash = outputName.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return outputName.substr(dot);
}

int64_t widestOutputImage(const std::string& outputName) { return maximumOutputWidth(outputName); }

int64_t outputImageWidth(const std::string& outputName, int64_t height) {
    return outputFormatOf(outputName).eyesPerImage * height;
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
    const std::string extension = isVr180Name(outputName)
                                      ? outputName.substr(outputName.size() - std::strlen(".vr.jpg"))
                                      : outputExtension(outputName);
    return outputName.substr(0, outputName.size() - extension.size()) + "_180_LR" + extension;
}

}  // namespace vistereo
