// The automatic route on the command line: align, convert --auto-align and
// check, on a turned rig whose rotation is known.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "cli/commands.h"
#include "tests/support/synth.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::cli;

namespace {

struct CliRun {
    int status;
    std::string out, err;
};

// A working directory with an equisolid pair: the right camera turned by 2 degrees of yaw, -1 of pitch and 1.5
// of roll (the panorama is far away, so there is no parallax).
class AlignCliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("vistereo_align_cli_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "input");
        fs::create_directories(dir / "output");
        using namespace testsupport;
        const SynthLens lens = SynthLens::equisolid(1200, 900);
        cv::imwrite((dir / "input" / "L.jpg").string(), renderFisheye(panorama(), lens, Rotation{}));
        cv::imwrite((dir / "input" / "R.jpg").string(),
                    renderFisheye(panorama(), lens, Rotation::fromYawPitchRoll(2.0, -1.0, 1.5)));
        cv::imwrite((dir / "input" / "flat.jpg").string(), cv::Mat(900, 1200, CV_8UC3, cv::Scalar::all(128)));
        std::string record = "Equisolid\r\n";
        for (int i = 0; i < 17; ++i) record += "\r\n";
        for (const char* v : {"0", "0", "1", "0", "0", "0"}) record += std::string(v) + "\r\n";
        std::ofstream(dir / "Vistereo.ini", std::ios::binary) << record;
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    static CliRun cli(int (*command)(const std::vector<std::string>&, std::ostream&, std::ostream&),
                   std::vector<std::string> args) {
        std::ostringstream out, err;
        const int status = command(args, out, err);
        return {status, out.str(), err.str()};
    }
    static std::vector<std::string> withLenses(std::vector<std::string> more) {
        std::vector<std::string> args{"-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    // A number after `key` in one-line JSON.
    static double field(const std::string& json, const std::string& key) {
        const size_t at = json.find("\"" + key + "\": ");
        EXPECT_NE(at, std::string::npos) << key << " in " << json;
        return at == std::string::npos ? 1e9 : std::atof(json.c_str() + at + key.size() + 4);
    }

    static fs::path dir;
};
fs::path AlignCliTest::dir;

TEST_F(AlignCliTest, AlignFindsTheRigsRotationAndSuggestsPoints) {
    const CliRun r = cli(runAlignCommand, withLenses({"--json"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const struct { const char* key; double expected; } angles[] = {{"yaw_deg", 2.0}, {"pitch_deg", -1.0}, {"roll_deg", 1.5}};
    for (const auto& a : angles) EXPECT_NEAR(field(r.out, a.key), a.expected, 0.02) << a.key;
    EXPECT_LT(field(r.out, "p95"), 5.0);
    EXPECT_GT(field(r.out, "inliers"), 100);
    EXPECT_NE(r.out.find("\"suggested_points\": \""), std::string::npos) << r.out;
    const CliRun text = cli(runAlignCommand, withLenses({}));
    EXPECT_NE(text.out.find("points for the A/B route: "), std::string::npos) << text.out;
}

TEST_F(AlignCliTest, AutoAlignedConversionChecksComfortableAndUnalignedDoesNot) {
    const struct { std::vector<std::string> args; const char* output; const char* verdict; } cases[] = {
        {{"--auto-align", "--height", "900", "-o", "auto.jpg"}, "auto.jpg", "\"comfortable\""},
        {{"--auto-align", "--height", "900", "-o", "auto.vr.jpg"}, "auto.vr.jpg", "\"comfortable\""},
        // A and B one dot apart in the two images: next to no alignment, the pitch shows.
        {{"--points", "400,800,401,801,450,450,450,450", "--height", "900", "-o", "none.jpg"}, "none.jpg",
         "\"uncomfortable\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        const CliRun converted = cli(runConvertCommand, withLenses(c.args));
        ASSERT_EQ(converted.status, 0) << converted.err;
        const CliRun checked = cli(runCheckCommand, {"-C", (dir / "output").string(), c.output, "--json"});
        ASSERT_EQ(checked.status, 0) << checked.err;
        EXPECT_NE(checked.out.find(c.verdict), std::string::npos) << checked.out;
        EXPECT_EQ(checked.out.find("\"vr180\": true") != std::string::npos,
                  std::string(c.output).find(".vr.") != std::string::npos);
    }
}

TEST_F(AlignCliTest, FailuresAreExitOneWithAReasonAndUsageErrorsTwo) {
    const struct { int (*command)(const std::vector<std::string>&, std::ostream&, std::ostream&);
                   std::vector<std::string> args; int status; const char* mentions; } cases[] = {
        {runAlignCommand, withLenses({"--right", "flat.jpg"}), 1, "automatic alignment failed"},
        {runAlignCommand, withLenses({"--left", "missing.jpg"}), 1, "Enter the valid left image file name"},
        {runConvertCommand, withLenses({"--auto-align", "--right", "flat.jpg", "-o", "never.jpg"}), 1, "alignment failed"},
        {runConvertCommand, withLenses({"--auto-align", "--points", "1,2,3,4,5,6,7,8"}), 2, "--auto-align"},
        {runAlignCommand, {"-C", dir.string(), "--left-lens", "#1"}, 2, "missing --right-lens"},
        {runCheckCommand, {"-C", dir.string(), "Vistereo.ini"}, 1, "not an image"},
        {runCheckCommand, {"-C", dir.string(), "input/flat.jpg"}, 1, "cannot measure"},
        {runCheckCommand, {"-C", dir.string()}, 2, "exactly one FILE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mentions);
        const CliRun r = cli(c.command, c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "output" / "never.jpg"));
}

}  // namespace
