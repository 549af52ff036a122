// vistereo-cli as a script sees it: exit statuses, messages, files; and a
// synthesised rig converted and matched against the panorama's truth.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "tests/support/scratch.h"
#include "tests/support/synth.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;
using Args = std::vector<std::string>;

namespace {

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A working directory with input/, output/ and a registry of three lenses, the second with a bad radius mode.
class CliTest : public ScratchTest {
protected:
    struct Run {
        int status = -1;
        std::string out, err;
    };
    void SetUp() override {
        ScratchTest::SetUp();
        for (const char* sub : {"input", "output", "scratch"}) fs::create_directories(dir / sub);
        writeFile(dir / "Vistereo.ini", recordText("Equisolid") + recordText("Broken", {"5", "0", "1", "0", "0", "0"}) +
                                            recordText("Equisolid", {"0", "0", "0", "0", "0", "0"}));
    }
    Run cli(const Args& args) {
        std::string command = quote(VISTEREO_CLI);
        for (const std::string& a : args) command += " " + quote(a);
        const fs::path out = dir / "scratch/stdout.txt", err = dir / "scratch/stderr.txt";
        const int raw = std::system((command + " >" + quote(out) + " 2>" + quote(err) + " </dev/null").c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(out), readFile(err)};
    }
    void writeNoisePair(int w, int h) {
        for (const char* name : {"L.jpg", "R.jpg"}) {
            cv::Mat m(h, w, CV_8UC3);
            cv::randu(m, cv::Scalar::all(0), cv::Scalar::all(256));
            ASSERT_TRUE(cv::imwrite((dir / "input" / name).string(), m));
        }
    }
    Args convert(const Args& extra = {}, const std::string& rightLens = "#3", const std::string& points = "10,30,12,33,20,40,21,44") {
        Args args{"convert", "-C", dir.string(), "--left-lens", "Equisolid", "--right-lens", rightLens, "--points", points, "--height", "32"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
};

}  // namespace

TEST_F(CliTest, ExitStatusTellsSuccessRefusalAndUsage) {
    // noOutput: the output directory is missing, so the finished run cannot write its file.
    const struct { const char* label; Args args; bool withImages; int status; const char* errMentions; const char* outMentions;
                   bool noOutput = false; } cases[] = {
        {"no arguments", {}, false, 2, "usage:", ""},
        {"help", {"--help"}, false, 0, "", "convert"},
        {"version", {"--version"}, false, 0, "", "vistereo-cli 1.3"},
        {"unknown command", {"spin"}, false, 2, "vistereo-cli: error: unknown command", ""},
        {"convert help", {"convert", "--help"}, false, 0, "", "--left-lens LENS"},
        {"missing points", {"convert", "--left-lens", "A", "--right-lens", "B"}, false, 2, "missing --points", ""},
        {"unknown option", convert({"--sharpen"}), true, 2, "unknown option '--sharpen'", ""},
        {"roll finer than 0.1", convert({"--roll", "1.25"}), true, 2, "--roll", ""},
        {"pitch not a number", convert({"--pitch", "up"}), true, 2, "--pitch", ""},
        {"height not a number", convert({"--height", "4k"}), true, 2, "--height", ""},
        {"threads negative", convert({"--threads", "-1"}), true, 2, "--threads", ""},
        {"unknown lens name", convert({}, "Nope"), true, 2, "no lens named \"Nope\"", ""},
        {"lens number past the end", convert({}, "#4"), true, 2, "#4", ""},
        {"seven points", convert({}, "#1", "1,2,3,4,5,6,7"), true, 2, "holds 7", ""},
        {"images missing", convert(), false, 1, "vistereo-cli: error: Enter the valid left image file name", ""},
        {"same points", convert({}, "#1", "1,2,1,2,3,4,3,4"), true, 1, "Enter the correct coordinates of A and B point", ""},
        {"lens with a bad radius mode", convert({}, "Broken"), true, 1, "\"Broken\" has radiusMode 5", ""},
        {"too wide for JPEG", convert({"--height", "33000"}), true, 1, "at most 32750", ""},
        {"input over the limit", convert({"--max-input-megapixels", "0.001"}), true, 1, "60 x 40 pixels", ""},
        {"limit not a number", convert({"--max-input-megapixels", "lots"}), true, 2, "--max-input-megapixels", ""},
        {"quality out of range", convert({"--quality", "101"}), true, 2, "--quality", ""},
        {"unknown interpolation", convert({"--interp", "nearest"}), true, 2, "--interp", ""},
        {"a point matching refuses", convert({"--match"}, "#1", "5,30,1,1,5,40,1,1"), true, 1, "point A (5,5)", ""},
        {"players' name, Lanczos", convert({"--vr-suffix", "--interp", "lanczos", "--quality", "90"}), true, 0, "", "LROut_180_LR.jpg"},
        {"converted", convert(), true, 0, "", "Finished converting!!!"},
        {"converted with exact arithmetic", convert({"--exact", "--threads", "2"}), true, 0, "", "Finished converting!!!"},
        {"converted quietly", convert({"--quiet", "--threads", "1"}), true, 0, "", nullptr},
        {"output not writable", convert(), true, 1, "vistereo-cli: error: cannot write", nullptr, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir / "input"), fs::remove_all(dir / "output");
        fs::create_directories(dir / "input");
        if (!c.noOutput) fs::create_directories(dir / "output");
        if (c.withImages) writeNoisePair(60, 40);
        const Run run = cli(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (*c.errMentions) EXPECT_NE(run.err.find(c.errMentions), std::string::npos) << run.err;
        else EXPECT_EQ(run.err, "");
        if (!c.outMentions) EXPECT_EQ(run.out, "");
        else EXPECT_NE(run.out.find(c.outMentions), std::string::npos) << run.out;
        const bool converted = c.status == 0 && c.args.size() > 2 && c.args[0] == "convert";
        if (c.noOutput) EXPECT_FALSE(fs::exists(dir / "output"));
        else EXPECT_EQ(std::distance(fs::directory_iterator(dir / "output"), fs::directory_iterator()), converted ? 1 : 0);
    }
}

// A rig whose right camera is turned by a known rotation photographs the panorama. `convert --match` finds the
// true right partners of two left points; the conversion, zenith-corrected by yaw and pitch, shows in its right
// half what its left half shows, and in its left half what the panorama holds in that direction.
TEST_F(CliTest, ATurnedRigIsMatchedAndConvertedToThePanoramasView) {
    const SynthLens lens = SynthLens::equisolid(900, 900);
    const Rotation leftCam = Rotation::fromYawPitchRoll(0, -5, 0), rightCam = leftCam * Rotation::fromYawPitchRoll(3.0, -2.0, 2.5);
    ASSERT_TRUE(cv::imwrite((dir / "input/L.png").string(), renderFisheye(panorama(), lens, leftCam)));
    ASSERT_TRUE(cv::imwrite((dir / "input/R.png").string(), renderFisheye(panorama(), lens, rightCam)));
    const int n = 400;
    const Run run = cli({"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "Equisolid", "--left", "L.png",
                         "--right", "R.png", "--output", "out.png", "--points", "330,640,1,1,560,610,1,1", "--match",
                         "--height", std::to_string(n), "--yaw", "4", "--pitch", "6.5"});
    ASSERT_EQ(run.status, 0) << run.err;
    // The wrong right points of the line are replaced by ones within 2 pixels of the true partners.
    const size_t at = run.out.find("points: ");
    ASSERT_NE(at, std::string::npos) << run.out;
    std::istringstream line(run.out.substr(at + 8));
    int v[8] = {};
    for (int& value : v) line >> value, line.ignore(1);
    for (int k = 0; k < 2; ++k) {
        const Vec3 world = leftCam.apply(cameraDirectionOfPixel(lens, v[k], v[4 + k]));
        const auto truth = pixelOfCameraDirection(lens, rightCam.inverse().apply(world));
        EXPECT_TRUE(truth && std::hypot(v[2 + k] - truth->x, v[6 + k] - truth->y) <= 2.0) << run.out;
    }

    const cv::Mat out = cv::imread((dir / "output/out.png").string());
    ASSERT_EQ(out.size(), cv::Size(2 * n, n));
    cv::Mat mask(n, n, CV_8U, cv::Scalar(0));  // well inside both image circles: the central 120 x 120 degrees
    mask(cv::Rect(n / 6, n / 6, n * 2 / 3, n * 2 / 3)).setTo(255);
    const cv::Mat leftHalf = out.colRange(0, n).clone();
    EXPECT_GT(psnr(leftHalf, out.colRange(n, 2 * n).clone(), mask), 30.0) << "right half against left half";
    EXPECT_GT(psnr(leftHalf, frontHemisphere(panorama(), n, leftCam * Rotation::fromYawPitchRoll(4.0, 6.5, 0)), mask), 35.0)
        << "left half against the panorama";
}
