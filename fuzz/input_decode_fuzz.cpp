// libFuzzer target: arbitrary bytes as an input photograph, read as the
// conversion reads one (header probe and limit, orientation tag, the JPEG
// decoder with its own error manager, the image library for other formats).
// A decoded picture is 8-bit BGR within the limit, turned only by a tag that
// turns pictures; a refusal always says why.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "imagefile/input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vistereo;
    // A small limit keeps a claimed giant from costing the fuzzer its memory.
    const InputReadOptions options(InputLimits{0.25}, size % 2 == 1);
    const InputImage image = decodeInput("fuzz.jpg", std::span<const uint8_t>(data, size), options);
    if (image.ok()) {
        if (image.pixels.empty() || image.pixels.type() != CV_8UC3) std::abort();
        if (double(image.pixels.total()) > 0.25e6) std::abort();
        if (image.turned && !(image.orientationTag >= 2 && image.orientationTag <= 8)) std::abort();
        if (!image.error.empty()) std::abort();
    } else if (image.error.empty() || !image.pixels.empty()) {
        std::abort();
    }
    return 0;
}
