// The rotation from points A and B, and the one turn of a half's output
// directions: the zenith correction and the right eye's alignment undone.
#include "engine/half_turn.h"

#include <cmath>

namespace vistereo {

AlignmentRotation alignmentRotation(const EyeGeometry& left, const EyeGeometry& right, const PointSet& points) {
    AlignmentRotation a;
    a.aL = directionOfPoint(left, points.leftA);
    a.bL = directionOfPoint(left, points.leftB);
    a.aR = directionOfPoint(right, points.rightA);
    a.bR = directionOfPoint(right, points.rightB);
    const Vec3 &aL = a.aL, &bL = a.bL, &aR = a.aR, &bR = a.bR;

    // First rotation: about aR x aL, carrying aR onto aL.
    const Vec3 c{aR.y * aL.z - aL.y * aR.z, aR.z * aL.x - aL.z * aR.x, aL.y * aR.x - aR.y * aL.x};
    const double length = std::sqrt(c.y * c.y + c.x * c.x + c.z * c.z);
    a.n = {c.x / length, c.y / length, c.z / length};
    const Vec3& n = a.n;
    const double s1 = aR.y * n.y + aR.x * n.x + aR.z * n.z;
    a.cosAlpha = (aR.y * aL.y + aL.x * aR.x + aL.z * aR.z - s1 * s1) / (aR.y * aR.y + aR.x * aR.x + aR.z * aR.z - s1 * s1);
    a.sinAlpha = std::sqrt(1.0 - a.cosAlpha * a.cosAlpha);
    a.oneMinusCosAlpha = 1.0 - a.cosAlpha;

    // bR turned by the first rotation (Rodrigues, +alpha about n).
    const double t = (bR.x * n.x + n.y * bR.y + bR.z * n.z) * a.oneMinusCosAlpha;
    const Vec3 b{(bR.z * n.y - n.z * bR.y) * a.sinAlpha + (t * n.x + a.cosAlpha * bR.x),
                 (bR.x * n.z - bR.z * n.x) * a.sinAlpha + (t * n.y + a.cosAlpha * bR.y),
                 (n.x * bR.y - bR.x * n.y) * a.sinAlpha + (t * n.z + a.cosAlpha * bR.z)};

    // Second rotation: about aL, turning b towards bL. Exact when A and B are
    // the same angle apart in both images, an approximation otherwise.
    const double s2 = b.x * aL.x + b.y * aL.y + b.z * aL.z;
    a.cosBeta = (b.x * bL.x + b.y * bL.y + b.z * bL.z - s2 * s2) / (b.y * b.y + b.x * b.x + b.z * b.z - s2 * s2);
    a.sinBeta = std::sqrt(1.0 - a.cosBeta * a.cosBeta);
    const double handedness = (b.y * bL.z - b.z * bL.y) * aL.x + (b.z * bL.x - b.x * bL.z) * aL.y +
                              (b.x * bL.y - bL.x * b.y) * aL.z;
    if (handedness < 0.0) a.sinBeta = -a.sinBeta;
    a.oneMinusCosBeta = 1.0 - a.cosBeta;
    return a;
}

Vec3 undoAlignment(const AlignmentRotation& a, const Vec3& d) {
    const Vec3& l = a.aL;
    const double t = (d.x * l.x + d.y * l.y + d.z * l.z) * a.oneMinusCosBeta;
    const Vec3 e{(t * l.x + d.x * a.cosBeta) - (d.z * l.y - d.y * l.z) * a.sinBeta,
                 (t * l.y + d.y * a.cosBeta) - (d.x * l.z - d.z * l.x) * a.sinBeta,
                 (t * l.z + d.z * a.cosBeta) - (d.y * l.x - d.x * l.y) * a.sinBeta};
    const Vec3& n = a.n;
    const double u = (e.y * n.y + e.x * n.x + e.z * n.z) * a.oneMinusCosAlpha;
    Vec3 f;
    f.y = (u * n.y + e.y * a.cosAlpha) - (e.x * n.z - e.z * n.x) * a.sinAlpha;
    f.z = (u * n.z + e.z * a.cosAlpha) - (e.y * n.x - e.x * n.y) * a.sinAlpha;
    f.x = (u * n.x + e.x * a.cosAlpha) - (e.z * n.y - e.y * n.z) * a.sinAlpha;
    return f;
}

RotationMatrix rotationMatrixOf(const AlignmentRotation& alignment) {
    RotationMatrix r;
    const Vec3 axes[3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
    for (int k = 0; k < 3; ++k) {
        const Vec3 row = undoAlignment(alignment, axes[k]);
        r.m[k][0] = row.x, r.m[k][1] = row.y, r.m[k][2] = row.z;
    }
    return r;
}

HalfTurn::HalfTurn(const ZenithAngles& zenith)
    : zenith_(zenith), cp_(std::cos(zenith.pitch)), sp_(std::sin(zenith.pitch)), cr_(std::cos(zenith.roll)),
      sr_(std::sin(zenith.roll)), cw_(std::cos(zenith.yaw)), sw_(std::sin(zenith.yaw)) {
    compose();
}

HalfTurn::HalfTurn(const ZenithAngles& zenith, const AlignmentRotation& points) : HalfTurn(zenith) {
    undo_ = points;
    compose();
}

HalfTurn::HalfTurn(const ZenithAngles& zenith, const RotationMatrix& rightToLeft) : HalfTurn(zenith) {
    undo_ = rightToLeft;
    compose();
}

Vec3 HalfTurn::undoAlignedEye(const Vec3& d) const {
    if (const auto* points = std::get_if<AlignmentRotation>(&undo_)) return undoAlignment(*points, d);
    if (const auto* matrix = std::get_if<RotationMatrix>(&undo_)) return undoRotation(*matrix, d);
    return d;
}

// Column c of the matrix is axis c turned step by step, so that the matrix
// turns the axes exactly as turnExactly does.
void HalfTurn::compose() {
    for (int c = 0; c < 3; ++c) {
        const Vec3 turned = turnExactly(Vec3{double(c == 0), double(c == 1), double(c == 2)});
        matrix_.m[0][c] = turned.x, matrix_.m[1][c] = turned.y, matrix_.m[2][c] = turned.z;
    }
}

}  // namespace vistereo
