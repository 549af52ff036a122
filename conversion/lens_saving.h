// A refined lens saved as a registry record: the right lens as the pictures
// refined it, written as a new record named LENS+SUFFIX beside the right
// lens's own record, in the registry file that record came from, through the
// registry's crash-safe writer under its lock. The old records stay as they
// are, byte for byte.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/fallible.h"
#include "conversion/request.h"
#include "engine/prepare.h"
#include "registry/lens_registry.h"

namespace vistereo {

// Where the refined lens goes, chosen before any picture is read.
struct LensSaving {
    std::filesystem::path file;  // the registry file the right lens came from
    LensRecord record;           // the right lens's record
    std::string name;            // its name with the suffix
};

// Why `file` (its records as read now) could not take a record `name`: a
// name that is not one, a name taken, a full file, lines the reader cannot
// take.
Fallible admitLensSaving(const std::filesystem::path& file, const std::string& name);

// What a save did: the record's place and how the corrections went into it,
// or why nothing was saved (naming the file).
struct LensSaved : Fallible {
    int recordNumber = 0;            // 1-based, in the file
    std::vector<std::string> notes;  // how rounding moved the axis point and the radius, what was left out
};

// Writes `lenses`' right eye (for images of `rightImage`'s size) as the new
// record; refuses when `setAside` is not empty (the refinement that was set
// aside, and why).
LensSaved saveRefinedLens(const LensSaving& saving, ImageSize rightImage, const RefinedLenses& lenses,
                          const std::string& setAside);

}  // namespace vistereo
