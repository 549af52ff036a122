// Where a run may write, decided before any picture is decoded: how a file
// argument of the command line becomes a path, whether an output would
// replace a file the run reads or another output of the same run (files are
// compared by identity, after links and ".." are resolved, never by their
// spelling), whether it stays within its output folder, and whether it can
// be written at all. `convert`, `batch` and the conversion run share these
// rules; nothing here renders or writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/fallible.h"

namespace vistereo {

// A file a run reads, and what it is to the run ("the pairs file").
struct ProtectedFile {
    std::filesystem::path path;
    std::string role;
};

// A file or folder argument of the command line: one that is absolute or
// holds a "/" is a path as given (relative to the current directory); a bare
// name lies in `folder` (input/ or output/ of the working directory).
std::filesystem::path argumentPath(const std::string& argument, const std::filesystem::path& folder);

// A file as the system knows it, whatever its name: device and inode.
struct FileIdentity {
    uint64_t device = 0, inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
// The file `path` names, following links; nullopt when there is none.
std::optional<FileIdentity> identityOf(const std::filesystem::path& path);

// Where a file is or would be: its folder with links and ".." resolved (by
// identity when the folder exists; folders still to be made are spelt out
// after the nearest one that exists), its own name, and the file there. Two
// places are one file when folder and name agree (one directory entry) or
// when both files are there and agree (a link, a hard link).
struct FilePlace {
    std::string folderKey;            // the folder's identity, then the folders still missing
    std::string name;                 // the last part of the path, not resolved (a link is a file of its own)
    std::filesystem::path resolved;   // the folder resolved, then the name
    std::optional<FileIdentity> file; // what is there now, following links
};

// Whether `output` can be written, or why not: its name is a folder's, a folder
// or a special file (device, FIFO, socket) is in its place, a file stands
// where one of its folders should be, or its nearest existing folder does not
// let this user write. Missing folders are no obstacle: they are made.
Fallible writeObstacle(const std::filesystem::path& output);

// The files one run reads and the outputs it has accepted so far.
class OutputRoom {
public:
    // A file the run reads (an image, the pairs file, the lens registry),
    // called `role` in messages ("the left image", "the pairs file").
    void protect(const std::filesystem::path& file, const std::string& role);
    // A folder the run reads its images from: no output goes into it.
    void protectFolder(const std::filesystem::path& folder, const std::string& role);
    // Outputs must lie within `folder` once links and ".." are resolved;
    // `howToAllow` ends the refusal (the option that lifts the rule).
    void keepWithin(const std::filesystem::path& folder, const std::string& howToAllow);

    // Whether `output` would replace a file the run reads or an output
    // accepted before, or lies where it may not, naming both paths.
    Fallible clash(const std::filesystem::path& output) const;
    // clash(), then writeObstacle(); when both pass the output is accepted,
    // called `role` in later refusals ("the output of pair 2").
    Fallible admit(const std::filesystem::path& output, const std::string& role = "another output");

private:
    Fallible clashAt(const FilePlace& place, const std::filesystem::path& output) const;
    FilePlace locate(const std::filesystem::path& path) const;

    struct Known {
        std::filesystem::path path;
        std::string role;
    };
    // Files by directory entry and by identity, so that a batch of many
    // pairs checks each output in constant time.
    struct Index {
        std::unordered_map<std::string, size_t> byEntry;
        std::map<std::pair<uint64_t, uint64_t>, size_t> byIdentity;
        std::vector<Known> known;
        void add(const FilePlace& place, const std::filesystem::path& path, const std::string& role);
        const Known* find(const FilePlace& place) const;
    };
    Index inputs_, outputs_;
    std::unordered_map<std::string, Known> folders_;  // by the folder's key
    std::optional<std::filesystem::path> within_;
    std::string howToAllow_;
    // Folders as given -> resolved, and their key.
    mutable std::unordered_map<std::string, std::pair<std::filesystem::path, std::string>> folderCache_;
};

}  // namespace vistereo
