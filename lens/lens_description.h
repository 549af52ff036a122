// A lens record from what a photographer knows of the lens (its projection,
// the field of view of its image circle, and the circle's centre and radius
// on the sensor), and a record told back in words.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/fallible.h"
#include "engine/params.h"
#include "registry/lens_registry.h"

namespace vistereo {

struct ProjectionChoice {
    MappingKind kind = MappingKind::Equidistant;
    double sineK = 0.0;        // sin(k theta)
    PolynomialLaw polynomial;  // theta + k1 theta^3 + ...
    SphereLaw sphere;          // the double sphere's xi, alpha; the extended unified model's alpha, beta
    std::string sineKText, polynomialText[4];  // the numbers as typed, for the record (the sphere laws' in the
                                               // first two of polynomialText)
};

// "equidistant", "equisolid", "stereographic", "orthographic", "sine:K",
// "poly:K1,K2,K3,K4", "ds:XI,ALPHA" or "eucm:ALPHA,BETA" read as a
// projection; the error says what the text should have been otherwise.
struct ProjectionRead : Fallible {
    ProjectionChoice choice;
};
ProjectionRead parseProjection(const std::string& text);

struct CircleOnSensor {
    double centreX = 0.0, centreY = 0.0, radius = 0.0;  // dots
};

// The record: the circle's centre as the given axis point (its fraction of
// a dot, when it has one, in the record's precision text with the turn) and,
// for the equidistant, stereographic, polynomial and sphere kinds, its radius
// in whole dots with the field of view beside it, nudged so that the lens
// keeps the scale the circle's fractional radius gives it (`notes` says by
// how much); for the sine laws, whose record holds the radius at 90 degrees
// off the axis, that radius worked out from the circle (the field of view is
// kept beside it for the reader). Empty `error` on success; otherwise what
// is impossible about the values.
struct LensRecordBuild : Fallible {
    LensRecord record;
    std::vector<std::string> notes;
};
LensRecordBuild buildLensRecord(const std::string& name, const ProjectionChoice& projection, double fovDegrees,
                                const CircleOnSensor& circle, int32_t turnDegrees = 0);

// The record in words, a line each: projection, field of view, circle,
// axis, the codes' meanings, and whether its values can describe a lens.
std::vector<std::string> describeLensRecord(const LensRecord& record);

}  // namespace vistereo
