// What the run writes beyond the plain side-by-side image: the VR180 photo
// and the camera's EXIF carried over, read back independently (Exiv2 for the
// EXIF, the VR180 reader for the eyes).
#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "conversion/run.h"
#include "conversion/run_steps.h"
#include "media/vr180.h"
#include "tests/support/scratch.h"

using namespace vistereo;

namespace {

struct Quiet : MessageSink {
    void showMessage(const std::string&) override {}
};

std::string tag(const std::filesystem::path& file, const char* key) {
    auto image = Exiv2::ImageFactory::open(file.string());
    image->readMetadata();
    const auto it = image->exifData().findKey(Exiv2::ExifKey(key));
    return it == image->exifData().end() ? "" : it->toString();
}

class OutputTest : public testsupport::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        for (const char* sub : {"input", "output"}) std::filesystem::create_directories(dir / sub);
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
    ConversionResult run(const std::string& name) {
        request.outputName = name;
        Quiet quiet;
        return RunConversion(request, quiet);
    }
    ConversionRequest request;
};

TEST_F(OutputTest, Vr180PhotoHoldsBothHalvesAndTheCamerasExifWhereAskedWithTheOrientationReset) {
    ASSERT_EQ(run("pair.png").status, ConversionStatus::Written);
    const ConversionResult vr = run("Pair.VR.jpg");
    ASSERT_EQ(vr.status, ConversionStatus::Written) << vr.detail;
    EXPECT_EQ(vr.notes.size(), 1u) << "the input has no EXIF to carry over";
    const std::string photo = testsupport::readFile(dir / "output" / "Pair.VR.jpg");
    const media::Vr180ReadResult read = media::readVr180Jpeg(std::vector<uint8_t>(photo.begin(), photo.end()));
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_TRUE(read.pano.croppedAreaImageWidthPixels == 64 && read.pano.fullPanoWidthPixels == 128);
    const cv::Mat sideBySide = cv::imread((dir / "output" / "pair.png").string());
    const cv::Mat halves[2] = {cv::imdecode(read.leftJpeg, cv::IMREAD_COLOR), cv::imdecode(read.rightJpeg, cv::IMREAD_COLOR)};
    for (int eye = 0; eye < 2; ++eye) {
        ASSERT_TRUE(halves[eye].rows == 64 && halves[eye].cols == 64) << eye;
        EXPECT_GT(cv::PSNR(halves[eye], sideBySide.colRange(64 * eye, 64 * (eye + 1))), 25.0) << eye;
    }

    // A camera's EXIF on the left input: kept in a JPEG when asked, always in a VR180 photo, never in a PNG.
    auto image = Exiv2::ImageFactory::open((dir / "input" / "L.jpg").string());
    image->readMetadata();
    image->exifData()["Exif.Image.Make"] = "Rigmaker";
    image->exifData()["Exif.Photo.DateTimeOriginal"] = "2026:11:30 10:11:12";
    image->exifData()["Exif.Image.Orientation"] = uint16_t(6);
    image->writeMetadata();
    const struct { const char* name; bool keepExif; const char* make; const char* width; } cases[] = {
        {"plain.jpg", false, "", ""}, {"kept.jpg", true, "Rigmaker", "128"}, {"photo.vr.jpg", false, "Rigmaker", "64"},
        {"kept.png", true, nullptr, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        request.keepExif = c.keepExif;
        const ConversionResult result = run(c.name);
        ASSERT_EQ(result.status, ConversionStatus::Written) << result.detail;
        EXPECT_TRUE(result.notes.empty()) << result.notes.front();
        if (!c.make) continue;  // no EXIF in a PNG
        const auto file = dir / "output" / c.name;
        EXPECT_EQ(tag(file, "Exif.Image.Make"), c.make);
        EXPECT_EQ(tag(file, "Exif.Photo.PixelXDimension"), c.width);
        if (!*c.make) continue;
        EXPECT_EQ(tag(file, "Exif.Photo.DateTimeOriginal"), "2026:11:30 10:11:12");
        EXPECT_EQ(tag(file, "Exif.Image.Orientation"), "1");
        EXPECT_EQ(tag(file, "Exif.Image.Software"), "Vistereo 1.3");
    }
    // A VR180 photo's primary image is one eye wide, so JPEG's 65500 limits its height, not half of it.
    EXPECT_TRUE(checkOutput("x.jpg", 32751));
    EXPECT_FALSE(checkOutput("x.vr.jpg", 32751));
    const auto tooHigh = checkOutput("x.vr.jpg", 65501);
    ASSERT_TRUE(tooHigh);
    EXPECT_EQ(tooHigh->status, ConversionStatus::OutputHeightInvalid);
    EXPECT_NE(tooHigh->detail.find("so the height can be at most 65500."), std::string::npos) << tooHigh->detail;
}

}  // namespace
