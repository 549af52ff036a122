// Render time of both halves of a conversion at full size, against the time
// of decoding the two inputs and encoding the output, and the same render set
// up once and applied many times through the halves' remap plans.
//
//   render_bench [--height N] [--runs R] [--no-reference]
//
// The inputs are a 6000 x 4000 equisolid fisheye pair synthesised from the
// bundled panorama, the right camera turned by 2 degrees of yaw and 1 of
// pitch; A and B are where two scene points fall in each image. A zenith
// correction is switched on. Prints, for the exact and the default render
// mode, the median of R runs on one thread and on every hardware thread and
// the per-core throughput and the CPU time per output pixel; for each half,
// the time to build its remap plan, the plan's memory and the time to apply
// it; how many bytes the default mode changes; whether the exact mode matches
// the one-pixel-at-a-time path byte for byte; and the codec floor
// (cv::imdecode of both JPEG inputs plus cv::imencode of the output).
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "engine/plan.h"
#include "engine/prepare.h"
#include "engine/render.h"
#include "tests/support/synth.h"

using namespace vistereo;
using namespace vistereo::testsupport;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Process CPU seconds (every thread) of one call.
double cpuSeconds(const std::function<void()>& work) {
    const std::clock_t start = std::clock();
    work();
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

double medianSeconds(int runs, const std::function<void()>& work) {
    std::vector<double> t;
    for (int r = 0; r < runs; ++r) {
        const auto start = Clock::now();
        work();
        t.push_back(secondsSince(start));
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// An equisolid circular fisheye with the axis at the image centre, prepared
// as the conversion run prepares it.
EyeGeometry equisolidEye(int width, int height) {
    LensSettings lens;
    lens.name = "equisolid";
    lens.mappingKind = static_cast<int32_t>(MappingKind::Equisolid);
    return prepareEyes({lens, lens}, {ImageSize{width, height}, ImageSize{width, height}}).eye[0];
}

ImagePoint pixelOf(const SynthLens& lens, const Vec3& cameraDirection) {
    const auto p = pixelOfCameraDirection(lens, cameraDirection);
    if (!p) {
        std::fprintf(stderr, "render_bench: scene point behind the camera\n");
        std::exit(1);
    }
    return {static_cast<int>(std::lround(p->x)), static_cast<int>(std::lround(p->y))};
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    in >> one;
    return one.empty() ? "?" : one;
}

}  // namespace

int main(int argc, char** argv) {
    int height = kDefaultOutputHeight, runs = 3;
    bool reference = true;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--height") && a + 1 < argc) {
            height = std::max(1, std::atoi(argv[++a]));
        } else if (!std::strcmp(argv[a], "--runs") && a + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++a]));
        } else if (!std::strcmp(argv[a], "--no-reference")) {
            reference = false;
        } else {
            std::fprintf(stderr, "usage: render_bench [--height N] [--runs R] [--no-reference]\n");
            return 2;
        }
    }
    const int width = 6000, imageHeight = 4000;
    const int hardware = resolveThreadCount(0);
    std::printf("render_bench: output %d x %d, sources %d x %d, %d hardware threads, load average %s\n", 2 * height,
                height, width, imageHeight, hardware, loadAverage().c_str());

    // The pair, and the two scene points seen by both cameras.
    auto stage = Clock::now();
    const SynthLens lens = SynthLens::equisolid(width, imageHeight);
    const RotationMatrix rightCamera = rotationFromYawPitchRoll(2.0, 1.0, 0.0);
    const cv::Mat left = renderFisheye(panorama(), lens, RotationMatrix{});
    const cv::Mat right = renderFisheye(panorama(), lens, rightCamera);
    std::printf("synthesised the pair in %.1f s\n", secondsSince(stage));

    ConversionGeometry geometry;
    geometry.outputHeight = height;
    geometry.eye[0] = geometry.eye[1] = equisolidEye(width, imageHeight);
    geometry.zenith = zenithAngles({12, -25, 7});
    PointSet points;
    points.leftA = {2400, 1700};
    points.leftB = {3900, 2500};
    const RotationMatrix toRight = transpose(rightCamera);
    points.rightA = pixelOf(lens, rotate(toRight, cameraDirectionOfPixel(lens, points.leftA.x, points.leftA.y)));
    points.rightB = pixelOf(lens, rotate(toRight, cameraDirectionOfPixel(lens, points.leftB.x, points.leftB.y)));
    const AlignmentRotation alignment = alignmentRotation(geometry.eye[0], geometry.eye[1], points);
    std::printf("A %d,%d -> %d,%d  B %d,%d -> %d,%d  roll 1.2 pitch -2.5 yaw 0.7 degrees\n", points.leftA.x,
                points.leftA.y, points.rightA.x, points.rightA.y, points.leftB.x, points.leftB.y, points.rightB.x,
                points.rightB.y);

    // Rendering both halves, as the conversion does: right, then left; in
    // the exact mode (the reference's bytes) and the default mode.
    cv::Mat canvas(height, 2 * height, CV_8UC3), exactCanvas(height, 2 * height, CV_8UC3);
    auto renderBoth = [&](cv::Mat& out, int threads, bool exact) {
        const RenderOptions options{threads, {}, exact, Interpolation::Bilinear, {}};
        renderRightEyeAligned(geometry, alignment, right, out, options);
        renderLeftEye(geometry, left, out, options);
    };
    const double megapixels = 2.0 * height * static_cast<double>(height) / 1e6;
    std::vector<int> threadCounts{1};
    if (hardware > 1) threadCounts.push_back(hardware);
    double allThreads = 0.0;
    for (bool exact : {true, false}) {
        double oneThread = 0.0, t = 0.0;
        for (int threads : threadCounts) {
            cv::Mat& out = exact ? exactCanvas : canvas;
            t = medianSeconds(runs, [&] { renderBoth(out, threads, exact); });
            if (threads == 1) oneThread = t;
            std::printf("%s mode, render both halves, %d thread%s: %.3f s (median of %d), %.2f Mpx/s per core\n",
                        exact ? "exact  " : "default", threads, threads == 1 ? "" : "s", t, runs,
                        megapixels / t / threads);
        }
        if (hardware > 1)
            std::printf("%s mode, scaling: %d threads take %.3f of the one-thread time (ideal %.3f)\n",
                        exact ? "exact  " : "default", hardware, t / oneThread, 1.0 / hardware);
        if (!exact) allThreads = t;
        const double cpu = cpuSeconds([&] { renderBoth(exact ? exactCanvas : canvas, 0, exact); });
        std::printf("%s mode, CPU time per output pixel: %.1f ns\n", exact ? "exact  " : "default",
                    cpu * 1e9 / (megapixels * 1e6));
    }

    // Set up once, apply many times: each half's plan built once and applied
    // to the image, as a batch or a video applies it to every pair or frame.
    for (Half half : {Half::Right, Half::Left}) {
        const HalfTurn turn = half == Half::Right ? HalfTurn(geometry.zenith, alignment) : HalfTurn(geometry.zenith);
        const RemapPlanKey key = remapPlanKey(geometry, half, turn, Interpolation::Bilinear, false);
        std::shared_ptr<const RemapPlan> plan;
        const double build = medianSeconds(runs, [&] { plan = buildRemapPlan(key, 0); });
        const cv::Mat& source = half == Half::Right ? right : left;
        const HalfTarget target{&source, &canvas};
        const double apply = medianSeconds(runs, [&] { applyRemapPlan(*plan, {&target, 1}, 0); });
        const double applyCpu = cpuSeconds([&] { applyRemapPlan(*plan, {&target, 1}, 0); });
        std::printf("%s half's plan, %d threads: built in %.3f s, %.1f MiB (%.2f bytes per output pixel); applied in "
                    "%.3f s (%.1f ns CPU per output pixel)\n",
                    half == Half::Right ? "right" : "left ", hardware, build, plan->bytes() / 1048576.0,
                    plan->bytes() / (static_cast<double>(height) * height), apply,
                    applyCpu * 1e9 / (static_cast<double>(height) * height));
    }

    auto reportDifferences = [&](const cv::Mat& expected, const char* what) {
        cv::Mat diff;
        cv::absdiff(expected, canvas, diff);
        double largest = 0.0;
        cv::minMaxLoc(diff.reshape(1), nullptr, &largest);
        const int count = cv::countNonZero(diff.reshape(1));
        std::printf("default mode against %s: %d of %zu bytes differ (%.6f %%), by at most %.0f\n", what, count,
                    canvas.total() * 3, 100.0 * count / (canvas.total() * 3.0), largest);
    };
    reportDifferences(exactCanvas, "the exact mode");
    if (reference) {
        cv::Mat plain(height, 2 * height, CV_8UC3);
        stage = Clock::now();
        reference::renderRightEyeAligned(geometry, alignment, right, plain);
        reference::renderLeftEye(geometry, left, plain);
        const double t = secondsSince(stage);
        const cv::Mat differs = plain != exactCanvas;
        std::printf("one pixel at a time (reference): %.3f s; bytes of the exact mode differing from it: %d\n", t,
                    cv::countNonZero(differs.reshape(1)));
    }

    // The codec floor: decoding the inputs, encoding the output.
    std::vector<uchar> leftJpeg, rightJpeg, outJpeg;
    cv::imencode(".jpg", left, leftJpeg);
    cv::imencode(".jpg", right, rightJpeg);
    const double decode = medianSeconds(runs, [&] {
        const cv::Mat l = cv::imdecode(leftJpeg, cv::IMREAD_COLOR), r = cv::imdecode(rightJpeg, cv::IMREAD_COLOR);
        if (l.empty() || r.empty()) std::exit(1);
    });
    const double encode = medianSeconds(runs, [&] { cv::imencode(".jpg", canvas, outJpeg); });
    std::printf("decode both JPEGs (%.1f + %.1f MB): %.3f s; encode the output (%.1f MB): %.3f s; floor %.3f s\n",
                leftJpeg.size() / 1e6, rightJpeg.size() / 1e6, decode, outJpeg.size() / 1e6, encode, decode + encode);
    std::printf("default mode with %d thread%s = %.2f x the codec floor (target at most 1.5)\n", hardware,
                hardware == 1 ? "" : "s", allThreads / (decode + encode));
    return 0;
}
