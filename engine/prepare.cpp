#include "engine/prepare.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "engine/lens.h"

namespace vistereo {
namespace {

bool deriveRadius(const LensSettings& lens, EyeGeometry& eye) {
    switch (static_cast<RadiusMode>(lens.radiusMode)) {
        case RadiusMode::CircularFisheye: eye.radius180 = truncateToInt32(eye.imageHeight * 0.5); return true;
        case RadiusMode::DiagonalFisheye: {
            const double h = eye.imageHeight * 0.5, w = eye.imageWidth * 0.5;
            eye.radius180 = truncateToInt32(std::sqrt(h * h + w * w));
            return true;
        }
        case RadiusMode::Magnification:
            eye.radius180 = truncateToInt32(eye.imageHeight * 0.5 * lens.magnification);
            return true;
        case RadiusMode::Dots: eye.radius180 = lens.radiusDots; return true;
    }
    return false;
}

// The widest angle off the axis (at most pi) up to which the law keeps
// increasing: where its slope first falls to zero, found on a fine grid and
// then by halving the step. A quadratic keeps its reach across a dip of no
// more than the rounding slack where its segments meet.
double reachOf(const EyeGeometry& eye) {
    switch (eye.mapping) {
        case MappingKind::Equidistant:
        case MappingKind::Stereographic: return std::numbers::pi;
        case MappingKind::Orthographic:
        case MappingKind::Equisolid:
        case MappingKind::SineK:
            return eye.sineK > 0.0 ? std::min(std::numbers::pi, 0.5 * std::numbers::pi / eye.sineK) : 0.0;
        default: break;
    }
    constexpr int kSteps = 4096;
    const double step = std::numbers::pi / kSteps;
    double previous = lawRadius(eye, 0.0), peak = previous;
    for (int i = 1; i <= kSteps; ++i) {
        const double value = lawRadius(eye, i * step);
        if (eye.mapping == MappingKind::Quadratic) {
            if (!(value >= peak - kRoundedLawSlack)) return (i - 1) * step;
            peak = std::max(peak, value);
            continue;
        }
        if (!(value > previous)) {
            double lo = (i - 1) * step, hi = i * step;  // the law still rises at lo
            for (int k = 0; k < 40; ++k) {
                const double mid = 0.5 * (lo + hi);
                (lawRadius(eye, mid) > lawRadius(eye, lo) ? lo : hi) = mid;
            }
            return lo;
        }
        previous = value;
    }
    return std::numbers::pi;
}

// The equidistant, stereographic, polynomial, double-sphere and extended
// unified laws: r = R * g(theta) / g(rim), with the rim at half the stated
// field of view (90 degrees when none is stated), so that the radius modes
// give the image circle's radius.
void deriveProjection(const LensSettings& lens, EyeGeometry& eye) {
    eye.polynomial = eye.mapping == MappingKind::Polynomial ? polynomialLawOf(lens) : PolynomialLaw{};
    eye.sphere = eye.mapping == MappingKind::DoubleSphere || eye.mapping == MappingKind::ExtendedUnified
                     ? sphereLawOf(lens)
                     : SphereLaw{};
    const double fov = fieldOfViewDegrees(lens);
    eye.circleTheta = fov == 0.0 ? 0.5 * std::numbers::pi : fov * (std::numbers::pi / 360.0);
    eye.reachTheta = reachOf(eye);
    eye.mappingScale = 1.0 / lawRadius(eye, eye.circleTheta);
}

bool deriveMapping(const LensSettings& lens, EyeGeometry& eye) {
    eye.sineK = lens.sineK;
    eye.quadratic = lens.quadratic;
    switch (static_cast<MappingKind>(lens.mappingKind)) {
        case MappingKind::Orthographic: eye.sineK = 1.0; eye.mappingScale = 1.0; break;
        case MappingKind::Equisolid: eye.sineK = 0.5; eye.mappingScale = 1.41421; break;
        case MappingKind::SineK:
            // 1 / sin(k * pi / 2), cut down to five decimals.
            eye.mappingScale = std::floor(100000.0 / std::sin(eye.sineK * kPi * 0.5)) / 100000.0;
            break;
        case MappingKind::Quadratic:
            eye.mappingScale = 1.0;
            eye.radius1 = lensRadius(eye.quadratic, static_cast<float>(eye.quadratic.theta1));
            eye.radius2 = lensRadius(eye.quadratic, static_cast<float>(eye.quadratic.theta2));
            eye.radius3 = lensRadius(eye.quadratic, static_cast<float>(eye.quadratic.theta3));
            break;
        case MappingKind::Equidistant:
        case MappingKind::Stereographic:
        case MappingKind::Polynomial:
        case MappingKind::DoubleSphere:
        case MappingKind::ExtendedUnified:
            eye.mapping = static_cast<MappingKind>(lens.mappingKind);
            deriveProjection(lens, eye);
            return true;
        default: return false;
    }
    eye.mapping = static_cast<MappingKind>(lens.mappingKind);
    eye.reachTheta = reachOf(eye);
    return true;
}

// What a calibration adds to the axis: the given axis point's fraction of a
// dot, the aspect and the quarter turns. Values no lens has (an aspect of 0,
// a turn of 45 degrees) leave the eye as its whole-dot fields describe it;
// the lens checks name them.
void derivePrecision(const LensSettings& lens, EyeGeometry& eye) {
    const LensPrecision& p = lens.precision;
    if (p.hasCentre && lens.axisMode == static_cast<int32_t>(AxisMode::GivenAxis) && std::isfinite(p.centreX) &&
        std::isfinite(p.centreY)) {
        eye.axisFractionX = p.centreX - eye.axisX;
        eye.axisFractionY = p.centreY - eye.axisY;
    }
    eye.aspect = p.aspect > 0.0 && std::isfinite(p.aspect) ? p.aspect : 1.0;
    eye.quarterTurns = isQuarterTurn(p.turnDegrees) ? p.turnDegrees / 90 : 0;
}

bool deriveAxis(const LensSettings& lens, EyeGeometry& eye) {
    switch (static_cast<AxisMode>(lens.axisMode)) {
        case AxisMode::ImageCentre:
            eye.axisX = truncateToInt32(eye.imageWidth * 0.5);
            eye.axisY = truncateToInt32(eye.imageHeight * 0.5);
            derivePrecision(lens, eye);
            return true;
        case AxisMode::GivenAxis:
            eye.axisX = lens.axisX;
            eye.axisY = lens.axisY;
            derivePrecision(lens, eye);
            return true;
    }
    return false;
}

}  // namespace

int32_t truncateToInt32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

PreparedEyes prepareEyes(const std::array<LensSettings, 2>& lenses, const std::array<ImageSize, 2>& images,
                         MappingKinds kinds) {
    PreparedEyes out;
    for (int i = 0; i < 2; ++i) {
        out.eye[i].imageWidth = images[i].width;
        out.eye[i].imageHeight = images[i].height;
    }
    for (int i = 0; i < 2; ++i)
        if (!deriveRadius(lenses[i], out.eye[i])) {
            out.lensCode = LensCodeError{i, "radiusMode", lenses[i].radiusMode};
            return out;
        }
    for (int i = 0; i < 2; ++i)
        if ((kinds == MappingKinds::Classic && lenses[i].mappingKind > static_cast<int32_t>(MappingKind::Quadratic)) ||
            !deriveMapping(lenses[i], out.eye[i])) {
            out.lensCode = LensCodeError{i, "mappingKind", lenses[i].mappingKind};
            return out;
        }
    for (int i = 0; i < 2; ++i)
        if (!deriveAxis(lenses[i], out.eye[i])) {
            out.lensCode = LensCodeError{i, "axisMode", lenses[i].axisMode};
            return out;
        }
    return out;
}

}  // namespace vistereo
