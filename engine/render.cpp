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

namespace vistereo {
namespace {

void checkOutput(const cv::Mat& output, int n, int64_t columnsNeeded) {
    CV_Assert(output.type() == CV_8UC3 && output.rows >= n && output.cols >= columnsNeeded);
}

// Renders one half for every target straight from its positions, without
// keeping a plan: the same bytes as building the half's plan and applying it.
void renderHalf(const ConversionGeometry& g, Half half, const HalfTurn& turn, std::span<const HalfTarget> targets,
                const RenderOptions& options) {
    if (g.outputHeight <= 0 || targets.empty()) return;
    RemapPlanKey key = remapPlanKey(g, half, turn, options.interpolation, options.exact);
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
    return HalfTurn(geometry.zenith).turnExactly(Vec3{x, y, z});
}

Pixel3 sampleBilinear(const cv::Mat& source, int width, int height, double column, double row) {
    Pixel3 pixel;
    sampling::blendInto(sampling::viewOf(source, width, height), column, row, pixel.c);
    return pixel;
}

void renderLeftEye(const ConversionGeometry& geometry, const cv::Mat& source, cv::Mat& output,
                   const RenderOptions& options) {
    const HalfTarget target{&source, &output};
    renderHalf(geometry, Half::Left, HalfTurn(geometry.zenith), {&target, 1}, options);
}

void renderRightEyeAligned(const ConversionGeometry& geometry, const AlignmentRotation& alignment,
                           const cv::Mat& source, cv::Mat& output, const RenderOptions& options) {
    const HalfTarget target{&source, &output};
    renderHalf(geometry, Half::Right, HalfTurn(geometry.zenith, alignment), {&target, 1}, options);
}

void renderRightEyeRotated(const ConversionGeometry& geometry, const RotationMatrix& rightToLeft,
                           const cv::Mat& source, cv::Mat& output, const RenderOptions& options) {
    const HalfTarget target{&source, &output};
    renderHalf(geometry, Half::Right, HalfTurn(geometry.zenith, rightToLeft), {&target, 1}, options);
}

void renderLeftEyeForEach(const ConversionGeometry& geometry, std::span<const HalfTarget> targets,
                          const RenderOptions& options) {
    renderHalf(geometry, Half::Left, HalfTurn(geometry.zenith), targets, options);
}

void renderRightEyeAlignedForEach(const ConversionGeometry& geometry, const AlignmentRotation& alignment,
                                  std::span<const HalfTarget> targets, const RenderOptions& options) {
    renderHalf(geometry, Half::Right, HalfTurn(geometry.zenith, alignment), targets, options);
}

void renderRightEyeRotatedForEach(const ConversionGeometry& geometry, const RotationMatrix& rightToLeft,
                                  std::span<const HalfTarget> targets, const RenderOptions& options) {
    renderHalf(geometry, Half::Right, HalfTurn(geometry.zenith, rightToLeft), targets, options);
}

std::vector<SourcePosition> sourcePositionsOfRow(const ConversionGeometry& geometry, Half half,
                                                 const AlignmentRotation& alignment, int row, bool exact) {
    std::vector<SourcePosition> positions(std::max(0, geometry.outputHeight));
    if (positions.empty()) return positions;
    const HalfTurn turn = half == Half::Left ? HalfTurn(geometry.zenith) : HalfTurn(geometry.zenith, alignment);
    RemapPlanKey key = remapPlanKey(geometry, half, turn, Interpolation::Bilinear, exact);
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
