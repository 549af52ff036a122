// Helpers shared by the media tests and the tests that read VR180 photos back:
// small real JPEGs, an independent walk over a file's marker segments (not
// the code under test), extended XMP chunk fields built and read by hand,
// changes that damage a written file, and exiftool run as a cross-check.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "stereofile/md5.h"
#include "tests/support/scratch.h"

namespace mediatest {

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A w x h colour JPEG: smooth gradients, or noise (which compresses badly, for large files).
inline Bytes makeJpeg(int width, int height, int seed, bool noise = false) {
    cv::Mat image(height, width, CV_8UC3);
    std::mt19937 random(static_cast<unsigned>(seed));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.at<cv::Vec3b>(y, x) = noise ? cv::Vec3b(uint8_t(random()), uint8_t(random()), uint8_t(random()))
                                              : cv::Vec3b(uint8_t(x * 255 / std::max(1, width - 1)),
                                                          uint8_t(y * 255 / std::max(1, height - 1)), uint8_t(seed * 40));
    std::vector<uchar> encoded;
    if (!cv::imencode(".jpg", image, encoded, {cv::IMWRITE_JPEG_QUALITY, 95})) throw std::runtime_error("imencode");
    return Bytes(encoded.begin(), encoded.end());
}

struct Segment { uint8_t marker = 0; Bytes payload; };
struct Walk { std::vector<Segment> segments; Bytes scan; };  // the segments between SOI and SOS, and the bytes from SOS on

inline Walk walk(const Bytes& jpeg) {
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) throw std::runtime_error("no SOI");
    Walk w;
    for (size_t pos = 2;;) {
        if (pos + 4 > jpeg.size() || jpeg[pos] != 0xFF) throw std::runtime_error("bad marker");
        const uint8_t marker = jpeg[pos + 1];
        const size_t length = size_t(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
        if (marker == 0xDA) return w.scan.assign(jpeg.begin() + long(pos), jpeg.end()), w;
        if (length < 2 || pos + 2 + length > jpeg.size()) throw std::runtime_error("bad length");
        w.segments.push_back({marker, Bytes(jpeg.begin() + long(pos + 4), jpeg.begin() + long(pos + 2 + length))});
        pos += 2 + length;
    }
}

inline Bytes assemble(const Walk& w) {
    Bytes out{0xFF, 0xD8};
    for (const Segment& s : w.segments) {
        const size_t length = s.payload.size() + 2;
        out.insert(out.end(), {0xFF, s.marker, uint8_t(length >> 8), uint8_t(length)});
        out.insert(out.end(), s.payload.begin(), s.payload.end());
    }
    out.insert(out.end(), w.scan.begin(), w.scan.end());
    return out;
}

inline bool startsWith(const Bytes& payload, std::string_view signature) {
    return payload.size() >= signature.size() && std::memcmp(payload.data(), signature.data(), signature.size()) == 0;
}

// An extended XMP chunk: signature, GUID, full length and offset (big-endian), data.
struct ChunkFields { std::string guid; uint32_t fullLength = 0, offset = 0; std::string data; };

inline Bytes chunkPayload(const ChunkFields& c) {
    // Built as text: g++ 12 warns falsely about vector::insert of a short array (GCC bug 107852).
    std::string p = std::string("http://ns.adobe.com/xmp/extension/\0", 35) + c.guid;
    for (uint32_t v : {c.fullLength, c.offset})
        for (int shift = 24; shift >= 0; shift -= 8) p.push_back(char(uint8_t(v >> shift)));
    return bytesOf(p + c.data);
}

inline ChunkFields chunkFields(const Bytes& p) {
    if (p.size() < 75) throw std::runtime_error("short chunk");
    const auto be32 = [&](size_t at) {
        return uint32_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 | uint32_t(p[at + 3]);
    };
    return {std::string(p.begin() + 35, p.begin() + 67), be32(67), be32(71), std::string(p.begin() + 75, p.end())};
}

inline const std::string_view kXmpSig{"http://ns.adobe.com/xap/1.0/\0", 29}, kExtSig{"http://ns.adobe.com/xmp/extension/\0", 35};

// The positions of a walked file's extended XMP chunks.
inline std::vector<size_t> chunkIndexes(const Walk& w) {
    std::vector<size_t> indexes;
    for (size_t i = 0; i < w.segments.size(); ++i)
        if (w.segments[i].marker == 0xE1 && startsWith(w.segments[i].payload, kExtSig)) indexes.push_back(i);
    return indexes;
}

// Damaged files: a written VR180 file taken apart (walk), changed, and put together again (assemble).

using Chunks = std::vector<size_t>;
using Change = std::function<void(Walk&, Chunks&)>;

inline Bytes changed(const Bytes& jpeg, const Change& change) {
    Walk w = walk(jpeg);
    Chunks chunks = chunkIndexes(w);
    change(w, chunks);
    return assemble(w);
}

// The first `from` in the standard XMP segment replaced by `to`.
inline Change inStandard(std::string from, std::string to) {
    return [=](Walk& w, Chunks&) {
        for (Segment& s : w.segments) {
            std::string x = textOf(s.payload);
            if (const size_t at = x.find(from); startsWith(s.payload, kXmpSig) && at != std::string::npos)
                s.payload = bytesOf(x.replace(at, from.size(), to));
        }
    };
}
// The standard packet's GUID replaced by edit(GUID).
inline Change guidInStandard(std::function<std::string(std::string)> edit) {
    return [=](Walk& w, Chunks& c) {
        const std::string guid = chunkFields(w.segments[c[0]].payload).guid;
        inStandard(guid, edit(guid))(w, c);
    };
}
inline Change inChunk(int k, std::function<void(ChunkFields&)> edit) {  // k < 0: from the end
    return [=](Walk& w, Chunks& c) {
        Segment& s = w.segments[c[k < 0 ? c.size() + size_t(k) : size_t(k)]];
        ChunkFields f = chunkFields(s.payload);
        edit(f);
        s.payload = chunkPayload(f);
    };
}
// The extended packet replaced by one chunk of `packet`, or of a description holding the GImage `attribute`.
inline Change extendedPacket(std::string packet, std::string attribute = "") {
    if (!attribute.empty())
        packet = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                 "<rdf:Description xmlns:GImage='http://ns.google.com/photos/1.0/image/' " + attribute +
                 "/></rdf:RDF></x:xmpmeta>";
    return [=](Walk& w, Chunks& c) {
        const std::string old = chunkFields(w.segments[c[0]].payload).guid, guid = vistereo::media::md5HexUpper(packet);
        for (auto i = c.rbegin(); i != c.rend(); ++i) w.segments.erase(w.segments.begin() + long(*i));
        w.segments.insert(w.segments.begin() + long(c[0]), {0xE1, chunkPayload({guid, uint32_t(packet.size()), 0, packet})});
        inStandard(old, guid)(w, c);
    };
}

// exiftool's standard output for `arguments` (words apart) and one file, or nothing when exiftool fails or is missing.
inline std::string exiftool(const std::string& arguments, const std::string& file) {
    std::vector<std::string> command{"exiftool"};
    std::istringstream words(arguments);
    for (std::string word; words >> word;) command.push_back(word);
    command.push_back(file);
    return vistereo::testsupport::toolOutput(command);
}

}  // namespace mediatest
