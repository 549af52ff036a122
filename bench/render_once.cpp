// One render of both halves and nothing else, as a single conversion renders
// them (right half, then left, into a freshly allocated canvas): the harness
// for instruction counts under valgrind --tool=callgrind and for the CPU
// time of the render alone.
//
//   render_once [--height N] [--threads T] [--exact] [--interp bilinear|bicubic|lanczos]
//               [--lens equisolid|orthographic|sine|quadratic] [--repeat R]
//
// The sources are two 6000 x 4000 images of noise (what the pixels hold does
// not change the work), the right camera turned by 2 degrees of yaw and 1 of
// pitch, a zenith correction switched on. Prints the CPU time of the renders
// (every thread, user and system) per output pixel and a digest of the last
// output, so that two builds can be checked for the same bytes.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/resource.h>

#include <opencv2/core.hpp>

#include "engine/prepare.h"
#include "engine/render.h"
#include "tests/support/synth.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

// The lens both eyes share, prepared as the conversion run prepares it.
EyeGeometry eyeOf(const std::string& kind, int width, int height) {
    LensSettings lens;
    lens.name = kind;
    lens.sineK = 0.7;
    if (kind == "orthographic") lens.mappingKind = static_cast<int32_t>(MappingKind::Orthographic);
    else if (kind == "equisolid") lens.mappingKind = static_cast<int32_t>(MappingKind::Equisolid);
    else if (kind == "sine") lens.mappingKind = static_cast<int32_t>(MappingKind::SineK);
    else if (kind == "quadratic") {
        // Close to an equidistant lens (r = theta / 90 degrees), four continuous segments.
        lens.mappingKind = static_cast<int32_t>(MappingKind::Quadratic);
        lens.quadratic = {0.4, 0.8, 1.2, 0.02, 0.62, 0, 0.01, 0.628, -0.0016, -0.01, 0.66, -0.0144, -0.03, 0.708, -0.0432};
    } else {
        std::fprintf(stderr, "render_once: unknown lens %s\n", kind.c_str());
        std::exit(2);
    }
    return prepareEyes({lens, lens}, {ImageSize{width, height}, ImageSize{width, height}}).eye[0];
}

// Noise from a xorshift generator: cheap enough not to dwarf what is measured.
cv::Mat noise(int width, int height, uint64_t seed) {
    cv::Mat image(height, width, CV_8UC3);
    uint64_t x = seed;
    for (int y = 0; y < height; ++y) {
        uint8_t* p = image.ptr<uint8_t>(y);
        for (size_t i = 0; i < image.cols * image.elemSize(); ++i) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            p[i] = static_cast<uint8_t>(x >> 56);
        }
    }
    return image;
}

// FNV-1a over every row of the canvas, eight bytes at a time (the tail bytewise).
uint64_t digest(const cv::Mat& image) {
    uint64_t h = 1469598103934665603ull;
    const size_t bytes = image.cols * image.elemSize();
    for (int y = 0; y < image.rows; ++y) {
        const uint8_t* p = image.ptr<uint8_t>(y);
        size_t x = 0;
        for (uint64_t word; x + 8 <= bytes; x += 8) std::memcpy(&word, p + x, 8), h = (h ^ word) * 1099511628211ull;
        for (; x < bytes; ++x) h = (h ^ p[x]) * 1099511628211ull;
    }
    return h;
}

// CPU seconds of the process so far (every thread): user, system.
std::pair<double, double> cpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

}  // namespace

int main(int argc, char** argv) {
    int height = 4096, threads = 0, repeat = 1;
    RenderOptions options;
    std::string lensKind = "equisolid";
    for (int a = 1; a < argc; ++a) {
        const bool more = a + 1 < argc;
        if (!std::strcmp(argv[a], "--height") && more) height = std::max(1, std::atoi(argv[++a]));
        else if (!std::strcmp(argv[a], "--threads") && more) threads = std::max(0, std::atoi(argv[++a]));
        else if (!std::strcmp(argv[a], "--repeat") && more) repeat = std::max(1, std::atoi(argv[++a]));
        else if (!std::strcmp(argv[a], "--lens") && more) lensKind = argv[++a];
        else if (!std::strcmp(argv[a], "--exact")) options.exact = true;
        else if (!std::strcmp(argv[a], "--interp") && more) {
            const std::string kernel = argv[++a];
            options.interpolation = kernel == "bicubic" ? Interpolation::Bicubic
                                    : kernel == "lanczos" ? Interpolation::Lanczos
                                                          : Interpolation::Bilinear;
        } else {
            std::fprintf(stderr,
                         "usage: render_once [--height N] [--threads T] [--exact] [--interp KERNEL] [--lens KIND] "
                         "[--repeat R]\n");
            return 2;
        }
    }
    options.threads = threads;
    const int width = 6000, imageHeight = 4000;
    const cv::Mat left = noise(width, imageHeight, 0x9E3779B97F4A7C15ull), right = noise(width, imageHeight, 0xD1B54A32D192ED03ull);

    ConversionGeometry geometry;
    geometry.outputHeight = height;
    geometry.eye[0] = geometry.eye[1] = eyeOf(lensKind, width, imageHeight);
    geometry.zenith = zenithAngles({12, -25, 7});
    // A and B where two scene points fall in each image.
    const SynthLens lens = SynthLens::equisolid(width, imageHeight);
    const RotationMatrix toRight = transpose(rotationFromYawPitchRoll(2.0, 1.0, 0.0));
    PointSet points;
    points.leftA = {2400, 1700};
    points.leftB = {3900, 2500};
    auto inRight = [&](ImagePoint p) {
        const auto q = pixelOfCameraDirection(lens, rotate(toRight, cameraDirectionOfPixel(lens, p.x, p.y)));
        return ImagePoint{static_cast<int32_t>(q->x + 0.5), static_cast<int32_t>(q->y + 0.5)};
    };
    points.rightA = inRight(points.leftA);
    points.rightB = inRight(points.leftB);
    const AlignmentRotation alignment = alignmentRotation(geometry.eye[0], geometry.eye[1], points);

    cv::Mat canvas;
    const auto [user0, system0] = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < repeat; ++r) {
        canvas = cv::Mat(height, 2 * height, CV_8UC3);
        renderRightEyeAligned(geometry, alignment, right, canvas, options);
        renderLeftEye(geometry, left, canvas, options);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / repeat;
    const auto [user1, system1] = cpuSeconds();
    const double user = (user1 - user0) / repeat, system = (system1 - system0) / repeat;
    const double pixels = 2.0 * height * static_cast<double>(height);
    std::printf("%d x %d, %s lens: render %.3f s CPU (user %.3f, system %.3f), %.2f ns CPU per output pixel, wall %.3f s; "
                "digest %016llx\n",
                2 * height, height, lensKind.c_str(), user + system, user, system, (user + system) * 1e9 / pixels, wall,
                static_cast<unsigned long long>(digest(canvas)));
    return 0;
}
