// Whole-file writes that never leave a truncated or half-written target: the
// bytes go to a temporary file in the target's directory, are flushed to disk,
// and the temporary file is renamed over the target.
//
// A process that may be interrupted while it writes (a long batch stopped with
// Ctrl-C or `kill`) asks for removeTemporariesOnTermination(): the signal then
// removes the temporary files being written before the process ends. A process
// killed outright (SIGKILL, power loss) cannot clean up; its temporaries are
// found later by findAbandonedTemporaries(). A temporary's name carries the
// host and the process that write it, so that writers on several machines can
// share a folder: each removes only what its own host's dead processes left.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/fallible.h"

namespace vistereo {

// What a write does when the target is a symbolic link.
enum class AtLink {
    WriteThrough,  // the file the link names is replaced; the link stays (a shared settings file)
    Replace,       // the link itself is replaced by the new file; what it named is left untouched
};

// Ok when the target now holds exactly `bytes`. On failure the target is
// unchanged, no temporary file is left, and the error says what went wrong.
[[nodiscard]] Fallible writeFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                                           AtLink atLink = AtLink::WriteThrough);

// A file written piece by piece (a video as it is encoded) that appears under
// its name only when complete. The pieces go to a temporary file beside the
// target, at temporaryPath(), which a writer opens by its path; commit()
// flushes it to disk and renames it over the target. Until then the target
// is untouched. An uncommitted temporary is removed when the object is
// destroyed (after a failure or a stop), and by the handlers of
// removeTemporariesOnTermination() when the process is interrupted.
class StreamedFileWrite {
public:
    explicit StreamedFileWrite(const std::filesystem::path& target);
    ~StreamedFileWrite();
    StreamedFileWrite(const StreamedFileWrite&) = delete;
    StreamedFileWrite& operator=(const StreamedFileWrite&) = delete;

    // Not ok when no temporary could be made, saying why.
    const Fallible& opened() const { return opened_; }
    const std::filesystem::path& temporaryPath() const { return temporary_; }
    const std::filesystem::path& target() const { return target_; }
    // The temporary, as written by now, becomes the target. Not ok, with the
    // temporary removed, when it cannot (or when none was made).
    [[nodiscard]] Fallible commit();

private:
    std::filesystem::path target_, temporary_;
    int fd_ = -1;
    int slot_ = -1;
    Fallible opened_;
};

// Installs handlers for SIGINT, SIGTERM, SIGHUP and SIGQUIT that remove every
// temporary file the process's writeFileAtomically calls have open, write
// `notice` (when not null; it must stay valid) to the standard error, and end
// the process by the same signal with its default action, so the exit status
// still tells which signal ended it. Targets already renamed into place stay.
// A signal the process was started with ignored stays ignored (`nohup` keeps
// a hang-up from ending it). Call it once, before the threads that write start.
void removeTemporariesOnTermination(const char* notice = nullptr);

// Temporary files in `directory` that writeFileAtomically calls on this host
// left behind in processes that no longer run. A temporary of another host is
// never listed (its process may well be running there), nor one of a process
// that still runs here, nor one whose name does not say its host.
std::vector<std::filesystem::path> findAbandonedTemporaries(const std::filesystem::path& directory);

// Removes the temporaries findAbandonedTemporaries finds in `directory` (the
// current directory when empty); returns those it removed.
std::vector<std::filesystem::path> removeAbandonedTemporaries(const std::filesystem::path& directory);

// This host's name as temporaries carry it: letters, digits, "-" and "_"
// (any other character becomes "_"), at most 64 of them.
const std::string& temporaryHostName();

}  // namespace vistereo
