// Conversion parameters: everything one side-by-side conversion needs.
//
// The record is filled piece by piece by the front end (points, output height,
// zenith angles, the lens chosen for each eye), completed by the conversion run
// from the two loaded images, and only read by the lens mapping and the two
// renderers. It is always handed to the engine by reference.
#pragma once

#include <cstdint>
#include <string>

namespace vistereo {

// The photographic constants the whole geometry is built on. They are the
// eight- and nine-decimal values, not the full double-precision pi: every
// stored output depends on them.
inline constexpr double kPi = 3.14159265;
inline constexpr double kHalfPi = 1.570796325;

// Default output height in dots (the width is twice the height).
inline constexpr int32_t kDefaultOutputHeight = 4096;

// A pixel position in a source image: x = column from the left edge,
// y = row from the top edge.
struct ImagePoint {
    int32_t x = 0;
    int32_t y = 0;
    friend bool operator==(const ImagePoint&, const ImagePoint&) = default;
};

// Mapping kinds, radius modes and axis modes share their codes with the lens
// record of the registry file.
enum RadiusMode : int32_t { kCircularFisheye = 0, kDiagonalFisheye = 1, kMagnification = 2, kDots = 3 };
enum MappingKind : int32_t { kOrthographic = 0, kEquisolid = 1, kSineK = 2, kQuadratic = 3 };
enum AxisMode : int32_t { kImageCentre = 0, kGivenAxis = 1 };

// One eye: the lens data copied from the chosen lens record, plus the values
// the conversion run derives from the loaded image.
struct EyeParams {
    std::string lensName;  // empty: no lens chosen yet
    double magnification = 0.0;
    double sineK = 0.0;
    double theta1 = 0.0, theta2 = 0.0, theta3 = 0.0;
    double a1 = 0.0, b1 = 0.0, c1 = 0.0;
    double a2 = 0.0, b2 = 0.0, c2 = 0.0;
    double a3 = 0.0, b3 = 0.0, c3 = 0.0;
    double a4 = 0.0, b4 = 0.0, c4 = 0.0;
    int32_t radiusMode = 0;
    int32_t radius180 = 0;  // image radius in dots for 90 degrees off the axis
    int32_t mappingKind = 0;
    int32_t axisX = 0;
    int32_t axisY = 0;
    int32_t axisMode = 0;
    int32_t imageWidth = 0;
    int32_t imageHeight = 0;
    double mappingScale = 0.0;  // m in r = radius180 * m * g(theta)
    double radius1 = 0.0, radius2 = 0.0, radius3 = 0.0;  // quadratic model's bounds, normalised
};

enum class ZenithAxis { Roll, Pitch, Yaw };

struct ConversionParams {
    ImagePoint leftA, leftB, rightA, rightB;
    int32_t outputHeight = 0;
    int32_t rollTenths = 0, pitchTenths = 0, yawTenths = 0;  // tenths of a degree
    double roll = 0.0, pitch = 0.0, yaw = 0.0;               // radians
    EyeParams eye[2];  // 0 = left image and lens, 1 = right image and lens
};

// angle = tenths / 1800.0 * 3.14159265, in that order.
double zenithAngleFromTenths(int32_t tenths);

// Sets one zenith counter and its angle together.
void setZenithTenths(ConversionParams& params, ZenithAxis axis, int32_t tenths);

// One step of a zenith up-down control. A positive proposed change lowers the
// counter by one tenth, a negative one raises it, zero does nothing (returns
// false). The counters have no limit.
bool stepZenith(ConversionParams& params, ZenithAxis axis, int proposedDelta);

// Counters to 0 and angles to 0.0.
void clearZenith(ConversionParams& params);

int32_t zenithTenths(const ConversionParams& params, ZenithAxis axis);

}  // namespace vistereo
