// Lenses from more than one registry file. The working folder's Vistereo.ini
// is read first, as the desktop's main dialog reads it; after it come the
// files a command names with --lenses, in the order given, and last the
// user's own lens file. All are in the one registry format, each with its own
// limit of ten records. A lens is looked up by name in that order, so where
// two files hold the same name the earlier file's record is the one used
// (within one file, the earlier record); "#K" counts the records of all
// files in that order, so the working folder's records keep their numbers.
//
// The caller says which files to read: this layer looks nothing up in the
// environment. userLensFile() turns the values of XDG_CONFIG_HOME and HOME,
// as the caller read them, into the user's file.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/fallible.h"
#include "registry/lens_registry.h"

namespace vistereo {

enum class LensSourceKind { WorkingFolder, LensesOption, UserFile };

struct LensSource {
    LensSourceKind kind = LensSourceKind::WorkingFolder;
    std::filesystem::path file;
};

// "working folder", "--lenses file", "user file".
const char* describeLensSourceKind(LensSourceKind kind);

// The user's lens file: $XDG_CONFIG_HOME/vistereo/Vistereo.ini, or
// $HOME/.config/vistereo/Vistereo.ini when XDG_CONFIG_HOME is unset, empty or
// relative (a relative value is not a base directory and is ignored). None
// when neither gives an absolute folder. Pass the variables' values (nullptr
// for an unset one).
std::optional<std::filesystem::path> userLensFile(const char* xdgConfigHome, const char* home);

struct LoadedLensSource {
    LensSource source;
    LensRegistry registry;
    RegistryLoadReport report;
};

// One record of the catalogue: which source, which slot of it.
struct LensPosition {
    int source = -1;
    int index = -1;
    bool valid() const { return source >= 0; }
};

struct LensCatalogue {
    std::vector<LoadedLensSource> sources;  // in lookup order
    std::vector<LensPosition> order;        // every record, in lookup order: "#K" is order[K-1]

    const LensRecord& record(LensPosition p) const { return sources[p.source].registry.records[p.index]; }
    const LensSource& sourceOf(LensPosition p) const { return sources[p.source].source; }
    // The record a name finds: the first of that name in lookup order.
    LensPosition byName(const std::string& name) const;
    // For the record at `k` (0-based in order), the earlier record of the same
    // name that a lookup by name finds instead; invalid when it is the one found.
    LensPosition hiddenBy(size_t k) const;
};

// Reads every source (a missing file is an empty registry, as the prescribed
// reader has it; its report says so).
LensCatalogue loadLensCatalogue(std::span<const LensSource> sources);

// A registered name, or "#K" for the K-th record of the catalogue.
// `error`: names the files searched when nothing is found.
struct LensLookup : Fallible {
    LensPosition position;
};
LensLookup findLens(const LensCatalogue& catalogue, const std::string& lens);

}  // namespace vistereo
