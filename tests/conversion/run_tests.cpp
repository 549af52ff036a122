// The conversion run: refusals and their messages in order, limits on what an
// input may cost, the points from the dialog's fields, and what reaches the disk.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "conversion/run.h"
#include "engine/lens.h"

namespace fs = std::filesystem;
using namespace vistereo;

namespace {

class RecordingSink : public MessageSink {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }
    std::vector<std::string> messages;
};

std::string readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The bytes of a JPEG whose frame header claims width x height, over no real data.
std::string claimedJpeg(int width, int height) {
    std::string b = "\xFF\xD8\xFF\xC0";
    b += std::string("\x00\x0B\x08", 3);
    b += static_cast<char>(height >> 8), b += static_cast<char>(height & 0xFF);
    b += static_cast<char>(width >> 8), b += static_cast<char>(width & 0xFF);
    b += std::string("\x01\x01\x11\x00", 4);
    b += "\xFF\xDA";
    b += std::string("\x00\x08\x01\x01\x00\x00\x3F\x00", 8);
    b += std::string(2000, '\x55');
    return b + "\xFF\xD9";
}

// A working directory with input/ and output/ under the test's temp area.
class RunTest : public ::testing::Test {
public:  // the case tables below arrange the fixture directly
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        dir = fs::temp_directory_path() / ("vistereo_run_" + name);
        reset();
    }
    void reset() {
        fs::remove_all(dir);
        fs::create_directories(dir / "input");
        fs::create_directories(dir / "output");
        request = ConversionRequest{};
        request.workingDirectory = dir;
        entry = PointEntry{};
        entry.boxes = {"100", "300", "110", "310", "200", "400", "205", "402"};
        for (LensSettings& lens : request.lenses) {
            lens.name = "Test lens";
            lens.mappingKind = static_cast<int32_t>(MappingKind::Equisolid);
        }
        request.outputHeight = 16;
        sink.messages.clear();
    }
    void TearDown() override { fs::remove_all(dir); }

    void writeImage(const std::string& name, int width, int height, int seed = 1) {
        cv::Mat image(height, width, CV_8UC3);
        cv::setRNGSeed(seed);
        cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
        ASSERT_TRUE(cv::imwrite((dir / "input" / name).string(), image));
    }
    void writeFile(const std::string& name, const std::string& bytes) {
        std::ofstream(dir / "input" / name, std::ios::binary) << bytes;
    }
    void writePair(int width = 64, int height = 48) {
        writeImage("L.jpg", width, height, 1);
        writeImage("R.jpg", width, height, 2);
    }
    ConversionResult run() {
        request.points = readPointEntry(entry);
        return RunConversion(request, sink, RunOptions{2, {}});
    }
    std::vector<fs::path> outputFiles() const {
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(dir / "output")) files.push_back(e.path());
        return files;
    }

    fs::path dir;
    ConversionRequest request;
    PointEntry entry;
    RecordingSink sink;
};

using Messages = std::vector<std::string>;

// Refusals: each ends the run with the dialog's message (or our own for the
// cases the dialog has none for) and writes nothing.
struct RefusalCase {
    const char* label;
    std::function<void(RunTest&)> arrange;
    ConversionStatus status;
    Messages messages;          // empty: compare only the count below
    size_t messageCount;
    const char* mentions = "";  // in the one message, when it is our own
};

}  // namespace

TEST_F(RunTest, RefusalsShowTheirMessagesInOrderAndWriteNothing) {
    const std::vector<RefusalCase> cases = {
        {"no lens for either eye", [](RunTest& t) { t.request.lenses[0].name.clear(); t.request.lenses[1].name.clear(); },
         ConversionStatus::NoLensSelected, {kMsgSelectLens}, 1},
        {"no lens for the right eye, bad comma line too",
         [](RunTest& t) { t.request.lenses[1].name.clear(); t.entry.mode = kCommaSeparatedInput; },
         ConversionStatus::NoLensSelected, {kMsgSelectLens}, 1},
        {"untouched point boxes", [](RunTest& t) { t.entry.boxes = {}; }, ConversionStatus::SamePoints, {kMsgBadPoints}, 1},
        {"A and B identical in both images",
         [](RunTest& t) { t.entry.boxes = {"100", "300", "100", "300", "200", "400", "200", "400"}; },
         ConversionStatus::SamePoints, {kMsgBadPoints}, 1},
        {"both images missing", [](RunTest&) {}, ConversionStatus::LeftImageInvalid, {kMsgBadLeftImage}, 1},
        {"right image missing", [](RunTest& t) { t.writeImage("L.jpg", 40, 30); },
         ConversionStatus::RightImageInvalid, {kMsgBadRightImage}, 1},
        {"left file is not an image",
         [](RunTest& t) { t.writeFile("L.jpg", "not a picture"); t.writeImage("R.jpg", 40, 30); },
         ConversionStatus::LeftImageInvalid, {kMsgBadLeftImage}, 1},
        {"comma line with seven values",
         [](RunTest& t) { t.entry.mode = kCommaSeparatedInput; t.entry.commaLine = "1,2,3,4,5,6,7"; },
         ConversionStatus::CommaLineInvalid, {}, 1, "holds 7"},
        {"right header claims 32000 x 32000",
         [](RunTest& t) { t.writeImage("L.jpg", 40, 30); t.writeFile("R.jpg", claimedJpeg(32000, 32000)); },
         ConversionStatus::InputTooLarge, {}, 1, "R.jpg\" is 32000 x 32000 pixels (1024.0 megapixels)"},
        {"left over a lowered limit, right missing",
         [](RunTest& t) { t.writeImage("L.jpg", 200, 100); t.request.limits.maxMegapixels = 0.01; },
         ConversionStatus::InputTooLarge, {}, 1, "limit of 0.01 megapixels"},
        {"output name without extension", [](RunTest& t) { t.writePair(); t.request.outputName = "LROut"; },
         ConversionStatus::OutputNameInvalid, {}, 1, "LROut"},
        {"unknown output extension", [](RunTest& t) { t.writePair(); t.request.outputName = "out.xyz"; },
         ConversionStatus::OutputNameInvalid, {}, 1},
        {"output height 0", [](RunTest& t) { t.writePair(); t.request.outputHeight = 0; },
         ConversionStatus::OutputHeightInvalid, {}, 1},
        {"JPEG wider than 65500", [](RunTest& t) { t.writePair(); t.request.outputHeight = 33000; },
         ConversionStatus::OutputHeightInvalid, {}, 1, "at most 32750"},
        {"WebP wider than 16383",
         [](RunTest& t) { t.writePair(); t.request.outputHeight = 8192; t.request.outputName = "x.webp"; },
         ConversionStatus::OutputHeightInvalid, {}, 1, "at most 8191"},
        {"output height beyond memory",
         [](RunTest& t) { t.writePair(); t.request.outputHeight = 2000000000; t.request.outputName = "x.tif"; },
         ConversionStatus::OutputHeightInvalid, {}, 1, "MiB"},
        {"radius mode out of range ends silently", [](RunTest& t) { t.writePair(); t.request.lenses[1].radiusMode = 5; },
         ConversionStatus::InvalidLensCode, {}, 0},
        {"axis mode out of range ends silently", [](RunTest& t) { t.writePair(); t.request.lenses[1].axisMode = -1; },
         ConversionStatus::InvalidLensCode, {}, 0},
    };
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
        if (!c.messages.empty()) EXPECT_EQ(sink.messages, c.messages);
        ASSERT_EQ(sink.messages.size(), c.messageCount);
        if (c.messageCount) EXPECT_NE(sink.messages[0].find(c.mentions), std::string::npos) << sink.messages[0];
        EXPECT_TRUE(outputFiles().empty());
    }
}

TEST_F(RunTest, PointsComeFromTheChosenFieldsAndAnyChangedCoordinatePassesTheCheck) {
    entry.mode = kCommaSeparatedInput;
    entry.commaLine = " 1, 2 ,3,20px,5,6,7,8,";
    entry.boxes = {"9", "9", "9", "9", "9", "9", "9", "9"};
    EXPECT_EQ(readPointEntry(entry).points, (PointSet{{1, 5}, {2, 6}, {3, 7}, {20, 8}}));
    entry.mode = kSeparateInput;  // the comma line is ignored now
    entry.commaLine = "garbage";
    entry.boxes = {"11", "12", "13", "14", "15", "16", "17", "x"};  // a box that is not a number reads as 0
    EXPECT_EQ(readPointEntry(entry).points, (PointSet{{11, 15}, {12, 16}, {13, 17}, {14, 0}}));

    for (int k = 0; k < 8; ++k) {
        SCOPED_TRACE(k);
        entry.boxes = {"100", "300", "100", "300", "200", "400", "200", "400"};
        entry.boxes[k] = "101";
        sink.messages.clear();
        EXPECT_EQ(run().status, ConversionStatus::LeftImageInvalid);  // past the point check
        EXPECT_EQ(sink.messages, Messages{kMsgBadLeftImage});
    }
}

TEST(CommaLine, ParsesEightIntegersOrNamesTheProblem) {
    struct Case {
        const char* line;
        bool ok;
        std::array<int32_t, 8> values;
        const char* errorMentions;
    };
    const Case cases[] = {
        {"1,2,3,4,5,6,7,8", true, {1, 2, 3, 4, 5, 6, 7, 8}, ""},
        {" 7 ,-2,+3,12px,5,6,7,8,", true, {7, -2, 3, 12, 5, 6, 7, 8}, ""},
        {"-2147483648,2147483647,0,0,0,0,0,0", true, {INT32_MIN, INT32_MAX, 0, 0, 0, 0, 0, 0}, ""},
        {"", false, {}, "holds 0"},
        {"1,2,3,4,5,6,7,8,9", false, {}, "holds 9"},
        {"1,2,3,4,5,6,7,8,,", false, {}, "holds 9"},
        {",1,2,3,4,5,6,7", false, {}, "Value 1"},
        {"1,2,3,4,5,6,7,px8", false, {}, "not an integer"},
        {"1,2,3,4,5,6,7,2147483648", false, {}, "32-bit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const CommaLineParse parsed = parseCommaLine(c.line);
        EXPECT_EQ(parsed.ok(), c.ok) << parsed.error;
        if (c.ok) EXPECT_EQ(parsed.values, c.values);
        else EXPECT_NE(parsed.error.find(c.errorMentions), std::string::npos) << parsed.error;
    }
}

TEST_F(RunTest, EachEyeIsPreparedFromItsOwnImageAndTheLeftStaysWhenTheRightCodeIsBad) {
    writeImage("L.png", 3001, 2001);
    writeImage("R.jpg", 50, 40);
    request.leftName = "L.png";
    request.lenses[1].radiusMode = static_cast<int32_t>(RadiusMode::DiagonalFisheye);
    request.outputHeight = 4;
    ConversionResult result = run();
    ASSERT_EQ(result.status, ConversionStatus::Written);
    EXPECT_TRUE(result.eyes[0].imageWidth == 3001 && result.eyes[0].radius180 == 1000 && result.eyes[0].axisX == 1500);
    EXPECT_TRUE(result.eyes[1].imageHeight == 40 && result.eyes[1].radius180 == 32);

    request.lenses[1].radiusMode = 7;
    result = run();
    EXPECT_EQ(result.status, ConversionStatus::InvalidLensCode);
    ASSERT_TRUE(result.invalidLensCode.has_value());
    EXPECT_TRUE(result.invalidLensCode->eye == 1 && result.invalidLensCode->value == 7);
    EXPECT_STREQ(result.invalidLensCode->field, "radiusMode");
    EXPECT_EQ(result.eyes[0].radius180, 1000);
    EXPECT_EQ(result.eyes[0].mappingScale, 0.0);  // the mapping step was never reached
    EXPECT_EQ(sink.messages, Messages{kMsgFinished});  // the first run's only
}

TEST_F(RunTest, WritesTheSideBySideImageOnlyThroughACompleteFile) {
    writePair(120, 90);
    request.outputHeight = 40;
    const ConversionResult result = run();
    ASSERT_EQ(result.status, ConversionStatus::Written) << result.detail;
    EXPECT_EQ(sink.messages, Messages{kMsgFinished});
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_EQ(result.outputPath, fs::path(dir.string() + "/output/LROut.jpg"));
    const cv::Mat out = cv::imread(result.outputPath.string());
    EXPECT_TRUE(out.cols == 80 && out.rows == 40);
    EXPECT_EQ(outputFiles().size(), 1u);  // no temporary file left beside it

    // A target that cannot be replaced (a non-empty directory): "Finished" is
    // still shown, nothing is written, and what was there stays.
    fs::remove(result.outputPath);
    fs::create_directories(dir / "output" / "LROut.jpg" / "keep");
    std::ofstream(dir / "output" / "LROut.jpg" / "keep" / "file.txt") << "precious";
    sink.messages.clear();
    const ConversionResult failed = run();
    EXPECT_EQ(failed.status, ConversionStatus::WriteFailed);
    EXPECT_FALSE(failed.detail.empty());
    EXPECT_EQ(sink.messages, Messages{kMsgFinished});
    EXPECT_EQ(readBytes(dir / "output" / "LROut.jpg" / "keep" / "file.txt"), "precious");
    EXPECT_EQ(outputFiles().size(), 1u);
}

TEST_F(RunTest, ATruncatedInputConvertsWithAWarningNamingTheFile) {
    writePair(160, 120);
    const std::string whole = readBytes(dir / "input" / "R.jpg");
    writeFile("R.jpg", whole.substr(0, whole.size() * 2 / 3));
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

TEST_F(RunTest, InputNamesStayBelowTheInputDirectory) {
    fs::create_directories(dir / "input" / "sub");
    writeImage("sub/left.png", 60, 40);
    writeImage("R.jpg", 60, 40);
    request.leftName = "sub/left.png";
    EXPECT_EQ(run().status, ConversionStatus::Written);
    request.leftName = (dir / "input" / "sub" / "left.png").string();  // absolute: still under input/
    sink.messages.clear();
    EXPECT_EQ(run().status, ConversionStatus::LeftImageInvalid);
}
