// Where outputs may go: file arguments as paths, outputs compared with the
// files a run reads by identity however they are spelt, writability, the
// players' names, whether an existing output is complete, and batches that
// take turns on an output another run holds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "batch/batch.h"
#include "conversion/output_claim.h"
#include "stereofile/output_formats.h"
#include "conversion/output_target.h"
#include "tests/support/conversion_test_support.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;
using namespace vistereo::conversiontest;

namespace {

// shoot/ with input/L.jpg, input/R.jpg, Vistereo.ini and output/; `away/` beside it lies outside.
class OutputRoomTest : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        for (const char* sub : {"shoot/input/left", "shoot/output", "away"}) fs::create_directories(dir / sub);
        for (const char* file : {"shoot/input/L.jpg", "shoot/input/R.jpg", "shoot/Vistereo.ini"}) writeFile(dir / file, file);
    }
    OutputRoom room() const {
        OutputRoom r;
        r.protect(dir / "shoot/input/L.jpg", "the left image");
        r.protect(dir / "shoot/input/R.jpg", "the right image");
        r.protect(dir / "shoot/Vistereo.ini", "the lens registry");
        r.protectFolder(dir / "shoot/input/left", "the left image folder");
        r.keepWithin(dir / "shoot/output", "allow it with the option");
        return r;
    }
    void makeImage(const fs::path& file, int width, int height) {
        cv::Mat image(height, width, CV_8UC3, cv::Scalar(40, 90, 200));
        ASSERT_TRUE(cv::imwrite(file.string(), image));
    }
};

}  // namespace

TEST(OutputNames, ArgumentsAreBareNamesInTheirFolderOrPathsAsGiven) {
    const struct { const char* argument; const char* path; } cases[] = {
        {"L.jpg", "wd/input/L.jpg"}, {"./L.jpg", "./L.jpg"}, {"shoot/L.jpg", "shoot/L.jpg"},
        {"/abs/L.jpg", "/abs/L.jpg"}, {"../L.jpg", "../L.jpg"}, {"..", "wd/input/.."}};
    for (const auto& c : cases) EXPECT_EQ(argumentPath(c.argument, "wd/input").generic_string(), c.path) << c.argument;
}

TEST(OutputNames, ThePlayersSuffixKeepsAVr180PhotoOne) {
    const struct { const char* name; const char* suffixed; } cases[] = {
        {"shoot.jpg", "shoot_180_LR.jpg"}, {"x.vr.jpg", "x_180_LR.vr.jpg"}, {"X.VR.JPG", "X_180_LR.VR.JPG"},
        {"out/a.b/pair.png", "out/a.b/pair_180_LR.png"}, {"dir.v/noext", "dir.v/noext_180_LR"}};
    for (const auto& c : cases) {
        EXPECT_EQ(withVrSuffix(c.name), c.suffixed) << c.name;
        EXPECT_EQ(isVr180Name(withVrSuffix(c.name)), isVr180Name(c.name)) << c.name;
    }
}

// Every format of the table, picked by its name, written from a canvas and read back through its own reader:
// the VR180 photo is found before the plain JPEG its name also is, each eye lands in its half, a lossless
// format gives the canvas back bit for bit, and the width an output needs follows the eyes one image holds.
class FormatTest : public ScratchTest {};
TEST_F(FormatTest, EachFormatIsReadBackAsTheCanvasItWasWrittenFrom) {
    cv::Mat canvas(64, 128, CV_8UC3);  // smooth, the right half told apart from the left
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 128; ++x)
            canvas.at<cv::Vec3b>(y, x) = x < 64 ? cv::Vec3b(2 * x + 40, 3 * y + 20, 90) : cv::Vec3b(200, 2 * y, x);
    const struct { const char* name; bool vr180; bool lossless; } cases[] = {
        {"pair.png", false, true}, {"pair.jpg", false, false}, {"pair.vr.jpg", true, false},
        {"PAIR.VR.JPG", true, false}, {"pair.tif", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const OutputFormat& format = outputFormatOf(c.name);
        EXPECT_EQ(format.name, c.vr180 ? "VR180 photo" : "side-by-side image");
        EXPECT_EQ(outputImageWidth(c.name, 1000), c.vr180 ? 1000 : 2000);
        const EncodedOutput encoded = format.encode({c.name, 95, false, dir / "none.jpg", {}, 1}, canvas);
        ASSERT_FALSE(encoded.bytes.empty());
        writeFile(dir / c.name, std::string(encoded.bytes.begin(), encoded.bytes.end()));
        const StereoImage read = format.read(dir / c.name, {});
        ASSERT_TRUE(read.ok()) << read.error;
        EXPECT_EQ(read.vr180, c.vr180);
        ASSERT_EQ(read.sideBySide.size(), canvas.size());
        const double worst = cv::norm(read.sideBySide, canvas, cv::NORM_INF);
        if (c.lossless) EXPECT_EQ(worst, 0.0);
        else EXPECT_LT(worst, 40.0);  // JPEG's loss, far below the halves' difference
    }
}

// Each case admits its outputs in order; the last one is refused with the text named, or admitted ("").
TEST_F(OutputRoomTest, AnOutputNeverReplacesAnInputOrAnotherOutputHoweverItIsSpelt) {
    const fs::path shoot = dir / "shoot", out = dir / "shoot/output";
    const std::function<void()> none = [] {};
    const struct { const char* label; std::function<void()> arrange; std::vector<fs::path> outputs; const char* refusal; } cases[] = {
        {"the left image itself", none, {shoot / "input/L.jpg"}, "is the left image"},
        {"through ..", none, {out / "../input/L.jpg"}, "is the left image"},
        {"through a relative path from elsewhere", none, {dir / "away/../shoot/input/R.jpg"}, "is the right image"},
        {"a symbolic link onto the right image", [&] { fs::create_symlink(shoot / "input/R.jpg", out / "link.jpg"); },
         {out / "link.jpg"}, "is the right image"},
        {"a hard link to the left image", [&] { fs::create_hard_link(shoot / "input/L.jpg", out / "hard.jpg"); },
         {out / "hard.jpg"}, "is the left image"},
        {"through a linked folder", [&] { fs::create_directory_symlink(shoot / "input", out / "in"); },
         {out / "in/L.jpg"}, "is the left image"},
        {"a hard link to the lens registry", [&] { fs::create_hard_link(shoot / "Vistereo.ini", out / "lenses.jpg"); },
         {out / "lenses.jpg"}, "is the lens registry"},
        {"two spellings of one new output", [&] { fs::create_directory_symlink(".", out / "here"); },
         {out / "same.jpg", out / "here/same.jpg"}, "the first result would be lost"},
        {"an absolute and a relative spelling", none, {out / "a.jpg", fs::relative(out / "a.jpg")}, "is another output"},
        {"through a folder still to be made", none, {out / "b.jpg", out / "new/../b.jpg"}, "is another output"},
        {"into the left image folder", none, {shoot / "input/left/x.jpg"}, "would go into the left image folder"},
        {"outside the output folder through ..", none, {out / "../x.jpg"}, "lies outside the output folder"},
        {"outside through a link", [&] { fs::create_directory_symlink(dir / "away", out / "far"); }, {out / "far/x.jpg"},
         "allow it with the option"},
        {"two different outputs", none, {out / "a.jpg", out / "sub/a.jpg", out / "A.jpg"}, ""},
        {"a link to a file elsewhere: replaced, not written through", [&] {
             writeFile(dir / "away/photo.jpg", "x"), fs::create_symlink(dir / "away/photo.jpg", out / "l.jpg"); },
         {out / "l.jpg"}, ""},
        {"a folder in its place", [&] { fs::create_directories(out / "d.jpg"); }, {out / "d.jpg"}, "is a folder"},
        {"a file where a folder should be", [&] { writeFile(out / "f", "x"); }, {out / "f/x.jpg"}, "is a file, not a folder"},
        {"a FIFO in its place", [&] { mkfifo((out / "p.jpg").c_str(), 0600); }, {out / "p.jpg"}, "FIFO"},
        {"a name that is a folder's", none, {out / "x/.."}, "names a folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(out);
        fs::create_directories(out);
        c.arrange();
        OutputRoom r = room();
        for (size_t k = 0; k + 1 < c.outputs.size(); ++k) ASSERT_EQ(r.admit(c.outputs[k]).error, "") << c.outputs[k];
        const std::string refusal = r.admit(c.outputs.back()).error;
        if (!*c.refusal) {
            EXPECT_EQ(refusal, "");
            continue;
        }
        EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
        EXPECT_NE(refusal.find(c.outputs.back().string()), std::string::npos) << "names the output: " << refusal;
        for (const char* file : {"shoot/input/L.jpg", "shoot/input/R.jpg", "shoot/Vistereo.ini"})
            EXPECT_EQ(readFile(dir / file), file);
    }
}

// An output counts as done only as a complete image of the size the run would write.
TEST_F(OutputRoomTest, AnOutputIsDoneOnlyWhenItIsACompleteImageOfTheExpectedSize) {
    const fs::path out = dir / "shoot/output";
    makeImage(out / "whole.jpg", 64, 32);
    makeImage(out / "whole.png", 64, 32);
    makeImage(out / "whole.tif", 64, 32);
    const std::string jpeg = readFile(out / "whole.jpg"), png = readFile(out / "whole.png"), tif = readFile(out / "whole.tif");
    writeFile(out / "cut.jpg", jpeg.substr(0, jpeg.size() - 40));
    writeFile(out / "cut.png", png.substr(0, png.size() - 20));
    writeFile(out / "cut.tif", tif.substr(0, tif.size() / 2));
    writeFile(out / "empty.jpg", "");
    writeFile(out / "text.jpg", "not an image at all");
    makeImage(out / "small.jpg", 32, 16);
    const struct { const char* name; bool exists; const char* fault; } cases[] = {
        {"whole.jpg", true, ""}, {"whole.png", true, ""}, {"whole.tif", true, ""},
        {"cut.jpg", true, "cut short"}, {"cut.png", true, "cut short"}, {"cut.tif", true, "it "},
        {"empty.jpg", true, "empty"}, {"text.jpg", true, "header"}, {"small.jpg", true, "32 x 16, not 64 x 32"},
        {"missing.jpg", false, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const OutputState state = inspectOutput(out / c.name, {64, 32});
        EXPECT_EQ(state.stamp.exists, c.exists);
        EXPECT_EQ(state.complete, c.exists && !*c.fault) << state.fault;
        EXPECT_NE(state.fault.find(c.fault), std::string::npos) << state.fault;
    }
    EXPECT_EQ(outputImageSize("pair.jpg", 32).width, 64);
    EXPECT_EQ(outputImageSize("pair.vr.jpg", 32).width, 32);
}

namespace {

// A batch of three small pairs into shoot/output while the test plays the other run.
class TakingTurnsTest : public OutputRoomTest {
protected:
    void SetUp() override {
        OutputRoomTest::SetUp();
        fs::create_directories(dir / "shoot/input/right");
        for (int k = 0; k < 3; ++k) {
            const std::string name = "p" + std::to_string(k) + ".png";
            makeImage(dir / "shoot/input/left" / name, 60, 40);
            makeImage(dir / "shoot/input/right" / name, 60, 40);
            pairs.push_back({dir / "shoot/input/left" / name, dir / "shoot/input/right" / name,
                             dir / "shoot/output" / ("p" + std::to_string(k) + ".jpg")});
        }
        for (LensSettings& lens : settings.request.lenses) lens.name = "Test lens";
        settings.request.alignment = PointsAB{PointSet::fromListOrder({20, 50, 22, 53, 30, 40, 31, 44})};
        settings.request.outputHeight = 16;
        settings.run.threads = 1;
    }
    std::vector<BatchPair> pairs;
    BatchSettings settings;
};

}  // namespace

// Another run holds the second output's lock. The batch converts the others, waits for it, and then converts it
// only if that run has not written it meanwhile: a complete image of the batch's size there is that run's, and
// anything else (that run's damaged leftover, or nothing) is converted, by the batch's one test of a finished output.
TEST_F(TakingTurnsTest, AnOutputAnotherRunHoldsIsConvertedOnlyIfThatRunLeftItUnwritten) {
    cv::Mat theirs(16, 32, CV_8UC3, cv::Scalar(1, 2, 3));
    std::vector<uchar> complete;
    ASSERT_TRUE(cv::imencode(".jpg", theirs, complete));
    const std::string finished(complete.begin(), complete.end());
    const struct { const char* label; std::string written; PairResult second; } cases[] = {
        {"the other run writes it", finished, PairResult::Skipped},
        {"the other run leaves something that does not decode", "the other run's leftover", PairResult::Converted},
        {"the other run gives up on it", "", PairResult::Converted}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const BatchPair& pair : pairs) fs::remove(pair.output);
        OutputLocks other;
        std::string warning;
        auto held = other.tryClaim(pairs[1].output, warning);
        ASSERT_TRUE(held) << warning;
        BatchRecorder recorder;
        BatchSummary summary;
        std::thread batch([&] { summary = runBatch(pairs, settings, recorder); });
        // Once the batch has written the outputs it could, the other run finishes with the one it held.
        for (int wait = 0; wait < 2000 && !(fs::exists(pairs[0].output) && fs::exists(pairs[2].output)); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(fs::exists(pairs[1].output)) << "converted while another run held it";
        if (!c.written.empty()) writeFile(pairs[1].output, c.written);
        held.reset();
        batch.join();
        EXPECT_EQ(recorder.waited, std::vector<std::string>{"p1.jpg"});
        ASSERT_EQ(recorder.outcomes.size(), 3u);
        EXPECT_EQ(recorder.outcomes.back().index, 1u) << "the waiting pair comes last";
        EXPECT_EQ(recorder.outcomes.back().result, c.second) << recorder.outcomes.back().detail;
        EXPECT_EQ(summary.converted, c.second == PairResult::Skipped ? 2u : 3u);
        if (c.second == PairResult::Skipped) {
            EXPECT_EQ(readFile(pairs[1].output), finished);
            EXPECT_EQ(recorder.outcomes.back().detail, "written by another run while this one ran");
        } else {
            EXPECT_EQ(cv::imread(pairs[1].output.string()).size(), cv::Size(32, 16));
            EXPECT_NE(readFile(pairs[1].output), c.written);
        }
    }
}

// Outputs are judged before any picture is decoded: the first that may not be written refuses the whole batch,
// naming its pair and its line.
TEST_F(TakingTurnsTest, ABatchWhoseOutputWouldReplaceAnInputIsRefusedBeforeItStarts) {
    pairs[2].output = pairs[0].left;
    pairs[2].line = 7;
    BatchRecorder recorder;
    const BatchSummary summary = runBatch(pairs, settings, recorder);
    ASSERT_FALSE(summary.refusal.ok());
    EXPECT_NE(summary.refusal.error.find("pair 3 (line 7): the output"), std::string::npos) << summary.refusal.error;
    EXPECT_NE(summary.refusal.error.find("is the left image of pair 1"), std::string::npos) << summary.refusal.error;
    EXPECT_TRUE(recorder.outcomes.empty());
    EXPECT_FALSE(fs::exists(pairs[0].output));
    EXPECT_EQ(cv::imread(pairs[0].left.string()).size(), cv::Size(60, 40));
}
