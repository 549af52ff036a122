#include "registry/registry_writes.h"

#include <algorithm>

#include "base/file_lock.h"
#include "registry/text_encoding.h"

namespace vistereo {
namespace {

namespace fs = std::filesystem;

// The registry's lock while it is held: taken when made, let go when gone.
class RegistryLock {
public:
    // Taken where the file really is (links resolved), so that writers that
    // name it by a link and by its own path take the same lock.
    explicit RegistryLock(const fs::path& named) {
        std::error_code ec;
        fs::path file = fs::weakly_canonical(named, ec);
        if (ec || file.empty()) file = named;
        byte_ = lockByteOf(file.filename().string());
        const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
        OpenedLockFile opened = LockFile::open(folder / kLockFileName);
        if (!opened.ok()) {
            warning_ = "cannot lock " + named.string() + " (" + opened.error +
                       "): a writer at the same moment could lose a record";
            return;
        }
        lock_ = std::move(opened.file);
        const LockFile::Trial trial = lock_->lockWithin(byte_, kRegistryLockPatience);
        switch (trial.attempt) {
            case LockFile::Attempt::Taken: held_ = true; break;
            case LockFile::Attempt::Busy:
                error_ = named.string() + " is being written by another program, which has held its lock for " +
                         std::to_string(kRegistryLockPatience.count() / 1000) + " s; nothing was written";
                break;
            case LockFile::Attempt::Unsupported:
                warning_ = "the file system of " + named.string() + " offers no locks (" + trial.error +
                           "): a writer at the same moment could lose a record";
                lock_.reset();
                break;
        }
    }
    ~RegistryLock() {
        if (held_) lock_->unlock(byte_);
        if (lock_) lock_->removeIfUnused();
    }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

    const std::string& error() const { return error_; }      // not taken: another writer holds it
    const std::string& warning() const { return warning_; }  // going ahead without it

private:
    uint64_t byte_ = 0;
    std::optional<LockFile> lock_;
    bool held_ = false;
    std::string error_, warning_;
};

bool sameRecord(const LensRecord& a, const LensRecord& b) { return a == b; }

bool holds(const LensRegistry& registry, const LensRecord& record) {
    for (int i = 0; i < registry.count; ++i)
        if (sameRecord(registry.records[i], record)) return true;
    return false;
}

}  // namespace

std::string lensNameProblem(std::string_view name) {
    if (name.empty()) return "the name is empty";
    if (name.front() == '#')
        return "a name starting with \"#\" reads as a record number (#K) on the command line, so it could never be "
               "found by name";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n' || c == '\r')
            return "the name holds a line end, which the registry file cannot keep (one field a line)";
        if (byte < 0x20 || byte == 0x7F) return "the name holds a control character (a tab or the like)";
    }
    if (!isValidUtf8(name)) return "the name is not UTF-8 text, so the file would keep another name";
    return "";
}

RegistryChange changeLensRegistry(const fs::path& file, const RegistryEdit& edit, UnreadableLines unreadable) {
    RegistryChange change;
    const RegistryLock lock(file);
    change.warning = lock.warning();
    if (!lock.error().empty()) {
        change.error = lock.error();
        return change;
    }
    LoadLensRegistry(change.registry, file, &change.report);
    if (!change.report.found && change.report.problems.front().text != "does not exist") {
        change.error = file.string() + " " + change.report.problems.front().text;
        return change;
    }
    if (unreadable == UnreadableLines::Refuse && change.report.found && !change.report.problems.empty()) {
        change.error = file.string() + " has lines the reader cannot take; mend them first, they would be lost";
        return change;
    }
    LensRegistry edited = change.registry;
    if (std::string refused = edit(edited); !refused.empty()) {
        change.error = std::move(refused);
        return change;
    }
    if (!SaveLensRegistry(edited, edited.count, std::nullopt, file)) {
        change.error = "cannot write " + file.string() + "; it is unchanged";
        return change;
    }
    change.registry = edited;
    return change;
}

RegistryAddition addLensRecord(const fs::path& file, const LensRecord& record) {
    RegistryAddition addition;
    if (const std::string problem = lensNameProblem(record.name); !problem.empty()) {
        addition.error = problem;
        return addition;
    }
    int number = 0;
    static_cast<RegistryChange&>(addition) = changeLensRegistry(file, [&](LensRegistry& records) -> std::string {
        for (int i = 0; i < records.count; ++i)
            if (records.records[i].name == record.name)
                return "record #" + std::to_string(i + 1) + " of " + file.string() + " already has that name";
        if (records.count >= kMaxLensRecords)
            return file.string() + " already holds " + std::to_string(kMaxLensRecords) +
                   " records, the most it can; delete one first";
        records.records[records.count++] = record;
        number = records.count;
        return "";
    });
    if (addition.ok()) addition.recordNumber = number;
    return addition;
}

CopyRewrite rewriteLensRegistryFromCopy(const LensRegistry& copy, int slotCount, std::optional<int> leaveOut,
                                        const fs::path& file, const LensRegistry& asRead) {
    CopyRewrite rewrite;
    const RegistryLock lock(file);  // without it (no locks there), written all the same, as always
    if (!lock.error().empty()) {
        rewrite.error = lock.error();
        return rewrite;
    }
    LensRegistry now;
    LoadLensRegistry(now, file);
    rewrite.written = SaveLensRegistry(copy, slotCount, leaveOut, file);
    if (!rewrite.written) return rewrite;
    LensRegistry written;
    LoadLensRegistry(written, file);
    for (int i = 0; i < now.count; ++i)
        if (!holds(asRead, now.records[i]) && !holds(written, now.records[i]))
            rewrite.lost.push_back(now.records[i].name);
    return rewrite;
}

RegisterStatus RegisterLens(LensRegistry& registry, const LensRecord& record, const fs::path& file) {
    // The dialog's Register: what the file holds now is the base, and its
    // lines the reader cannot take are dropped, as they always were.
    RegisterStatus status = RegisterStatus::Registered;
    const RegistryChange change = changeLensRegistry(
        file,
        [&](LensRegistry& records) -> std::string {
            if (record.name.empty()) status = RegisterStatus::EmptyName;
            else if (records.count >= kMaxLensRecords) status = RegisterStatus::RegistryFull;
            else records.records[records.count++] = record;
            return status == RegisterStatus::Registered ? "" : "refused";
        },
        UnreadableLines::Drop);
    registry = change.registry;
    if (status != RegisterStatus::Registered) return status;
    return change.ok() ? RegisterStatus::Registered : RegisterStatus::WriteFailed;
}

}  // namespace vistereo
