#include "tests/picking/test_pairs.h"

#include <cmath>

#include "picking/matching.h"

namespace vistereo::pickingtest {

using namespace testsupport;

std::optional<cv::Point2d> FisheyePair::truthOf(ImagePoint p) const {
    const Vec3 world = cameraDirectionOfPixel(lens, p.x, p.y);
    if (std::isnan(world.x)) return std::nullopt;
    return pixelOfCameraDirection(lens, rightTurn.inverse().apply(world));
}

const FisheyePair& fisheyePair() {
    static const FisheyePair pair = [] {
        FisheyePair p;
        p.lens = SynthLens::equisolid(1600, 1200);
        p.rightTurn = Rotation::fromYawPitchRoll(2.0, 1.0, 0.5);
        p.left = renderFisheye(panorama(), p.lens, Rotation{});
        p.right = renderFisheye(panorama(), p.lens, p.rightTurn);
        return p;
    }();
    return pair;
}

cv::Mat noiseImage(int width, int height, int seed, int low, int high) {
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG rng(static_cast<uint64>(seed));
    rng.fill(image, cv::RNG::UNIFORM, cv::Scalar::all(low), cv::Scalar::all(high));
    return image;
}

double templateTexture(const cv::Mat& image, ImagePoint p) {
    const cv::Rect block(p.x - kTemplateOffset, p.y - kTemplateOffset, kTemplateSize, kTemplateSize);
    cv::Scalar mean, sdv;
    cv::meanStdDev(image(block), mean, sdv);
    return sdv[0] + sdv[1] + sdv[2];
}

}  // namespace vistereo::pickingtest
