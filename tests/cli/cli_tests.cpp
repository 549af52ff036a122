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

#include "cli/common.h"
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
    const struct { const char* label; Args args; bool withImages; int status; const char* errMentions; const char* outMentions; } cases[] = {
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir / "input"), fs::remove_all(dir / "output");
        fs::create_directories(dir / "input"), fs::create_directories(dir / "output");
        if (c.withImages) writeNoisePair(60, 40);
        const Run run = cli(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (*c.errMentions) EXPECT_NE(run.err.find(c.errMentions), std::string::npos) << run.err;
        else EXPECT_EQ(run.err, "");
        if (!c.outMentions) EXPECT_EQ(run.out, "");
        else EXPECT_NE(run.out.find(c.outMentions), std::string::npos) << run.out;
        const bool converted = c.status == 0 && c.args.size() > 2 && c.args[0] == "convert";
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "output"), fs::directory_iterator()), converted ? 1 : 0);
    }
}

TEST_F(CliTest, AnUnwritableOutputIsAnErrorThoughTheRunFinished) {
    writeNoisePair(60, 40);
    fs::remove_all(dir / "output");
    const Run run = cli(convert());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("vistereo-cli: error: cannot write"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "output"));
}

TEST_F(CliTest, LensListShowsPositionsAndSettings) {
    const Run run = cli({"lens", "list", "-C", dir.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string rows[4];
    for (std::string& row : rows) std::getline(lines, row);
    EXPECT_TRUE(rows[0].rfind("#1\tEquisolid\t", 0) == 0 && rows[0].find("equisolid") != std::string::npos) << rows[0];
    EXPECT_NE(rows[1].find("unknown radius mode 5"), std::string::npos) << rows[1];
    EXPECT_NE(rows[2].find("orthographic"), std::string::npos) << rows[2];
    EXPECT_TRUE(rows[3].empty() && lines.eof()) << run.out;
    EXPECT_EQ(cli({"lens", "list", "-C", (dir / "nowhere").string()}).out, "");
}

TEST(CliValues, ZenithDegreesAreTenths) {
    const struct { const char* text; std::optional<int32_t> tenths; } cases[] = {
        {"0", 0}, {"2", 20}, {"-0.1", -1}, {"+12.3", 123}, {".5", 5}, {"-.5", -5}, {"1.25", std::nullopt},
        {"1.", std::nullopt}, {"", std::nullopt}, {"-", std::nullopt}, {"1e1", std::nullopt}, {"0.-1", std::nullopt},
        {"214748364.7", 2147483647}, {"214748364.8", std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(cli::parseDegreesTenths(c.text), c.tenths) << c.text;
}

// A rig whose right camera is turned by a known rotation photographs the panorama. `match` and `convert --match`
// find the true right partners of two left points; the conversion, zenith-corrected by yaw and pitch, shows in
// its right half what its left half shows, and in its left half what the panorama holds in that direction.
TEST_F(CliTest, ATurnedRigIsMatchedAndConvertedToThePanoramasView) {
    const SynthLens lens = SynthLens::equisolid(900, 900);
    const Rotation leftCam = Rotation::fromYawPitchRoll(0, -5, 0), rightCam = leftCam * Rotation::fromYawPitchRoll(3.0, -2.0, 2.5);
    ASSERT_TRUE(cv::imwrite((dir / "input/L.png").string(), renderFisheye(panorama(), lens, leftCam)));
    ASSERT_TRUE(cv::imwrite((dir / "input/R.png").string(), renderFisheye(panorama(), lens, rightCam)));
    const int lx[2] = {330, 640}, ly[2] = {560, 610};
    auto near = [&](const std::string& x, const std::string& y, int k) {  // within 2 pixels of left point k's partner
        const Vec3 world = leftCam.apply(cameraDirectionOfPixel(lens, lx[k], ly[k]));
        const auto truth = pixelOfCameraDirection(lens, rightCam.inverse().apply(world));
        return truth && std::hypot(std::stod(x) - truth->x, std::stod(y) - truth->y) <= 2.0;
    };
    auto split = [](const std::string& text, char by) {
        std::vector<std::string> pieces;
        std::istringstream in(text);
        for (std::string piece; std::getline(in, piece, by);) pieces.push_back(piece);
        return pieces;
    };
    const auto pt = [&](int k) { return std::to_string(lx[k]) + "," + std::to_string(ly[k]); };
    Run run = cli({"match", "-C", dir.string(), "--left", "L.png", "--right", "R.png", "--point", pt(0), "--point", "5,5", "--point", pt(1)});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("vistereo-cli: error: point 5,5: "), std::string::npos) << run.err;
    const std::vector<std::string> found = split(run.out, '\n');
    ASSERT_EQ(found.size(), 2u) << run.out;
    for (int k = 0; k < 2; ++k) {
        const std::vector<std::string> xy = split(found[k], ',');
        EXPECT_TRUE(xy.size() == 2 && near(xy[0], xy[1], k)) << found[k];
    }

    // Wrong right points in the line are replaced by the matched ones.
    const int n = 400;
    const std::string line = std::to_string(lx[0]) + "," + std::to_string(lx[1]) + ",1,1," + std::to_string(ly[0]) + "," +
                             std::to_string(ly[1]) + ",1,1";
    run = cli({"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "Equisolid", "--left", "L.png", "--right",
               "R.png", "--output", "out.png", "--points", line, "--match", "--height", std::to_string(n), "--yaw", "4",
               "--pitch", "6.5"});
    ASSERT_EQ(run.status, 0) << run.err;
    const size_t at = run.out.find("points: ");
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::vector<std::string> values = split(run.out.substr(at + 8, run.out.find('\n', at) - at - 8), ',');
    ASSERT_EQ(values.size(), 8u) << run.out;
    EXPECT_TRUE(near(values[2], values[6], 0) && near(values[3], values[7], 1)) << run.out;

    const cv::Mat out = cv::imread((dir / "output/out.png").string());
    ASSERT_EQ(out.size(), cv::Size(2 * n, n));
    cv::Mat mask(n, n, CV_8U, cv::Scalar(0));  // well inside both image circles: the central 120 x 120 degrees
    mask(cv::Rect(n / 6, n / 6, n * 2 / 3, n * 2 / 3)).setTo(255);
    const cv::Mat leftHalf = out.colRange(0, n).clone();
    EXPECT_GT(psnr(leftHalf, out.colRange(n, 2 * n).clone(), mask), 30.0) << "right half against left half";
    EXPECT_GT(psnr(leftHalf, frontHemisphere(panorama(), n, leftCam * Rotation::fromYawPitchRoll(4.0, 6.5, 0)), mask), 35.0)
        << "left half against the panorama";
}
