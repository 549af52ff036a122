// Arbitrary bytes as a batch's pairs file, read as the batch reads it: line by
// line within limits. No crash, no undefined behaviour; a refused file gives
// no pairs and names its line; the pairs keep their lines in order and hold
// no NUL; and the limits only ever refuse a file, never change what it lists.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "batch/batch_pairs.h"

namespace {

vistereo::PairingResult read(const std::string& text, bool vrSuffix, const vistereo::PairsFileLimits& limits) {
    std::istringstream in(text);
    return vistereo::readPairsStream(in, "pairs.csv", "in", "out", vrSuffix, limits);
}

bool holdsNul(const std::filesystem::path& path) { return path.native().find('\0') != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vistereo;
    if (size == 0) return 0;
    // The first byte picks the suffix and small limits, so that the limits are reached.
    const bool vrSuffix = data[0] & 1;
    const PairsFileLimits small{static_cast<size_t>(1 + (data[0] >> 1) % 64), static_cast<size_t>(1 + data[0] % 5)};
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    const PairingResult limited = read(text, vrSuffix, small);
    if (!limited.ok()) {
        if (!limited.pairs.empty() || limited.error.rfind("pairs.csv line ", 0) != 0) std::abort();
    } else {
        if (limited.pairs.size() > small.maxPairs) std::abort();
        int previous = 0;
        for (const BatchPair& pair : limited.pairs) {
            if (pair.line <= previous || pair.left.empty() || pair.right.empty() || pair.output.empty()) std::abort();
            if (holdsNul(pair.left) || holdsNul(pair.right) || holdsNul(pair.output)) std::abort();
            previous = pair.line;
        }
        const PairingResult roomy = read(text, vrSuffix, PairsFileLimits{});
        if (!roomy.ok() || roomy.pairs.size() != limited.pairs.size()) std::abort();
        for (size_t k = 0; k < roomy.pairs.size(); ++k)
            if (roomy.pairs[k].left != limited.pairs[k].left || roomy.pairs[k].right != limited.pairs[k].right ||
                roomy.pairs[k].output != limited.pairs[k].output || roomy.pairs[k].line != limited.pairs[k].line)
                std::abort();
    }
    return 0;
}
