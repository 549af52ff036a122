// Rotations as the alignment measures them: the angle of one, and one
// rotation for several estimates of the same one. The rotation type and its
// yaw, pitch and roll are the engine's (engine/rotation.h).
#pragma once

#include <vector>

#include "engine/rotation.h"

namespace vistereo::alignment {

// Angle of the rotation r in radians.
double rotationAngle(const RotationMatrix& r);

// One rotation for several estimates of the same one (a rig's rotation
// measured on several pairs). The estimate closest to all the others (the
// least sum of angles to them) is the centre; estimates further from it than
// max(floorDegrees, 3 x the median distance) are left out as outliers; the
// rest are averaged (the nearest rotation to the sum of their matrices).
struct RotationMean {
    RotationMatrix rotation;
    std::vector<bool> used;            // per estimate: taken into the mean
    std::vector<double> offDegrees;    // per estimate: angle to the mean
    double rmsDegrees = 0.0, maxDegrees = 0.0;  // of the used estimates' angles to the mean
    size_t usedCount() const;
};
RotationMean robustMeanRotation(const std::vector<RotationMatrix>& estimates, double floorDegrees = 0.25);

}  // namespace vistereo::alignment
