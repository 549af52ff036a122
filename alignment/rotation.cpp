#include "alignment/rotation.h"
#include "alignment/cv_rotation.h"

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

double rotationAngle(const RotationMatrix& r) { return rotationAngle(toCv(r)); }

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

size_t RotationMean::usedCount() const { return static_cast<size_t>(std::count(used.begin(), used.end(), true)); }

RotationMean robustMeanRotation(const std::vector<RotationMatrix>& given, double floorDegrees) {
    RotationMean mean;
    const size_t n = given.size();
    if (n == 0) return mean;
    std::vector<cv::Matx33d> estimates;
    for (const RotationMatrix& r : given) estimates.push_back(toCv(r));
    auto angleBetween = [](const cv::Matx33d& a, const cv::Matx33d& b) { return rotationAngle(a.t() * b) / kDegree; };
    size_t centre = 0;
    double bestSum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (size_t j = 0; j < n; ++j) sum += angleBetween(estimates[i], estimates[j]);
        if (i == 0 || sum < bestSum) bestSum = sum, centre = i;
    }
    std::vector<double> distance(n);
    for (size_t i = 0; i < n; ++i) distance[i] = angleBetween(estimates[centre], estimates[i]);
    std::vector<double> sorted = distance;
    std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.end());
    const double limit = std::max(floorDegrees, 3.0 * sorted[n / 2]);

    cv::Matx33d sum = cv::Matx33d::zeros();
    mean.used.resize(n);
    for (size_t i = 0; i < n; ++i) {
        mean.used[i] = distance[i] <= limit;
        if (mean.used[i]) sum += estimates[i];
    }
    const cv::Matx33d rotation = nearestRotation(sum);
    mean.rotation = fromCv(rotation);
    double squares = 0.0;
    mean.offDegrees.resize(n);
    for (size_t i = 0; i < n; ++i) {
        mean.offDegrees[i] = angleBetween(rotation, estimates[i]);
        if (!mean.used[i]) continue;
        squares += mean.offDegrees[i] * mean.offDegrees[i];
        mean.maxDegrees = std::max(mean.maxDegrees, mean.offDegrees[i]);
    }
    mean.rmsDegrees = std::sqrt(squares / static_cast<double>(mean.usedCount()));
    return mean;
}

}  // namespace vistereo::alignment
