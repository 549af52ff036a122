// libFuzzer target: arbitrary bytes as a lens name and as a name in a
// message. A name the registry's writers accept is text the file keeps as it
// is (UTF-8, one line, no control character, not read as "#K"); the visible
// form of any bytes is UTF-8 text without a control character, and a name
// that is already such text is shown unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/message_text.h"
#include "registry/registry_writes.h"
#include "registry/text_encoding.h"

namespace {

bool plainText(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = vistereo::utf8SequenceLength(text.substr(i));
        if (length == 0) return false;
        const auto byte = static_cast<unsigned char>(text[i]);
        if (length == 1 && (byte < 0x20 || byte == 0x7F)) return false;
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vistereo;
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    const std::string shown = visibleText(name);
    if (!plainText(shown) || !isValidUtf8(shown)) std::abort();
    if (plainText(name) && shown != name) std::abort();
    if (lensNameProblem(name).empty() && (name.empty() || name.front() == '#' || !plainText(name) || !isValidUtf8(name)))
        std::abort();
    return 0;
}
