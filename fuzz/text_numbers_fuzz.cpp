// Arbitrary text through the number rules, the comma line and the file text
// decoding: no crash, no undefined behaviour, and the round trips hold.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/text_numbers.h"
#include "conversion/request.h"
#include "registry/text_encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vistereo;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const IntParse leading = parseLeadingInt(text);
    if (leading.ok() && parseLeadingInt(formatInt(leading.value)).value != leading.value) std::abort();
    (void)parseLeadingDouble(text);
    const int32_t box = parseBoxInt(text);
    if (parseBoxInt(formatInt(box)) != box) std::abort();
    const CommaLineParse comma = parseCommaLine(text);
    if (comma.ok()) {
        std::string line;
        for (size_t k = 0; k < comma.values.size(); ++k) line += (k ? "," : "") + formatInt(comma.values[k]);
        if (parseCommaLine(line).values != comma.values) std::abort();
    } else if (comma.error.empty()) {
        std::abort();
    }
    if (!isValidUtf8(fileTextToUtf8(text)) || !isValidUtf8(toValidUtf8(text))) std::abort();
    return 0;
}
