// Finished stereo images read back, for `check`, the desktop program's
// preview and the tests: a side-by-side picture (twice as wide as high), or
// a VR180 photo, whose two eyes are decoded and put side by side. The file is
// read by the input rule (refused by its type before it is opened, within the
// size bound, each eye's header held against the pixel limit before it is
// decoded); a file that declares a right eye but cannot give it is refused
// with the VR180 reader's own reason, not taken for a plain picture.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/fallible.h"

#include <opencv2/core.hpp>

#include "imagefile/input.h"

namespace vistereo {

// `error`: when not read, why, without the file's name.
struct StereoImage : Fallible {
    cv::Mat sideBySide;  // 8-bit BGR, 2N x N, when read
    bool vr180 = false;  // read from the two eyes of a VR180 photo
    // Read, but the user should hear something: a damaged eye, a GUID that is
    // not the MD5 of its packet, a picture turned by its orientation tag.
    std::vector<std::string> warnings;
    // The orientation tag that turned what is measured (empty: none did), as
    // one clause, for a measurement that then fails to name it.
    std::string turned;
};

StereoImage readStereoImage(const std::filesystem::path& path, const InputReadOptions& options = {});

}  // namespace vistereo
