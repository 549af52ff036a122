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
// `refining`, an empty suffix); `failed` when the file cannot take the
// record (it holds ten, or a record of that name, or cannot be read whole),
// with the error, naming the file, printed on `err`.
struct LensSavingChoice {
    std::optional<LensSaving> saving;  // empty: not asked for, or refused
    std::string usage;
    bool failed = false;
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

// The records of `file`, for a rewrite; false (with the error printed) when
// it cannot be read, or holds lines the reader could not take, which a
// rewrite would drop. A missing file is an empty registry. `what` opens the
// error ("cannot register \"X\"").
bool loadForRewrite(const std::filesystem::path& file, const std::string& what, LensRegistry& registry,
                    std::ostream& err);

}  // namespace vistereo::cli
