#include "engine/prepare.h"

#include <cmath>
#include <limits>

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
        default: return false;
    }
    eye.mapping = static_cast<MappingKind>(lens.mappingKind);
    return true;
}

bool deriveAxis(const LensSettings& lens, EyeGeometry& eye) {
    switch (static_cast<AxisMode>(lens.axisMode)) {
        case AxisMode::ImageCentre:
            eye.axisX = truncateToInt32(eye.imageWidth * 0.5);
            eye.axisY = truncateToInt32(eye.imageHeight * 0.5);
            return true;
        case AxisMode::GivenAxis:
            eye.axisX = lens.axisX;
            eye.axisY = lens.axisY;
            return true;
    }
    return false;
}

}  // namespace

int32_t truncateToInt32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

PreparedEyes prepareEyes(const std::array<LensSettings, 2>& lenses, const std::array<ImageSize, 2>& images) {
    PreparedEyes out;
    for (int i = 0; i < 2; ++i) {
        out.eye[i].imageWidth = images[i].width;
        out.eye[i].imageHeight = images[i].height;
    }
    for (int i = 0; i < 2; ++i)
        if (!deriveRadius(lenses[i], out.eye[i])) {
            out.error = LensCodeError{i, "radiusMode", lenses[i].radiusMode};
            return out;
        }
    for (int i = 0; i < 2; ++i)
        if (!deriveMapping(lenses[i], out.eye[i])) {
            out.error = LensCodeError{i, "mappingKind", lenses[i].mappingKind};
            return out;
        }
    for (int i = 0; i < 2; ++i)
        if (!deriveAxis(lenses[i], out.eye[i])) {
            out.error = LensCodeError{i, "axisMode", lenses[i].axisMode};
            return out;
        }
    return out;
}

}  // namespace vistereo
