// What the engine tests share: a lens of each kind (k = 0.7 for the sine law, and a continuous, increasing
// quadratic law with a junk c1 that must never be read), both eyes of it through the prepare step, and a textured
// picture (a gradient with noise on top: a pixel read from the wrong place shows).
#pragma once

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "engine/prepare.h"

namespace vistereo::enginetest {

inline LensSettings lensOf(MappingKind kind, int32_t radiusDots = 0) {
    LensSettings lens;
    lens.name = "test", lens.sineK = 0.7;
    lens.quadratic = {0.4, 0.8, 1.2, -0.05, 0.7, 5.0, 0.08, 0.55, 0, -0.02, 0.72, 0, -0.1, 0.9, 0};
    lens.mappingKind = static_cast<int32_t>(kind);
    if (radiusDots > 0) lens.radiusMode = static_cast<int32_t>(RadiusMode::Dots), lens.radiusDots = radiusDots;
    QuadraticLaw& q = lens.quadratic;
    auto at = [](double a, double b, double c, double t) { return a * t * t + b * t + c; };
    q.c2 = at(q.a1, q.b1, 0.0, q.theta1) - at(q.a2, q.b2, 0.0, q.theta1);
    q.c3 = at(q.a2, q.b2, q.c2, q.theta2) - at(q.a3, q.b3, 0.0, q.theta2);
    q.c4 = at(q.a3, q.b3, q.c3, q.theta3) - at(q.a4, q.b4, 0.0, q.theta3);
    return lens;
}

// Both eyes of a kind on width x height images, an n-high output, no zenith correction.
inline ConversionGeometry geometryOf(MappingKind kind, int width, int height, int n = 0, int32_t radiusDots = 0) {
    const LensSettings lens = lensOf(kind, radiusDots);
    const PreparedEyes prepared = prepareEyes({lens, lens}, {ImageSize{width, height}, {width, height}});
    EXPECT_TRUE(prepared.ok());
    return {prepared.eye, n, {}};
}

inline cv::Mat texture(int width, int height, uint64_t seed) {
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG(seed).fill(image, cv::RNG::UNIFORM, 0, 96);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.at<cv::Vec3b>(y, x) += cv::Vec3b(x * 150 / width, y * 150 / height, (x + y) * 75 / (width + height));
    return image;
}

// The planes' bilinear blend, worked out here: the four neighbours (above
// left, above right, below left, below right) weighted by 10-bit fractions
// across and down, rounded to the nearest level.
inline int tenBitBlend(int p00, int p01, int p10, int p11, int fx, int fy) {
    // (In 64 bits: 16-bit samples' sums outgrow 32.)
    const int64_t top = p00 * (1024 - fx) + p01 * fx, bottom = p10 * (1024 - fx) + p11 * fx;
    return static_cast<int>((top * (1024 - fy) + bottom * fy + (1 << 19)) >> 20);
}

}  // namespace vistereo::enginetest
