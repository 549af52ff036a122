// --save-lenses SUFFIX: the right lens as the pictures refined it, written
// as a new record named LENS+SUFFIX beside the right lens's own record, in
// the registry file that record came from, through the registry's
// crash-safe writer. The old records stay as they are, byte for byte.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "conversion/request.h"
#include "engine/prepare.h"
#include "registry/lens_registry.h"

namespace vistereo::cli {

inline constexpr OptionSpec kSaveLensesOption{
    "save-lenses", 0, "SUFFIX",
    "with --refine-lenses: write the refined right lens as a new record named\n"
    "                            LENS+SUFFIX, beside the right lens's in the file it came from"};

// Where the refined lens goes, chosen before any picture is read.
struct LensSaving {
    std::filesystem::path file;  // the registry file the right lens came from
    LensRecord record;           // the right lens's record
    std::string name;            // its name with the suffix
};

// --save-lenses read against the right lens (--right-lens) of the working
// directory's lenses. `usage` is set for an option that does not go (not
// `refining`, a right lens that is not found). Whatever stands in the way of
// the save itself (a name the file cannot take: empty, taken, not a name;
// a file of ten records or with lines the reader cannot take) does not stop
// the command: it is said now as a warning on `err`, the save is tried once
// the work is done, and its failure makes the command end with exit 1.
struct LensSavingChoice {
    std::optional<LensSaving> saving;  // empty: not asked for, or refused
    std::string usage;
};
LensSavingChoice chooseLensSaving(const ParsedOptions& options, const std::filesystem::path& workingDirectory,
                                  bool refining, std::ostream& err);

// What a save did: the record's place and how the corrections went into it,
// or why nothing was saved (naming the file).
struct LensSaved {
    bool ok = false;
    int recordNumber = 0;            // 1-based, in the file
    std::vector<std::string> notes;  // how rounding moved the axis point and the radius, what was left out
    std::string error;
};

// Writes `lenses`' right eye (for images of `rightImage`'s size) as the new
// record; refuses when `setAside` is not empty (the refinement that was set
// aside, and why).
LensSaved saveRefinedLens(const LensSaving& saving, ImageSize rightImage, const RefinedLenses& lenses,
                          const std::string& setAside);

// The save told: "saved the refined right lens as record #3 "WideFit" of
// FILE" and its notes (or the error, on `err`); as JSON, the value of
// "saved_lens".
void printLensSaved(const LensSaving& saving, const LensSaved& saved, std::ostream& out, std::ostream& err);
std::string lensSavedJson(const LensSaving& saving, const LensSaved& saved);

}  // namespace vistereo::cli
