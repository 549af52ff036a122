#include "base/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vistereo {
namespace {

FileLookup lookupFailed(FileKind kind, int error, std::string text) {
    FileLookup lookup;
    lookup.kind = kind;
    lookup.systemError = error;
    lookup.error = std::move(text);
    return lookup;
}

FileLookup byError(int error) {
    switch (error) {
        case ENOENT: return lookupFailed(FileKind::Missing, error, "no such file");
        case ENOTDIR: return lookupFailed(FileKind::Missing, error, "no such file (a part of the path is not a folder)");
        case EACCES:
        case EPERM: return lookupFailed(FileKind::Unreadable, error, "permission denied");
        default: return lookupFailed(FileKind::Unreadable, error, std::string("it cannot be read: ") + std::strerror(error));
    }
}

FileLookup byType(mode_t mode, std::string_view noun) {
    const std::string not_ = std::string(", not ") + std::string(noun);
    if (S_ISREG(mode)) return {};
    if (S_ISDIR(mode)) return lookupFailed(FileKind::Folder, 0, "it is a folder" + not_);
    if (S_ISFIFO(mode)) return lookupFailed(FileKind::Fifo, 0, "it is a FIFO (named pipe)" + not_);
    if (S_ISCHR(mode)) return lookupFailed(FileKind::CharacterDevice, 0, "it is a character device" + not_);
    if (S_ISBLK(mode)) return lookupFailed(FileKind::BlockDevice, 0, "it is a block device" + not_);
    if (S_ISSOCK(mode)) return lookupFailed(FileKind::Socket, 0, "it is a socket" + not_);
    return lookupFailed(FileKind::Other, 0, "it is not a regular file");
}

}  // namespace

FileLookup lookUpRegularFile(const std::filesystem::path& path, std::string_view noun) {
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) return byError(errno);
    FileLookup lookup = byType(info.st_mode, noun);
    if (lookup.ok()) lookup.kind = FileKind::Regular;
    return lookup;
}

FileForReading::FileForReading(FileForReading&& other) noexcept
    : fd_(other.fd_), size_(other.size_), lookup_(std::move(other.lookup_)) {
    other.fd_ = -1;
}

FileForReading& FileForReading::operator=(FileForReading&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        size_ = other.size_;
        lookup_ = std::move(other.lookup_);
        other.fd_ = -1;
    }
    return *this;
}

FileForReading::~FileForReading() {
    if (fd_ >= 0) ::close(fd_);
}

FileForReading openRegularFile(const std::filesystem::path& path, std::string_view noun) {
    FileForReading file;
    file.lookup_ = lookUpRegularFile(path, noun);
    if (!file.lookup_.ok()) return file;
    // Without waiting, in case the name was replaced by a FIFO since the
    // lookup: the open must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        file.lookup_ = byError(errno);
        return file;
    }
    struct stat opened{};
    if (::fstat(fd, &opened) != 0) {
        file.lookup_ = byError(errno);
        ::close(fd);
        return file;
    }
    if (FileLookup type = byType(opened.st_mode, noun); !type.ok()) {
        file.lookup_ = std::move(type);
        ::close(fd);
        return file;
    }
    // A regular file's reads never wait; blocking mode keeps them whole.
    if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    file.fd_ = fd;
    file.size_ = static_cast<uint64_t>(opened.st_size);
    file.lookup_.kind = FileKind::Regular;
    return file;
}

FileReadBuffer::int_type FileReadBuffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    for (;;) {
        const ssize_t got = fd_ < 0 ? 0 : ::read(fd_, buffer_, sizeof buffer_);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) error_ = std::strerror(errno);
        if (got <= 0) return traits_type::eof();
        setg(buffer_, buffer_, buffer_ + got);
        return traits_type::to_int_type(*gptr());
    }
}

}  // namespace vistereo
