// The time offset between two cameras that filmed the same scene, found from
// their sound: a clap, a voice or the room's noise reaches both microphones
// at once, so the two tracks line up where their cross-correlation peaks.
//
// The offset is how much later a moment shows on the right camera's clock
// than on the left's: an event at left time t is at right time t + offset.
// It is found to the audio sample, then rounded to the video frame for
// pairing frames; the sub-frame remainder is reported. The correlation is
// phase-weighted (each frequency counts by its phase alone, not its loudness),
// which gives one sharp peak for sound of any colour; its confidence is the
// peak's height against the next best peak away from it. A drift check
// compares the offset near the end of the range with the one at its start:
// two camera clocks that run at slightly different rates pull apart over a
// long take.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/fallible.h"

namespace vistereo {

inline constexpr int kSyncSampleRate = 48000;
inline constexpr double kSyncWindowSeconds = 60.0;   // of the left track, at the range's start
inline constexpr double kMaxSyncOffsetSeconds = 30.0; // the right track is searched this far either way
inline constexpr double kDriftWindowSeconds = 10.0;  // at the range's end
inline constexpr double kDriftSearchSeconds = 0.5;   // either way of the offset found at the start
// Below this the peak is no better than chance and the offset is refused.
inline constexpr double kMinimumSyncConfidence = 2.0;

// The lag at which two sound tracks of one rate line up best.
struct SoundLag {
    long long samples = 0;   // right[t + samples] matches left[t]
    double confidence = 0.0; // peak height / next best peak's height outside the peak's neighbourhood
};

// Lags searched: lowest .. highest samples; the next best peak is sought
// outside `neighbourhood` samples either side of the best. Both tracks must
// be non-empty.
SoundLag correlateSound(const std::vector<float>& left, const std::vector<float>& right, long long lowest,
                        long long highest, long long neighbourhood);

// `error`: why no offset was found.
struct VideoOffset : Fallible {
    double seconds = 0.0;      // right clock minus left clock, to the audio sample
    long long frames = 0;      // rounded to the video frame
    double remainderSeconds = 0.0;  // seconds - frames / fps
    double confidence = 0.0;
    // The drift check: the offset measured near the end of the range minus
    // the one above, when it could be measured.
    std::optional<double> driftSeconds;
    std::string driftNote;  // why the drift could not be measured, when it could not
};

// The offset of two camera files by their sound: the left track over
// [from, from + min(60 s, seconds)) of its clock against the right track
// 30 s wider on either side. Refused, with the reason and "use --offset",
// when a file has no sound or the peak is not clear. The two tracks are
// read at the same time when `threads` allows two (0: the hardware's).
VideoOffset findVideoOffset(const std::filesystem::path& left, const std::filesystem::path& right, double fps,
                            double from, double seconds, int threads = 0);

// The drift check of an offset found: the last min(10 s, seconds / 2) of the
// range [from, from + seconds) of the left clock against the right track
// where the offset puts it; sets driftSeconds, or driftNote when the sound
// there is missing or unclear. Reads as findVideoOffset does.
void checkDrift(VideoOffset& offset, const std::filesystem::path& left, const std::filesystem::path& right,
                double fps, double from, double seconds, int threads = 0);

// "0.250 s (6 frames + 0.0 ms), confidence 8.3; drift 0.1 ms over the range".
std::string describeOffset(const VideoOffset& offset, double fps);

}  // namespace vistereo
