// Two cameras' video files of one take with a known truth, made from the panorama through the program's own
// video writer: the rig pans at a steady rate, so that neighbouring frames differ; the right camera is turned by
// a fixed rotation against the left and starts filming a known time after it; both cameras hear the same clicks
// at irregular times, each with its own faint noise.
//
// World time 0 is the left camera's first frame. An event at world time w is at left time w and right time
// w - rightStartsAt, so the offset the synchronisation must find (right clock minus left clock) is -rightStartsAt.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "videofile/video_writer.h"
#include "tools/synth/synth.h"

namespace vistereo::synth {

struct SynthTake {
    int width = 160, height = 120;  // frames of both cameras; a circular fisheye of radius height / 2
    media::FrameRate rightRate{24, 1}, leftRate{24, 1};
    int frames = 36;                 // per camera
    double panDegreesPerSecond = 40.0;
    double noise = 0.0;  // standard deviation of a sensor's noise added to every frame, in levels
    // The right camera's own rendering of levels: a gain per channel (blue, green, red) and an offset.
    cv::Scalar rightGain{1.0, 1.0, 1.0};
    double rightOffset = 0.0;
    RotationMatrix rightTurn = rotationFromYawPitchRoll(2.0, -1.0, 1.5);
    double rightStartsAt = 0.25 + 37.0 / 48000.0;  // world time of the right camera's first frame
    bool leftSound = true, rightSound = true;
    int sampleRate = 48000;
    media::VideoEncoding encoding{media::VideoCodec::H264, 0, "ultrafast", 0};  // lossless
    media::YuvColour colour;  // of both cameras' files: BT.709, limited range unless set

    SynthLens lens() const { return SynthLens::equisolid(width, height); }
    double offsetSeconds() const { return -rightStartsAt; }
};

// Writes the two cameras' files.
void writeSynthTake(const SynthTake& take, const std::filesystem::path& left, const std::filesystem::path& right);

// The points A and B of the rig for the comma line (A-left x, B-left x, A-right x, B-right x, then the y values):
// two left pixels and where the right camera sees their directions.
std::string synthTakePoints(const SynthTake& take);

// The world's clicks heard from world time `from` for `seconds`, with faint noise of seed `noiseSeed`, by a camera
// whose clock runs `clockRate` times as fast as the world's (an event `at` is at its time (at - from) x clockRate).
std::vector<float> clickTrack(double from, double seconds, int sampleRate, int noiseSeed, double clockRate = 1.0);

// A 16-bit mono WAV file of `mono`: a file with sound and no video stream, in a codec an MP4 does not take.
void writeWav(const std::filesystem::path& path, const std::vector<float>& mono, int sampleRate);

}  // namespace vistereo::synth
