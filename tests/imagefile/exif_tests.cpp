// EXIF from an input photograph to the output: the tags kept, the ones reset,
// thumbnails dropped, inputs without or with broken EXIF; read back by Exiv2
// and, independently, by exiftool, from a side-by-side image and a VR180 photo.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include "imagefile/exif.h"
#include "imagefile/jpeg_segments.h"
#include "stereofile/vr180.h"
#include "tests/support/media_test_support.h"
#include "tests/support/scratch.h"

using namespace vistereo::media;
using namespace mediatest;
using ExifTest = vistereo::testsupport::ScratchTest;

namespace {

// The tags a camera writes that the output keeps as they are.
const std::pair<const char*, const char*> kKept[] = {
    {"Exif.Image.Make", "Vistereo Test Optics"}, {"Exif.Image.Model", "StereoCam 2"},
    {"Exif.Photo.DateTimeOriginal", "2024:05:01 10:20:30"}, {"Exif.Photo.ExposureTime", "1/250"},
    {"Exif.Photo.FNumber", "28/10"}, {"Exif.Photo.ISOSpeedRatings", "200"}, {"Exif.Photo.LensModel", "Fisheye 1.8mm"},
    {"Exif.GPSInfo.GPSLatitudeRef", "N"}, {"Exif.GPSInfo.GPSLatitude", "35/1 39/1 30/1"},
    {"Exif.GPSInfo.GPSLongitude", "139/1 44/1 15/1"}, {"Exif.GPSInfo.GPSAltitude", "40/1"}};

// `jpeg` with EXIF as a camera writes it: turned (Orientation 6), with a
// thumbnail, its own software and pixel size, and the tags a camera's JPEG
// always has (exiftool -validate asks for them).
Bytes cameraJpeg(const Bytes& jpeg) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(jpeg.data(), long(jpeg.size()));
    image->readMetadata();
    Exiv2::ExifData& d = image->exifData();
    for (const auto& [key, value] : kKept) d[key] = std::string(value);
    for (const auto& [key, value] : {std::pair{"Exif.Image.Orientation", "6"}, {"Exif.Image.Software", "Camera firmware 1.0"},
             {"Exif.Image.DateTime", "2024:05:01 10:20:30"}, {"Exif.Photo.PixelXDimension", "6000"},
             {"Exif.Photo.PixelYDimension", "4000"}, {"Exif.Image.XResolution", "72/1"}, {"Exif.Image.YResolution", "72/1"},
             {"Exif.Image.ResolutionUnit", "2"}, {"Exif.Image.YCbCrPositioning", "1"}, {"Exif.Photo.ExifVersion", "48 50 51 50"},
             {"Exif.Photo.ComponentsConfiguration", "1 2 3 0"}, {"Exif.Photo.FlashpixVersion", "48 49 48 48"},
             {"Exif.Photo.ColorSpace", "1"}, {"Exif.GPSInfo.GPSVersionID", "2 3 0 0"}, {"Exif.GPSInfo.GPSLongitudeRef", "E"}})
        d[key] = std::string(value);
    const Bytes thumbnail = makeJpeg(16, 12, 5);
    Exiv2::ExifThumb(d).setJpegThumbnail(thumbnail.data(), long(thumbnail.size()));
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf buffer = io.read(long(io.size()));
    return Bytes(buffer.pData_, buffer.pData_ + buffer.size_);
}

std::string tag(const Bytes& jpeg, const char* key) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(jpeg.data(), long(jpeg.size()));
    image->readMetadata();
    const auto it = image->exifData().findKey(Exiv2::ExifKey(key));
    return it == image->exifData().end() ? "<absent>" : it->toString();
}

TEST_F(ExifTest, KeptAndResetInSideBySideAndVr180AsExiv2AndExiftoolReadThem) {
    const auto path = dir / "\xE5\xB7\xA6\xE7\x9B\xAE L.jpg";  // a UTF-8 file name with non-ASCII letters
    const Bytes input = cameraJpeg(makeJpeg(60, 40, 1));
    vistereo::testsupport::writeFile(path, textOf(input));
    // What is to be reset is there to begin with.
    ASSERT_TRUE(tag(input, "Exif.Image.Orientation") == "6" && tag(input, "Exif.Photo.PixelXDimension") == "6000");
    ASSERT_NE(tag(input, "Exif.Thumbnail.JPEGInterchangeFormat"), "<absent>");
    const SourceExif exif = readExifFromFile(path.string());
    ASSERT_TRUE(exif.ok()) << exif.error;
    EXPECT_EQ(exif.note, "");

    const Bytes output = makeJpeg(256, 128, 2);
    const JpegWithExif sideBySide = addExifToJpeg(output, exif, "Vistereo 1.3");
    ASSERT_TRUE(sideBySide.ok()) << sideBySide.error;
    // The EXIF APP1 stands right after JFIF; the rest of the output is as encoded.
    const Walk w = walk(sideBySide.jpeg), plain = walk(output);
    ASSERT_EQ(w.segments.size(), plain.segments.size() + 1);
    EXPECT_EQ(w.segments[0].payload, plain.segments[0].payload);
    EXPECT_TRUE(w.segments[1].marker == 0xE1 && startsWith(w.segments[1].payload, kExifSignature));
    EXPECT_EQ(w.scan, plain.scan);
    // Carried again over an output that has EXIF already: replaced, not doubled. Empty software keeps the camera's.
    EXPECT_EQ(addExifToJpeg(sideBySide.jpeg, exif, "Vistereo 1.3").jpeg, sideBySide.jpeg);
    EXPECT_EQ(tag(addExifToJpeg(output, exif, "").jpeg, "Exif.Image.Software"), "Camera firmware 1.0");

    const ExifForOutput payload = makeExifApp1Payload(exif, 320, 320, "Vistereo 1.3");
    const Bytes right = makeJpeg(320, 320, 3, true);  // several chunks
    const Vr180WriteResult vr = writeVr180Jpeg(makeJpeg(320, 320, 4), right, 320, payload.app1, 90.0);
    ASSERT_TRUE(payload.ok() && vr.ok()) << payload.error << vr.error;
    const std::string guid = readVr180Jpeg(vr.jpeg).guid;
    const bool exiftoolThere = !exiftool("-ver", path.string()).empty();
    for (const auto& [name, jpeg, width, height] : {std::tuple{"LROut.jpg", sideBySide.jpeg, 256, 128},
                                                    std::tuple{"photo.vr.jpg", vr.jpeg, 320, 320}}) {
        SCOPED_TRACE(name);
        for (const auto& [key, value] : kKept) EXPECT_EQ(tag(jpeg, key), value);
        for (const auto& [key, value] : {std::pair<const char*, std::string>{"Exif.Image.Orientation", "1"},
                 {"Exif.Image.Software", "Vistereo 1.3"}, {"Exif.Photo.PixelXDimension", std::to_string(width)},
                 {"Exif.Photo.PixelYDimension", std::to_string(height)}, {"Exif.Thumbnail.JPEGInterchangeFormat", "<absent>"},
                 {"Exif.Thumbnail.Compression", "<absent>"}})
            EXPECT_EQ(tag(jpeg, key), value) << key;
        if (!exiftoolThere) continue;
        const auto file = (dir / name).string();
        vistereo::testsupport::writeFile(file, textOf(jpeg));
        const std::string json = exiftool("-j -G1 -a -n", file);
        std::vector<std::pair<std::string, std::string>> expected = {
            {"IFD0:Make", "\"Vistereo Test Optics\""}, {"IFD0:Model", "\"StereoCam 2\""},
            {"IFD0:Software", "\"Vistereo 1.3\""}, {"IFD0:Orientation", "1"},
            {"ExifIFD:DateTimeOriginal", "\"2024:05:01 10:20:30\""}, {"ExifIFD:LensModel", "\"Fisheye 1.8mm\""},
            {"ExifIFD:ExposureTime", "0.004"}, {"ExifIFD:ExifImageWidth", std::to_string(width)},
            {"ExifIFD:ExifImageHeight", std::to_string(height)}, {"GPS:GPSLatitudeRef", "\"N\""},
            {"GPS:GPSLatitude", "35\\.658333[0-9]*"}, {"GPS:GPSLongitude", "139\\.7375"}, {"GPS:GPSAltitude", "40"}};
        if (jpeg == vr.jpeg)
            expected.insert(expected.end(), {
                {"XMP-GPano:ProjectionType", "\"equirectangular\""}, {"XMP-GPano:UsePanoramaViewer", "(true|\"True\")"},
                {"XMP-GPano:CroppedAreaImageWidthPixels", "320"}, {"XMP-GPano:CroppedAreaImageHeightPixels", "320"},
                {"XMP-GPano:FullPanoWidthPixels", "640"}, {"XMP-GPano:FullPanoHeightPixels", "320"},
                {"XMP-GPano:CroppedAreaLeftPixels", "160"}, {"XMP-GPano:CroppedAreaTopPixels", "0"},
                {"XMP-GPano:InitialViewHeadingDegrees", "180"}, {"XMP-GPano:PoseHeadingDegrees", "90"},
                // exiftool names the GImage properties Mime and Data ImageMimeType and ImageData.
                {"XMP-GImage:ImageMimeType", "\"image/jpeg\""}, {"XMP-xmpNote:HasExtendedXMP", "\"" + guid + "\""}});
        for (const auto& [key, value] : expected)
            EXPECT_TRUE(std::regex_search(json, std::regex("\"" + key + "\": *" + value + "[,\\n]")))
                << key << " = " << value << " not in\n" << json;
        EXPECT_EQ(json.find("IFD1:"), std::string::npos) << "thumbnail left";
        EXPECT_EQ(json.find("Warning"), std::string::npos) << json;
        EXPECT_EQ(exiftool("-validate -warning -a -s -s -s", file), "OK\n");
    }
    if (!exiftoolThere) GTEST_SKIP() << "exiftool not installed (apt-get install libimage-exiftool-perl): read by Exiv2 only";
    EXPECT_TRUE(exiftool("-b -XMP-GImage:ImageData", (dir / "photo.vr.jpg").string()) == textOf(right));
}

TEST_F(ExifTest, InputsWithoutOrWithBrokenExifGiveANoteNotAFailure) {
    const Bytes plain = makeJpeg(32, 32, 1), output = makeJpeg(40, 20, 3);
    const auto withApp1 = [&](const std::string& tiff) {
        Walk w = walk(plain);
        w.segments.insert(w.segments.begin() + 1, {0xE1, bytesOf(std::string(kExifSignature) + tiff)});
        return assemble(w);
    };
    vistereo::testsupport::writeFile(dir / "text.jpg", "not an image at all");
    vistereo::testsupport::writeFile(dir / "plain.jpg", textOf(plain));
    const struct { const char* name; SourceExif exif; const char* note; } cases[] = {
        {"no EXIF", readExifFromBytes(plain), "no EXIF"}, {"no EXIF in file", readExifFromFile((dir / "plain.jpg").string()), "no EXIF"},
        {"broken IFD offset", readExifFromBytes(withApp1("II*\0\xFF\xFF\xFF\x7Fgarbage")), "EXIF"},
        {"broken header", readExifFromBytes(withApp1("XXXXXXXXXX")), "EXIF"}, {"no bytes", readExifFromBytes({}), "no EXIF"},
        {"not an image", readExifFromBytes(bytesOf("not an image at all")), "EXIF not readable"},
        {"not an image file", readExifFromFile((dir / "text.jpg").string()), "EXIF not readable"},
        {"missing file", readExifFromFile((dir / "missing.jpg").string()), "EXIF not readable"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.exif.ok());
        EXPECT_NE(c.exif.error.find(c.note), std::string::npos) << c.exif.error;
        const JpegWithExif carried = addExifToJpeg(output, c.exif, "Vistereo 1.3");
        EXPECT_TRUE(!carried.ok() && carried.jpeg == output);
        EXPECT_EQ(carried.error, c.exif.error);
        const ExifForOutput payload = makeExifApp1Payload(c.exif, 40, 20, "x");
        EXPECT_TRUE(!payload.ok() && payload.app1.empty());
    }
    // Damaged bytes handed in as if they were EXIF, and an output that is no JPEG.
    SourceExif garbage;
    garbage.tiff = bytesOf("MM\0*\0\0\0\x08\xFF\xFF");
    EXPECT_EQ(addExifToJpeg(output, garbage, "x").jpeg, output);
    const JpegWithExif notJpeg = addExifToJpeg(bytesOf("PNG?"), readExifFromBytes(cameraJpeg(plain)), "x");
    EXPECT_TRUE(!notJpeg.ok() && notJpeg.jpeg == bytesOf("PNG?"));
    EXPECT_NE(notJpeg.error.find("not a readable JPEG"), std::string::npos) << notJpeg.error;
}

}  // namespace

#pragma GCC diagnostic pop
