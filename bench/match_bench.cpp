// Time per click of the point matching on a 6000 x 4000 pair: the plain
// whole-image cv::matchTemplate (TM_SQDIFF) search against the strip search
// the picker uses, over many clicks, and whether they agree on every click.
//
//   match_bench [--clicks N] [--threads T] [--seed S]
//
// The pair is synthesised from the bundled panorama: identical equisolid
// lenses, the right camera turned by 2 degrees of yaw and 1 of pitch.
#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "picking/matching.h"
#include "picking/template_search.h"
#include "tests/support/synth.h"

using namespace vistereo;
using namespace vistereo::testsupport;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Summary {
    double median = 0.0, max = 0.0;
};

Summary summarise(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    const size_t n = t.size();
    return {n % 2 ? t[n / 2] : 0.5 * (t[n / 2 - 1] + t[n / 2]), t.back()};
}

// Sum over the channels of the standard deviation of the template block.
bool textured(const cv::Mat& image, double x, double y) {
    const cv::Rect block(static_cast<int>(x) - kTemplateOffset, static_cast<int>(y) - kTemplateOffset, kTemplateSize,
                         kTemplateSize);
    cv::Scalar mean, sdv;
    cv::meanStdDev(image(block), mean, sdv);
    return sdv[0] + sdv[1] + sdv[2] >= 20.0;
}

}  // namespace

int main(int argc, char** argv) {
    int clicks = 16, threads = 0;
    unsigned seed = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--clicks")) clicks = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--threads")) threads = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seed")) seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: match_bench [--clicks N] [--threads T] [--seed S]\n");
            return 2;
        }
    }

    const int width = 6000, height = 4000;
    const SynthLens lens = SynthLens::equisolid(width, height);
    auto start = Clock::now();
    const cv::Mat left = renderFisheye(panorama(), lens, RotationMatrix{});
    const cv::Mat right = renderFisheye(panorama(), lens, rotationFromYawPitchRoll(2.0, 1.0, 0.0));
    std::printf("pair: %d x %d, rendered in %.1f s; hardware threads: %u; OpenCV threads: %d\n", width, height,
                secondsSince(start), std::thread::hardware_concurrency(), cv::getNumThreads());

    const PickingImages images = makePickingImages(left, right);
    const TemplateSearchOptions options{threads, TemplateSearchOptions{}.blocksPerStrip};

    // Clicks in the left view, inside the central part of the image circle, on
    // blocks with some texture, as a user picks features.
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> referenceTimes, fastTimes, clickTimes;
    int agree = 0, accepted = 0;
    for (int n = 0; n < clicks; ++n) {
        int cx = 0, cy = 0;
        do {
            cx = static_cast<int>(unit(random) * images.left.width);
            cy = static_cast<int>(unit(random) * images.left.height);
        } while (std::hypot(cx / images.left.scale - lens.axisX, cy / images.left.scale - lens.axisY) >
                     0.8 * lens.radius180 ||
                 !textured(left, cx / images.left.scale, cy / images.left.scale));
        const ImagePoint lp{static_cast<int>(cx / images.left.scale), static_cast<int>(cy / images.left.scale)};
        cv::Mat templ;
        left(cv::Rect(lp.x - kTemplateOffset, lp.y - kTemplateOffset, kTemplateSize, kTemplateSize)).copyTo(templ);

        start = Clock::now();
        const TemplateSearchResult reference = searchTemplateReference(right, templ);
        referenceTimes.push_back(secondsSince(start));

        start = Clock::now();
        const TemplateSearchResult fast = searchTemplate(right, templ, options);
        fastTimes.push_back(secondsSince(start));

        start = Clock::now();
        const MatchOutcome outcome = MatchClickedPoint(images, cx, cy);
        clickTimes.push_back(secondsSince(start));

        const bool same = fast.location == reference.location && fast.score == reference.score;
        agree += same;
        accepted += outcome.accepted();
        std::printf("click %2d view (%4d,%3d) left (%4d,%4d): reference (%4d,%4d) %.6g in %.3f s, "
                    "strips (%4d,%4d) %.6g in %.3f s, click %.3f s %s%s\n",
                    n + 1, cx, cy, lp.x, lp.y, reference.location.x + kTemplateOffset,
                    reference.location.y + kTemplateOffset, reference.score, referenceTimes.back(),
                    fast.location.x + kTemplateOffset, fast.location.y + kTemplateOffset, fast.score,
                    fastTimes.back(), clickTimes.back(), same ? "same" : "DIFFERENT",
                    outcome.accepted() ? "" : " (refused)");
        std::fflush(stdout);
    }

    const Summary r = summarise(referenceTimes), f = summarise(fastTimes), c = summarise(clickTimes);
    std::printf("\nseconds per click over %d clicks (median / max):\n", clicks);
    std::printf("  reference, whole-image cv::matchTemplate: %.3f / %.3f\n", r.median, r.max);
    std::printf("  strip search:                             %.3f / %.3f\n", f.median, f.max);
    std::printf("  MatchClickedPoint (strip search):         %.3f / %.3f\n", c.median, c.max);
    std::printf("agreement (same location and score): %d of %d; accepted clicks: %d of %d\n", agree, clicks,
                accepted, clicks);
    return agree == clicks ? 0 : 1;
}
