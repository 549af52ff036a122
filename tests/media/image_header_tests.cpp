// Image headers read before decoding (the input size limit depends on them).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "media/image_header.h"

using namespace vistereo;

namespace {

std::string encoded(const std::string& extension, int width, int height, int type = CV_8UC3) {
    cv::Mat image(height, width, type);
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(255));
    std::vector<uchar> bytes;
    EXPECT_TRUE(cv::imencode(extension, image, bytes)) << extension;
    return {bytes.begin(), bytes.end()};
}

TEST(ImageHeader, ReadsTheSizeOfEveryFormatTheLibraryWrites) {
    const struct { const char* extension; const char* format; int type; } cases[] = {
        {".jpg", "JPEG", CV_8UC3}, {".png", "PNG", CV_8UC3}, {".bmp", "BMP", CV_8UC3}, {".tif", "TIFF", CV_8UC3},
        {".webp", "WebP", CV_8UC3}, {".ppm", "PNM", CV_8UC3}, {".pgm", "PNM", CV_8UC1}, {".pfm", "PFM", CV_32FC3},
        {".ras", "Sun raster", CV_8UC3}, {".hdr", "HDR", CV_32FC3}, {".pam", "PAM", CV_8UC3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extension);
        for (auto [width, height] : {std::pair{37, 23}, {23, 37}}) {
            const std::string bytes = encoded(c.extension, width, height, c.type);
            const ImageHeader h = probeImageHeaderBytes(bytes);
            EXPECT_EQ(h.format, c.format);
            EXPECT_TRUE(h.width == width && h.height == height) << h.width << " x " << h.height;
            // Cut inside the header: unknown, never a wrong size.
            const ImageHeader cut = probeImageHeaderBytes(std::string_view(bytes).substr(0, 10));
            EXPECT_TRUE(!cut.known() || (cut.width == width && cut.height == height)) << cut.format;
        }
    }
}

TEST(ImageHeader, FollowsJpegSegmentsAndReadsFilesWithoutDecoding) {
    // A large metadata segment before the frame header, as cameras write them.
    std::string jpeg = encoded(".jpg", 64, 48);
    const std::string app1 = std::string("\xFF\xE1\xFF\xF0", 4) + std::string(0xFFF0 - 2, 'x');
    const std::string withExif = jpeg.substr(0, 2) + app1 + app1 + jpeg.substr(2);
    const ImageHeader h = probeImageHeaderBytes(withExif);
    EXPECT_TRUE(h.format == "JPEG" && h.width == 64 && h.height == 48) << h.format << h.width;

    const auto file = std::filesystem::temp_directory_path() / "vistereo_header_probe.jpg";
    std::ofstream(file, std::ios::binary) << withExif;
    EXPECT_EQ(probeImageHeader(file).width, 64);
    std::filesystem::remove(file);
    EXPECT_FALSE(probeImageHeader(file).known());

    for (const std::string& junk : {std::string(), std::string("\xFF\xD8"), std::string("\xFF\xD8\xFF\xDA\x00\x02"),
                                    std::string("\xFF\xD8\xFF\xE0\x00\x01"), std::string("GIF89a....")})
        EXPECT_FALSE(probeImageHeaderBytes(junk).known()) << ::testing::PrintToString(junk);
}

}  // namespace
