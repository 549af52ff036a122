#include "conversion/output_target.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/message_text.h"

namespace vistereo {
namespace {

namespace fs = std::filesystem;

std::string quoted(const fs::path& path) { return "\"" + shortenForMessage(path.string()) + "\""; }

std::string folderKeyOf(const FileIdentity& id) { return std::to_string(id.device) + ":" + std::to_string(id.inode); }

bool namesAFolder(const fs::path& path) {
    const fs::path name = path.filename();
    return name.empty() || name == "." || name == "..";
}

// `path` made absolute and its folder resolved as far as it exists.
fs::path resolvedFolderOf(const fs::path& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    if (ec) absolute = path;
    const fs::path folder = fs::weakly_canonical(absolute.parent_path(), ec);
    return ec ? absolute.parent_path().lexically_normal() : folder;
}

// The nearest folder of `resolved` (itself included) that exists, and what
// lies below it.
fs::path nearestExisting(const fs::path& resolved, fs::path& missing) {
    fs::path existing = resolved;
    missing.clear();
    std::error_code ec;
    while (!fs::exists(existing, ec) && existing.has_relative_path()) {
        missing = missing.empty() ? existing.filename() : existing.filename() / missing;
        existing = existing.parent_path();
    }
    return existing;
}

}  // namespace

fs::path argumentPath(const std::string& argument, const fs::path& folder) {
    if (argument.find('/') != std::string::npos) return fs::path(argument);
    return folder / argument;
}

std::optional<FileIdentity> identityOf(const fs::path& path) {
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

namespace {

// The folder part of a place: resolved, and keyed by the identity of its
// nearest existing folder.
std::pair<fs::path, std::string> locateFolder(const fs::path& path) {
    const fs::path folder = resolvedFolderOf(path);
    fs::path missing;
    const fs::path existing = nearestExisting(folder, missing);
    const auto folderId = identityOf(existing);
    return {folder, (folderId ? folderKeyOf(*folderId) : existing.string()) + "/" + missing.generic_string()};
}

FilePlace placeIn(const fs::path& path, const std::pair<fs::path, std::string>& folder) {
    FilePlace place;
    place.name = path.filename().string();
    place.resolved = folder.first / path.filename();
    place.folderKey = folder.second;
    place.file = identityOf(path);
    return place;
}

}  // namespace

Fallible writeObstacle(const fs::path& output) {
    if (namesAFolder(output)) return Fallible{quoted(output) + " names a folder, not a file"};
    struct stat info{};
    const bool there = ::lstat(output.c_str(), &info) == 0;
    if (!there && errno != ENOENT && errno != ENOTDIR)  // a name too long for the file system, say
        return Fallible{"cannot write " + quoted(output) + ": " + std::strerror(errno)};
    if (there) {
        struct stat followed{};
        const bool folder = S_ISDIR(info.st_mode) || (S_ISLNK(info.st_mode) && ::stat(output.c_str(), &followed) == 0 &&
                                                      S_ISDIR(followed.st_mode));
        if (folder) return Fallible{quoted(output) + " is a folder"};
        if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode))
            return Fallible{quoted(output) + " is a device, a FIFO or a socket, not a file"};
    }
    fs::path missing;
    const fs::path existing = nearestExisting(resolvedFolderOf(output), missing);
    struct stat folderInfo{};
    if (::stat(existing.c_str(), &folderInfo) != 0)
        return Fallible{"cannot reach the folder of " + quoted(output) + ": " + std::strerror(errno)};
    if (!S_ISDIR(folderInfo.st_mode))
        return Fallible{quoted(existing) + " is a file, not a folder, so " + quoted(output) + " cannot be made"};
    if (::access(existing.c_str(), W_OK | X_OK) != 0)
        return Fallible{"cannot write in " + quoted(existing) + ": " + std::strerror(errno)};
    return {};
}

void OutputRoom::Index::add(const FilePlace& place, const fs::path& path, const std::string& role) {
    const size_t index = known.size();
    known.push_back({path, role});
    byEntry.emplace(place.folderKey + "\n" + place.name, index);
    if (place.file) byIdentity.emplace(std::pair{place.file->device, place.file->inode}, index);
}

const OutputRoom::Known* OutputRoom::Index::find(const FilePlace& place) const {
    if (const auto it = byEntry.find(place.folderKey + "\n" + place.name); it != byEntry.end()) return &known[it->second];
    if (place.file)
        if (const auto it = byIdentity.find({place.file->device, place.file->inode}); it != byIdentity.end())
            return &known[it->second];
    return nullptr;
}

FilePlace OutputRoom::locate(const fs::path& path) const {
    // The images of a batch share a few folders: each is resolved once.
    const std::string folder = path.parent_path().string();
    auto known = folderCache_.find(folder);
    if (known == folderCache_.end()) known = folderCache_.emplace(folder, locateFolder(path)).first;
    return placeIn(path, known->second);
}

void OutputRoom::protect(const fs::path& file, const std::string& role) { inputs_.add(locate(file), file, role); }

void OutputRoom::protectFolder(const fs::path& folder, const std::string& role) {
    std::error_code ec;
    const auto id = identityOf(fs::weakly_canonical(fs::absolute(folder, ec), ec));
    if (id) folders_.emplace(folderKeyOf(*id) + "/", Known{folder, role});
}

void OutputRoom::keepWithin(const fs::path& folder, const std::string& howToAllow) {
    within_ = folder;
    howToAllow_ = howToAllow;
}

Fallible OutputRoom::clash(const fs::path& output) const { return clashAt(locate(output), output); }

Fallible OutputRoom::clashAt(const FilePlace& place, const fs::path& output) const {
    if (const Known* input = inputs_.find(place))
        return Fallible{"the output " + quoted(output) + " is " + input->role + " " + quoted(input->path) +
                        "; it would be lost"};
    if (const Known* earlier = outputs_.find(place))
        return Fallible{"the output " + quoted(output) + " is " + earlier->role + " " + quoted(earlier->path) +
                        "; the first result would be lost"};
    if (const auto folder = folders_.find(place.folderKey); folder != folders_.end())
        return Fallible{"the output " + quoted(output) + " would go into " + folder->second.role + " " +
                        quoted(folder->second.path)};
    if (within_) {
        std::error_code ec;
        fs::path root = fs::weakly_canonical(fs::absolute(*within_, ec), ec);
        const fs::path relative = place.resolved.parent_path().lexically_relative(root);
        if (relative.empty() || *relative.begin() == "..")
            return Fallible{"the output " + quoted(output) + " lies outside the output folder " + quoted(*within_) +
                            (howToAllow_.empty() ? "" : "; " + howToAllow_)};
    }
    return {};
}

Fallible OutputRoom::admit(const fs::path& output, const std::string& role) {
    const FilePlace place = locate(output);
    Fallible refusal = clashAt(place, output);
    if (refusal.ok()) refusal = writeObstacle(output);
    if (refusal.ok()) outputs_.add(place, output, role);
    return refusal;
}

}  // namespace vistereo
