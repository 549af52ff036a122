// Test pairs with a known truth: what a fisheye camera at the centre of an equirectangular panorama sees, for a
// known lens and orientation. World frame = the engine's camera frame: +y forward (the panorama's centre column on
// the horizon), +x right, +z up; the panorama's columns run from longitude -180 to +180 degrees, its rows from
// latitude +90 to -90; lon = atan2(x, y), lat = asin(z).
#pragma once

#include <optional>

#include <opencv2/core.hpp>

#include "engine/lens.h"
#include "engine/rotation.h"

namespace vistereo::synth {

// The bundled panorama photograph (BGR, 8-bit), its transparent sky on a plain colour; loaded once, throws if unreadable.
const cv::Mat& panorama();

// A sine-model fisheye: r = radius180 * mappingScale * sin(k * theta), the law the engine inverts (or, with k = 0,
// the equidistant r = radius180 * mappingScale * theta).
struct SynthLens {
    int width = 1200, height = 1200;
    double k = 0.5;  // 1.0 orthographic, 0.5 equisolid
    double mappingScale = 1.41421;
    double radius180 = 600.0;
    double axisX = 600.0, axisY = 600.0;
    // A lens whose radius departs from its law by r * (1 + shape * theta^2), which no record states:
    // what the lens refinement's shape term is to find.
    double shape = 0.0;

    static SynthLens equisolid(int width, int height);  // axis at trunc(w/2), trunc(h/2), R = trunc(h/2)
    static SynthLens orthographic(int width, int height);
    // m = floor(100000 / sin(k * pi / 2)) / 100000, as the engine derives it for a registered k.
    static SynthLens sine(int width, int height, double k);
    // k = 0 stands for the equidistant law r = radius180 * (2 / pi) * theta (radius180 at 90 degrees).
    static SynthLens equidistant(int width, int height);
};

// The engine's eye record for a synthetic lens, derived as the conversion run derives it.
EyeGeometry eyeGeometryOf(const SynthLens& lens);

// Camera-frame direction of a source position (NaN outside the 180-degree circle), and back (nullopt behind).
Vec3 cameraDirectionOfPixel(const SynthLens& lens, double column, double row);
std::optional<cv::Point2d> pixelOfCameraDirection(const SynthLens& lens, const Vec3& direction);

// Bilinear sample of the panorama in a world direction (wrapping in longitude).
cv::Vec3b samplePanoramaDirection(const cv::Mat& pano, const Vec3& world);
// World direction -> panorama position (column, row in pixels, pixel centres at +0.5).
cv::Point2d panoramaPositionOfDirection(const cv::Mat& pano, const Vec3& world);

// What the camera with `lens`, turned by `cameraToWorld`, photographs: bilinear samples, black outside the circle.
cv::Mat renderFisheye(const cv::Mat& pano, const SynthLens& lens, const RotationMatrix& cameraToWorld);

// A circular fisheye photograph with a known image circle, as a camera body of any sensor size records it: the circle
// may sit anywhere, so that the sensor's edges cut it. The lens is equidistant (theta = fieldOfView/2 * r/radius), the
// rim anti-aliased or soft; black outside the circle, with optional light fall-off towards the rim, a dark half of
// the circle, stray light glowing beyond the rim and sensor noise (everywhere, the black surround included).
struct CircleShot {
    int width = 6000, height = 4000;
    double centreX = 3000.0, centreY = 2000.0, radius = 1900.0;
    double fieldOfViewDegrees = 190.0;
    double rimLight = 1.0;   // brightness at the rim relative to the centre (smooth cos^2 fall-off in between)
    double darkLight = 1.0;  // brightness of the dark half of the circle
    bool darkBelow = false;  // the dark half is the lower one (else the upper one)
    double noise = 0.0;      // standard deviation of the sensor noise, in levels
    // A soft rim: the light falls from full to nothing over this many dots, smoothly, half of it at the radius (a
    // lens whose field stop is not in focus).
    double rimSoftness = 0.0;
    // Stray light: a blue glow of this many levels over the picture, fading over a twentieth of the radius beyond
    // the rim, brightest towards strayAngle (degrees from image-right, counter-clockwise) and gone opposite.
    double strayLight = 0.0, strayAngle = 45.0;
    RotationMatrix cameraToWorld;
};
cv::Mat renderCircleShot(const cv::Mat& pano, const CircleShot& shot);

// The front hemisphere as the engine's left half shows it for an unrotated left camera: N x N, row i latitude
// 90 - i*180/N, column j longitude j*180/N - 90, world direction = view * grid direction.
cv::Mat frontHemisphere(const cv::Mat& pano, int n, const RotationMatrix& view = {});

// PSNR in dB over the pixels where `mask` (8-bit, optional) is non-zero.
double psnr(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask = {});

}  // namespace vistereo::synth
