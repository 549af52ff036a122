// The conversion run: refusals and their messages in order, limits on what an
// input may cost, the points from the dialog's fields, and what reaches the disk.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "conversion/run.h"
#include "engine/lens.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;
using Messages = std::vector<std::string>;

namespace {

// The dialog's texts, spelled out: the run must show exactly these.
const std::string kSelectLens = "Select camera and lens", kBadPoints = "Enter the correct coordinates of A and B point",
                  kBadLeft = "Enter the valid left image file name", kBadRight = "Enter the valid right image file name",
                  kFinished = "Finished converting!!!";

// The bytes of a JPEG whose frame header claims width x height, over no real data.
std::string claimedJpeg(int width, int height) {
    const char frame[] = {'\xFF', '\xD8', '\xFF', '\xC0', 0, 11, 8, char(height >> 8), char(height & 0xFF),
                          char(width >> 8), char(width & 0xFF), 1, 1, 0x11, 0, '\xFF', '\xDA', 0, 8, 1, 1, 0, 0, 0x3F, 0};
    return std::string(frame, sizeof frame) + std::string(2000, '\x55') + "\xFF\xD9";
}

// A working directory with input/ and output/, a lens for each eye and points that pass the check.
class RunTest : public ScratchTest, public MessageSink {
public:  // the case tables below arrange the fixture directly
    void SetUp() override {
        ScratchTest::SetUp();
        reset();
    }
    void showMessage(const std::string& text) override { messages.push_back(text); }
    void reset() {
        fs::remove_all(dir);
        fs::create_directories(dir / "input"), fs::create_directories(dir / "output");
        request = ConversionRequest{};
        request.workingDirectory = dir;
        entry = PointEntry{};
        entry.boxes = {"100", "300", "110", "310", "200", "400", "205", "402"};
        for (LensSettings& lens : request.lenses) lens.name = "Test lens", lens.mappingKind = int32_t(MappingKind::Equisolid);
        request.outputHeight = 16;
        messages.clear();
    }
    void writeImage(const std::string& name, int width, int height, int seed = 1) {
        cv::Mat image(height, width, CV_8UC3);
        cv::setRNGSeed(seed);
        cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
        ASSERT_TRUE(cv::imwrite((dir / "input" / name).string(), image));
    }
    void writePair(int width = 64, int height = 48) { writeImage("L.jpg", width, height, 1), writeImage("R.jpg", width, height, 2); }
    ConversionResult run() {
        request.points = readPointEntry(entry);
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
        {"radius mode out of range ends silently", [](RunTest& t) { t.writePair(), t.request.lenses[1].radiusMode = 5; },
         S::InvalidLensCode, {}, nullptr},
        {"axis mode out of range ends silently", [](RunTest& t) { t.writePair(), t.request.lenses[1].axisMode = -1; },
         S::InvalidLensCode, {}, nullptr},
    };
    for (int k = 0; k < 8; ++k)  // the point check compares all eight coordinates: a change in any one passes it
        cases.push_back({"A and B identical but coordinate " + std::to_string(k), [k](RunTest& t) {
            t.entry.boxes = {"100", "300", "100", "300", "200", "400", "200", "400"}, t.entry.boxes[k] = "101"; },
            S::LeftImageInvalid, {kBadLeft}});
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.label);
        reset();
        c.arrange(*this);
        const auto start = std::chrono::steady_clock::now();
        const ConversionResult result = run();
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
    EXPECT_EQ(stderrText.find("Corrupt JPEG"), std::string::npos) << "the anonymous libjpeg line: " << stderrText;
}

TEST_F(RunTest, AGivenRotationReplacesThePoints) {
    writePair(120, 90);
    request.outputName = "rot.png";
    request.rotation = RotationMatrix{};
    entry.boxes = {"100", "300", "100", "300", "200", "400", "200", "400"};  // not needed: not checked
    ASSERT_EQ(run().status, ConversionStatus::Written);
    const cv::Mat out = cv::imread((dir / "output" / "rot.png").string());
    // Identical images would give identical halves; the inputs differ, so
    // compare the right half with a render of the right image as a left eye.
    request.lenses[0] = request.lenses[1];
    writeImage("L.jpg", 120, 90, 2);
    request.outputName = "ref.png";
    ASSERT_EQ(run().status, ConversionStatus::Written);
    const cv::Mat ref = cv::imread((dir / "output" / "ref.png").string());
    EXPECT_EQ(cv::norm(out.colRange(16, 32), ref.colRange(0, 16), cv::NORM_INF), 0.0);
}
