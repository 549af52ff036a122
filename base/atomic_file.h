// Whole-file writes that never leave a truncated or half-written target: the
// bytes go to a temporary file in the target's directory, are flushed to disk,
// and the temporary file is renamed over the target.
//
// A process that may be interrupted while it writes (a long batch stopped with
// Ctrl-C or `kill`) asks for removeTemporariesOnTermination(): the signal then
// removes the temporary files being written before the process ends. A process
// killed outright (SIGKILL, power loss) cannot clean up; its temporaries are
// found later by findAbandonedTemporaries().
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vistereo {

// Returns true when the target now holds exactly `bytes`. On failure the
// target is unchanged, no temporary file is left, and `error` (if given)
// says what went wrong.
bool writeFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                         std::string* error = nullptr);

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

    // False when no temporary could be made; error() says why.
    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    const std::filesystem::path& temporaryPath() const { return temporary_; }
    const std::filesystem::path& target() const { return target_; }
    // The temporary, as written by now, becomes the target. False, with
    // error() set and the temporary removed, when it cannot.
    bool commit();

private:
    std::filesystem::path target_, temporary_;
    int fd_ = -1;
    int slot_ = -1;
    std::string error_;
};

// Installs handlers for SIGINT, SIGTERM, SIGHUP and SIGQUIT that remove every
// temporary file the process's writeFileAtomically calls have open, write
// `notice` (when not null; it must stay valid) to the standard error, and end
// the process by the same signal with its default action, so the exit status
// still tells which signal ended it. Targets already renamed into place stay.
// Call it once, before the threads that write start.
void removeTemporariesOnTermination(const char* notice = nullptr);

// Temporary files in `directory` left by writeFileAtomically calls whose
// process no longer runs on this machine, for the targets `isTarget` accepts
// (by file name). Another process's temporaries for other targets are never
// listed, so a caller can clean up its own targets in a directory that writers
// on other machines share.
std::vector<std::filesystem::path> findAbandonedTemporaries(
    const std::filesystem::path& directory, const std::function<bool(const std::string& targetName)>& isTarget);

}  // namespace vistereo
