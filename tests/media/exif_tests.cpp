// EXIF from an input photograph to the output: the tags kept, the ones reset,
// thumbnails dropped, inputs without or with broken EXIF, and exiftool's view.
// The input photographs are made here, with Exiv2.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include "media/exif.h"
#include "media/jpeg_segments.h"
#include "media/vr180.h"
#include "media_test_support.h"

using namespace vistereo::media;
using namespace mediatest;

namespace {

const std::string_view kExifSig{"Exif\0\0", 6};

// `jpeg` with EXIF as a camera would write it: turned (Orientation 6), with
// a thumbnail and the camera's own pixel size.
Bytes cameraJpeg(const Bytes& jpeg) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(jpeg.data(), long(jpeg.size()));
    image->readMetadata();
    Exiv2::ExifData& d = image->exifData();
    d["Exif.Image.Make"] = "Vistereo Test Optics";
    d["Exif.Image.Model"] = "StereoCam 2";
    d["Exif.Image.Orientation"] = uint16_t(6);
    d["Exif.Image.Software"] = "Camera firmware 1.0";
    d["Exif.Image.DateTime"] = "2024:05:01 10:20:30";
    d["Exif.Photo.DateTimeOriginal"] = "2024:05:01 10:20:30";
    d["Exif.Photo.ExposureTime"] = "1/250";
    d["Exif.Photo.FNumber"] = "28/10";
    d["Exif.Photo.ISOSpeedRatings"] = uint16_t(200);
    d["Exif.Photo.LensModel"] = "Fisheye 1.8mm";
    // The tags a camera's JPEG always has (exiftool -validate asks for them).
    d["Exif.Image.XResolution"] = "72/1";
    d["Exif.Image.YResolution"] = "72/1";
    d["Exif.Image.ResolutionUnit"] = uint16_t(2);
    d["Exif.Image.YCbCrPositioning"] = uint16_t(1);
    d["Exif.Photo.ExifVersion"] = "48 50 51 50";
    d["Exif.Photo.ComponentsConfiguration"] = "1 2 3 0";
    d["Exif.Photo.FlashpixVersion"] = "48 49 48 48";
    d["Exif.Photo.ColorSpace"] = uint16_t(1);
    d["Exif.Photo.PixelXDimension"] = uint32_t(6000);
    d["Exif.Photo.PixelYDimension"] = uint32_t(4000);
    d["Exif.GPSInfo.GPSVersionID"] = "2 3 0 0";
    d["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    d["Exif.GPSInfo.GPSLatitude"] = "35/1 39/1 30/1";
    d["Exif.GPSInfo.GPSLongitudeRef"] = "E";
    d["Exif.GPSInfo.GPSLongitude"] = "139/1 44/1 15/1";
    d["Exif.GPSInfo.GPSAltitude"] = "40/1";
    const Bytes thumbnail = makeJpeg(16, 12, 5);
    Exiv2::ExifThumb(d).setJpegThumbnail(thumbnail.data(), long(thumbnail.size()));
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf buffer = io.read(long(io.size()));
    return Bytes(buffer.pData_, buffer.pData_ + buffer.size_);
}

Exiv2::ExifData exifOf(const Bytes& jpeg) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(jpeg.data(), long(jpeg.size()));
    image->readMetadata();
    return image->exifData();
}

std::string tag(const Exiv2::ExifData& d, const char* key) {
    const auto it = d.findKey(Exiv2::ExifKey(key));
    return it == d.end() ? "<absent>" : it->toString();
}

void expectOutputExif(const Exiv2::ExifData& d, int width, int height) {
    EXPECT_EQ(tag(d, "Exif.Image.Make"), "Vistereo Test Optics");
    EXPECT_EQ(tag(d, "Exif.Image.Model"), "StereoCam 2");
    EXPECT_EQ(tag(d, "Exif.Image.Orientation"), "1");
    EXPECT_EQ(tag(d, "Exif.Image.Software"), "Vistereo 1.3");
    EXPECT_EQ(tag(d, "Exif.Photo.DateTimeOriginal"), "2024:05:01 10:20:30");
    EXPECT_EQ(tag(d, "Exif.Photo.ExposureTime"), "1/250");
    EXPECT_EQ(tag(d, "Exif.Photo.FNumber"), "28/10");
    EXPECT_EQ(tag(d, "Exif.Photo.ISOSpeedRatings"), "200");
    EXPECT_EQ(tag(d, "Exif.Photo.LensModel"), "Fisheye 1.8mm");
    EXPECT_EQ(tag(d, "Exif.Photo.PixelXDimension"), std::to_string(width));
    EXPECT_EQ(tag(d, "Exif.Photo.PixelYDimension"), std::to_string(height));
    EXPECT_EQ(tag(d, "Exif.GPSInfo.GPSLatitudeRef"), "N");
    EXPECT_EQ(tag(d, "Exif.GPSInfo.GPSLatitude"), "35/1 39/1 30/1");
    EXPECT_EQ(tag(d, "Exif.GPSInfo.GPSLongitude"), "139/1 44/1 15/1");
    EXPECT_EQ(tag(d, "Exif.GPSInfo.GPSAltitude"), "40/1");
    for (const auto& datum : d) EXPECT_NE(datum.groupName(), "Thumbnail") << datum.key();
    EXPECT_EQ(Exiv2::ExifThumbC(d).copy().size_, 0);
}

TEST(Exif, CarriedToTheOutputWithOrientationSizeAndSoftwareReset) {
    TempDir dir;
    // A UTF-8 file name with non-ASCII letters.
    const auto path = dir.path() / "\xE5\xB7\xA6\xE7\x9B\xAE L.jpg";
    const Bytes input = cameraJpeg(makeJpeg(60, 40, 1));
    writeFile(path, input);
    const Exiv2::ExifData camera = exifOf(input);  // what is to be reset is there to begin with
    EXPECT_EQ(tag(camera, "Exif.Image.Orientation"), "6");
    EXPECT_EQ(tag(camera, "Exif.Photo.PixelXDimension"), "6000");
    EXPECT_GT(Exiv2::ExifThumbC(camera).copy().size_, 0);
    const SourceExif exif = readExifFromFile(path.string());
    ASSERT_TRUE(exif.found) << exif.note;
    EXPECT_EQ(exif.note, "");

    const Bytes output = makeJpeg(128, 64, 2);
    const JpegWithExif carried = addExifToJpeg(output, exif, "Vistereo 1.3");
    ASSERT_TRUE(carried.exifWritten) << carried.note;
    expectOutputExif(exifOf(carried.jpeg), 128, 64);

    // The EXIF APP1 stands right after JFIF; the rest of the output is as encoded.
    const Walk w = walk(carried.jpeg), plain = walk(output);
    ASSERT_EQ(w.segments.size(), plain.segments.size() + 1);
    EXPECT_EQ(w.segments[0].payload, plain.segments[0].payload);
    EXPECT_EQ(w.segments[1].marker, 0xE1);
    EXPECT_TRUE(startsWith(w.segments[1].payload, kExifSig));
    EXPECT_LE(w.segments[1].payload.size(), 65533u);
    EXPECT_EQ(w.scan, plain.scan);

    // Carried again over an output that has EXIF already: replaced, not doubled.
    const JpegWithExif twice = addExifToJpeg(carried.jpeg, exif, "Vistereo 1.3");
    ASSERT_TRUE(twice.exifWritten);
    EXPECT_EQ(twice.jpeg, carried.jpeg);

    // Empty software keeps the camera's.
    const JpegWithExif keep = addExifToJpeg(output, exif, "");
    EXPECT_EQ(tag(exifOf(keep.jpeg), "Exif.Image.Software"), "Camera firmware 1.0");
}

TEST(Exif, VR180FileCarriesThePayload) {
    const SourceExif exif = readExifFromBytes(cameraJpeg(makeJpeg(60, 40, 1)));
    ASSERT_TRUE(exif.found) << exif.note;
    const ExifForOutput payload = makeExifApp1Payload(exif, 64, 64, "Vistereo 1.3");
    ASSERT_TRUE(payload.ok) << payload.note;
    EXPECT_TRUE(startsWith(payload.app1, kExifSig));
    const Bytes left = makeJpeg(64, 64, 1), right = makeJpeg(64, 64, 2);
    const Vr180WriteResult w = writeVr180Jpeg(left, right, 64, payload.app1);
    ASSERT_TRUE(w.ok) << w.error;
    expectOutputExif(exifOf(w.jpeg), 64, 64);
    const Vr180ReadResult r = readVr180Jpeg(w.jpeg);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.rightJpeg, right);
    expectOutputExif(exifOf(r.leftJpeg), 64, 64);
}

TEST(Exif, InputsWithoutOrWithBrokenExifGiveANoteNotAFailure) {
    TempDir dir;
    const Bytes plain = makeJpeg(32, 32, 1);
    Walk broken = walk(plain);
    broken.segments.insert(broken.segments.begin() + 1, {0xE1, bytesOf(std::string(kExifSig) + "II*\0\xFF\xFF\xFF\x7Fgarbage")});
    Walk brokenHeader = walk(plain);
    brokenHeader.segments.insert(brokenHeader.segments.begin() + 1, {0xE1, bytesOf(std::string(kExifSig) + "XXXXXXXXXX")});
    writeFile(dir.path() / "text.jpg", bytesOf("not an image at all"));
    writeFile(dir.path() / "plain.jpg", plain);
    const struct { const char* name; SourceExif exif; const char* note; } cases[] = {
        {"no EXIF", readExifFromBytes(plain), "no EXIF"},
        {"no EXIF in file", readExifFromFile((dir.path() / "plain.jpg").string()), "no EXIF"},
        {"broken IFD offset", readExifFromBytes(assemble(broken)), "EXIF"},
        {"broken header", readExifFromBytes(assemble(brokenHeader)), "EXIF"},
        {"no bytes", readExifFromBytes({}), "no EXIF"},
        {"not an image", readExifFromBytes(bytesOf("not an image at all")), "EXIF not readable"},
        {"not an image file", readExifFromFile((dir.path() / "text.jpg").string()), "EXIF not readable"},
        {"missing file", readExifFromFile((dir.path() / "missing.jpg").string()), "EXIF not readable"},
    };
    const Bytes output = makeJpeg(40, 20, 3);
    for (const auto& c : cases) {
        EXPECT_FALSE(c.exif.found) << c.name;
        EXPECT_NE(c.exif.note.find(c.note), std::string::npos) << c.name << ": " << c.exif.note;
        const JpegWithExif carried = addExifToJpeg(output, c.exif, "Vistereo 1.3");
        EXPECT_FALSE(carried.exifWritten) << c.name;
        EXPECT_EQ(carried.jpeg, output) << c.name;
        EXPECT_EQ(carried.note, c.exif.note) << c.name;
        const ExifForOutput payload = makeExifApp1Payload(c.exif, 40, 20, "x");
        EXPECT_FALSE(payload.ok);
        EXPECT_TRUE(payload.app1.empty());
    }
    // Damaged bytes handed in as if they were EXIF, and an output that is no JPEG.
    SourceExif garbage;
    garbage.found = true;
    garbage.tiff = bytesOf("MM\0*\0\0\0\x08\xFF\xFF");
    const JpegWithExif g = addExifToJpeg(output, garbage, "x");
    EXPECT_EQ(g.jpeg, output);
    const SourceExif good = readExifFromBytes(cameraJpeg(plain));
    const JpegWithExif notJpeg = addExifToJpeg(bytesOf("PNG?"), good, "x");
    EXPECT_FALSE(notJpeg.exifWritten);
    EXPECT_EQ(notJpeg.jpeg, bytesOf("PNG?"));
    EXPECT_NE(notJpeg.note.find("not a readable JPEG"), std::string::npos) << notJpeg.note;
}

TEST(ExifExiftool, SeesTheCameraTagsKeptAndTheOutputTagsReset) {
    if (!haveExiftool()) GTEST_SKIP() << "exiftool not installed (apt-get install libimage-exiftool-perl)";
    TempDir dir;
    writeFile(dir.path() / "L.jpg", cameraJpeg(makeJpeg(60, 40, 1)));
    const SourceExif exif = readExifFromFile((dir.path() / "L.jpg").string());
    ASSERT_TRUE(exif.found) << exif.note;
    const JpegWithExif sideBySide = addExifToJpeg(makeJpeg(256, 128, 2), exif, "Vistereo 1.3");
    ASSERT_TRUE(sideBySide.exifWritten) << sideBySide.note;
    writeFile(dir.path() / "LROut.jpg", sideBySide.jpeg);
    const ExifForOutput payload = makeExifApp1Payload(exif, 128, 128, "Vistereo 1.3");
    ASSERT_TRUE(payload.ok);
    const Bytes right = makeJpeg(128, 128, 3);
    const Vr180WriteResult vr = writeVr180Jpeg(makeJpeg(128, 128, 4), right, 128, payload.app1);
    ASSERT_TRUE(vr.ok) << vr.error;
    writeFile(dir.path() / "vr180.jpg", vr.jpeg);

    const CommandOutput input = run("exiftool -j -G1 -a " + shellQuote((dir.path() / "L.jpg").string()));
    EXPECT_NE(input.out.find("\"IFD1:ThumbnailImage\""), std::string::npos) << input.out;
    EXPECT_NE(input.out.find("\"IFD0:Orientation\": \"Rotate 90 CW\""), std::string::npos) << input.out;
    for (const auto& [file, width, height] : {std::tuple{"LROut.jpg", 256, 128}, std::tuple{"vr180.jpg", 128, 128}}) {
        const std::string path = shellQuote((dir.path() / file).string());
        const CommandOutput json = run("exiftool -j -G1 -a " + path);
        ASSERT_EQ(json.status, 0) << json.out;
        const CommandOutput numbers = run("exiftool -j -G1 -a -n " + path);
        ASSERT_EQ(numbers.status, 0) << numbers.out;
        const struct { const std::string* out; std::string tag, value; } expected[] = {
            {&json.out, "IFD0:Make", "\"Vistereo Test Optics\""},
            {&json.out, "IFD0:Model", "\"StereoCam 2\""},
            {&json.out, "IFD0:Software", "\"Vistereo 1.3\""},
            {&json.out, "IFD0:Orientation", "\"Horizontal \\(normal\\)\""},
            {&numbers.out, "IFD0:Orientation", "1"},
            {&json.out, "ExifIFD:DateTimeOriginal", "\"2024:05:01 10:20:30\""},
            {&json.out, "ExifIFD:LensModel", "\"Fisheye 1.8mm\""},
            {&json.out, "ExifIFD:ExposureTime", "\"1/250\""},
            {&numbers.out, "ExifIFD:ExifImageWidth", std::to_string(width)},
            {&numbers.out, "ExifIFD:ExifImageHeight", std::to_string(height)},
            {&json.out, "GPS:GPSLatitudeRef", "\"North\""},
            {&numbers.out, "GPS:GPSLatitude", "35\\.658333"},
            {&numbers.out, "GPS:GPSLongitude", "139\\.7375"},
            {&numbers.out, "GPS:GPSAltitude", "40"},
        };
        for (const auto& e : expected) {
            const std::regex pattern("\"" + e.tag + "\": *" + e.value + "[0-9]*[,\\n]");
            EXPECT_TRUE(std::regex_search(*e.out, pattern)) << file << ": " << e.tag << " = " << e.value << " not in\n"
                                                            << *e.out;
        }
        EXPECT_EQ(json.out.find("IFD1:"), std::string::npos) << file << ": thumbnail left\n" << json.out;
        EXPECT_EQ(json.out.find("ThumbnailImage"), std::string::npos) << file;
        const CommandOutput validate = run("exiftool -validate -warning -a -s -s -s " + path);
        EXPECT_EQ(validate.out, "OK\n") << file << ": exiftool -validate: " << validate.out;
    }
    const CommandOutput data = run("exiftool -b -XMP-GImage:ImageData " + shellQuote((dir.path() / "vr180.jpg").string()));
    EXPECT_TRUE(data.out == textOf(right));
}

}  // namespace

#pragma GCC diagnostic pop
