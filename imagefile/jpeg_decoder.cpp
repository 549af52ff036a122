// libjpeg reports errors by calling its error manager's error_exit, which
// must not return: ours jumps back with longjmp. So that the jump skips no
// destructor, the two phases that call into libjpeg (the header with the
// decoder's set-up, then the rows) each run in a function of their own whose
// locals are plain values; the image buffer is made in between, in ordinary
// C++ that may throw.
#include "imagefile/jpeg_decoder.h"

#include <csetjmp>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include <jerror.h>

#include "imagefile/image_header.h"
#include "imagefile/libjpeg_errors.h"

namespace vistereo {
namespace {

struct ErrorManager : JpegErrorManager {
    int warnings = 0;
    char firstWarning[JMSG_LENGTH_MAX] = {};
};

ErrorManager& errorsOf(j_common_ptr cinfo) { return *reinterpret_cast<ErrorManager*>(cinfo->err); }

// Warnings (level -1) are counted and the first one kept; trace messages
// (levels 0 and up) are dropped, as libjpeg's default trace level does.
extern "C" void keepMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    ErrorManager& errors = errorsOf(cinfo);
    if (errors.warnings++ == 0) (*errors.pub.format_message)(cinfo, errors.firstWarning);
    ++errors.pub.num_warnings;
}

// The image library's CMYK to BGR conversion, as its JPEG reader applies it.
void cmykToBgr(const JSAMPLE* cmyk, uint8_t* bgr, JDIMENSION width) {
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const int k = cmyk[3];
        bgr[2] = static_cast<uint8_t>(k - ((255 - cmyk[0]) * k >> 8));
        bgr[1] = static_cast<uint8_t>(k - ((255 - cmyk[1]) * k >> 8));
        bgr[0] = static_cast<uint8_t>(k - ((255 - cmyk[2]) * k >> 8));
    }
}

// Header, output colour space and the decoder's start: false after an error.
bool startDecoding(jpeg_decompress_struct& cinfo, ErrorManager& errors, const uint8_t* data, size_t size, int shrink) {
    if (setjmp(errors.jump)) return false;
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = 1;
    cinfo.scale_denom = static_cast<unsigned>(shrink);
    const bool cmyk = cinfo.num_components == 4;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    cinfo.out_color_components = cmyk ? 4 : 3;
    jpeg_calc_output_dimensions(&cinfo);
    return true;
}

bool beginOutput(jpeg_decompress_struct& cinfo, ErrorManager& errors) {
    if (setjmp(errors.jump)) return false;
    jpeg_start_decompress(&cinfo);
    return true;
}

// Every row into `image`; `rowsRead` tells, after an error, whether it came
// only in the closing pass over what follows the last row (the image library
// keeps the picture then).
bool readRows(jpeg_decompress_struct& cinfo, ErrorManager& errors, cv::Mat& image, JSAMPLE* cmykRow,
              volatile bool& rowsRead) {
    if (setjmp(errors.jump)) return false;
    while (cinfo.output_scanline < cinfo.output_height) {
        uint8_t* const target = image.ptr(static_cast<int>(cinfo.output_scanline));
        JSAMPROW row = cmykRow ? cmykRow : target;
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) break;
        if (cmykRow) cmykToBgr(cmykRow, target, cinfo.output_width);
    }
    rowsRead = true;
    jpeg_finish_decompress(&cinfo);
    return true;
}

struct Decompressor {
    jpeg_decompress_struct cinfo{};
    ErrorManager errors;
    Decompressor() {
        cinfo.err = jpeg_std_error(&errors.pub);
        errors.pub.error_exit = vistereoJpegExit;
        errors.pub.emit_message = keepMessage;
        jpeg_create_decompress(&cinfo);
    }
    ~Decompressor() { jpeg_destroy_decompress(&cinfo); }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
};

}  // namespace

JpegDecoding decodeJpeg(std::span<const uint8_t> bytes, uint64_t maxPixels, cv::MatAllocator* allocator, int shrink) {
    JpegDecoding out;
    auto decoder = std::make_unique<Decompressor>();
    jpeg_decompress_struct& cinfo = decoder->cinfo;
    ErrorManager& errors = decoder->errors;
    const auto finish = [&](bool ok) {
        out.warnings = errors.warnings;
        out.firstWarning = errors.firstWarning;
        if (!ok) {
            out.pixels.release();
            out.error = errors.error;
            out.outOfMemory = out.outOfMemory || errors.errorCode == JERR_OUT_OF_MEMORY;
        }
        return out;
    };
    if (!startDecoding(cinfo, errors, bytes.data(), bytes.size(), shrink)) return finish(false);
    out.width = static_cast<int>(cinfo.output_width);
    out.height = static_cast<int>(cinfo.output_height);
    if (maxPixels > 0 && uint64_t{cinfo.output_width} * cinfo.output_height > maxPixels) {
        out.tooLarge = true;
        std::snprintf(errors.error, sizeof errors.error, "its frame of %u x %u pixels is more than allowed",
                      cinfo.output_width, cinfo.output_height);
        return finish(false);
    }
    if (!beginOutput(cinfo, errors)) return finish(false);
    std::vector<JSAMPLE> cmykRow;
    try {
        // Only this buffer comes from `allocator` (it knows where it goes
        // back); images made later from the pixels go the usual way.
        cv::Mat pixels;
        pixels.allocator = allocator;
        pixels.create(static_cast<int>(cinfo.output_height), static_cast<int>(cinfo.output_width), CV_8UC3);
        pixels.allocator = nullptr;
        out.pixels = std::move(pixels);
        if (cinfo.out_color_space == JCS_CMYK) cmykRow.resize(size_t{cinfo.output_width} * 4);
    } catch (const std::exception&) {
        out.outOfMemory = true;
        std::snprintf(errors.error, sizeof errors.error, "not enough memory for %u x %u pixels", cinfo.output_width,
                      cinfo.output_height);
        return finish(false);
    }
    volatile bool rowsRead = false;
    const bool ok = readRows(cinfo, errors, out.pixels, cmykRow.empty() ? nullptr : cmykRow.data(), rowsRead);
    return finish(ok || rowsRead);
}

std::string jpegDecodeFault(std::span<const uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (std::string damage = jpegStreamDamage(text); !damage.empty()) return damage;
    const JpegDecoding decoded = decodeJpeg(bytes, 0, nullptr, 8);
    if (!decoded.ok()) return decoded.error;
    if (decoded.warnings > 0) return decoded.firstWarning;
    return "";
}

}  // namespace vistereo
