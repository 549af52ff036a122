#include "stereofile/base64.h"

#include <array>

namespace vistereo::media {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr int8_t kWhite = -2, kPad = -3, kBad = -1;

constexpr std::array<int8_t, 256> makeTable() {
    std::array<int8_t, 256> table{};
    for (auto& t : table) t = kBad;
    for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
    table[' '] = table['\t'] = table['\r'] = table['\n'] = kWhite;
    table['='] = kPad;
    return table;
}

constexpr std::array<int8_t, 256> kTable = makeTable();

}  // namespace

std::string base64Encode(std::span<const uint8_t> data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    const size_t rest = data.size() - i;
    if (rest) {
        const uint32_t v = uint32_t(data[i]) << 16 | (rest == 2 ? uint32_t(data[i + 1]) << 8 : 0u);
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    uint32_t quad = 0;  // the sextets of the current group of four
    int have = 0;       // sextets in `quad`
    int pads = 0;       // '=' seen; after one, only '=' and white space may follow
    for (const char ch : text) {
        const int8_t v = kTable[static_cast<uint8_t>(ch)];
        if (v == kWhite) continue;
        if (v == kBad) return std::nullopt;
        if (v == kPad) {
            // '=' may stand only in the third or fourth place of the last group.
            if (have + pads < 2 || have + pads >= 4) return std::nullopt;
            ++pads;
            continue;
        }
        if (pads) return std::nullopt;  // data after padding
        quad = quad << 6 | static_cast<uint32_t>(v);
        if (++have == 4) {
            out.push_back(static_cast<uint8_t>(quad >> 16));
            out.push_back(static_cast<uint8_t>(quad >> 8));
            out.push_back(static_cast<uint8_t>(quad));
            quad = 0;
            have = 0;
        }
    }
    if (pads) {
        if (have + pads != 4) return std::nullopt;  // "xx=" without the last '='
        if (have == 2) out.push_back(static_cast<uint8_t>(quad >> 4));
        else {  // have == 3
            out.push_back(static_cast<uint8_t>(quad >> 10));
            out.push_back(static_cast<uint8_t>(quad >> 2));
        }
    } else if (have != 0) {
        return std::nullopt;  // not a multiple of 4
    }
    return out;
}

}  // namespace vistereo::media
