// Rotations of camera directions: one row-major 3 x 3 matrix acting on column
// vectors, d' = m * d. As the right eye's alignment it carries right-camera
// directions onto left-camera ones: d_left = m * d_right.
#pragma once

#include "engine/lens.h"

namespace vistereo {

struct RotationMatrix {
    double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // the identity
    friend bool operator==(const RotationMatrix&, const RotationMatrix&) = default;
};

// The product a * b: b's turn first, then a's.
RotationMatrix operator*(const RotationMatrix& a, const RotationMatrix& b);

// The transpose, which for a rotation is its inverse.
RotationMatrix transpose(const RotationMatrix& r);

// r * d: a direction turned by the rotation.
Vec3 rotate(const RotationMatrix& r, const Vec3& direction);

// An output direction turned back into the right camera's frame by the
// transpose of a right-to-left rotation.
Vec3 undoRotation(const RotationMatrix& rightToLeft, const Vec3& direction);

// R = Yaw(yaw) * Pitch(pitch) * Roll(roll), degrees, applied to camera
// directions (+y forward, +x right, +z up):
//   Yaw(w)   = [ cos w  sin w  0 ; -sin w  cos w  0 ; 0 0 1 ]   positive turns +y towards +x (to the right)
//   Pitch(p) = [ 1 0 0 ; 0  cos p  -sin p ; 0  sin p  cos p ]   positive turns +y towards +z (up)
//   Roll(r)  = [ cos r  0  sin r ; 0 1 0 ; -sin r  0  cos r ]   positive turns +z towards +x (clockwise as seen from behind)
RotationMatrix rotationFromYawPitchRoll(double yawDeg, double pitchDeg, double rollDeg);

struct YawPitchRoll {
    double yaw = 0.0, pitch = 0.0, roll = 0.0;  // degrees
};
// The inverse of rotationFromYawPitchRoll (pitch in -90 .. 90).
YawPitchRoll yawPitchRollOf(const RotationMatrix& r);

}  // namespace vistereo
