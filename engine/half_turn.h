// How a half's output directions reach its camera, as one rotation handed to
// planning: the zenith correction (pitch about x, then roll about the viewing
// axis y, then yaw about z) and, for the right half, the right eye's
// alignment undone (the rotation from points A and B, or a given
// right-to-left rotation).
//
// The rotation is held twice over, on purpose. `matrix()` is the composed
// turn for the default arithmetic, which turns every direction by one
// matrix. `turnExactly` is the same turn step by step in the reference
// path's order of floating-point operations, for the exact arithmetic and
// the reference renderer: the byte-exact routes agree with the reference bit
// for bit only through it. One matrix in its place moves the last bits of
// about a quarter of the positions, and the product of the zenith's matrix
// and the alignment's is not the matrix below either (7 of its 9 entries
// differ in their last bits), which is why the matrix is made by turning
// the three axes step by step.
#pragma once

#include <variant>

#include "engine/lens.h"
#include "engine/params.h"
#include "engine/rotation.h"

namespace vistereo {

// The rotation that carries right-camera directions onto left-camera ones,
// built from points A and B: first about aR x aL by alpha (aR onto aL), then
// about aL by beta (B's as close as they come).
struct AlignmentRotation {
    Vec3 aL, bL, aR, bR;
    Vec3 n;  // axis of the first rotation (aR onto aL)
    double cosAlpha = 0.0, sinAlpha = 0.0, oneMinusCosAlpha = 0.0;
    double cosBeta = 0.0, sinBeta = 0.0, oneMinusCosBeta = 0.0;  // about aL
    friend bool operator==(const AlignmentRotation&, const AlignmentRotation&) = default;
};
AlignmentRotation alignmentRotation(const EyeGeometry& left, const EyeGeometry& right, const PointSet& points);

// An output direction turned back into the right camera's frame: angle -beta
// about aL, then angle -alpha about n.
Vec3 undoAlignment(const AlignmentRotation& alignment, const Vec3& direction);

// The rotation from points A and B as a right-to-left matrix: its rows are
// the left camera's axes turned back into the right camera's frame.
RotationMatrix rotationMatrixOf(const AlignmentRotation& alignment);

class HalfTurn {
public:
    // No turn at all.
    HalfTurn() = default;
    // The left half: the zenith correction alone.
    explicit HalfTurn(const ZenithAngles& zenith);
    // The right half: the zenith correction, then the alignment from points A
    // and B, or a right-to-left rotation, undone.
    HalfTurn(const ZenithAngles& zenith, const AlignmentRotation& points);
    HalfTurn(const ZenithAngles& zenith, const RotationMatrix& rightToLeft);

    // The composed turn, d_camera = matrix() * d_output: its columns are the
    // output axes turned by turnExactly.
    const RotationMatrix& matrix() const { return matrix_; }

    // (x, y, z) turned in the reference's order, given cos(pitch) z and
    // sin(pitch) z (pitchOf), which the directions of one output row share.
    Vec3 turnExactly(double x, double y, double cpZ, double spZ) const {
        const double y1 = cp_ * y - spZ;
        const double z1 = cpZ + sp_ * y;
        const double x2 = cr_ * x - sr_ * z1;
        const double z2 = cr_ * z1 + sr_ * x;
        const double y3 = cw_ * y1 - sw_ * x2;
        const double x3 = cw_ * x2 + sw_ * y1;
        if (undo_.index() == 0) return {x3, y3, z2};
        return undoAlignedEye({x3, y3, z2});
    }
    Vec3 turnExactly(const Vec3& d) const { return turnExactly(d.x, d.y, cp_ * d.z, sp_ * d.z); }
    // cos(pitch) z and sin(pitch) z, as turnExactly takes them.
    double cosPitchTimes(double z) const { return cp_ * z; }
    double sinPitchTimes(double z) const { return sp_ * z; }

    // Member by member: a plan made for another zenith or alignment is never
    // taken for this one, and values that are not numbers never compare equal.
    friend bool operator==(const HalfTurn&, const HalfTurn&) = default;

private:
    void compose();
    Vec3 undoAlignedEye(const Vec3& d) const;  // the right eye's alignment undone

    ZenithAngles zenith_;
    double cp_ = 1.0, sp_ = 0.0, cr_ = 1.0, sr_ = 0.0, cw_ = 1.0, sw_ = 0.0;  // cosines and sines of pitch, roll, yaw
    std::variant<std::monostate, AlignmentRotation, RotationMatrix> undo_;    // what the right half undoes
    RotationMatrix matrix_;
};

}  // namespace vistereo
