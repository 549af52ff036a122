// Fisheye lens mapping of one eye: direction to source position and back.
#include "engine/lens.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

namespace vistereo {
namespace {

// The difference of two pixel coordinates as a 32-bit integer, wrapping as
// the machine's integer subtraction does.
int32_t diff32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One segment's inverse, r = a*theta^2 + b*theta + c solved with the +sqrt
// root: the root on the increasing branch whatever the sign of a. A segment
// without a square term is a straight line and is solved as one (the root
// formula would divide zero by zero there).
double invertSegment(double a, double b, double c, double rho) {
    if (a == 0.0) return (rho - c) / b;
    const double d = std::pow(b, 2.0) - (c - rho) * (a * 4.0);
    return (std::sqrt(d) - b) / (a + a);
}

double polynomialValue(const PolynomialLaw& p, double t) {
    const double t2 = t * t;
    return t * (1.0 + t2 * (p.k1 + t2 * (p.k2 + t2 * (p.k3 + t2 * p.k4))));
}

// The double-sphere and extended unified laws for a unit direction theta off
// the axis: sin(theta) over their denominator. NaN outside the directions the
// model projects (behind its validity cone, where the denominator falls to
// zero or the image folds back).
double doubleSphereValue(const SphereLaw& law, double t) {
    const double xi = law.first, alpha = law.second;
    const double along = std::cos(t), across = std::sin(t);
    // Valid where cos(theta) > -w2 (Usenko et al. 2018, eq. 43).
    const double w1 = alpha <= 0.5 ? alpha / (1.0 - alpha) : (1.0 - alpha) / alpha;
    const double w2 = (w1 + xi) / std::sqrt(2.0 * w1 * xi + xi * xi + 1.0);
    if (!(along > -w2)) return kNaN;
    const double shifted = xi + along;
    const double d2 = std::sqrt(across * across + shifted * shifted);
    return across / (alpha * d2 + (1.0 - alpha) * shifted);
}

double extendedUnifiedValue(const SphereLaw& law, double t) {
    const double alpha = law.first, beta = law.second;
    const double along = std::cos(t), across = std::sin(t);
    const double d = std::sqrt(beta * across * across + along * along);
    // Valid where z > -w d (Khomenko et al. 2016), w as for the double sphere's w1.
    const double w = alpha <= 0.5 ? alpha / (1.0 - alpha) : (1.0 - alpha) / alpha;
    if (!(along > -w * d)) return kNaN;
    return across / (alpha * d + (1.0 - alpha) * along);
}

// Their closed-form inverses: the angle off the axis of normalised radius
// rho (Usenko et al. 2018, the unprojections); NaN outside their image.
double doubleSphereAngle(const SphereLaw& law, double rho) {
    const double xi = law.first, alpha = law.second, r2 = rho * rho;
    const double root = 1.0 - (2.0 * alpha - 1.0) * r2;
    if (!(root >= 0.0)) return kNaN;
    const double mz = (1.0 - alpha * alpha * r2) / (alpha * std::sqrt(root) + 1.0 - alpha);
    const double k = (mz * xi + std::sqrt(mz * mz + (1.0 - xi * xi) * r2)) / (mz * mz + r2);
    return std::atan2(k * rho, k * mz - xi);
}

double extendedUnifiedAngle(const SphereLaw& law, double rho) {
    const double alpha = law.first, beta = law.second, r2 = rho * rho;
    const double root = 1.0 - (2.0 * alpha - 1.0) * beta * r2;
    if (!(root >= 0.0)) return kNaN;
    const double mz = (1.0 - beta * alpha * alpha * r2) / (alpha * std::sqrt(root) + 1.0 - alpha);
    return std::atan2(rho, mz);
}

// (cos, sin) of an azimuth turned counter-clockwise by `quarters` quarter
// turns: exact, by swapping and negating.
void turnAzimuth(int32_t quarters, double& c, double& s) {
    const double c0 = c, s0 = s;
    switch (quarters & 3) {
        case 1: c = -s0, s = c0; break;
        case 2: c = -c0, s = -s0; break;
        case 3: c = s0, s = -c0; break;
        default: break;
    }
}

double polynomialSlope(const PolynomialLaw& p, double t) {
    const double t2 = t * t;
    return 1.0 + t2 * (3.0 * p.k1 + t2 * (5.0 * p.k2 + t2 * (7.0 * p.k3 + t2 * 9.0 * p.k4)));
}

// Slope of the quadratic law at theta, from the segment theta falls in.
double quadraticSlope(const QuadraticLaw& q, double t) {
    if (t < q.theta1) return 2.0 * q.a1 * t + q.b1;
    if (t < q.theta2) return 2.0 * q.a2 * t + q.b2;
    if (t < q.theta3) return 2.0 * q.a3 * t + q.b3;
    return 2.0 * q.a4 * t + q.b4;
}

double lawSlope(const EyeGeometry& e, double t) {
    switch (e.mapping) {
        case MappingKind::Quadratic: return quadraticSlope(e.quadratic, t);
        case MappingKind::Equidistant: return 1.0;
        case MappingKind::Stereographic: {
            const double c = std::cos(0.5 * t);
            return 1.0 / (c * c);
        }
        case MappingKind::Polynomial: return polynomialSlope(e.polynomial, t);
        case MappingKind::DoubleSphere:
        case MappingKind::ExtendedUnified: {
            // Only a Newton step's direction hangs on it (the solver keeps a bracket): a central difference.
            const double h = 1e-6;
            return (lawRadius(e, t + h) - lawRadius(e, std::max(0.0, t - h))) / (t + h - std::max(0.0, t - h));
        }
        default: return e.sineK * std::cos(t * e.sineK);
    }
}

// The theta in [0, reach] at which g(theta) * (1 + shape * theta^2) equals
// `target`, the function taken as increasing there: Newton steps from
// `guess`, each kept inside a bracket that shrinks around the root (a step
// that would leave it bisects instead). NaN when the bracket holds no root.
double solveAngle(const EyeGeometry& e, double target, double guess) {
    const double shape = e.correction.shape;
    auto value = [&](double t) { return lawRadius(e, t) * (1.0 + shape * t * t); };
    double lo = 0.0, hi = e.reachTheta;
    if (!(target >= 0.0) || !(value(hi) >= target)) return kNaN;
    if (target == 0.0) return 0.0;
    double t = std::clamp(guess, lo, hi);
    if (!(t > lo && t < hi)) t = 0.5 * (lo + hi);
    for (int step = 0; step < 200; ++step) {
        const double f = value(t) - target;
        if (f == 0.0) return t;
        (f < 0.0 ? lo : hi) = t;
        const double slope = lawSlope(e, t) * (1.0 + shape * t * t) + lawRadius(e, t) * 2.0 * shape * t;
        double next = t - f / slope;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (std::abs(next - t) <= 4.0 * std::numeric_limits<double>::epsilon() * std::max(1.0, t) ||
            hi - lo <= 4.0 * std::numeric_limits<double>::epsilon())
            return next;
        t = next;
    }
    return t;
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
        if (q.a1 == 0.0) {
            theta = rho / q.b1;  // a straight first segment through the origin
        } else {
            const double d = std::pow(q.b1, 2.0) - (q.a1 * 4.0) * (-rho);
            theta = (std::sqrt(d) - q.b1) / (q.a1 + q.a1);
        }
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

double lawRadius(const EyeGeometry& e, double theta) {
    switch (e.mapping) {
        case MappingKind::Quadratic: return lensRadius(e.quadratic, static_cast<float>(theta));
        case MappingKind::Equidistant: return theta;
        case MappingKind::Stereographic: return 2.0 * std::tan(0.5 * theta);
        case MappingKind::Polynomial: return polynomialValue(e.polynomial, theta);
        case MappingKind::DoubleSphere: return doubleSphereValue(e.sphere, theta);
        case MappingKind::ExtendedUnified: return extendedUnifiedValue(e.sphere, theta);
        default: return std::sin(theta * e.sineK);
    }
}

double radialDistance(const EyeGeometry& e, double theta) {
    if (!(theta >= 0.0 && theta <= e.reachTheta)) return kNaN;
    if (e.mapping == MappingKind::Stereographic && !(theta < e.reachTheta)) return kNaN;
    const LensCorrection& c = e.correction;
    const double r = e.radius180;
    return r * e.mappingScale * lawRadius(e, theta) * c.scale * (1.0 + c.shape * theta * theta);
}

double angleOffAxis(const EyeGeometry& e, double dots) {
    const LensCorrection& c = e.correction;
    const double rho = dots / (static_cast<double>(e.radius180) * e.mappingScale * c.scale);
    if (!(rho >= 0.0)) return kNaN;
    if (c.shape == 0.0) {
        double theta = kNaN;
        switch (e.mapping) {
            case MappingKind::Quadratic: return lensTheta(e, static_cast<float>(rho));
            case MappingKind::Equidistant: theta = rho; break;
            case MappingKind::Stereographic: theta = 2.0 * std::atan(0.5 * rho); break;
            case MappingKind::Polynomial: return solveAngle(e, rho, rho);
            case MappingKind::DoubleSphere: theta = doubleSphereAngle(e.sphere, rho); break;
            case MappingKind::ExtendedUnified: theta = extendedUnifiedAngle(e.sphere, rho); break;
            default: theta = std::asin(rho) * (1.0 / e.sineK); break;
        }
        return theta <= e.reachTheta ? theta : kNaN;
    }
    // The shape term has no closed inverse: start from the uncorrected angle.
    EyeGeometry plain = e;
    plain.correction.shape = 0.0;
    return solveAngle(e, rho, angleOffAxis(plain, dots));
}

EyeGeometry withMappingAt90Degrees(const EyeGeometry& eye, MappingKind kind) {
    EyeGeometry e = eye;
    e.mapping = kind;
    e.circleTheta = kHalfPi;
    e.polynomial = {};
    e.sphere = {};
    switch (kind) {
        case MappingKind::Orthographic: e.sineK = 1.0, e.mappingScale = 1.0; break;
        case MappingKind::Equisolid: e.sineK = 0.5, e.mappingScale = 1.41421; break;
        default: e.mappingScale = 1.0 / lawRadius(e, 0.5 * std::numbers::pi); break;
    }
    // As the prepare step bounds them: the orthographic law rises to 90 degrees, the others to 180.
    e.reachTheta = kind == MappingKind::Orthographic ? 0.5 * std::numbers::pi : std::numbers::pi;
    return e;
}

SourcePosition projectToImage(const EyeGeometry& e, double theta, double phi) {
    // The azimuth in the picture as read: the upright frame's, turned back by
    // the quarter turns the picture needs to stand upright.
    double c = std::cos(phi), s = std::sin(phi);
    turnAzimuth(e.quarterTurns, c, s);
    if (!usesFixedArithmetic(e)) {
        const double r = radialDistance(e, theta);
        return {c * r + e.axisX + e.axisFractionX + e.correction.axisDx,
                e.axisY + e.axisFractionY + e.correction.axisDy - s * r / e.aspect};
    }
    const double g = e.mapping == MappingKind::Quadratic ? lensRadius(e.quadratic, static_cast<float>(theta))
                                                 : std::sin(theta * e.sineK);
    const double r = e.radius180;
    // (2R) * g * (m * pi/2) / pi = R * m * g dots from the axis point.
    const double distance = (r + r) * (g * (e.mappingScale * kHalfPi));
    return {c * distance / kPi + e.axisX, e.axisY - s * distance / kPi};
}

SourcePosition axisPosition(const EyeGeometry& e) {
    return {e.axisX + e.axisFractionX + e.correction.axisDx, e.axisY + e.axisFractionY + e.correction.axisDy};
}

RimCircle rimCircle(const EyeGeometry& e) {
    const SourcePosition axis = axisPosition(e);
    const SourcePosition across = projectToImage(e, kHalfPi, 0.0);
    double radius = std::hypot(across.column - axis.column, across.row - axis.row);
    if (e.aspect != 1.0) {
        // Dots that are not square stretch the rim into an ellipse: its longer half-axis.
        const SourcePosition down = projectToImage(e, kHalfPi, 0.5 * std::numbers::pi);
        radius = std::max(radius, std::hypot(down.column - axis.column, down.row - axis.row));
    }
    return {axis.column, axis.row, radius};
}

SourcePosition uprightPosition(SourcePosition p, int width, int height, int32_t turnDegrees) {
    switch (isQuarterTurn(turnDegrees) ? turnDegrees / 90 : 0) {
        case 1: return {height - 1 - p.row, p.column};
        case 2: return {width - 1 - p.column, height - 1 - p.row};
        case 3: return {p.row, width - 1 - p.column};
        default: return p;
    }
}

SourcePosition positionAsRead(SourcePosition p, int width, int height, int32_t turnDegrees) {
    switch (isQuarterTurn(turnDegrees) ? turnDegrees / 90 : 0) {
        case 1: return {p.row, height - 1 - p.column};
        case 2: return {width - 1 - p.column, height - 1 - p.row};
        case 3: return {width - 1 - p.row, p.column};
        default: return p;
    }
}

Vec3 directionOfPosition(const EyeGeometry& e, SourcePosition position) {
    const SourcePosition axis = axisPosition(e);
    double dx = position.column - axis.column;
    double up = (axis.row - position.row) * e.aspect;
    const double q = std::sqrt(dx * dx + up * up);
    if (q == 0.0) return {0.0, 1.0, 0.0};  // the axis point itself looks along the axis
    const double theta = angleOffAxis(e, q);
    turnAzimuth(-e.quarterTurns, dx, up);  // into the upright frame
    return {std::sin(theta) * (dx / q), std::cos(theta), std::sin(theta) * (up / q)};
}

Vec3 directionOfPoint(const EyeGeometry& e, ImagePoint point) {
    if (!usesFixedArithmetic(e)) return directionOfPosition(e, {double(point.x), double(point.y)});
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
    double across = dx / q, up = diff32(e.axisY, point.y) / q;
    turnAzimuth(-e.quarterTurns, across, up);  // into the upright frame
    return {std::sin(theta) * across, std::cos(theta), std::sin(theta) * up};
}

}  // namespace vistereo
