// Building a half's remap plan and applying it.
//
// The exact arithmetic works a row out with everything that does not change
// from pixel to pixel taken out of the pixel loop (the zenith rotation's
// sines once per plan, the row angle once per row, the column angles once
// per plan in a table) and every angle through acos, atan2 and projectToImage;
// no operation is reordered or fused (the build forbids FMA contraction), so
// its positions are the reference path's bit for bit. The default arithmetic
// computes the same directions on vectors (engine/fast_rows.h), the lens
// in the same vectors, and snaps every position down to the fixed-point grid
// the compact form stores, so that a plan's positions are the same whether
// they are stored and decoded or used as they are worked out.
//
// A half rendered once (remapOnce) never stores its plan: each thread works
// out a row of positions into its own few rows of memory and blends it at
// once, which spares the coding, the decoding and the plan's memory.
#include "engine/plan.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <mutex>

#include "engine/colour.h"
#include "engine/fast_rows.h"
#include "engine/samplers.h"
#include "engine/half_turn.h"

namespace vistereo {
namespace {

using namespace sampling;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- the compact form ----------------------------------------------------------

// Positions are held as ((floor(p) + kBias) << F) | fraction, F fractional
// bits, so that the kernels' reach left of and above the image (down to -6)
// is representable; floor and sign survive exactly.
constexpr int kBias = 8;
constexpr int16_t kWhole = std::numeric_limits<int16_t>::min();  // the position is in the side list
constexpr int16_t kBlack = kWhole + 1;                            // nothing to read: black
constexpr int kMaxFractionBits = 20;

int fractionBitsFor(const EyeGeometry& e) {
    const uint64_t span = static_cast<uint64_t>(std::max({e.imageWidth, e.imageHeight, 0})) + 2 * kBias;
    return std::clamp(32 - static_cast<int>(std::bit_width(span)), 0, kMaxFractionBits);
}

struct FixedPoint {
    int bits;
    double scale, inverse, limit;
    explicit FixedPoint(int f)
        : bits(f), scale(std::ldexp(1.0, f)), inverse(std::ldexp(1.0, -f)), limit(std::ldexp(1.0, 32 - f) - kBias) {}

    // False for NaN and for positions out of reach of every kernel.
    bool encode(double p, uint32_t& q) const {
        if (!(p >= -kBias && p < limit)) return false;
        double whole = static_cast<double>(static_cast<int64_t>(p));  // floor, without the library call
        if (whole > p) whole -= 1.0;
        q = (static_cast<uint32_t>(static_cast<int64_t>(whole) + kBias) << bits) |
            static_cast<uint32_t>((p - whole) * scale);
        return true;
    }
    double decode(uint32_t q) const {
        const uint32_t mask = (uint32_t{1} << bits) - 1u;
        return static_cast<double>(static_cast<int32_t>(q >> bits) - kBias) + static_cast<double>(q & mask) * inverse;
    }
};

// ---- row positions -----------------------------------------------------------

// A thread's rows of working memory: the directions and the positions of one row.
struct RowArrays {
    std::vector<double> x, y, z, column, row;
    explicit RowArrays(int n) : x(paddedLength(n)), y(x.size()), z(x.size()), column(x.size()), row(x.size()) {}
};

// The positions of every pixel of a row of one half, by either arithmetic.
// The pixel-independent values are worked out once here.
class RowGeometry {
public:
    RowGeometry(const RemapPlanKey& key, int fractionBits)
        : key_(key), n_(key.samples()), height_(key.outputHeight), grid_(key.grid) {
        const size_t padded = paddedLength(n_);
        sinLambda_.assign(padded, 0.0);
        cosLambda_.assign(padded, 0.0);
        for (int j = 0; j < n_; ++j) {
            const double lambda = gridAngle(j, grid_.outputX);
            sinLambda_[j] = std::sin(lambda);
            cosLambda_[j] = std::cos(lambda);
        }
        fast_.n = n_;
        fast_.sinLambda = sinLambda_.data();
        fast_.cosLambda = cosLambda_.data();
        // The default arithmetic turns every direction by the half's one matrix.
        const RotationMatrix& turn = key.turn.matrix();
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) fast_.turn[3 * r + c] = turn.m[r][c];
        const EyeGeometry& e = key.eye;
        snapEye_ = e;
        if (vectorisedLens(e)) {
            fast_.lens = e.mapping == MappingKind::Quadratic ? RowLens::Quadratic
                         : e.sineK == 1.0                    ? RowLens::SineOne
                         : e.sineK == 0.5                    ? RowLens::SineHalf
                                                             : RowLens::SineK;
            // A picture that stands upright only once turned: the vectors' lens takes the azimuth from x and z,
            // so the quarter turns go into the matrix (rows swapped and negated, exactly), and the directions
            // left to the angles are already turned.
            quarterTurnRows(e.quarterTurns, fast_.turn);
            snapEye_.quarterTurns = 0;
        }
        fast_.sineK = e.sineK;
        fast_.law = e.quadratic;
        const double r = e.radius180;
        fast_.twoR = r + r;
        fast_.mHalfPi = e.mappingScale * kHalfPi;
        fast_.axisX = e.axisX;
        fast_.axisY = e.axisY;
        if (!key.exact) {
            const FixedPoint fixed(fractionBits);
            fast_.gridScale = fixed.scale, fast_.gridInverse = fixed.inverse;
            fast_.gridLow = -kBias, fast_.gridHigh = fixed.limit;
        }
    }

    int width() const { return n_; }

    // Row i's positions into rows.column and rows.row: the default
    // arithmetic's on the fixed-point grid, or the exact ones.
    void positions(int i, RowArrays& rows) const {
        double *column = rows.column.data(), *row = rows.row.data();
        if (key_.exact) return exactPositions(i, column, row);
        FastRow fast = fast_;
        const double psi = gridAngle(i, grid_.outputY);
        fast.sinPsi = std::sin(psi);
        fast.cosPsi = std::cos(psi);
        double *x = rows.x.data(), *y = rows.y.data(), *z = rows.z.data();
        const bool onAxis = fastRowPositions(fast, x, y, z, column, row);
        if (fast.lens == RowLens::ByCaller) {
            for (int j = 0; j < n_; ++j) snapByAngles({x[j], y[j], z[j]}, column[j], row[j]);
        } else if (onAxis) {
            for (int j = 0; j < n_; ++j) {
                const Vec3 d = fast.direction(j);
                if (!(d.x * d.x + d.z * d.z > 1e-200)) snapByAngles(d, column[j], row[j]);
            }
        }
        if (!grid_.wholePixels()) toSourceGrid(column, row, true);
    }

private:
    // The angle of output column (or row) k of the grid: the product first,
    // then the division, on whole pixels exactly as the reference writes it.
    double gridAngle(int k, double offset) const {
        if (grid_.wholePixels()) return (k * kPi) / static_cast<double>(height_);
        return ((grid_.step * static_cast<double>(k) + offset) * kPi) / static_cast<double>(height_);
    }

    // Source positions in luma pixels moved to the source's sample grid (and
    // back onto the fixed-point grid for the default arithmetic).
    void toSourceGrid(double* column, double* row, bool snap) const {
        const double scale = 1.0 / grid_.step;
        const FastRow& f = fast_;
        for (int j = 0; j < n_; ++j) {
            double c = (column[j] - grid_.sourceX) * scale, r = (row[j] - grid_.sourceY) * scale;
            if (snap && !key_.exact) {
                c = std::floor(c * f.gridScale) * f.gridInverse;
                r = std::floor(r * f.gridScale) * f.gridInverse;
            }
            column[j] = c, row[j] = r;
        }
    }

    SourcePosition byAngles(double x, double y, double z) const {
        return projectToImage(key_.eye, std::acos(y), std::atan2(z, x));
    }

    // The azimuth's quarter turns in the matrix's x and z rows: x' = -z,
    // z' = x for each quarter turn.
    static void quarterTurnRows(int32_t quarters, double* m) {
        for (int q = 0; q < (quarters & 3); ++q)
            for (int c = 0; c < 3; ++c) {
                const double x = m[c], z = m[6 + c];
                m[c] = -z, m[6 + c] = x;
            }
    }

    // A pixel the vectors leave to the angles (no azimuth, or a lens they do
    // not know), snapped to the grid as the vectors snap theirs.
    void snapByAngles(const Vec3& d, double& column, double& row) const {
        const SourcePosition p = projectToImage(snapEye_, std::acos(d.y), std::atan2(d.z, d.x));
        const FastRow& f = fast_;
        if (p.column >= f.gridLow && p.column < f.gridHigh && p.row >= f.gridLow && p.row < f.gridHigh) {
            column = std::floor(p.column * f.gridScale) * f.gridInverse;
            row = std::floor(p.row * f.gridScale) * f.gridInverse;
        } else {
            column = row = kNaN;
        }
    }

    // The exact positions of row i: the grid direction, turned step by step
    // as zenithDirection and undoAlignment turn it, then the angles.
    void exactPositions(int i, double* column, double* row) const {
        const double psi = gridAngle(i, grid_.outputY);
        const double sinPsi = std::sin(psi), z = std::cos(psi);
        const HalfTurn& turn = key_.turn;
        const double cpZ = turn.cosPitchTimes(z), spZ = turn.sinPitchTimes(z);
        for (int j = 0; j < n_; ++j) {
            const Vec3 d = turn.turnExactly(-sinPsi * cosLambda_[j], sinPsi * sinLambda_[j], cpZ, spZ);
            const SourcePosition p = byAngles(d.x, d.y, d.z);
            column[j] = p.column, row[j] = p.row;
        }
        if (!grid_.wholePixels()) toSourceGrid(column, row, false);
    }

    const RemapPlanKey& key_;
    int n_;       // samples across a row of the grid
    int height_;  // the half's height in pixels, which the grid angles divide
    SampleGrid grid_;
    std::vector<double> sinLambda_, cosLambda_;
    FastRow fast_;
    EyeGeometry snapEye_;  // the eye for the directions the vectors leave to the angles
};

// ---- the row coding ------------------------------------------------------------

// The line through the two previous positions of a row, shared by the coder
// and the decoder so that both predict the same value.
struct RowPredictor {
    bool started = false;
    uint32_t c1 = 0, c2 = 0, r1 = 0, r2 = 0;
    uint32_t column() const { return 2u * c1 - c2; }
    uint32_t row() const { return 2u * r1 - r2; }
    void take(uint32_t c, uint32_t r) {
        c2 = started ? c1 : c, r2 = started ? r1 : r;
        c1 = c, r1 = r;
        started = true;
    }
};

// Codes one row of positions (already on the grid, or NaN): deviations
// (2 per pixel) and whole positions.
void encodeRow(const FixedPoint& fixed, const double* columns, const double* rows, int n, int16_t* deviations,
               std::vector<uint32_t>& whole) {
    whole.clear();
    RowPredictor line;
    for (int j = 0; j < n; ++j, deviations += 2) {
        uint32_t c, r;
        if (!fixed.encode(columns[j], c) || !fixed.encode(rows[j], r)) {
            deviations[0] = kBlack, deviations[1] = 0;
            continue;
        }
        const int32_t dc = static_cast<int32_t>(c - line.column()), dr = static_cast<int32_t>(r - line.row());
        if (line.started && dc > kBlack && dc <= INT16_MAX && dr >= INT16_MIN && dr <= INT16_MAX) {
            deviations[0] = static_cast<int16_t>(dc), deviations[1] = static_cast<int16_t>(dr);
        } else {
            deviations[0] = kWhole, deviations[1] = 0;
            whole.push_back(c);
            whole.push_back(r);
        }
        line.take(c, r);
    }
}

// ---- threads and progress -----------------------------------------------------

// Runs rows [first, first + count) in small bands on the requested number of
// threads. The progress callback runs on whichever thread finished a band,
// under a lock, with the number of rows finished so far; a value is reported
// only when it exceeds the last one reported. makeWorker is called once per
// thread, before its first band, so that each thread owns its scratch.
template <class MakeWorker>
void runRowBands(int first, int count, Half half, int threads, const RowProgress& progress,
                 const MakeWorker& makeWorker) {
    if (count <= 0) return;
    const int workers = std::min(resolveThreadCount(threads), count);
    const int band = std::clamp(count / (workers * 16), 1, 16);
    std::atomic<int> rowsDone{0};
    std::mutex lock;
    int reported = 0;
    parallelChunks(count, band, workers, [&]() -> ChunkBody {
        auto body = makeWorker();
        return [&, body](int begin, int end) mutable {
            for (int i = begin; i < end; ++i) body(first + i);
            const int done = rowsDone.fetch_add(end - begin) + (end - begin);
            if (progress) {
                std::lock_guard<std::mutex> guard(lock);
                const int latest = std::max(done, rowsDone.load());
                if (latest > reported) {
                    reported = latest;
                    progress(half, latest, count);
                }
            }
        };
    });
}

void checkOutput(const cv::Mat& output, int n, int64_t columnsNeeded) {
    CV_Assert(output.type() == CV_8UC3 && output.rows >= n && output.cols >= columnsNeeded);
}

// Writes rows of a half in every target from a row's positions, through the
// key's kernel.
class HalfWriter {
public:
    HalfWriter(const RemapPlanKey& key, std::span<const HalfTarget> targets) : n_(key.outputHeight) {
        CV_Assert(key.grid.wholePixels());
        const int eye = key.half == Half::Left ? 0 : 1;
        for (const HalfTarget& t : targets) {
            const cv::Mat& output = *t.output;
            CV_Assert(t.firstRow >= 0 && t.firstRow <= key.rows.first);
            checkOutput(output, key.rows.first + key.rows.count - t.firstRow, (eye + 1) * static_cast<int64_t>(n_));
            lanes_.push_back({viewOf(*t.source, key.eye.imageWidth, key.eye.imageHeight), output.data, output.step[0],
                              t.colour && !t.colour->isIdentity() ? t.colour : nullptr, t.firstRow});
        }
        columnOffset_ = 3 * static_cast<size_t>(eye * n_);
        kernel_ = key.interpolation;
        // The wider kernels leave out what lies beyond 90 degrees off the axis.
        const EyeGeometry& e = key.eye;
        if (kernel_ != Interpolation::Bilinear) {
            const RimCircle rim = rimCircle(e);
            const double rimRadius = rim.radius + 0.5;
            cubic_ = {&cubicTable(), rim.column, rim.row, rimRadius * rimRadius};
            lanczos_ = {&lanczosTable(), cubic_.axisX, cubic_.axisY, cubic_.rim2};
        }
    }

    // Output row i of every target from the positions of its n pixels.
    void write(int i, const double* columns, const double* rows) const {
        for (const Lane& lane : lanes_) {
            uint8_t* out = lane.data + static_cast<size_t>(i - lane.firstRow) * lane.step + columnOffset_;
            switch (kernel_) {
                case Interpolation::Bilinear: blendRow(lane.src, columns, rows, n_, out); break;
                case Interpolation::Bicubic: sampleRow(cubic_, lane.src, columns, rows, out); break;
                case Interpolation::Lanczos: sampleRow(lanczos_, lane.src, columns, rows, out); break;
            }
            // The eye's colour correction while the row is still in the cache.
            if (lane.colour) correctRow(*lane.colour, out, columns, rows, n_);
        }
    }

private:
    struct Lane {
        SourceView src;
        uint8_t* data;
        size_t step;
        const EyeColourCorrection* colour;  // null: nothing to correct
        int firstRow;                       // the half's row in the output's first
    };
    static const KernelTable<4>& cubicTable() {
        static const KernelTable<4> table = makeTable<4>(keysCubic);
        return table;
    }
    static const KernelTable<6>& lanczosTable() {
        static const KernelTable<6> table = makeTable<6>(lanczos3);
        return table;
    }
    template <class Sampler>
    void sampleRow(const Sampler& sampler, const SourceView& src, const double* columns, const double* rows,
                   uint8_t* out) const {
        for (int j = 0; j < n_; ++j, out += 3) sampler.sample(src, columns[j], rows[j], out);
    }

    int n_;
    std::vector<Lane> lanes_;
    size_t columnOffset_ = 0;
    Interpolation kernel_ = Interpolation::Bilinear;
    KernelSampler<4> cubic_{};
    KernelSampler<6> lanczos_{};
};

// ---- planes ----------------------------------------------------------------------

// The side lists of rows worked out apart, joined row after row into one,
// with each row's first entry and the end.
template <class T>
void joinRows(const std::vector<std::vector<T>>& ofRow, std::vector<T>& all, std::vector<size_t>& start) {
    start.resize(ofRow.size() + 1);
    size_t total = 0;
    for (size_t i = 0; i < ofRow.size(); ++i) start[i] = total, total += ofRow[i].size();
    start[ofRow.size()] = total;
    all.reserve(total);
    for (const auto& row : ofRow) all.insert(all.end(), row.begin(), row.end());
}

constexpr int kWeightBits = kPlaneWeightBits, kWeightOne = 1 << kWeightBits;

inline uint8_t blendWeights(int p00, int p01, int p10, int p11, int fx, int fy) {
    const int top = p00 * (kWeightOne - fx) + p01 * fx, bottom = p10 * (kWeightOne - fx) + p11 * fx;
    return static_cast<uint8_t>((top * (kWeightOne - fy) + bottom * fy + (1 << (2 * kWeightBits - 1))) >>
                                (2 * kWeightBits));
}

// The same blend of 16-bit samples: the rows' sums reach 2^26, their blend
// 2^36, so it is summed in 64 bits.
inline uint16_t blendWeights16(int p00, int p01, int p10, int p11, int fx, int fy) {
    const int64_t top = p00 * (kWeightOne - fx) + p01 * fx, bottom = p10 * (kWeightOne - fx) + p11 * fx;
    return static_cast<uint16_t>((top * (kWeightOne - fy) + bottom * fy + (int64_t{1} << (2 * kWeightBits - 1))) >>
                                 (2 * kWeightBits));
}

// The 10-bit weights of a position's fraction past its sample (c0, r0).
inline int weightOf(double p, int p0) { return static_cast<int>((p - p0) * kWeightOne); }

// The bilinear blend of one position of an 8-bit plane, rounded to the
// nearest level; neighbours outside the plane take `black`, and a position
// with no neighbour inside is black.
uint8_t blendPlaneSample(const cv::Mat& plane, double c, double r, uint8_t black) {
    const int w = plane.cols, h = plane.rows;
    if (!(c > -1.0 && r > -1.0 && c < w && r < h)) return black;  // NaN too
    // floor, for positions above -1, without the library call
    const int c0 = static_cast<int>(c + 1.0) - 1, r0 = static_cast<int>(r + 1.0) - 1;
    const auto at = [&](int y, int x) -> int { return x >= 0 && y >= 0 && x < w && y < h ? plane.at<uint8_t>(y, x) : black; };
    return blendWeights(at(r0, c0), at(r0, c0 + 1), at(r0 + 1, c0), at(r0 + 1, c0 + 1), weightOf(c, c0), weightOf(r, r0));
}

// The same for a plane of 16-bit samples.
uint16_t blendPlaneSample16(const cv::Mat& plane, double c, double r, uint16_t black) {
    const int w = plane.cols, h = plane.rows;
    if (!(c > -1.0 && r > -1.0 && c < w && r < h)) return black;  // NaN too
    const int c0 = static_cast<int>(c + 1.0) - 1, r0 = static_cast<int>(r + 1.0) - 1;
    const auto at = [&](int y, int x) -> int { return x >= 0 && y >= 0 && x < w && y < h ? plane.at<uint16_t>(y, x) : black; };
    return blendWeights16(at(r0, c0), at(r0, c0 + 1), at(r0 + 1, c0), at(r0 + 1, c0 + 1), weightOf(c, c0),
                          weightOf(r, r0));
}

}  // namespace

size_t PlaneRemap::bytes() const {
    return samples_.size() * sizeof(uint32_t) + edges_.size() * sizeof(SourcePosition) + edgeStart_.size() * sizeof(size_t);
}

namespace {

// The stored samples of a plane's remap: per row its samples' positions,
// then their weights, and the positions kept for the samples whose
// neighbours straddle the source's edge.
struct PlaneSamples {
    int width = 0, height = 0;  // of the source plane
    std::vector<uint32_t> samples;
    std::vector<SourcePosition> edges;
    std::vector<size_t> edgeStart;
};

// The samples from the positions `positions(row, scratch)` writes into
// scratch.column and scratch.row, row by row on `threads` threads.
template <class Positions>
PlaneSamples planeSamples(const RemapPlanKey& key, int threads, const Positions& positions) {
    CV_Assert(key.interpolation == Interpolation::Bilinear && key.grid.step >= 1);
    const int step = key.grid.step, n = key.samples(), rows = key.rows.count;
    CV_Assert(n >= 0 && key.rows.first >= 0 && rows >= 0 && key.rows.first + int64_t{rows} <= n);
    PlaneSamples out;
    const int w = (key.eye.imageWidth + step - 1) / step, h = (key.eye.imageHeight + step - 1) / step;
    CV_Assert(w < static_cast<int>(kPlaneEdgeSample) && h < static_cast<int>(kPlaneEdgeSample));
    out.width = w, out.height = h;
    out.samples.resize(2 * static_cast<size_t>(n) * rows);
    std::vector<std::vector<SourcePosition>> edgesOfRow(rows);
    const double lastColumn = w - 1.0, lastRow = h - 1.0;
    runRowBands(key.rows.first, rows, key.half, threads, {}, [&] {
        auto scratch = std::make_shared<RowArrays>(n);
        return [&, scratch](int i) {
            const size_t index = static_cast<size_t>(i - key.rows.first);
            positions(i, *scratch);
            uint32_t* position = out.samples.data() + 2 * index * n;
            uint32_t* weights = position + n;
            for (int j = 0; j < n; ++j) {
                const double c = scratch->column[j], r = scratch->row[j];
                if (!(c > -1.0 && r > -1.0 && c < w && r < h)) {
                    position[j] = kPlaneBlackSample, weights[j] = 0;
                } else if (c >= 0.0 && r >= 0.0 && c < lastColumn && r < lastRow) {
                    const int c0 = static_cast<int>(c), r0 = static_cast<int>(r);
                    position[j] = static_cast<uint32_t>(c0) | static_cast<uint32_t>(r0) << 16;
                    weights[j] = static_cast<uint32_t>(weightOf(c, c0)) | static_cast<uint32_t>(weightOf(r, r0)) << 16;
                } else {
                    position[j] = kPlaneEdgeSample, weights[j] = 0;
                    edgesOfRow[index].push_back({c, r});
                }
            }
        };
    });
    joinRows(edgesOfRow, out.edges, out.edgeStart);
    return out;
}

}  // namespace

std::shared_ptr<const PlaneRemap> buildPlaneRemap(const RemapPlanKey& key, int threads) {
    // The plan's own positions, worked out row by row and taken at once.
    const RowGeometry geometry(key, key.exact ? 0 : fractionBitsFor(key.eye));
    PlaneSamples made = planeSamples(key, threads, [&](int row, RowArrays& scratch) { geometry.positions(row, scratch); });
    std::shared_ptr<PlaneRemap> remap(new PlaneRemap);
    remap->key_ = key;
    remap->sourceWidth_ = made.width, remap->sourceHeight_ = made.height;
    remap->samples_ = std::move(made.samples), remap->edges_ = std::move(made.edges);
    remap->edgeStart_ = std::move(made.edgeStart);
    return remap;
}

void PlaneRemap::blendRow(int row, const cv::Mat& source, uint8_t black, uint8_t* out, const cv::Mat* paired,
                          uint8_t* pairedOut) const {
    if (paired && paired->step[0] != source.step[0]) {
        // Rows laid out apart: one plane after the other.
        blendRow(row, source, black, out);
        blendRow(row, *paired, black, pairedOut);
        return;
    }
    const size_t index = static_cast<size_t>(row - key_.rows.first);
    const int n = size();
    const uint32_t* sample = samples_.data() + 2 * index * n;
    const SourcePosition* edge = edges_.data() + edgeStart_[index];
    const size_t step = source.step[0];
    const PlaneSource plane{source.data, step, source.cols, source.rows};
    const uint8_t* pairedData = paired ? paired->data : nullptr;
    // Runs of samples the vectors take, and between them the groups they
    // leave, sample by sample, here.
    constexpr int kByHand = 16;
    int j = 0;
    while (j < n) {
        j = blendPlaneSamples(plane, sample, j, n, black, out, pairedData, pairedOut);
        for (const int end = std::min(n, j + kByHand); j < end; ++j) {
            const uint32_t position = sample[j], weights = sample[n + j];
            const uint32_t x = position & 0xFFFF;
            if (x < kPlaneEdgeSample) {
                const size_t at = (position >> 16) * step + x;
                const int fx = static_cast<int>(weights & 0xFFFF), fy = static_cast<int>(weights >> 16);
                const auto blend = [&](const uint8_t* p) { return blendWeights(p[0], p[1], p[step], p[step + 1], fx, fy); };
                out[j] = blend(source.data + at);
                if (paired) pairedOut[j] = blend(pairedData + at);
            } else if (x == kPlaneBlackSample) {
                out[j] = black;
                if (paired) pairedOut[j] = black;
            } else {
                out[j] = blendPlaneSample(source, edge->column, edge->row, black);
                if (paired) pairedOut[j] = blendPlaneSample(*paired, edge->column, edge->row, black);
                ++edge;
            }
        }
    }
}

void PlaneRemap::blendRow16(int row, const cv::Mat& source, uint16_t black, uint16_t* out) const {
    const size_t index = static_cast<size_t>(row - key_.rows.first);
    const int n = size();
    const uint32_t* sample = samples_.data() + 2 * index * n;
    const SourcePosition* edge = edges_.data() + edgeStart_[index];
    const size_t step = source.step[0] / sizeof(uint16_t);
    const uint16_t* data = source.ptr<uint16_t>();
    for (int j = 0; j < n; ++j) {
        const uint32_t position = sample[j], weights = sample[n + j];
        const uint32_t x = position & 0xFFFF;
        if (x < kPlaneEdgeSample) {
            const uint16_t* p = data + (position >> 16) * step + x;
            out[j] = blendWeights16(p[0], p[1], p[step], p[step + 1], static_cast<int>(weights & 0xFFFF),
                                    static_cast<int>(weights >> 16));
        } else if (x == kPlaneBlackSample) {
            out[j] = black;
        } else {
            out[j] = blendPlaneSample16(source, edge->column, edge->row, black);
            ++edge;
        }
    }
}

void applyPlaneRemaps(std::span<const PlaneTarget> targets, int threads) {
    // Every target's rows in one sequence, so that one set of threads shares them out.
    std::vector<int> firstItem;
    int items = 0;
    for (const PlaneTarget& t : targets) {
        const PlaneRemap& remap = *t.remap;
        const int n = remap.size(), column = remap.key().half == Half::Left ? 0 : n;
        const RowRange& rows = remap.key().rows;
        CV_Assert((t.source->type() == CV_8UC1 || t.source->type() == CV_16UC1) &&
                  t.output->type() == t.source->type());
        CV_Assert(t.source->type() == CV_16UC1 || t.black <= 255);
        CV_Assert(t.source->cols == remap.sourceWidth() && t.source->rows == remap.sourceHeight());
        CV_Assert(t.output->cols >= column + n && t.output->rows >= rows.first + rows.count);
        CV_Assert(!t.pairedSource == !t.pairedOutput);
        if (t.pairedSource) {
            CV_Assert(t.pairedSource->type() == t.source->type() && t.pairedSource->size() == t.source->size());
            CV_Assert(t.pairedOutput->type() == t.source->type() && t.pairedOutput->size() == t.output->size());
        }
        firstItem.push_back(items);
        items += rows.count;
    }
    if (items == 0) return;
    const int workers = std::min(resolveThreadCount(threads), items);
    const int band = std::clamp(items / (workers * 16), 1, 16);
    parallelChunks(items, band, workers, [&]() -> ChunkBody {
        return [&](int begin, int end) {
            size_t t = 0;
            for (int item = begin; item < end; ++item) {
                while (t + 1 < firstItem.size() && item >= firstItem[t + 1]) ++t;
                const PlaneTarget& target = targets[t];
                const PlaneRemap& remap = *target.remap;
                const int i = remap.key().rows.first + (item - firstItem[t]);
                const int column = remap.key().half == Half::Left ? 0 : remap.size();
                if (target.source->type() == CV_16UC1) {
                    remap.blendRow16(i, *target.source, target.black, target.output->ptr<uint16_t>(i) + column);
                    if (target.pairedSource)
                        remap.blendRow16(i, *target.pairedSource, target.black,
                                         target.pairedOutput->ptr<uint16_t>(i) + column);
                    continue;
                }
                uint8_t* out = target.output->ptr<uint8_t>(i) + column;
                uint8_t* pairedOut = target.pairedOutput ? target.pairedOutput->ptr<uint8_t>(i) + column : nullptr;
                remap.blendRow(i, *target.source, static_cast<uint8_t>(target.black), out, target.pairedSource,
                               pairedOut);
            }
        };
    });
}

bool vectorisedLens(const EyeGeometry& eye) {
    // The sine laws and the quadratic by their fixed arithmetic; the newer
    // projections and corrected lenses go through projectToImage.
    return usesFixedArithmetic(eye);
}

RemapPlanKey remapPlanKey(const ConversionGeometry& geometry, Half half, const HalfTurn& turn,
                          Interpolation interpolation, bool exact) {
    RemapPlanKey key;
    key.eye = geometry.eye[half == Half::Left ? 0 : 1];
    key.half = half;
    key.turn = turn;
    key.outputHeight = geometry.outputHeight;
    key.rows = {0, std::max(0, geometry.outputHeight)};
    key.interpolation = interpolation;
    key.exact = exact;
    return key;
}

size_t RemapPlan::bytes() const {
    return exact_.size() * sizeof(SourcePosition) + deviationCount_ * sizeof(int16_t) +
           whole_.size() * sizeof(uint32_t) + wholeStart_.size() * sizeof(size_t);
}

void RemapPlan::rowPositions(int row, SourcePosition* out) const {
    const int n = size();
    std::vector<double> columns(n), rows(n);
    rowPositions(row, columns.data(), rows.data());
    for (int j = 0; j < n; ++j) out[j] = {columns[j], rows[j]};
}

void RemapPlan::rowPositions(int row, double* columns, double* rows) const {
    const int n = size();
    CV_Assert(row >= key_.rows.first && row < key_.rows.first + key_.rows.count);
    const size_t index = static_cast<size_t>(row - key_.rows.first);
    if (key_.exact) {
        const SourcePosition* p = exact_.data() + index * n;
        for (int j = 0; j < n; ++j) columns[j] = p[j].column, rows[j] = p[j].row;
        return;
    }
    const FixedPoint fixed(fractionBits_);
    const int16_t* deviation = deviations_.get() + 2 * index * n;
    const uint32_t* whole = whole_.data() + wholeStart_[index];
    RowPredictor line;
    for (int j = 0; j < n; ++j, deviation += 2) {
        uint32_t c, r;
        if (deviation[0] == kBlack) {
            columns[j] = rows[j] = kNaN;
            continue;
        }
        if (deviation[0] == kWhole) {
            c = whole[0], r = whole[1];
            whole += 2;
        } else {
            c = line.column() + static_cast<uint32_t>(static_cast<int32_t>(deviation[0]));
            r = line.row() + static_cast<uint32_t>(static_cast<int32_t>(deviation[1]));
        }
        line.take(c, r);
        columns[j] = fixed.decode(c), rows[j] = fixed.decode(r);
    }
}

std::shared_ptr<const RemapPlan> buildRemapPlan(const RemapPlanKey& key, int threads, const RowProgress& progress) {
    const int n = key.samples();
    CV_Assert(key.grid.step >= 1);
    CV_Assert(n >= 0 && key.rows.first >= 0 && key.rows.count >= 0 && key.rows.first + int64_t{key.rows.count} <= n);
    std::shared_ptr<RemapPlan> plan(new RemapPlan);
    plan->key_ = key;
    const int rows = key.rows.count;
    if (n == 0 || rows == 0) return plan;
    if (!key.exact) plan->fractionBits_ = fractionBitsFor(key.eye);
    const RowGeometry geometry(plan->key_, plan->fractionBits_);
    const size_t pixels = static_cast<size_t>(n) * rows;
    auto indexOf = [&](int row) { return static_cast<size_t>(row - key.rows.first); };

    if (key.exact) {
        plan->exact_.resize(pixels);
        runRowBands(key.rows.first, rows, key.half, threads, progress, [&] {
            auto scratch = std::make_shared<RowArrays>(n);
            return [&, scratch](int row) {
                geometry.positions(row, *scratch);
                SourcePosition* out = plan->exact_.data() + indexOf(row) * n;
                for (int j = 0; j < n; ++j) out[j] = {scratch->column[j], scratch->row[j]};
            };
        });
        return plan;
    }

    const FixedPoint fixed(plan->fractionBits_);
    plan->deviationCount_ = 2 * pixels;
    plan->deviations_.reset(new int16_t[plan->deviationCount_]);
    std::vector<std::vector<uint32_t>> wholeOfRow(rows);
    runRowBands(key.rows.first, rows, key.half, threads, progress, [&] {
        auto scratch = std::make_shared<RowArrays>(n);
        return [&, scratch](int row) {
            const size_t index = indexOf(row);
            geometry.positions(row, *scratch);
            encodeRow(fixed, scratch->column.data(), scratch->row.data(), n, plan->deviations_.get() + 2 * index * n,
                      wholeOfRow[index]);
        };
    });
    joinRows(wholeOfRow, plan->whole_, plan->wholeStart_);
    return plan;
}

void applyRemapPlan(const RemapPlan& plan, std::span<const HalfTarget> targets, int threads,
                    const RowProgress& progress) {
    const RemapPlanKey& key = plan.key();
    const int n = key.outputHeight;
    if (n <= 0 || key.rows.count <= 0 || targets.empty()) return;
    const HalfWriter writer(key, targets);
    runRowBands(key.rows.first, key.rows.count, key.half, threads, progress, [&] {
        auto scratch = std::make_shared<RowArrays>(n);
        return [&, scratch](int i) {
            plan.rowPositions(i, scratch->column.data(), scratch->row.data());
            writer.write(i, scratch->column.data(), scratch->row.data());
        };
    });
}

void remapOnce(const RemapPlanKey& key, std::span<const HalfTarget> targets, int threads, const RowProgress& progress) {
    const int n = key.outputHeight;
    CV_Assert(n >= 0 && key.rows.first >= 0 && key.rows.count >= 0 && key.rows.first + int64_t{key.rows.count} <= n);
    if (n == 0 || key.rows.count == 0 || targets.empty()) return;
    const HalfWriter writer(key, targets);
    const RowGeometry geometry(key, key.exact ? 0 : fractionBitsFor(key.eye));
    runRowBands(key.rows.first, key.rows.count, key.half, threads, progress, [&] {
        auto scratch = std::make_shared<RowArrays>(n);
        return [&, scratch](int i) {
            geometry.positions(i, *scratch);
            writer.write(i, scratch->column.data(), scratch->row.data());
        };
    });
}

}  // namespace vistereo
