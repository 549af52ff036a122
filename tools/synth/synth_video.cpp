// Synthetic takes: each camera's frames are the panorama remapped through a map worked out once per camera (the
// pan only moves the panorama sideways), its sound the world's clicks from its own start.
#include "tools/synth/synth_video.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace vistereo::synth {
namespace {

// Where each pixel of a camera turned by `turn` finds the panorama with the rig unpanned; -1 outside the circle.
struct PanoramaMap {
    cv::Mat x, y;  // CV_32F
    cv::Mat inside;
};
PanoramaMap panoramaMap(const cv::Mat& pano, const SynthLens& lens, const RotationMatrix& turn) {
    PanoramaMap map{cv::Mat(lens.height, lens.width, CV_32F), cv::Mat(lens.height, lens.width, CV_32F),
                    cv::Mat::zeros(lens.height, lens.width, CV_8U)};
    for (int r = 0; r < lens.height; ++r)
        for (int c = 0; c < lens.width; ++c) {
            const Vec3 d = cameraDirectionOfPixel(lens, c, r);
            if (std::isnan(d.x)) continue;
            const cv::Point2d p = panoramaPositionOfDirection(pano, rotate(turn, d));
            map.x.at<float>(r, c) = static_cast<float>(p.x - 0.5), map.y.at<float>(r, c) = static_cast<float>(p.y - 0.5);
            map.inside.at<uchar>(r, c) = 255;
        }
    return map;
}

// The frame at world time t: panned by t x rate degrees to the right, which moves the panorama's longitude.
cv::Mat frameAt(const cv::Mat& pano, const PanoramaMap& map, double panDegrees) {
    cv::Mat shiftedX = map.x + static_cast<float>(panDegrees / 360.0 * pano.cols);
    cv::Mat frame;
    cv::remap(pano, frame, shiftedX, map.y, cv::INTER_LINEAR, cv::BORDER_WRAP);
    cv::Mat out = cv::Mat::zeros(frame.size(), frame.type());
    frame.copyTo(out, map.inside);
    return out;
}

void writeCamera(const SynthTake& take, const std::filesystem::path& path, const RotationMatrix& turn, double worldStart,
                 const media::FrameRate& rate, bool sound, int noiseSeed, const cv::Scalar& gain = {1.0, 1.0, 1.0},
                 double offset = 0.0) {
    const cv::Mat& pano = panorama();
    const PanoramaMap map = panoramaMap(pano, take.lens(), turn);
    media::VideoWriterSettings settings;
    settings.width = take.width, settings.height = take.height, settings.frameRate = rate;
    settings.encoding = take.encoding;
    settings.colour = take.colour;
    if (sound) {
        media::AudioSource audio;
        audio.sampleRate = take.sampleRate;
        audio.mono = clickTrack(worldStart, take.frames / rate.value(), take.sampleRate, noiseSeed);
        settings.audio = audio;
    }
    media::VideoWriter writer(path, settings);
    cv::Mat grain(take.height, take.width, CV_16SC3);
    Fallible written = writer.opened();
    for (int n = 0; n < take.frames && written.ok(); ++n) {
        cv::Mat frame = frameAt(pano, map, (worldStart + n / rate.value()) * take.panDegreesPerSecond);
        if (take.noise > 0) {
            cv::theRNG().state = static_cast<uint64_t>(noiseSeed) * 100003u + static_cast<uint64_t>(n) + 1;
            cv::randn(grain, 0, take.noise);
            cv::add(frame, grain, frame, cv::noArray(), CV_8UC3);
        }
        if (gain != cv::Scalar(1.0, 1.0, 1.0) || offset != 0.0) {
            cv::Mat levels;
            frame.convertTo(levels, CV_32FC3);
            cv::multiply(levels, gain, levels);
            cv::Mat lit;
            levels.convertTo(lit, CV_8UC3, 1.0, offset);
            lit.copyTo(frame, map.inside);  // the dark outside the circle stays dark
        }
        written = writer.write(frame);
    }
    if (written.ok()) written = writer.finish();
    if (!written.ok()) throw std::runtime_error("cannot write " + path.string() + ": " + written.error);
}

}  // namespace

std::vector<float> clickTrack(double from, double seconds, int sampleRate, int noiseSeed, double clockRate) {
    const auto count = static_cast<size_t>(std::llround(seconds * sampleRate));
    std::vector<float> track(count);
    cv::RNG noise(static_cast<uint64_t>(noiseSeed) + 1);
    for (float& s : track) s = static_cast<float>(noise.gaussian(0.01));
    // Clicks every 0.1 to 0.4 s of world time, the same for every camera; each a decaying burst of 96 samples.
    cv::RNG times(7);
    for (double at = 0.05; at < from + seconds / clockRate; at += times.uniform(0.1, 0.4)) {
        cv::RNG burst(static_cast<uint64_t>(at * 1e6));
        const long long first = std::llround((at - from) * clockRate * sampleRate);
        for (int k = 0; k < 96; ++k)
            if (first + k >= 0 && first + k < static_cast<long long>(count))
                track[first + k] += static_cast<float>(0.6 * std::exp(-k / 24.0) * burst.uniform(-1.0, 1.0));
    }
    return track;
}

void writeSynthTake(const SynthTake& take, const std::filesystem::path& left, const std::filesystem::path& right) {
    writeCamera(take, left, RotationMatrix{}, 0.0, take.leftRate, take.leftSound, 1);
    writeCamera(take, right, take.rightTurn, take.rightStartsAt, take.rightRate, take.rightSound, 2, take.rightGain,
                take.rightOffset);
}

void writeWav(const std::filesystem::path& path, const std::vector<float>& mono, int sampleRate) {
    std::string bytes;
    const auto put = [&](uint32_t v, int n) {
        for (int k = 0; k < n; ++k) bytes += static_cast<char>((v >> (8 * k)) & 0xFF);
    };
    const auto data = static_cast<uint32_t>(2 * mono.size());
    bytes += "RIFF", put(36 + data, 4), bytes += "WAVEfmt ", put(16, 4), put(1, 2), put(1, 2), put(sampleRate, 4);
    put(2 * sampleRate, 4), put(2, 2), put(16, 2), bytes += "data", put(data, 4);
    for (float s : mono) put(static_cast<uint16_t>(static_cast<int16_t>(std::lround(std::clamp(s, -1.0f, 1.0f) * 32767))), 2);
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string synthTakePoints(const SynthTake& take) {
    const SynthLens lens = take.lens();
    const double left[2][2] = {{take.width * 0.40, take.height * 0.62}, {take.width * 0.60, take.height * 0.40}};
    long xs[4], ys[4];
    for (int k = 0; k < 2; ++k) {
        xs[k] = std::lround(left[k][0]), ys[k] = std::lround(left[k][1]);
        const auto seen = pixelOfCameraDirection(lens, rotate(transpose(take.rightTurn), cameraDirectionOfPixel(lens, xs[k], ys[k])));
        if (!seen) throw std::runtime_error("a point of the synthetic take is not seen by the right camera");
        xs[2 + k] = std::lround(seen->x), ys[2 + k] = std::lround(seen->y);
    }
    return std::to_string(xs[0]) + "," + std::to_string(xs[1]) + "," + std::to_string(xs[2]) + "," + std::to_string(xs[3]) +
           "," + std::to_string(ys[0]) + "," + std::to_string(ys[1]) + "," + std::to_string(ys[2]) + "," + std::to_string(ys[3]);
}

}  // namespace vistereo::synth
