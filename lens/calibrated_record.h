// A lens record from a calibration: the law a calibration tool fitted
// (Kannala-Brandt's polynomial, the double sphere or the extended unified
// model), its focal lengths across and down in dots and its optical axis
// between dots, for pictures of the calibrated size.
//
// The record holds the focal length exactly although its radius is whole
// dots: r = R g(theta) / g(rim), so the field of view (2 rim) is chosen for
// the whole radius R such that R / g(rim) is the focal length across. The
// circle is the widest the picture shows (out to its farthest corner, or to
// where the law stops rising). The centre's fraction, the aspect fx / fy and
// the turn go into the record's precision text (lens/lens_precision.h).
#pragma once

#include <string>

#include "engine/params.h"
#include "lens/lens_description.h"

namespace vistereo {

struct CalibratedLens {
    MappingKind kind = MappingKind::Polynomial;  // Polynomial, DoubleSphere or ExtendedUnified
    PolynomialLaw polynomial;                    // k1 .. k4 (all 0: the equidistant law)
    SphereLaw sphere;                            // xi, alpha or alpha, beta
    double fx = 0.0, fy = 0.0;                   // focal lengths across and down, in dots
    double cx = 0.0, cy = 0.0;                   // the optical axis, pixel centres at whole numbers
    int width = 0, height = 0;                   // the calibrated pictures
    int32_t turnDegrees = 0;                     // clockwise, for the picture to stand upright
};

// `error`: which value no lens or picture has (a focal length of 0, a centre
// outside the picture, an aspect of 3, a turn of 45 degrees), in the words
// of the calibration's own names (fx, cx, k1, xi, ...).
LensRecordBuild buildCalibratedRecord(const std::string& name, const CalibratedLens& lens);

// The field of view (in degrees, written as it round-trips) at which a law
// of the record's kind and numbers, with the whole radius `radiusDots`, has
// the focal length `focal`; empty when the law does not reach that far.
std::string fieldOfViewForFocalLength(const LensRecord& record, int32_t radiusDots, double focal);

}  // namespace vistereo
