// The remap of a video frame's planes alone: two 3840 x 2160 equisolid
// cameras' YCbCr 4:2:0 planes to one 4096 x 2048 side-by-side frame, through
// the six plans a video builds once (luma and chroma of each half), the
// right camera turned by 2 degrees of yaw and 1 of pitch.
//
//   plane_bench [--height N] [--frames F] [--camera WxH]
//
// Prints the plans' build time and memory, then the median time of one
// frame's remap over F frames on one thread and on every hardware thread,
// with the CPU time per frame and per output sample.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <opencv2/core.hpp>

#include "bench/bench_clock.h"
#include "video/video.h"
#include "engine/prepare.h"

using namespace vistereo;
using namespace vistereo::bench;

namespace {

// A camera's planes of noise: the remap's time does not depend on the levels.
media::YuvPlanes cameraPlanes(int width, int height, const media::YuvColour& colour, unsigned seed) {
    media::YuvPlanes planes = media::YuvPlanes::allocate(width, height, colour);
    cv::RNG rng(seed);
    for (cv::Mat* plane : {&planes.y, &planes.cb, &planes.cr}) rng.fill(*plane, cv::RNG::UNIFORM, 16, 236);
    return planes;
}

}  // namespace

int main(int argc, char** argv) {
    int height = 2048, frames = 30, width = 3840, cameraHeight = 2160;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--height") && a + 1 < argc) {
            height = std::max(2, std::atoi(argv[++a]) & ~1);
        } else if (!std::strcmp(argv[a], "--frames") && a + 1 < argc) {
            frames = std::max(1, std::atoi(argv[++a]));
        } else if (!std::strcmp(argv[a], "--camera") && a + 1 < argc &&
                   std::sscanf(argv[++a], "%dx%d", &width, &cameraHeight) == 2 && width >= 4 && cameraHeight >= 4) {
            width &= ~1, cameraHeight &= ~1;
        } else {
            std::fprintf(stderr, "usage: plane_bench [--height N] [--frames F] [--camera WxH]\n");
            return 2;
        }
    }
    const int hardware = resolveThreadCount(0);
    std::printf("plane_bench: output %d x %d, cameras %d x %d, 4:2:0, %d hardware threads, load average %s\n",
                2 * height, height, width, cameraHeight, hardware, loadAverage().c_str());

    LensSettings lens;
    lens.name = "equisolid";
    lens.mappingKind = static_cast<int32_t>(MappingKind::Equisolid);
    ConversionGeometry geometry;
    geometry.outputHeight = height;
    const PreparedEyes eyes = prepareEyes({lens, lens}, {ImageSize{width, cameraHeight}, ImageSize{width, cameraHeight}});
    geometry.eye = eyes.eye;
    const RotationMatrix rightCamera = rotationFromYawPitchRoll(2.0, 1.0, 0.0);
    const media::YuvColour colour;  // BT.709, limited range, left-sited chroma

    const auto built = Clock::now();
    FramePlanePlans plans = planFramePlanes(geometry, RightEyeTurn{rightCamera, {}}, RunOptions{}, colour, colour, colour);
    std::printf("six plans built in %.3f s (every thread), %.1f MiB, %.2f bytes per output sample\n",
                secondsSince(built), plans.bytes() / 1048576.0, plans.bytes() / (3.0 * height * height));

    const media::YuvPlanes left = cameraPlanes(width, cameraHeight, colour, 1);
    const media::YuvPlanes right = cameraPlanes(width, cameraHeight, colour, 2);
    media::YuvPlanes out = media::YuvPlanes::allocate(2 * height, height, colour);
    const double samples = 2.0 * height * height * 1.5;
    std::vector<int> threadCounts{1};
    if (hardware > 1) threadCounts.push_back(hardware);
    for (int threads : threadCounts) {
        const PlaneRenderer render = plannedPlaneRenderer(plans, threads);
        render(left, right, out);  // the first touch of the output
        std::vector<double> t;
        const std::clock_t cpuStart = std::clock();
        for (int f = 0; f < frames; ++f) {
            const auto start = Clock::now();
            render(left, right, out);
            t.push_back(secondsSince(start));
        }
        const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC / frames;
        std::sort(t.begin(), t.end());
        std::printf("%d thread%s: %.2f ms a frame (median of %d), %.2f ms CPU a frame, %.2f ns CPU per sample\n",
                    threads, threads == 1 ? " " : "s", 1e3 * t[t.size() / 2], frames, 1e3 * cpu,
                    1e9 * cpu / samples);
    }
    return 0;
}
