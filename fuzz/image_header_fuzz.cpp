// Arbitrary bytes as an image file's start: the header probe, the JPEG
// stream check, the orientation tag and the signatures of the formats the
// image library does not read never read out of bounds, and a header they
// accept has a size.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "imagefile/image_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vistereo;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const ImageHeader header = probeImageHeaderBytes(bytes);
    if (header.known() && (header.width <= 0 || header.height <= 0)) std::abort();
    (void)jpegStreamDamage(bytes);
    (void)exifOrientationTag(bytes);
    // A format's name comes from the fixed set, never from the file's bytes.
    const std::string format = foreignImageFormat(bytes, size % 2 ? "x.NEF" : "x.jpg");
    bool named = format.empty() || format.rfind("camera RAW (", 0) == 0;
    for (const char* name : {"GIF", "animated GIF", "JPEG XL", "AVIF", "HEIC/HEIF"}) named = named || format == name;
    if (!named) std::abort();
    return 0;
}
