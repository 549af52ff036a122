#include "base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

namespace vistereo {

namespace {

void setError(std::string* error, const std::string& what, int code) {
    if (error) *error = what + ": " + std::strerror(code);
}

// A name for the temporary file beside the target that no other writer in
// this or another process picks at the same time.
std::filesystem::path temporaryName(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    const std::string suffix = ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(seed) + "-" +
                               std::to_string(counter.fetch_add(1));
    return target.parent_path() / ("." + target.filename().string() + suffix);
}

bool writeAll(int fd, std::string_view bytes) {
    const char* data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool writeFileAtomically(const std::filesystem::path& requestedTarget, std::string_view bytes,
                         std::string* error) {
    // Through a symbolic link the file it names is replaced, not the link.
    std::filesystem::path target = requestedTarget;
    std::error_code ec;
    if (std::filesystem::is_symlink(target, ec)) {
        const auto resolved = std::filesystem::weakly_canonical(target, ec);
        if (!ec) target = resolved;
    }
    if (target.filename().empty()) {
        if (error) *error = "no file name in " + requestedTarget.string();
        return false;
    }
    if (!target.has_parent_path()) target = std::filesystem::path(".") / target;

    // Open a fresh temporary file; the mode 0666 lets the umask decide, as for
    // any newly made file. An existing target's permissions are kept below.
    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = temporaryName(target);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        setError(error, "cannot create a temporary file in " + target.parent_path().string(), errno);
        return false;
    }

    const auto fail = [&](const std::string& what) {
        const int code = errno;
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
        setError(error, what, code);
        return false;
    };

    struct stat existing{};
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        ::fchmod(fd, existing.st_mode & 07777);

    if (!writeAll(fd, bytes)) return fail("cannot write " + temporary.string());
    if (::fsync(fd) != 0) return fail("cannot flush " + temporary.string());
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail("cannot close " + temporary.string());
    if (::rename(temporary.c_str(), target.c_str()) != 0)
        return fail("cannot replace " + target.string());

    // Make the rename itself durable; the data is already in place, so a
    // failure here does not undo the write.
    const int dirFd = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace vistereo
