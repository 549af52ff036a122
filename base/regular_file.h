// Files read from outside, refused by their type before they are opened for
// reading. A FIFO (named pipe) would make the reader wait for a writer that
// may never come, a device such as /dev/zero never ends, a folder or a socket
// holds no file's bytes. Every file a command reads (photos, pairs files,
// lens registries, videos and their sound) is looked at here first: the
// name's type, links followed, before anything is opened; then the file is
// opened without waiting (a FIFO put in its place meanwhile cannot block the
// open) and the open file's type is checked again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <streambuf>
#include <string>
#include <string_view>

#include "base/fallible.h"

namespace vistereo {

enum class FileKind { Regular, Missing, Folder, Fifo, CharacterDevice, BlockDevice, Socket, Other, Unreadable };

// What lies at a path, for reading: a regular file, or why not, in the words
// a user is shown. `error` is "no such file", "permission denied", "it is a
// FIFO (named pipe), not <noun>", "it is a folder, not <noun>", ...
struct FileLookup : Fallible {
    FileKind kind = FileKind::Missing;
    int systemError = 0;  // errno of a failed lookup or open, else 0
};

// The name's type, links followed; nothing is opened. `noun` says what the
// file was to be ("an image file", "a video file", "a pairs file").
FileLookup lookUpRegularFile(const std::filesystem::path& path, std::string_view noun = "a file");

// A regular file opened for reading (close-on-exec, blocking reads), or the
// lookup that refused it. Closes the file when it goes.
class FileForReading {
public:
    FileForReading() = default;
    FileForReading(FileForReading&& other) noexcept;
    FileForReading& operator=(FileForReading&& other) noexcept;
    FileForReading(const FileForReading&) = delete;
    FileForReading& operator=(const FileForReading&) = delete;
    ~FileForReading();

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const FileLookup& lookup() const { return lookup_; }
    const std::string& error() const { return lookup_.error; }
    // The file's size when it was opened.
    uint64_t size() const { return size_; }

    friend FileForReading openRegularFile(const std::filesystem::path& path, std::string_view noun);

private:
    int fd_ = -1;
    uint64_t size_ = 0;
    FileLookup lookup_;
};

// Looks the name up, refuses anything but a regular file, then opens it.
FileForReading openRegularFile(const std::filesystem::path& path, std::string_view noun = "a file");

// The opened file as a stream buffer, for a reader that takes a std::istream
// (its bytes from where the file stands, in blocks). A read error ends the
// stream and is kept in `error`.
class FileReadBuffer : public std::streambuf {
public:
    explicit FileReadBuffer(const FileForReading& file) : fd_(file.fd()) {}
    const std::string& error() const { return error_; }

protected:
    int_type underflow() override;

private:
    int fd_;
    std::string error_;
    char buffer_[65536];
};

}  // namespace vistereo
