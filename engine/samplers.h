// How a source position becomes an output pixel: the four-pixel bilinear
// blend and the wider bicubic and Lanczos kernels. Shared by the remap and by
// sampleBilinear; internal to the engine.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include <opencv2/core.hpp>

namespace vistereo::sampling {

constexpr double kTruePi = 3.14159265358979323846;  // for the kernels' shapes only

// The source image as the sampler sees it: W x H pixels of 3 bytes.
struct SourceView {
    const uint8_t* data = nullptr;
    size_t step = 0;  // bytes per row
    int width = 0;
    int height = 0;
};

inline SourceView viewOf(const cv::Mat& source, int width, int height) {
    CV_Assert(source.type() == CV_8UC3 && width <= source.cols && height <= source.rows);
    return {source.data, source.step[0], width, height};
}

// Bilinear blend of the four pixels around (column, row) into out[0..2].
// NaN, negative, and too-large-for-int32 positions are outside: black. A
// position strictly between -1 and 0 truncates to 0 with a negative fraction
// and would extrapolate past the 0..255 range, so it is outside as well.
// Neighbours past the right or bottom edge are black; with every neighbour
// black the blend is exactly 0, so such positions take the short way.
inline void blendInto(const SourceView& src, double column, double row, uint8_t* out) {
    if (!(column >= 0.0 && row >= 0.0 && column < 2147483648.0 && row < 2147483648.0)) {
        out[0] = out[1] = out[2] = 0;
        return;
    }
    const int32_t c0 = static_cast<int32_t>(column);
    const int32_t r0 = static_cast<int32_t>(row);
    if (c0 >= src.width || r0 >= src.height) {
        out[0] = out[1] = out[2] = 0;
        return;
    }
    const double fx = column - c0, fy = row - r0;
    const double gx = 1.0 - fx, gy = 1.0 - fy;
    const bool hasRight = c0 < src.width - 1, hasBelow = r0 < src.height - 1;
    const uint8_t* p00 = src.data + static_cast<size_t>(r0) * src.step + 3 * static_cast<size_t>(c0);
    const uint8_t* p10 = p00 + src.step;
    for (int k = 0; k < 3; ++k) {
        const double v00 = p00[k];
        const double v01 = hasRight ? p00[3 + k] : 0.0;
        const double v10 = hasBelow ? p10[k] : 0.0;
        const double v11 = hasRight && hasBelow ? p10[3 + k] : 0.0;
        const double v = (v11 * fx + v10 * gx) * fy + (v01 * fx + v00 * gx) * gy;
        // All weights and samples are non-negative, so v lies in 0 .. 255
        // (up to rounding that truncation removes).
        out[k] = static_cast<uint8_t>(static_cast<int>(v));
    }
}

// ---- wider kernels --------------------------------------------------------

constexpr int kPhases = 1024;  // sub-pixel steps of the weight tables

// Weights of the taps at offsets 1 - Taps/2 .. Taps/2 from floor(position),
// for kPhases + 1 fractions from 0 to 1, each set summing to 1.
template <int Taps>
struct KernelTable {
    float w[kPhases + 1][Taps];
};

inline double keysCubic(double x) {  // a = -0.5, support 2
    const double a = -0.5, t = std::abs(x);
    if (t < 1.0) return ((a + 2.0) * t - (a + 3.0)) * t * t + 1.0;
    if (t < 2.0) return ((a * t - 5.0 * a) * t + 8.0 * a) * t - 4.0 * a;
    return 0.0;
}

inline double lanczos3(double x) {  // sinc(x) sinc(x / 3), support 3
    const double t = std::abs(x);
    if (t < 1e-12) return 1.0;
    if (t >= 3.0) return 0.0;
    const double px = kTruePi * t;
    return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
}

template <int Taps>
KernelTable<Taps> makeTable(double (*kernel)(double)) {
    KernelTable<Taps> table;
    for (int p = 0; p <= kPhases; ++p) {
        const double f = static_cast<double>(p) / kPhases;
        double w[Taps], sum = 0.0;
        for (int k = 0; k < Taps; ++k) sum += (w[k] = kernel(f - (k + 1 - Taps / 2)));
        for (int k = 0; k < Taps; ++k) table.w[p][k] = static_cast<float>(w[k] / sum);
    }
    return table;
}

// A Taps x Taps kernel over the source. Taps outside the image or outside
// the lens's circle (rim2: its radius squared, around the axis point) are
// left out and the others renormalised.
template <int Taps>
struct KernelSampler {
    const KernelTable<Taps>* table;
    double axisX, axisY, rim2;

    void sample(const SourceView& src, double column, double row, uint8_t* out) const {
        if (!(column > -Taps && row > -Taps && column < src.width + Taps && row < src.height + Taps)) {
            out[0] = out[1] = out[2] = 0;
            return;
        }
        const double fc = std::floor(column), fr = std::floor(row);
        const int c0 = static_cast<int>(fc) + 1 - Taps / 2, r0 = static_cast<int>(fr) + 1 - Taps / 2;
        const float* wx = table->w[static_cast<int>((column - fc) * kPhases + 0.5)];
        const float* wy = table->w[static_cast<int>((row - fr) * kPhases + 0.5)];
        // The whole block inside the image and the circle: no tap to leave out.
        const double dx = std::max(std::abs(c0 - axisX), std::abs(c0 + Taps - 1 - axisX));
        const double dy = std::max(std::abs(r0 - axisY), std::abs(r0 + Taps - 1 - axisY));
        const bool whole = c0 >= 0 && r0 >= 0 && c0 + Taps - 1 < src.width && r0 + Taps - 1 < src.height &&
                           dx * dx + dy * dy <= rim2;
        float acc[3] = {0.f, 0.f, 0.f}, weight = 0.f;
        for (int j = 0; j < Taps; ++j) {
            const int r = r0 + j;
            if (!whole && (r < 0 || r >= src.height)) continue;
            const uint8_t* line = src.data + static_cast<size_t>(r) * src.step;
            const double ry = r - axisY;
            for (int i = 0; i < Taps; ++i) {
                const int c = c0 + i;
                if (!whole) {
                    const double rx = c - axisX;
                    if (c < 0 || c >= src.width || rx * rx + ry * ry > rim2) continue;
                }
                const float w = wx[i] * wy[j];
                const uint8_t* p = line + 3 * static_cast<size_t>(c);
                acc[0] += w * p[0], acc[1] += w * p[1], acc[2] += w * p[2];
                weight += w;
            }
        }
        if (!whole) {
            if (!(weight > 0.05f)) {
                out[0] = out[1] = out[2] = 0;
                return;
            }
            for (float& a : acc) a /= weight;
        }
        for (int k = 0; k < 3; ++k) out[k] = static_cast<uint8_t>(std::clamp(acc[k] + 0.5f, 0.f, 255.f));
    }
};

}  // namespace vistereo::sampling
