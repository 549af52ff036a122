#include "measure/stereo_window.h"

#include <algorithm>
#include <cmath>

#include "alignment/rotation.h"

namespace vistereo::alignment {

std::optional<double> convergenceForDistance(double distanceMetres, double baselineMillimetres) {
    if (!(distanceMetres > 0.0) || !std::isfinite(distanceMetres) || !(baselineMillimetres > 0.0) ||
        !std::isfinite(baselineMillimetres))
        return std::nullopt;
    const double half = baselineMillimetres / 1000.0 / 2.0;
    return 2.0 * std::atan(half / distanceMetres) * 180.0 / 3.14159265358979323846;
}

RotationMatrix convergedRotation(const RotationMatrix& rightToLeft, double convergenceDegrees) {
    return rotationFromYawPitchRoll(convergenceDegrees, 0.0, 0.0) * rightToLeft;
}

StereoWindow assessStereoWindow(const std::vector<StereoCorrespondence>& inliers, int halfSize,
                                const WindowOptions& options) {
    StereoWindow w;
    w.edgeBandDegrees = options.edgeBandDegrees;
    w.frontPixels = options.frontPixels;
    if (inliers.empty() || halfSize <= 0) return w;
    w.measured = true;
    const double arcminPerPixel = 10800.0 / halfSize;
    const double band = options.edgeBandDegrees / 180.0 * halfSize;

    std::vector<size_t> order(inliers.size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    auto disparity = [&](size_t k) { return inliers[k].rightAt.column - inliers[k].leftAt.column; };
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return disparity(a) < disparity(b); });
    const size_t nearest = order[std::min(order.size() - 1, static_cast<size_t>(options.setAsideShare * order.size()))];
    w.nearestPixels = disparity(nearest);
    w.nearestArcmin = w.nearestPixels * arcminPerPixel;
    w.nearestAt = inliers[nearest].leftAt;

    for (const StereoCorrespondence& c : inliers) {
        const double d = c.rightAt.column - c.leftAt.column;
        if (d >= -options.frontPixels) continue;
        ++w.inFront;
        const double x = 0.5 * (c.leftAt.column + c.rightAt.column);
        const int edge = x < band ? 0 : x > halfSize - 1 - band ? 1 : -1;
        if (edge < 0) continue;
        ++w.edgeInFront[edge];
        w.edgeNearestPixels[edge] = std::min(w.edgeNearestPixels[edge], d);
    }
    for (int edge = 0; edge < 2; ++edge) w.violation[edge] = w.edgeInFront[edge] >= options.minPoints;
    return w;
}

StereoWindow assessStereoWindow(const StereoMeasurement& measurement, const MeasureOptions& measured,
                                WindowOptions options) {
    if (!measurement.ok()) return {};
    const int n = std::min(measurement.halfSize, std::max(64, measured.workingSize));
    options.frontPixels = measured.farParallaxPixels * measurement.halfSize / n;
    return assessStereoWindow(measurement.correspondences, measurement.halfSize, options);
}

}  // namespace vistereo::alignment
