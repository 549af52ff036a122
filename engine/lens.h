// Fisheye lens mapping, both ways, per eye.
//
// A lens images a direction at angle theta from its optical axis at distance
// r = radius180 * mappingScale * g(theta) from the axis point, keeping the
// azimuth. g is sin(k * theta) for the sine models (orthographic k = 1,
// equisolid k = 0.5, or a registered k) or a four-segment quadratic in theta.
// projectToImage goes from a direction to a source position (used for every
// output pixel); directionOfPoint goes from a pixel back to a direction (used
// for the alignment points). lensRadius / lensTheta are the quadratic model
// and its inverse. The single-precision narrowings and the order of the
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

// Normalised radius of the quadratic law at theta.
double lensRadius(const QuadraticLaw& law, float theta);

// Inverse of lensRadius for a normalised radius (0 outside its reach), with
// the law's bounds radius1..3 as the eye's geometry holds them.
double lensTheta(const EyeGeometry& eye, float radius);

// Source position of the direction at polar angle theta, azimuth phi.
SourcePosition projectToImage(const EyeGeometry& eye, double theta, double phi);

// Unit direction of a source pixel in the eye's camera frame (NaN when the
// pixel is the axis point or beyond the model's reach).
Vec3 directionOfPoint(const EyeGeometry& eye, ImagePoint point);

}  // namespace vistereo
