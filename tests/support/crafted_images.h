// Image files crafted byte by byte, so that the tests do not depend on the
// code that reads them: an EXIF orientation tag given to a JPEG (an APP1
// segment after its SOI) or a PNG (an eXIf chunk before its image data), a
// JPEG header that claims a size over no picture, and the signatures of the
// formats the image library does not read.
#pragma once

#include <cstdint>
#include <string>

namespace vistereo::testsupport {

// A TIFF structure whose IFD0 holds one entry: the orientation, as a SHORT.
inline std::string orientationTiff(int tag, bool bigEndian = false) {
    auto u16 = [bigEndian](unsigned v) {
        return bigEndian ? std::string{char(v >> 8), char(v & 0xFF)} : std::string{char(v & 0xFF), char(v >> 8)};
    };
    auto u32 = [&](unsigned v) { return bigEndian ? u16(v >> 16) + u16(v & 0xFFFF) : u16(v & 0xFFFF) + u16(v >> 16); };
    return (bigEndian ? std::string("MM") : std::string("II")) + u16(42) + u32(8) + u16(1) + u16(0x0112) + u16(3) +
           u32(1) + u16(unsigned(tag)) + u16(0) + u32(0);
}

// `jpeg` with an APP1 segment holding `payload` right after its SOI.
inline std::string withApp1(const std::string& jpeg, const std::string& payload) {
    const size_t length = payload.size() + 2;
    return jpeg.substr(0, 2) + "\xFF\xE1" + char(length >> 8) + char(length & 0xFF) + payload + jpeg.substr(2);
}

inline std::string jpegWithOrientation(const std::string& jpeg, int tag, bool bigEndian = false) {
    return withApp1(jpeg, std::string("Exif\0\0", 6) + orientationTiff(tag, bigEndian));
}

// PNG's chunk checksum (CRC-32 of ISO 3309, over the type and the data).
inline uint32_t pngCrc(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= static_cast<uint8_t>(c);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

// `png` with an eXIf chunk holding the orientation before its first IDAT.
inline std::string pngWithOrientation(const std::string& png, int tag) {
    auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    const std::string body = "eXIf" + orientationTiff(tag, true);
    const size_t idat = png.find("IDAT") - 4;
    return png.substr(0, idat) + be32(uint32_t(body.size() - 4)) + body + be32(pngCrc(body)) + png.substr(idat);
}

// A JPEG whose frame header claims width x height, over `fill` bytes of no
// real data: 27 + fill bytes in all.
inline std::string claimedJpeg(int width, int height, size_t fill = 2000) {
    const char frame[] = {'\xFF', '\xD8', '\xFF', '\xC0', 0, 11, 8, char(height >> 8), char(height & 0xFF),
                          char(width >> 8), char(width & 0xFF), 1, 1, 0x11, 0, '\xFF', '\xDA', 0, 8, 1, 1, 0, 0, 0x3F, 0};
    return std::string(frame, sizeof frame) + std::string(fill, '\x55') + "\xFF\xD9";
}

// A HEIC photo's start (its ftyp box, then data).
inline std::string heicStart() { return std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24) + std::string(200, '\x11'); }

// A 2 x 2 GIF of `frames` frames, each one colour.
inline std::string gif(int frames) {
    std::string g("GIF89a\x02\0\x02\0\x80\0\0" "\0\0\0\xFF\xFF\xFF", 19);
    g += std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01\0\0\0", 19);  // loop for ever
    for (int k = 0; k < frames; ++k)
        g += std::string("\x21\xF9\x04\0\x0A\0\0\0", 8) + std::string("\x2C\0\0\0\0\x02\0\x02\0\0", 10) +
             std::string("\x02\x02\x44\x01\0", 5);
    return g + ";";
}

}  // namespace vistereo::testsupport
