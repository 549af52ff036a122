#include "base/file_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace vistereo {
namespace {

struct flock byteRange(short type, uint64_t byte) {
    struct flock range{};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(byte);
    range.l_len = 1;
    range.l_pid = 0;  // open file description locks want 0 here
    return range;
}

}  // namespace

OpenedLockFile LockFile::open(const std::filesystem::path& file) {
    OpenedLockFile opened;
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        opened.error = std::strerror(errno);
    else
        opened.file = LockFile(fd);
    return opened;
}

LockFile::LockFile(LockFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

LockFile& LockFile::operator=(LockFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

LockFile::~LockFile() {
    if (fd_ >= 0) ::close(fd_);
}

LockFile::Trial LockFile::tryLock(uint64_t byte) {
    struct flock range = byteRange(F_WRLCK, byte);
    Trial trial;
    for (;;) {
        if (::fcntl(fd_, F_OFD_SETLK, &range) == 0) {
            trial.attempt = Attempt::Taken;
        } else if (errno == EINTR) {
            continue;
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
