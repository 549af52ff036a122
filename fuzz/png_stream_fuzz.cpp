// libFuzzer target: arbitrary bytes after a PNG signature, judged whole as the
// input reader and the batch's test of a finished output judge a PNG before
// the image library sees it (chunks, CRCs, the header, the picture data
// inflated). Never a crash; and a stream judged whole that ends with its IEND
// chunk (its first) stops being whole when its last byte is cut off (bytes after IEND are
// left alone, as the image library leaves them).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "imagefile/png_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vistereo;
    std::string png("\x89PNG\r\n\x1A\n", 8);
    png.append(reinterpret_cast<const char*>(data), size);
    if (!pngStreamDamage(png).empty()) return 0;
    static const std::string kIend("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
    const bool endsAtIend = png.size() >= kIend.size() && png.find(kIend) == png.size() - kIend.size();
    if (endsAtIend && pngStreamDamage(png.substr(0, png.size() - 1)).empty()) std::abort();
    return 0;
}
