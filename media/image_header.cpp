#include "media/image_header.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <optional>

namespace vistereo {
namespace {

// Random access to the first bytes of a file or of a buffer. A read past the
// end returns fewer bytes.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual size_t read(uint64_t offset, unsigned char* out, size_t count) = 0;

    bool readExactly(uint64_t offset, unsigned char* out, size_t count) { return read(offset, out, count) == count; }
};

class FileSource : public ByteSource {
public:
    explicit FileSource(const std::filesystem::path& path) : in_(path, std::ios::binary) {}
    bool open() const { return in_.is_open(); }
    size_t read(uint64_t offset, unsigned char* out, size_t count) override {
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(offset));
        if (!in_) return 0;
        in_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
        return static_cast<size_t>(in_.gcount());
    }

private:
    std::ifstream in_;
};

class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    size_t read(uint64_t offset, unsigned char* out, size_t count) override {
        if (offset >= bytes_.size()) return 0;
        const size_t n = std::min<uint64_t>(count, bytes_.size() - offset);
        std::memcpy(out, bytes_.data() + offset, n);
        return n;
    }

private:
    std::string_view bytes_;
};

uint32_t be16(const unsigned char* p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t be32(const unsigned char* p) { return (be16(p) << 16) | be16(p + 2); }
uint32_t le16(const unsigned char* p) { return (uint32_t{p[1]} << 8) | p[0]; }
uint32_t le32(const unsigned char* p) { return (le16(p + 2) << 16) | le16(p); }

ImageHeader header(const char* format, int64_t width, int64_t height) {
    if (width <= 0 || height <= 0) return {};
    return {format, width, height};
}

// Segments from SOI to the first frame header (SOF0..SOF15 without DHT, JPG
// and DAC), skipping the others by their lengths.
ImageHeader probeJpeg(ByteSource& src) {
    uint64_t at = 2;
    for (int segments = 0; segments < 4096; ++segments) {
        unsigned char m[9];
        if (!src.readExactly(at, m, 2)) return {};
        if (m[0] != 0xFF) return {};
        if (m[1] == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const unsigned marker = m[1];
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) return {};  // image data before any frame header
        if (!src.readExactly(at, m, 9)) return {};
        const uint32_t length = be16(m + 2);
        if (length < 2) return {};
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) return length >= 7 ? header("JPEG", be16(m + 7), be16(m + 5)) : ImageHeader{};
        at += 2 + length;
    }
    return {};
}

ImageHeader probeTiff(ByteSource& src, bool little) {
    unsigned char h[8];
    if (!src.readExactly(0, h, 8)) return {};
    auto u16 = [little](const unsigned char* p) { return little ? le16(p) : be16(p); };
    auto u32 = [little](const unsigned char* p) { return little ? le32(p) : be32(p); };
    const uint64_t ifd = u32(h + 4);
    unsigned char c[2];
    if (!src.readExactly(ifd, c, 2)) return {};
    const uint32_t entries = u16(c);
    int64_t width = 0, height = 0;
    for (uint32_t k = 0; k < entries && k < 4096; ++k) {
        unsigned char e[12];
        if (!src.readExactly(ifd + 2 + 12 * uint64_t{k}, e, 12)) return {};
        const uint32_t tag = u16(e), type = u16(e + 2);
        const int64_t value = type == 3 ? u16(e + 8) : type == 4 ? u32(e + 8) : -1;
        if (tag == 256) width = value;
        if (tag == 257) height = value;
    }
    return header("TIFF", width, height);
}

ImageHeader probeWebp(ByteSource& src) {
    unsigned char h[30];
    if (!src.readExactly(0, h, 30)) return {};
    if (std::memcmp(h + 12, "VP8 ", 4) == 0) return header("WebP", le16(h + 26) & 0x3FFF, le16(h + 28) & 0x3FFF);
    if (std::memcmp(h + 12, "VP8L", 4) == 0) {
        const uint32_t bits = le32(h + 21);
        return header("WebP", (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (std::memcmp(h + 12, "VP8X", 4) == 0) {
        const uint32_t w = h[24] | (uint32_t{h[25]} << 8) | (uint32_t{h[26]} << 16);
        const uint32_t ht = h[27] | (uint32_t{h[28]} << 8) | (uint32_t{h[29]} << 16);
        return header("WebP", int64_t{w} + 1, int64_t{ht} + 1);
    }
    return {};
}

// Whitespace-separated header words of a portable any-map after its magic
// number, '#' comments skipped; nullopt when the header breaks off.
std::optional<int64_t> nextPnmNumber(const std::string& text, size_t& at) {
    for (;;) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
        if (at < text.size() && text[at] == '#') {
            while (at < text.size() && text[at] != '\n' && text[at] != '\r') ++at;
            continue;
        }
        break;
    }
    if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return std::nullopt;
    int64_t value = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
        value = value * 10 + (text[at++] - '0');
        if (value > (int64_t{1} << 40)) return std::nullopt;
    }
    return value;
}

std::string prefix(ByteSource& src, size_t count) {
    std::string text(count, '\0');
    text.resize(src.read(0, reinterpret_cast<unsigned char*>(text.data()), count));
    return text;
}

ImageHeader probePnm(ByteSource& src, char kind) {
    const std::string text = prefix(src, 4096);
    size_t at = 2;
    if (kind == '7') {  // PAM: WIDTH and HEIGHT lines
        int64_t width = 0, height = 0;
        for (const char* key : {"WIDTH", "HEIGHT"}) {
            const size_t k = text.find(key);
            if (k == std::string::npos) return {};
            size_t v = k + std::strlen(key);
            const auto n = nextPnmNumber(text, v);
            if (!n) return {};
            (key[0] == 'W' ? width : height) = *n;
        }
        return header("PAM", width, height);
    }
    const auto width = nextPnmNumber(text, at);
    const auto height = width ? nextPnmNumber(text, at) : std::nullopt;
    if (!height) return {};
    return header(kind == 'F' || kind == 'f' ? "PFM" : "PNM", *width, *height);
}

// Radiance: text lines up to an empty one, then "-Y H +X W" (or another of
// the eight orientations, the first axis being the rows).
ImageHeader probeHdr(ByteSource& src) {
    const std::string text = prefix(src, 8192);
    const size_t blank = text.find("\n\n");
    if (blank == std::string::npos) return {};
    size_t at = blank + 2;
    if (at + 2 >= text.size()) return {};
    const char firstAxis = text[at + 1];
    at += 2;
    const auto first = nextPnmNumber(text, at);
    if (!first) return {};
    while (at < text.size() && text[at] == ' ') ++at;
    at += 2;
    const auto second = nextPnmNumber(text, at);
    if (!second) return {};
    return firstAxis == 'Y' ? header("HDR", *second, *first) : header("HDR", *first, *second);
}

ImageHeader probe(ByteSource& src) {
    unsigned char m[32] = {};
    const size_t got = src.read(0, m, sizeof m);
    if (got < 2) return {};
    if (m[0] == 0xFF && m[1] == 0xD8) return probeJpeg(src);
    if (got >= 24 && std::memcmp(m, "\x89PNG\r\n\x1a\n", 8) == 0 && std::memcmp(m + 12, "IHDR", 4) == 0)
        return header("PNG", be32(m + 16), be32(m + 20));
    if (got >= 26 && m[0] == 'B' && m[1] == 'M') {
        const int32_t w = static_cast<int32_t>(le32(m + 18)), h = static_cast<int32_t>(le32(m + 22));
        return header("BMP", w, h == INT32_MIN ? -1 : (h < 0 ? -int64_t{h} : h));
    }
    if (got >= 8 && m[0] == 'I' && m[1] == 'I' && m[2] == 42 && m[3] == 0) return probeTiff(src, true);
    if (got >= 8 && m[0] == 'M' && m[1] == 'M' && m[2] == 0 && m[3] == 42) return probeTiff(src, false);
    if (got >= 16 && std::memcmp(m, "RIFF", 4) == 0 && std::memcmp(m + 8, "WEBP", 4) == 0) return probeWebp(src);
    if (m[0] == 'P' && std::strchr("1234567Ff", m[1]) && m[1] != 0) return probePnm(src, static_cast<char>(m[1]));
    if (got >= 12 && be32(m) == 0x59A66A95u) return header("Sun raster", be32(m + 4), be32(m + 8));
    if (got >= 6 && (std::memcmp(m, "#?RADIANCE", 10) == 0 || std::memcmp(m, "#?RGBE", 6) == 0)) return probeHdr(src);
    return {};
}

std::string lowerExtension(std::string_view name) {
    const size_t dot = name.rfind('.');
    const size_t slash = name.find_last_of("/\\");
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return "";
    std::string ext(name.substr(dot));
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

}  // namespace

ImageHeader probeImageHeader(const std::filesystem::path& path) {
    FileSource src(path);
    if (!src.open()) return {};
    return probe(src);
}

ImageHeader probeImageHeaderBytes(std::string_view bytes) {
    MemorySource src(bytes);
    return probe(src);
}

std::string jpegStreamDamage(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    if (size < 2 || p[0] != 0xFF || p[1] != 0xD8) return "";
    size_t at = 2;
    bool sawScan = false;
    while (at < size) {
        if (p[at] != 0xFF) {
            if (!sawScan) return "a segment does not start with a marker at byte " + std::to_string(at);
            ++at;  // entropy-coded data
            continue;
        }
        if (at + 1 >= size) break;
        const unsigned marker = p[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker == 0x00 && sawScan) {  // a stuffed 0xFF byte of the coded data
            at += 2;
            continue;
        }
        if (marker >= 0xD0 && marker <= 0xD7) {
            at += 2;
            continue;
        }
        if (marker == 0xD9) return "";
        if (marker == 0x00 || marker == 0x01) return "a stray marker at byte " + std::to_string(at);
        if (at + 4 > size) break;
        const size_t length = (size_t{p[at + 2]} << 8) | p[at + 3];
        if (length < 2) return "a segment of impossible length at byte " + std::to_string(at);
        if (at + 2 + length > size) break;
        if (marker == 0xDA) sawScan = true;
        at += 2 + length;
    }
    return "the data ends before the end-of-image marker (the file is truncated)";
}

int64_t maximumOutputWidth(std::string_view outputName) {
    const std::string ext = lowerExtension(outputName);
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".jpe") return kJpegMaxWidth;
    if (ext == ".webp") return 16383;                                    // the VP8 frame header's 14 bits
    if (ext == ".png") return 1000000;                                   // libpng's default user limit
    return 0;
}

}  // namespace vistereo
