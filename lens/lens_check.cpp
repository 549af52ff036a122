#include "lens/lens_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/lens.h"
#include "engine/prepare.h"

namespace vistereo {
namespace {

constexpr double kDegreesPerRadian = 180.0 / 3.14159265358979323846;

std::string degreesText(double radians) { return lensNumberText(radians * kDegreesPerRadian) + " degrees"; }

void checkRadius(const LensSettings& lens, std::vector<LensValueProblem>& out) {
    if (lens.radiusMode == static_cast<int32_t>(RadiusMode::Magnification)) {
        const double m = lens.magnification;
        if (!(m > 0.0 && m <= kMaxLensMagnification))
            out.push_back({"magnification", lensNumberText(m),
                           "the image circle's radius in half image heights must be above 0 and at most " +
                               lensNumberText(kMaxLensMagnification)});
    } else if (lens.radiusMode == static_cast<int32_t>(RadiusMode::Dots)) {
        if (!(lens.radiusDots > 0 && lens.radiusDots <= kMaxLensRadiusDots))
            out.push_back({"radiusDots", std::to_string(lens.radiusDots),
                           "the image circle's radius must be above 0 and at most " +
                               lensNumberText(kMaxLensRadiusDots) + " dots"});
    }
}

// The quadratic law on [0, 90 degrees]: bounds in order, every segment that
// is used rising and within sight of the 90-degree radius, no drop where one
// segment hands over to the next.
constexpr double kMaxQuadraticRadius = 1000.0;
void checkQuadratic(const QuadraticLaw& q, std::vector<LensValueProblem>& out) {
    const double bound[5] = {0.0, q.theta1, q.theta2, q.theta3, kHalfPi};
    const double a[4] = {q.a1, q.a2, q.a3, q.a4}, b[4] = {q.b1, q.b2, q.b3, q.b4}, c[4] = {0.0, q.c2, q.c3, q.c4};
    for (int s = 1; s <= 3; ++s)
        if (!std::isfinite(bound[s]) || bound[s] < bound[s - 1]) {
            out.push_back({"theta" + std::to_string(s), lensNumberText(bound[s]),
                           "the segment bounds must be numbers with 0 <= theta1 <= theta2 <= theta3"});
            return;
        }
    double previousEnd = 0.0;  // the radius where the last segment in use ended
    bool any = false;
    for (int s = 0; s < 4; ++s) {
        const std::string n = std::to_string(s + 1);
        const double lo = std::min(bound[s], kHalfPi), hi = s == 3 ? kHalfPi : std::min(bound[s + 1], kHalfPi);
        if (!(lo < hi)) continue;  // a segment that covers no angle is never used
        if (!std::isfinite(a[s]) || !std::isfinite(b[s]) || !std::isfinite(c[s])) {
            out.push_back({"a" + n + ", b" + n + ", c" + n,
                           lensNumberText(a[s]) + ", " + lensNumberText(b[s]) + ", " + lensNumberText(c[s]),
                           "the coefficients must be numbers"});
            return;
        }
        // A hand-typed law is rounded: a slope or a step a thousandth of the
        // radius off is let through, a law that really falls is not.
        constexpr double kSlack = kRoundedLawSlack;
        const double slopeLo = 2.0 * a[s] * lo + b[s], slopeHi = 2.0 * a[s] * hi + b[s];
        const double start = a[s] * lo * lo + b[s] * lo + c[s], end = a[s] * hi * hi + b[s] * hi + c[s];
        if (std::max(std::abs(start), std::abs(end)) > kMaxQuadraticRadius) {
            out.push_back({"a" + n + ", b" + n + ", c" + n,
                           lensNumberText(a[s]) + ", " + lensNumberText(b[s]) + ", " + lensNumberText(c[s]),
                           "segment " + n + " reaches " + lensNumberText(std::max(std::abs(start), std::abs(end))) +
                               " times the radius at 90 degrees: the law gives fractions of that radius"});
            return;
        }
        // The law's radii are single-precision numbers where a lens maps them:
        // a segment must rise there too, not only in the doubles typed.
        const bool rises = static_cast<float>(end) > static_cast<float>(start);
        if (!(slopeLo >= -kSlack && slopeHi >= -kSlack && rises)) {
            out.push_back({"a" + n + ", b" + n, lensNumberText(a[s]) + ", " + lensNumberText(b[s]),
                           "segment " + n + " does not rise between theta " + lensNumberText(lo) + " and " +
                               lensNumberText(hi) + " rad: a lens's image radius grows with the angle off its axis"});
            return;
        }
        if (any && start < previousEnd - kSlack) {
            out.push_back({"c" + n, lensNumberText(c[s]),
                           "the image radius drops from " + lensNumberText(previousEnd) + " to " +
                               lensNumberText(start) + " at theta " + lensNumberText(lo) + " rad"});
            return;
        }
        previousEnd = end;
        any = true;
    }
}

// The double-sphere model's xi and alpha, the extended unified model's alpha
// and beta: within the ranges the models are defined on.
bool checkSphereLaw(const LensSettings& lens, std::vector<LensValueProblem>& out) {
    const SphereLaw law = sphereLawOf(lens);
    const bool doubleSphere = lens.mappingKind == static_cast<int32_t>(MappingKind::DoubleSphere);
    const struct {
        const char* field;
        const char* name;
        double value, low, high;
    } numbers[2] = {doubleSphere ? decltype(numbers[0]){"a1", "xi", law.first, -1.0, 1.0}
                                 : decltype(numbers[0]){"a1", "alpha", law.first, 0.0, 1.0},
                    doubleSphere ? decltype(numbers[0]){"a2", "alpha", law.second, 0.0, 1.0}
                                 : decltype(numbers[0]){"a2", "beta", law.second, 1e-6, 100.0}};
    for (const auto& n : numbers)
        if (!(n.value >= n.low && n.value <= n.high)) {
            out.push_back({n.field, lensNumberText(n.value),
                           std::string(n.name) + " of the " + (doubleSphere ? "double-sphere" : "extended unified") +
                               " model must lie between " + lensNumberText(n.low) + " and " + lensNumberText(n.high)});
            return false;
        }
    return true;
}

// The equidistant, stereographic, polynomial, double-sphere and extended
// unified laws: a field of view they can image, and a law that keeps rising
// out to the circle's rim.
void checkProjection(const LensSettings& lens, std::vector<LensValueProblem>& out) {
    const double fov = fieldOfViewDegrees(lens);
    const PolynomialLaw p = polynomialLawOf(lens);
    if (lens.mappingKind == static_cast<int32_t>(MappingKind::Polynomial)) {
        const double k[4] = {p.k1, p.k2, p.k3, p.k4};
        for (int i = 0; i < 4; ++i)
            if (!std::isfinite(k[i]) || std::abs(k[i]) > 1e6) {
                out.push_back({"a" + std::to_string(i + 1), lensNumberText(k[i]),
                               "k" + std::to_string(i + 1) + " of the polynomial must be a number of sensible size"});
                return;
            }
    }
    if ((lens.mappingKind == static_cast<int32_t>(MappingKind::DoubleSphere) ||
         lens.mappingKind == static_cast<int32_t>(MappingKind::ExtendedUnified)) &&
        !checkSphereLaw(lens, out))
        return;
    if (!(fov == 0.0 || (fov >= 1.0 && fov <= 360.0))) {
        out.push_back({"c1", lensNumberText(fov), "the field of view of the image circle must lie between 1 and 360 "
                                                  "degrees (or be left empty for the radius at 90 degrees)"});
        return;
    }
    const PreparedEyes derived = prepareEyes({lens, lens}, {ImageSize{1000, 1000}, ImageSize{1000, 1000}});
    const EyeGeometry& eye = derived.eye[0];
    const bool reached = lens.mappingKind == static_cast<int32_t>(MappingKind::Stereographic)
                             ? eye.circleTheta < eye.reachTheta
                             : eye.circleTheta <= eye.reachTheta;
    if (!reached || !(eye.mappingScale > 0.0 && std::isfinite(eye.mappingScale))) {
        const bool polynomial = lens.mappingKind == static_cast<int32_t>(MappingKind::Polynomial);
        const bool sphere = lens.mappingKind == static_cast<int32_t>(MappingKind::DoubleSphere) ||
                            lens.mappingKind == static_cast<int32_t>(MappingKind::ExtendedUnified);
        out.push_back({polynomial ? "a1, a2, a3, a4" : sphere ? "c1 (with a1, a2)" : "c1",
                       polynomial ? lensNumberText(p.k1) + ", " + lensNumberText(p.k2) + ", " + lensNumberText(p.k3) +
                                        ", " + lensNumberText(p.k4)
                                  : lensNumberText(fov),
                       "the law stops rising at " + degreesText(eye.reachTheta) +
                           " off the axis, inside the image circle's rim at " + degreesText(eye.circleTheta)});
    }
}

// A calibrated lens's text: readable, a centre that the whole-dot axis
// rounds, an aspect a lens's dots can have, a quarter turn.
void checkPrecision(const LensSettings& lens, std::vector<LensValueProblem>& out) {
    const LensPrecision& p = lens.precision;
    if (!p.unreadableItem.empty() || !p.unreadableReason.empty()) {
        out.push_back({"b1", "'" + p.unreadableItem + "'",
                       p.unreadableReason + " (a calibrated lens's text reads centre=X,Y aspect=A turn=D)"});
        return;
    }
    if (p.hasCentre) {
        const std::string centre = lensNumberText(p.centreX) + ", " + lensNumberText(p.centreY);
        if (lens.axisMode != static_cast<int32_t>(AxisMode::GivenAxis))
            out.push_back({"b1", "centre " + centre, "an optical axis between dots needs the given axis (axis code 1)"});
        else if (!(std::abs(p.centreX - lens.axisX) <= 0.5 && std::abs(p.centreY - lens.axisY) <= 0.5))
            out.push_back({"axisX, axisY", std::to_string(lens.axisX) + ", " + std::to_string(lens.axisY),
                           "the whole dots of the axis must be those nearest the centre " + centre +
                               " of field b1: change both, or neither"});
    }
    if (!(p.aspect >= 0.5 && p.aspect <= 2.0))
        out.push_back({"b1", "aspect " + lensNumberText(p.aspect),
                       "the aspect fx / fy of a lens's dots lies near 1 (between 0.5 and 2)"});
    if (!isQuarterTurn(p.turnDegrees))
        out.push_back({"b1", "turn " + std::to_string(p.turnDegrees),
                       "a picture stands upright after a turn of 0, 90, 180 or 270 degrees clockwise"});
}

void checkAxisRecord(const LensSettings& lens, std::vector<LensValueProblem>& out) {
    if (lens.axisMode != static_cast<int32_t>(AxisMode::GivenAxis)) return;
    if (std::abs(double(lens.axisX)) > kMaxLensRadiusDots || std::abs(double(lens.axisY)) > kMaxLensRadiusDots)
        out.push_back({"axisX, axisY", std::to_string(lens.axisX) + ", " + std::to_string(lens.axisY),
                       "the optical axis lies farther from the picture than any image circle reaches"});
}

}  // namespace

std::string lensNumberText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::vector<LensValueProblem> lensSettingsProblems(const LensSettings& lens) {
    std::vector<LensValueProblem> out;
    if (lens.radiusMode < 0 || lens.radiusMode > 3)
        out.push_back({"radiusMode", std::to_string(lens.radiusMode), "is not a known code (0 to 3)"});
    if (lens.mappingKind < 0 || lens.mappingKind > kLastMappingKind)
        out.push_back({"mappingKind", std::to_string(lens.mappingKind),
                       "is not a known code (0 to " + std::to_string(kLastMappingKind) + ")"});
    if (lens.axisMode < 0 || lens.axisMode > 1)
        out.push_back({"axisMode", std::to_string(lens.axisMode), "is not a known code (0 or 1)"});
    if (!out.empty()) return out;
    checkRadius(lens, out);
    switch (static_cast<MappingKind>(lens.mappingKind)) {
        case MappingKind::SineK:
            if (!(lens.sineK > 0.0 && lens.sineK <= 1.0))
                out.push_back({"sineK", lensNumberText(lens.sineK),
                               "k of sin(k theta) must lie above 0 and at most 1, so that the image radius still "
                               "grows out to 90 degrees off the axis"});
            break;
        case MappingKind::Quadratic: checkQuadratic(lens.quadratic, out); break;
        case MappingKind::Equidistant:
        case MappingKind::Stereographic:
        case MappingKind::Polynomial:
        case MappingKind::DoubleSphere:
        case MappingKind::ExtendedUnified: checkProjection(lens, out); break;
        default: break;
    }
    checkAxisRecord(lens, out);
    checkPrecision(lens, out);
    return out;
}

std::vector<LensValueProblem> eyeGeometryProblems(const LensSettings& lens, const EyeGeometry& eye) {
    std::vector<LensValueProblem> out = lensSettingsProblems(lens);
    if (!out.empty()) return out;
    const double radius = eye.radius180;
    if (!(radius > 0.0 && radius <= kMaxLensRadiusDots)) {
        out.push_back({"radius", std::to_string(eye.radius180) + " dots",
                       "the image circle's radius derived for the " + std::to_string(eye.imageWidth) + " x " +
                           std::to_string(eye.imageHeight) + " image must be above 0 and at most " +
                           lensNumberText(kMaxLensRadiusDots) + " dots"});
        return out;
    }
    // How far the axis point lies outside the image rectangle (0 inside it).
    const double x = eye.axisX, y = eye.axisY;
    const double gapX = std::max({0.0, -x, x - (eye.imageWidth - 1)});
    const double gapY = std::max({0.0, -y, y - (eye.imageHeight - 1)});
    const double gap = std::hypot(gapX, gapY);
    if (gap > radius)
        out.push_back({"axisX, axisY", std::to_string(eye.axisX) + ", " + std::to_string(eye.axisY),
                       "the optical axis lies " + lensNumberText(std::round(gap)) + " dots outside the " +
                           std::to_string(eye.imageWidth) + " x " + std::to_string(eye.imageHeight) +
                           " image, farther than the radius of " + std::to_string(eye.radius180) +
                           " dots: the image circle would miss the picture"});
    return out;
}

std::string describeLensProblem(int eye, const LensSettings& lens, const LensValueProblem& problem) {
    return std::string(eye == 0 ? "the left" : "the right") + " lens \"" + lens.name + "\": " + problem.field +
           " is " + problem.value + ": " + problem.reason;
}

}  // namespace vistereo
