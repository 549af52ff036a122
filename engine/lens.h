// Fisheye lens mapping, both ways, per eye.
//
// A lens images a direction at angle theta from its optical axis at distance
// r = radius180 * mappingScale * g(theta) from the axis point, keeping the
// azimuth. g is sin(k * theta) for the sine models (orthographic k = 1,
// equisolid k = 0.5, or a registered k), a four-segment quadratic in theta,
// theta itself (equidistant), 2 tan(theta / 2) (stereographic), the
// polynomial theta + k1 theta^3 + k2 theta^5 + k3 theta^7 + k4 theta^9, or
// the double-sphere and extended unified models' sin(theta) / d (SphereLaw).
// A calibrated lens's axis point may lie between dots, its dots may not be
// square (a row offset is the column offset over the aspect fx / fy), and
// its picture may need a quarter turn to stand upright (EyeGeometry).
// projectToImage goes from a direction to a source position (used for every
// output pixel); directionOfPoint goes from a pixel back to a direction (used
// for the alignment points). Both handle every kind and the eye's correction,
// and are the reference for any faster path. lensRadius / lensTheta are the
// quadratic model and its inverse. For the sine laws and the quadratic
// without a correction, the single-precision narrowings and the order of the
// arithmetic are part of the behaviour: they decide which bytes come out.
#pragma once

#include "engine/params.h"

namespace vistereo {

// Direction in a camera frame: +y optical axis (forward), +x image-right,
// +z image-up.
struct Vec3 {
    double x = 0.0, y = 0.0, z = 0.0;
    friend bool operator==(const Vec3&, const Vec3&) = default;
};

// Position in a source image, in pixels (column, row); may be NaN.
struct SourcePosition {
    double column = 0.0;
    double row = 0.0;
};

// A four-segment quadratic typed by hand is rounded: where one segment hands
// over to the next its radius may dip by this much (a fraction of the
// radius) and the law still counts as rising.
inline constexpr double kRoundedLawSlack = 1e-3;

// Normalised radius of the quadratic law at theta.
double lensRadius(const QuadraticLaw& law, float theta);

// Inverse of lensRadius for a normalised radius (0 outside its reach), with
// the law's bounds radius1..3 as the eye's geometry holds them.
double lensTheta(const EyeGeometry& eye, float radius);

// The normalised radius g(theta) of the eye's law (without mappingScale and
// without the correction).
double lawRadius(const EyeGeometry& eye, double theta);

// Distance in dots from the (corrected) axis point at which the eye images a
// direction theta off its axis: radius180 * m * g(theta) * scale * (1 + shape
// * theta^2). NaN past the law's reach.
double radialDistance(const EyeGeometry& eye, double theta);

// Its inverse: the angle off the axis of a point `dots` from the (corrected)
// axis point; NaN beyond the law's reach.
double angleOffAxis(const EyeGeometry& eye, double dots);

// Source position of the direction at polar angle theta, azimuth phi (in
// the eye's upright frame), in the picture as read.
SourcePosition projectToImage(const EyeGeometry& eye, double theta, double phi);

// Where the optical axis meets the picture as read: the axis point with its
// fraction of a dot and the correction.
SourcePosition axisPosition(const EyeGeometry& eye);

// The axis point and the radius of the 90-degree rim around it in the
// picture as read (the rim's longer half-axis when the lens's dots are not
// square): what leaves the wider kernels' taps outside the lens.
struct RimCircle {
    double column = 0.0, row = 0.0, radius = 0.0;
};
RimCircle rimCircle(const EyeGeometry& eye);

// A position of a width x height picture as read, in that picture turned
// clockwise by `turnDegrees` (0, 90, 180 or 270) to stand upright, pixel
// centres at whole numbers; and back from the upright picture to the one
// as read (width and height still the picture's as read). Any other turn
// leaves the position as it is.
SourcePosition uprightPosition(SourcePosition asRead, int width, int height, int32_t turnDegrees);
SourcePosition positionAsRead(SourcePosition upright, int width, int height, int32_t turnDegrees);

// Unit direction of a source pixel in the eye's camera frame (NaN when the
// pixel is the axis point or beyond the model's reach).
Vec3 directionOfPoint(const EyeGeometry& eye, ImagePoint point);

// The same for a position between pixel centres (column, row).
Vec3 directionOfPosition(const EyeGeometry& eye, SourcePosition position);

// The eye with the law of another mapping kind (orthographic, equisolid,
// equidistant or stereographic) at the same radius for 90 degrees, as the
// prepare step derives that kind with no field of view stated; the axis, the
// image and the correction stay.
EyeGeometry withMappingAt90Degrees(const EyeGeometry& eye, MappingKind kind);

// Whether the eye goes by the sine laws' and the quadratic's fixed arithmetic
// (a sine law or the quadratic on whole dots with square dots, without a
// correction). A quarter turn keeps it: it only swaps and negates.
inline bool usesFixedArithmetic(const EyeGeometry& eye) {
    return isSineOrQuadratic(eye.mapping) && eye.correction.isIdentity() && eye.axisFractionX == 0.0 &&
           eye.axisFractionY == 0.0 && eye.aspect == 1.0;
}

}  // namespace vistereo
