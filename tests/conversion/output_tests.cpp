// What the run writes beyond the plain side-by-side image: the VR180 photo
// and the camera's EXIF carried over, read back independently (Exiv2 for the
// EXIF, the VR180 reader for the eyes).
#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include <opencv2/imgcodecs.hpp>

#include "conversion/run.h"
#include "media/vr180.h"

namespace fs = std::filesystem;
using namespace vistereo;

namespace {

struct Quiet : MessageSink {
    void showMessage(const std::string&) override {}
};

std::vector<uint8_t> readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class OutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("vistereo_output_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir / "input");
        fs::create_directories(dir / "output");
        cv::Mat image(300, 400, CV_8UC3);
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 400; ++x) image.at<cv::Vec3b>(y, x) = cv::Vec3b(x % 200 + 30, y % 180 + 40, (x + y) % 150 + 50);
        ASSERT_TRUE(cv::imwrite((dir / "input" / "L.jpg").string(), image));
        ASSERT_TRUE(cv::imwrite((dir / "input" / "R.jpg").string(), 255 - image));  // told apart from the left
        request.workingDirectory = dir;
        for (LensSettings& lens : request.lenses) lens.name = "lens", lens.mappingKind = 1;
        request.points.points = PointSet{{150, 250}, {151, 251}, {140, 160}, {140, 160}};
        request.outputHeight = 64;
    }
    void TearDown() override { fs::remove_all(dir); }

    // A camera's EXIF on the left input: maker, model, date, orientation 6.
    void addCameraExif() {
        auto image = Exiv2::ImageFactory::open((dir / "input" / "L.jpg").string());
        image->readMetadata();
        Exiv2::ExifData& exif = image->exifData();
        exif["Exif.Image.Make"] = "Rigmaker";
        exif["Exif.Image.Model"] = "Twin 180";
        exif["Exif.Photo.DateTimeOriginal"] = "2026:11:30 10:11:12";
        exif["Exif.Image.Orientation"] = uint16_t(6);
        image->writeMetadata();
    }
    static std::string tag(const fs::path& file, const char* key) {
        auto image = Exiv2::ImageFactory::open(file.string());
        image->readMetadata();
        const auto it = image->exifData().findKey(Exiv2::ExifKey(key));
        return it == image->exifData().end() ? "" : it->toString();
    }
    ConversionResult run(const std::string& name) {
        request.outputName = name;
        return RunConversion(request, quiet);
    }

    fs::path dir;
    ConversionRequest request;
    Quiet quiet;
};

TEST_F(OutputTest, Vr180PhotoHoldsBothHalvesOfTheSideBySideImage) {
    ASSERT_EQ(run("pair.png").status, ConversionStatus::Written);
    const ConversionResult result = run("Pair.VR.jpg");
    ASSERT_EQ(result.status, ConversionStatus::Written) << result.detail;
    EXPECT_EQ(result.notes.size(), 1u) << "the input has no EXIF to carry over";
    const media::Vr180ReadResult read = media::readVr180Jpeg(readBytes(dir / "output" / "Pair.VR.jpg"));
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_TRUE(read.pano.croppedAreaImageWidthPixels == 64 && read.pano.fullPanoWidthPixels == 128);
    const cv::Mat sideBySide = cv::imread((dir / "output" / "pair.png").string());
    const cv::Mat halves[2] = {cv::imdecode(read.leftJpeg, cv::IMREAD_COLOR), cv::imdecode(read.rightJpeg, cv::IMREAD_COLOR)};
    for (int eye = 0; eye < 2; ++eye) {
        SCOPED_TRACE(eye);
        ASSERT_TRUE(halves[eye].rows == 64 && halves[eye].cols == 64);
        EXPECT_GT(cv::PSNR(halves[eye], sideBySide.colRange(64 * eye, 64 * (eye + 1))), 25.0);
    }
    request.outputHeight = 65501;  // the primary image is one eye wide: 65500 is the limit for that
    EXPECT_EQ(run("big.vr.jpg").status, ConversionStatus::OutputHeightInvalid);
}

TEST_F(OutputTest, TheCamerasExifIsKeptWhereAskedWithTheOrientationReset) {
    addCameraExif();
    const struct { const char* name; bool keepExif; bool carried; } cases[] = {
        {"plain.jpg", false, false}, {"kept.jpg", true, true}, {"photo.vr.jpg", false, true}, {"kept.png", true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        request.keepExif = c.keepExif;
        const ConversionResult result = run(c.name);
        ASSERT_EQ(result.status, ConversionStatus::Written) << result.detail;
        EXPECT_TRUE(result.notes.empty()) << result.notes.front();
        const fs::path file = dir / "output" / c.name;
        if (std::string(c.name).ends_with(".png")) continue;  // no EXIF in a PNG
        EXPECT_EQ(tag(file, "Exif.Image.Make"), c.carried ? "Rigmaker" : "");
        if (!c.carried) continue;
        EXPECT_EQ(tag(file, "Exif.Image.Model"), "Twin 180");
        EXPECT_EQ(tag(file, "Exif.Photo.DateTimeOriginal"), "2026:11:30 10:11:12");
        EXPECT_EQ(tag(file, "Exif.Image.Orientation"), "1");
        EXPECT_EQ(tag(file, "Exif.Image.Software"), "Vistereo 1.3");
        EXPECT_EQ(tag(file, "Exif.Photo.PixelXDimension"), std::string(c.name).find(".vr.") != std::string::npos ? "64" : "128");
    }
}

}  // namespace
