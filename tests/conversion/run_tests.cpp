// The conversion run: refusals and their messages in order, limits on what an input may cost, the points from the
// dialog's fields, and what reaches the disk, read back independently: the VR180 photo (the VR180 reader for the
// eyes) and the camera's EXIF carried over (Exiv2).
#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "conversion/core.h"
#include "conversion/run.h"
#include "engine/lens.h"
#include "stereofile/vr180.h"
#include "tests/support/crafted_images.h"
#include "tests/support/conversion_test_support.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;
using namespace vistereo::conversiontest;
using Messages = std::vector<std::string>;

namespace {

// The dialog's texts, spelled out: the run must show exactly these.
const std::string kSelectLens = "Select camera and lens", kBadPoints = "Enter the correct coordinates of A and B point",
                  kBadLeft = "Enter the valid left image file name", kBadRight = "Enter the valid right image file name",
                  kFinished = "Finished converting!!!";

// A working directory with input/ and output/, a lens for each eye and points that pass the check.
class RunTest : public ScratchTest, public MessageSink {
public:  // the case tables below arrange the fixture directly
    void SetUp() override {
        ScratchTest::SetUp();
        reset();
    }
    void showMessage(const std::string& text) override { messages.push_back(text); }
    static ConversionRequest fresh() { return {}; }
    void reset() {
        fs::remove_all(dir);
        fs::create_directories(dir / "input"), fs::create_directories(dir / "output");
        request = fresh();
        request.workingDirectory = dir;
        entry = PointEntry{};
        entry.boxes = {"100", "300", "110", "310", "200", "400", "205", "402"};
        equisolidLenses(request);
        request.outputHeight = 16;
        messages.clear();
    }
    void writeImage(const std::string& name, int width, int height, int seed = 1) {
        writeNoise(dir / "input" / name, width, height, seed);
    }
    void writePair(int width = 64, int height = 48) { writeImage("L.jpg", width, height, 1), writeImage("R.jpg", width, height, 2); }
    ConversionResult run() {
        if (std::holds_alternative<PointsAB>(request.alignment)) request.alignment = PointsAB{entry};
        return RunConversion(request, *this, RunOptions{2, {}});
    }
    size_t outputFiles() const { return std::distance(fs::directory_iterator(dir / "output"), fs::directory_iterator()); }

    ConversionRequest request;
    PointEntry entry;
    Messages messages;
};

// Refusals: each ends the run with the dialog's message (or our own for the cases the dialog has none for, which
// mentions what is given) and writes nothing.
struct RefusalCase {
    std::string label;
    std::function<void(RunTest&)> arrange;
    ConversionStatus status;
    Messages messages;  // empty: one message of our own, or none with `mentions` null
    const char* mentions = "";
};

}  // namespace

TEST_F(RunTest, RefusalsShowTheirMessagesInOrderAndWriteNothing) {
    using S = ConversionStatus;
    std::vector<RefusalCase> cases = {
        {"no lens for either eye", [](RunTest& t) { t.request.lenses[0].name.clear(), t.request.lenses[1].name.clear(); },
         S::NoLensSelected, {kSelectLens}},
        {"no lens for the right eye, bad comma line too",
         [](RunTest& t) { t.request.lenses[1].name.clear(), t.entry.mode = kCommaSeparatedInput; }, S::NoLensSelected, {kSelectLens}},
        {"untouched point boxes", [](RunTest& t) { t.entry.boxes = {}; }, S::SamePoints, {kBadPoints}},
        {"A and B identical in both images",
         [](RunTest& t) { t.entry.boxes = {"100", "300", "100", "300", "200", "400", "200", "400"}; }, S::SamePoints, {kBadPoints}},
        {"both images missing", [](RunTest&) {}, S::LeftImageInvalid, {kBadLeft}},
        {"right image missing", [](RunTest& t) { t.writeImage("L.jpg", 40, 30); }, S::RightImageInvalid, {kBadRight}},
        {"left file is not an image", [](RunTest& t) { writeFile(t.dir / "input/L.jpg", "not a picture"), t.writeImage("R.jpg", 40, 30); },
         S::LeftImageInvalid, {kBadLeft}},
        {"comma line with seven values",
         [](RunTest& t) { t.entry.mode = kCommaSeparatedInput, t.entry.commaLine = "1,2,3,4,5,6,7"; }, S::CommaLineInvalid, {}, "holds 7"},
        {"right header claims 32000 x 32000",
         [](RunTest& t) { t.writeImage("L.jpg", 40, 30), writeFile(t.dir / "input/R.jpg", claimedJpeg(32000, 32000)); },
         S::InputTooLarge, {}, "R.jpg\" is 32000 x 32000 pixels (1024.0 megapixels)"},
        {"left over a lowered limit, right missing",
         [](RunTest& t) { t.writeImage("L.jpg", 200, 100), t.request.limits.maxMegapixels = 0.01; }, S::InputTooLarge, {},
         "limit of 0.01 megapixels"},
        {"output name without extension", [](RunTest& t) { t.writePair(), t.request.outputName = "LROut"; },
         S::OutputNameInvalid, {}, "LROut"},
        {"unknown output extension", [](RunTest& t) { t.writePair(), t.request.outputName = "out.xyz"; }, S::OutputNameInvalid, {}},
        {"output height 0", [](RunTest& t) { t.writePair(), t.request.outputHeight = 0; }, S::OutputHeightInvalid, {}},
        {"JPEG wider than 65500", [](RunTest& t) { t.writePair(), t.request.outputHeight = 33000; }, S::OutputHeightInvalid, {},
         "at most 32750"},
        {"WebP wider than 16383", [](RunTest& t) { t.writePair(), t.request.outputHeight = 8192, t.request.outputName = "x.webp"; },
         S::OutputHeightInvalid, {}, "at most 8191"},
        {"output height beyond memory",
         [](RunTest& t) { t.writePair(), t.request.outputHeight = 2000000000, t.request.outputName = "x.tif"; },
         S::OutputHeightInvalid, {}, "MiB"},
        {"axis mode out of range ends silently", [](RunTest& t) { t.writePair(), t.request.lenses[1].axisMode = -1; },
         S::InvalidLensCode, {}, nullptr},
        // An output that is an input is not written; the run closes as after any write that did not happen.
        {"output is a hard link to the right image", [](RunTest& t) {
             t.writePair(), fs::create_hard_link(t.dir / "input/R.jpg", t.dir / "h.jpg"), t.request.outputName = "../h.jpg"; },
         S::OutputRefused, {kFinished}},
        {"output is the lens registry", [](RunTest& t) {
             t.writePair(), writeFile(t.dir / "Vistereo.ini", "lenses"), t.request.outputName = "../Vistereo.ini.jpg";
             fs::create_symlink(t.dir / "Vistereo.ini", t.dir / "Vistereo.ini.jpg"); },
         S::OutputRefused, {kFinished}},
    };
    for (int k = 0; k < 8; ++k)  // the point check compares all eight coordinates: a change in any one passes it
        cases.push_back({"A and B identical but coordinate " + std::to_string(k), [k](RunTest& t) {
            t.entry.boxes = {"100", "300", "100", "300", "200", "400", "200", "400"}, t.entry.boxes[k] = "101"; },
            S::LeftImageInvalid, {kBadLeft}});
    const S kBeforeAlignment[] = {S::NoLensSelected, S::LeftImageInvalid, S::RightImageInvalid, S::InputTooLarge,
                                  S::InvalidLensCode};
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.label);
        reset();
        c.arrange(*this);
        const char* readFiles[] = {"input/L.jpg", "input/R.jpg", "Vistereo.ini"};
        std::vector<std::string> before;
        for (const char* file : readFiles) before.push_back(readFile(dir / file));
        const auto start = std::chrono::steady_clock::now();
        const ConversionResult result = run();
        for (size_t k = 0; k < before.size(); ++k) EXPECT_TRUE(readFile(dir / readFiles[k]) == before[k]) << readFiles[k];
        if (result.status == S::OutputRefused) {  // both files named
            EXPECT_NE(result.detail.find("the output \"" + result.outputPath.string() + "\" is the"), std::string::npos)
                << result.detail;
            EXPECT_NE(result.detail.find(dir.string()), result.detail.rfind(dir.string())) << result.detail;
        }
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0)
            << "a refusal must come before the costly work";
        EXPECT_EQ(result.status, c.status) << result.detail;
        EXPECT_FALSE(result.written());
        ASSERT_EQ(messages.size(), c.mentions ? 1u : 0u);
        if (!c.messages.empty()) {
            EXPECT_EQ(messages, c.messages);
        } else if (c.mentions) {
            EXPECT_NE(messages[0].find(c.mentions), std::string::npos) << messages[0];
        }
        EXPECT_EQ(outputFiles(), 0u);
        EXPECT_EQ(result.messages, messages);
        // With automatic alignment, what is refused before the pictures are aligned is refused alike, in the
        // same order, and nothing is aligned.
        const Messages first = std::exchange(messages, {});
        request.alignment = AutomaticAlignment{};
        const ConversionResult automatic = RunConversion(request, *this, {2, {}});
        if (c.status == S::CommaLineInvalid || c.status == S::SamePoints) {
            EXPECT_NE(automatic.status, result.status);  // the points play no part
        } else if (std::find(std::begin(kBeforeAlignment), std::end(kBeforeAlignment), c.status) !=
                   std::end(kBeforeAlignment)) {
            EXPECT_TRUE(automatic.status == result.status && automatic.detail == result.detail && messages == first);
            EXPECT_FALSE(automatic.aligned);
        }
    }
}

TEST(CommaLine, ParsesEightIntegersOrNamesTheProblem) {
    const struct { const char* line; std::array<int32_t, 8> values; const char* errorMentions; } cases[] = {
        {"1,2,3,4,5,6,7,8", {1, 2, 3, 4, 5, 6, 7, 8}, nullptr},
        {" 7 ,-2,+3,12px,5,6,7,8,", {7, -2, 3, 12, 5, 6, 7, 8}, nullptr},
        {"-2147483648,2147483647,0,0,0,0,0,0", {INT32_MIN, INT32_MAX, 0, 0, 0, 0, 0, 0}, nullptr},
        {"", {}, "holds 0"}, {"1,2,3,4,5,6,7,8,9", {}, "holds 9"}, {"1,2,3,4,5,6,7,8,,", {}, "holds 9"},
        {",1,2,3,4,5,6,7", {}, "Value 1"}, {"1,2,3,4,5,6,7,px8", {}, "not an integer"},
        {"1,2,3,4,5,6,7,2147483648", {}, "32-bit"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const CommaLineParse parsed = parseCommaLine(c.line);
        EXPECT_EQ(parsed.ok(), !c.errorMentions) << parsed.error;
        if (!c.errorMentions) EXPECT_EQ(parsed.values, c.values);
        else EXPECT_NE(parsed.error.find(c.errorMentions), std::string::npos) << parsed.error;
    }
}

TEST_F(RunTest, WritesTheSideBySideImageOnlyThroughACompleteFile) {
    writePair(120, 90);
    request.outputHeight = 40;
    const ConversionResult result = run();
    ASSERT_EQ(result.status, ConversionStatus::Written) << result.detail;
    EXPECT_EQ(messages, Messages{kFinished});
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_EQ(result.outputPath, fs::path(dir.string() + "/output/LROut.jpg"));
    EXPECT_EQ(cv::imread(result.outputPath.string()).size(), cv::Size(80, 40));
    EXPECT_EQ(outputFiles(), 1u);  // no temporary file left beside it

    // A target that cannot be replaced (a non-empty directory): "Finished" is still shown, nothing is written,
    // and what was there stays.
    fs::remove(result.outputPath);
    fs::create_directories(dir / "output/LROut.jpg/keep");
    writeFile(dir / "output/LROut.jpg/keep/file.txt", "precious");
    messages.clear();
    const ConversionResult failed = run();
    EXPECT_EQ(failed.status, ConversionStatus::WriteFailed);
    EXPECT_FALSE(failed.detail.empty());
    EXPECT_EQ(messages, Messages{kFinished});
    EXPECT_EQ(readFile(dir / "output/LROut.jpg/keep/file.txt"), "precious");
    EXPECT_EQ(outputFiles(), 1u);
}

namespace {

// Records the threads that allocate the decoded pictures' pixels. The first allocation waits a moment for a second
// one from another thread, so that a second reader, when there is one, surely takes the other picture.
class ReaderThreads : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step, cv::AccessFlag flags,
                           cv::UMatUsageFlags usage) const override {
        {
            std::unique_lock<std::mutex> guard(lock_);
            threads_.insert(std::this_thread::get_id());
            ++calls_;
            arrived_.notify_all();
            if (calls_ == 1) arrived_.wait_for(guard, std::chrono::milliseconds(500), [&] { return calls_ > 1; });
        }
        return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
    }
    bool allocate(cv::UMatData* u, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
        return cv::Mat::getStdAllocator()->allocate(u, flags, usage);
    }
    void deallocate(cv::UMatData* u) const override { cv::Mat::getStdAllocator()->deallocate(u); }
    std::set<std::thread::id> threads() const {
        std::lock_guard<std::mutex> guard(lock_);
        return threads_;
    }

private:
    mutable std::mutex lock_;
    mutable std::condition_variable arrived_;
    mutable std::set<std::thread::id> threads_;
    mutable int calls_ = 0;
};

}  // namespace

// The run renders its halves in bands while the encoder takes the finished rows: the file must still be the two
// halves rendered whole, as encoded by the image library, on one thread (no overlap) and on two, for JPEG at the
// default and a chosen quality and for PNG. The run's threads reach the decoders: one thread reads the pictures one
// after the other on the caller's own, two read them at once.
TEST_F(RunTest, TheFileIsTheWholeRenderAsTheImageLibraryEncodesIt) {
    writePair(300, 200);
    request.outputHeight = 300;  // five bands of rows: a JPEG's ring of four is written over
    request.alignment = PointsAB{entry};
    const InputImages images = readInputImages(request, 1);
    PreparedPair prepared;
    ASSERT_TRUE(preparePair(request, {300, 200}, {300, 200}, prepared).ok());
    cv::Mat canvas(300, 600, CV_8UC3);
    const HalfTarget right{&images.right.pixels, &canvas}, left{&images.left.pixels, &canvas};
    const RightEyeTurn turn = requestedTurn(request);
    renderHalves(Half::Right, prepared.geometry, turn, {&right, 1}, RunOptions{1, {}});
    renderHalves(Half::Left, prepared.geometry, turn, {&left, 1}, RunOptions{1, {}});

    const struct { const char* name; int quality; } cases[] = {{"o.jpg", 0}, {"o.jpg", 70}, {"o.png", 0}};
    for (const auto& c : cases)
        for (const int threads : {1, 2}) {
            SCOPED_TRACE(std::string(c.name) + " quality " + std::to_string(c.quality) + ", threads " + std::to_string(threads));
            request.outputName = c.name;
            request.jpegQuality = c.quality;
            request.alignment = PointsAB{entry};
            ReaderThreads readers;
            RunOptions options{threads, {}};
            options.pixelAllocator = &readers;
            ASSERT_TRUE(RunConversion(request, *this, options).written());
            EXPECT_EQ(readers.threads().size(), size_t(threads));
            if (threads == 1) { EXPECT_EQ(readers.threads().count(std::this_thread::get_id()), 1u); }
            const bool jpeg = std::string(c.name).ends_with(".jpg");
            std::vector<int> quality;
            if (jpeg && c.quality > 0) quality = {cv::IMWRITE_JPEG_QUALITY, c.quality};
            EXPECT_EQ(readFile(dir / "output" / c.name), encoded(canvas, jpeg ? ".jpg" : ".png", quality));
        }
}

TEST_F(RunTest, ATruncatedInputConvertsWithAWarningNamingTheFile) {
    writePair(160, 120);
    const std::string whole = readFile(dir / "input/R.jpg");
    writeFile(dir / "input/R.jpg", whole.substr(0, whole.size() * 2 / 3));
    ::testing::internal::CaptureStderr();
    const ConversionResult result = run();
    const std::string stderrText = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(result.status, ConversionStatus::Written) << result.detail;
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_NE(result.warnings[0].find("input/R.jpg\" is damaged"), std::string::npos) << result.warnings[0];
    EXPECT_EQ(stderrText, "") << "libjpeg's anonymous line";
}

// Orientation tags on one eye or on both: by default the output is the conversion of the pictures turned as the
// tags say (here turned independently, by cv::rotate, and handed over as PNG), with a warning naming each turned
// file and a stronger one when the eyes disagree; read as recorded, it is the untagged pair's output.
TEST_F(RunTest, OrientationTagsTurnTheInputsUnlessTheyAreIgnored) {
    cv::Mat pictures[2];
    std::string jpegs[2];
    for (int eye = 0; eye < 2; ++eye) {
        jpegs[eye] = encoded(noisePicture(64, 48, eye + 1), ".jpg");
        const std::vector<uchar> bytes(jpegs[eye].begin(), jpegs[eye].end());
        pictures[eye] = cv::imdecode(bytes, cv::IMREAD_COLOR);  // the pixels as stored
    }
    request.alignment = GivenRotation{};
    request.outputHeight = 32;
    const auto convert = [this](const char* left, const char* right, bool ignore, const char* output) {
        request.leftName = left, request.rightName = right, request.ignoreOrientation = ignore, request.outputName = output;
        const ConversionResult result = run();
        EXPECT_EQ(result.status, ConversionStatus::Written) << result.detail;
        return std::pair{readFile(dir / "output" / output), result.warnings};
    };
    writeFile(dir / "input/L.jpg", jpegs[0]), writeFile(dir / "input/R.jpg", jpegs[1]);
    const auto [untagged, untaggedWarnings] = convert("L.jpg", "R.jpg", false, "plain.png");
    EXPECT_TRUE(untaggedWarnings.empty()) << untaggedWarnings.front();
    const auto turned = [](const cv::Mat& image, int tag) {
        cv::Mat out = image.clone();
        if (tag != 1) cv::rotate(image, out, tag == 3 ? cv::ROTATE_180 : tag == 6 ? cv::ROTATE_90_CLOCKWISE : cv::ROTATE_90_COUNTERCLOCKWISE);
        return out;
    };
    for (const auto& [leftTag, rightTag] : {std::pair{3, 1}, {6, 1}, {8, 1}, {1, 6}, {3, 3}, {6, 6}, {8, 8}, {6, 8}}) {
        SCOPED_TRACE(std::to_string(leftTag) + "," + std::to_string(rightTag));
        writeFile(dir / "input/L.jpg", jpegWithOrientation(jpegs[0], leftTag));
        writeFile(dir / "input/R.jpg", jpegWithOrientation(jpegs[1], rightTag));
        ASSERT_TRUE(cv::imwrite((dir / "input/L.png").string(), turned(pictures[0], leftTag)));
        ASSERT_TRUE(cv::imwrite((dir / "input/R.png").string(), turned(pictures[1], rightTag)));
        const auto [tagged, warnings] = convert("L.jpg", "R.jpg", false, "tagged.png");
        EXPECT_TRUE(tagged == convert("L.png", "R.png", false, "expected.png").first);
        EXPECT_FALSE(tagged == untagged);
        const size_t turns = (leftTag != 1) + (rightTag != 1), disagree = leftTag != rightTag;
        ASSERT_EQ(warnings.size(), turns + disagree);
        const std::string named = "input/" + std::string(leftTag != 1 ? "L" : "R") + ".jpg\" carries the EXIF orientation " +
                                  std::to_string(leftTag != 1 ? leftTag : rightTag);
        EXPECT_NE(warnings[0].find(named), std::string::npos) << warnings[0];
        EXPECT_EQ(warnings.back().rfind("WARNING: the two eyes were read turned differently", 0) == 0, disagree) << warnings.back();
        const auto [recorded, none] = convert("L.jpg", "R.jpg", true, "recorded.png");
        EXPECT_TRUE(recorded == untagged);
        EXPECT_TRUE(none.empty());
    }
}

static std::string exifTag(const fs::path& file, const char* key) {
    auto image = Exiv2::ImageFactory::open(file.string());
    image->readMetadata();
    const auto it = image->exifData().findKey(Exiv2::ExifKey(key));
    return it == image->exifData().end() ? "" : it->toString();
}

TEST_F(RunTest, Vr180PhotoHoldsBothHalvesAndTheCamerasExifWhereAskedWithTheOrientationReset) {
    cv::Mat image(300, 400, CV_8UC3);  // smooth, so that the halves survive JPEG; the right told apart from the left
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x) image.at<cv::Vec3b>(y, x) = cv::Vec3b(x % 200 + 30, y % 180 + 40, (x + y) % 150 + 50);
    ASSERT_TRUE(cv::imwrite((dir / "input/L.jpg").string(), image) && cv::imwrite((dir / "input/R.jpg").string(), 255 - image));
    request.alignment = GivenRotation{};  // the points play no part here
    request.outputHeight = 64;
    const auto runAs = [this](const char* name) { return request.outputName = name, run(); };
    const auto readPhoto = [this](const char* name) {
        const std::string photo = readFile(dir / "output" / name);
        return media::readVr180Jpeg(std::vector<uint8_t>(photo.begin(), photo.end()));
    };
    ASSERT_EQ(runAs("pair.png").status, ConversionStatus::Written);
    const ConversionResult vr = runAs("Pair.VR.jpg");
    ASSERT_EQ(vr.status, ConversionStatus::Written) << vr.detail;
    EXPECT_EQ(vr.notes.size(), 1u) << "the input has no EXIF to carry over";
    const media::Vr180ReadResult read = readPhoto("Pair.VR.jpg");
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_TRUE(read.pano.croppedAreaImageWidthPixels == 64 && read.pano.fullPanoWidthPixels == 128);
    const cv::Mat sideBySide = cv::imread((dir / "output/pair.png").string());
    const cv::Mat halves[2] = {cv::imdecode(read.leftJpeg, cv::IMREAD_COLOR), cv::imdecode(read.rightJpeg, cv::IMREAD_COLOR)};
    for (int eye = 0; eye < 2; ++eye) {
        ASSERT_TRUE(halves[eye].rows == 64 && halves[eye].cols == 64) << eye;
        EXPECT_GT(cv::PSNR(halves[eye], sideBySide.colRange(64 * eye, 64 * (eye + 1))), 25.0) << eye;
    }

    for (const int n : {1, 33}) {  // the smallest eye and an odd one
        SCOPED_TRACE(n);
        request.outputHeight = n;
        ASSERT_EQ(runAs("tiny.vr.jpg").status, ConversionStatus::Written);
        const media::Vr180ReadResult t = readPhoto("tiny.vr.jpg");
        ASSERT_TRUE(t.ok()) << t.error;
        EXPECT_TRUE(t.pano.croppedAreaImageWidthPixels == n && t.pano.croppedAreaLeftPixels == n / 2);
        EXPECT_EQ(cv::imdecode(t.rightJpeg, cv::IMREAD_COLOR).size(), cv::Size(n, n));
    }
    request.outputHeight = 64;

    // A camera's EXIF on the left input: kept in a JPEG when asked, always in a VR180 photo, never in a PNG.
    auto exif = Exiv2::ImageFactory::open((dir / "input/L.jpg").string());
    exif->readMetadata();
    exif->exifData()["Exif.Image.Make"] = "Rigmaker";
    exif->exifData()["Exif.Photo.DateTimeOriginal"] = "2026:11:30 10:11:12";
    exif->exifData()["Exif.Image.Orientation"] = uint16_t(6);
    exif->writeMetadata();
    const struct { const char* name; bool keepExif; const char* make; const char* width; } cases[] = {
        {"plain.jpg", false, "", ""}, {"kept.jpg", true, "Rigmaker", "128"}, {"photo.vr.jpg", false, "Rigmaker", "64"},
        {"kept.png", true, nullptr, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        request.keepExif = c.keepExif;
        const ConversionResult result = runAs(c.name);
        ASSERT_EQ(result.status, ConversionStatus::Written) << result.detail;
        EXPECT_TRUE(result.notes.empty()) << result.notes.front();
        if (!c.make) continue;  // no EXIF in a PNG
        const auto file = dir / "output" / c.name;
        EXPECT_EQ(exifTag(file, "Exif.Image.Make"), c.make);
        EXPECT_EQ(exifTag(file, "Exif.Photo.PixelXDimension"), c.width);
        if (!*c.make) continue;
        EXPECT_EQ(exifTag(file, "Exif.Photo.DateTimeOriginal"), "2026:11:30 10:11:12");
        EXPECT_EQ(exifTag(file, "Exif.Image.Orientation"), "1");
        EXPECT_EQ(exifTag(file, "Exif.Image.Software"), "Vistereo 1.3");
    }
    // A VR180 photo's primary image is one eye wide, so JPEG's 65500 limits its height, not half of it.
    EXPECT_FALSE(checkOutput("x.jpg", 32751).ok());
    EXPECT_TRUE(checkOutput("x.vr.jpg", 32751).ok());
    const RunStep tooHigh = checkOutput("x.vr.jpg", 65501);
    ASSERT_FALSE(tooHigh.ok());
    EXPECT_EQ(tooHigh.status, ConversionStatus::OutputHeightInvalid);
    EXPECT_NE(tooHigh.detail.find("so the height can be at most 65500."), std::string::npos) << tooHigh.detail;
}

// Points A and B no picture or lens can have: outside their picture, exactly on the lens's axis (where the turn
// has no direction to take), beyond the image circle. The desktop's prescribed run renders them, as it always did,
// closes with its message and names them in the result; a run that refuses them (the command line and the
// additions) ends before anything is rendered, naming the point, the picture and why, and writes nothing. A lens
// value no lens has goes the same two ways.
TEST_F(RunTest, ImpossiblePointsAreRefusedWhereAskedAndNamedWhereTheRunGoesOn) {
    const struct { const char* label; std::array<const char*, 8> boxes; const char* named; } cases[] = {
        {"a point far outside its picture", {"5000", "40", "20", "40", "30", "30", "20", "30"},
         "point A of the left picture (5000, 30) lies outside that picture (64 x 48)"},
        {"a point below its picture", {"20", "40", "20", "40", "30", "30", "20", "48"},
         "point B of the right picture (40, 48) lies outside that picture (64 x 48)"},
        {"a point on the optical axis", {"32", "40", "20", "40", "24", "30", "20", "30"},
         "point A of the left picture (32, 24) lies exactly on the optical axis of the left lens \"Test lens\""},
        {"a point beyond the image circle", {"20", "40", "1", "40", "30", "30", "1", "30"},
         "point A of the right picture (1, 1) lies outside the image circle of the right lens \"Test lens\""},
    };
    for (const auto& c : cases)
        for (const bool refuse : {false, true}) {
            SCOPED_TRACE(std::string(c.label) + (refuse ? ", refused" : ", prescribed"));
            reset();
            writePair();
            for (int k = 0; k < 8; ++k) entry.boxes[k] = c.boxes[k];
            request.refuseImpossiblePoints = refuse;
            const ConversionResult result = run();
            if (refuse) {
                EXPECT_EQ(result.status, ConversionStatus::ImpossiblePoint);
                EXPECT_NE(result.detail.find(c.named), std::string::npos) << result.detail;
                EXPECT_EQ(messages, Messages{result.detail});  // said as the run's own refusals are
                EXPECT_EQ(outputFiles(), 0u);
            } else {
                EXPECT_EQ(result.status, ConversionStatus::Written);
                EXPECT_EQ(messages, Messages{kFinished});
                ASSERT_FALSE(result.impossiblePoints.empty());
                EXPECT_NE(result.impossiblePoints.front().find(c.named), std::string::npos) << result.impossiblePoints.front();
            }
        }
    // Points within the pictures and circles: nothing to say.
    reset();
    writePair();
    entry.boxes = {"20", "40", "22", "41", "20", "30", "21", "31"};
    request.refuseImpossiblePoints = true;
    ConversionResult result = run();
    EXPECT_EQ(result.status, ConversionStatus::Written) << result.detail;
    EXPECT_TRUE(result.impossiblePoints.empty() && result.impossibleLenses.empty());
    // A magnification that is no number (the registration dialog stores what is typed) reads as 0.
    request.lenses[1].radiusMode = static_cast<int32_t>(RadiusMode::Magnification);
    request.lenses[1].magnification = 0.0;
    request.refuseImpossibleLenses = request.refuseImpossiblePoints = false;  // the prescribed run
    result = run();
    EXPECT_EQ(result.status, ConversionStatus::Written) << result.detail;
    ASSERT_EQ(result.impossibleLenses.size(), 1u);
    EXPECT_EQ(result.impossibleLenses[0].eye, 1);
    EXPECT_EQ(result.impossibleLenses[0].problem.field, "magnification");
    request.refuseImpossibleLenses = true;
    result = run();
    EXPECT_EQ(result.status, ConversionStatus::ImpossibleLens);
    EXPECT_NE(result.detail.find("the right lens \"Test lens\": magnification is 0"), std::string::npos) << result.detail;
}
