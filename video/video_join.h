// The parts of a take joined into the one VR180 video a single conversion of
// the whole range would have written: the parts are checked against each
// other first (one take, the same settings, parts 1 to N each once and in
// order, each complete), then their pictures are copied one after another
// without being encoded again, the sound of the whole range is written once
// from the camera the parts name, and the VR180 boxes are written as for a
// single conversion. The file appears only when complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/fallible.h"

namespace vistereo {

struct VideoJoinRequest {
    std::vector<std::filesystem::path> parts;  // in order, part 1 first
    std::filesystem::path output;
    bool sound = true;  // the sound the parts' record names; false: none
};

struct VideoJoinResult : Fallible {
    std::filesystem::path output;
    int64_t frames = 0;
    double seconds = 0.0;
    int parts = 0;
    std::vector<std::string> notes;
};

VideoJoinResult joinVideoParts(const VideoJoinRequest& request);

}  // namespace vistereo
