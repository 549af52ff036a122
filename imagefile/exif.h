// EXIF carried from an input photograph to a converted output, through
// Exiv2. The output's EXIF says what the output is: Orientation 1 (the pixels
// are upright), PixelXDimension/PixelYDimension its own size, Software the
// caller's program; camera make, model, lens, exposure, dates and GPS stay;
// thumbnails (IFD1) and the tags that describe the input's pixel storage
// (strip/tile offsets, ImageWidth/ImageLength, ...) go.
//
// Nothing here fails or throws: an input without EXIF, with EXIF Exiv2 cannot
// read, or an output that cannot take it gives a note for the caller to show
// ("no EXIF", "EXIF not readable: ...") and the output without EXIF. Every
// function works on bytes in memory; the caller writes files (atomically).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/fallible.h"

namespace vistereo::media {

// `error`: why there is no EXIF ("no EXIF", "EXIF not readable: ...");
// when read, `tiff` holds it.
struct SourceExif : Fallible {
    std::string note;           // when read: Exiv2's warnings about parts left behind, if any
    std::vector<uint8_t> tiff;  // the EXIF as a TIFF structure (byte-order mark, IFD0, ...), without "Exif\0\0"
};

// The EXIF of an image file (JPEG, TIFF, PNG, WebP, camera raw: whatever Exiv2
// reads). `utf8Path` is the file name in UTF-8.
SourceExif readExifFromFile(const std::string& utf8Path);
// The same for an image file's bytes.
SourceExif readExifFromBytes(std::span<const uint8_t> image);

// The EXIF to write into an output image of width x height.
// `error`: why there is no EXIF to write.
struct ExifForOutput : Fallible {
    std::string note;            // what was left out to fit one APP1 segment
    std::vector<uint8_t> app1;   // an APP1 payload: "Exif\0\0" and the TIFF structure, at most 65533 bytes
};

// `software` replaces the Software tag; empty keeps the input's. When the
// EXIF does not fit one JPEG APP1 segment the maker note is left out (said in
// `note`); when it still does not fit there is no EXIF.
ExifForOutput makeExifApp1Payload(const SourceExif& exif, uint32_t width, uint32_t height, std::string_view software);

// `error`: why no EXIF was written (`jpeg` is then the input unchanged).
struct JpegWithExif : Fallible {
    std::string note;           // what was left out of the EXIF written
    std::vector<uint8_t> jpeg;
};

// The encoded output JPEG carrying `exif`, its size taken from the JPEG's
// frame header; any EXIF APP1 the JPEG has is replaced. The new APP1 stands
// right after SOI and the JFIF APP0.
JpegWithExif addExifToJpeg(std::span<const uint8_t> jpeg, const SourceExif& exif, std::string_view software);

}  // namespace vistereo::media
