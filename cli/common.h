// Pieces the subcommands share: value parsing and lens lookup.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "conversion/run_steps.h"
#include "picking/matching.h"
#include "engine/params.h"
#include "registry/lens_registry.h"

namespace vistereo::cli {

// A text as a JSON string, quoted and escaped.
std::string jsonString(const std::string& text);

// A whole decimal number (optional '-', digits, nothing else) within int32.
std::optional<int32_t> parseWholeNumber(const std::string& text);

// Degrees in steps of 0.1 ("2", "-0.5", "+12.3"): at most one decimal.
// Returns tenths of a degree.
std::optional<int32_t> parseDegreesTenths(const std::string& text);

// Seconds as "12.5", "1:05" or "1:02:03.5" (hours, minutes, seconds); not
// negative.
std::optional<double> parseMediaTime(const std::string& text);

// A registered name, or "#K" for the K-th record (1-based). Returns the slot
// index, or an error text.
struct LensLookup {
    int index = -1;
    std::string error;
};
LensLookup findLens(const LensRegistry& registry, const std::string& lens, const std::filesystem::path& file);

// Both input images (paths as resolved by argumentPath) with their view
// geometry, for matching, read and judged as the conversion reads them;
// prints the conversion's refusal (the message, then the file and the cause)
// and returns nullopt for an unreadable image. With `warn`, also what the
// conversion would warn about the pictures.
std::optional<PickingImages> readPickingImages(const std::filesystem::path& left, const std::filesystem::path& right,
                                               const InputReadOptions& options, std::ostream& err, bool warn);

// A refusal of the run, as the command line reports it: its message, and the
// detail that explains it on a line of its own.
void printRefusal(std::ostream& err, const RunRefusal& refusal);

std::filesystem::path registryFile(const std::filesystem::path& workingDirectory);

// Removes the temporaries that runs killed outright left in the folder of
// `output` (unless `quiet`, saying so on `err`).
void removeAbandonedTemporaries(const std::filesystem::path& output, std::ostream& err, bool quiet);

// The lenses named by --left-lens and --right-lens, from the working
// directory's registry; an error text naming the option otherwise.
std::string chooseLenses(const std::filesystem::path& workingDirectory, const std::string& leftLens,
                         const std::string& rightLens, std::array<LensSettings, 2>& lenses);

}  // namespace vistereo::cli
