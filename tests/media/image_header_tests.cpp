// Image headers read before decoding (the input size limit depends on them).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "media/image_header.h"
#include "tests/support/scratch.h"

using namespace vistereo;
using ImageHeaderTest = testsupport::ScratchTest;

namespace {

std::string encoded(const std::string& extension, int width, int height, int type = CV_8UC3) {
    cv::Mat image(height, width, type);
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(255));
    std::vector<uchar> bytes;
    EXPECT_TRUE(cv::imencode(extension, image, bytes)) << extension;
    return {bytes.begin(), bytes.end()};
}

TEST_F(ImageHeaderTest, ReadsTheSizeOfEveryFormatAndPastLargeJpegSegmentsAndNeverAWrongOne) {
    const struct { const char* extension; const char* format; int type; } cases[] = {
        {".jpg", "JPEG", CV_8UC3}, {".png", "PNG", CV_8UC3}, {".bmp", "BMP", CV_8UC3}, {".tif", "TIFF", CV_8UC3},
        {".webp", "WebP", CV_8UC3}, {".ppm", "PNM", CV_8UC3}, {".pgm", "PNM", CV_8UC1}, {".pfm", "PFM", CV_32FC3},
        {".ras", "Sun raster", CV_8UC3}, {".hdr", "HDR", CV_32FC3}, {".pam", "PAM", CV_8UC3}};
    for (const auto& c : cases)
        for (auto [width, height] : {std::pair{37, 23}, {23, 37}}) {
            SCOPED_TRACE(std::string(c.extension) + " " + std::to_string(width));
            const std::string bytes = encoded(c.extension, width, height, c.type);
            const ImageHeader h = probeImageHeaderBytes(bytes);
            EXPECT_TRUE(h.format == c.format && h.width == width && h.height == height) << h.format << " " << h.width << " x " << h.height;
            // Cut inside the header: unknown, never a wrong size.
            const ImageHeader cut = probeImageHeaderBytes(std::string_view(bytes).substr(0, 10));
            EXPECT_TRUE(!cut.known() || (cut.width == width && cut.height == height)) << cut.format;
        }
    for (const std::string& junk : {std::string(), std::string("\xFF\xD8"), std::string("\xFF\xD8\xFF\xDA\x00\x02"),
                                    std::string("\xFF\xD8\xFF\xE0\x00\x01"), std::string("GIF89a....")})
        EXPECT_FALSE(probeImageHeaderBytes(junk).known()) << ::testing::PrintToString(junk);
    // A file with large metadata segments before the frame header, as cameras write them, followed without decoding.
    const std::string jpeg = encoded(".jpg", 64, 48), app1 = std::string("\xFF\xE1\xFF\xF0", 4) + std::string(0xFFF0 - 2, 'x');
    testsupport::writeFile(dir / "probe.jpg", jpeg.substr(0, 2) + app1 + app1 + jpeg.substr(2));
    const ImageHeader h = probeImageHeader(dir / "probe.jpg");
    EXPECT_TRUE(h.format == "JPEG" && h.width == 64 && h.height == 48) << h.format << " " << h.width;
    EXPECT_FALSE(probeImageHeader(dir / "missing.jpg").known());
}

}  // namespace
