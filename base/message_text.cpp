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

}  // namespace vistereo
