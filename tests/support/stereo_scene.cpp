// Forward rendering of a stereo scene: ray against spheres, else the panorama.
#include "tests/support/stereo_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <opencv2/core.hpp>

#include "engine/render.h"

namespace vistereo::testsupport {
namespace {

constexpr double kDeg = 3.14159265358979323846 / 180.0;

Vec3 add(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 sub(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 scale(const Vec3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }

uint32_t hash(int x, int y, int z, uint32_t seed) {
    uint32_t h = seed * 0x9E3779B1u ^ static_cast<uint32_t>(x) * 0x85EBCA77u;
    h = ((h << 13) | (h >> 19)) ^ static_cast<uint32_t>(y) * 0xC2B2AE3Du;
    h = ((h << 11) | (h >> 21)) ^ static_cast<uint32_t>(z) * 0x27D4EB2Fu;
    h = (h ^ (h >> 15)) * 0x2C1B3C6Du;
    h = (h ^ (h >> 12)) * 0x297A2D39u;
    return h ^ (h >> 15);
}

// Smooth value noise in 0 .. 1 on the integer lattice.
double valueNoise(const Vec3& p, uint32_t seed) {
    const double fx = std::floor(p.x), fy = std::floor(p.y), fz = std::floor(p.z);
    const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy), z0 = static_cast<int>(fz);
    auto smooth = [](double t) { return t * t * (3.0 - 2.0 * t); };
    const double u = smooth(p.x - fx), v = smooth(p.y - fy), w = smooth(p.z - fz);
    auto at = [&](int dx, int dy, int dz) { return hash(x0 + dx, y0 + dy, z0 + dz, seed) / 4294967296.0; };
    const double x00 = at(0, 0, 0) * (1 - u) + at(1, 0, 0) * u, x10 = at(0, 1, 0) * (1 - u) + at(1, 1, 0) * u;
    const double x01 = at(0, 0, 1) * (1 - u) + at(1, 0, 1) * u, x11 = at(0, 1, 1) * (1 - u) + at(1, 1, 1) * u;
    return (x00 * (1 - v) + x10 * v) * (1 - w) + (x01 * (1 - v) + x11 * v) * w;
}

// Four octaves from a 10 cm wavelength down to 1.25 cm, pushed towards blobs.
double blobs(const Vec3& p, uint32_t seed) {
    double sum = 0.0, amplitude = 0.5, total = 0.0;
    for (int octave = 0; octave < 4; ++octave) {
        const double f = 10.0 * (1 << octave);
        sum += amplitude * valueNoise(scale(p, f), seed + 17u * octave);
        total += amplitude;
        amplitude *= 0.55;
    }
    const double n = sum / total;  // around 0.5
    return 1.0 / (1.0 + std::exp(-(n - 0.5) * 14.0));
}

cv::Vec3d sphereColour(const TexturedSphere& s, const Vec3& hit) {
    const Vec3 local = sub(hit, s.centre);
    const double a = blobs(local, s.seed), b = blobs(add(local, {3.1, 1.7, 2.3}), s.seed + 1000u);
    // Two base colours from the seed, mixed by the first noise, brightened by the second.
    cv::Vec3d c0, c1;
    for (int c = 0; c < 3; ++c) c0[c] = 40 + hash(1 + c, 0, 0, s.seed) % 80, c1[c] = 150 + hash(4 + c, 0, 0, s.seed) % 100;
    const cv::Vec3d base = c0 * (1.0 - a) + c1 * a;
    const Vec3 normal = unit(local);
    const double light = 0.65 + 0.35 * std::max(0.0, dot(normal, unit({-0.3, -0.5, 0.8})));
    return base * (0.75 + 0.25 * b) * light;
}

// Colour seen along the unit world ray from `origin`.
cv::Vec3d trace(const StereoScene& scene, const Vec3& origin, const Vec3& d) {
    double nearest = 1e300;
    const TexturedSphere* hitSphere = nullptr;
    for (const TexturedSphere& s : scene.spheres) {
        const Vec3 oc = sub(origin, s.centre);
        const double b = dot(d, oc), c = dot(oc, oc) - s.radius * s.radius;
        const double disc = b * b - c;
        if (disc < 0.0) continue;
        const double t = -b - std::sqrt(disc);
        if (t > 1e-6 && t < nearest) nearest = t, hitSphere = &s;
    }
    if (hitSphere) return sphereColour(*hitSphere, add(origin, scale(d, nearest)));
    return scene.panoramaBackground ? cv::Vec3d(samplePanoramaDirection(panorama(), d)) : cv::Vec3d(scene.plainColour);
}

}  // namespace

double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 unit(const Vec3& a) { return scale(a, 1.0 / std::sqrt(dot(a, a))); }

TexturedSphere TexturedSphere::at(double azimuthDeg, double elevationDeg, double distance, double radius,
                                  unsigned seed) {
    const double a = azimuthDeg * kDeg, e = elevationDeg * kDeg;
    return {{distance * std::sin(a) * std::cos(e), distance * std::cos(a) * std::cos(e), distance * std::sin(e)}, radius, seed};
}

StereoRig StereoRig::sideBySide(const SynthLens& leftLens, const SynthLens& rightLens, const RotationMatrix& rightToLeft,
                                double baseline, Vec3 baselineDirection, const RotationMatrix& leftToWorld) {
    StereoRig rig;
    rig.left = {leftLens, leftToWorld, {0, 0, 0}};
    rig.right = {rightLens, leftToWorld * rightToLeft, rotate(leftToWorld, scale(unit(baselineDirection), baseline))};
    return rig;
}

RotationMatrix StereoRig::rightToLeft() const { return transpose(left.cameraToWorld) * right.cameraToWorld; }

Vec3 StereoRig::baselineInLeft() const {
    return unit(rotate(transpose(left.cameraToWorld), sub(right.position, left.position)));
}

cv::Mat renderView(const StereoScene& scene, const SceneCamera& camera, int samples) {
    samples = std::max(1, samples);
    const SynthLens& lens = camera.lens;
    cv::Mat out(lens.height, lens.width, CV_8UC3, cv::Scalar::all(0));
    panorama();  // loaded before the threads start
    cv::parallel_for_(cv::Range(0, lens.height), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            for (int x = 0; x < lens.width; ++x) {
                if (std::isnan(cameraDirectionOfPixel(lens, x, y).x)) continue;
                cv::Vec3d sum(0, 0, 0);
                int count = 0;
                for (int sy = 0; sy < samples; ++sy)
                    for (int sx = 0; sx < samples; ++sx) {
                        const double ox = (sx + 0.5) / samples - 0.5, oy = (sy + 0.5) / samples - 0.5;
                        const Vec3 d = cameraDirectionOfPixel(lens, x + ox, y + oy);
                        if (std::isnan(d.x)) continue;
                        sum += trace(scene, camera.position, unit(rotate(camera.cameraToWorld, d)));
                        ++count;
                    }
                if (count == 0) continue;
                sum *= 1.0 / count;
                for (int c = 0; c < 3; ++c) out.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uchar>(sum[c]);
            }
        }
    });
    return out;
}

StereoScene spheresOneToSixMetres() {
    StereoScene scene;
    scene.spheres = {TexturedSphere::at(-35, 10, 1.2, 0.25, 1), TexturedSphere::at(25, -15, 2.0, 0.4, 2),
                     TexturedSphere::at(55, 25, 3.0, 0.5, 3),   TexturedSphere::at(-60, -20, 4.5, 0.7, 4),
                     TexturedSphere::at(0, 35, 6.0, 0.8, 5),    TexturedSphere::at(10, -40, 1.6, 0.3, 6)};
    return scene;
}

StereoScene nearSpheresFillingTheView() {
    StereoScene scene;
    scene.spheres = {TexturedSphere::at(0, 0, 2.0, 0.75, 11),    TexturedSphere::at(-42, 2, 1.5, 0.55, 12),
                     TexturedSphere::at(44, -3, 1.6, 0.6, 13),   TexturedSphere::at(-18, 42, 1.8, 0.7, 14),
                     TexturedSphere::at(22, -42, 1.2, 0.45, 15), TexturedSphere::at(-52, -40, 2.5, 0.95, 16),
                     TexturedSphere::at(58, 38, 2.2, 0.9, 17),   TexturedSphere::at(-78, 18, 1.0, 0.35, 18),
                     TexturedSphere::at(80, -12, 1.3, 0.45, 19), TexturedSphere::at(20, 45, 2.4, 0.8, 20),
                     TexturedSphere::at(-20, -45, 2.0, 0.7, 21)};
    return scene;
}

StereoScene nearObjectsAFifth() {
    StereoScene scene;
    scene.spheres = {TexturedSphere::at(-40, -25, 1.3, 0.3, 31), TexturedSphere::at(35, -30, 1.8, 0.42, 32),
                     TexturedSphere::at(60, 5, 2.2, 0.38, 33), TexturedSphere::at(-65, 10, 1.6, 0.34, 34)};
    return scene;
}

cv::Mat convertedScene(const StereoScene& scene, const std::optional<cv::Matx34f>& rightTone) {
    const SynthLens lens = SynthLens::equisolid(1200, 900);
    const StereoRig rig = StereoRig::sideBySide(lens, lens, rotationFromYawPitchRoll(1.0, -0.5, 0.8));
    ConversionGeometry g;
    g.eye = {eyeGeometryOf(lens), eyeGeometryOf(lens)};
    g.outputHeight = 1024;
    cv::Mat right = renderView(scene, rig.right), image(1024, 2048, CV_8UC3, cv::Scalar::all(0));
    if (rightTone) cv::transform(right, right, *rightTone);
    renderLeftEye(g, renderView(scene, rig.left), image);
    renderRightEyeRotated(g, rig.rightToLeft(), right, image);
    return image;
}

std::vector<AlignmentCase> alignmentCases(int width, int height) {
    const SynthLens equisolid = SynthLens::equisolid(width, height);
    // Real lenses never quite follow their law: these image a direction 1 % further out at 90 degrees than their
    // record says (0.45 % at 60), both alike, as two lenses of one make do.
    SynthLens lawOff = equisolid;
    lawOff.shape = 0.004;
    auto rig = [&](const SynthLens& left, const SynthLens& right, double yaw, double pitch, double roll) {
        return StereoRig::sideBySide(left, right, rotationFromYawPitchRoll(yaw, pitch, roll));
    };
    StereoRig tilted = StereoRig::sideBySide(equisolid, equisolid, rotationFromYawPitchRoll(0.7, 1.1, 0.4), 0.065,
                                             {1.0, 0.03, -0.05});
    return {{"panorama at infinity, equisolid", StereoScene{}, rig(equisolid, equisolid, 2.0, -1.0, 1.5), 0.02, false},
            {"spheres at 1-6 m, equisolid", spheresOneToSixMetres(), rig(equisolid, equisolid, -1.2, 0.8, -0.6)},
            {"spheres at 1-6 m, baseline tilted 3.4 degrees", spheresOneToSixMetres(), tilted},
            {"near spheres at 1-2.5 m filling the view", nearSpheresFillingTheView(),
             rig(equisolid, equisolid, 1.5, -0.5, 2.0), 0.05},
            {"mixed lenses: equisolid left, orthographic right", spheresOneToSixMetres(),
             rig(equisolid, SynthLens::orthographic(width, height), -2.0, -1.5, 1.0)},
            {"mixed lenses: sin(0.7 theta) left, equisolid right", spheresOneToSixMetres(),
             rig(SynthLens::sine(width, height, 0.7), equisolid, 1.0, 0.5, -1.0)},
            {"lens laws 1 % off their records, near objects a fifth of the matches", nearObjectsAFifth(),
             rig(lawOff, lawOff, 1.0, -0.6, 0.8), 0.05, true, true}};
}

}  // namespace vistereo::testsupport
