#include "imagefile/png_stream.h"

#include <zlib.h>

#include <array>
#include <cstdint>

namespace vistereo {
namespace {

constexpr std::string_view kSignature = "\x89PNG\r\n\x1A\n";

uint32_t bigEndian32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// The bytes the filtered rows of one (sub)image take: a filter byte a row.
uint64_t rowBytes(uint64_t width, uint64_t height, unsigned bitsPerPixel) {
    if (width == 0 || height == 0) return 0;
    return height * (1 + (width * bitsPerPixel + 7) / 8);
}

// The inflated picture data the header's size takes, over the seven passes
// of Adam7 when interlaced.
uint64_t pictureBytes(uint32_t width, uint32_t height, unsigned bitsPerPixel, bool interlaced) {
    if (!interlaced) return rowBytes(width, height, bitsPerPixel);
    static constexpr std::array<std::array<uint32_t, 4>, 7> passes = {{
        {0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}};
    uint64_t total = 0;
    for (const auto& [x0, y0, dx, dy] : passes) {
        const uint64_t w = width > x0 ? (uint64_t{width} - x0 + dx - 1) / dx : 0;
        const uint64_t h = height > y0 ? (uint64_t{height} - y0 + dy - 1) / dy : 0;
        total += rowBytes(w, h, bitsPerPixel);
    }
    return total;
}

// Samples a pixel by colour type, and the bit depths each allows.
unsigned samplesOf(unsigned colourType, unsigned depth) {
    switch (colourType) {
        case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16 ? 1 : 0;
        case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8 ? 1 : 0;
        case 2: return depth == 8 || depth == 16 ? 3 : 0;
        case 4: return depth == 8 || depth == 16 ? 2 : 0;
        case 6: return depth == 8 || depth == 16 ? 4 : 0;
        default: return 0;
    }
}

bool critical(std::string_view type) { return type == "IHDR" || type == "PLTE" || type == "IDAT" || type == "IEND"; }

// The picture data as it arrives chunk by chunk, inflated and counted.
class Inflation {
public:
    Inflation() { ok_ = inflateInit(&stream_) == Z_OK; }
    ~Inflation() {
        if (ok_) inflateEnd(&stream_);
    }
    Inflation(const Inflation&) = delete;
    Inflation& operator=(const Inflation&) = delete;

    // "" while the data reads; the fault once it does not.
    std::string add(std::string_view data) {
        if (!ok_) return "its picture data cannot be inflated here";
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        stream_.avail_in = static_cast<uInt>(data.size());
        while (stream_.avail_in > 0 && !ended_) {
            stream_.next_out = scratch_.data();
            stream_.avail_out = static_cast<uInt>(scratch_.size());
            const int result = inflate(&stream_, Z_NO_FLUSH);
            if (result == Z_STREAM_END) ended_ = true;
            else if (result != Z_OK && result != Z_BUF_ERROR)
                return std::string("its picture data is damaged (") + (stream_.msg ? stream_.msg : "zlib") + ")";
            else if (result == Z_BUF_ERROR && stream_.avail_out > 0)
                break;  // wants more input
        }
        return "";
    }
    uint64_t inflated() const { return stream_.total_out; }
    bool ended() const { return ended_; }

private:
    z_stream stream_{};
    bool ok_ = false, ended_ = false;
    std::array<Bytef, 1 << 16> scratch_{};
};

}  // namespace

std::string pngStreamDamage(std::string_view bytes) {
    if (bytes.substr(0, kSignature.size()) != kSignature) return "";
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t at = kSignature.size();
    uint64_t expected = 0;
    bool sawHeader = false, sawEnd = false;
    Inflation picture;
    while (at < bytes.size()) {
        if (bytes.size() - at < 12) return "it is cut short in a chunk at byte " + std::to_string(at);
        const uint32_t length = bigEndian32(p + at);
        const std::string_view type = bytes.substr(at + 4, 4);
        if (length > bytes.size() - at - 12)
            return "it is cut short: its " + std::string(type) + " chunk at byte " + std::to_string(at) +
                   " runs past the file's end";
        const std::string_view data = bytes.substr(at + 8, length);
        const uint32_t stored = bigEndian32(p + at + 8 + length);
        if (critical(type)) {
            uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
            crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
            if (crc != stored)
                return "its " + std::string(type) + " chunk at byte " + std::to_string(at) + " fails its CRC";
        }
        if (!sawHeader && type != "IHDR") return "it does not begin with its header chunk";
        if (type == "IHDR") {
            if (sawHeader || length != 13) return "its header chunk is malformed";
            const auto* h = reinterpret_cast<const unsigned char*>(data.data());
            const uint32_t width = bigEndian32(h), height = bigEndian32(h + 4);
            const unsigned depth = h[8], colourType = h[9], interlace = h[12];
            const unsigned samples = samplesOf(colourType, depth);
            if (width == 0 || height == 0 || samples == 0 || interlace > 1) return "its header chunk is malformed";
            expected = pictureBytes(width, height, samples * depth, interlace == 1);
            sawHeader = true;
        } else if (type == "IDAT") {
            if (std::string fault = picture.add(data); !fault.empty()) return fault;
        } else if (type == "IEND") {
            sawEnd = true;
            break;
        }
        at += size_t{length} + 12;
    }
    if (!sawHeader) return "it does not begin with its header chunk";
    if (picture.inflated() < expected || !picture.ended())
        return "its picture data ends early (" + std::to_string(picture.inflated()) + " of " + std::to_string(expected) +
               " bytes)";
    if (!sawEnd) return "it is cut short (no end chunk)";
    return "";
}

}  // namespace vistereo
