#include "base/atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>
#include <string_view>

namespace vistereo {

namespace {

// Makes a rename into `target`'s folder durable; the data is already in
// place, so a failure here does not undo the write.
void syncFolderOf(const std::filesystem::path& target) {
    const int dirFd = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

Fallible failure(const std::string& what, int code) {
    return Fallible{what + ": " + std::strerror(code)};
}

constexpr const char* kTemporaryMark = ".tmp-";
constexpr size_t kLongestName = 255;  // NAME_MAX of the common file systems

// A name for the temporary file beside the target that no other writer in
// this or another process, on this or another host, picks at the same time:
// ".<target name>.tmp-<host>-<process id>-<random>-<counter>". The target's
// name is cut when the whole would be longer than a file name may be; the
// temporary is found by its host and process, not by its target.
std::filesystem::path temporaryName(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    const std::string suffix = kTemporaryMark + temporaryHostName() + "-" + std::to_string(::getpid()) + "-" +
                               std::to_string(seed) + "-" + std::to_string(counter.fetch_add(1));
    std::string name = target.filename().string();
    if (1 + name.size() + suffix.size() > kLongestName) name.resize(kLongestName - 1 - suffix.size());
    return target.parent_path() / ("." + name + suffix);
}

// The temporary files being written, where a termination signal can find
// them. A slot is free (0), being filled (1: its file may be about to be
// created) or names a temporary file that may exist (2). A thread fills a
// slot and creates the file with the termination signals blocked, so the
// handler never waits for its own thread; a handler on another thread waits
// for a slot being filled to settle. Once the handler has begun, no slot is
// filled any more.
struct TemporarySlot {
    std::atomic<int> state{0};
    char path[PATH_MAX] = {};
};
constexpr int kTemporarySlots = 64;
TemporarySlot temporarySlots[kTemporarySlots];
std::atomic<bool> terminating{false};
const char* terminationNotice = nullptr;
constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t terminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kTerminationSignals) sigaddset(&set, s);
    return set;
}

void onTerminationSignal(int signal) {
    const int savedErrno = errno;
    terminating = true;
    for (TemporarySlot& slot : temporarySlots) {
        int state;
        while ((state = slot.state.load()) == 1) {
        }
        if (state == 2) ::unlink(slot.path);
    }
    if (terminationNotice) {
        const ssize_t ignored = ::write(STDERR_FILENO, terminationNotice, std::strlen(terminationNotice));
        (void)ignored;
    }
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    sigset_t self;
    sigemptyset(&self);
    sigaddset(&self, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &self, nullptr);
    ::raise(signal);
    errno = savedErrno;
}

// Creates the temporary file `temporary` (O_EXCL) and records it in a slot,
// with the termination signals blocked in between. Returns the descriptor
// (or -1 with errno set) and the slot (-1 when none was free: the file is
// then written untracked, as before there were slots).
int createTracked(const std::filesystem::path& temporary, int& slotIndex) {
    const sigset_t blocked = terminationSignals();
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    slotIndex = -1;
    if (temporary.native().size() < PATH_MAX) {
        for (int i = 0; i < kTemporarySlots; ++i) {
            int expected = 0;
            if (temporarySlots[i].state.compare_exchange_strong(expected, 1)) {
                slotIndex = i;
                break;
            }
        }
    }
    int fd = -1;
    int code = 0;
    if (terminating) {
        code = EINTR;  // the process is ending: create nothing the handler would miss
    } else {
        if (slotIndex >= 0) std::memcpy(temporarySlots[slotIndex].path, temporary.c_str(), temporary.native().size() + 1);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        code = errno;
    }
    if (slotIndex >= 0) {
        temporarySlots[slotIndex].state = fd >= 0 ? 2 : 0;
        if (fd < 0) slotIndex = -1;
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = code;
    return fd;
}

void releaseSlot(int slotIndex) {
    if (slotIndex >= 0) temporarySlots[slotIndex].state = 0;
}

bool allDigits(std::string_view field) {
    return !field.empty() && field.size() <= 18 && field.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether `name` is ".<target>.tmp-<host>-<pid>-<digits>-<digits>"; gives the
// writer's host and process id. A temporary of an older writer, whose name
// holds no host, gives an empty host.
bool parseTemporaryName(const std::string& name, std::string& host, long& pid) {
    const size_t mark = name.rfind(kTemporaryMark);
    if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark < 2) return false;
    std::string_view rest(name);
    rest.remove_prefix(mark + std::strlen(kTemporaryMark));
    std::string_view fields[3];  // counter, random, process id: taken from the end
    for (std::string_view& field : fields) {
        const size_t dash = rest.rfind('-');
        field = dash == std::string_view::npos ? rest : rest.substr(dash + 1);
        if (!allDigits(field)) return false;
        rest = dash == std::string_view::npos ? std::string_view() : rest.substr(0, dash);
    }
    if (!rest.empty() && rest.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") !=
                             std::string_view::npos)
        return false;
    host = std::string(rest);
    pid = std::stol(std::string(fields[2]));
    return pid > 0;
}

bool processRuns(long pid) {
    if (pid == ::getpid()) return true;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
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

Fallible writeFileAtomically(const std::filesystem::path& requestedTarget, std::string_view bytes, AtLink atLink) {
    // Through a symbolic link either the file it names is replaced, or the
    // link itself, as the caller chose.
    std::filesystem::path target = requestedTarget;
    std::error_code ec;
    if (atLink == AtLink::WriteThrough && std::filesystem::is_symlink(target, ec)) {
        const auto resolved = std::filesystem::weakly_canonical(target, ec);
        if (!ec) target = resolved;
    }
    if (target.filename().empty()) return Fallible{"no file name in " + requestedTarget.string()};
    if (!target.has_parent_path()) target = std::filesystem::path(".") / target;

    // Open a fresh temporary file; the mode 0666 lets the umask decide, as for
    // any newly made file. An existing target's permissions are kept below.
    std::filesystem::path temporary;
    int fd = -1;
    int slot = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = temporaryName(target);
        fd = createTracked(temporary, slot);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return failure("cannot create a temporary file in " + target.parent_path().string(), errno);

    const auto fail = [&](const std::string& what) {
        const int code = errno;
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
        releaseSlot(slot);
        return failure(what, code);
    };

    struct stat existing{};
    if (::lstat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        ::fchmod(fd, existing.st_mode & 07777);

    if (!writeAll(fd, bytes)) return fail("cannot write " + temporary.string());
    if (::fsync(fd) != 0) return fail("cannot flush " + temporary.string());
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail("cannot close " + temporary.string());
    if (::rename(temporary.c_str(), target.c_str()) != 0)
        return fail("cannot replace " + target.string());
    releaseSlot(slot);
    syncFolderOf(target);
    return {};
}

StreamedFileWrite::StreamedFileWrite(const std::filesystem::path& requestedTarget) : target_(requestedTarget) {
    std::error_code ec;
    if (std::filesystem::is_symlink(target_, ec)) {
        const auto resolved = std::filesystem::weakly_canonical(target_, ec);
        if (!ec) target_ = resolved;
    }
    if (target_.filename().empty()) {
        opened_.error = "no file name in " + requestedTarget.string();
        return;
    }
    if (!target_.has_parent_path()) target_ = std::filesystem::path(".") / target_;
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        temporary_ = temporaryName(target_);
        fd_ = createTracked(temporary_, slot_);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        opened_ = failure("cannot create a temporary file in " + target_.parent_path().string(), errno);
        return;
    }
    struct stat existing{};
    if (::stat(target_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) ::fchmod(fd_, existing.st_mode & 07777);
}

StreamedFileWrite::~StreamedFileWrite() {
    if (fd_ < 0) return;
    ::close(fd_);
    ::unlink(temporary_.c_str());
    releaseSlot(slot_);
}

Fallible StreamedFileWrite::commit() {
    if (fd_ < 0) return opened_.ok() ? Fallible{"the file was already committed"} : opened_;
    const auto fail = [&](const std::string& what) {
        const Fallible failed = failure(what, errno);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        ::unlink(temporary_.c_str());
        releaseSlot(slot_);
        return failed;
    };
    // Whatever descriptor wrote the pieces, this one flushes the same file.
    if (::fsync(fd_) != 0) return fail("cannot flush " + temporary_.string());
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) return fail("cannot close " + temporary_.string());
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return fail("cannot replace " + target_.string());
    releaseSlot(slot_);
    syncFolderOf(target_);
    return {};
}

void removeTemporariesOnTermination(const char* notice) {
    terminationNotice = notice;
    struct sigaction action{};
    action.sa_handler = onTerminationSignal;
    action.sa_mask = terminationSignals();  // one handler at a time
    for (int s : kTerminationSignals) {
        struct sigaction inherited{};
        if (::sigaction(s, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
        ::sigaction(s, &action, nullptr);
    }
}

const std::string& temporaryHostName() {
    static const std::string host = [] {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') std::strcpy(name, "unknown-host");
        std::string safe;
        for (const char* c = name; *c && safe.size() < 64; ++c)
            safe += std::isalnum(static_cast<unsigned char>(*c)) || *c == '-' || *c == '_' ? *c : '_';
        return safe;
    }();
    return host;
}

std::vector<std::filesystem::path> findAbandonedTemporaries(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::string host;
        long pid = 0;
        if (parseTemporaryName(name, host, pid) && host == temporaryHostName() && !processRuns(pid))
            found.push_back(it->path());
    }
    return found;
}

std::vector<std::filesystem::path> removeAbandonedTemporaries(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> removed;
    for (const std::filesystem::path& temporary :
         findAbandonedTemporaries(directory.empty() ? std::filesystem::path(".") : directory)) {
        std::error_code ec;
        if (std::filesystem::remove(temporary, ec)) removed.push_back(temporary);
    }
    return removed;
}

}  // namespace vistereo
