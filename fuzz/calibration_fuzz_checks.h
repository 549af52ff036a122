// What both calibration readers' fuzz targets check of a text they read:
// every refusal names the file; every camera read either names its node and
// what is wrong or builds a record that passes the lens checks and maps every
// angle out to its circle's rim to a finite, growing radius with the
// calibration's focal length; a rotation read is one.
#pragma once

#include <cmath>
#include <cstdlib>
#include <string>

#include "engine/lens.h"
#include "lens/lens_check.h"
#include "engine/prepare.h"
#include "lens/calibration_file.h"
#include "lens/lens_selection.h"

namespace vistereo::fuzzing {

inline void checkCalibrationText(const std::string& text) {
    // The model only changes how a camera's distortion is read, never whether the text reads.
    const CalibrationFile asStated = readCalibrationText(text, "cal");
    for (const CalibrationModel model : {CalibrationModel::AsStated, CalibrationModel::KannalaBrandt}) {
        const CalibrationFile read = readCalibrationText(text, "cal", model);
        if (read.ok() != asStated.ok() || read.cameras.size() != asStated.cameras.size()) std::abort();
        if (!read.ok()) {
            if (read.error.rfind("cal", 0) != 0) std::abort();
            continue;
        }
        for (const CalibrationCamera& camera : read.cameras) {
            if (!camera.ok()) {
                if (camera.error.rfind("cal: ", 0) != 0) std::abort();
                continue;
            }
            for (const int32_t turn : {0, 90}) {
                CalibratedLens lens = camera.lens;
                lens.turnDegrees = turn;
                const LensRecordBuild built = buildCalibratedRecord("fuzz", lens);
                if (!built.ok()) continue;
                const LensSettings settings = lensSettingsOf(built.record);
                if (!lensSettingsProblems(settings).empty()) std::abort();
                const ImageSize size{lens.width, lens.height};
                const EyeGeometry eye = prepareEyes({settings, settings}, {size, size}).eye[0];
                if (!(std::abs(eye.radius180 * eye.mappingScale - lens.fx) <= 1e-6 * lens.fx)) std::abort();
                double previous = -1.0;
                for (int i = 0; i <= 32; ++i) {
                    const double r = radialDistance(eye, eye.circleTheta * i / 32.0);
                    if (!std::isfinite(r) || r < previous) std::abort();
                    previous = r;
                }
            }
        }
        if (read.rotation) {
            const auto& r = *read.rotation;
            for (int i = 0; i < 3; ++i) {
                double norm = 0.0;
                for (int k = 0; k < 3; ++k) norm += r[k][i] * r[k][i];
                if (!(std::abs(norm - 1.0) < 1e-2)) std::abort();
            }
        }
    }
}

}  // namespace vistereo::fuzzing
