// Real material: the three pairs of a RealSense T265 module (848 x 800, about 163 degrees, 64 mm) and the
// Kannala-Brandt intrinsics of its two units (calibration.txt beside them), written as the tools write them (the
// robot unit as an OpenCV FileStorage YAML, the wang unit as a Kalibr camchain with its translation and no
// rotation), imported, aligned and converted as a user would.
#include <cstdio>
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "tests/cli/cli_test_support.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

const char* kRobotYaml =
    "%YAML:1.0\n---\nimage_width: 848\nimage_height: 800\nK: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n"
    "   data: [ 285.722, 0., 420.135, 0., 286.759, 403.394, 0., 0., 1. ]\nD: !!opencv-matrix\n   rows: 4\n   cols: 1\n"
    "   dt: d\n   data: [ -0.00659769, 0.0473251, -0.0458264, 0.00897725 ]\n";

std::string kalibrCamera(const std::string& extra) {
    return extra + "  camera_model: pinhole\n  distortion_coeffs: [-0.00727452, 0.05200624, -0.05105740, 0.01108238]\n"
                   "  distortion_model: equidistant\n  intrinsics: [286.518, 286.602, 423.142, 393.321]\n"
                   "  resolution: [848, 800]\n";
}
const std::string kWangCamchain =
    "cam0:\n" + kalibrCamera("") + "cam1:\n" +
    kalibrCamera("  T_cn_cnm1:\n  - [1.0, 0.0, 0.0, -0.0639505]\n  - [0.0, 1.0, 0.0, 0.000184912]\n"
                 "  - [0.0, 0.0, 1.0, -0.0000766807]\n  - [0.0, 0.0, 0.0, 1.0]\n");

}  // namespace

TEST_F(CliTest, TheT265UnitsImportAlignAndConvert) {
    const fs::path data = fs::path(VISTEREO_REAL_PAIR_DIR) / "t265";
    for (const char* name : {"robot1.png", "robot2.png", "wang1.png", "wang2.png", "fs1.png", "fs2.png"}) {
        ASSERT_TRUE(fs::exists(data / name)) << data / name;
        fs::create_symlink(data / name, dir / "input" / name);
    }
    writeFile(dir / "Vistereo.ini", "");
    writeFile(dir / "scratch/robot.yaml", kRobotYaml);
    writeFile(dir / "scratch/wang.yaml", kWangCamchain);
    for (const auto& [file, name] : {std::pair{"robot.yaml", "robot"}, std::pair{"wang.yaml", "wang"}}) {
        const Run run = cli({"lens", "import", "-C", dir.string(), (dir / "scratch" / file).string(), "--name", name});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    // fs has no intrinsics of its own: the robot unit's.
    const struct {
        const char* pair;
        const char* lens;
    } pairs[] = {{"robot", "robot"}, {"wang", "wang"}, {"fs", "robot"}};
    for (const auto& p : pairs) {
        SCOPED_TRACE(p.pair);
        const std::string left = std::string(p.pair) + "1.png", right = std::string(p.pair) + "2.png";
        const Args lenses{"-C", dir.string(), "--left-lens", p.lens, "--right-lens", p.lens, left, right};
        Run run = cli(with({"align"}, with(lenses, {"--json", "--rotation-from", (dir / "scratch/wang.yaml").string()})));
        ASSERT_EQ(run.status, 0) << run.err;
        // A side-by-side rig seen through its own calibration: the baseline along +x, found from the near objects,
        // and a misalignment of a few minutes of arc. The fs unit is seen through the robot unit's lenses, whose
        // radial misfit looks like a baseline turned forward (measured 29 degrees off +x, 15.8' RMS): only the
        // side of the baseline and a misalignment within the fusion limit hold there.
        const bool ownLenses = std::string(p.pair) == p.lens;
        EXPECT_NE(run.out.find("\"baseline_observed\": true"), std::string::npos) << run.out;
        const std::vector<double> baseline = numbers(run.out, "baseline");
        ASSERT_EQ(baseline.size(), 3u) << run.out;
        const double misalignment = field(run.out.substr(run.out.find("\"misalignment_arcmin\"")), "rms");
        std::printf("[ figures  ] %s through %s's lenses: baseline x %.3f, misalignment %.2f' RMS\n", p.pair, p.lens,
                    baseline[0], misalignment);
        EXPECT_GT(baseline[0], ownLenses ? 0.95 : 0.8) << run.out;
        EXPECT_LT(misalignment, ownLenses ? 10.0 : 19.2) << run.out;
        if (ownLenses) {
            EXPECT_NE(run.out.find("\"warning\": null"), std::string::npos) << run.out;
        }
        // The parallel cameras the calibration assumes are within 2 degrees of what the pictures show.
        EXPECT_LT(field(run.out, "off_deg"), 2.0) << run.out;

        run = cli(with({"convert"}, with(lenses, {"--rotation-from", (dir / "scratch/wang.yaml").string(), "--height", "256",
                                                  "-o", std::string(p.pair) + ".png"})));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(cv::imread((dir / "output" / (std::string(p.pair) + ".png")).string()).size(), cv::Size(512, 256));
    }
}
