// The far-field residual of a rendered pair against the rig's truth, for the
// tests that link the alignment library (the support library does not).
#pragma once

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>

#include "alignment/working_view.h"
#include "tests/support/stereo_scene.h"

namespace vistereo::testsupport {

// The far-field residual at output height 1024, in output pixels (RMS): for
// directions d on a grid over the left half, the left half shows the source
// pixel the left camera model sends d to and the right half the one the right
// model sends R^T d to; what the true lenses see at those two pixels, both in
// the left camera's frame, should be one direction. Directions either true
// lens does not see inside its image are left out.
inline double farFieldResidual(const StereoRig& rig, const alignment::CameraModel& left,
                               const alignment::CameraModel& right, const RotationMatrix& rotation) {
    const RotationMatrix truth = rig.rightToLeft();
    double squares = 0.0;
    int count = 0;
    auto inside = [](const SynthLens& lens, const std::optional<SourcePosition>& p) {
        return p && p->column >= 0 && p->row >= 0 && p->column <= lens.width - 1 && p->row <= lens.height - 1;
    };
    for (int i = 8; i < 1024; i += 16)
        for (int j = 8; j < 1024; j += 16) {
            const Vec3 d = alignment::halfPixelDirection(1024, {double(j), double(i)});
            const std::optional<SourcePosition> l = alignment::sourcePositionOfDirection(left, d);
            const std::optional<SourcePosition> r =
                alignment::sourcePositionOfDirection(right, undoRotation(rotation, d));
            if (!inside(rig.left.lens, l) || !inside(rig.right.lens, r)) continue;
            const Vec3 seenLeft = cameraDirectionOfPixel(rig.left.lens, l->column, l->row);
            const Vec3 seenRight = cameraDirectionOfPixel(rig.right.lens, r->column, r->row);
            if (std::isnan(seenLeft.x) || std::isnan(seenRight.x)) continue;
            const Vec3 b = rotate(truth, seenRight);
            const double angle = std::acos(std::clamp(dot(seenLeft, b), -1.0, 1.0)) * 1024.0 / std::numbers::pi;
            squares += angle * angle, ++count;
        }
    return count > 100 ? std::sqrt(squares / count) : NAN;
}

}  // namespace vistereo::testsupport
