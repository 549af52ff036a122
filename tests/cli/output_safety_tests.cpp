// The ways a command could destroy a photograph or a finished output, tried as a user would: outputs onto an
// input as the commands name them (every spelling, link and folder is the output room's test), the players' name
// on a VR180 photo, a hang-up under nohup, two batches on one output folder, and convert killed while it writes.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "conversion/output_claim.h"
#include "stereofile/vr180.h"
#include "tests/cli/cli_test_support.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

// input/L.jpg and R.jpg, the pairs a.jpg and b.jpg in input/left and input/right, and away/keep.jpg, a
// photograph outside the working folders that an output link may name.
class SafetyTest : public CliTest {
public:
    void SetUp() override {
        CliTest::SetUp();
        writeImages();
        writePair("a.jpg", 40, 30, 3), writePair("b.jpg", 40, 30, 5);
        fs::create_directories(dir / "away");
        fs::copy_file(dir / "input/L.jpg", dir / "away/keep.jpg");
        D = dir.string();
    }
    // Every file a run reads or must leave alone, with its bytes.
    std::map<std::string, std::string> untouchable() const {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(dir / "input"))
            if (e.is_regular_file()) files[e.path().string()] = readFile(e.path());
        for (const char* file : {"Vistereo.ini", "away/keep.jpg", "p.csv"})
            if (fs::exists(dir / file)) files[(dir / file).string()] = readFile(dir / file);
        return files;
    }
    std::set<std::string> outputEntries() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir / "output")) names.insert(e.path().filename().string());
        return names;
    }
    // `count` pairs kN.png of 60 x 40 in input/left and input/right (small, so that points A and B lie in them).
    void writeShoot(int count) {
        for (int k = 0; k < count; ++k) writePair("k" + std::to_string(k) + ".png", 60, 40, 10 + k);
    }
    bool hasTemporary(const std::string& folder) const {
        for (const auto& e : fs::directory_iterator(dir / folder))
            if (e.path().filename().string().find(".tmp-") != std::string::npos) return true;
        return false;
    }
    std::string D;
};

// A complete VR180 photo, or a complete image of any other kind.
bool completeImage(const fs::path& file) {
    const std::string bytes = readFile(file);
    if (file.string().size() > 7 && file.string().substr(file.string().size() - 7) == ".vr.jpg")
        return media::readVr180Jpeg(std::vector<uint8_t>(bytes.begin(), bytes.end())).ok();
    return !cv::imread(file.string()).empty();
}

struct Probe {
    std::string label;
    std::function<void(SafetyTest&)> arrange;
    std::function<Args(SafetyTest&)> args;
    int status;
    std::vector<std::string> mentions;      // on stderr
    std::vector<std::string> written = {};  // regular files, complete images, relative to the working folder
    std::string neverMentioned = "Enter the valid";  // the refusal comes before any picture is decoded
};

}  // namespace

TEST_F(SafetyTest, NoRouteWritesOntoAnInputAnotherOutputOrOutsideItsFolder) {
    const auto nothing = [](SafetyTest&) {};
    const auto pairsFile = [](std::string text) { return [text](SafetyTest& t) { writeFile(t.dir / "p.csv", text); }; };
    const Args small{"--height", "32"};
    const std::vector<Probe> probes = {
        {"convert -o an absolute path", nothing, [](SafetyTest& t) { return t.convert({"-o", t.D + "/input/R.jpg"}); }, 1,
         {"the output \"" + D + "/input/R.jpg\" is the right image \"" + D + "/input/R.jpg\""}},
        {"convert LEFT RIGHT -o LEFT", nothing,
         [](SafetyTest& t) { return t.convert({t.D + "/input/L.jpg", t.D + "/input/R.jpg", "-o", t.D + "/input/L.jpg"}); },
         1, {"is the left image"}},
        {"convert onto an input whose partner is damaged", [](SafetyTest& t) { writeFile(t.dir / "input/R.jpg", "damaged"); },
         [](SafetyTest& t) { return t.convert({"-o", t.D + "/output/../input/L.jpg"}); }, 1, {"is the left image"}},
        {"convert to a name no image library writes, images missing",
         [](SafetyTest& t) { fs::remove(t.dir / "input/L.jpg"), fs::remove(t.dir / "input/R.jpg"); },
         [](SafetyTest& t) { return t.convert({"-o", "out.xyz"}); }, 1, {"give it an extension"}},
        {"convert to a name too long for the file system", nothing,
         [](SafetyTest& t) { return t.convert({"-o", std::string(100000, 'n') + ".jpg"}); }, 1, {"…nnn", "nnn.jpg\": File name too long"}},
        {"convert to a long name without an extension", nothing,
         [](SafetyTest& t) { return t.convert({"-o", std::string(100000, 'n')}); }, 1, {"give it an extension"}},
        {"convert a VR180 photo with the players' name", nothing,
         [](SafetyTest& t) { return t.convert({"-o", "x.vr.jpg", "--vr-suffix"}); }, 0, {}, {"output/x_180_LR.vr.jpg"}},
        {"convert into folders still to be made", nothing,
         [](SafetyTest& t) { return t.convert({"-o", t.D + "/made/deeper/x.jpg"}); }, 0, {}, {"made/deeper/x.jpg"}},
        {"batch --output-dir onto the left folder, forced", nothing,
         [&](SafetyTest& t) { return t.batch(with(small, {"--output-dir", t.D + "/input/left", "--force"})); }, 1,
         {"pair 1: the output \"" + D + "/input/left/a.jpg\" is the left image of pair 1"}},
        {"pairs-file output onto a left image, forced", pairsFile("left/a.jpg,right/a.jpg,../input/left/a.jpg\n"),
         [&](SafetyTest& t) { return t.batch(with(small, {"--pairs", "p.csv", "--force"})); }, 1,
         {"pair 1 (line 1): the output \"" + D + "/output/../input/left/a.jpg\" is the left image of pair 1 (line 1)"}},
        {"two lines, one output through a link",
         [&](SafetyTest& t) {
             fs::create_directory_symlink(".", t.dir / "output/here");
             pairsFile("left/a.jpg,right/a.jpg,same.jpg\nleft/b.jpg,right/b.jpg,here/same.jpg\n")(t); },
         [&](SafetyTest& t) { return t.batch(with(small, {"--pairs", "p.csv"})); }, 1,
         {"pair 2 (line 2): the output \"" + D + "/output/here/same.jpg\" is the output of pair 1 (line 1)"}},
        {"a pairs-file output outside the output folder",
         [](SafetyTest& t) { writeFile(t.dir / "p.csv", "left/a.jpg,right/a.jpg," + t.D + "/away/x.jpg\n"); },
         [&](SafetyTest& t) { return t.batch(with(small, {"--pairs", "p.csv"})); }, 1,
         {"lies outside the output folder \"" + D + "/output\"; --allow-outside-output-dir allows it"}},
        {"... allowed", [](SafetyTest& t) { writeFile(t.dir / "p.csv", "left/a.jpg,right/a.jpg," + t.D + "/away/x.jpg\n"); },
         [&](SafetyTest& t) { return t.batch(with(small, {"--pairs", "p.csv", "--allow-outside-output-dir"})); }, 0, {},
         {"away/x.jpg"}},
        {"the pairs file through a hard-linked output", [&](SafetyTest& t) {
             pairsFile("left/a.jpg,right/a.jpg,list.jpg\n")(t), fs::create_hard_link(t.dir / "p.csv", t.dir / "output/list.jpg"); },
         [&](SafetyTest& t) { return t.batch(with(small, {"--pairs", "p.csv", "--force"})); }, 1,
         {"is the pairs file \"" + D + "/p.csv\""}},
        {"--force replaces a linked output, not the photo it names",
         [](SafetyTest& t) { fs::create_symlink(t.dir / "away/keep.jpg", t.dir / "output/a.jpg"); },
         [&](SafetyTest& t) { return t.batch(with(small, {"--force"})); }, 0, {}, {"output/a.jpg", "output/b.jpg"}},
    };
    for (const Probe& p : probes) {
        SCOPED_TRACE(p.label);
        fs::remove_all(dir / "output"), fs::remove_all(dir / "made"), fs::remove(dir / "away/x.jpg"), fs::remove(dir / "p.csv");
        fs::create_directories(dir / "output");
        writeImages();
        p.arrange(*this);
        const auto before = untouchable();
        const auto entriesBefore = outputEntries();
        const Run run = cli(p.args(*this));
        EXPECT_EQ(run.status, p.status) << run.err;
        for (const std::string& mention : p.mentions) EXPECT_NE(run.err.find(mention), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(p.neverMentioned), std::string::npos) << run.err;
        EXPECT_LT(run.err.size(), 2000u) << "every name in a message is cut to a line";
        EXPECT_TRUE(untouchable() == before) << "a file the run reads, or a photograph a link names, was changed";
        if (p.status != 0) { EXPECT_EQ(outputEntries(), entriesBefore) << "a refused run wrote something"; }
        for (const std::string& file : p.written) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / file))) << file;
            EXPECT_TRUE(completeImage(dir / file)) << file;
        }
    }
}

// An output is skipped only when it is complete and decodes: the one test that decides the skip, the resume and
// --dry-run, however the output's folder is spelt (through a folder still to be made, through "..", as a pairs
// line names it). Every other output is named by --dry-run with what is wrong with it, converted again with the
// bytes of a clean run, and skipped the time after.
TEST_F(SafetyTest, ResumeRedoesEveryOutputThatIsNotCompleteByOneTest) {
    const Args small{"--height", "64"};
    ASSERT_EQ(cli(batch(with(small, {"--output-dir", "clean"}))).status, 0);
    ASSERT_EQ(cli(batch(with(small, {"--output-dir", "clean", "--vr-suffix"}))).status, 0);
    writeFile(dir / "png.csv", "left/a.jpg,right/a.jpg,a.png\n");
    ASSERT_EQ(cli(batch(with(small, {"--output-dir", "clean", "--pairs", "png.csv"}))).status, 0);
    // The middle of a file zeroed, its end intact.
    const auto zeroed = [](std::string bytes) {
        const size_t span = std::min<size_t>(5000, bytes.size() / 3);
        std::fill(bytes.begin() + (bytes.size() - span) / 2, bytes.begin() + (bytes.size() + span) / 2, '\0');
        return bytes;
    };
    const std::string jpeg = readFile(dir / "clean/a.jpg"), vr = readFile(dir / "clean/a_180_LR.jpg"),
                      png = readFile(dir / "clean/a.png");
    const struct { const char* label; Args route; std::string output, bytes, clean, fault; } cases[] = {
        {"empty", {}, "output/a.jpg", "", jpeg, "it is empty"},
        {"empty, through a folder still to be made", {"--output-dir", D + "/made/../output"}, "output/a.jpg", "", jpeg, "it is empty"},
        {"empty, named by a pairs line through \"..\"", {"--pairs", "p.csv", "--output-dir", "made", "--allow-outside-output-dir"},
         "output/a.jpg", "", jpeg, "it is empty"},
        {"a JPEG zeroed in the middle", {}, "output/a.jpg", zeroed(jpeg), jpeg, "it is damaged (Corrupt JPEG data"},
        {"a JPEG cut short", {}, "output/a.jpg", jpeg.substr(0, jpeg.size() / 2), jpeg, "it is cut short"},
        {"another size", {"--height", "32"}, "output/a.jpg", jpeg, "", "it is 128 x 64, not 64 x 32"},
        {"a players' name zeroed in the middle", {"--vr-suffix"}, "output/a_180_LR.jpg", zeroed(vr), vr, "it is damaged ("},
        {"a PNG zeroed in the middle", {"--pairs", "png.csv"}, "output/a.png", zeroed(png), png, "it is damaged (its IDAT chunk"},
        {"a PNG cut short", {"--pairs", "png.csv"}, "output/a.png", png.substr(0, png.size() - 20), png, "it is cut short"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir / "output"), fs::remove_all(dir / "made");
        fs::create_directories(dir / "output");
        writeFile(dir / "p.csv", "left/a.jpg,right/a.jpg,../output/a.jpg\n");
        writeFile(dir / c.output, c.bytes);
        const Args args = batch(with(with(small, c.route), {"--threads", "1"}));
        Run run = cli(with(args, {"--dry-run"}));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("] convert " + D + "/input/left/a.jpg"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("(exists, but " + c.fault), std::string::npos) << run.out;
        EXPECT_TRUE(readFile(dir / c.output) == c.bytes) << "a dry run changed the output";
        run = cli(args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("(redone: " + c.fault), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(" skipped 0,"), std::string::npos) << run.out;
        if (!c.clean.empty()) { EXPECT_TRUE(readFile(dir / c.output) == c.clean) << "not the bytes of a clean run"; }
        run = cli(with(args, {"--dry-run"}));
        EXPECT_NE(run.out.find("] skip " + D + "/input/left/a.jpg"), std::string::npos) << run.out;
    }
}

// Under nohup a hang-up leaves the batch running to its end; without it the batch ends and cleans up.
TEST_F(SafetyTest, AHangUpEndsABatchOnlyWhenItWasNotStartedUnderNohup) {
    writeShoot(5);
    const struct { const char* label; bool nohup; } cases[] = {{"under nohup", true}, {"in a terminal", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir / "output");
        const pid_t child = startCli(batch({"--height", "500", "--threads", "1"}), dir / "scratch", c.nohup);
        ASSERT_TRUE(waitFor([&] { return fs::exists(dir / "output") && !outputs().empty(); }));
        kill(child, SIGHUP);
        const Run run = finish(child, dir / "scratch");
        EXPECT_EQ(run.status, c.nohup ? 0 : -1) << run.err;
        EXPECT_EQ(outputs().size() == 7, c.nohup);  // with a.jpg and b.jpg
        EXPECT_FALSE(hasTemporary("output"));
        if (c.nohup) { EXPECT_NE(run.out.find("converted 7, skipped 0, failed 0"), std::string::npos) << run.out; }
    }
}

// Two batches with different settings start while a third party holds every output, so both have looked at the
// folder before either writes. Both finish; each pair is converted by exactly one of them, and each batch's
// report says which outputs it wrote: their bytes are that batch's. Then both again, forced over those outputs.
TEST_F(SafetyTest, TwoBatchesOnOneFolderConvertEachPairOnceAndReportWhatTheyWrote) {
    writeShoot(4);
    const Args settings[2] = {{"--quality", "90"}, {"--quality", "40"}};
    std::map<std::string, std::string> reference[2];  // output name -> bytes, for each batch's settings
    for (int b = 0; b < 2; ++b) {
        ASSERT_EQ(cli(batch(with(settings[b], {"--height", "100", "--output-dir", "ref" + std::to_string(b)}))).status, 0);
        for (const std::string& name : outputs("ref" + std::to_string(b)))
            reference[b][name] = readFile(dir / ("ref" + std::to_string(b)) / name);
    }
    const size_t total = reference[0].size();  // a.jpg, b.jpg and the four of the shoot
    ASSERT_EQ(total, 6u);
    for (const bool force : {false, true}) {
        SCOPED_TRACE(force ? "forced over existing outputs" : "into an empty folder");
        OutputLocks thirdParty;
        std::vector<OutputLocks::Claim> held;
        std::string warning;
        for (const auto& [name, bytes] : reference[0]) held.push_back(*thirdParty.tryClaim(dir / "output" / name, warning));
        pid_t child[2];
        for (int b = 0; b < 2; ++b) {
            fs::create_directories(dir / "scratch" / std::to_string(b));
            Args args = batch(with(settings[b], {"--height", "100", "--threads", "1"}));
            if (force) args.push_back("--force");
            child[b] = startCli(args, dir / "scratch" / std::to_string(b));
        }
        for (int b = 0; b < 2; ++b)
            ASSERT_TRUE(waitFor([&] { return readFile(dir / "scratch" / std::to_string(b) / "stderr.txt").find(
                                                 "another run is converting") != std::string::npos; }));
        held.clear();
        std::set<std::string> convertedBy[2];
        for (int b = 0; b < 2; ++b) {
            const Run run = finish(child[b], dir / "scratch" / std::to_string(b));
            ASSERT_EQ(run.status, 0) << run.err;
            std::istringstream lines(run.out);
            for (std::string line; std::getline(lines, line);) {
                const size_t arrow = line.find(" -> ");
                if (line.find("] converted ") == std::string::npos || arrow == std::string::npos) continue;
                convertedBy[b].insert(fs::path(line.substr(arrow + 4)).filename().string());
            }
            EXPECT_NE(run.out.find("skipped " + std::to_string(total - convertedBy[b].size()) + ","), std::string::npos) << run.out;
            if (convertedBy[b].size() < total) {
                EXPECT_NE(run.out.find("(written by another run while this one ran)"), std::string::npos) << run.out;
            }
        }
        EXPECT_EQ(convertedBy[0].size() + convertedBy[1].size(), total);
        for (const auto& [name, bytes] : reference[0]) {
            SCOPED_TRACE(name);
            const int writer = convertedBy[0].count(name) ? 0 : 1;
            EXPECT_EQ(convertedBy[writer].count(name), 1u) << "converted by neither";
            EXPECT_TRUE(readFile(dir / "output" / name) == reference[writer][name]) << "the disk disagrees with the report";
        }
    }
}

// convert stopped while it writes its output: SIGTERM takes the temporary along; after SIGKILL the next convert
// into that folder removes it.
TEST_F(SafetyTest, AConvertStoppedWhileWritingLeavesNoTemporaryBehindForLong) {
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGKILL");
        fs::remove_all(dir / "output");
        fs::create_directories(dir / "output");
        // A large uncompressed output, so that its writing takes a moment.
        const pid_t child = startCli(convert({"--height", "3000", "-o", "big.bmp", "--threads", "2"}), dir / "scratch");
        ASSERT_TRUE(waitFor([&] { return hasTemporary("output") || fs::exists(dir / "output/big.bmp"); }));
        ASSERT_TRUE(hasTemporary("output")) << "the write ended before it could be interrupted";
        kill(child, signal);
        const Run stopped = finish(child, dir / "scratch");
        EXPECT_EQ(stopped.status, -1);
        EXPECT_FALSE(fs::exists(dir / "output/big.bmp"));
        EXPECT_EQ(hasTemporary("output"), signal == SIGKILL);
        if (signal == SIGTERM) { EXPECT_NE(stopped.err.find("interrupted"), std::string::npos) << stopped.err; }
        const Run next = cli(convert({"-o", "small.jpg"}));
        ASSERT_EQ(next.status, 0) << next.err;
        EXPECT_FALSE(hasTemporary("output"));
        EXPECT_EQ(next.err.find("removed ") != std::string::npos, signal == SIGKILL) << next.err;
    }
}
