#include "alignment/rotation.h"

#include <algorithm>
#include <cmath>

namespace vistereo::alignment {
namespace {
constexpr double kDegree = 3.14159265358979323846 / 180.0;
}

cv::Matx33d rotationFromVector(const cv::Vec3d& w) {
    const double angle = cv::norm(w);
    const cv::Matx33d k = cross(w);
    if (angle < 1e-12) return cv::Matx33d::eye() + k;
    const double a = std::sin(angle) / angle, b = (1.0 - std::cos(angle)) / (angle * angle);
    return cv::Matx33d::eye() + a * k + b * (k * k);
}

cv::Vec3d vectorFromRotation(const cv::Matx33d& r) {
    const double c = std::clamp((cv::trace(r) - 1.0) * 0.5, -1.0, 1.0);
    const double angle = std::acos(c);
    const cv::Vec3d v(r(2, 1) - r(1, 2), r(0, 2) - r(2, 0), r(1, 0) - r(0, 1));  // 2 sin(angle) axis
    if (angle < 1e-6) return 0.5 * v;
    if (angle < 3.14159265358979323846 - 1e-6) return v * (angle / (2.0 * std::sin(angle)));
    // Near a half turn: the axis from the diagonal.
    cv::Vec3d axis(std::sqrt(std::max(0.0, (r(0, 0) + 1) * 0.5)), std::sqrt(std::max(0.0, (r(1, 1) + 1) * 0.5)),
                   std::sqrt(std::max(0.0, (r(2, 2) + 1) * 0.5)));
    if (r(0, 1) < 0) axis[1] = -axis[1];
    if (r(0, 2) < 0) axis[2] = -axis[2];
    return axis * (angle / cv::norm(axis));
}

double rotationAngle(const cv::Matx33d& r) { return std::acos(std::clamp((cv::trace(r) - 1.0) * 0.5, -1.0, 1.0)); }

cv::Matx33d nearestRotation(const cv::Matx33d& m) {
    cv::Matx33d u, vt;
    cv::Matx31d s;
    cv::SVD::compute(m, s, u, vt);
    cv::Matx33d r = u * vt;
    if (cv::determinant(r) < 0) {
        const cv::Matx33d flip(1, 0, 0, 0, 1, 0, 0, 0, -1);
        r = u * flip * vt;
    }
    return r;
}

cv::Matx33d rotationFromYawPitchRoll(double yawDeg, double pitchDeg, double rollDeg) {
    const double w = yawDeg * kDegree, p = pitchDeg * kDegree, r = rollDeg * kDegree;
    const cv::Matx33d yaw(std::cos(w), std::sin(w), 0, -std::sin(w), std::cos(w), 0, 0, 0, 1);
    const cv::Matx33d pitch(1, 0, 0, 0, std::cos(p), -std::sin(p), 0, std::sin(p), std::cos(p));
    const cv::Matx33d roll(std::cos(r), 0, std::sin(r), 0, 1, 0, -std::sin(r), 0, std::cos(r));
    return yaw * pitch * roll;
}

YawPitchRoll yawPitchRollOf(const cv::Matx33d& r) {
    // Column y of R is (sin w cos p, cos w cos p, sin p); row z is (-cos p sin r, sin p, cos p cos r).
    YawPitchRoll a;
    a.pitch = std::asin(std::clamp(r(2, 1), -1.0, 1.0)) / kDegree;
    a.yaw = std::atan2(r(0, 1), r(1, 1)) / kDegree;
    a.roll = std::atan2(-r(2, 0), r(2, 2)) / kDegree;
    return a;
}

}  // namespace vistereo::alignment
