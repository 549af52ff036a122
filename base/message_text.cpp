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

size_t utf8SequenceLength(std::string_view text) {
    if (text.empty()) return 0;
    const auto byte = static_cast<unsigned char>(text[0]);
    if (byte < 0x80) return 1;
    const size_t length = byte >= 0xF0 && byte <= 0xF4 ? 4 : byte >= 0xE0 && byte < 0xF0 ? 3 : byte >= 0xC2 && byte < 0xE0 ? 2 : 0;
    if (length == 0 || text.size() < length) return 0;
    for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) return 0;
    const auto second = static_cast<unsigned char>(text[1]);
    if (length == 3 && ((byte == 0xE0 && second < 0xA0) || (byte == 0xED && second >= 0xA0))) return 0;
    if (length == 4 && ((byte == 0xF0 && second < 0x90) || (byte == 0xF4 && second >= 0x90))) return 0;
    return length;
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
        else if (const size_t length = utf8SequenceLength(text.substr(i)); length > 0) {
            out.append(text.substr(i, length));  // a whole UTF-8 character stays
            i += length;
        } else {
            hex(byte), ++i;  // a byte that starts none is shown by its value
        }
    }
    return out;
}

}  // namespace vistereo
