// A lens as the pictures refined it, written back as a lens record: the
// corrections of the axis point, the scale and the shape term folded into
// the record's own fields, so that the record alone, without refinement,
// describes the lens as the fit found it.
//
// The record's axis point and its radius are whole dots: the corrected axis
// point is rounded, and so is the radius of the sine and quadratic laws,
// whose scale lives in it; each rounding is told in the notes. The laws with
// a field of view (equidistant, stereographic, polynomial) take the scale
// into the field of view, a number that keeps it whole. The shape term
// r (1 + s theta^2) is a law of its own only where the law is a polynomial
// in theta: the equidistant law becomes the polynomial theta + s theta^3,
// the polynomial's terms are multiplied out; the other laws have none, and
// the notes say it is left out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/fallible.h"
#include "engine/params.h"
#include "engine/prepare.h"
#include "registry/lens_registry.h"

namespace vistereo {

// `error`: why the record cannot be made.
struct RefinedRecord : Fallible {
    LensRecord record;
    std::vector<std::string> notes;  // what rounding moved, what was left out
};

// `record` (the right eye's, of images `image` in size) with `correction`
// folded in and, when given, `law` in place of its own at the same radius
// for 90 degrees (as the refinement tried it), named `name`.
RefinedRecord refinedLensRecord(const LensRecord& record, ImageSize image, const LensCorrection& correction,
                                std::optional<MappingKind> law, const std::string& name);

}  // namespace vistereo
