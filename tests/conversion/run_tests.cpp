// The conversion run: refusals and their messages in order, the per-eye
// derivation, the comma line, and what reaches the disk.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <fstream>
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

// A working directory with input/ and output/ under the test's temp area.
class RunTest : public ::testing::Test {
public:  // the case tables below arrange the fixture directly
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        dir = fs::temp_directory_path() / ("vistereo_run_" + name);
        fs::remove_all(dir);
        fs::create_directories(dir / "input");
        fs::create_directories(dir / "output");
        request.workingDirectory = dir;
        request.pointBoxes = {"100", "300", "110", "310", "200", "400", "205", "402"};
        for (int i = 0; i < 2; ++i) {
            params.eye[i].lensName = "Test lens";
            params.eye[i].mappingKind = kEquisolid;
        }
        params.outputHeight = 16;
    }
    void TearDown() override { fs::remove_all(dir); }

    void writeImage(const std::string& name, int width, int height, int seed = 1) {
        cv::Mat image(height, width, CV_8UC3);
        cv::setRNGSeed(seed);
        cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
        ASSERT_TRUE(cv::imwrite((dir / "input" / name).string(), image));
    }
    void writePair(int width = 64, int height = 48) {
        writeImage("L.jpg", width, height, 1);
        writeImage("R.jpg", width, height, 2);
    }
    ConversionResult run() { return RunConversion(params, request, sink, RunOptions{2, {}}); }
    std::vector<fs::path> outputFiles() const {
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(dir / "output")) files.push_back(e.path());
        return files;
    }

    fs::path dir;
    ConversionParams params;
    ConversionRequest request;
    RecordingSink sink;
};

using Messages = std::vector<std::string>;

// Refusals: each ends the run with the dialog's message (or our own for the
// cases the dialog would crash on) and writes nothing.
struct RefusalCase {
    const char* label;
    std::function<void(RunTest&)> arrange;
    ConversionStatus status;
    Messages messages;  // empty: compare only the count below
    size_t messageCount;
};

}  // namespace

TEST_F(RunTest, RefusalsShowTheirMessagesInOrderAndWriteNothing) {
    const std::vector<RefusalCase> cases = {
        {"no lens for either eye", [](RunTest& t) { t.params.eye[0].lensName.clear(); t.params.eye[1].lensName.clear(); },
         ConversionStatus::NoLensSelected, {kMsgSelectLens}, 1},
        {"no lens for the right eye", [](RunTest& t) { t.params.eye[1].lensName.clear(); },
         ConversionStatus::NoLensSelected, {kMsgSelectLens}, 1},
        {"untouched point boxes", [](RunTest& t) { t.request.pointBoxes = {}; },
         ConversionStatus::SamePoints, {kMsgBadPoints}, 1},
        {"A and B identical in both images",
         [](RunTest& t) { t.request.pointBoxes = {"100", "300", "100", "300", "200", "400", "200", "400"}; },
         ConversionStatus::SamePoints, {kMsgBadPoints}, 1},
        {"both images missing", [](RunTest&) {}, ConversionStatus::LeftImageInvalid, {kMsgBadLeftImage}, 1},
        {"right image missing", [](RunTest& t) { t.writeImage("L.jpg", 40, 30); },
         ConversionStatus::RightImageInvalid, {kMsgBadRightImage}, 1},
        {"left file is not an image",
         [](RunTest& t) {
             std::ofstream(t.dir / "input" / "L.jpg") << "not a picture";
             t.writeImage("R.jpg", 40, 30);
         },
         ConversionStatus::LeftImageInvalid, {kMsgBadLeftImage}, 1},
        {"comma line with seven values",
         [](RunTest& t) { t.request.pointEntryMode = kCommaSeparatedInput; t.request.commaLine = "1,2,3,4,5,6,7"; },
         ConversionStatus::CommaLineInvalid, {}, 1},
        {"output name without extension", [](RunTest& t) { t.writePair(); t.request.outputName = "LROut"; },
         ConversionStatus::OutputNameInvalid, {}, 1},
        {"empty output name", [](RunTest& t) { t.writePair(); t.request.outputName = ""; },
         ConversionStatus::OutputNameInvalid, {}, 1},
        {"unknown output extension", [](RunTest& t) { t.writePair(); t.request.outputName = "out.xyz"; },
         ConversionStatus::OutputNameInvalid, {}, 1},
        {"output height 0", [](RunTest& t) { t.writePair(); t.params.outputHeight = 0; },
         ConversionStatus::OutputHeightInvalid, {}, 1},
        {"output height beyond memory", [](RunTest& t) { t.writePair(); t.params.outputHeight = 2000000000; },
         ConversionStatus::OutputHeightInvalid, {}, 1},
        {"radius mode out of range ends silently", [](RunTest& t) { t.writePair(); t.params.eye[1].radiusMode = 5; },
         ConversionStatus::InvalidLensCode, {}, 0},
        {"mapping kind out of range ends silently", [](RunTest& t) { t.writePair(); t.params.eye[0].mappingKind = 4; },
         ConversionStatus::InvalidLensCode, {}, 0},
        {"axis mode out of range ends silently", [](RunTest& t) { t.writePair(); t.params.eye[1].axisMode = -1; },
         ConversionStatus::InvalidLensCode, {}, 0},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.label);
        TearDown();
        request = ConversionRequest{};
        params = ConversionParams{};
        sink.messages.clear();
        SetUp();
        c.arrange(*this);
        const ConversionResult result = run();
        EXPECT_EQ(result.status, c.status);
        EXPECT_FALSE(result.written());
        if (!c.messages.empty()) {
            EXPECT_EQ(sink.messages, c.messages);
        }
        EXPECT_EQ(sink.messages.size(), c.messageCount);
        for (const std::string& m : sink.messages) EXPECT_NE(m, kMsgFinished);
        EXPECT_TRUE(outputFiles().empty());
    }
}

TEST_F(RunTest, ChangingAnyOneCoordinateLetsTheRunGoOn) {
    for (int k = 0; k < 8; ++k) {
        SCOPED_TRACE(k);
        request.pointBoxes = {"100", "300", "100", "300", "200", "400", "200", "400"};
        request.pointBoxes[k] = "101";
        sink.messages.clear();
        EXPECT_EQ(run().status, ConversionStatus::LeftImageInvalid);  // past the point check
        EXPECT_EQ(sink.messages, Messages{kMsgBadLeftImage});
    }
}

TEST_F(RunTest, PointsComeFromTheChosenSourceAndStayAfterAnEarlyEnd) {
    request.pointEntryMode = kCommaSeparatedInput;
    request.commaLine = " 1, 2 ,3,20px,5,6,7,8,";
    request.pointBoxes = {"9", "9", "9", "9", "9", "9", "9", "9"};
    EXPECT_EQ(run().status, ConversionStatus::LeftImageInvalid);
    EXPECT_EQ(params.leftA, (ImagePoint{1, 5}));
    EXPECT_EQ(params.leftB, (ImagePoint{2, 6}));
    EXPECT_EQ(params.rightA, (ImagePoint{3, 7}));
    EXPECT_EQ(params.rightB, (ImagePoint{20, 8}));

    request.pointEntryMode = kSeparateInput;  // the comma line is ignored now
    request.commaLine = "garbage";
    request.pointBoxes = {"11", "12", "13", "14", "15", "16", "17", "x"};
    EXPECT_EQ(run().status, ConversionStatus::LeftImageInvalid);
    EXPECT_EQ(params.leftA, (ImagePoint{11, 15}));
    EXPECT_EQ(params.rightB, (ImagePoint{14, 0}));  // a box that is not a number reads as 0
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
        {"1,2,3,4,5,6,7", false, {}, "holds 7"},
        {"1,2,3,4,5,6,7,8,9", false, {}, "holds 9"},
        {"1,2,3,4,5,6,7,8,,", false, {}, "holds 9"},
        {",1,2,3,4,5,6,7", false, {}, "Value 1"},
        {"1,2,,4,5,6,7,8", false, {}, "Value 3"},
        {"1,2,3,4,5,6,7,px8", false, {}, "not an integer"},
        {"1,2,3,4,5,6,7,2147483648", false, {}, "32-bit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const CommaLineParse parsed = parseCommaLine(c.line);
        EXPECT_EQ(parsed.ok(), c.ok) << parsed.error;
        if (c.ok) {
            EXPECT_EQ(parsed.values, c.values);
        } else {
            EXPECT_NE(parsed.error.find(c.errorMentions), std::string::npos) << parsed.error;
        }
    }
}

TEST_F(RunTest, DerivesEachEyeFromItsImageAndLens) {
    struct Case {
        const char* label;
        int width, height;
        EyeParams lens;
        int32_t radius180, axisX, axisY;
        double sineK, mappingScale;
    };
    auto lens = [](int32_t radiusMode, double magnification, int32_t radiusDots, int32_t mappingKind, double k,
                   int32_t axisMode, int32_t ax, int32_t ay) {
        EyeParams e;
        e.lensName = "lens";
        e.radiusMode = radiusMode;
        e.magnification = magnification;
        e.radius180 = radiusDots;
        e.mappingKind = mappingKind;
        e.sineK = k;
        e.axisMode = axisMode;
        e.axisX = ax;
        e.axisY = ay;
        return e;
    };
    const Case cases[] = {
        {"circular", 3000, 2000, lens(0, 0, 0, 0, 0, 0, 0, 0), 1000, 1500, 1000, 1.0, 1.0},
        {"diagonal", 3000, 2000, lens(1, 0, 0, 1, 0, 0, 0, 0), 1802, 1500, 1000, 0.5, 1.41421},
        {"magnification", 3000, 2000, lens(2, 1.05, 0, 2, 0.5, 0, 0, 0), 1050, 1500, 1000, 0.5, 1.41421},
        {"odd size", 3001, 2001, lens(0, 0, 0, 2, 1.0, 0, 0, 0), 1000, 1500, 1000, 1.0, 1.0},
        {"dots and given axis", 3000, 2000, lens(3, 0, 777, 2, 0.7, 1, 1234, 987), 777, 1234, 987, 0.7, 1.12232},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        writeImage("L.png", c.width, c.height);
        writeImage("R.png", 50, 40);
        request.leftName = "L.png";
        request.rightName = "R.png";
        params.eye[0] = c.lens;
        params.outputHeight = 4;
        ASSERT_EQ(run().status, ConversionStatus::Written);
        const EyeParams& e = params.eye[0];
        EXPECT_EQ(e.imageWidth, c.width);
        EXPECT_EQ(e.imageHeight, c.height);
        EXPECT_EQ(e.radius180, c.radius180);
        EXPECT_EQ(e.axisX, c.axisX);
        EXPECT_EQ(e.axisY, c.axisY);
        EXPECT_DOUBLE_EQ(e.sineK, c.sineK);
        EXPECT_DOUBLE_EQ(e.mappingScale, c.mappingScale);
    }
}

TEST_F(RunTest, QuadraticLensGetsItsBoundsFromTheModel) {
    writePair(80, 60);
    EyeParams& e = params.eye[1];
    e.mappingKind = kQuadratic;
    e.theta1 = 0.5; e.theta2 = 1.0; e.theta3 = 1.3;
    e.a1 = -0.05; e.b1 = 0.7;
    e.a2 = -0.06; e.b2 = 0.705; e.c2 = -0.0025;
    e.a3 = -0.07; e.b3 = 0.725; e.c3 = -0.0125;
    e.a4 = -0.08; e.b4 = 0.751; e.c4 = -0.0294;
    ASSERT_EQ(run().status, ConversionStatus::Written);
    EXPECT_EQ(e.mappingScale, 1.0);
    EXPECT_EQ(e.radius1, lensRadius(params, 1, 0.5f));
    EXPECT_EQ(e.radius2, lensRadius(params, 1, 1.0f));
    EXPECT_EQ(e.radius3, lensRadius(params, 1, 1.3f));
    // Each bound belongs to the next segment.
    EXPECT_NEAR(e.radius1, 0.25 * -0.06 + 0.5 * 0.705 - 0.0025, 1e-6);
}

TEST_F(RunTest, LeftEyeKeepsItsDerivationWhenTheRightLensCodeIsBad) {
    writePair(64, 48);
    params.eye[1].radiusMode = 7;
    const ConversionResult result = run();
    EXPECT_EQ(result.status, ConversionStatus::InvalidLensCode);
    ASSERT_TRUE(result.invalidLensCode.has_value());
    EXPECT_EQ(result.invalidLensCode->eye, 1);
    EXPECT_EQ(result.invalidLensCode->field, "radiusMode");
    EXPECT_EQ(result.invalidLensCode->value, 7);
    EXPECT_EQ(params.eye[0].radius180, 24);
    EXPECT_EQ(params.eye[0].mappingScale, 0.0);  // the mapping step was never reached
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(RunTest, WritesTheSideBySideImageAndFinishes) {
    writePair(120, 90);
    params.outputHeight = 40;
    const ConversionResult result = run();
    ASSERT_EQ(result.status, ConversionStatus::Written) << result.detail;
    EXPECT_EQ(sink.messages, Messages{kMsgFinished});
    EXPECT_EQ(result.outputPath, fs::path(dir.string() + "/output/LROut.jpg"));
    const cv::Mat out = cv::imread(result.outputPath.string());
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.cols, 80);
    EXPECT_EQ(out.rows, 40);
    EXPECT_EQ(outputFiles().size(), 1u);  // no temporary file left beside it
}

TEST_F(RunTest, ASecondRunDerivesTheSameAndWritesTheSameBytes) {
    writePair(100, 80);
    request.outputName = "same.png";
    params.outputHeight = 32;
    params.eye[0].radiusMode = kDiagonalFisheye;
    ASSERT_EQ(run().status, ConversionStatus::Written);
    const ConversionParams first = params;
    std::ifstream a(dir / "output" / "same.png", std::ios::binary);
    const std::string firstBytes((std::istreambuf_iterator<char>(a)), {});
    ASSERT_EQ(run().status, ConversionStatus::Written);
    std::ifstream b(dir / "output" / "same.png", std::ios::binary);
    const std::string secondBytes((std::istreambuf_iterator<char>(b)), {});
    EXPECT_EQ(firstBytes, secondBytes);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(params.eye[i].radius180, first.eye[i].radius180);
        EXPECT_EQ(params.eye[i].axisX, first.eye[i].axisX);
        EXPECT_EQ(params.eye[i].mappingScale, first.eye[i].mappingScale);
    }
}

TEST_F(RunTest, AMissingOutputDirectoryStillFinishesButReportsNothingWritten) {
    writePair();
    fs::remove_all(dir / "output");
    const ConversionResult result = run();
    EXPECT_EQ(result.status, ConversionStatus::WriteFailed);
    EXPECT_EQ(sink.messages, Messages{kMsgFinished});
    EXPECT_FALSE(fs::exists(dir / "output"));
    EXPECT_FALSE(result.detail.empty());
}

TEST_F(RunTest, AFailedWriteLeavesAnExistingOutputIntact) {
    writePair();
    // The target is a non-empty directory: the rename over it must fail and
    // nothing else in output/ may change.
    fs::create_directories(dir / "output" / "LROut.jpg" / "keep");
    std::ofstream(dir / "output" / "LROut.jpg" / "keep" / "file.txt") << "precious";
    const ConversionResult result = run();
    EXPECT_EQ(result.status, ConversionStatus::WriteFailed);
    std::ifstream kept(dir / "output" / "LROut.jpg" / "keep" / "file.txt");
    std::string text;
    kept >> text;
    EXPECT_EQ(text, "precious");
    EXPECT_EQ(outputFiles().size(), 1u);
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
