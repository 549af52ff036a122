// Resampling quality and speed: an equisolid fisheye of the panorama (3000 x
// 2000, circle radius 990) converted at height 2048 with each interpolation,
// against the panorama's own front hemisphere on the same grid. PSNR within
// 85 degrees of the axis; the rim (85 to 89.5 degrees) as the mean level
// against the truth's, to show darkening; time of both halves.
//   interp_bench                       our three kernels
//   interp_bench --write DIR           also writes DIR/fisheye.png, the same
//                                      fisheye cut to the 1980 x 1980 square
//                                      around its circle (DIR/circle.png, for
//                                      tools that take a fisheye as a square
//                                      of 180 degrees) and DIR/truth.png
//                                      and DIR/ramp.png, the square's own pixel
//                                      positions (16-bit: red = column * 32,
//                                      green = row * 32)
//   interp_bench --score IMAGE...      the same figures for 2048 x 2048 halves
//                                      another tool made from those files
//   interp_bench --sampled RAMP --score IMAGE...
//                                      scores against a truth taken where the
//                                      other tool looked: RAMP is its bilinear
//                                      output for DIR/ramp.png, so each pixel
//                                      names the fisheye position it sampled.
//                                      A tool whose grid or lens model differs
//                                      by a fraction of a pixel is then judged
//                                      on its resampling alone, as ours is.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "engine/prepare.h"
#include "engine/render.h"
#include "tests/support/synth.h"

using namespace vistereo;
using namespace vistereo::testsupport;

int main(int argc, char** argv) {
    std::string writeDir, sampledRamp;
    std::vector<std::string> scored;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--write" && a + 1 < argc) writeDir = argv[++a];
        else if (arg == "--sampled" && a + 1 < argc) sampledRamp = argv[++a];
        else if (arg == "--score") while (a + 1 < argc) scored.push_back(argv[++a]);
        else {
            std::fprintf(stderr, "usage: interp_bench [--write DIR] [--sampled RAMP] [--score IMAGE...]\n");
            return 2;
        }
    }
    const int n = 2048, width = 3000, height = 2000;
    SynthLens lens;
    lens.width = width, lens.height = height, lens.k = 0.5, lens.mappingScale = 1.41421, lens.radius180 = 990;
    lens.axisX = width / 2, lens.axisY = height / 2;
    const cv::Mat fisheye = renderFisheye(panorama(), lens, RotationMatrix{});
    cv::Mat truth = frontHemisphere(panorama(), n);

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
    std::printf("interp_bench: %d x %d equisolid fisheye, radius 990, output half %d x %d\n", width, height, n, n);
    auto report = [&](const char* name, const cv::Mat& left, const char* timing) {
        const cv::Scalar rimMean = cv::mean(left, rim), truthRim = cv::mean(truth, rim);
        std::printf("%-8s  PSNR %.2f dB within 85 degrees, rim level %.3f of the truth's%s\n", name,
                    psnr(left, truth, inner), (rimMean[0] + rimMean[1] + rimMean[2]) / (truthRim[0] + truthRim[1] + truthRim[2]), timing);
    };
    const cv::Rect circle(width / 2 - 990, height / 2 - 990, 1980, 1980);
    constexpr double kRampStep = 32.0;  // 1/32 pixel, and 1979 * 32 still fits 16 bits
    if (!writeDir.empty()) {
        cv::Mat ramp(circle.height, circle.width, CV_16UC3);
        for (int y = 0; y < ramp.rows; ++y)
            for (int x = 0; x < ramp.cols; ++x)
                ramp.at<cv::Vec3w>(y, x) = cv::Vec3w(0, static_cast<ushort>(y * kRampStep), static_cast<ushort>(x * kRampStep));
        if (!cv::imwrite(writeDir + "/fisheye.png", fisheye) || !cv::imwrite(writeDir + "/circle.png", fisheye(circle)) ||
            !cv::imwrite(writeDir + "/truth.png", truth) || !cv::imwrite(writeDir + "/ramp.png", ramp)) {
            std::fprintf(stderr, "interp_bench: cannot write to %s\n", writeDir.c_str());
            return 1;
        }
    }
    if (!sampledRamp.empty()) {
        const cv::Mat ramp = cv::imread(sampledRamp, cv::IMREAD_UNCHANGED);
        if (ramp.type() != CV_16UC3 || ramp.cols != n || ramp.rows != n) {
            std::fprintf(stderr, "interp_bench: %s is not a 16-bit %d x %d image\n", sampledRamp.c_str(), n, n);
            return 1;
        }
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                const cv::Vec3w at = ramp.at<cv::Vec3w>(i, j);
                const Vec3 d = cameraDirectionOfPixel(lens, circle.x + at[2] / kRampStep, circle.y + at[1] / kRampStep);
                truth.at<cv::Vec3b>(i, j) = std::isnan(d.x) ? cv::Vec3b(0, 0, 0) : samplePanoramaDirection(panorama(), d);
            }
        std::printf("truth taken at the positions %s names\n", sampledRamp.c_str());
    }
    if (!scored.empty()) {
        for (const std::string& file : scored) {
            const cv::Mat image = cv::imread(file, cv::IMREAD_COLOR);
            if (image.cols != n || image.rows != n) {
                std::fprintf(stderr, "interp_bench: %s is not a %d x %d image\n", file.c_str(), n, n);
                return 1;
            }
            report(file.c_str(), image, "");
        }
        return 0;
    }
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
        char timing[64];
        std::snprintf(timing, sizeof timing, ", both halves %.3f s", seconds[1]);
        report(m.name, out.colRange(0, n), timing);
    }

    return 0;
}
