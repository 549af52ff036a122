// Image pairs for the picking tests: fisheye pairs rendered from the bundled
// panorama with a known turn of the right camera, and plain noise images.
#pragma once

#include <optional>

#include <opencv2/core.hpp>

#include "engine/params.h"
#include "tests/support/synth.h"

namespace vistereo::pickingtest {

struct FisheyePair {
    testsupport::SynthLens lens;
    testsupport::Rotation rightTurn;  // right camera to world; the left camera is unturned
    cv::Mat left, right;

    // Where the scene point shown at left pixel p appears in the right image.
    std::optional<cv::Point2d> truthOf(ImagePoint p) const;
};

// 1600 x 1200 equisolid pair, right camera turned by 2 degrees of yaw, 1 of
// pitch and 0.5 of roll. Rendered once per test program.
const FisheyePair& fisheyePair();

// Uniform noise, 8-bit BGR, from a fixed seed.
cv::Mat noiseImage(int width, int height, int seed, int low = 0, int high = 256);

// Sum over the channels of the standard deviation of the 20 x 20 template
// block around p: how much texture a click there gives the matching.
double templateTexture(const cv::Mat& image, ImagePoint p);

}  // namespace vistereo::pickingtest
