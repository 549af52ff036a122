#include "conversion/output_claim.h"

#include <sys/stat.h>

#include <algorithm>

#include <opencv2/imgcodecs.hpp>

#include "base/message_text.h"
#include "conversion/output_target.h"
#include "stereofile/output_formats.h"
#include "imagefile/image_header.h"
#include "imagefile/input.h"
#include "imagefile/jpeg_decoder.h"
#include "imagefile/png_stream.h"
#include "stereofile/vr180.h"

namespace vistereo {
namespace {

namespace fs = std::filesystem;

std::string sizeText(int64_t width, int64_t height) { return std::to_string(width) + " x " + std::to_string(height); }

}  // namespace

FileStamp stampOf(const fs::path& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) return {};
    return {true, static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
            static_cast<uint64_t>(info.st_size),
            static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

ImageSize outputImageSize(const std::string& outputName, int32_t outputHeight) {
    const int64_t width = isVr180Name(outputName) ? outputHeight : 2 * int64_t{outputHeight};
    return {static_cast<int32_t>(width), outputHeight};
}

fs::path outputPlace(const fs::path& output) {
    // A folder still to be made (and "made/.." through it) cannot be looked
    // through yet: its part of the path is taken as it will resolve.
    const fs::path folder = output.parent_path();
    std::error_code ec;
    if (folder.empty() || fs::exists(folder, ec)) return output;
    const fs::path resolved = fs::weakly_canonical(folder, ec);
    return ec ? output : resolved / output.filename();
}

OutputState inspectOutput(const fs::path& output, ImageSize expected) {
    OutputState state;
    const fs::path place = outputPlace(output);
    state.stamp = stampOf(place);
    if (!state.stamp.exists) return state;
    const InputFile file = readInputFile(place, 0);
    if (file.status == InputStatus::Empty) {
        state.fault = "it is empty";
        return state;
    }
    if (!file.ok()) {
        state.fault = file.status == InputStatus::Directory || file.status == InputStatus::SpecialFile
                          ? "it is not a regular file"
                          : file.error;
        return state;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(file.bytes.data()), file.bytes.size());
    const ImageHeader header = probeImageHeaderBytes(bytes);
    if (!header.known()) {
        state.fault = "it is not an image whose header can be read";
        return state;
    }
    if (header.width != expected.width || header.height != expected.height) {
        state.fault = "it is " + sizeText(header.width, header.height) + ", not " +
                      sizeText(expected.width, expected.height);
        return state;
    }
    // Complete means it decodes, every byte of it, as the run wrote it.
    if (header.format == "JPEG") {
        if (bytes.substr(bytes.size() - std::min<size_t>(2, bytes.size())) != "\xFF\xD9") {
            state.fault = "it is cut short (no end-of-image marker)";
        } else if (isVr180Name(output.filename().string())) {
            const media::Vr180ReadResult vr180 = media::readVr180Jpeg(file.bytes);
            if (!vr180.ok()) state.fault = "it is a damaged VR180 photo: " + vr180.error;
            else if (std::string fault = jpegDecodeFault(vr180.leftJpeg); !fault.empty())
                state.fault = "its left eye is damaged (" + fault + ")";
            else if (std::string fault = jpegDecodeFault(vr180.rightJpeg); !fault.empty())
                state.fault = "its right eye is damaged (" + fault + ")";
        } else if (std::string fault = jpegDecodeFault(file.bytes); !fault.empty()) {
            state.fault = "it is damaged (" + fault + ")";
        }
    } else if (header.format == "PNG") {
        if (bytes.size() < 12 || bytes.substr(bytes.size() - 12) != std::string_view("\0\0\0\0IEND\xAE\x42\x60\x82", 12))
            state.fault = "it is cut short (no end chunk)";
        else if (std::string damage = pngStreamDamage(bytes); !damage.empty())
            state.fault = "it is damaged (" + damage + ")";
    } else {
        cv::Mat decoded;
        try {
            decoded = cv::imdecode(cv::Mat(1, static_cast<int>(file.bytes.size()), CV_8U,
                                           const_cast<uint8_t*>(file.bytes.data())),
                                   cv::IMREAD_UNCHANGED);
        } catch (const std::exception&) {
            decoded.release();
        }
        if (decoded.empty()) state.fault = "it cannot be decoded";
        else if (decoded.cols != expected.width || decoded.rows != expected.height)
            state.fault = "it decodes to " + sizeText(decoded.cols, decoded.rows);
    }
    state.complete = state.fault.empty();
    return state;
}

OutputLocks::Claim::Claim(Claim&& other) noexcept
    : owner_(other.owner_), folder_(std::move(other.folder_)), byte_(other.byte_) {
    other.owner_ = nullptr;
}

OutputLocks::Claim& OutputLocks::Claim::operator=(Claim&& other) noexcept {
    if (this != &other) {
        if (owner_) owner_->release(folder_, byte_);
        owner_ = other.owner_;
        folder_ = std::move(other.folder_);
        byte_ = other.byte_;
        other.owner_ = nullptr;
    }
    return *this;
}

OutputLocks::Claim::~Claim() {
    if (owner_) owner_->release(folder_, byte_);
}

std::optional<OutputLocks::Claim> OutputLocks::tryClaim(const fs::path& output, std::string& warning) {
    const fs::path folderPath = output.parent_path().empty() ? fs::path(".") : output.parent_path();
    const uint64_t byte = lockByteOf(output.filename().string());
    std::lock_guard guard(mutex_);
    // One lock file per folder, however the outputs spell it: a second open
    // file of it would make the run wait for itself.
    std::error_code ec;
    fs::create_directories(folderPath, ec);
    const auto folderId = identityOf(folderPath);
    const std::string key = folderId ? std::to_string(folderId->device) + ":" + std::to_string(folderId->inode)
                                     : folderPath.lexically_normal().string();
    auto [entry, fresh] = folders_.try_emplace(key);
    Folder& folder = entry->second;
    if (fresh) {
        OpenedLockFile opened = LockFile::open(folderPath / kOutputLockFileName);
        folder.file = std::move(opened.file);
        if (!opened.ok())
            warning = "cannot lock the outputs in \"" + shortenForMessage(folderPath.string()) + "\" (" +
                      opened.error + "); another batch on this folder could convert the same pair at the same time";
    }
    int& holders = folder.held[byte];
    if (holders == 0 && folder.file) {
        const LockFile::Trial trial = folder.file->tryLock(byte);
        switch (trial.attempt) {
            case LockFile::Attempt::Taken: break;
            case LockFile::Attempt::Busy:
                folder.held.erase(byte);
                return std::nullopt;
            case LockFile::Attempt::Unsupported:
                warning = "the file system of \"" + shortenForMessage(folderPath.string()) + "\" offers no locks (" +
                          trial.error + "); another batch on this folder could convert the same pair at the same time";
                folder.file.reset();
                break;
        }
    }
    ++holders;
    return Claim(this, key, byte);
}

OutputLocks::~OutputLocks() {
    for (auto& [key, folder] : folders_)
        if (folder.file && folder.held.empty()) folder.file->removeIfUnused();
}

void OutputLocks::release(const std::string& folderKey, uint64_t byte) {
    std::lock_guard guard(mutex_);
    const auto entry = folders_.find(folderKey);
    if (entry == folders_.end()) return;
    Folder& folder = entry->second;
    const auto held = folder.held.find(byte);
    if (held == folder.held.end() || --held->second > 0) return;
    folder.held.erase(held);
    if (folder.file) folder.file->unlock(byte);
}

}  // namespace vistereo
