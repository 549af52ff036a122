#include "video/video_sync.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/core.hpp>

#include "base/parallel.h"
#include "videofile/audio_reader.h"

namespace vistereo {
namespace {

// The track's spectrum in the packed form of a real signal: Re0, then Re and
// Im of each frequency, then (for an even size) the last real one.
cv::Mat spectrum(const std::vector<float>& track, int size) {
    cv::Mat padded = cv::Mat::zeros(1, size, CV_32F);
    std::copy(track.begin(), track.end(), padded.ptr<float>());
    cv::dft(padded, padded);
    return padded;
}

struct TrackPair {
    media::MonoAudio left, right;
};

// The two stretches, read at the same time when `threads` allows.
TrackPair readBoth(const std::filesystem::path& left, double leftFrom, double leftSeconds,
                   const std::filesystem::path& right, double rightFrom, double rightSeconds, int threads) {
    TrackPair tracks;
    runBoth(
        threads, [&] { tracks.left = media::readMonoAudio(left, leftFrom, leftSeconds, kSyncSampleRate); },
        [&] { tracks.right = media::readMonoAudio(right, rightFrom, rightSeconds, kSyncSampleRate); });
    return tracks;
}

// The lag of the right track against the left over [lowest, highest], as
// correlateSound finds it, with the right track cut to the stretch its file's
// sound reaches: the silence either side, where the file has none, would
// only widen the transform (the search over 30 s either way is mostly
// beyond a short file's ends).
SoundLag correlateHeard(const media::MonoAudio& left, const media::MonoAudio& right, long long lowest,
                        long long highest, long long neighbourhood) {
    const auto cut = static_cast<long long>(right.heardFrom);
    const std::vector<float> heard(right.samples.begin() + right.heardFrom, right.samples.begin() + right.heardTo);
    SoundLag lag = correlateSound(left.samples, heard, lowest - cut, highest - cut, neighbourhood);
    lag.samples += cut;
    return lag;
}

}  // namespace

SoundLag correlateSound(const std::vector<float>& left, const std::vector<float>& right, long long lowest,
                        long long highest, long long neighbourhood) {
    const int size = cv::getOptimalDFTSize(static_cast<int>(left.size() + right.size()));
    cv::Mat cross = spectrum(right, size);
    // Right against left: B times the conjugate of A, each frequency reduced
    // to its phase (the small floor keeps silent bands from dividing by 0).
    cv::mulSpectrums(cross, spectrum(left, size), cross, 0, true);
    float* c = cross.ptr<float>();
    const int pairsEnd = size % 2 ? size : size - 1;  // the packed pairs are c[1..pairsEnd)
    double total = std::fabs(c[0]) + (size % 2 ? 0.0 : std::fabs(c[size - 1]));
    for (int k = 1; k < pairsEnd; k += 2) total += std::hypot(c[k], c[k + 1]);
    const float floor = static_cast<float>(1e-6 * total / size + 1e-30);
    c[0] /= std::fabs(c[0]) + floor;
    if (size % 2 == 0) c[size - 1] /= std::fabs(c[size - 1]) + floor;
    for (int k = 1; k < pairsEnd; k += 2) {
        const float m = std::hypot(c[k], c[k + 1]) + floor;
        c[k] /= m, c[k + 1] /= m;
    }
    cv::dft(cross, cross, cv::DFT_INVERSE | cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);
    const float* r = cross.ptr<float>();
    // Lag k sits at k, a negative one at size + k.
    const auto at = [&](long long lag) { return r[lag >= 0 ? lag : size + lag]; };
    lowest = std::max<long long>(lowest, -static_cast<long long>(left.size()) + 1);
    highest = std::min<long long>(highest, static_cast<long long>(right.size()) - 1);
    SoundLag best;
    float peak = -INFINITY;
    for (long long lag = lowest; lag <= highest; ++lag)
        if (at(lag) > peak) peak = at(lag), best.samples = lag;
    float next = 0.0f;
    for (long long lag = lowest; lag <= highest; ++lag)
        if (std::llabs(lag - best.samples) > neighbourhood) next = std::max(next, at(lag));
    best.confidence = next > 0.0f ? peak / next : (peak > 0.0f ? INFINITY : 0.0);
    return best;
}

VideoOffset findVideoOffset(const std::filesystem::path& left, const std::filesystem::path& right, double fps,
                            double from, double seconds, int threads) {
    VideoOffset out;
    const int rate = kSyncSampleRate;
    const double window = std::min(kSyncWindowSeconds, seconds);
    const TrackPair tracks = readBoth(left, from, window, right, from - kMaxSyncOffsetSeconds,
                                      window + 2 * kMaxSyncOffsetSeconds, threads);
    const media::MonoAudio &l = tracks.left, &r = tracks.right;
    if (!l.ok() || !r.ok()) {
        out.error = std::string("the ") + (l.ok() ? "right" : "left") + " video \"" + (l.ok() ? right : left).string() +
                    "\" cannot be synchronised by its sound (" + (l.ok() ? r.error : l.error) +
                    "): use --offset SECONDS";
        return out;
    }
    if (l.samples.empty()) {
        out.error = "the range is too short to synchronise by sound: use --offset SECONDS";
        return out;
    }
    const long long frameSamples = std::max<long long>(1, std::llround(rate / fps));
    const long long reach = std::llround(kMaxSyncOffsetSeconds * rate);
    const SoundLag lag = correlateHeard(l, r, 0, 2 * reach, frameSamples);
    out.confidence = lag.confidence;
    out.seconds = static_cast<double>(lag.samples - reach) / rate;
    out.frames = std::llround(out.seconds * fps);
    out.remainderSeconds = out.seconds - out.frames / fps;
    if (!(lag.confidence >= kMinimumSyncConfidence)) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the two videos' sound does not line up clearly (best at %.4f s, confidence %.2f, below %.1f): "
                      "use --offset SECONDS",
                      out.seconds, lag.confidence, kMinimumSyncConfidence);
        out.error = text;
    }
    return out;
}

void checkDrift(VideoOffset& out, const std::filesystem::path& left, const std::filesystem::path& right, double fps,
                double from, double seconds, int threads) {
    // The end of the range, the right track where the offset puts it and a
    // little either way.
    const int rate = kSyncSampleRate;
    const long long frameSamples = std::max<long long>(1, std::llround(rate / fps));
    const double span = std::min(kDriftWindowSeconds, seconds / 2);
    const double end = from + seconds;
    const TrackPair tracks = readBoth(left, end - span, span, right, end - span + out.seconds - kDriftSearchSeconds,
                                      span + 2 * kDriftSearchSeconds, threads);
    const media::MonoAudio &le = tracks.left, &re = tracks.right;
    if (le.samples.empty() || !le.ok() || !re.ok()) {
        out.driftNote = "the sound near the end of the range could not be read to check the drift";
        return;
    }
    const long long search = std::llround(kDriftSearchSeconds * rate);
    const SoundLag endLag = correlateHeard(le, re, 0, 2 * search, frameSamples);
    if (!(endLag.confidence >= kMinimumSyncConfidence)) {
        out.driftNote = "the sound near the end of the range is not clear enough to check the drift";
        return;
    }
    out.driftSeconds = static_cast<double>(endLag.samples - search) / rate;
}

std::string describeOffset(const VideoOffset& offset, double fps) {
    char text[300];
    std::snprintf(text, sizeof text, "%.4f s (%lld frames %+.1f ms), confidence %.1f", offset.seconds, offset.frames,
                  offset.remainderSeconds * 1000.0, offset.confidence);
    std::string out = text;
    if (offset.driftSeconds) {
        const double halfFrame = 0.5 / fps;
        std::snprintf(text, sizeof text, "; the clocks drift %+.1f ms by the end of the range (%s half a frame)",
                      *offset.driftSeconds * 1000.0, std::fabs(*offset.driftSeconds) > halfFrame ? "more than" : "within");
        out += text;
    } else if (!offset.driftNote.empty()) {
        out += "; " + offset.driftNote;
    }
    return out;
}

}  // namespace vistereo
