#include "base/file_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace vistereo {
namespace {

// One byte, or with `length` 0 the whole file however long it grows.
struct flock byteRange(short type, uint64_t byte, off_t length = 1) {
    struct flock range{};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(byte);
    range.l_len = length;
    range.l_pid = 0;  // open file description locks want 0 here
    return range;
}

int openLockFile(const std::filesystem::path& file) {
    return ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
}

}  // namespace

OpenedLockFile LockFile::open(const std::filesystem::path& file) {
    OpenedLockFile opened;
    const int fd = openLockFile(file);
    if (fd < 0)
        opened.error = std::strerror(errno);
    else
        opened.file = LockFile(fd, file);
    return opened;
}

LockFile::LockFile(LockFile&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

LockFile& LockFile::operator=(LockFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

bool LockFile::stillNamed() const {
    struct stat open{}, named{};
    if (::fstat(fd_, &open) != 0 || open.st_nlink == 0) return false;
    return ::stat(path_.c_str(), &named) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

bool LockFile::removeIfUnused() {
    if (fd_ < 0) return false;
    struct flock whole = byteRange(F_WRLCK, 0, 0);
    int result;
    while ((result = ::fcntl(fd_, F_OFD_SETLK, &whole)) != 0 && errno == EINTR) {
    }
    const bool removed = result == 0 && stillNamed() && ::unlink(path_.c_str()) == 0;
    ::close(fd_);  // lets go of the whole file with it
    fd_ = -1;
    return removed;
}

LockFile::~LockFile() {
    if (fd_ >= 0) ::close(fd_);
}

LockFile::Trial LockFile::tryLock(uint64_t byte) {
    struct flock range = byteRange(F_WRLCK, byte);
    Trial trial;
    // Opens the name again in place of a file the last writer removed.
    int reopened = 0;
    auto reopen = [&] {
        if (reopened >= 100) return false;
        const int fd = openLockFile(path_);
        if (fd < 0) return false;
        ::close(fd_);
        fd_ = fd;
        ++reopened;
        return true;
    };
    for (;;) {
        if (::fcntl(fd_, F_OFD_SETLK, &range) == 0) {
            trial.attempt = Attempt::Taken;
            // A byte of a file the last writer removed meanwhile holds
            // nobody off: lock it again in the file the name leads to now.
            if (!stillNamed() && reopen()) continue;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == ESTALE) {
            // A file removed on a network file system is gone for its other openers.
            if (reopen()) continue;
            trial.attempt = Attempt::Unsupported;
            trial.error = std::strerror(errno);
        } else if (errno == EAGAIN || errno == EACCES) {
            trial.attempt = Attempt::Busy;
        } else {
            trial.attempt = Attempt::Unsupported;
            trial.error = std::strerror(errno);
        }
        return trial;
    }
}

LockFile::Trial LockFile::lockWithin(uint64_t byte, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        Trial trial = tryLock(byte);
        if (trial.attempt != Attempt::Busy || std::chrono::steady_clock::now() >= deadline) return trial;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

void LockFile::unlock(uint64_t byte) {
    struct flock range = byteRange(F_UNLCK, byte);
    ::fcntl(fd_, F_OFD_SETLK, &range);
}

uint64_t lockByteOf(std::string_view name) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return (hash ^ (hash >> 31)) & 0x7FFFFFFFull;
}

}  // namespace vistereo
