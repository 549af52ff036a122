// Calibration files as lenses: the forms each tool writes give the same numbers; a stereo calibration's rotation
// reads in the engine's frames with the signs of yaw and pitch the alignment uses, and a sideways sensor's turn
// comes out of it; what the strict readers do not read is refused with its line.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <tuple>

#include "engine/rotation.h"
#include "lens/calibration_file.h"

namespace vistereo {
namespace {

constexpr const char* kK = "[286.5, 0, 423.25, 0, 286.75, 393.5, 0, 0, 1]";
constexpr const char* kD = "[-0.0073, 0.052, -0.051, 0.011]";

// One lens, as each form has it; the stereo forms hold a second, K2 with fx 300.
TEST(CalibrationFiles, EveryFormGivesTheSameNumbers) {
    const std::string matrices = std::string("K: ") + kK + "\nD: " + kD + "\n";
    const struct {
        const char* name;
        std::string text;
        const char* format;
        size_t cameras;
    } cases[] = {
        {"OpenCV YAML with flow lists", "%YAML:1.0\n---\nimage_width: 848\nimage_height: 800\n" + matrices,
         "OpenCV FileStorage", 1},
        {"ROS message fields", "height: 800\nwidth: 848\ndistortion_model: \"equidistant\"\n" + matrices, "ROS camera_info", 1},
        {"ROS block lists and comments",
         "# written by hand\nimage_width: 848   # dots\nimage_height: 800\ndistortion_model: equidistant\ncamera_matrix:\n"
         "  rows: 3\n  cols: 3\n  data:\n    - 286.5\n    - 0\n    - 423.25\n    - 0\n    - 286.75\n    - 393.5\n    - 0\n"
         "    - 0\n    - 1\ndistortion_coefficients: {rows: 1, cols: 4, data: " + std::string(kD) + "}\n",
         "ROS camera_info", 1},
        {"OpenCV XML with items",
         "<?xml version=\"1.0\"?>\n<!-- a stereo rig -->\n<opencv_storage>\n<image_width>848</image_width>"
         "<image_height>800</image_height>\n<K1 type_id=\"opencv-matrix\"><rows>3</rows><cols>3</cols><dt>d</dt>"
         "<data>286.5 0 423.25 0 286.75 393.5 0 0 1</data></K1>\n<D1><_>-0.0073</_><_>0.052</_><_>-0.051</_><_>0.011</_>"
         "</D1>\n<K2>300 0 423.25 0 300 393.5 0 0 1</K2><D2>0 0 0 0</D2>\n<R>0 0 0</R></opencv_storage>\n",
         "OpenCV FileStorage", 2},
        {"Kalibr camchain",
         "cam0:\n  camera_model: pinhole\n  intrinsics: [286.5, 286.75, 423.25, 393.5]\n  distortion_model: equi\n"
         "  distortion_coeffs: " + std::string(kD) + "\n  resolution: [848, 800]\n",
         "Kalibr camchain", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CalibrationFile file = readCalibrationText(c.text, "cal");
        ASSERT_TRUE(file.ok()) << file.error;
        EXPECT_EQ(file.format, c.format);
        ASSERT_EQ(file.cameras.size(), c.cameras);
        const CalibrationCamera& camera = file.cameras[0];
        ASSERT_TRUE(camera.ok()) << camera.error;
        const CalibratedLens& lens = camera.lens;
        EXPECT_EQ(lens.kind, MappingKind::Polynomial);
        EXPECT_EQ(lens.polynomial, (PolynomialLaw{-0.0073, 0.052, -0.051, 0.011}));
        EXPECT_EQ(std::tuple(lens.fx, lens.fy, lens.cx, lens.cy, lens.width, lens.height),
                  std::tuple(286.5, 286.75, 423.25, 393.5, 848, 800));
        if (c.cameras == 2) {
            EXPECT_EQ(file.cameras[1].lens.fx, 300.0);
            ASSERT_TRUE(file.rotation);
            EXPECT_EQ((*file.rotation)[1][1], 1.0);  // a zero rotation vector
        }
    }
}

// The second camera turned right (yaw) and up (pitch) in the calibration's frames (x right, y down, z forward)
// reads as the alignment's positive yaw and pitch; a second sensor rolled a quarter turn, whose pictures stand
// upright once turned 90 degrees clockwise, is the rig of two upright eyes.
TEST(CalibrationFiles, TheRotationReadsInTheEnginesFramesAndTurns) {
    const double a = 2.0 * std::numbers::pi / 180.0, c = std::cos(a), s = std::sin(a);
    // A point straight ahead of the second camera lies at (sin a, 0, cos a) in the first's: R^T = about +y.
    const std::array<std::array<double, 3>, 3> yawRight{{{c, 0, -s}, {0, 1, 0}, {s, 0, c}}};
    // Ahead of the second lies up (-y) in the first's: (0, -sin a, cos a).
    const std::array<std::array<double, 3>, 3> pitchUp{{{1, 0, 0}, {0, c, s}, {0, -s, c}}};
    const YawPitchRoll yaw = yawPitchRollOf(rightToLeftOfCalibration(yawRight, 0, 0));
    EXPECT_NEAR(yaw.yaw, 2.0, 1e-12);
    EXPECT_NEAR(yaw.pitch, 0.0, 1e-12);
    const YawPitchRoll pitch = yawPitchRollOf(rightToLeftOfCalibration(pitchUp, 0, 0));
    EXPECT_NEAR(pitch.pitch, 2.0, 1e-12);
    EXPECT_NEAR(pitch.yaw, 0.0, 1e-12);
    // The sideways sensor's x runs down the world, its y to the left: p2 = (p1.y, -p1.x, p1.z).
    const std::array<std::array<double, 3>, 3> sideways{{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}};
    EXPECT_NEAR(std::abs(yawPitchRollOf(rightToLeftOfCalibration(sideways, 0, 0)).roll), 90.0, 1e-9);
    EXPECT_EQ(rightToLeftOfCalibration(sideways, 0, 90), RotationMatrix{});
    const YawPitchRoll bothTurned = yawPitchRollOf(rightToLeftOfCalibration(yawRight, 180, 180));
    EXPECT_NEAR(bothTurned.yaw, -2.0, 1e-9);  // both rigs upside down: the second camera looks left of the first
}

// What the readers do not read, by line.
TEST(CalibrationFiles, WhatTheReadersDoNotReadIsRefusedWithItsLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"K: &k [1]\nD: *k\n", "cal line 1: an anchor ('&')"},
        {"a: 1\nb: |\n  text\n", "cal line 2: a block scalar"},
        {"a: 1\na: 2\n", "cal line 2: the key 'a' twice"},
        {"a: 1\n---\nb: 2\n", "cal line 2: a second document"},
        {"a:\n  - x: 1\n", "cal line 2: a mapping inside a list item"},
        {"a: [1, 2]]\n", "cal line 1: ']' after a closed list"},
        {"a: 'open\n", "cal line 1: a quoted text without its closing '"},
        {"  a: 1\nb: 2\n", "cal line 2: this line is indented less than the document began"},
        {"a: 1\n    b: 2\n", "cal line 2: this line is indented more than the keys before it"},
        {"[1, 2]\n", "cal: holds a list, not a calibration's mapping of names to values"},
        {"<opencv_storage><K>1</J></opencv_storage>", "cal line 1: </J> closes <K>"},
        {"<opencv_storage><K>&unknown;</K></opencv_storage>", "cal line 1: the entity &unknown; is not read"},
        {"<storage></storage>", "cal line 1: the outer element is <storage>, not <opencv_storage>"},
        {"<opencv_storage><K><_>1</_><a>2</a></K></opencv_storage>", "cal line 1: <K> mixes <_> items with named elements"},
        {"", "cal line 1: the file holds nothing"},
    };
    for (const auto& c : cases) {
        const CalibrationFile file = readCalibrationText(c.text, "cal");
        EXPECT_NE(file.error.find(c.error), std::string::npos) << c.text << " -> " << file.error;
    }
    // Deeper than any calibration nests: refused, not a stack overflow.
    EXPECT_NE(readCalibrationText("a: " + std::string(100000, '[') + std::string(100000, ']'), "cal").error.find("nested deeper than"),
              std::string::npos);
    std::string xml = "<opencv_storage>";
    for (int i = 0; i < 50000; ++i) xml += "<a>";
    EXPECT_NE(readCalibrationText(xml, "cal").error.find("nested deeper than"), std::string::npos);
}

}  // namespace
}  // namespace vistereo
