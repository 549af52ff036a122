// The lens registry: up to ten camera-and-lens models in Vistereo.ini.
//
// One field a line, 24 lines a record (18 text lines, then 6 integer lines),
// records back to back, CR LF line ends, no header. Text is held as UTF-8;
// a file that is not valid UTF-8 is read as Shift-JIS (CP932), as written by
// a Japanese Windows system. Saving writes a temporary file beside the target
// and renames it into place, so the registry is never left half-written.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "registry/lens_fields.h"

namespace vistereo {

inline constexpr int kMaxLensRecords = 10;
inline constexpr const char* kLensRegistryFileName = "Vistereo.ini";

struct LensRecord {
    // Text fields, stored as typed (numbers are converted only when a lens is
    // chosen for an eye).
    std::string name;
    std::string magnification;
    std::string sineK;
    std::string theta1, theta2, theta3;
    std::string a1, b1, c1;
    std::string a2, b2, c2;
    std::string a3, b3, c3;
    std::string a4, b4, c4;
    // Integer fields.
    int32_t radiusMode = 0;
    int32_t radiusDots = 0;
    int32_t mappingKind = 0;
    int32_t axisX = 0;
    int32_t axisY = 0;
    int32_t axisMode = 0;

    friend bool operator==(const LensRecord&, const LensRecord&) = default;
};

struct LensRegistry {
    std::array<LensRecord, kMaxLensRecords> records;
    int32_t count = 0;  // slots 0 .. count-1 are valid, in file order
};

// Reads the file into `registry`. A missing or unreadable file gives count 0.
// Slots are not cleared; a trailing incomplete record, records past the
// tenth, and everything from an integer line that is not a number (or is out
// of int32 range) on are ignored. Only the lines of the records it keeps are
// held; the rest of the file is only scanned for its encoding, and not past
// the first byte that shows it is not UTF-8.
//
// With `report`, also says what it left out and why, line by line, without
// changing what it keeps.
struct RegistryLoadReport;
void LoadLensRegistry(LensRegistry& registry, const std::filesystem::path& file,
                      RegistryLoadReport* report = nullptr);

// What the reader found wrong with a registry file.
struct RegistryLineProblem {
    int line = 0;      // 1-based line of the file; 0: the file as a whole
    std::string text;  // what is wrong and what was left out
};
struct RegistryLoadReport {
    std::filesystem::path file;
    bool found = false;  // the file exists and could be opened
    std::vector<RegistryLineProblem> problems;
    bool clean() const { return found && problems.empty(); }
    // One line per problem: "<file> line 43: ..." (or "<file>: ..." for the file as a whole).
    std::vector<std::string> lines() const;
};

// Rewrites the file with slots 0 .. slotCount-1, in order, leaving out
// `leaveOut` if given. Returns false (and leaves the old file untouched) when
// the file cannot be written.
bool SaveLensRegistry(const LensRegistry& registry, int slotCount, std::optional<int> leaveOut,
                      const std::filesystem::path& file);

enum class RegisterStatus { Registered, EmptyName, RegistryFull, WriteFailed };

// Appends `record` after the file's current records: reloads `registry` from
// the file, refuses an empty name or a full registry, saves, raises count;
// all under the registry's lock (registry_writes.h), so that a writer at the
// same moment loses nothing.
RegisterStatus RegisterLens(LensRegistry& registry, const LensRecord& record,
                            const std::filesystem::path& file);

// The record as the 24 lines of the file format (without line ends).
std::array<std::string, kLensFieldCount> recordLines(const LensRecord& record);

}  // namespace vistereo
