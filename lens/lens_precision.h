// A calibrated lens's precision in its registry record: the optical axis to
// a fraction of a dot, the aspect of its dots (fx / fy) and the turn its
// picture needs to stand upright, as one text in a field no law of the
// record's kind reads (b1: every kind but the four-segment quadratic, which
// uses it and keeps whole dots):
//
//     centre=420.135,403.394 aspect=0.99638 turn=90
//
// The record stays the prescribed 24 lines: axisX and axisY keep the
// centre's nearest whole dots, so a reader that knows nothing of the text
// sees the same lens to within half a dot, and a record of the classic
// dialog (whose b1 holds a number, or nothing) reads exactly as it always
// did.
#pragma once

#include <string>

#include "engine/params.h"
#include "registry/lens_registry.h"

namespace vistereo {

// The field that holds the text.
inline constexpr const char* kPrecisionFieldName = "b1";
inline std::string LensRecord::* const kPrecisionField = &LensRecord::b1;

// Whether the record's kind leaves the field free for the text.
inline bool recordTakesPrecision(const LensRecord& record) {
    return record.mappingKind != static_cast<int32_t>(MappingKind::Quadratic);
}

// The text read: items "centre=X,Y", "aspect=A", "turn=DEGREES", separated
// by blanks, each at most once. A text that is not of this form (a number
// typed in the box, say) is no precision at all; one that starts like it but
// does not read on has the item and why in unreadableItem and
// unreadableReason.
LensPrecision readPrecisionText(const std::string& text);

// The text of a precision: only what differs from a whole-dot, square,
// upright lens (empty when nothing does), every number as it round-trips.
std::string precisionText(const LensPrecision& precision);

// A number in the fewest digits that read back as the same double.
std::string exactNumberText(double value);

}  // namespace vistereo
