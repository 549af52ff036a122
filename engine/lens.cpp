// Fisheye lens mapping of one eye: direction to source position and back.
#include "engine/lens.h"

#include <cmath>
#include <cstdint>

namespace vistereo {
namespace {

// The difference of two pixel coordinates as a 32-bit integer, wrapping as
// the machine's integer subtraction does.
int32_t diff32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// One segment's inverse, r = a*theta^2 + b*theta + c solved with the +sqrt
// root: the root on the increasing branch whatever the sign of a.
double invertSegment(double a, double b, double c, double rho) {
    const double d = std::pow(b, 2.0) - (c - rho) * (a * 4.0);
    return (std::sqrt(d) - b) / (a + a);
}

}  // namespace

double lensRadius(const QuadraticLaw& e, float theta) {
    const double t = theta;
    double value = 0.0;
    if (theta >= 0.0f && t < e.theta1) {
        // The first segment has no constant term: the curve starts at r = 0.
        value = std::pow(t, 2.0) * e.a1 + t * e.b1;
    } else if (t >= e.theta1 && t < e.theta2) {
        value = std::pow(t, 2.0) * e.a2 + (t * e.b2 + e.c2);
    } else if (t >= e.theta2 && t < e.theta3) {
        value = std::pow(t, 2.0) * e.a3 + (t * e.b3 + e.c3);
    } else if (t >= e.theta3) {
        // No upper bound: angles past the rim continue the last segment.
        value = std::pow(t, 2.0) * e.a4 + (t * e.b4 + e.c4);
    }
    return static_cast<float>(value);
}

double lensTheta(const EyeGeometry& eye, float radius) {
    const QuadraticLaw& q = eye.quadratic;
    const double rho = radius;
    double theta = 0.0;
    if (radius >= 0.0f && rho < eye.radius1) {
        const double d = std::pow(q.b1, 2.0) - (q.a1 * 4.0) * (-rho);
        theta = (std::sqrt(d) - q.b1) / (q.a1 + q.a1);
    } else if (rho >= eye.radius1 && rho < eye.radius2) {
        theta = invertSegment(q.a2, q.b2, q.c2, rho);
    } else if (rho >= eye.radius2 && rho < eye.radius3) {
        theta = invertSegment(q.a3, q.b3, q.c3, rho);
    } else if (rho >= eye.radius3 && radius <= 1.0f) {
        theta = invertSegment(q.a4, q.b4, q.c4, rho);
    }
    // A radius beyond the 180-degree circle (or NaN) is taken as the axis.
    return static_cast<float>(theta);
}

SourcePosition projectToImage(const EyeGeometry& e, double theta, double phi) {
    const double g = e.mapping == MappingKind::Quadratic ? lensRadius(e.quadratic, static_cast<float>(theta))
                                                 : std::sin(theta * e.sineK);
    const double r = e.radius180;
    // (2R) * g * (m * pi/2) / pi = R * m * g dots from the axis point.
    const double s = (r + r) * (g * (e.mappingScale * kHalfPi));
    return {std::cos(phi) * s / kPi + e.axisX, e.axisY - std::sin(phi) * s / kPi};
}

Vec3 directionOfPoint(const EyeGeometry& e, ImagePoint point) {
    const double dx = diff32(point.x, e.axisX);
    const double dy = diff32(point.y, e.axisY);
    const double q = std::sqrt(dy * dy + dx * dx);

    // Normalised radius q / (R * m), in the lens's own order of operations.
    const double r = e.radius180;
    double rho = q * kPi;
    rho = rho / (r + r);
    rho = rho + rho;
    rho = rho / e.mappingScale;
    rho = rho / kPi;

    const double theta = e.mapping == MappingKind::Quadratic ? lensTheta(e, static_cast<float>(rho))
                                                     : std::asin(rho) * (1.0 / e.sineK);
    const double up = diff32(e.axisY, point.y);
    return {std::sin(theta) * (dx / q), std::cos(theta), std::sin(theta) * (up / q)};
}

}  // namespace vistereo
