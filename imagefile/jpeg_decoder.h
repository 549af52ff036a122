// JPEG photographs decoded through libjpeg with an error manager of our own.
//
// The image library's JPEG reader lets libjpeg print its warnings (a damaged
// stream: "Premature end of JPEG file", "Corrupt JPEG data: ...") on the
// process's standard error, in a line that names no file. Decoding here
// keeps them with the result of this one call instead, so the caller can name
// the file, and no other thread's output is touched. The pixels are the ones
// the image library's reader gives for a colour read with the orientation tag
// ignored: the same decoder, the same default settings, the same colour
// conversions (YCbCr and greyscale through libjpeg to BGR; CMYK through the
// library's own formula).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <opencv2/core.hpp>

#include "base/fallible.h"

namespace vistereo {

// `error`: why the stream could not be decoded (then `pixels` is empty).
struct JpegDecoding : Fallible {
    cv::Mat pixels;             // 8-bit BGR; empty when the stream could not be decoded
    bool outOfMemory = false;   // it failed for want of memory
    bool tooLarge = false;      // its frame claims more pixels than allowed
    int width = 0, height = 0;  // the frame's size, once its header was read
    std::string firstWarning;   // libjpeg's first warning about the stream, if any
    int warnings = 0;
};

// `maxPixels`: a frame header claiming more pixels is refused before any
// pixel memory is taken (0: no limit of ours). `allocator`: where the
// pixels' memory comes from (null: the image library's default). `shrink`
// (1, 2, 4 or 8): the picture decoded at that fraction of its size, which
// still decodes every byte of the stream.
JpegDecoding decodeJpeg(std::span<const uint8_t> bytes, uint64_t maxPixels = 0,
                        cv::MatAllocator* allocator = nullptr, int shrink = 1);

// Why a JPEG stream does not decode whole and clean, or "": its structure
// (jpegStreamDamage), then every byte of it decoded at an eighth of the
// picture's size, where libjpeg's first complaint (a damaged or cut-short
// stream, which a full decode would patch over in grey) is the reason.
std::string jpegDecodeFault(std::span<const uint8_t> bytes);

}  // namespace vistereo
