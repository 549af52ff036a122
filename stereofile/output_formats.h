// The formats a conversion writes, in one table: the side-by-side image in
// any format the image library writes (JPEG, PNG, TIFF, WebP, ...) and the
// VR180 photo (*.vr.jpg). Each entry holds how an output name picks it, the
// widest file it can hold, how the side-by-side canvas is encoded into it,
// and how such a file is read back (readStereoImage, for `check`, the
// preview and the tests).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "imagefile/input.h"
#include "imagefile/jpeg_encoder.h"
#include "stereofile/stereo_image.h"

namespace vistereo {

// The JPEG quality when none is chosen.
inline constexpr int kDefaultJpegQuality = 95;

// What an encoder needs besides the canvas.
struct EncodeChoices {
    std::string outputName;  // its extension picks the image library's encoder
    int jpegQuality = 0;     // 1 .. 100 for JPEG; 0: kDefaultJpegQuality
    // A side-by-side JPEG carries the left input's EXIF (a VR180 photo always does).
    bool keepExif = false;
    std::filesystem::path leftInput;
    // The canvas may still be rendering: a JPEG encoder takes its rows as this
    // says they are final, any other waits for all of them (none: every row
    // is final already).
    WaitForRows rowsReady;
    // 2 or more (0: as many as the hardware has): the two eyes of a VR180
    // photo are encoded at the same time.
    int threads = 1;
    // The picture as lent rows instead of the canvas (which is then not
    // read), for a format whose `lends` takes the output's name.
    const LentRows* lent = nullptr;
};

// The encoded file; empty when the canvas could not be encoded, and then
// `outOfMemory` tells whether memory ran out. Notes of lesser weight (no EXIF
// to carry over) go with it.
struct EncodedOutput {
    std::vector<uchar> bytes;
    bool outOfMemory = false;
    std::vector<std::string> notes;
};

struct OutputFormat {
    std::string_view name;
    // Whether an output name picks this format (the table is asked in order;
    // its last entry takes every name).
    bool (*picks)(const std::string& outputName);
    // How many of the canvas's two eyes one image of the file holds: the
    // widest image the file must take is that many output heights.
    int eyesPerImage;
    EncodedOutput (*encode)(const EncodeChoices& choices, const cv::Mat& canvas);
    // Whether it encodes an output of that name from lent rows, letting each
    // go once taken, so that the picture need not be held whole.
    bool (*lends)(const std::string& outputName);
    StereoImage (*read)(const std::filesystem::path& path, const InputReadOptions& options);
};

std::span<const OutputFormat> outputFormats();

// The format an output name picks.
const OutputFormat& outputFormatOf(const std::string& outputName);

// The extension the image library picks the encoder by ("" when there is none).
std::string outputExtension(const std::string& outputName);

// The widest image a file of that name can hold (0: the image library's own
// limit), and the width its format needs for an output `height` high.
int64_t widestOutputImage(const std::string& outputName);
int64_t outputImageWidth(const std::string& outputName, int64_t height);

// An output named *.vr.jpg (any case) is a VR180 photo: the left half as the
// primary image, the right half embedded in its extended XMP.
bool isVr180Name(const std::string& outputName);

// The name headset players take for a 180-degree side-by-side stereo image:
// "_180_LR" before the extension ("shoot.jpg" -> "shoot_180_LR.jpg"). A VR180
// photo keeps its double extension, so it stays one ("x.vr.jpg" ->
// "x_180_LR.vr.jpg").
std::string withVrSuffix(const std::string& outputName);

}  // namespace vistereo
