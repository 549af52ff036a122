#include "media_test_support.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <sys/wait.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace mediatest {

Bytes makeJpeg(int width, int height, int seed, bool noise) {
    cv::Mat image(height, width, CV_8UC3);
    std::mt19937 random(static_cast<unsigned>(seed));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            cv::Vec3b& p = image.at<cv::Vec3b>(y, x);
            if (noise) {
                p = cv::Vec3b(uint8_t(random()), uint8_t(random()), uint8_t(random()));
            } else {
                p = cv::Vec3b(uint8_t(x * 255 / std::max(1, width - 1)), uint8_t(y * 255 / std::max(1, height - 1)),
                              uint8_t(seed * 40));
            }
        }
    std::vector<uchar> encoded;
    if (!cv::imencode(".jpg", image, encoded, {cv::IMWRITE_JPEG_QUALITY, 95})) throw std::runtime_error("imencode");
    return Bytes(encoded.begin(), encoded.end());
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Walk walk(const Bytes& jpeg) {
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) throw std::runtime_error("no SOI");
    Walk w;
    size_t pos = 2;
    for (;;) {
        if (pos + 4 > jpeg.size() || jpeg[pos] != 0xFF) throw std::runtime_error("bad marker");
        const uint8_t marker = jpeg[pos + 1];
        const size_t length = size_t(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
        if (marker == 0xDA) {
            w.scan.assign(jpeg.begin() + long(pos), jpeg.end());
            return w;
        }
        if (length < 2 || pos + 2 + length > jpeg.size()) throw std::runtime_error("bad length");
        w.segments.push_back({marker, Bytes(jpeg.begin() + long(pos + 4), jpeg.begin() + long(pos + 2 + length))});
        pos += 2 + length;
    }
}

Bytes assemble(const Walk& w) {
    Bytes out{0xFF, 0xD8};
    for (const Segment& s : w.segments) {
        const size_t length = s.payload.size() + 2;
        out.push_back(0xFF);
        out.push_back(s.marker);
        out.push_back(uint8_t(length >> 8));
        out.push_back(uint8_t(length));
        out.insert(out.end(), s.payload.begin(), s.payload.end());
    }
    out.insert(out.end(), w.scan.begin(), w.scan.end());
    return out;
}

bool startsWith(const Bytes& payload, std::string_view signature) {
    return payload.size() >= signature.size() && std::memcmp(payload.data(), signature.data(), signature.size()) == 0;
}

Bytes chunkPayload(const std::string& guid, uint32_t fullLength, uint32_t offset, std::string_view data) {
    // Built as text: g++ 12 warns falsely about vector::insert of a short array (GCC bug 107852).
    std::string p("http://ns.adobe.com/xmp/extension/\0", 35);
    p += guid;
    for (uint32_t v : {fullLength, offset})
        for (int shift = 24; shift >= 0; shift -= 8) p.push_back(char(uint8_t(v >> shift)));
    p += data;
    return bytesOf(p);
}

ChunkFields chunkFields(const Bytes& p) {
    if (p.size() < 75) throw std::runtime_error("short chunk");
    const auto be32 = [&](size_t at) {
        return uint32_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 | uint32_t(p[at + 3]);
    };
    return {std::string(p.begin() + 35, p.begin() + 67), be32(67), be32(71), std::string(p.begin() + 75, p.end())};
}

TempDir::TempDir() {
    std::random_device device;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() / ("vistereo-media-" + std::to_string(device()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("no temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

CommandOutput run(const std::string& command) {
    CommandOutput result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool haveExiftool() { return run("command -v exiftool >/dev/null 2>&1").status == 0; }

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace mediatest
