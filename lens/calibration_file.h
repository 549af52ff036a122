// The calibrations rig owners already have, read as lenses: an OpenCV
// FileStorage file (YAML or XML) of a cv::fisheye calibration ("K" and "D",
// or "camera_matrix" and "distortion_coefficients", with "image_width" and
// "image_height"; a stereo calibration's "K1", "D1", "K2", "D2" and "R"), a
// ROS camera_info file ("distortion_model: equidistant"), and a Kalibr
// camchain ("cam0", "cam1", ... with camera_model pinhole and
// distortion_model equidistant, or the ds and eucm models).
//
// Every refusal names the file, the node (as "cam1.intrinsics" or "K.data")
// and what is wrong: another model, a missing node, a number that is not
// one, a centre outside the picture.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/fallible.h"
#include "engine/rotation.h"
#include "lens/calibrated_record.h"

namespace vistereo {

// How to read a file's distortion: as its model says, or four coefficients
// under another model's name (some calibrators file a fisheye's k1 .. k4
// under "plumb_bob") as Kannala-Brandt's.
enum class CalibrationModel { AsStated, KannalaBrandt };

// One camera of the file: its lens, or why it cannot be one.
struct CalibrationCamera : Fallible {
    std::string node;  // where it is: "cam1", "K2", or "" for a file of one camera
    std::string valuesNode;  // where its focal lengths and centre are: "cam1.intrinsics", "K", "camera_matrix"
    CalibratedLens lens;
};

struct CalibrationFile : Fallible {
    std::string format;                      // "Kalibr camchain", "ROS camera_info", "OpenCV FileStorage"
    std::vector<CalibrationCamera> cameras;  // in the file's order
    // The second camera against the first (OpenCV's stereo R, Kalibr's cam1
    // T_cn_cnm1): a point p in the first camera's frame is R p + t in the
    // second's; frames x right, y down, z forward. Unset in a file of one
    // camera; `rotationError` says why when the file has one that does not read.
    std::optional<std::array<std::array<double, 3>, 3>> rotation;
    std::optional<std::array<double, 3>> translation;
    std::string rotationError;
};

// The file read whole (at most a few megabytes: a calibration is small).
// `error`: "<file>: <node>: what is wrong", or "<file> line N: ...".
CalibrationFile readCalibrationFile(const std::filesystem::path& file, CalibrationModel model = CalibrationModel::AsStated);

// The same for a text already read; `fileName` is how the messages name it.
CalibrationFile readCalibrationText(std::string_view text, const std::string& fileName,
                                    CalibrationModel model = CalibrationModel::AsStated);

// The rotation that carries the right eye's directions onto the left's
// (the alignment's RotationMatrix, engine frames +y forward, +z up), from a
// calibration's rotation of the second (right) camera against the first
// (left), each eye's picture standing upright after its turn.
RotationMatrix rightToLeftOfCalibration(const std::array<std::array<double, 3>, 3>& rotation, int32_t leftTurnDegrees,
                                        int32_t rightTurnDegrees);

}  // namespace vistereo
