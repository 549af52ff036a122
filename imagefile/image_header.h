// What an image file says about itself before it is decoded: its format and
// its dimensions, read from the header alone, so that the conversion can
// refuse an image too large to decode before it spends the memory; and
// whether a JPEG stream is damaged (truncated, or broken between markers),
// so that the user hears which file decoded with a fault.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vistereo {

struct ImageHeader {
    std::string format;  // "JPEG", "PNG", ...; empty when the header is not one we read
    int64_t width = 0;
    int64_t height = 0;
    bool known() const { return !format.empty(); }
    double megapixels() const { return static_cast<double>(width) * static_cast<double>(height) / 1e6; }
};

// Reads JPEG, PNG, BMP, TIFF, WebP, the portable any-maps (PBM, PGM, PPM,
// PAM, PFM), Sun raster and Radiance HDR headers. Any other content, a file
// that cannot be opened and a header that breaks off give an unknown header
// (the decoder then judges the file). Reads only the bytes it needs.
ImageHeader probeImageHeader(const std::filesystem::path& path);
// The same from bytes already in memory.
ImageHeader probeImageHeaderBytes(std::string_view bytes);

// The formats a photographer may hand over that the image library does not
// read, named by their signatures: "HEIC/HEIF", "AVIF", "JPEG XL", "GIF",
// "animated GIF", "camera RAW (CR2)" and the other raw files whose signature
// is clear (CR3, DNG, ORF, RW2, RAF; a TIFF structure under a raw extension
// such as .NEF or .ARW). `fileName` only serves the extension. Empty: none of
// these. A raw file may still decode, as the TIFF preview it carries.
std::string foreignImageFormat(std::string_view bytes, std::string_view fileName = {});

// The EXIF orientation tag (1 to 8 as written, any other value as found) that
// the image library turns a decoded picture by: in a JPEG, the tag of IFD0 in
// the first APP1 segment whatever that segment holds, read as the library
// reads it (a field it cannot read before the tag hides the tag); in a PNG,
// the eXIf chunk before the image data; in a TIFF, IFD0's own tag. 0 when
// there is no such tag.
int exifOrientationTag(std::string_view bytes);

// Empty when the JPEG stream `bytes` runs from its start-of-image marker
// through well-formed segments and entropy-coded data to its end-of-image
// marker; otherwise what is wrong with it ("the data ends before the
// end-of-image marker", ...). Not a JPEG: empty.
std::string jpegStreamDamage(std::string_view bytes);

// The largest output width the format of a file name can hold (by its
// extension, case-blind), or 0 when the format sets no limit of its own.
int64_t maximumOutputWidth(std::string_view outputName);
inline constexpr int64_t kJpegMaxWidth = 65500;  // libjpeg's JPEG_MAX_DIMENSION: the JPEG names have it
// Whether a file name (or a bare extension) names a JPEG: .jpg, .jpeg, .jpe, case-blind.
inline bool isJpegName(std::string_view name) { return maximumOutputWidth(name) == kJpegMaxWidth; }

// Default limit on the pixel count of an input image.
inline constexpr double kDefaultMaxInputMegapixels = 200.0;

}  // namespace vistereo
