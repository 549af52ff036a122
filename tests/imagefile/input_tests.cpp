// The input room: the reader gives the image library's own pixels (so every
// route converts what the prescribed reading would), refuses what is not a
// photograph by its type or signature with the cause, never waits on a FIFO
// or reads a device; and the reader of finished stereo images passes the
// VR180 reader's reason on.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <exiv2/exiv2.hpp>
#include <jpeglib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "imagefile/image_buffers.h"
#include "imagefile/input.h"
#include "stereofile/stereo_image.h"
#include "stereofile/base64.h"
#include "stereofile/vr180.h"
#include "tests/support/media_test_support.h"
#include "tests/support/crafted_images.h"
#include "tests/support/conversion_test_support.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;
using namespace vistereo::conversiontest;

namespace {

// A CMYK JPEG, which the image library's encoder does not write.
std::string cmykJpeg(int width, int height) {
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(width), c.image_height = JDIMENSION(height);
    c.input_components = 4, c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> row(size_t(width) * 4);
    while (c.next_scanline < c.image_height) {
        for (size_t k = 0; k < row.size(); ++k) row[k] = JSAMPLE((k * 37 + c.next_scanline * 11) & 0xFF);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::string bytes(reinterpret_cast<char*>(out), size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return bytes;
}

bool samePixels(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

class InputTest : public ScratchTest {
protected:
    fs::path put(const std::string& name, const std::string& bytes) {
        writeFile(dir / name, bytes);
        return dir / name;
    }
};

}  // namespace

// Whatever the JPEG's kind and orientation tag, the reader's pixels are those
// of cv::imread, with and without IMREAD_IGNORE_ORIENTATION; it says it turned
// the picture exactly when imread turns it.
TEST_F(InputTest, ReadsTheImageLibrarysPixelsForEveryKindAndOrientation) {
    const cv::Mat noise = noisePicture(61, 43, 1);  // odd sides, so that a wrong turn shows in the size
    cv::Mat grey;
    cv::cvtColor(noise, grey, cv::COLOR_BGR2GRAY);
    const std::string base = encoded(noise, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 90});
    const std::string png = encoded(noise, ".png");
    const std::string xmp = std::string("http://ns.adobe.com/xap/1.0/\0", 29) + "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    struct Case { std::string label, bytes, extension; bool damaged = false; };
    std::string corrupted = base;  // entropy-coded bytes changed in the middle, the markers left whole
    for (size_t k = corrupted.size() / 2; k < corrupted.size() / 2 + 40; ++k) corrupted[k] = char(k % 251);
    std::vector<Case> cases = {
        {"baseline", base, ".jpg"},
        {"progressive", encoded(noise, ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1}), ".jpg"},
        {"restart markers", encoded(noise, ".jpg", {cv::IMWRITE_JPEG_RST_INTERVAL, 2}), ".jpg"},
        {"4:4:4", encoded(noise, ".jpg", {cv::IMWRITE_JPEG_LUMA_QUALITY, 90, cv::IMWRITE_JPEG_CHROMA_QUALITY, 70}), ".jpg"},
        {"greyscale", encoded(grey, ".jpg"), ".jpg"},
        {"CMYK", cmykJpeg(61, 43), ".jpg"},
        {"truncated in the scan", base.substr(0, base.size() * 2 / 3), ".jpg", true},
        {"corrupted in the scan", corrupted, ".jpg", true},
        {"orientation 6, Motorola byte order", jpegWithOrientation(base, 6, true), ".jpg"},
        {"orientation 9 (no such turn)", jpegWithOrientation(base, 9), ".jpg"},
        {"XMP before the EXIF", withApp1(jpegWithOrientation(base, 6), xmp), ".jpg"},
        {"EXIF before the XMP", jpegWithOrientation(withApp1(base, xmp), 8), ".jpg"},
        {"PNG, orientation 3", pngWithOrientation(png, 3), ".png"},
        {"PNG, orientation 8", pngWithOrientation(png, 8), ".png"},
        {"TIFF", encoded(noise, ".tif"), ".tif"}};
    for (int tag = 1; tag <= 8; ++tag) cases.push_back({"orientation " + std::to_string(tag), jpegWithOrientation(base, tag), ".jpg"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path file = put("in" + c.extension, c.bytes);
        const cv::Mat asRead = cv::imread(file.string(), cv::IMREAD_COLOR);
        const cv::Mat asStored = cv::imread(file.string(), cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
        ASSERT_FALSE(asRead.empty());
        const InputImage image = readInput(file), ignoring = readInput(file, InputReadOptions({}, true));
        ASSERT_TRUE(image.ok() && ignoring.ok()) << image.error << ignoring.error;
        EXPECT_TRUE(samePixels(image.pixels, asRead));
        EXPECT_TRUE(samePixels(ignoring.pixels, asStored));
        EXPECT_EQ(image.turned, !samePixels(asRead, asStored));
        EXPECT_FALSE(ignoring.turned);
        EXPECT_EQ(image.damage.empty(), !c.damaged) << image.damage;
    }
}

// A pool's allocator given to the reader: the picture's pixels are the same,
// the next picture of the size gets the released one's buffer, only the
// pool's images are recycled, at most kKept buffers wait, and an image that
// outlives its pool is freed when it goes (the sanitizers watch that).
TEST_F(InputTest, BufferPoolReusesDecodedPicturesOfOneSizeAndOutlivesNothing) {
    // 17 MB: above the pool's smallest buffer
    const fs::path file = put("big.jpg", encoded(noisePicture(2400, 2400, 1), ".jpg"));
    const InputImage plain = readInput(file);
    ASSERT_TRUE(plain.ok()) << plain.error;

    std::optional<InputImage> survivor;
    {
        ImageBufferPool pool;
        InputReadOptions reading;
        reading.pixelAllocator = pool.allocator();
        InputImage first = readInput(file, reading);
        ASSERT_TRUE(first.ok()) << first.error;
        EXPECT_TRUE(samePixels(first.pixels, plain.pixels));
        EXPECT_EQ(first.pixels.u->currAllocator, pool.allocator());
        const uchar* buffer = first.pixels.data;
        first = InputImage{};
        EXPECT_EQ(pool.kept(), 1u);
        const InputImage second = readInput(file, reading);
        EXPECT_EQ(second.pixels.data, buffer);
        EXPECT_TRUE(samePixels(second.pixels, plain.pixels));
        EXPECT_EQ(pool.kept(), 0u);
        // What is made from a pooled picture goes the usual way.
        const cv::Mat copy = second.pixels.clone();
        EXPECT_NE(copy.u->currAllocator, pool.allocator());

        std::vector<cv::Mat> many;
        for (size_t k = 0; k < ImageBufferPool::kKept + 2; ++k) {
            cv::Mat m;
            m.allocator = pool.allocator();
            m.create(int(ImageBufferPool::kSmallest / 4096) + k, 4096, CV_8UC1);  // sizes apart: none reused
            many.push_back(m);
        }
        many.clear();
        EXPECT_EQ(pool.kept(), ImageBufferPool::kKept);
        pool.giveBack();
        EXPECT_EQ(pool.kept(), 0u);
        survivor = readInput(file, reading);
    }
    ASSERT_TRUE(survivor->ok());
    EXPECT_TRUE(samePixels(survivor->pixels, plain.pixels));
    survivor.reset();
}

// A real camera's pair (Sony, 4000 x 6000, its EXIF with a maker note and orientation 1): the image library's pixels.
TEST_F(InputTest, ReadsARealCamerasPairAsTheImageLibraryDoes) {
    const fs::path real = VISTEREO_REAL_PAIR_DIR;
    if (!fs::exists(real / "001L.JPG")) GTEST_SKIP() << "no real pair at " << real;
    const InputImages pair = readInputPair(real / "001L.JPG", real / "001R.JPG");
    for (const InputImage* image : {&pair.left, &pair.right}) {
        SCOPED_TRACE(image->path.string());
        ASSERT_TRUE(image->ok()) << image->error;
        EXPECT_TRUE(image->orientationTag == 1 && !image->turned && image->damage.empty());
        EXPECT_TRUE(samePixels(image->pixels, cv::imread(image->path.string(), cv::IMREAD_COLOR)));
    }
    EXPECT_TRUE(inputWarnings(pair).empty());
}

// Each thing that is not a photograph is refused with its status and cause,
// quickly: a FIFO is never opened (it would wait for a writer), a device is
// never read, a header that claims too much is not decoded.
TEST_F(InputTest, RefusesWhatIsNotAPhotographByTypeOrSignatureWithTheCause) {
    ASSERT_EQ(mkfifo((dir / "fifo.jpg").c_str(), 0644), 0);
    fs::create_directories(dir / "folder.jpg");
    cv::Mat small(30, 40, CV_8UC3, cv::Scalar(10, 200, 30));
    const std::string jpeg = encoded(small, ".jpg");
    const struct { const char* label; fs::path path; InputStatus status; const char* cause; } cases[] = {
        {"missing", dir / "none.jpg", InputStatus::NotFound, "no such file"},
        {"below a file", dir / "plain.txt/x.jpg", InputStatus::NotFound, "not a folder"},
        {"a folder", dir / "folder.jpg", InputStatus::Directory, "it is a folder"},
        {"a FIFO", dir / "fifo.jpg", InputStatus::SpecialFile, "FIFO"},
        {"a device that never ends", "/dev/zero", InputStatus::SpecialFile, "character device"},
        {"empty", put("empty.jpg", ""), InputStatus::Empty, "empty"},
        {"text", put("plain.txt", "hello"), InputStatus::Unsupported, "not an image the image library can read"},
        {"HEIC", put("photo.heic", heicStart()), InputStatus::Unsupported, "a HEIC/HEIF file"},
        {"animated GIF", put("anim.gif", gif(3)), InputStatus::Unsupported, "an animated GIF file"},
        {"GIF", put("still.gif", gif(1)), InputStatus::Unsupported, "a GIF file"},
        {"JPEG XL", put("x.jxl", "\xFF\x0A" + std::string(100, '\x01')), InputStatus::Unsupported, "a JPEG XL file"},
        {"CR2", put("x.cr2", std::string("II*\0\x10\0\0\0CR\x02\0", 12) + std::string(100, '\0')), InputStatus::Unsupported,
         "camera RAW (CR2)"},
        {"cut before the picture", put("cut.jpg", jpeg.substr(0, 120)), InputStatus::Damaged, "damaged JPEG"},
        {"318 bytes claiming 46340 x 23170", put("huge.jpg", claimedJpeg(46340, 23170, 291)), InputStatus::TooLarge,
         "46340 x 23170 pixels (1073.7 megapixels), more than the limit of 200"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto start = std::chrono::steady_clock::now();
        const InputImage image = readInput(c.path);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
        EXPECT_EQ(image.status, c.status) << image.error;
        EXPECT_NE(image.error.find(c.cause), std::string::npos) << image.error;
        EXPECT_TRUE(image.pixels.empty());
        EXPECT_NE(describeInputProblem(image).find(c.path.string()), std::string::npos);
    }
    EXPECT_EQ(fs::file_size(dir / "huge.jpg"), 318u);
    // A file larger than any picture within the limit can be is not read at all (a sparse one here).
    const fs::path sparse = put("sparse.jpg", jpeg);
    fs::resize_file(sparse, maximumInputBytes(InputLimits{}) + 1);
    const auto start = std::chrono::steady_clock::now();
    const InputImage big = readInput(sparse);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
    EXPECT_EQ(big.status, InputStatus::TooLarge);
    EXPECT_NE(describeTooLarge(big).find("is a file of 1667.1 MB"), std::string::npos) << describeTooLarge(big);
    // A format whose header is not probed (JPEG 2000) meets the limit once decoded.
    const InputImage jp2 = readInput(put("wide.jp2", encoded(cv::Mat(100, 200, CV_8UC3, cv::Scalar(9, 8, 7)), ".jp2")),
                                     InputLimits{0.001});
    EXPECT_EQ(jp2.status, InputStatus::TooLarge);
    EXPECT_EQ(jp2.error, "is 200 x 100 pixels (0.0 megapixels), more than the limit of 0.001 megapixels");
}

namespace {

// A PNG's chunks, rebuilt with their lengths and CRCs recomputed (unless `keepCrc`), so that a fault put in one
// is that fault alone.
struct PngChunk { std::string type, data; };
std::vector<PngChunk> pngChunks(const std::string& png) {
    std::vector<PngChunk> chunks;
    for (size_t at = 8; at + 12 <= png.size();) {
        const auto* p = reinterpret_cast<const unsigned char*>(png.data() + at);
        const size_t length = (size_t{p[0]} << 24) | (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | p[3];
        chunks.push_back({png.substr(at + 4, 4), png.substr(at + 8, length)});
        at += length + 12;
    }
    return chunks;
}
std::string pngOf(const std::vector<PngChunk>& chunks) {
    auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    std::string png = "\x89PNG\r\n\x1A\n";
    for (const PngChunk& c : chunks) {
        png += be32(static_cast<uint32_t>(c.data.size())) + c.type + c.data + be32(pngCrc(c.type + c.data));
    }
    return png;
}

// What the standard error receives while `work` runs.
std::string standardErrorDuring(const std::function<void()>& work, const fs::path& scratch) {
    std::fflush(stderr);
    const int saved = dup(2);
    const int file = open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(file, 2);
    work();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved), close(file);
    return readFile(scratch);
}

}  // namespace

// A damaged PNG is refused in our words, with the file and the fault, before the image library's reader would
// print libpng's complaint on the standard error: nothing reaches it. An intact one reads as the library reads it.
TEST_F(InputTest, DamagedPngsAreRefusedInOurWordsAndLibpngSaysNothing) {
    cv::Mat noise(30, 40, CV_8UC3);
    cv::RNG(4).fill(noise, cv::RNG::UNIFORM, 0, 256);
    const std::string png = encoded(noise, ".png");
    const std::vector<PngChunk> chunks = pngChunks(png);
    ASSERT_EQ(chunks.front().type, "IHDR");
    ASSERT_EQ(chunks.back().type, "IEND");
    size_t idat = 0;
    while (chunks[idat].type != "IDAT") ++idat;
    auto with = [&](const std::function<void(std::vector<PngChunk>&)>& change) {
        std::vector<PngChunk> changed = chunks;
        change(changed);
        return pngOf(changed);
    };
    std::string badCrc = png;
    badCrc[badCrc.find("IDAT") + 10] ^= 0x55;
    const struct { const char* label; std::string bytes; const char* fault; } cases[] = {
        {"intact", png, nullptr},
        {"its picture data cut short, the chunk whole", with([&](auto& c) { c[idat].data.resize(c[idat].data.size() / 2); }),
         "its picture data"},
        {"its picture data zeroed, the chunk whole", with([&](auto& c) { std::fill(c[idat].data.begin() + 2, c[idat].data.end(), '\0'); }),
         "its picture data"},
        {"a CRC that fails", badCrc, "its IDAT chunk at byte "},
        {"cut in a chunk", png.substr(0, png.size() / 2), "runs past the file's end"},
        {"no end chunk", with([](auto& c) { c.pop_back(); }), "cut short (no end chunk)"},
        {"no header chunk first", with([](auto& c) { std::swap(c[0], c[1]); }), "header chunk"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        InputImage image;
        const std::string said = standardErrorDuring([&] { image = readInput(put("p.png", c.bytes)); }, dir / "stderr.txt");
        EXPECT_EQ(said, "");
        if (!c.fault) {
            ASSERT_TRUE(image.ok()) << image.error;
            EXPECT_EQ(cv::norm(image.pixels, cv::imread((dir / "p.png").string()), cv::NORM_INF), 0.0);
            continue;
        }
        EXPECT_EQ(image.status, InputStatus::Damaged);
        EXPECT_NE(image.error.find("it is a damaged PNG file that cannot be decoded ("), std::string::npos) << image.error;
        EXPECT_NE(image.error.find(c.fault), std::string::npos) << image.error;
    }
}

// A DNG (a TIFF with a DNGVersion tag) decodes as its TIFF picture, with a warning that it is no more than the
// preview; a TIFF's own orientation tag is applied even when it is to be ignored, and said so. (The warnings of
// JPEGs turned by their tags are the run's orientation test's.)
TEST_F(InputTest, ARawPreviewAndATiffTurnedAnywayAreSaidOutLoud) {
    const fs::path dng = put("shot.dng", encoded(cv::Mat(30, 40, CV_8UC3, cv::Scalar(1, 2, 3)), ".tif"));
    auto tiff = Exiv2::ImageFactory::open(dng.string());
    tiff->readMetadata();
    tiff->exifData()["Exif.Image.DNGVersion"] = uint16_t(1);
    tiff->exifData()["Exif.Image.Orientation"] = uint16_t(6);
    tiff->writeMetadata();
    const InputImages raw = readInputPair(dng, dng, InputReadOptions({}, true));
    ASSERT_TRUE(raw.left.ok()) << raw.left.error;
    EXPECT_EQ(raw.left.foreignFormat, "camera RAW (DNG)");
    EXPECT_TRUE(raw.left.turnedAnyway && raw.left.pixels.rows == 40);
    const std::vector<std::string> warnings = inputWarnings(raw);
    ASSERT_EQ(warnings.size(), 4u);
    EXPECT_NE(warnings[0].find("the image library turns TIFF files by the tag even then"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[1].find("read only the preview it carries (30 x 40)"), std::string::npos) << warnings[1];
}

// Finished images read back: a VR180 photo's eyes side by side, a plain 2:1
// picture; every malformed VR180 photo with the reader's own reason, never
// "not a side-by-side pair"; the eyes' headers held against the limit.
TEST_F(InputTest, StereoReaderPassesTheVr180ReadersReasonOn) {
    using namespace mediatest;
    const Bytes left = makeJpeg(32, 32, 1), right = makeJpeg(32, 32, 2);
    const media::Vr180WriteResult written = media::writeVr180Jpeg(left, right, 32);
    ASSERT_TRUE(written.ok()) << written.error;
    const auto vr180With = [&](const Change& change) { return textOf(changed(written.jpeg, change)); };
    const auto rightEye = [](const std::string& jpeg) {
        return extendedPacket("", "GImage:Data='" + media::base64Encode(bytesOf(jpeg)) + "'");
    };
    const std::string other(32, 'B');
    const struct { const char* label; std::string bytes; const char* reason; bool vr180 = false; size_t warnings = 0; } cases[] = {
        {"VR180 photo", textOf(written.jpeg), nullptr, true},
        {"GUID not the packet's MD5", vr180With([&](Walk& w, Chunks& c) {
             guidInStandard([&](std::string) { return other; })(w, c);
             inChunk(0, [&](ChunkFields& f) { f.guid = other; })(w, c);
         }), nullptr, true, 1},
        {"side by side", encoded(cv::Mat(20, 40, CV_8UC3, cv::Scalar(5, 6, 7)), ".png"), nullptr},
        {"square picture", encoded(cv::Mat(32, 32, CV_8UC3), ".jpg"), "the image is 32 x 32, not a side-by-side pair"},
        {"extended XMP missing", vr180With([](Walk& w, Chunks& c) { w.segments.erase(w.segments.begin() + long(c[0])); }),
         "damaged VR180 photo: no extended XMP chunk"},
        {"wrong projection", vr180With(inStandard("equirectangular", "cylindrical")), "GPano:ProjectionType is \"cylindrical\""},
        {"right eye of another size", vr180With(rightEye(textOf(makeJpeg(16, 16, 3)))),
         "eyes are 32 x 32 (left) and 16 x 16 (right)"},
        {"right eye not a picture", vr180With(rightEye("\xFF\xD8\xFF\xE0 nothing")), "the right eye in the VR180 photo's XMP: it is a damaged JPEG"},
        {"right eye claiming 46340 x 23170", vr180With(rightEye(claimedJpeg(46340, 23170, 291))), "more than the limit of 200"},
        {"318-byte header claiming 46340 x 23170", claimedJpeg(46340, 23170, 291), "46340 x 23170 pixels"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto start = std::chrono::steady_clock::now();
        const StereoImage image = readStereoImage(put("stereo.jpg", c.bytes));
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
        EXPECT_EQ(image.ok(), !c.reason) << image.error;
        if (c.reason) {
            EXPECT_NE(image.error.find(c.reason), std::string::npos) << image.error;
            continue;
        }
        EXPECT_EQ(image.vr180, c.vr180);
        EXPECT_EQ(image.warnings.size(), c.warnings);
        EXPECT_EQ(image.sideBySide.cols, 2 * image.sideBySide.rows);
        if (c.vr180) {  // the eyes as the image library decodes them, side by side
            EXPECT_TRUE(samePixels(image.sideBySide.colRange(0, 32), cv::imdecode(left, cv::IMREAD_COLOR)));
            EXPECT_TRUE(samePixels(image.sideBySide.colRange(32, 64), cv::imdecode(right, cv::IMREAD_COLOR)));
        }
    }
    fs::create_directories(dir / "folder");
    EXPECT_NE(readStereoImage(dir / "folder").error.find("it is a folder"), std::string::npos);
}
