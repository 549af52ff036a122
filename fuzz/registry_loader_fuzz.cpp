// Arbitrary bytes as Vistereo.ini: the loader keeps at most ten records whose
// texts are valid UTF-8, and what it keeps, written back, reads the same.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "registry/lens_registry.h"
#include "registry/text_encoding.h"

namespace {

std::string scratchFile(const char* name) {
    return "/tmp/vistereo_fuzz_" + std::to_string(::getpid()) + "_" + name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vistereo;
    static const std::string input = scratchFile("in.ini"), output = scratchFile("out.ini");
    std::ofstream(input, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
    LensRegistry loaded;
    LoadLensRegistry(loaded, input);
    if (loaded.count < 0 || loaded.count > kMaxLensRecords) std::abort();
    for (int i = 0; i < loaded.count; ++i)
        for (const LensField& field : kLensFields)
            if (field.text && !isValidUtf8(loaded.records[i].*field.text)) std::abort();
    // Written back as the registry writes it (without the disk flush, which
    // would slow the fuzzer down to a crawl).
    std::string bytes;
    for (int i = 0; i < loaded.count; ++i)
        for (const std::string& line : recordLines(loaded.records[i])) bytes += line + "\r\n";
    std::ofstream(output, std::ios::binary | std::ios::trunc) << bytes;
    LensRegistry again;
    LoadLensRegistry(again, output);
    if (again.count != loaded.count) std::abort();
    for (int i = 0; i < loaded.count; ++i)
        if (recordLines(again.records[i]) != recordLines(loaded.records[i])) std::abort();
    return 0;
}
