#include "registry/text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>

namespace vistereo {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence that starts at `pos`, or 0 when the
// bytes there are not one (overlong forms, surrogates and code points above
// U+10FFFF included).
size_t utf8SequenceLength(std::string_view text, size_t pos) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(pos);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong three-byte forms
        if (lead == 0xED) high = 0x9F;  // no UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong four-byte forms
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (pos + length > text.size()) return 0;
    if (byte(pos + 1) < low || byte(pos + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
    return length;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    for (size_t pos = 0; pos < text.size();) {
        const size_t length = utf8SequenceLength(text, pos);
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

std::string toValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        const size_t length = utf8SequenceLength(text, pos);
        if (length == 0) {
            out += kReplacement;
            ++pos;
        } else {
            out.append(text.substr(pos, length));
            pos += length;
        }
    }
    return out;
}

std::string cp932ToUtf8(std::string_view text) {
    iconv_t converter = iconv_open("UTF-8", "CP932");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        // No CP932 tables on this system: keep what UTF-8 can show.
        return toValidUtf8(text);
    }
    std::string out;
    out.reserve(text.size() * 3 / 2 + 4);
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t rc = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<size_t>(outPtr - buffer));
        if (rc != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;  // buffer full: go round again
        // EILSEQ (a byte that begins no CP932 character) or EINVAL (a lead
        // byte cut off at the end): replace one byte and carry on after it.
        out += kReplacement;
        ++in;
        --inLeft;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(converter);
    return out;
}

std::string fileTextToUtf8(std::string_view text) {
    if (isValidUtf8(text)) return std::string(text);
    return cp932ToUtf8(text);
}

}  // namespace vistereo
