// The sound of a video file as one channel of float samples at a chosen
// rate, over a stretch of the file's own clock, for finding the time offset
// between two cameras by their sound.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/fallible.h"

namespace vistereo::media {

// `error`: why it could not be read ("it has no audio", ...).
struct MonoAudio : Fallible {
    // round(seconds x sampleRate) samples, the channels mixed down; silence
    // where the stretch lies before or after the file's sound.
    std::vector<float> samples;
    int sampleRate = 0;
    // The samples [heardFrom, heardTo) the file's sound reached (empty when
    // it reached none); the rest is silence beyond its ends.
    size_t heardFrom = 0, heardTo = 0;
};

// The stretch of `seconds` from `fromSeconds` on the file's clock, whose 0 is
// its first video frame (its first sound when it has no video).
MonoAudio readMonoAudio(const std::filesystem::path& path, double fromSeconds, double seconds, int sampleRate);

}  // namespace vistereo::media
