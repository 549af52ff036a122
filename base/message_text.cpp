#include "base/message_text.h"

namespace vistereo {
namespace {

constexpr std::string_view kCutMark = "\xE2\x80\xA6";  // "…"

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string shortenForMessage(std::string_view name, size_t maxBytes) {
    if (name.size() <= maxBytes) return std::string(name);
    if (maxBytes <= kCutMark.size()) return std::string(kCutMark);
    const size_t room = maxBytes - kCutMark.size();
    // The end carries the file name, so it gets the larger share.
    size_t head = room * 2 / 5, tailStart = name.size() - (room - head);
    while (head > 0 && continuationByte(name[head])) --head;
    while (tailStart < name.size() && continuationByte(name[tailStart])) ++tailStart;
    return std::string(name.substr(0, head)) + std::string(kCutMark) + std::string(name.substr(tailStart));
}

std::string visibleText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    auto hex = [&](unsigned char byte) {
        static const char digits[] = "0123456789ABCDEF";
        out += "\\x";
        out += digits[byte >> 4];
        out += digits[byte & 15];
    };
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n') out += "\\n", ++i;
        else if (byte == '\r') out += "\\r", ++i;
        else if (byte == '\t') out += "\\t", ++i;
        else if (byte < 0x20 || byte == 0x7F) hex(byte), ++i;
        else if (byte < 0x80) out += text[i++];
        else {
            // A whole UTF-8 sequence stays; a byte that starts none is shown by its value.
            const size_t length = byte >= 0xF0 && byte <= 0xF4 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 && byte < 0xE0 ? 2 : 0;
            bool whole = length > 0 && i + length <= text.size();
            for (size_t k = 1; whole && k < length; ++k)
                whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (whole && length == 3) {  // no overlong forms or surrogates
                const auto second = static_cast<unsigned char>(text[i + 1]);
                whole = !(byte == 0xE0 && second < 0xA0) && !(byte == 0xED && second >= 0xA0);
            }
            if (whole && length == 4) {
                const auto second = static_cast<unsigned char>(text[i + 1]);
                whole = !(byte == 0xF0 && second < 0x90) && !(byte == 0xF4 && second >= 0x90);
            }
            if (whole) out.append(text.substr(i, length)), i += length;
            else hex(byte), ++i;
        }
    }
    return out;
}

}  // namespace vistereo
