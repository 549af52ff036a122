// --save-lenses SUFFIX: the option read against the right lens, and the save
// (conversion/lens_saving.h) told on the command line or as JSON.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/options/option_table.h"
#include "conversion/lens_saving.h"
#include "engine/prepare.h"
#include "registry/lens_registry.h"

namespace vistereo::cli {

inline constexpr OptionSpec kSaveLensesOption{
    "save-lenses", 0, "SUFFIX",
    "with --refine-lenses: write the refined right lens as a new record named\n"
    "                            LENS+SUFFIX, beside the right lens's in the file it came from"};

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

// The save told: "saved the refined right lens as record #3 "WideFit" of
// FILE" and its notes (or the error, on `err`); as JSON, the value of
// "saved_lens".
void printLensSaved(const LensSaving& saving, const LensSaved& saved, std::ostream& out, std::ostream& err);
std::string lensSavedJson(const LensSaving& saving, const LensSaved& saved);

}  // namespace vistereo::cli
