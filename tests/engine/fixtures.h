// Lenses as the conversion run leaves them, and textured test images.
#pragma once

#include <cmath>

#include <opencv2/core.hpp>

#include "engine/lens.h"

namespace vistereo::testing {

// A sine-model lens (orthographic, equisolid or sin(k theta)) with its
// mapping factor derived the way the conversion run derives it.
inline EyeParams sineLens(int kind, double k, int radius, int axisX, int axisY, int width, int height) {
    EyeParams e;
    e.lensName = "test";
    e.mappingKind = kind;
    e.sineK = k;
    e.mappingScale = kind == kOrthographic ? 1.0
                     : kind == kEquisolid  ? 1.41421
                                           : std::floor(100000.0 / std::sin(k * kPi * 0.5)) / 100000.0;
    e.radius180 = radius;
    e.axisX = axisX, e.axisY = axisY, e.imageWidth = width, e.imageHeight = height;
    return e;
}

// A quadratic model that is continuous at its segment ends and increasing,
// with coefficients a of both signs; segment 1 carries a junk c1 that no
// function may read. Each later c is chosen to continue the previous segment.
inline void setContinuousQuadratic(EyeParams& e) {
    e.mappingKind = kQuadratic;
    e.mappingScale = 1.0;
    e.theta1 = 0.4, e.theta2 = 0.8, e.theta3 = 1.2;
    e.a1 = -0.05, e.b1 = 0.7, e.c1 = 5.0;
    e.a2 = 0.08, e.b2 = 0.55;
    e.a3 = -0.02, e.b3 = 0.72;
    e.a4 = -0.1, e.b4 = 0.9;
    auto at = [](double a, double b, double c, double t) { return a * t * t + b * t + c; };
    e.c2 = at(e.a1, e.b1, 0.0, e.theta1) - at(e.a2, e.b2, 0.0, e.theta1);
    e.c3 = at(e.a2, e.b2, e.c2, e.theta2) - at(e.a3, e.b3, 0.0, e.theta2);
    e.c4 = at(e.a3, e.b3, e.c3, e.theta3) - at(e.a4, e.b4, 0.0, e.theta3);
}

// The inverse's bounds, as the conversion run prepares them.
inline void prepareQuadratic(ConversionParams& p, int i) {
    EyeParams& e = p.eye[i];
    e.radius1 = lensRadius(p, i, static_cast<float>(e.theta1));
    e.radius2 = lensRadius(p, i, static_cast<float>(e.theta2));
    e.radius3 = lensRadius(p, i, static_cast<float>(e.theta3));
}

// Lens of a given kind on a width x height image: axis at the centre, the
// 180-degree circle filling the height.
inline EyeParams lensOfKind(int kind, int width, int height) {
    const double k[] = {1.0, 0.5, 0.7, 0.0};
    EyeParams e = sineLens(kind == kQuadratic ? kSineK : kind, k[kind], height / 2, width / 2, height / 2,
                           width, height);
    if (kind == kQuadratic) setContinuousQuadratic(e);
    return e;
}

// A gradient with noise on top: every pixel differs from its neighbours, so
// a pixel read from the wrong place shows.
inline cv::Mat texturedImage(int width, int height, uint64_t seed) {
    cv::Mat noise(height, width, CV_8UC3), image(height, width, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 96);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 150 / width, y * 150 / height, (x + y) * 75 / (width + height)) +
                                        noise.at<cv::Vec3b>(y, x);
    return image;
}

}  // namespace vistereo::testing
