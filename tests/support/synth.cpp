// Forward fisheye rendering of a panorama, for test pairs with a known truth.
#include "tests/support/synth.h"

#include "engine/prepare.h"

#include <cmath>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

namespace vistereo::testsupport {
namespace {

constexpr double kDeg = 3.14159265358979323846 / 180.0;
constexpr double kTrueHalfPi = 3.14159265358979323846 / 2.0;

// The sky of the panorama is transparent; a plain blue-grey keeps it from
// reading as black, which the conversion uses for "not mapped".
const cv::Vec3b kSky(200, 170, 140);  // B, G, R

cv::Mat loadFlattened(const std::string& path) {
    cv::Mat rgba = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (rgba.empty()) throw std::runtime_error("cannot read the panorama " + path);
    cv::Mat bgr(rgba.rows, rgba.cols, CV_8UC3);
    for (int y = 0; y < rgba.rows; ++y) {
        for (int x = 0; x < rgba.cols; ++x) {
            if (rgba.channels() == 4) {
                const cv::Vec4b p = rgba.at<cv::Vec4b>(y, x);
                const double a = p[3] / 255.0;
                cv::Vec3b out;
                for (int c = 0; c < 3; ++c) out[c] = cv::saturate_cast<uchar>(p[c] * a + kSky[c] * (1.0 - a));
                bgr.at<cv::Vec3b>(y, x) = out;
            } else {
                bgr.at<cv::Vec3b>(y, x) = rgba.at<cv::Vec3b>(y, x);
            }
        }
    }
    return bgr;
}

// Bilinear sample of the panorama, wrapping in longitude and clamping in latitude.
cv::Vec3b samplePanorama(const cv::Mat& pano, double col, double row) {
    const double x = col - 0.5, y = row - 0.5;
    const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
    const double fx = x - x0, fy = y - y0;
    auto at = [&](int xx, int yy) {
        xx = ((xx % pano.cols) + pano.cols) % pano.cols;
        yy = std::clamp(yy, 0, pano.rows - 1);
        return pano.at<cv::Vec3b>(yy, xx);
    };
    const cv::Vec3b p00 = at(x0, y0), p01 = at(x0 + 1, y0), p10 = at(x0, y0 + 1), p11 = at(x0 + 1, y0 + 1);
    cv::Vec3b out;
    for (int c = 0; c < 3; ++c) {
        const double v = (p00[c] * (1 - fx) + p01[c] * fx) * (1 - fy) + (p10[c] * (1 - fx) + p11[c] * fx) * fy;
        out[c] = cv::saturate_cast<uchar>(v);
    }
    return out;
}

}  // namespace

std::string panoramaPath() { return VISTEREO_PANORAMA_PATH; }

const cv::Mat& panorama() {
    static const cv::Mat pano = loadFlattened(panoramaPath());
    return pano;
}

Vec3 Rotation::apply(const Vec3& v) const {
    return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z, m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
            m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z};
}

Rotation Rotation::inverse() const {
    Rotation r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r.m[i][j] = m[j][i];
    return r;
}

Rotation Rotation::operator*(const Rotation& o) const {
    Rotation r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            r.m[i][j] = 0;
            for (int k = 0; k < 3; ++k) r.m[i][j] += m[i][k] * o.m[k][j];
        }
    return r;
}

Rotation Rotation::fromYawPitchRoll(double yawDeg, double pitchDeg, double rollDeg) {
    const double w = yawDeg * kDeg, p = pitchDeg * kDeg, r = rollDeg * kDeg;
    // Yaw to the right takes +y towards +x: a rotation by -w about +z.
    Rotation yaw;
    yaw.m[0][0] = std::cos(w); yaw.m[0][1] = std::sin(w); yaw.m[0][2] = 0;
    yaw.m[1][0] = -std::sin(w); yaw.m[1][1] = std::cos(w); yaw.m[1][2] = 0;
    yaw.m[2][0] = 0; yaw.m[2][1] = 0; yaw.m[2][2] = 1;
    // Pitch up takes +y towards +z: a rotation by +p about +x.
    Rotation pitch;
    pitch.m[0][0] = 1; pitch.m[0][1] = 0; pitch.m[0][2] = 0;
    pitch.m[1][0] = 0; pitch.m[1][1] = std::cos(p); pitch.m[1][2] = -std::sin(p);
    pitch.m[2][0] = 0; pitch.m[2][1] = std::sin(p); pitch.m[2][2] = std::cos(p);
    // Roll: a rotation by +r about the viewing axis +y (takes +z towards +x).
    Rotation roll;
    roll.m[0][0] = std::cos(r); roll.m[0][1] = 0; roll.m[0][2] = std::sin(r);
    roll.m[1][0] = 0; roll.m[1][1] = 1; roll.m[1][2] = 0;
    roll.m[2][0] = -std::sin(r); roll.m[2][1] = 0; roll.m[2][2] = std::cos(r);
    return yaw * pitch * roll;
}

SynthLens SynthLens::equisolid(int width, int height) {
    SynthLens lens;
    lens.width = width;
    lens.height = height;
    lens.k = 0.5;
    lens.mappingScale = 1.41421;
    lens.radius180 = static_cast<int>(height * 0.5);
    lens.axisX = static_cast<int>(width * 0.5);
    lens.axisY = static_cast<int>(height * 0.5);
    return lens;
}

SynthLens SynthLens::orthographic(int width, int height) {
    SynthLens lens = equisolid(width, height);
    lens.k = 1.0;
    lens.mappingScale = 1.0;
    return lens;
}

SynthLens SynthLens::sine(int width, int height, double k) {
    SynthLens lens = equisolid(width, height);
    lens.k = k;
    lens.mappingScale = std::floor(100000.0 / std::sin(k * kPi * 0.5)) / 100000.0;
    return lens;
}

EyeGeometry eyeGeometryOf(const SynthLens& lens) {
    LensSettings e;
    e.name = "synthetic";
    e.radiusMode = static_cast<int32_t>(RadiusMode::Dots);
    if (lens.k == 0.5 && lens.mappingScale == 1.41421)
        e.mappingKind = static_cast<int32_t>(MappingKind::Equisolid);
    else if (lens.k == 1.0 && lens.mappingScale == 1.0)
        e.mappingKind = static_cast<int32_t>(MappingKind::Orthographic);
    else
        e.mappingKind = static_cast<int32_t>(MappingKind::SineK);
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
    if (rho > std::sin(lens.k * kTrueHalfPi) + 1e-12) return {nan, nan, nan};
    const double theta = std::asin(std::min(rho, 1.0)) / lens.k;
    if (q == 0.0) return {0.0, 1.0, 0.0};
    return {std::sin(theta) * dx / q, std::cos(theta), std::sin(theta) * dy / q};
}

std::optional<cv::Point2d> pixelOfCameraDirection(const SynthLens& lens, const Vec3& d) {
    const double len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    const double theta = std::acos(std::clamp(d.y / len, -1.0, 1.0));
    if (theta > kTrueHalfPi + 1e-9) return std::nullopt;
    const double phi = std::atan2(d.z, d.x);
    const double r = lens.radius180 * lens.mappingScale * std::sin(lens.k * theta);
    return cv::Point2d(lens.axisX + r * std::cos(phi), lens.axisY - r * std::sin(phi));
}

cv::Vec3b samplePanoramaDirection(const cv::Mat& pano, const Vec3& world) {
    const cv::Point2d p = panoramaPositionOfDirection(pano, world);
    return samplePanorama(pano, p.x, p.y);
}

cv::Point2d panoramaPositionOfDirection(const cv::Mat& pano, const Vec3& w) {
    const double len = std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z);
    const double lon = std::atan2(w.x, w.y);
    const double lat = std::asin(std::clamp(w.z / len, -1.0, 1.0));
    const double pi = 2.0 * kTrueHalfPi;
    return {(lon + pi) / (2.0 * pi) * pano.cols, (kTrueHalfPi - lat) / pi * pano.rows};
}

cv::Mat renderFisheye(const cv::Mat& pano, const SynthLens& lens, const Rotation& cameraToWorld) {
    cv::Mat out(lens.height, lens.width, CV_8UC3, cv::Scalar(0, 0, 0));
    for (int y = 0; y < lens.height; ++y) {
        for (int x = 0; x < lens.width; ++x) {
            const Vec3 d = cameraDirectionOfPixel(lens, x, y);
            if (std::isnan(d.x)) continue;
            const cv::Point2d p = panoramaPositionOfDirection(pano, cameraToWorld.apply(d));
            out.at<cv::Vec3b>(y, x) = samplePanorama(pano, p.x, p.y);
        }
    }
    return out;
}

cv::Mat frontHemisphere(const cv::Mat& pano, int n, const Rotation& view) {
    cv::Mat out(n, n, CV_8UC3);
    const double pi = 2.0 * kTrueHalfPi;
    for (int i = 0; i < n; ++i) {
        const double psi = i * pi / n;
        for (int j = 0; j < n; ++j) {
            const double lambda = j * pi / n;
            const Vec3 d{-std::sin(psi) * std::cos(lambda), std::sin(psi) * std::sin(lambda), std::cos(psi)};
            const cv::Point2d p = panoramaPositionOfDirection(pano, view.apply(d));
            out.at<cv::Vec3b>(i, j) = samplePanorama(pano, p.x, p.y);
        }
    }
    return out;
}

double psnr(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
    CV_Assert(a.size() == b.size() && a.type() == b.type() && a.type() == CV_8UC3);
    double sum = 0.0;
    long count = 0;
    for (int y = 0; y < a.rows; ++y) {
        for (int x = 0; x < a.cols; ++x) {
            if (!mask.empty() && mask.at<uchar>(y, x) == 0) continue;
            const cv::Vec3b p = a.at<cv::Vec3b>(y, x), q = b.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c) {
                const double d = double(p[c]) - q[c];
                sum += d * d;
            }
            count += 3;
        }
    }
    if (count == 0) return 0.0;
    const double mse = sum / count;
    if (mse == 0.0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace vistereo::testsupport
