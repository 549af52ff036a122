// Resampling quality and speed: an equisolid fisheye of the panorama (3000 x
// 2000, circle radius 990) converted at height 2048 with each interpolation,
// against the panorama's own front hemisphere on the same grid. PSNR within
// 85 degrees of the axis; the rim (85 to 89.5 degrees) as the mean level
// against the truth's, to show darkening; time of both halves.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/prepare.h"
#include "engine/render.h"
#include "tests/support/synth.h"

using namespace vistereo;
using namespace vistereo::testsupport;

int main() {
    const int n = 2048, width = 3000, height = 2000;
    SynthLens lens;
    lens.width = width, lens.height = height, lens.k = 0.5, lens.mappingScale = 1.41421, lens.radius180 = 990;
    lens.axisX = width / 2, lens.axisY = height / 2;
    const cv::Mat fisheye = renderFisheye(panorama(), lens, Rotation{});
    const cv::Mat truth = frontHemisphere(panorama(), n);

    LensSettings settings;
    settings.name = "equisolid";
    settings.mappingKind = static_cast<int32_t>(MappingKind::Equisolid);
    settings.radiusMode = static_cast<int32_t>(RadiusMode::Dots);
    settings.radiusDots = 990;
    const PreparedEyes eyes = prepareEyes({settings, settings}, {ImageSize{width, height}, {width, height}});
    const ConversionGeometry geometry{eyes.eye, n, {}};

    // Angle from the axis of each output pixel.
    cv::Mat inner(n, n, CV_8U), rim(n, n, CV_8U);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const Vec3 d = zenithDirection(geometry, i, j);
            const double off = std::acos(std::clamp(d.y, -1.0, 1.0)) * 180.0 / kPi;
            inner.at<uchar>(i, j) = off <= 85.0;
            rim.at<uchar>(i, j) = off > 85.0 && off <= 89.5;
        }
    const double truthRim = cv::mean(truth, rim)[0] + cv::mean(truth, rim)[1] + cv::mean(truth, rim)[2];
    std::printf("interp_bench: %d x %d equisolid fisheye, radius 990, output half %d x %d\n", width, height, n, n);
    const struct { Interpolation mode; const char* name; } modes[] = {
        {Interpolation::Bilinear, "bilinear"}, {Interpolation::Bicubic, "bicubic"}, {Interpolation::Lanczos, "lanczos"}};
    for (const auto& m : modes) {
        cv::Mat out(n, 2 * n, CV_8UC3);
        std::vector<double> seconds;
        for (int run = 0; run < 3; ++run) {
            const auto start = std::chrono::steady_clock::now();
            RenderOptions options;
            options.interpolation = m.mode;
            renderRightEyeRotated(geometry, RotationMatrix{}, fisheye, out, options);  // both halves, as a pair
            renderLeftEye(geometry, fisheye, out, options);
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(seconds.begin(), seconds.end());
        const cv::Mat left = out.colRange(0, n);
        const cv::Scalar rimMean = cv::mean(left, rim);
        std::printf("%-8s  PSNR %.2f dB within 85 degrees, rim level %.3f of the truth's, both halves %.3f s\n",
                    m.name, psnr(left, truth, inner), (rimMean[0] + rimMean[1] + rimMean[2]) / truthRim, seconds[1]);
    }

    return 0;
}
