// vistereo-cli as a script sees it: exit statuses, messages, files; and one
// conversion of a synthesised pair checked against the panorama's truth.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "cli/common.h"
#include "tests/support/synth.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

struct CliRun {
    int status = -1;
    std::string out, err;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

CliRun runCli(const std::vector<std::string>& args, const fs::path& scratch) {
    std::string command = quote(VISTEREO_CLI);
    for (const std::string& a : args) command += " " + quote(a);
    const fs::path out = scratch / "stdout.txt", err = scratch / "stderr.txt";
    command += " >" + quote(out.string()) + " 2>" + quote(err.string()) + " </dev/null";
    const int raw = std::system(command.c_str());
    CliRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

// One lens record in the file format: name, 17 text lines, 6 integers.
std::string record(const std::string& name, int radiusMode, int mappingKind, int axisMode = 0) {
    std::string text = name + "\r\n";
    for (int i = 0; i < 17; ++i) text += "\r\n";
    for (int v : {radiusMode, 0, mappingKind, 0, 0, axisMode}) text += std::to_string(v) + "\r\n";
    return text;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / ("vistereo_cli_" + std::string(info->name()));
        fs::remove_all(dir);
        fs::create_directories(dir / "input");
        fs::create_directories(dir / "output");
        fs::create_directories(dir / "scratch");
        std::ofstream(dir / "Vistereo.ini", std::ios::binary)
            << record("Equisolid", 0, 1) << record("Broken", 5, 1) << record("Equisolid", 0, 0);
    }
    void TearDown() override { fs::remove_all(dir); }
    void writeNoisePair(int w, int h) {
        for (const char* name : {"L.jpg", "R.jpg"}) {
            cv::Mat m(h, w, CV_8UC3);
            cv::randu(m, cv::Scalar::all(0), cv::Scalar::all(256));
            ASSERT_TRUE(cv::imwrite((dir / "input" / name).string(), m));
        }
    }
    CliRun cli(std::vector<std::string> args) { return runCli(args, dir / "scratch"); }
    std::vector<std::string> convert(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"convert", "-C", dir.string(), "--left-lens", "Equisolid", "--right-lens",
                                      "#3", "--points", "10,30,12,33,20,40,21,44", "--height", "32"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    fs::path dir;
};

}  // namespace

TEST_F(CliTest, ExitStatusTellsSuccessRefusalAndUsage) {
    struct Case {
        const char* label;
        std::vector<std::string> args;
        bool withImages;
        int status;
        const char* errMentions;  // on stderr ("" for none expected)
        const char* outMentions;
    };
    const std::vector<Case> cases = {
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
        {"unknown lens name", {"convert", "-C", dir.string(), "--left-lens", "Nope", "--right-lens", "#1",
                               "--points", "1,2,3,4,5,6,7,8"}, true, 2, "no lens named \"Nope\"", ""},
        {"lens number past the end", {"convert", "-C", dir.string(), "--left-lens", "#4", "--right-lens", "#1",
                                      "--points", "1,2,3,4,5,6,7,8"}, true, 2, "#4", ""},
        {"seven points", {"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1",
                          "--points", "1,2,3,4,5,6,7"}, true, 2, "holds 7", ""},
        {"images missing", convert(), false, 1, "vistereo-cli: error: Enter the valid left image file name", ""},
        {"same points", {"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--points",
                         "1,2,1,2,3,4,3,4"}, true, 1, "Enter the correct coordinates of A and B point", ""},
        {"lens with a bad radius mode", {"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens",
                                         "Broken", "--points", "10,30,12,33,20,40,21,44", "--height", "8"},
         true, 1, "\"Broken\" has radiusMode 5", ""},
        {"output name without extension", convert({"--output", "out"}), true, 1, "extension", ""},
        {"height zero", convert({"--height", "0"}), true, 1, "at least 1", ""},
        {"too wide for JPEG", convert({"--height", "33000"}), true, 1, "at most 32750", ""},
        {"input over the limit", convert({"--max-input-megapixels", "0.001"}), true, 1, "60 x 40 pixels", ""},
        {"limit not a number", convert({"--max-input-megapixels", "lots"}), true, 2, "--max-input-megapixels", ""},
        {"quality out of range", convert({"--quality", "101"}), true, 2, "--quality", ""},
        {"unknown interpolation", convert({"--interp", "nearest"}), true, 2, "--interp", ""},
        {"players' name, Lanczos", convert({"--vr-suffix", "--interp", "lanczos", "--quality", "90"}), true, 0, "",
         "LROut_180_LR.jpg"},
        {"converted", convert(), true, 0, "", "Finished converting!!!"},
        {"converted with exact arithmetic", convert({"--exact", "--threads", "2"}), true, 0, "", "Finished converting!!!"},
        {"converted quietly", convert({"--quiet", "--threads", "1"}), true, 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir / "input");
        fs::create_directories(dir / "input");
        if (c.withImages) writeNoisePair(60, 40);
        const CliRun run = cli(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (*c.errMentions) {
            EXPECT_NE(run.err.find(c.errMentions), std::string::npos) << run.err;
        } else {
            EXPECT_EQ(run.err, "");
        }
        if (*c.outMentions) {
            EXPECT_NE(run.out.find(c.outMentions), std::string::npos) << run.out;
        }
        if (c.status == 0 && c.args.size() > 1 && c.args[0] == "convert" && c.args[1] != "--help") {
            EXPECT_TRUE(fs::exists(dir / "output" / "LROut.jpg") || fs::exists(dir / "output" / "LROut_180_LR.jpg"));
            if (std::string(c.label) == "converted quietly") {
                EXPECT_EQ(run.out, "");
            }
        }
    }
}

TEST_F(CliTest, AnUnwritableOutputIsAnErrorThoughTheRunFinished) {
    writeNoisePair(60, 40);
    fs::remove_all(dir / "output");
    const CliRun run = cli(convert());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("vistereo-cli: error: cannot write"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "output"));
}

TEST_F(CliTest, LensListShowsPositionsAndSettings) {
    const CliRun run = cli({"lens", "list", "-C", dir.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 3u) << run.out;
    EXPECT_EQ(rows[0].rfind("#1\tEquisolid\t", 0), 0u) << rows[0];
    EXPECT_NE(rows[0].find("equisolid"), std::string::npos);
    EXPECT_NE(rows[1].find("unknown radius mode 5"), std::string::npos) << rows[1];
    EXPECT_NE(rows[2].find("orthographic"), std::string::npos) << rows[2];
    EXPECT_EQ(cli({"lens", "list", "-C", (dir / "nowhere").string()}).out, "");
}

TEST(CliValues, ZenithDegreesAreTenths) {
    struct Case {
        const char* text;
        std::optional<int32_t> tenths;
    };
    const Case cases[] = {{"0", 0},        {"2", 20},          {"-0.1", -1},        {"+12.3", 123},
                          {".5", 5},       {"-.5", -5},        {"1.25", std::nullopt}, {"1.", std::nullopt},
                          {"", std::nullopt}, {"-", std::nullopt}, {"1e1", std::nullopt}, {"0.-1", std::nullopt},
                          {"214748364.7", 2147483647}, {"214748364.8", std::nullopt}};
    for (const Case& c : cases) EXPECT_EQ(cli::parseDegreesTenths(c.text), c.tenths) << c.text;
}

// A rig whose right camera is turned by a known rotation, photographing the
// panorama: input/L.png and input/R.png, and the true partners of two left
// points as the comma line.
class TurnedRigTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        const cv::Mat& pano = panorama();
        ASSERT_TRUE(cv::imwrite((dir / "input" / "L.png").string(), renderFisheye(pano, lens, leftCam)));
        ASSERT_TRUE(cv::imwrite((dir / "input" / "R.png").string(), renderFisheye(pano, lens, rightCam)));
        const cv::Point2d leftPts[2] = {{330, 560}, {640, 610}};
        for (int k = 0; k < 2; ++k) {
            const Vec3 world = leftCam.apply(cameraDirectionOfPixel(lens, leftPts[k].x, leftPts[k].y));
            const auto r = pixelOfCameraDirection(lens, rightCam.inverse().apply(world));
            ASSERT_TRUE(r.has_value());
            truth[k] = *r;
            v[k] = int(leftPts[k].x);
            v[4 + k] = int(leftPts[k].y);
            v[2 + k] = int(std::lround(r->x));
            v[6 + k] = int(std::lround(r->y));
        }
        std::ostringstream line;
        for (int k = 0; k < 8; ++k) line << (k ? "," : "") << v[k];
        points = line.str();
    }
    const SynthLens lens = SynthLens::equisolid(900, 900);
    const Rotation leftCam = Rotation::fromYawPitchRoll(0, -5, 0);
    const Rotation rightCam = leftCam * Rotation::fromYawPitchRoll(3.0, -2.0, 2.5);
    cv::Point2d truth[2];
    int v[8] = {};
    std::string points;
};

// After conversion the right half must show what the left half shows, and the
// left half what the panorama holds in front of the left camera.
TEST_F(TurnedRigTest, ConvertedPairMatchesItselfAndThePanorama) {
    const int n = 400;
    const cv::Mat& pano = panorama();
    struct Case {
        const char* label;
        double yaw, pitch;  // zenith correction in degrees
    };
    for (const Case c : {Case{"no zenith correction", 0, 0}, Case{"yaw and pitch", 4.0, 6.5}}) {
        SCOPED_TRACE(c.label);
        std::ostringstream yaw, pitch;
        yaw << c.yaw;
        pitch << c.pitch;
        const CliRun run = cli({"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "Equisolid",
                                "--left", "L.png", "--right", "R.png", "--output", "out.png", "--points",
                                points, "--height", std::to_string(n), "--yaw", yaw.str(), "--pitch",
                                pitch.str()});
        ASSERT_EQ(run.status, 0) << run.err;
        const cv::Mat out = cv::imread((dir / "output" / "out.png").string());
        ASSERT_EQ(out.size(), cv::Size(2 * n, n));
        const cv::Mat leftHalf = out.colRange(0, n), rightHalf = out.colRange(n, 2 * n);

        // Compare well inside the image circle of both cameras: the central
        // 120 x 120 degrees of the output.
        cv::Mat mask(n, n, CV_8U, cv::Scalar(0));
        mask(cv::Rect(n / 6, n / 6, n * 2 / 3, n * 2 / 3)).setTo(255);
        const Rotation view = leftCam * Rotation::fromYawPitchRoll(c.yaw, c.pitch, 0);
        const cv::Mat truth = frontHemisphere(pano, n, view);
        const double halves = psnr(leftHalf.clone(), rightHalf.clone(), mask);
        const double toTruth = psnr(leftHalf.clone(), truth, mask);
        std::cout << c.label << ": PSNR right/left " << halves << " dB, left/panorama " << toTruth << " dB\n";
        EXPECT_GT(halves, 30.0) << "right half against left half";
        EXPECT_GT(toTruth, 35.0) << "left half against the panorama";
    }
}

// The right partners come from template matching, in `match` and in
// `convert --match`; a point at the image's edge is refused with a reason.
TEST_F(TurnedRigTest, MatchingFindsTheTruePartners) {
    auto near = [&](const std::string& xy, int k) {
        const size_t comma = xy.find(',');
        const double x = std::stod(xy.substr(0, comma)), y = std::stod(xy.substr(comma + 1));
        return std::hypot(x - truth[k].x, y - truth[k].y) <= 2.0;
    };
    const std::string pointA = std::to_string(v[0]) + "," + std::to_string(v[4]);
    const std::string pointB = std::to_string(v[1]) + "," + std::to_string(v[5]);
    CliRun run = cli({"match", "-C", dir.string(), "--left", "L.png", "--right", "R.png", "--point", pointA,
                      "--point", "5,5", "--point", pointB});
    EXPECT_EQ(run.status, 1);
    std::istringstream lines(run.out);
    std::string a, b, extra;
    ASSERT_TRUE(std::getline(lines, a) && std::getline(lines, b)) << run.out;
    EXPECT_FALSE(std::getline(lines, extra));
    EXPECT_TRUE(near(a, 0)) << a << " against " << truth[0];
    EXPECT_TRUE(near(b, 1)) << b << " against " << truth[1];
    EXPECT_NE(run.err.find("vistereo-cli: error: point 5,5: "), std::string::npos) << run.err;

    // Wrong right points in the line are replaced by the matched ones.
    std::string line = std::to_string(v[0]) + "," + std::to_string(v[1]) + ",1,1," + std::to_string(v[4]) + "," +
                       std::to_string(v[5]) + ",1,1";
    run = cli({"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--left", "L.png",
               "--right", "R.png", "--points", line, "--match", "--height", "64"});
    ASSERT_EQ(run.status, 0) << run.err;
    const size_t at = run.out.find("points: ");
    ASSERT_NE(at, std::string::npos) << run.out;
    std::vector<std::string> values;
    std::istringstream fields(run.out.substr(at + 8, run.out.find('\n', at) - at - 8));
    for (std::string f; std::getline(fields, f, ',');) values.push_back(f);
    ASSERT_EQ(values.size(), 8u);
    EXPECT_TRUE(near(values[2] + "," + values[6], 0));
    EXPECT_TRUE(near(values[3] + "," + values[7], 1));

    run = cli({"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--left", "L.png",
               "--right", "R.png", "--points", "5,100,1,1,5,100,1,1", "--match", "--height", "64"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("point A (5,5)"), std::string::npos) << run.err;
}

// ---- batch ----------------------------------------------------------------

namespace {

// Pairs of noise images in input/left and input/right, and the batch's
// arguments with the choices a single convert gets too.
class BatchCliTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        fs::create_directories(dir / "input/left");
        fs::create_directories(dir / "input/right");
    }
    void writePair(const std::string& name, int w, int h, int seed, bool withRight = true) {
        cv::setRNGSeed(seed);
        for (const char* side : {"left", "right"}) {
            if (!withRight && side[0] == 'r') continue;
            cv::Mat m(h, w, CV_8UC3);
            cv::randu(m, cv::Scalar::all(0), cv::Scalar::all(256));
            ASSERT_TRUE(cv::imwrite((dir / "input" / side / name).string(), m));
        }
    }
    std::vector<std::string> batch(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"batch", "-C", dir.string(), "--left-lens", "Equisolid", "--right-lens", "#3",
                                      "--points", "10,30,12,33,20,40,21,44"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    std::vector<std::string> outputs(const fs::path& folder) const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Starts vistereo-cli with its output in files; returns the process.
std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

pid_t startCli(const std::vector<std::string>& args, const fs::path& scratch) {
    const pid_t child = fork();
    if (child == 0) {
        const int out = open((scratch / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open((scratch / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1), dup2(err, 2);
        std::vector<char*> argv{const_cast<char*>(VISTEREO_CLI)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VISTEREO_CLI, argv.data());
        _exit(127);
    }
    return child;
}

}  // namespace

TEST_F(BatchCliTest, UsageErrorsNameTheirCause) {
    struct Case {
        const char* label;
        std::function<void()> arrange;
        std::vector<std::string> extra;
        int status;
        std::string errMentions;
    };
    const std::vector<Case> cases = {
        {"right folder one short", [this] { writePair("a.jpg", 40, 30, 1); writePair("b.jpg", 40, 30, 2, false); },
         {}, 2, "have no partner: " + (dir / "input/left/b.jpg").string()},
        {"no right folder", [this] { fs::remove_all(dir / "input/right"); }, {}, 2, "no folder"},
        {"malformed pairs file", [this] { std::ofstream(dir / "p.csv") << "left,right\na,b\n\nc\n"; },
         {"--pairs", "p.csv"}, 2, "p.csv line 4: expected left,right"},
        {"pairs file and folders", [] {}, {"--pairs", "p.csv", "--left-dir", "x"}, 2, "--pairs"},
        {"pairs file missing", [] {}, {"--pairs", "none.csv"}, 2, "cannot read the pairs file"},
        {"quality out of range", [] {}, {"--quality", "0"}, 2, "--quality"},
        {"unknown lens", [] {}, {"--left-lens", "Nope"}, 2, "no lens named \"Nope\""},
        {"same points in both images", [this] { writePair("a.jpg", 40, 30, 1); },
         {"--points", "1,2,1,2,3,4,3,4"}, 1, "Enter the correct coordinates of A and B point"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir / "input");
        fs::create_directories(dir / "input/left");
        fs::create_directories(dir / "input/right");
        c.arrange();
        const CliRun run = cli(batch(c.extra));
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.errMentions), std::string::npos) << run.err;
        EXPECT_TRUE(outputs(dir / "output").empty());
    }
    const CliRun missing = cli({"batch", "--left-lens", "#1", "--right-lens", "#1"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("missing --points"), std::string::npos) << missing.err;
}

// Each output holds the bytes of a single convert with the same choices; a bad
// pair is reported and the rest converted; a second run skips what exists.
TEST_F(BatchCliTest, OutputsAreTheBytesOfConvertAndABadPairDoesNotStopTheRest) {
    writePair("p1.jpg", 90, 60, 1);
    writePair("p2.jpg", 90, 60, 2, false);
    std::ofstream(dir / "input/right/p2.jpg") << "not a picture";
    writePair("p3.png", 70, 50, 3);  // another size: its own geometry
    writePair("p4.jpg", 90, 60, 4);
    const std::vector<std::string> choices{"--height", "40", "--quality", "85", "--interp", "bicubic", "--yaw", "1.5",
                                           "--vr-suffix"};
    CliRun run = cli(batch(choices));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("vistereo-cli: error: pair 2 (" + (dir / "input/left/p2.jpg").string() + ", " +
                           (dir / "input/right/p2.jpg").string() + "): Enter the valid right image file name"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("[4/4] converted"), std::string::npos) << run.out;  // not a terminal: a line a pair
    EXPECT_NE(run.out.find("converted 3, skipped 0, failed 1 in "), std::string::npos) << run.out;
    EXPECT_EQ(outputs(dir / "output"), (std::vector<std::string>{"p1_180_LR.jpg", "p3_180_LR.jpg", "p4_180_LR.jpg"}));
    for (const char* stem : {"p1", "p3", "p4"}) {
        SCOPED_TRACE(stem);
        const std::string ext = stem == std::string("p3") ? ".png" : ".jpg";
        std::vector<std::string> single{"convert", "-C", dir.string(), "--left-lens", "Equisolid", "--right-lens",
                                        "#3", "--points", "10,30,12,33,20,40,21,44", "--left",
                                        std::string("left/") + stem + ext, "--right", std::string("right/") + stem + ext,
                                        "--output", std::string("single_") + stem + ".jpg", "--quiet"};
        single.insert(single.end(), choices.begin(), choices.end());
        ASSERT_EQ(cli(single).status, 0);
        const fs::path mine = dir / "output" / (std::string("single_") + stem + "_180_LR.jpg");
        EXPECT_TRUE(slurp(mine) == slurp(dir / "output" / (std::string(stem) + "_180_LR.jpg")));
        fs::remove(mine);
    }

    run = cli(batch(with(choices, {"--quiet"})));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.substr(0, run.out.find(" in ")), "converted 0, skipped 3, failed 1") << run.out;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;

    writePair("p2.jpg", 90, 60, 2);
    run = cli(batch(with(choices, {"--dry-run"})));
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("[2/4] convert " + (dir / "input/left/p2.jpg").string()), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("would convert 1, skip 3"), std::string::npos) << run.out;
    EXPECT_EQ(outputs(dir / "output").size(), 3u);
    run = cli(batch(with(choices, {"--force", "--quiet"})));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("converted 4, skipped 0, failed 0"), std::string::npos) << run.out;
}

// A batch killed at some moment of its work leaves only complete outputs
// (the bytes a finished batch writes) and no temporary file, except after
// SIGKILL, whose temporary the next run removes; the same command finishes.
TEST_F(BatchCliTest, AKilledBatchLeavesOnlyCompleteOutputsAndTheSameCommandFinishes) {
    for (int k = 0; k < 6; ++k) writePair("k" + std::to_string(k) + ".png", 640, 480, 10 + k);
    const std::vector<std::string> choices{"--height", "700", "--output-dir", "shoot", "--threads", "1"};
    struct Case {
        const char* label;
        int signal;
        int delayMs;  // after the first file appears in the output folder (a temporary, as a rule)
    };
    for (const Case& c : {Case{"SIGINT", SIGINT, 0}, Case{"SIGTERM", SIGTERM, 40}, Case{"SIGKILL", SIGKILL, 20}}) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir / "shoot");
        const pid_t child = startCli(batch(choices), dir / "scratch");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((!fs::exists(dir / "shoot") || outputs(dir / "shoot").empty()) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs));
        kill(child, c.signal);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the batch ended before the signal: " << status;
        EXPECT_EQ(WTERMSIG(status), c.signal);
        size_t complete = 0, temporaries = 0;
        for (const std::string& name : outputs(dir / "shoot")) (name.find(".tmp-") != std::string::npos ? temporaries : complete)++;
        EXPECT_LT(complete, 6u);
        if (c.signal != SIGKILL) {
            EXPECT_EQ(temporaries, 0u);
            EXPECT_NE(slurp(dir / "scratch/stderr.txt").find("interrupted"), std::string::npos);
        }

        const CliRun again = cli(batch(choices));
        ASSERT_EQ(again.status, 0) << again.err;
        EXPECT_NE(again.out.find("skipped " + std::to_string(complete) + ","), std::string::npos) << again.out;
        EXPECT_EQ(again.out.find("removed ") != std::string::npos, temporaries > 0) << again.out;
        const CliRun whole = cli(batch({"--height", "700", "--output-dir", "whole", "--force", "--quiet"}));
        ASSERT_EQ(whole.status, 0) << whole.err;
        EXPECT_EQ(outputs(dir / "shoot"), outputs(dir / "whole"));
        for (const std::string& name : outputs(dir / "whole"))
            EXPECT_TRUE(slurp(dir / "shoot" / name) == slurp(dir / "whole" / name)) << name;
    }
}
