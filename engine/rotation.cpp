#include "engine/rotation.h"

#include <algorithm>
#include <cmath>

namespace vistereo {
namespace {
constexpr double kDegree = 3.14159265358979323846 / 180.0;
}

RotationMatrix operator*(const RotationMatrix& a, const RotationMatrix& b) {
    RotationMatrix r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0.0;
            for (int k = 0; k < 3; ++k) s += a.m[i][k] * b.m[k][j];
            r.m[i][j] = s;
        }
    return r;
}

RotationMatrix transpose(const RotationMatrix& r) {
    RotationMatrix t;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t.m[i][j] = r.m[j][i];
    return t;
}

Vec3 rotate(const RotationMatrix& r, const Vec3& d) {
    const auto& m = r.m;
    return {m[0][0] * d.x + m[0][1] * d.y + m[0][2] * d.z, m[1][0] * d.x + m[1][1] * d.y + m[1][2] * d.z,
            m[2][0] * d.x + m[2][1] * d.y + m[2][2] * d.z};
}

Vec3 undoRotation(const RotationMatrix& r, const Vec3& d) {
    const auto& m = r.m;
    return {m[0][0] * d.x + m[1][0] * d.y + m[2][0] * d.z, m[0][1] * d.x + m[1][1] * d.y + m[2][1] * d.z,
            m[0][2] * d.x + m[1][2] * d.y + m[2][2] * d.z};
}

RotationMatrix rotationFromYawPitchRoll(double yawDeg, double pitchDeg, double rollDeg) {
    const double w = yawDeg * kDegree, p = pitchDeg * kDegree, r = rollDeg * kDegree;
    const RotationMatrix yaw{{{std::cos(w), std::sin(w), 0}, {-std::sin(w), std::cos(w), 0}, {0, 0, 1}}};
    const RotationMatrix pitch{{{1, 0, 0}, {0, std::cos(p), -std::sin(p)}, {0, std::sin(p), std::cos(p)}}};
    const RotationMatrix roll{{{std::cos(r), 0, std::sin(r)}, {0, 1, 0}, {-std::sin(r), 0, std::cos(r)}}};
    return yaw * pitch * roll;
}

YawPitchRoll yawPitchRollOf(const RotationMatrix& r) {
    // Column y of R is (sin w cos p, cos w cos p, sin p); row z is (-cos p sin r, sin p, cos p cos r).
    const auto& m = r.m;
    YawPitchRoll a;
    a.pitch = std::asin(std::clamp(m[2][1], -1.0, 1.0)) / kDegree;
    a.yaw = std::atan2(m[0][1], m[1][1]) / kDegree;
    a.roll = std::atan2(-m[2][0], m[2][2]) / kDegree;
    return a;
}

}  // namespace vistereo
