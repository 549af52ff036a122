// make_test_pair: writes a synthetic stereo fisheye pair seen from the centre of the bundled panorama, the right
// camera turned by a known small rotation against the left one, and prints two corresponding points A and B.
//
//   make_test_pair OUTDIR WIDTH HEIGHT [--lens equisolid|orthographic] [--look YAW,PITCH] [--turn YAW,PITCH,ROLL]
//                  [--quality Q] [--points AX,AY,BX,BY]
//
// Writes OUTDIR/L.jpg and OUTDIR/R.jpg and prints the comma line of the points (A-left x, B-left x, A-right x,
// B-right x, then the y values).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "tools/synth/synth.h"

using namespace vistereo;
using namespace vistereo::synth;

namespace {

std::vector<double> numbers(const std::string& text) {
    std::vector<double> out;
    for (size_t start = 0, comma = 0; comma != std::string::npos; start = comma + 1) {
        comma = text.find(',', start);
        out.push_back(std::atof(text.substr(start, comma - start).c_str()));
    }
    return out;
}

int usage() {
    std::cerr << "usage: make_test_pair OUTDIR WIDTH HEIGHT [--lens equisolid|orthographic] "
                 "[--look YAW,PITCH] [--turn YAW,PITCH,ROLL] [--quality Q] [--points AX,AY,BX,BY]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    const std::filesystem::path outDir = argv[1];
    const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
    if (width < 32 || height < 32) return usage();
    std::string lensKind = "equisolid";
    std::vector<double> look{0, 0}, turn{2.0, -1.0, 1.5};
    int quality = 92;
    std::vector<double> points{width * 0.36, height * 0.62, width * 0.68, height * 0.72};
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string opt = argv[i], val = argv[i + 1];
        if (opt == "--lens") lensKind = val;
        else if (opt == "--look") look = numbers(val);
        else if (opt == "--turn") turn = numbers(val);
        else if (opt == "--quality") quality = std::atoi(val.c_str());
        else if (opt == "--points") points = numbers(val);
        else return usage();
    }
    if (look.size() != 2 || turn.size() != 3 || points.size() != 4) return usage();

    const SynthLens lens = lensKind == "orthographic" ? SynthLens::orthographic(width, height) : SynthLens::equisolid(width, height);
    const RotationMatrix left = rotationFromYawPitchRoll(look[0], look[1], 0.0);
    const RotationMatrix right = left * rotationFromYawPitchRoll(turn[0], turn[1], turn[2]);

    std::filesystem::create_directories(outDir);
    const std::vector<int> params{cv::IMWRITE_JPEG_QUALITY, quality};
    if (!cv::imwrite((outDir / "L.jpg").string(), renderFisheye(panorama(), lens, left), params) ||
        !cv::imwrite((outDir / "R.jpg").string(), renderFisheye(panorama(), lens, right), params)) {
        std::cerr << "make_test_pair: cannot write into " << outDir << "\n";
        return 1;
    }

    // The partner of a left pixel: its world direction seen by the right camera.
    int xs[4], ys[4];  // A-left, B-left, A-right, B-right
    for (int k = 0; k < 2; ++k) {
        xs[k] = static_cast<int>(points[2 * k]), ys[k] = static_cast<int>(points[2 * k + 1]);
        const auto rp = pixelOfCameraDirection(lens, rotate(transpose(right), rotate(left, cameraDirectionOfPixel(lens, xs[k], ys[k]))));
        if (!rp) {
            std::cerr << "make_test_pair: point " << (k ? 'B' : 'A') << " is not seen by the right camera\n";
            return 1;
        }
        xs[2 + k] = static_cast<int>(std::lround(rp->x)), ys[2 + k] = static_cast<int>(std::lround(rp->y));
    }
    std::printf("%d,%d,%d,%d,%d,%d,%d,%d\n", xs[0], xs[1], xs[2], xs[3], ys[0], ys[1], ys[2], ys[3]);
    return 0;
}
