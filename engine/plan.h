// The remap plan of one half: set up once, applied many times.
//
// Everything that decides where an output pixel of a half reads its source
// (the eye's lens and image size, the right eye's alignment, the zenith
// correction, the output height) is fixed for a pair, for every pair of a
// rig in a batch and for every frame of a video. The plan works out each
// output pixel's source position once; applying it to an image is then a
// remap that only reads the plan, so one plan may serve any number of
// images, frames and threads at the same time (shared as
// std::shared_ptr<const RemapPlan>).
//
// Two forms, chosen by the arithmetic:
// - exact: every position as the two doubles the reference path computes,
//   16 bytes per output pixel; applying it writes the reference's bytes.
// - default: the positions from the faster arithmetic, which snaps them down
//   to a fixed-point grid (2^-F of a pixel with F = 19 for images up to 8175
//   pixels a side), held as 32 bits per coordinate and coded against their
//   own row: each pixel stores
//   how far it lies from the straight line through its two left neighbours,
//   2 x 16 bits, and a pixel that does not fit (the first two of a row, the
//   first ones after a black stretch, a kink) stores its position whole in a
//   side list. About 4 bytes per output pixel: 64 MiB for a 4096 x 4096
//   half. The decoded positions are the grid positions exactly; the
//   snapping to 2^-F moves a bilinear weight by less than 2e-6, which
//   changes a stored byte by 1 in a few bytes per million.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/render.h"

namespace vistereo {

// Which samples of a half a plan covers: every pixel of a picture of whole
// pixels (BGR, or the luma plane of YCbCr), or the chroma samples of 4:2:0
// YCbCr, every second pixel each way, each placed where the chroma siting
// says, in the output half and in the source alike. The chroma of a half is
// the same geometry sampled at the chroma grid, not a scaled copy of the luma.
struct SampleGrid {
    int step = 1;  // luma pixels from one sample to the next: 1, or 2 for 4:2:0 chroma
    // Where sample (0, 0) lies, in luma pixels right and down: in the output
    // half, and in the source image.
    double outputX = 0.0, outputY = 0.0, sourceX = 0.0, sourceY = 0.0;
    bool wholePixels() const { return step == 1 && outputX == 0.0 && outputY == 0.0 && sourceX == 0.0 && sourceY == 0.0; }
    // The chroma grid of 4:2:0 planes whose chroma sample (0, 0) lies at
    // (x, y) luma pixels, in the source and the output alike.
    static SampleGrid chroma420(double x, double y) { return {2, x, y, x, y}; }
    friend bool operator==(const SampleGrid&, const SampleGrid&) = default;
};

// Everything a plan is determined by. Two plans with equal keys hold the same
// positions; a cache keyed by it can never hand out a plan made for another
// lens, image size, rotation, zenith, height, kernel or arithmetic. Values
// that are not numbers never compare equal, so a plan built from them is
// never shared.
struct RemapPlanKey {
    EyeGeometry eye;  // the half's own eye: lens mapping, axis, image size
    Half half = Half::Left;
    HalfTurn turn;  // the zenith correction, and for the right half its alignment undone
    int32_t outputHeight = 0;
    RowRange rows;  // the rows the plan covers; the whole half unless made for a band
    Interpolation interpolation = Interpolation::Bilinear;
    bool exact = false;
    SampleGrid grid;  // rows counts rows of this grid
    // Samples across (and down) the half on the grid.
    int samples() const { return grid.step > 1 ? (outputHeight + grid.step - 1) / grid.step : outputHeight; }
    friend bool operator==(const RemapPlanKey&, const RemapPlanKey&) = default;
};

// The key of one whole half of a conversion: the half's eye and the output
// height from `geometry`, its directions turned by `turn` (which carries the
// zenith correction: HalfTurn(geometry.zenith) for the left half, with the
// right eye's alignment for the right).
RemapPlanKey remapPlanKey(const ConversionGeometry& geometry, Half half, const HalfTurn& turn,
                          Interpolation interpolation, bool exact);

class RemapPlan {
public:
    const RemapPlanKey& key() const { return key_; }
    int size() const { return key_.samples(); }  // the half is size() x size() samples of the key's grid
    const RowRange& rows() const { return key_.rows; }
    // Memory held for the positions, in bytes.
    size_t bytes() const;
    // Fractional bits of the fixed-point positions (0 for an exact plan).
    int fractionBits() const { return fractionBits_; }
    // Source positions of output row `row` (one of rows()), left to right,
    // size() entries. A pixel that can only come out black has NaN.
    void rowPositions(int row, SourcePosition* out) const;
    // The same as two arrays of size() entries: the columns and the rows.
    void rowPositions(int row, double* columns, double* rows) const;

private:
    friend std::shared_ptr<const RemapPlan> buildRemapPlan(const RemapPlanKey&, int, const RowProgress&);
    RemapPlan() = default;

    RemapPlanKey key_;
    int fractionBits_ = 0;
    std::vector<SourcePosition> exact_;  // exact form: every position
    // Default form: per pixel the column's and the row's deviation from the
    // line through the two previous positions of the row (or a marker), and
    // the whole positions of the pixels that do not fit, row after row.
    // (Not cleared when made: every entry is written by the row that owns it.)
    std::unique_ptr<int16_t[]> deviations_;
    size_t deviationCount_ = 0;
    std::vector<uint32_t> whole_;
    std::vector<size_t> wholeStart_;  // per row: its first entry in whole_ (pairs), plus the end
};

// Works out every position of the half the key describes, on `threads`
// threads (0: every hardware thread); progress counts the rows worked out.
std::shared_ptr<const RemapPlan> buildRemapPlan(const RemapPlanKey& key, int threads = 0,
                                                const RowProgress& progress = {});

// Writes the plan's rows of its half in every target (columns 0 .. N-1 of the
// output for the left half, N .. 2N-1 for the right) from its source through the plan's
// kernel; each row's positions are decoded once for all targets. The bytes do
// not depend on the thread count; progress counts rows, for all targets.
void applyRemapPlan(const RemapPlan& plan, std::span<const HalfTarget> targets, int threads = 0,
                    const RowProgress& progress = {});

// Writes the same bytes as applyRemapPlan(*buildRemapPlan(key), targets)
// without keeping the plan: each row's positions are worked out and used at
// once, by the key's arithmetic and kernel. For a half rendered once, this
// is the whole cost of the plan and far less than building and applying it.
void remapOnce(const RemapPlanKey& key, std::span<const HalfTarget> targets, int threads = 0,
               const RowProgress& progress = {});

// A plan in the form a plane of YCbCr reads fastest, for the frames of a
// video: per sample the source sample above and left of its position and
// the two 10-bit bilinear weights (8 bytes), worked out once from the plan's
// positions; the few samples whose neighbours straddle the source's edge
// keep their positions. Applying it is then a gather and a blend per sample,
// with no position to decode. Only bilinear plans on sources up to 65533
// samples a side are taken.
class PlaneRemap {
public:
    const RemapPlanKey& key() const { return key_; }
    int size() const { return key_.samples(); }
    // The source plane it reads: the eye's image on the plan's grid.
    int sourceWidth() const { return sourceWidth_; }
    int sourceHeight() const { return sourceHeight_; }
    size_t bytes() const;
    // Output row `row` of the half (one of the plan's rows) from `source`,
    // size() samples into `out`; neighbours beyond the source are `black`.
    // With `paired` (a plane of the source's size and row step), it goes
    // through the same samples into `pairedOut` in the same pass.
    void blendRow(int row, const cv::Mat& source, uint8_t black, uint8_t* out, const cv::Mat* paired = nullptr,
                  uint8_t* pairedOut = nullptr) const;
    // The same for a plane of 16-bit samples (10-bit video holds its levels
    // in the low bits of 16): the same source samples and 10-bit weights,
    // the blend rounded alike, sample by sample.
    void blendRow16(int row, const cv::Mat& source, uint16_t black, uint16_t* out) const;

private:
    friend std::shared_ptr<const PlaneRemap> buildPlaneRemap(const RemapPlanKey&, int);
    PlaneRemap() = default;
    RemapPlanKey key_;
    int sourceWidth_ = 0, sourceHeight_ = 0;
    // Two words per sample, a row's n positions then its n weights: the
    // source sample (column | row << 16; the column kPlaneBlackSample for
    // black, kPlaneEdgeSample for a position kept in edges_) and the weights
    // (across | down << 16).
    std::vector<uint32_t> samples_;
    std::vector<SourcePosition> edges_;  // row after row, in the order of their samples
    std::vector<size_t> edgeStart_;      // per row: its first entry in edges_, plus the end
};

// The samples of the plan `key` describes, straight from its positions,
// without building and decoding the plan first: for a video, whose frames
// need the planes' form only.
std::shared_ptr<const PlaneRemap> buildPlaneRemap(const RemapPlanKey& key, int threads = 0);

// One plane of YCbCr 4:2:0 (luma or one chroma plane) of a half, remapped,
// in 8-bit samples (CV_8UC1) or 16-bit ones (CV_16UC1, as 10-bit video holds
// them), source and output alike: `source` holds the camera's plane,
// `output` the side-by-side plane, whose
// columns 0 .. size()-1 are the left half's and size() .. 2 size()-1 the
// right's. A neighbour outside the source takes `black` (the range's black
// luma, or neutral chroma), so that the rim fades to YCbCr black as the
// picture's pixels fade to black.
struct PlaneTarget {
    const PlaneRemap* remap = nullptr;
    const cv::Mat* source = nullptr;  // CV_8UC1 or CV_16UC1
    cv::Mat* output = nullptr;        // of the source's type
    uint16_t black = 0;               // at most 255 for 8-bit planes
    // A second plane through the same samples (a frame's Cr beside its Cb),
    // blended in the same pass so that the samples are read once for both.
    const cv::Mat* pairedSource = nullptr;  // the type and size of `source`
    cv::Mat* pairedOutput = nullptr;        // the type and size of `output`
};

// Writes every target's rows (bilinear, rounded to the nearest level), all
// targets' rows shared out over `threads` threads. The bytes do not depend
// on the thread count.
void applyPlaneRemaps(std::span<const PlaneTarget> targets, int threads = 0);

// Whether the default arithmetic has a vectorised lens for this eye. An eye
// it declines is mapped by projectToImage itself, pixel by pixel (and
// snapped to the same grid).
bool vectorisedLens(const EyeGeometry& eye);

}  // namespace vistereo
