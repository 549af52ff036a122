// Forward fisheye rendering of a panorama, for test pairs with a known truth.
#include "tools/synth/synth.h"

#include "engine/prepare.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

namespace vistereo::synth {
namespace {

constexpr double kTruePi = 3.14159265358979323846;

// The sky of the panorama is transparent; a plain blue-grey keeps it from reading as black, which the
// conversion uses for "not mapped".
const cv::Vec3b kSky(200, 170, 140);  // B, G, R

cv::Mat loadFlattened(const std::string& path) {
    const cv::Mat rgba = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (rgba.empty()) throw std::runtime_error("cannot read the panorama " + path);
    if (rgba.channels() != 4) return rgba;
    cv::Mat bgr(rgba.rows, rgba.cols, CV_8UC3);
    for (int y = 0; y < rgba.rows; ++y)
        for (int x = 0; x < rgba.cols; ++x) {
            const cv::Vec4b p = rgba.at<cv::Vec4b>(y, x);
            const double a = p[3] / 255.0;
            for (int c = 0; c < 3; ++c) bgr.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uchar>(p[c] * a + kSky[c] * (1.0 - a));
        }
    return bgr;
}

// Bilinear sample of the panorama, wrapping in longitude and clamping in latitude.
cv::Vec3b samplePanorama(const cv::Mat& pano, double col, double row) {
    const double x = col - 0.5, y = row - 0.5;
    const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
    const double fx = x - x0, fy = y - y0;
    auto at = [&](int xx, int yy) {
        return pano.at<cv::Vec3b>(std::clamp(yy, 0, pano.rows - 1), ((xx % pano.cols) + pano.cols) % pano.cols);
    };
    const cv::Vec3b p00 = at(x0, y0), p01 = at(x0 + 1, y0), p10 = at(x0, y0 + 1), p11 = at(x0 + 1, y0 + 1);
    cv::Vec3b out;
    for (int c = 0; c < 3; ++c)
        out[c] = cv::saturate_cast<uchar>((p00[c] * (1 - fx) + p01[c] * fx) * (1 - fy) + (p10[c] * (1 - fx) + p11[c] * fx) * fy);
    return out;
}

}  // namespace

const cv::Mat& panorama() {
    static const cv::Mat pano = loadFlattened(VISTEREO_PANORAMA_PATH);
    return pano;
}

SynthLens SynthLens::equisolid(int width, int height) {
    const double r = static_cast<int>(height * 0.5);
    return {width, height, 0.5, 1.41421, r, double(static_cast<int>(width * 0.5)), r};
}

SynthLens SynthLens::orthographic(int width, int height) {
    SynthLens lens = equisolid(width, height);
    lens.k = 1.0, lens.mappingScale = 1.0;
    return lens;
}

SynthLens SynthLens::sine(int width, int height, double k) {
    SynthLens lens = equisolid(width, height);
    lens.k = k;
    lens.mappingScale = std::floor(100000.0 / std::sin(k * kPi * 0.5)) / 100000.0;
    return lens;
}

SynthLens SynthLens::equidistant(int width, int height) {
    SynthLens lens = equisolid(width, height);
    lens.k = 0.0, lens.mappingScale = 2.0 / kTruePi;
    return lens;
}

EyeGeometry eyeGeometryOf(const SynthLens& lens) {
    LensSettings e;
    e.name = "synthetic";
    e.radiusMode = static_cast<int32_t>(RadiusMode::Dots);
    const MappingKind kind = lens.k == 0.0                                     ? MappingKind::Equidistant
                             : lens.k == 0.5 && lens.mappingScale == 1.41421 ? MappingKind::Equisolid
                             : lens.k == 1.0 && lens.mappingScale == 1.0   ? MappingKind::Orthographic
                                                                           : MappingKind::SineK;
    e.mappingKind = static_cast<int32_t>(kind);
    e.sineK = lens.k;
    e.radiusDots = static_cast<int32_t>(lens.radius180);
    e.axisMode = static_cast<int32_t>(AxisMode::GivenAxis);
    e.axisX = static_cast<int32_t>(lens.axisX);
    e.axisY = static_cast<int32_t>(lens.axisY);
    return prepareEyes({e, e}, {ImageSize{lens.width, lens.height}, ImageSize{lens.width, lens.height}}).eye[0];
}

Vec3 cameraDirectionOfPixel(const SynthLens& lens, double column, double row) {
    const double dx = column - lens.axisX, dy = lens.axisY - row;
    const double q = std::sqrt(dx * dx + dy * dy);
    const double rho = q / (lens.radius180 * lens.mappingScale);
    const double nan = std::nan("");
    const double rim = lens.k == 0.0 ? kTruePi / 2 : std::sin(lens.k * kTruePi / 2);
    if (rho > rim * (1.0 + lens.shape * kTruePi * kTruePi / 4) + 1e-12) return {nan, nan, nan};
    double theta = lens.k == 0.0 ? rho : std::asin(std::min(rho, 1.0)) / lens.k;
    if (lens.shape != 0.0) {
        // Newton on law(theta) * (1 + shape theta^2) = rho, from the law's own angle.
        for (int i = 0; i < 30; ++i) {
            const double g = lens.k == 0.0 ? theta : std::sin(lens.k * theta);
            const double slope = lens.k == 0.0 ? 1.0 : lens.k * std::cos(lens.k * theta);
            const double f = g * (1.0 + lens.shape * theta * theta) - rho;
            const double df = slope * (1.0 + lens.shape * theta * theta) + g * 2.0 * lens.shape * theta;
            theta -= f / df;
            if (std::abs(f) < 1e-15) break;
        }
        if (!(theta >= 0.0) || theta > kTruePi / 2 + 1e-9) return {nan, nan, nan};
    }
    if (q == 0.0) return {0.0, 1.0, 0.0};
    return {std::sin(theta) * dx / q, std::cos(theta), std::sin(theta) * dy / q};
}

std::optional<cv::Point2d> pixelOfCameraDirection(const SynthLens& lens, const Vec3& d) {
    const double len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    const double theta = std::acos(std::clamp(d.y / len, -1.0, 1.0));
    if (theta > kTruePi / 2 + 1e-9) return std::nullopt;
    const double phi = std::atan2(d.z, d.x), r = lens.radius180 * lens.mappingScale *
                                                     (lens.k == 0.0 ? theta : std::sin(lens.k * theta)) *
                                                     (1.0 + lens.shape * theta * theta);
    return cv::Point2d(lens.axisX + r * std::cos(phi), lens.axisY - r * std::sin(phi));
}

cv::Point2d panoramaPositionOfDirection(const cv::Mat& pano, const Vec3& w) {
    const double len = std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z);
    const double lon = std::atan2(w.x, w.y), lat = std::asin(std::clamp(w.z / len, -1.0, 1.0));
    return {(lon + kTruePi) / (2.0 * kTruePi) * pano.cols, (kTruePi / 2 - lat) / kTruePi * pano.rows};
}

cv::Vec3b samplePanoramaDirection(const cv::Mat& pano, const Vec3& world) {
    const cv::Point2d p = panoramaPositionOfDirection(pano, world);
    return samplePanorama(pano, p.x, p.y);
}

cv::Mat renderFisheye(const cv::Mat& pano, const SynthLens& lens, const RotationMatrix& cameraToWorld) {
    cv::Mat out(lens.height, lens.width, CV_8UC3, cv::Scalar(0, 0, 0));
    for (int y = 0; y < lens.height; ++y)
        for (int x = 0; x < lens.width; ++x)
            if (const Vec3 d = cameraDirectionOfPixel(lens, x, y); !std::isnan(d.x))
                out.at<cv::Vec3b>(y, x) = samplePanoramaDirection(pano, rotate(cameraToWorld, d));
    return out;
}

cv::Mat renderCircleShot(const cv::Mat& pano, const CircleShot& shot) {
    cv::Mat out(shot.height, shot.width, CV_8UC3, cv::Scalar(0, 0, 0));
    const double halfField = shot.fieldOfViewDegrees * kTruePi / 360.0;
    // The scene seen through pixel position (x, y) of the circle, with its light; black outside.
    const double reach = shot.radius + 0.5 * shot.rimSoftness;  // where the light ends
    auto light = [&](double x, double y) -> cv::Vec3d {
        const double dx = x - shot.centreX, dy = shot.centreY - y, r = std::sqrt(dx * dx + dy * dy);
        cv::Vec3d stray(0, 0, 0);
        if (shot.strayLight > 0.0) {
            const double towards = 0.5 + 0.5 * std::cos(std::atan2(dy, dx) - shot.strayAngle * kTruePi / 180.0);
            const double glow = shot.strayLight * towards * std::exp(-std::max(0.0, r - shot.radius) / (0.05 * shot.radius));
            stray = {glow, 0.45 * glow, 0.2 * glow};  // blue, green, red
        }
        if (r > reach) return stray;
        const double theta = halfField * std::min(r, shot.radius) / shot.radius;
        const Vec3 d = r == 0.0 ? Vec3{0, 1, 0}
                                : Vec3{std::sin(theta) * dx / r, std::cos(theta), std::sin(theta) * dy / r};
        const Vec3 world = rotate(shot.cameraToWorld, d);
        const double c = std::cos(0.5 * kTruePi * r / shot.radius);
        double gain = shot.rimLight + (1.0 - shot.rimLight) * c * c;
        if (shot.darkBelow ? dy < 0 : dy > 0) gain *= shot.darkLight;
        if (shot.rimSoftness > 0.0) {
            const double t = std::clamp((reach - r) / shot.rimSoftness, 0.0, 1.0);
            gain *= t * t * (3.0 - 2.0 * t);
        }
        const cv::Vec3b p = samplePanoramaDirection(pano, world);
        return cv::Vec3d(p[0] * gain, p[1] * gain, p[2] * gain) + stray;
    };
    cv::RNG rng(0x5eed);
    for (int y = 0; y < shot.height; ++y)
        for (int x = 0; x < shot.width; ++x) {
            const double dx = x - shot.centreX, dy = y - shot.centreY, r = std::sqrt(dx * dx + dy * dy);
            cv::Vec3d v;
            if (shot.rimSoftness == 0.0 && std::abs(r - shot.radius) < 1.0) {  // a sharp rim: 8 x 8 samples over the pixel
                for (int i = 0; i < 8; ++i)
                    for (int j = 0; j < 8; ++j) v += light(x - 0.4375 + j * 0.125, y - 0.4375 + i * 0.125);
                v /= 64.0;
            } else if (r < reach || shot.strayLight > 0.0) {
                v = light(x, y);
            }
            cv::Vec3b& px = out.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c)
                px[c] = cv::saturate_cast<uchar>(v[c] + (shot.noise > 0 ? rng.gaussian(shot.noise) : 0.0));
        }
    return out;
}

cv::Mat frontHemisphere(const cv::Mat& pano, int n, const RotationMatrix& view) {
    cv::Mat out(n, n, CV_8UC3);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double psi = i * kTruePi / n, lambda = j * kTruePi / n;
            const Vec3 d{-std::sin(psi) * std::cos(lambda), std::sin(psi) * std::sin(lambda), std::cos(psi)};
            out.at<cv::Vec3b>(i, j) = samplePanoramaDirection(pano, rotate(view, d));
        }
    return out;
}

double psnr(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
    CV_Assert(a.size() == b.size() && a.type() == b.type() && a.type() == CV_8UC3);
    double sum = 0.0;
    long count = 0;
    for (int y = 0; y < a.rows; ++y)
        for (int x = 0; x < a.cols; ++x) {
            if (!mask.empty() && mask.at<uchar>(y, x) == 0) continue;
            const cv::Vec3b p = a.at<cv::Vec3b>(y, x), q = b.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c) sum += (double(p[c]) - q[c]) * (double(p[c]) - q[c]);
            count += 3;
        }
    if (count == 0) return 0.0;
    return sum == 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / (sum / count));
}

}  // namespace vistereo::synth
