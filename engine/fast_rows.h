// The default arithmetic of one output row, several pixels at a time, and
// the bilinear blend of a row.
//
// The direction of every pixel of a row (grid direction, pitch, roll, yaw,
// then the right eye's alignment) is computed on the widest vectors the
// processor has (SSE2 up to AVX-512, chosen at run time), with the very
// operations of the scalar path in the same order and no fused
// multiply-add, so the directions are bit for bit those of the exact path on
// every machine. For the orthographic and equisolid sines the lens follows in
// the same vectors, through the identities sin(acos(y)) = sqrt((1 - y)(1 + y))
// and sin(acos(y) / 2) = sqrt((1 - y) / 2), with the azimuth's cosine and
// sine taken as x / |(x, z)| and z / |(x, z)|; other lenses are finished by
// the caller from the directions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/lens.h"

namespace vistereo {
namespace sampling {
struct SourceView;
}

// Every array holds at least paddedLength(n) doubles: the vectors run past n.
struct FastRow {
    int n = 0;
    const double* sinLambda = nullptr;  // per column: sin and cos of the grid longitude
    const double* cosLambda = nullptr;
    double sinPsi = 0.0, cosPsi = 0.0;  // of the row's grid angle
    double cp = 1.0, sp = 0.0, cr = 1.0, sr = 0.0, cw = 1.0, sw = 0.0;  // zenith: pitch, roll, yaw

    // How the direction reaches the camera: 0 unchanged, 1 the rotation from
    // points A and B (pointsAlignment: aL, cosBeta, sinBeta, 1 - cosBeta, n,
    // cosAlpha, sinAlpha, 1 - cosAlpha), 2 the transpose of matrix (row-major).
    int undo = 0;
    double pointsAlignment[14] = {};
    double matrix[9] = {};

    // 0: the caller maps the directions; 1: sine with k = 1; 2: sine with k = 0.5.
    int lens = 0;
    double twoR = 0.0, mHalfPi = 0.0, axisX = 0.0, axisY = 0.0;
};

inline constexpr size_t kFastRowPadding = 16;
inline size_t paddedLength(int n) { return (static_cast<size_t>(n) + kFastRowPadding - 1) / kFastRowPadding * kFastRowPadding; }

// Writes the camera direction of every pixel (dx, dy, dz) and, for lens 1
// and 2, its source position (column, row). Returns true when some pixel's
// direction lies on the axis line (x = z = 0, or not a number) and has no
// azimuth: its position is left for the caller to take by the angles.
bool fastRowPositions(const FastRow& row, double* dx, double* dy, double* dz, double* column, double* rowOut);

// The bilinear blend (engine/samplers.h) of n positions into n pixels of 3
// bytes, the channels of a pixel in one vector where the processor has
// 256-bit vectors of doubles: the same bytes as the scalar blend.
void blendRow(const sampling::SourceView& source, const SourcePosition* positions, int n, uint8_t* out);

}  // namespace vistereo
