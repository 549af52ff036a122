// The two renderers of the side-by-side 180-degree equirectangular output.
//
// Each half is a square of N x N pixels (N = outputHeight) covering the front
// hemisphere. Output pixel (i, j) looks along the grid direction of row i and
// column j, turned by the zenith correction (pitch, then roll, then yaw);
// the left half finds that direction in the left fisheye image, the right half
// first undoes the rotation that carries the right camera's view onto the
// left camera's (built from points A and B, or given as a matrix) and then
// finds it in the right fisheye image. Four source pixels are blended
// bilinearly; whatever cannot be mapped comes out black.
//
// Images are 8-bit, 3-channel cv::Mat handles sharing the caller's pixels;
// nothing is copied. Rendering is split over threads by rows; the bytes
// written do not depend on the number of threads.
//
// Underneath every renderer here is one path: the half's remap plan
// (engine/plan.h: where every output pixel reads). The functions below
// render once, working the plan's positions out row by row and using them
// at once (remapOnce) with the same bytes as a stored plan; whoever renders
// the same geometry again (a batch, the frames of a video) builds the plan
// once and applies it many times.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include <opencv2/core.hpp>

#include "base/parallel.h"
#include "engine/colour.h"
#include "engine/half_turn.h"
#include "engine/lens.h"
#include "engine/rotation.h"

namespace vistereo {

struct Pixel3 {
    uint8_t c[3] = {0, 0, 0};
};

// Corrected viewing direction of output row i, column j of a half.
Vec3 zenithDirection(const ConversionGeometry& geometry, int i, int j);

// Bilinear blend at (column, row) of a W x H source. Positions that are NaN,
// negative (including strictly between -1 and 0) or beyond int32 give black;
// neighbours past the right or bottom edge are black.
Pixel3 sampleBilinear(const cv::Mat& source, int width, int height, double column, double row);

enum class Half { Left = 0, Right = 1 };

// Progress of a half: rowsDone of rowsTotal. Calls for one half are
// serialised and rowsDone only grows, ending at rowsTotal; the callback must
// be cheap. It is called from the rendering threads (the caller's thread
// among them) as bands of rows finish, so it must be safe to call from any
// thread. An exception it throws stops the render and reaches the caller;
// the half is then left partly written.
using RowProgress = std::function<void(Half half, int rowsDone, int rowsTotal)>;

// How a source position becomes a pixel. Bilinear is the four-pixel blend
// described above; bicubic (Keys, a = -0.5) and Lanczos (a = 2) weigh a 4 x 4
// neighbourhood, rounding to the nearest level. The wider kernels leave out
// the source pixels beyond the edge of the image and outside the lens's
// 180-degree circle and renormalise the rest, so that the black outside does
// not bleed into the rim.
enum class Interpolation { Bilinear, Bicubic, Lanczos };

// Output rows first .. first + count - 1 of a half.
struct RowRange {
    int first = 0;
    int count = 0;
    friend bool operator==(const RowRange&, const RowRange&) = default;
};

struct RenderOptions {
    int threads = 0;  // 0: every hardware thread
    RowProgress progress;
    // true: every angle goes through acos, atan2, sin and cos as in the
    // reference path, and the output is byte-identical to it.
    // false: the azimuth's cosine and sine are taken as x / |(x, z)| and
    // z / |(x, z)| instead of cos(atan2(z, x)) and sin(atan2(z, x)), and for
    // k = 1 and k = 0.5 the lens sine of acos(y) as sqrt((1 - y)(1 + y)) and
    // sqrt((1 - y) / 2), for other lenses the arc cosine and sine on vectors,
    // several pixels at a time; the positions are snapped down to 2^-19 of a
    // pixel (engine/plan.h). They differ from the reference by less than
    // that, which changes a stored byte by 1 in a vanishing share of pixels;
    // several times faster.
    bool exact = false;
    Interpolation interpolation = Interpolation::Bilinear;
    // Only these rows of the half (a band, for whoever takes the output's
    // rows as they are finished); none: every row. The progress then counts
    // the band's rows.
    std::optional<RowRange> rows;
};

// Writes columns 0 .. N-1 of every output row from the left image (eye 0).
void renderLeftEye(const ConversionGeometry& geometry, const cv::Mat& source, cv::Mat& output,
                   const RenderOptions& options = {});

// Writes columns N .. 2N-1 of every output row from the right image (eye 1),
// aligned to the left camera by points A and B.
void renderRightEyeAligned(const ConversionGeometry& geometry, const AlignmentRotation& alignment,
                           const cv::Mat& source, cv::Mat& output, const RenderOptions& options = {});

// The same half aligned by a given rotation (right-camera directions onto
// left-camera ones) instead of points.
void renderRightEyeRotated(const ConversionGeometry& geometry, const RotationMatrix& rightToLeft,
                           const cv::Mat& source, cv::Mat& output, const RenderOptions& options = {});

// One output's share of a half: the eye's source image and the side-by-side
// image whose half is written, and optionally the eye's photometric
// correction, applied to each row as it is written (no extra pass over the
// output). The correction belongs to the target, not to the geometry: one
// plan serves pairs that are corrected each their own way.
struct HalfTarget {
    const cv::Mat* source;
    cv::Mat* output;
    const EyeColourCorrection* colour = nullptr;  // none: the levels as sampled
    // The half's row that `output`'s first row holds: a band of the picture
    // (rows firstRow .. firstRow + output->rows - 1) rather than all of it.
    int firstRow = 0;
};

// The same half for several outputs that share the geometry (pairs of one
// size converted with the same settings, in a batch): one plan serves every
// target, which saves most of the cost of the second and later targets. Each
// target gets exactly the bytes the single-output call above writes. The
// progress reports count rows, for all targets together.
void renderLeftEyeForEach(const ConversionGeometry& geometry, std::span<const HalfTarget> targets,
                          const RenderOptions& options = {});
void renderRightEyeAlignedForEach(const ConversionGeometry& geometry, const AlignmentRotation& alignment,
                                  std::span<const HalfTarget> targets, const RenderOptions& options = {});
void renderRightEyeRotatedForEach(const ConversionGeometry& geometry, const RotationMatrix& rightToLeft,
                                  std::span<const HalfTarget> targets, const RenderOptions& options = {});

// Source positions of the pixels of output row `row` of a half, as the
// renderers above read them (outputHeight entries, left to right; NaN where
// no kernel could read anything). The right half is aligned by `alignment`.
std::vector<SourcePosition> sourcePositionsOfRow(const ConversionGeometry& geometry, Half half,
                                                 const AlignmentRotation& alignment, int row, bool exact = true);

// The plain per-pixel path, evaluated exactly in the order written down for
// one pixel at a time, single-threaded. The fast renderers above are checked
// against it.
namespace reference {
void renderLeftEye(const ConversionGeometry& geometry, const cv::Mat& source, cv::Mat& output);
void renderRightEyeAligned(const ConversionGeometry& geometry, const AlignmentRotation& alignment,
                           const cv::Mat& source, cv::Mat& output);
// Source position of output pixel (i, j) of a half, one step after another.
SourcePosition sourcePosition(const ConversionGeometry& geometry, Half half, const AlignmentRotation& alignment,
                              int i, int j);
}  // namespace reference

}  // namespace vistereo
