// Test-pair synthesis: renders what a fisheye camera standing at the centre of
// an equirectangular panorama sees, for a known lens and a known camera
// orientation, so that conversions can be checked against a known truth.
//
// World frame = the engine's camera frame: +y forward (the panorama's centre
// column on the horizon), +x to the right, +z up. The panorama's column runs
// from longitude -180 (left edge) to +180 degrees, its row from latitude +90
// (top) to -90 degrees; lon = atan2(x, y), lat = asin(z).
#pragma once

#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "engine/lens.h"

namespace vistereo::testsupport {

// The bundled panorama photograph (BGR, 8-bit), its transparent sky
// composited onto a plain colour. Loaded once; throws if it cannot be read.
const cv::Mat& panorama();
std::string panoramaPath();

// Row-major 3x3 rotation.
struct Rotation {
    double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    Vec3 apply(const Vec3& v) const;
    Rotation inverse() const;  // the transpose
    Rotation operator*(const Rotation& other) const;
    // Turns by yaw about +z (positive: towards +x, to the right), then pitch
    // about +x (positive: upwards), then roll about +y, all in degrees:
    // R = Rz(yaw) * Rx(pitch) * Ry(roll) applied to camera directions.
    static Rotation fromYawPitchRoll(double yawDeg, double pitchDeg, double rollDeg);
};

// A sine-model fisheye: r = radius180 * mappingScale * sin(k * theta), the
// same law the engine inverts (mappingScale as the engine derives it).
struct SynthLens {
    int width = 1200;
    int height = 1200;
    double k = 0.5;               // 1.0 orthographic, 0.5 equisolid
    double mappingScale = 1.41421;
    double radius180 = 600.0;
    double axisX = 600.0;         // defaults to the engine's image-centre axis
    double axisY = 600.0;

    static SynthLens equisolid(int width, int height);      // axis at trunc(w/2), trunc(h/2), R = trunc(h/2)
    static SynthLens orthographic(int width, int height);
    // r = R * m * sin(k * theta), m = floor(100000 / sin(k * pi / 2)) / 100000 as the engine derives it
    // for a registered k (pi the engine's eight-decimal value).
    static SynthLens sine(int width, int height, double k);
};

// The engine's eye record for a synthetic lens, its derived fields filled as
// the conversion run fills them for a circular fisheye with the axis at the
// image centre: equisolid (k 0.5, m 1.41421), orthographic (k 1) or a
// registered sin(k theta).
EyeGeometry eyeGeometryOf(const SynthLens& lens);

// Camera-frame direction of a source position (NaN outside the 180-degree circle).
Vec3 cameraDirectionOfPixel(const SynthLens& lens, double column, double row);
// Source position of a camera-frame direction (nullopt behind the camera).
std::optional<cv::Point2d> pixelOfCameraDirection(const SynthLens& lens, const Vec3& direction);

// Bilinear sample of the panorama in a world direction (wrapping in longitude).
cv::Vec3b samplePanoramaDirection(const cv::Mat& pano, const Vec3& world);

// World direction <-> panorama position (column, row in pixels, pixel centres at +0.5).
cv::Point2d panoramaPositionOfDirection(const cv::Mat& pano, const Vec3& world);

// What the camera with `lens`, turned by `cameraToWorld`, photographs of the
// panorama: bilinear samples, black outside the image circle.
cv::Mat renderFisheye(const cv::Mat& pano, const SynthLens& lens, const Rotation& cameraToWorld);

// The front hemisphere of the panorama as the engine's left half would show it
// for an unrotated left camera: N x N, row i latitude 90 - i*180/N, column j
// longitude j*180/N - 90, turned by `view` (world direction = view * grid direction).
cv::Mat frontHemisphere(const cv::Mat& pano, int n, const Rotation& view = {});

// PSNR in dB over the pixels where `mask` (8-bit, optional) is non-zero.
double psnr(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask = {});

}  // namespace vistereo::testsupport
