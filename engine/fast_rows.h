// The default arithmetic of one output row, several pixels at a time, and
// the bilinear blend of a row.
//
// The direction of every pixel of a row is its grid direction turned by one
// matrix, the zenith correction and the right eye's alignment combined, on
// the widest vectors the processor has (SSE2 up to AVX-512, chosen at run
// time); the directions differ from the exact path's, rotation after
// rotation, in their last bits only. The lens follows in the same vectors,
// the azimuth's cosine and sine taken as x / |(x, z)| and z / |(x, z)|: for
// the orthographic and equisolid sines through the identities
// sin(acos(y)) = sqrt((1 - y)(1 + y)) and sin(acos(y) / 2) = sqrt((1 - y) / 2);
// for a registered k and for the quadratic law through vector arc cosine
// and sine (Highway's, within 2 and 3 units in the last place, fused
// multiply-add where the processor has it). The positions then snap down to
// the grid of the remap plan's fixed point, so that a half rendered straight
// from them and one applied from a stored plan are the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/lens.h"

namespace vistereo {
namespace sampling {
struct SourceView;
}

// How the default arithmetic maps a direction into the source image.
enum class RowLens : int {
    ByCaller = 0,      // only the directions: the caller maps them
    SineOne = 1,       // sin(theta), through sqrt((1 - y)(1 + y))
    SineHalf = 2,      // sin(theta / 2), through sqrt((1 - y) / 2)
    SineK = 3,         // sin(k theta), through vector acos and sin
    Quadratic = 4,     // the four-segment law of theta narrowed to single precision
};

// Every array holds at least paddedLength(n) doubles: the vectors run past n.
struct FastRow {
    int n = 0;
    const double* sinLambda = nullptr;  // per column: sin and cos of the grid longitude
    const double* cosLambda = nullptr;
    double sinPsi = 0.0, cosPsi = 0.0;  // of the row's grid angle
    // Output direction to camera direction, row-major: the zenith correction,
    // then the alignment undone.
    double turn[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

    RowLens lens = RowLens::ByCaller;
    double twoR = 0.0, mHalfPi = 0.0, axisX = 0.0, axisY = 0.0;
    double sineK = 0.0;
    QuadraticLaw law;

    // The grid positions snap down to: floor(p * gridScale) / gridScale for
    // gridLow <= p < gridHigh (both coordinates), NaN otherwise (nothing to
    // read there). A gridScale of 0 leaves the positions as computed.
    double gridScale = 0.0, gridInverse = 0.0, gridLow = 0.0, gridHigh = 0.0;

    // The camera direction of pixel j, bit for bit as the vectors have it.
    Vec3 direction(int j) const {
        double d[3];
        for (int k = 0; k < 3; ++k)
            d[k] = ((-sinPsi * turn[3 * k]) * cosLambda[j] + (sinPsi * turn[3 * k + 1]) * sinLambda[j]) +
                   cosPsi * turn[3 * k + 2];
        return {d[0], d[1], d[2]};
    }
};

inline constexpr size_t kFastRowPadding = 16;
inline size_t paddedLength(int n) { return (static_cast<size_t>(n) + kFastRowPadding - 1) / kFastRowPadding * kFastRowPadding; }

// Writes the source position (column, row) of every pixel; for a lens the
// caller maps, the camera directions (dx, dy, dz) instead. Returns true when
// some pixel's direction may lie on the axis line (x = z = 0, or not a
// number) and has no azimuth: its position is left for the caller to take
// by the angles.
bool fastRowPositions(const FastRow& row, double* dx, double* dy, double* dz, double* column, double* rowOut);

// The bilinear blend (engine/samplers.h) of n positions, given as columns
// and rows, into n pixels of 3 bytes: several pixels at a time, per channel
// the same double operations in the same order as the scalar blend, so the
// same bytes.
void blendRow(const sampling::SourceView& source, const double* column, const double* row, int n, uint8_t* out);

// A plane of 8-bit samples (luma or one chroma plane of YCbCr), row after
// row `step` bytes apart.
struct PlaneSource {
    const uint8_t* data = nullptr;
    size_t step = 0;
    int width = 0, height = 0;
};

// The planes' stored samples of a row of n: n 32-bit words of the source
// samples above and left of their positions (column in the low 16 bits, row
// in the high), then n words of their two weights in 1/1024 (across low,
// down high).
// A column of kPlaneBlackSample marks a sample with no source (black), of
// kPlaneEdgeSample one whose position its owner keeps apart.
inline constexpr int kPlaneWeightBits = 10;
inline constexpr uint32_t kPlaneBlackSample = 0xFFFF, kPlaneEdgeSample = 0xFFFE;

// The bilinear blend, rounded to the nearest level, of samples begin ..
// n - 1 into out[begin ..], several at a time, black ones as `black`; stops
// at the first group of samples it leaves to the caller (a kept position,
// or neighbours within three columns of the plane's right edge) or at the
// last partial group, and returns where it stopped. `samples` holds the
// row's n positions and then its n weights. The bytes are those of the
// scalar blend. With `pairedData`, a second plane of the source's size
// and row step goes through the same samples into `pairedOut` alike.
int blendPlaneSamples(const PlaneSource& source, const uint32_t* samples, int begin, int n, uint8_t black,
                      uint8_t* out, const uint8_t* pairedData = nullptr, uint8_t* pairedOut = nullptr);

}  // namespace vistereo
