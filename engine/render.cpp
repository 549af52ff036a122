// Equirectangular rendering of both halves, with zenith correction and, for
// the right half, the alignment of the right camera onto the left one.
//
// The reference path evaluates every step for one pixel at a time, exactly
// as the geometry is written down. The renderers build the half's remap plan
// (engine/plan.cpp, where the exact arithmetic gives the reference's
// positions bit for bit and the default one works on vectors and replaces
// the trigonometry of the azimuth and of the two common lens sines by
// algebraic identities) and use it as they go, row by row, without storing
// it; the rows are split over threads, and a pixel's bytes never depend on
// which thread computes it.
#include "engine/render.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "engine/plan.h"
#include "engine/samplers.h"
#include "engine/zenith_turn.h"

namespace vistereo {
namespace {

void checkOutput(const cv::Mat& output, int n, int64_t columnsNeeded) {
    CV_Assert(output.type() == CV_8UC3 && output.rows >= n && output.cols >= columnsNeeded);
}

// Renders one half for every target straight from its positions, without
// keeping a plan: the same bytes as building the half's plan and applying it.
void renderHalf(const ConversionGeometry& g, Half half, const HalfAlignment& alignment,
                std::span<const HalfTarget> targets, const RenderOptions& options) {
    if (g.outputHeight <= 0 || targets.empty()) return;
    RemapPlanKey key = remapPlanKey(g, half, alignment, options.interpolation, options.exact);
    if (options.rows) key.rows = *options.rows;
    remapOnce(key, targets, options.threads, options.progress);
}

}  // namespace

Vec3 zenithDirection(const ConversionGeometry& geometry, int i, int j) {
    const double n = geometry.outputHeight;
    const double lambda = (j * kPi) / n;
    const double psi = (i * kPi) / n;
    const double x = -std::sin(psi) * std::cos(lambda);
    const double y = std::sin(psi) * std::sin(lambda);
    const double z = std::cos(psi);
    return ZenithTurn(geometry.zenith).turn(Vec3{x, y, z});
}

Pixel3 sampleBilinear(const cv::Mat& source, int width, int height, double column, double row) {
    Pixel3 pixel;
    sampling::blendInto(sampling::viewOf(source, width, height), column, row, pixel.c);
    return pixel;
}

AlignmentRotation alignmentRotation(const EyeGeometry& left, const EyeGeometry& right, const PointSet& points) {
    AlignmentRotation a;
    a.aL = directionOfPoint(left, points.leftA);
    a.bL = directionOfPoint(left, points.leftB);
    a.aR = directionOfPoint(right, points.rightA);
    a.bR = directionOfPoint(right, points.rightB);
    const Vec3 &aL = a.aL, &bL = a.bL, &aR = a.aR, &bR = a.bR;

    // First rotation: about aR x aL, carrying aR onto aL.
    const Vec3 c{aR.y * aL.z - aL.y * aR.z, aR.z * aL.x - aL.z * aR.x, aL.y * aR.x - aR.y * aL.x};
    const double length = std::sqrt(c.y * c.y + c.x * c.x + c.z * c.z);
    a.n = {c.x / length, c.y / length, c.z / length};
    const Vec3& n = a.n;
    const double s1 = aR.y * n.y + aR.x * n.x + aR.z * n.z;
    a.cosAlpha = (aR.y * aL.y + aL.x * aR.x + aL.z * aR.z - s1 * s1) / (aR.y * aR.y + aR.x * aR.x + aR.z * aR.z - s1 * s1);
    a.sinAlpha = std::sqrt(1.0 - a.cosAlpha * a.cosAlpha);
    a.oneMinusCosAlpha = 1.0 - a.cosAlpha;

    // bR turned by the first rotation (Rodrigues, +alpha about n).
    const double t = (bR.x * n.x + n.y * bR.y + bR.z * n.z) * a.oneMinusCosAlpha;
    const Vec3 b{(bR.z * n.y - n.z * bR.y) * a.sinAlpha + (t * n.x + a.cosAlpha * bR.x),
                 (bR.x * n.z - bR.z * n.x) * a.sinAlpha + (t * n.y + a.cosAlpha * bR.y),
                 (n.x * bR.y - bR.x * n.y) * a.sinAlpha + (t * n.z + a.cosAlpha * bR.z)};

    // Second rotation: about aL, turning b towards bL. Exact when A and B are
    // the same angle apart in both images, an approximation otherwise.
    const double s2 = b.x * aL.x + b.y * aL.y + b.z * aL.z;
    a.cosBeta = (b.x * bL.x + b.y * bL.y + b.z * bL.z - s2 * s2) / (b.y * b.y + b.x * b.x + b.z * b.z - s2 * s2);
    a.sinBeta = std::sqrt(1.0 - a.cosBeta * a.cosBeta);
    const double handedness = (b.y * bL.z - b.z * bL.y) * aL.x + (b.z * bL.x - b.x * bL.z) * aL.y +
                              (b.x * bL.y - bL.x * b.y) * aL.z;
    if (handedness < 0.0) a.sinBeta = -a.sinBeta;
    a.oneMinusCosBeta = 1.0 - a.cosBeta;
    return a;
}

Vec3 undoAlignment(const AlignmentRotation& a, const Vec3& d) {
    const Vec3& l = a.aL;
    const double t = (d.x * l.x + d.y * l.y + d.z * l.z) * a.oneMinusCosBeta;
    const Vec3 e{(t * l.x + d.x * a.cosBeta) - (d.z * l.y - d.y * l.z) * a.sinBeta,
                 (t * l.y + d.y * a.cosBeta) - (d.x * l.z - d.z * l.x) * a.sinBeta,
                 (t * l.z + d.z * a.cosBeta) - (d.y * l.x - d.x * l.y) * a.sinBeta};
    const Vec3& n = a.n;
    const double u = (e.y * n.y + e.x * n.x + e.z * n.z) * a.oneMinusCosAlpha;
    Vec3 f;
    f.y = (u * n.y + e.y * a.cosAlpha) - (e.x * n.z - e.z * n.x) * a.sinAlpha;
    f.z = (u * n.z + e.z * a.cosAlpha) - (e.y * n.x - e.x * n.y) * a.sinAlpha;
    f.x = (u * n.x + e.x * a.cosAlpha) - (e.z * n.y - e.y * n.z) * a.sinAlpha;
    return f;
}

RotationMatrix rotationMatrixOf(const AlignmentRotation& alignment) {
    RotationMatrix r;
    const Vec3 axes[3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
    for (int k = 0; k < 3; ++k) {
        const Vec3 row = undoAlignment(alignment, axes[k]);
        r.m[k][0] = row.x, r.m[k][1] = row.y, r.m[k][2] = row.z;
    }
    return r;
}

void renderLeftEye(const ConversionGeometry& geometry, const cv::Mat& source, cv::Mat& output,
                   const RenderOptions& options) {
    const HalfTarget target{&source, &output};
    renderHalf(geometry, Half::Left, {}, {&target, 1}, options);
}

void renderRightEyeAligned(const ConversionGeometry& geometry, const AlignmentRotation& alignment,
                           const cv::Mat& source, cv::Mat& output, const RenderOptions& options) {
    const HalfTarget target{&source, &output};
    renderHalf(geometry, Half::Right, alignment, {&target, 1}, options);
}

void renderRightEyeRotated(const ConversionGeometry& geometry, const RotationMatrix& rightToLeft,
                           const cv::Mat& source, cv::Mat& output, const RenderOptions& options) {
    const HalfTarget target{&source, &output};
    renderHalf(geometry, Half::Right, rightToLeft, {&target, 1}, options);
}

void renderLeftEyeForEach(const ConversionGeometry& geometry, std::span<const HalfTarget> targets,
                          const RenderOptions& options) {
    renderHalf(geometry, Half::Left, {}, targets, options);
}

void renderRightEyeAlignedForEach(const ConversionGeometry& geometry, const AlignmentRotation& alignment,
                                  std::span<const HalfTarget> targets, const RenderOptions& options) {
    renderHalf(geometry, Half::Right, alignment, targets, options);
}

void renderRightEyeRotatedForEach(const ConversionGeometry& geometry, const RotationMatrix& rightToLeft,
                                  std::span<const HalfTarget> targets, const RenderOptions& options) {
    renderHalf(geometry, Half::Right, rightToLeft, targets, options);
}

std::vector<SourcePosition> sourcePositionsOfRow(const ConversionGeometry& geometry, Half half,
                                                 const AlignmentRotation& alignment, int row, bool exact) {
    std::vector<SourcePosition> positions(std::max(0, geometry.outputHeight));
    if (positions.empty()) return positions;
    RemapPlanKey key = remapPlanKey(geometry, half, alignment, Interpolation::Bilinear, exact);
    key.rows = {row, 1};
    buildRemapPlan(key, 1)->rowPositions(row, positions.data());
    return positions;
}

// ---- reference path --------------------------------------------------------

namespace reference {
namespace {

// Source position of output pixel (i, j), evaluated step by step.
SourcePosition positionOf(const ConversionGeometry& g, const AlignmentRotation* alignment, int i, int j) {
    Vec3 d = zenithDirection(g, i, j);
    if (alignment) d = undoAlignment(*alignment, d);
    return projectToImage(g.eye[alignment ? 1 : 0], std::acos(d.y), std::atan2(d.z, d.x));
}

void renderHalf(const ConversionGeometry& g, const AlignmentRotation* alignment, const cv::Mat& source,
                cv::Mat& output) {
    const int n = g.outputHeight;
    if (n <= 0) return;
    const int eye = alignment ? 1 : 0;
    checkOutput(output, n, (eye + 1) * static_cast<int64_t>(n));
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const SourcePosition pos = positionOf(g, alignment, i, j);
            const Pixel3 pixel =
                sampleBilinear(source, g.eye[eye].imageWidth, g.eye[eye].imageHeight, pos.column, pos.row);
            std::copy_n(pixel.c, 3, output.ptr<uint8_t>(i, eye * n + j));
        }
    }
}

}  // namespace

void renderLeftEye(const ConversionGeometry& geometry, const cv::Mat& source, cv::Mat& output) {
    renderHalf(geometry, nullptr, source, output);
}

void renderRightEyeAligned(const ConversionGeometry& geometry, const AlignmentRotation& alignment,
                           const cv::Mat& source, cv::Mat& output) {
    renderHalf(geometry, &alignment, source, output);
}

SourcePosition sourcePosition(const ConversionGeometry& geometry, Half half, const AlignmentRotation& alignment,
                              int i, int j) {
    return positionOf(geometry, half == Half::Left ? nullptr : &alignment, i, j);
}

}  // namespace reference
}  // namespace vistereo
