// Advisory locks that hold between processes and, on a folder shared over
// NFS, between machines: single bytes of one lock file, so that one file
// serves as many locks as there are names to guard.
//
// The locks belong to the open file (open file description locks), not to
// the process: two LockFile objects exclude each other also within one
// process, closing another descriptor of the same file releases nothing, and
// the system releases them when the process ends however it ends. Nobody is
// forced to respect them; they order writers that take them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vistereo {

class LockFile {
public:
    // Opens (creating it when missing) the lock file; nullopt with `error`
    // set when it cannot be opened for writing.
    static std::optional<LockFile> open(const std::filesystem::path& file, std::string* error = nullptr);

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
    // Takes the lock on one byte without waiting.
    Attempt tryLock(uint64_t byte, std::string* error = nullptr);
    void unlock(uint64_t byte);

private:
    explicit LockFile(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// The byte that stands for `name` in a lock file: a hash of it below 2^31, a
// range every lock service takes. Two names may share a byte; that only makes
// one wait for the other.
uint64_t lockByteOf(std::string_view name);

}  // namespace vistereo
