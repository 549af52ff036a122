// Whether an output already holds a finished conversion, and which of
// several runs on one output folder converts it.
//
// An output counts as done only when it is a complete image of the size the
// run would write: its header says so, its data runs to the format's end (a
// JPEG to its end-of-image marker, a PNG to its end chunk) and every byte of
// it decodes without a fault (a JPEG's stream, both eyes of a VR180 photo, a
// PNG's picture data; other formats through the image library). An empty,
// cut-short or damaged file, or one of another size, is converted again.
// This one test decides a batch's skip, its resume and its --dry-run.
//
// A run converts an output only while it holds the output's lock: one byte,
// named after the output, of the lock file ".vistereo.lock" in the output's
// folder. Two runs on one folder (also on two machines sharing it over NFS)
// thus never convert the same output at once, while they convert different
// ones side by side. What the run found at the place before it started is
// kept as a stamp; if the stamp has changed by the time the lock is taken,
// another run has written the output meanwhile and this run leaves it alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/file_lock.h"
#include "engine/prepare.h"

namespace vistereo {

inline constexpr const char* kOutputLockFileName = kLockFileName;

// The directory entry at a path as it is now (a link as the link): whether
// anything is there, and what tells one writing of it from another.
struct FileStamp {
    bool exists = false;
    uint64_t device = 0, inode = 0, size = 0;
    int64_t modifiedNanoseconds = 0;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};
FileStamp stampOf(const std::filesystem::path& path);

// What lies at an output's place.
struct OutputState {
    FileStamp stamp;
    bool complete = false;  // a complete image of the expected size
    std::string fault;      // something is there but it is not complete: why ("it is empty", ...)
};
// The path is looked at as it will resolve once the output's missing
// folders are made (a "made/../output" through a folder still to be made).
OutputState inspectOutput(const std::filesystem::path& output, ImageSize expected);
std::filesystem::path outputPlace(const std::filesystem::path& output);

// The size of the image a run writes under `outputName` at `outputHeight`:
// both halves side by side, or for a VR180 photo the left eye (the right eye
// travels in its metadata).
ImageSize outputImageSize(const std::string& outputName, int32_t outputHeight);

// The locks one run holds on its outputs. Thread-safe; two outputs whose
// names share a lock byte share the run's hold on it.
class OutputLocks {
public:
    // Holds an output's lock until it is destroyed.
    class Claim {
    public:
        Claim(Claim&& other) noexcept;
        Claim& operator=(Claim&& other) noexcept;
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
        ~Claim();

    private:
        friend class OutputLocks;
        Claim(OutputLocks* owner, std::string folder, uint64_t byte) : owner_(owner), folder_(std::move(folder)), byte_(byte) {}
        OutputLocks* owner_ = nullptr;
        std::string folder_;
        uint64_t byte_ = 0;
    };

    // The output's lock, made in its folder (the folder is made when
    // missing); nullopt when another run holds it. Where the file system
    // offers no locks the claim is granted all the same, with `warning` set
    // once for that folder.
    std::optional<Claim> tryClaim(const std::filesystem::path& output, std::string& warning);

    OutputLocks() = default;
    OutputLocks(const OutputLocks&) = delete;
    OutputLocks& operator=(const OutputLocks&) = delete;
    // The lock files this run made are removed when no run holds them any more.
    ~OutputLocks();

private:
    void release(const std::string& folder, uint64_t byte);

    struct Folder {
        std::optional<LockFile> file;  // none: the folder cannot be locked
        std::map<uint64_t, int> held;  // byte -> outputs of this run holding it
    };
    std::mutex mutex_;
    std::map<std::string, Folder> folders_;
};

}  // namespace vistereo
