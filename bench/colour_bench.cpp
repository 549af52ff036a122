// The photometric match of the two eyes.
//
//   colour_bench [--threads T] [--no-large] [--real DIR]
//
// Synthetic: the panorama at infinity seen by an equisolid 1600 x 1200 pair
// (the right camera turned by 2 degrees of yaw, -1 of pitch, 1.5 of roll),
// with known differences put on the right or the left camera's pixels. For
// each, with every tone model: the fitted gain and offset per channel, the
// fall-off found at each lens's rim, the mean absolute difference of the far
// fields before and after the correction (applied as the engine renders
// both halves at height 512 with the true rotation, the halves lightly
// blurred, clipped and black levels left out), and the held-out
// difference each model leaves (the automatic choice's evidence).
// Large: the time of one fit on a 6000 x 4000 pair. Real: the pair
// 001L.JPG / 001R.JPG in DIR (the shared test data's real pair) with the
// equidistant records bench/real_pair.sh found, aligned automatically, then
// fitted with each model: the far field's difference before and after (the
// fit's own figures, per pixel and over the far-field cells' mean levels;
// there is no truth).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "colour/photometric.h"
#include "bench/bench_clock.h"
#include "conversion/auto_align.h"
#include "engine/prepare.h"
#include "tests/support/levels.h"

using namespace vistereo;
using namespace vistereo::alignment;
using namespace vistereo::testsupport;
using namespace vistereo::bench;

namespace {

void printRow(const char* model, const ColourMatch& m, const cv::Vec3d& before, const cv::Vec3d& after, double seconds) {
    // Channels printed red, green, blue.
    std::printf("  %-14s gain %6.4f %6.4f %6.4f  offset %6.2f %6.2f %6.2f  before %5.2f %5.2f %5.2f"
                "  after %5.2f %5.2f %5.2f  held out %5.3f / %5.3f  %-15s %5.2f s\n",
                model, m.channel[2].gain, m.channel[1].gain, m.channel[0].gain, m.channel[2].offset,
                m.channel[1].offset, m.channel[0].offset, before[2], before[1], before[0], after[2], after[1],
                after[0], m.heldOutGainOffset, m.heldOutCurve, toneModelName(m.model), seconds);
    if (m.heldOutWithoutFalloff > 0.0)
        std::printf("  %-14s fall-off %s (held out without it: %.3f); at the rim, left %5.3f %5.3f %5.3f, right %5.3f "
                    "%5.3f %5.3f\n",
                    "", m.falloffKept ? "kept" : "left out", m.heldOutWithoutFalloff, m.rimFalloff[0][2],
                    m.rimFalloff[0][1], m.rimFalloff[0][0], m.rimFalloff[1][2], m.rimFalloff[1][1], m.rimFalloff[1][0]);
}

const struct {
    ToneModel model;
    bool falloff;
    const char* name;
} kModels[] = {{ToneModel::GainOffset, false, "gain+offset"},
               {ToneModel::Curve, false, "curve"},
               {ToneModel::Automatic, false, "automatic"},
               {ToneModel::Automatic, true, "auto+fall-off"}};

void synthetic(int threads, bool large) {
    const SynthLens lens = SynthLens::equisolid(1600, 1200);
    const RotationMatrix rightToLeft = rotationFromYawPitchRoll(2.0, -1.0, 1.5);
    const cv::Mat left = renderFisheye(panorama(), lens, RotationMatrix{}), right = renderFisheye(panorama(), lens, rightToLeft);
    ConversionGeometry g;
    g.eye = {eyeGeometryOf(lens), eyeGeometryOf(lens)};
    const CameraModel camera = CameraModel::fromEyeGeometry(g.eye[0]);
    const cv::Vec3d gains(1.12, 1.0, 0.85);
    auto falling = [](cv::Vec3d v, double r) { return v * (1.0 - 0.3 * r * r); };
    const struct {
        const char* name;
        LevelChange left, right;
    } cases[] = {
        {"matched eyes", nullptr, nullptr},
        {"right: gains 0.85 / 1.0 / 1.12 (red / green / blue), offset +6", nullptr,
         [&](cv::Vec3d v, double) { return v.mul(gains) + cv::Vec3d::all(6.0); }},
        {"right: 30 % fall-off at the rim", nullptr, falling},
        {"left: 30 % fall-off at the rim", falling, nullptr},
        {"right: gains, offset and fall-off", nullptr,
         [&](cv::Vec3d v, double r) { return falling(v, r).mul(gains) + cv::Vec3d::all(6.0); }},
        {"right: gamma 1.25", nullptr,
         [](cv::Vec3d v, double) {
             for (int c = 0; c < 3; ++c) v[c] = 255.0 * std::pow(v[c] / 255.0, 1.25);
             return v;
         }},
        {"right: S-curve (x - 0.06 sin 2 pi x, more contrast about mid-grey) and gain 0.95", nullptr,
         [](cv::Vec3d v, double) {
             for (int c = 0; c < 3; ++c) {
                 const double x = v[c] / 255.0;
                 v[c] = 0.95 * 255.0 * (x - 0.06 * std::sin(2.0 * 3.14159265358979323846 * x));
             }
             return v;
         }}};
    std::printf("synthetic: equisolid 1600 x 1200, panorama at infinity; figures red, green, blue; before / after: "
                "far-field mean absolute difference, levels; held out: what gain and offset / the curve leave on cells "
                "they were not fitted on; fall-off: the share let through at each lens's rim\n");
    for (const auto& c : cases) {
        std::printf("%s\n", c.name);
        const cv::Mat l = withLevels(left, lens, c.left), r = withLevels(right, lens, c.right);
        const cv::Vec3d before = farFieldDifference(g, rightToLeft, l, r);
        for (const auto& model : kModels) {
            PhotometricOptions options;
            options.model = model.model, options.falloff = model.falloff, options.threads = threads;
            const auto start = Clock::now();
            const ColourMatch m = fitColourMatch(
                colourSamplesOfPair(camera, l, camera, r, rightToLeft, {}, 0, options), options);
            const double seconds = secondsSince(start);
            if (!m.ok()) {
                std::printf("  %-16s failed: %s\n", model.name, m.error.c_str());
                continue;
            }
            const cv::Vec3d after = farFieldDifference(g, rightToLeft, l, r, 512, &m.correction);
            printRow(model.name, m, before, after, seconds);
        }
    }
    if (!large) return;
    const SynthLens big = SynthLens::equisolid(6000, 4000);
    const cv::Mat bl = renderFisheye(panorama(), big, RotationMatrix{}), br = renderFisheye(panorama(), big, rightToLeft);
    const CameraModel bigCamera = CameraModel::fromEyeGeometry(eyeGeometryOf(big));
    for (const bool falloff : {false, true}) {
        PhotometricOptions options;
        options.falloff = falloff, options.threads = threads;
        const auto start = Clock::now();
        const ColourSamples s =
            colourSamplesOfPair(bigCamera, bl, bigCamera, br, rightToLeft, {}, 0, options);
        const double sampling = secondsSince(start);
        const ColourMatch m = fitColourMatch(s, options);
        std::printf("6000 x 4000 pair%s: %d samples, %.3f s to sample the halves, %.3f s to fit (%s)\n",
                    falloff ? " with fall-off" : "", m.pixels, sampling, secondsSince(start) - sampling,
                    m.ok() ? "ok" : m.error.c_str());
    }
}

void real(const std::string& dir, int threads) {
    const cv::Mat left = cv::imread(dir + "/001L.JPG", cv::IMREAD_COLOR), right = cv::imread(dir + "/001R.JPG", cv::IMREAD_COLOR);
    if (left.empty() || right.empty()) {
        std::printf("real pair: cannot read 001L.JPG and 001R.JPG in %s\n", dir.c_str());
        return;
    }
    // Equidistant through sin(0.01 theta), radius for 90 degrees 2604 dots, the measured axes.
    auto lens = [](int x, int y) {
        LensSettings s;
        s.name = "real";
        s.sineK = 0.01;
        s.radiusMode = static_cast<int32_t>(RadiusMode::Dots), s.radiusDots = 2604;
        s.mappingKind = static_cast<int32_t>(MappingKind::SineK);
        s.axisMode = static_cast<int32_t>(AxisMode::GivenAxis), s.axisX = x, s.axisY = y;
        return s;
    };
    const PreparedEyes prepared = prepareEyes({lens(2012, 3041), lens(1978, 2971)},
                                              {ImageSize{left.cols, left.rows}, ImageSize{right.cols, right.rows}});
    if (!prepared.ok()) {
        std::printf("real pair: the lens records do not fit the images\n");
        return;
    }
    ConversionGeometry g;
    g.eye = prepared.eye;
    const PairAlignment aligned = alignImages(left, right, g, threads);
    if (!aligned.ok()) {
        std::printf("real pair: %s\n", aligned.error.c_str());
        return;
    }
    std::printf("real pair %s (%d x %d): aligned, %d inliers, %d near\n", dir.c_str(), left.cols, left.rows,
                aligned.result.inliers, aligned.result.disparity.nearCount);
    for (const auto& model : kModels) {
        PhotometricOptions options;
        options.model = model.model, options.falloff = model.falloff, options.threads = threads;
        const auto start = Clock::now();
        const ColourMatch m = matchPairColours(left, right, g, aligned.result.rotation, &aligned.result, options);
        const double seconds = secondsSince(start);
        if (!m.ok()) {
            std::printf("  %-16s failed: %s\n", model.name, m.error.c_str());
            continue;
        }
        printRow(model.name, m, {m.channel[0].before, m.channel[1].before, m.channel[2].before},
                 {m.channel[0].after, m.channel[1].after, m.channel[2].after}, seconds);
        std::printf("  %-14s over the cells' mean levels: before %5.2f %5.2f %5.2f  after %5.2f %5.2f %5.2f\n", "",
                    m.channel[2].cellsBefore, m.channel[1].cellsBefore, m.channel[0].cellsBefore,
                    m.channel[2].cellsAfter, m.channel[1].cellsAfter, m.channel[0].cellsAfter);
        if (&model == &kModels[0])
            std::printf("  (far field: %d of %d pixels both eyes show; %d near, %d clipped, %d black left out; rim to "
                        "centre as recorded: left %.3f, right %.3f)\n",
                        m.pixels, m.shown, m.near, m.clipped, m.black, m.rimToCentre[0], m.rimToCentre[1]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int threads = 0;
    bool large = true;
    std::string realDir;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) threads = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-large")) large = false;
        else if (!std::strcmp(argv[i], "--real") && i + 1 < argc) realDir = argv[++i];
        else {
            std::fprintf(stderr, "usage: colour_bench [--threads T] [--no-large] [--real DIR]\n");
            return 2;
        }
    }
    std::printf("load average %s\n", loadAverage().c_str());
    synthetic(threads, large);
    if (!realDir.empty()) real(realDir, threads);
    return 0;
}
