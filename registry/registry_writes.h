// Writes to a lens registry file, one writer at a time, so that no writer
// loses another's record: `lens add` and `lens remove` (also into the user's
// lens file), the lenses a refinement saves, and the registration dialog.
//
// Every write takes the registry's lock, reads the file again under it,
// applies its change to what the file holds now, writes the whole file
// crash-safely (a temporary beside it, renamed over it) and lets go. The
// lock is one byte, named after the registry's file name, of the lock file
// ".vistereo.lock" in the registry's folder: not of the registry itself,
// which every write replaces by a new file (a lock on the old one would
// guard nothing). The locks are fcntl's open-file-description locks, which
// hold between processes on one machine; between machines they hold where
// the folder's file system passes such locks on (NFS through its lock
// service, SMB mounts as byte-range locks). Where the file system offers no
// locks the write goes ahead without one and says so. Readers take no lock:
// a rename never shows them half a file.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/fallible.h"
#include "registry/lens_registry.h"

namespace vistereo {

// How long a writer waits for another to finish (a write holds the lock for
// the moment of a read and a rename) before it gives up.
inline constexpr std::chrono::milliseconds kRegistryLockPatience{30000};

// Why `name` cannot be a new record's name, or "": it is empty, the command
// line would read it as a record number ("#K" finds the K-th record, so a
// name starting with "#" can never be found by name), or it holds a line end
// or another control character (the file keeps one field a line, and a list
// shows the fields tab-separated) or bytes that are not UTF-8 text (the file
// would keep another name than the one given).
std::string lensNameProblem(std::string_view name);

// What a change found and did. Not ok: the file is as it was, and `error`
// says why, naming the file.
struct RegistryChange : Fallible {
    LensRegistry registry;      // the file's records: as written, or as found when nothing was written
    RegistryLoadReport report;  // what the reader said of the file, read under the lock
    std::string warning;        // written without the lock, and why (no locks on that file system)
};

// A change of the file's records: edits `records` (the file's, read under
// the lock) and returns "", or returns why nothing is to be written.
using RegistryEdit = std::function<std::string(LensRegistry& records)>;

// What a change does with lines of the file the reader could not take.
enum class UnreadableLines {
    Refuse,  // refuse the change: a rewrite would drop them (the additions' writers)
    Drop,    // rewrite without them, as the registration dialog's Register always has
};

// Under the registry's lock: the file read again (a missing file is empty),
// `edit` applied, the result written crash-safely.
RegistryChange changeLensRegistry(const std::filesystem::path& file, const RegistryEdit& edit,
                                  UnreadableLines unreadable = UnreadableLines::Refuse);

// A new record after the file's own, under the lock: its name checked
// (lensNameProblem), not one another record of the file has, and room for it.
struct RegistryAddition : RegistryChange {
    int recordNumber = 0;  // 1-based, in the file, once written
};
RegistryAddition addLensRecord(const std::filesystem::path& file, const LensRecord& record);

// The registration dialog's Overwrite and Delete, which rewrite the file
// from the dialog's own copy (slots 0 .. slotCount-1, leaving out
// `leaveOut`), under the lock. `asRead` is the copy as the dialog last read
// it from the file: what the file held beyond it, another writer's records
// since then, is lost by the rewrite and named in `lost`, so the dialog can
// say so.
struct CopyRewrite {
    bool written = false;
    std::string error;              // not written because another writer held the lock too long
    std::vector<std::string> lost;  // names of the file's records the rewrite left out, unasked
};
CopyRewrite rewriteLensRegistryFromCopy(const LensRegistry& copy, int slotCount, std::optional<int> leaveOut,
                                        const std::filesystem::path& file, const LensRegistry& asRead);

}  // namespace vistereo
