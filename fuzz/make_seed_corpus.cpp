// Writes the fuzzer's seed corpus into the directory given: VR180 files made
// by the writer (small eyes, a right eye over several extended chunks, with
// and without an EXIF payload) and the standard and extended XMP packets on
// their own.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "imagefile/jpeg_segments.h"
#include "stereofile/vr180.h"

using namespace vistereo::media;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes jpeg(int n, int seed, bool noise, int quality) {
    cv::Mat image(n, n, CV_8UC3);
    std::mt19937 random(static_cast<unsigned>(seed));
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            image.at<cv::Vec3b>(y, x) = noise ? cv::Vec3b(uint8_t(random()), uint8_t(random()), uint8_t(random()))
                                              : cv::Vec3b(uint8_t(x * 7), uint8_t(y * 5), uint8_t(seed * 60));
    std::vector<uchar> out;
    cv::imencode(".jpg", image, out, {cv::IMWRITE_JPEG_QUALITY, quality});
    return Bytes(out.begin(), out.end());
}

bool save(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    // A minimal TIFF structure: little-endian, IFD0 with no entries.
    const std::string exifText("Exif\0\0II*\0\x08\0\0\0\0\0\0\0\0\0", 20);
    const Bytes exif(exifText.begin(), exifText.end());
    const struct { const char* name; int n; bool noise; int quality; bool withExif; double pose; } seeds[] = {
        {"vr180-1.jpg", 1, false, 50, false, 0},       {"vr180-8.jpg", 8, false, 50, false, 0},
        {"vr180-16-exif.jpg", 16, false, 50, true, 90.5}, {"vr180-33.jpg", 33, true, 20, false, 359.9},
        {"vr180-256-chunks.jpg", 256, true, 95, true, 0}};
    int written = 0;
    for (const auto& s : seeds) {
        const Vr180WriteResult w = writeVr180Jpeg(jpeg(s.n, 1, false, s.quality), jpeg(s.n, 2, s.noise, s.quality), s.n,
                                                  s.withExif ? exif : Bytes{}, s.pose);
        if (!w.ok()) {
            std::fprintf(stderr, "%s: %s\n", s.name, w.error.c_str());
            return 1;
        }
        written += save(dir / s.name, w.jpeg);
        size_t chunks = 0;
        const JpegLayout layout = parseJpegLayout(w.jpeg);
        for (const JpegSegment& seg : layout.segments) chunks += isApp1With(w.jpeg, seg, kExtendedXmpSignature);
        std::printf("%s: %zu bytes, %zu extended XMP chunk(s)\n", s.name, w.jpeg.size(), chunks);
        if (s.n == 8) {
            // The two packets alone, for the XML reader.
            const JpegLayout layout = parseJpegLayout(w.jpeg);
            int k = 0;
            for (const JpegSegment& seg : layout.segments) {
                const auto payload = segmentPayload(w.jpeg, seg);
                if (isApp1With(w.jpeg, seg, kXmpSignature))
                    written += save(dir / "standard-xmp.xml", Bytes(payload.begin() + 29, payload.end()));
                else if (isApp1With(w.jpeg, seg, kExtendedXmpSignature))
                    written += save(dir / ("extended-xmp-" + std::to_string(k++) + ".xml"),
                                    Bytes(payload.begin() + 75, payload.end()));
            }
        }
    }
    std::printf("%d seed files in %s\n", written, dir.string().c_str());
    return 0;
}
