#include "imagefile/image_header.h"

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

// ---- formats the image library does not read ----

bool startsWith(std::string_view bytes, std::string_view prefix, size_t at = 0) {
    return bytes.size() >= at + prefix.size() && bytes.substr(at, prefix.size()) == prefix;
}

// ISO base media files (HEIF, AVIF, Canon's CR3) by the brands of their ftyp box.
std::string isoMediaFormat(std::string_view bytes) {
    if (!startsWith(bytes, "ftyp", 4) || bytes.size() < 16) return "";
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t boxEnd = std::min<size_t>(bytes.size(), std::max<uint32_t>(be32(p), 16));
    bool heif = false, avif = false;
    for (size_t at = 8; at + 4 <= boxEnd; at += at == 8 ? 8 : 4) {  // the major brand, then the compatible ones
        const std::string_view brand = bytes.substr(at, 4);
        if (brand == "crx ") return "camera RAW (CR3)";
        if (brand == "avif" || brand == "avis") avif = true;
        for (const char* h : {"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm", "hevs", "mif1", "msf1"})
            if (brand == h) heif = true;
    }
    return avif ? "AVIF" : heif ? "HEIC/HEIF" : "";
}

// GIF: one frame or several, counted by walking the blocks.
std::string gifFormat(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    auto colourTable = [](unsigned packed) { return packed & 0x80 ? size_t{3} << ((packed & 7) + 1) : size_t{0}; };
    auto skipSubBlocks = [&](size_t at) {
        while (at < size && p[at] != 0) at += 1 + size_t{p[at]};
        return at + 1;
    };
    size_t at = 13;
    if (size < at) return "GIF";
    at += colourTable(p[10]);
    int frames = 0;
    while (at < size && frames < 2) {
        if (p[at] == 0x2C) {  // image descriptor, optional colour table, LZW code size, data
            if (at + 10 > size) break;
            at += 10 + colourTable(p[at + 9]);
            at = skipSubBlocks(at + 1);
            ++frames;
        } else if (p[at] == 0x21) {  // extension: label, sub-blocks
            at = skipSubBlocks(at + 2);
        } else {
            break;  // the trailer, or the end of what can be read
        }
    }
    return frames > 1 ? "animated GIF" : "GIF";
}

// The value of `tag` in IFD0 of a TIFF structure, as a 16-bit or 32-bit
// number; nullopt when it is not there or cannot be read.
std::optional<uint32_t> tiffIfd0Value(std::string_view tiff, unsigned tag) {
    MemorySource src(tiff);
    unsigned char h[8];
    if (!src.readExactly(0, h, 8)) return std::nullopt;
    const bool little = h[0] == 'I';
    auto u16 = [little](const unsigned char* q) { return little ? le16(q) : be16(q); };
    auto u32 = [little](const unsigned char* q) { return little ? le32(q) : be32(q); };
    const uint64_t ifd = u32(h + 4);
    unsigned char c[2];
    if (!src.readExactly(ifd, c, 2)) return std::nullopt;
    for (uint32_t k = 0; k < u16(c); ++k) {
        unsigned char e[12];
        if (!src.readExactly(ifd + 2 + 12 * uint64_t{k}, e, 12)) return std::nullopt;
        if (u16(e) == tag) return u16(e + 2) == 3 ? u16(e + 8) : u32(e + 8);
    }
    return std::nullopt;
}

bool isTiff(std::string_view bytes) { return startsWith(bytes, {"II*\0", 4}) || startsWith(bytes, {"MM\0*", 4}); }

std::string rawFormat(std::string_view bytes, std::string_view fileName) {
    if (startsWith(bytes, {"II*\0", 4}) && startsWith(bytes, {"CR\2", 3}, 8)) return "camera RAW (CR2)";
    if (startsWith(bytes, "IIRO") || startsWith(bytes, "IIRS") || startsWith(bytes, "MMOR")) return "camera RAW (ORF)";
    if (startsWith(bytes, {"IIU\0", 4})) return "camera RAW (RW2)";
    if (startsWith(bytes, "FUJIFILMCCD-RAW")) return "camera RAW (RAF)";
    if (!isTiff(bytes)) return "";
    if (tiffIfd0Value(bytes, 50706)) return "camera RAW (DNG)";  // DNGVersion
    std::string ext = lowerExtension(fileName);
    for (const char* raw : {".nef", ".nrw", ".arw", ".srf", ".sr2", ".pef", ".srw", ".3fr", ".erf", ".kdc", ".iiq",
                            ".rwl", ".mos", ".dcr", ".cr2", ".dng"})
        if (ext == raw) {
            for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return "camera RAW (" + ext.substr(1) + ")";
        }
    return "";
}

// ---- the orientation tag ----

// IFD0's orientation as the image library's EXIF reader takes it: Intel byte
// order only for "II", Motorola otherwise; the entries read in order, where a
// text or rational field whose data lies outside the block ends the reading.
int tiffOrientationAsRead(std::string_view tiff) {
    const auto* p = reinterpret_cast<const unsigned char*>(tiff.data());
    const size_t size = tiff.size();
    const bool little = size >= 2 && p[0] == 'I' && p[1] == 'I';
    auto fits = [size](uint64_t at, uint64_t n) { return at + n <= size; };
    auto u16 = [&](uint64_t at) -> std::optional<uint32_t> {
        if (!fits(at, 2)) return std::nullopt;
        return little ? le16(p + at) : be16(p + at);
    };
    auto u32 = [&](uint64_t at) -> std::optional<uint32_t> {
        if (!fits(at, 4)) return std::nullopt;
        return little ? le32(p + at) : be32(p + at);
    };
    if (u16(2) != 42u) return 0;
    const auto ifd = u32(4);
    const auto count = ifd ? u16(*ifd) : std::nullopt;
    if (!count) return 0;
    for (uint64_t k = 0, at = *ifd + 2; k < *count; ++k, at += 12) {
        const auto tag = u16(at);
        if (!tag) return 0;
        switch (*tag) {
            case 0x0112: {
                const auto value = u16(at + 8);
                return value ? static_cast<int>(*value) : 0;
            }
            case 0x010E: case 0x010F: case 0x0110: case 0x0131: case 0x0132: case 0x8298: {  // text fields
                const auto length = u32(at + 4);
                const auto data = length && *length > 4 ? u32(at + 8) : std::optional<uint32_t>(8);
                if (!length || !data || !fits(*data, *length)) return 0;
                break;
            }
            case 0x011A: case 0x011B: case 0x013E: case 0x013F: case 0x0211: case 0x0214: {  // rationals
                static constexpr std::pair<unsigned, unsigned> kRationals[] = {
                    {0x011A, 1}, {0x011B, 1}, {0x013E, 2}, {0x013F, 6}, {0x0211, 3}, {0x0214, 6}};
                unsigned n = 1;
                for (const auto& [t, count] : kRationals)
                    if (t == *tag) n = count;
                const auto data = u32(at + 8);
                if (!data || !fits(*data, 8 * uint64_t{n})) return 0;
                break;
            }
            case 0x0128: case 0x0213:  // resolution unit, YCbCr positioning
                if (!u16(at + 8)) return 0;
                break;
            default: break;
        }
    }
    return 0;
}

// The first APP1 segment, found as libjpeg finds markers: bytes other than a
// marker between segments are passed over.
int jpegOrientationTag(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    for (size_t at = 2;;) {
        while (at < size && p[at] != 0xFF) ++at;
        while (at < size && p[at] == 0xFF) ++at;
        if (at >= size) return 0;
        const unsigned marker = p[at++];
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
        if (marker == 0xD8 || marker == 0xD9 || marker == 0xDA || at + 2 > size) return 0;
        const size_t length = be16(p + at);
        if (length < 2) return 0;
        if (marker == 0xE1) {
            const std::string_view payload = bytes.substr(at + 2, length - 2);
            return payload.size() > 6 ? tiffOrientationAsRead(payload.substr(6)) : 0;
        }
        at += length;
    }
}

int pngOrientationTag(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (uint64_t at = 8; at + 8 <= bytes.size();) {
        const uint64_t length = be32(p + at);
        const std::string_view type = bytes.substr(at + 4, 4);
        if (type == "IDAT" || type == "IEND") return 0;
        if (type == "eXIf") return tiffOrientationAsRead(bytes.substr(at + 8, std::min<uint64_t>(length, bytes.size() - at - 8)));
        at += 12 + length;
    }
    return 0;
}

}  // namespace

std::string foreignImageFormat(std::string_view bytes, std::string_view fileName) {
    if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a")) return gifFormat(bytes);
    if (startsWith(bytes, {"\xFF\x0A", 2}) || startsWith(bytes, {"\0\0\0\x0CJXL \x0D\x0A\x87\x0A", 12})) return "JPEG XL";
    if (std::string iso = isoMediaFormat(bytes); !iso.empty()) return iso;
    return rawFormat(bytes, fileName);
}

int exifOrientationTag(std::string_view bytes) {
    if (startsWith(bytes, "\xFF\xD8")) return jpegOrientationTag(bytes);
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n")) return pngOrientationTag(bytes);
    if (isTiff(bytes)) {
        const auto tag = tiffIfd0Value(bytes, 0x0112);
        return tag ? static_cast<int>(*tag) : 0;
    }
    return 0;
}

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
