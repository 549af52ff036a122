// Arbitrary bytes as an image file's start: the header probe and the JPEG
// stream check never read out of bounds, and a header they accept has a size.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "media/image_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vistereo;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const ImageHeader header = probeImageHeaderBytes(bytes);
    if (header.known() && (header.width <= 0 || header.height <= 0)) std::abort();
    (void)jpegStreamDamage(bytes);
    return 0;
}
