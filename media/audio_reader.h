// The sound of a video file as one channel of float samples at a chosen
// rate, over a stretch of the file's own clock, for finding the time offset
// between two cameras by their sound.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vistereo::media {

struct MonoAudio {
    // round(seconds x sampleRate) samples, the channels mixed down; silence
    // where the stretch lies before or after the file's sound.
    std::vector<float> samples;
    int sampleRate = 0;
    std::string error;  // empty when read: "it has no audio", ...
    bool ok() const { return error.empty(); }
};

// The stretch of `seconds` from `fromSeconds` on the file's clock, whose 0 is
// its first video frame (its first sound when it has no video).
MonoAudio readMonoAudio(const std::filesystem::path& path, double fromSeconds, double seconds, int sampleRate);

}  // namespace vistereo::media
