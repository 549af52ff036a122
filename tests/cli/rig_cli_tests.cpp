// What a rig says beyond its lens records, as a script sees it: calibration files imported as lenses (or refused
// naming the file, the node and what is wrong, with nothing written), sensors mounted sideways, and the rotation
// between the cameras taken from a calibration.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "alignment/rotation.h"
#include "engine/lens.h"
#include "tests/cli/cli_test_support.h"
#include "tests/support/synth.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

// The robot unit of the shipped T265 pairs (calibration.txt), as each tool writes a calibration.
const char* kOpenCvYaml =
    "%YAML:1.0\n---\nimage_width: 848\nimage_height: 800\nK: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n"
    "   data: [ 285.722, 0., 420.135, 0., 286.759, 403.394, 0., 0.,\n       1. ]\nD: !!opencv-matrix\n   rows: 4\n"
    "   cols: 1\n   dt: d\n   data: [ -0.00659769, 0.0473251, -0.0458264, 0.00897725 ]\n";
const char* kOpenCvXml =
    "<?xml version=\"1.0\"?>\n<opencv_storage>\n<image_width>848</image_width>\n<image_height>800</image_height>\n"
    "<camera_matrix type_id=\"opencv-matrix\">\n  <rows>3</rows>\n  <cols>3</cols>\n  <dt>d</dt>\n  <data>\n"
    "    285.722 0. 420.135 0. 286.759 403.394 0. 0. 1.</data></camera_matrix>\n"
    "<distortion_coefficients type_id=\"opencv-matrix\">\n  <rows>4</rows>\n  <cols>1</cols>\n  <dt>d</dt>\n"
    "  <data>\n    -0.00659769 0.0473251 -0.0458264 0.00897725</data></distortion_coefficients>\n</opencv_storage>\n";
std::string rosYaml(const char* model) {
    return std::string("image_width: 848\nimage_height: 800\ncamera_name: t265_left\ncamera_matrix:\n  rows: 3\n  cols: 3\n"
                       "  data: [285.722, 0, 420.135, 0, 286.759, 403.394, 0, 0, 1]\ndistortion_model: ") +
           model + "\ndistortion_coefficients:\n  rows: 1\n  cols: 4\n  data: [-0.00659769, 0.0473251, -0.0458264, 0.00897725]\n";
}
// A Kalibr camchain: cam0 the robot unit's lens, cam1 a double-sphere lens turned by `rotation` (4 x 4, rows).
std::string camchain(const std::string& rotationRows, const std::string& cam1Model = "ds") {
    return "cam0:\n  camera_model: pinhole\n  distortion_coeffs: [-0.00659769, 0.0473251, -0.0458264, 0.00897725]\n"
           "  distortion_model: equidistant\n  intrinsics: [285.722, 286.759, 420.135, 403.394]\n  resolution: [848, 800]\n"
           "cam1:\n  T_cn_cnm1:\n" + rotationRows + "  camera_model: " + cam1Model +
           "\n  distortion_coeffs: []\n  distortion_model: none\n  intrinsics: [-0.2, 0.6, 286.5, 286.6, 423.1, 393.3]\n"
           "  resolution: [848, 800]\n";
}
const std::string kIdentityRows = "  - [1, 0, 0, -0.064]\n  - [0, 1, 0, 0]\n  - [0, 0, 1, 0]\n  - [0, 0, 0, 1]\n";

// A right-to-left rotation (engine frames: +y forward, +z up) as Kalibr's T_cn_cnm1 rows for the right camera:
// p_right = R p_left in frames x right, y down, z forward, so R = P^T m^T P with P the change of frames.
std::string kalibrRows(const RotationMatrix& m) {
    const double p[3][3] = {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}};
    std::string rows;
    for (int i = 0; i < 3; ++i) {
        rows += "  - [";
        for (int j = 0; j < 3; ++j) {
            double r = 0.0;
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) r += p[a][i] * m.m[b][a] * p[b][j];
            char text[40];
            std::snprintf(text, sizeof text, "%.17g, ", r);
            rows += text;
        }
        rows += i == 0 ? "-0.064]\n" : "0]\n";
    }
    return rows + "  - [0, 0, 0, 1]\n";
}

// `text` with its first `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

cv::Mat turnedCounterClockwise(const cv::Mat& upright) {
    cv::Mat turned;
    cv::rotate(upright, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
    return turned;
}

double meanDifference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat d;
    cv::absdiff(a, b, d);
    return cv::mean(d.reshape(1))[0];
}

}  // namespace

// Each tool's file becomes a record with the calibration's numbers; every file the importer cannot read whole is
// refused with exit status 1, naming the file, the node and what is wrong, and the registry is left as it was.
TEST_F(CliTest, LensImportWritesTheCalibrationOrNothing) {
    const struct {
        const char* label;
        std::string text;
        Args extra;
        int status;
        const char* mentions;  // in the output (success) or the error (refusal)
    } cases[] = {
        {"OpenCV YAML", kOpenCvYaml, {}, 0, "focal length: 285.722 dots across, 286.759 down"},
        {"OpenCV XML", kOpenCvXml, {}, 0, "optical axis: (420.135, 403.394)"},
        {"ROS camera_info", rosYaml("equidistant"), {}, 0, "k1 .. k4: -0.00659769, 0.0473251, -0.0458264, 0.00897725"},
        {"ROS plumb_bob read as a fisheye", rosYaml("plumb_bob"), {"--model", "kannala-brandt"}, 0, "(ROS camera_info)"},
        {"Kalibr cam0", camchain(kIdentityRows), {}, 0, "(Kalibr camchain, camera 0 of 2: cam0)"},
        {"Kalibr cam1, double sphere, turned", camchain(kIdentityRows), {"--camera", "1", "--turn", "270"}, 0,
         "turn: the picture stands upright once turned 270 degrees clockwise"},
        {"ROS plumb_bob", rosYaml("plumb_bob"), {}, 1,
         "cal.yaml: distortion_model: is 'plumb_bob', another model than the fisheye's (equidistant); if its 4 "
         "coefficients are a fisheye's k1 .. k4, say so with --model kannala-brandt"},
        {"a pinhole calibration's five coefficients",
         replaced(replaced(kOpenCvYaml, "rows: 4", "rows: 5"), "0.00897725 ]", "0.00897725, 0.001 ]"), {}, 1, "cal.yaml: D.data: holds 5 coefficients: a fisheye (Kannala-Brandt) calibration has 4"},
        {"Kalibr omni", camchain(kIdentityRows, "omni"), {"--camera", "1"}, 1, "cal.yaml: cam1.camera_model: is 'omni': another model"},
        {"missing node", replaced(kOpenCvYaml, "image_height", "image_hight"), {}, 1,
         "cal.yaml: image_height: missing"},
        {"NaN", replaced(kOpenCvYaml, "-0.0458264", ".Nan"), {}, 1,
         "cal.yaml: D.data[2]: is NaN, not a number"},
        {"centre outside the picture", replaced(kOpenCvYaml, "420.135", "900.5"), {}, 1, "cal.yaml: K: centre (900.5, 403.394): lies outside the 848 x 800 picture"},
        {"a third camera", camchain(kIdentityRows), {"--camera", "2"}, 1, "--camera 2: the Kalibr camchain holds 2 cameras"},
        {"a turn of 45 degrees", kOpenCvYaml, {"--turn", "45"}, 1, "--turn takes 0, 90, 180 or 270"},
        {"not closed", "K: [1, 2\nD: [3]\n", {}, 1, "cal.yaml line 1: a list that is never closed"},
        {"a tab in the indentation", "K:\n\trows: 3\n", {}, 1, "cal.yaml line 2: a tab in the indentation"},
        {"XML not closed", "<?xml version=\"1.0\"?>\n<opencv_storage>\n<K>1 2\n", {}, 1,
         "cal.yaml line 3: the element <K> is never closed"},
    };
    const std::string registry = readFile(dir / "Vistereo.ini");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        writeFile(dir / "Vistereo.ini", registry);
        writeFile(dir / "scratch/cal.yaml", c.text);
        const Run run = cli(with({"lens", "import", "-C", dir.string(), (dir / "scratch/cal.yaml").string()}, c.extra));
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE((c.status == 0 ? run.out : run.err).find(c.mentions), std::string::npos) << run.out << run.err;
        EXPECT_EQ(readFile(dir / "Vistereo.ini") == registry, c.status != 0);
    }
    // A name the registry already holds is refused.
    writeFile(dir / "scratch/cal.yaml", kOpenCvYaml);
    const Run again = cli({"lens", "import", "-C", dir.string(), (dir / "scratch/cal.yaml").string(), "--name", "Equisolid"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("record #1 of " + (dir / "Vistereo.ini").string() + " already has that name"), std::string::npos)
        << again.err;
}

// A right camera whose sensor is mounted sideways (its pictures stand upright once turned 90 degrees clockwise):
// said once in its record, or with --right-turn, the pair converts as the upright pair does, and match tells the
// right partner in the picture as read. A turn of 45 degrees is refused naming the option, nothing written.
TEST_F(CliTest, ASidewaysSensorConvertsAsAnUprightOne) {
    const SynthLens lens = SynthLens::equisolid(901, 901);
    const RotationMatrix rightCam = rotationFromYawPitchRoll(2.0, -1.0, 1.5);
    const cv::Mat left = renderFisheye(panorama(), lens, {}), right = renderFisheye(panorama(), lens, rightCam);
    ASSERT_TRUE(cv::imwrite((dir / "input/L.png").string(), left));
    ASSERT_TRUE(cv::imwrite((dir / "input/R.png").string(), right));
    ASSERT_TRUE(cv::imwrite((dir / "input/Rturned.png").string(), turnedCounterClockwise(right)));
    Run run = cli({"lens", "add", "-C", dir.string(), "Sideways", "--projection", "equisolid", "--fov", "180", "--circle",
                   "450,450,450", "--turn", "90"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Args pair{"convert", "-C", dir.string(), "--left-lens", "#1", "--left", "L.png", "--points",
                    "300,620,310,630,330,560,335,565", "--height", "300"};
    run = cli(with(pair, {"--right-lens", "#1", "--right", "R.png", "-o", "upright.png"}));
    ASSERT_EQ(run.status, 0) << run.err;
    const cv::Mat upright = cv::imread((dir / "output/upright.png").string());
    for (const Args& turned : {Args{"--right-lens", "Sideways"}, Args{"--right-lens", "#1", "--right-turn", "90"}}) {
        SCOPED_TRACE(turned.back());
        fs::remove(dir / "output/turned.png");
        // The right points as read: (310, 335) upright lies at (335, 900 - 310) in the turned picture.
        run = cli(with({"convert", "-C", dir.string(), "--left-lens", "#1", "--left", "L.png", "--right", "Rturned.png",
                        "--points", "300,620,335,565,330,560,590,270", "--height", "300", "-o", "turned.png"},
                       turned));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_LT(meanDifference(cv::imread((dir / "output/turned.png").string()), upright), 0.05);
    }
    // match: the partner found in the turned picture, told where the picture as read has it.
    run = cli({"match", "-C", dir.string(), "--left", "L.png", "--right", "R.png", "--point", "400,500"});
    ASSERT_EQ(run.status, 0) << run.err;
    int x = 0, y = 0;
    ASSERT_EQ(std::sscanf(run.out.c_str(), "%d,%d", &x, &y), 2) << run.out;
    run = cli({"match", "-C", dir.string(), "--left", "L.png", "--right", "Rturned.png", "--right-turn", "90", "--point",
               "400,500"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, std::to_string(y) + "," + std::to_string(900 - x) + "\n");

    run = cli(with(pair, {"--right-lens", "#1", "--right", "Rturned.png", "--right-turn", "45", "-o", "bad.png"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("--right-turn takes 0, 90, 180 or 270 (degrees clockwise for the picture to stand upright), "
                           "not '45'"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir / "output/bad.png"));
}

// The rotation between a rig's cameras from its calibration: with the true one the right half shows what the left
// one shows, also when the right sensor is mounted sideways and the calibration gives the sensor's own rotation;
// align says how far the pictures disagree with the file (hardly, or by the whole turn of a wrong file).
TEST_F(CliTest, TheRotationOfACalibrationAlignsTheRightEye) {
    const SynthLens lens = SynthLens::equisolid(901, 901);
    const RotationMatrix rightCam = rotationFromYawPitchRoll(3.0, -2.0, 2.5);
    // The sideways sensor: the camera rolled clockwise by a quarter turn, whose pictures need 90 degrees clockwise.
    const RotationMatrix sidewaysCam = rightCam * rotationFromYawPitchRoll(0, 0, 90);
    ASSERT_TRUE(cv::imwrite((dir / "input/L.png").string(), renderFisheye(panorama(), lens, {})));
    ASSERT_TRUE(cv::imwrite((dir / "input/R.png").string(), renderFisheye(panorama(), lens, rightCam)));
    ASSERT_TRUE(cv::imwrite((dir / "input/Rs.png").string(), renderFisheye(panorama(), lens, sidewaysCam)));
    writeFile(dir / "scratch/true.yaml", camchain(kalibrRows(rightCam)));
    writeFile(dir / "scratch/sideways.yaml", camchain(kalibrRows(sidewaysCam)));
    writeFile(dir / "scratch/wrong.yaml", camchain(kIdentityRows));
    const int n = 300;
    cv::Mat mask(n, n, CV_8U, cv::Scalar(0));  // the central 120 x 120 degrees
    mask(cv::Rect(n / 6, n / 6, n * 2 / 3, n * 2 / 3)).setTo(255);
    const struct {
        const char* file;
        Args extra;
        bool aligned;
    } cases[] = {{"true.yaml", {"--right", "R.png"}, true},
                 {"sideways.yaml", {"--right", "Rs.png", "--right-turn", "90"}, true},
                 {"wrong.yaml", {"--right", "R.png"}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Run run = cli(with({"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--left",
                                  "L.png", "--rotation-from", (dir / "scratch" / c.file).string(), "--height",
                                  std::to_string(n), "-o", "out.png"},
                                 c.extra));
        ASSERT_EQ(run.status, 0) << run.err;
        const cv::Mat out = cv::imread((dir / "output/out.png").string());
        const double agreement = psnr(out.colRange(0, n).clone(), out.colRange(n, 2 * n).clone(), mask);
        if (c.aligned) EXPECT_GT(agreement, 28.0);
        else EXPECT_LT(agreement, 22.0);
    }
    const Args align{"align", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "L.png", "R.png", "--json"};
    const double wholeTurn = alignment::rotationAngle(rightCam) * 180.0 / M_PI;
    for (const auto& [file, off] : {std::pair{"true.yaml", 0.0}, std::pair{"wrong.yaml", wholeTurn}}) {
        SCOPED_TRACE(file);
        const Run run = cli(with(align, {"--rotation-from", (dir / "scratch" / file).string()}));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NEAR(field(run.out, "off_deg"), off, 0.1) << run.out;
    }
    // A calibration of one camera has no rotation between two: refused, nothing written.
    writeFile(dir / "scratch/one.yaml", kOpenCvYaml);
    const Run one = cli({"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--left", "L.png",
                         "--right", "R.png", "--rotation-from", (dir / "scratch/one.yaml").string(), "-o", "one.png"});
    EXPECT_EQ(one.status, 1);
    EXPECT_NE(one.err.find("--rotation-from: " + (dir / "scratch/one.yaml").string() +
                           ": holds one camera, so no rotation between two"),
              std::string::npos)
        << one.err;
    EXPECT_FALSE(fs::exists(dir / "output/one.png"));
}
