// The fields of a lens record, named once. The table is in file order (18
// text lines, then 6 integer lines) and drives the registry file's reader and
// writer, the registration dialog's boxes (which the dialog maps to its own
// controls) and the lens selection's copy into an eye's lens settings.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/params.h"

namespace vistereo {

struct LensRecord;

struct LensField {
    const char* key;                    // the field's name, as in the record
    std::string LensRecord::*text;      // a text field (nullptr for an integer field)
    int32_t LensRecord::*integer;       // an integer field (nullptr for a text field)
    // Where the lens selection puts the field: a number text's value, or an
    // integer (nullptr for the name, which is copied as text).
    double& (*number)(LensSettings&);
    int32_t& (*code)(LensSettings&);
};

inline constexpr int kLensTextFieldCount = 18;
inline constexpr int kLensFieldCount = 24;

// Defined in lens_registry.h, after LensRecord.
extern const std::array<LensField, kLensFieldCount> kLensFields;

}  // namespace vistereo
