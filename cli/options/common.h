// Pieces the subcommands share: value parsing and lens lookup.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "conversion/checks.h"
#include "picking/matching.h"
#include "engine/params.h"
#include "base/fallible.h"
#include "cli/options/option_table.h"
#include "conversion/output_target.h"
#include "registry/lens_registry.h"
#include "registry/lens_sources.h"

namespace vistereo::cli {

// A text as a JSON string, quoted and escaped; bytes that are not UTF-8 as
// \udc80 to \udcff (see json_reply.h), so the text always parses.
std::string jsonString(const std::string& text);

// A whole decimal number (optional '-', digits, nothing else) within int32.
std::optional<int32_t> parseWholeNumber(const std::string& text);

// Degrees in steps of 0.1 ("2", "-0.5", "+12.3"): at most one decimal.
// Returns tenths of a degree.
std::optional<int32_t> parseDegreesTenths(const std::string& text);

// Both input images (paths as resolved by argumentPath) with their view
// geometry, for matching, read and judged as the conversion reads them;
// prints the conversion's refusal (the message, then the file and the cause)
// and returns nullopt for an unreadable image. With `warn`, also what the
// conversion would warn about the pictures.
std::optional<PickingImages> readPickingImages(const std::filesystem::path& left, const std::filesystem::path& right,
                                               const InputReadOptions& options, std::ostream& err, bool warn);

// The same with each picture turned clockwise by its turn (degrees) to stand
// upright, so that a rig's sideways sensor matches its partner; the points
// stay in the pictures as read (matchPointAsRead).
std::optional<PickingImages> readPickingImages(const std::filesystem::path& left, const std::filesystem::path& right,
                                               const InputReadOptions& options, std::ostream& err, bool warn,
                                               std::array<int32_t, 2> turns);

// The point picker's match of a left point given in the left picture as
// read, its partner told in the right picture as read, the pictures matched
// upright (images from the call above with the same turns).
MatchOutcome matchPointAsRead(const PickingImages& images, ImagePoint left, std::array<int32_t, 2> turns);

// A refusal of the run, as the command line reports it: its message, and the
// detail that explains it on a line of its own.
void printRefusal(std::ostream& err, const RunStep& refusal);

std::filesystem::path registryFile(const std::filesystem::path& workingDirectory);

// The user's lens file as XDG_CONFIG_HOME and HOME give it now (none when
// neither does).
std::optional<std::filesystem::path> userLensFileOfEnvironment();

// The lens files a command reads, in lookup order: DIR/Vistereo.ini, each
// --lenses FILE as given, the user's lens file.
std::vector<LensSource> lensSources(const std::filesystem::path& workingDirectory, const ParsedOptions& options);

// The lenses of those files. A --lenses file that is missing, or that the
// reader could not take whole, is refused: `error` names the file and why.
struct LensesLoad {
    LensCatalogue catalogue;
    std::string error;
};
LensesLoad loadLenses(const std::filesystem::path& workingDirectory, const ParsedOptions& options);

// Removes the temporaries that runs killed outright left in the folder of
// `output` (unless `quiet`, saying so on `err`).
void removeAbandonedTemporaries(const std::filesystem::path& output, std::ostream& err, bool quiet);

// When none of the lens files a command reads holds a camera-and-lens record,
// no --left-lens or --right-lens can be right: the files looked in and how to
// register a lens, for an error that is not the user's typing (exit 1). Good
// when a file holds a record, or when a --lenses file is itself the problem
// (chooseLenses reports that).
Fallible noLensRegistered(const ParsedOptions& options, const std::filesystem::path& workingDirectory);

// The lenses named by --left-lens and --right-lens, from the working
// directory's registry, the --lenses files and the user's lens file, in that
// order; the error names the option otherwise. With `protect`, the lens
// files read (beyond the working directory's, which the run guards itself)
// are added to the files an output must not replace.
Fallible chooseLenses(const ParsedOptions& options, const std::filesystem::path& workingDirectory,
                      std::array<LensSettings, 2>& lenses, std::vector<ProtectedFile>* protect = nullptr);

}  // namespace vistereo::cli
