// Advisory locks that hold between processes and, on a folder shared over
// NFS, between machines: single bytes of one lock file, so that one file
// serves as many locks as there are names to guard.
//
// The locks belong to the open file (open file description locks), not to
// the process: two LockFile objects exclude each other also within one
// process, closing another descriptor of the same file releases nothing, and
// the system releases them when the process ends however it ends. Nobody is
// forced to respect them; they order writers that take them.
//
// The last writer to leave removes the file, so that a folder keeps no trace
// of its writers: it removes it only while it holds the whole file, which no
// other holder of a byte lets it do. A writer that opened the file before it
// was removed finds, once it holds its byte, that the name no longer leads to
// the file it locked, and opens the name again (a new file, which the others
// find as well) before it counts the byte as its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/fallible.h"

namespace vistereo {

// The lock file a folder's writers share (the batches on their outputs, the
// lens registry's writers on the registry), each name on a byte of its own.
inline constexpr const char* kLockFileName = ".vistereo.lock";

struct OpenedLockFile;

class LockFile {
public:
    // Opens (creating it when missing) the lock file; no file, and the error
    // saying why, when it cannot be opened for writing.
    static OpenedLockFile open(const std::filesystem::path& file);

    LockFile(LockFile&& other) noexcept;
    LockFile& operator=(LockFile&& other) noexcept;
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    ~LockFile();  // every lock it holds ends with it

    enum class Attempt {
        Taken,        // this object now holds the byte
        Busy,         // another holder has it
        Unsupported,  // the file system offers no locks (NFS mounted without a lock service, say)
    };
    // Takes the lock on one byte without waiting: Unsupported comes with
    // the system's reason as the error.
    struct Trial : Fallible {
        Attempt attempt = Attempt::Unsupported;
    };
    Trial tryLock(uint64_t byte);
    // Takes the lock, waiting up to `patience` for its holder to let go
    // (Busy when it did not): a writer that holds a byte for a moment is
    // waited for, one that holds it for ever never hangs the caller.
    Trial lockWithin(uint64_t byte, std::chrono::milliseconds patience);
    void unlock(uint64_t byte);
    // Removes the lock file when no writer holds a byte of it (this one
    // included), and closes it; false, with the file left, otherwise.
    bool removeIfUnused();

private:
    LockFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
    // Whether the name still leads to the open file (it was not removed).
    bool stillNamed() const;
    int fd_ = -1;
    std::filesystem::path path_;
};

struct OpenedLockFile : Fallible {
    std::optional<LockFile> file;  // none when not ok
};

// The byte that stands for `name` in a lock file: a hash of it below 2^31, a
// range every lock service takes. Two names may share a byte; that only makes
// one wait for the other.
uint64_t lockByteOf(std::string_view name);

}  // namespace vistereo
