// Building a half's remap plan and applying it.
//
// The exact arithmetic works a row out with everything that does not change
// from pixel to pixel taken out of the pixel loop (the zenith rotation's
// sines once per plan, the row angle once per row, the column angles once
// per plan in a table) and every angle through acos, atan2 and projectToImage;
// no operation is reordered or fused (the build forbids FMA contraction), so
// its positions are the reference path's bit for bit. The default arithmetic
// computes the same directions on vectors (engine/fast_rows.h) and replaces
// the trigonometry of the azimuth and of the two common lens sines by
// algebraic identities.
#include "engine/plan.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <mutex>

#include "engine/fast_rows.h"
#include "engine/samplers.h"

namespace vistereo {
namespace {

using namespace sampling;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- row positions -----------------------------------------------------------

// The positions of every pixel of a row of one half, by either arithmetic.
// The pixel-independent values are worked out once here.
class RowGeometry {
public:
    explicit RowGeometry(const RemapPlanKey& key) : key_(key), n_(key.outputHeight) {
        const size_t padded = paddedLength(n_);
        sinLambda_.assign(padded, 0.0);
        cosLambda_.assign(padded, 0.0);
        const double nd = n_;
        for (int j = 0; j < n_; ++j) {
            const double lambda = (j * kPi) / nd;
            sinLambda_[j] = std::sin(lambda);
            cosLambda_[j] = std::cos(lambda);
        }
        const ZenithAngles& z = key.zenith;
        fast_.n = n_;
        fast_.sinLambda = sinLambda_.data();
        fast_.cosLambda = cosLambda_.data();
        fast_.cp = std::cos(z.pitch), fast_.sp = std::sin(z.pitch);
        fast_.cr = std::cos(z.roll), fast_.sr = std::sin(z.roll);
        fast_.cw = std::cos(z.yaw), fast_.sw = std::sin(z.yaw);
        if (const auto* a = std::get_if<AlignmentRotation>(&key.alignment)) {
            fast_.undo = 1;
            const double values[] = {a->aL.x, a->aL.y, a->aL.z, a->cosBeta, a->sinBeta, a->oneMinusCosBeta, a->n.x,
                                     a->n.y, a->n.z, a->cosAlpha, a->sinAlpha, a->oneMinusCosAlpha};
            std::copy(std::begin(values), std::end(values), fast_.pointsAlignment);
        } else if (const auto* m = std::get_if<RotationMatrix>(&key.alignment)) {
            fast_.undo = 2;
            std::copy(&m->m[0][0], &m->m[0][0] + 9, fast_.matrix);
        }
        const EyeGeometry& e = key.eye;
        vectorised_ = vectorisedLens(e);
        const bool sine = vectorised_ && e.mapping != MappingKind::Quadratic;
        fast_.lens = sine && e.sineK == 1.0 ? 1 : sine && e.sineK == 0.5 ? 2 : 0;
        const double r = e.radius180;
        fast_.twoR = r + r;
        fast_.mHalfPi = e.mappingScale * kHalfPi;
        fast_.axisX = e.axisX;
        fast_.axisY = e.axisY;
    }

    int width() const { return n_; }

    // A thread's working rows for the default arithmetic.
    struct Scratch {
        std::vector<double> x, y, z, column, row;
        explicit Scratch(int n) : x(paddedLength(n)), y(x.size()), z(x.size()), column(x.size()), row(x.size()) {}
    };

    void positions(int i, SourcePosition* out, Scratch& scratch) const {
        if (key_.exact) return exactPositions(i, out);
        FastRow row = fast_;
        const double psi = (i * kPi) / static_cast<double>(n_);
        row.sinPsi = std::sin(psi);
        row.cosPsi = std::cos(psi);
        double *x = scratch.x.data(), *y = scratch.y.data(), *z = scratch.z.data();
        const bool onAxis = fastRowPositions(row, x, y, z, scratch.column.data(), scratch.row.data());
        if (row.lens != 0) {
            for (int j = 0; j < n_; ++j) out[j] = {scratch.column[j], scratch.row[j]};
            if (onAxis)
                for (int j = 0; j < n_; ++j)
                    if (!(x[j] * x[j] + z[j] * z[j] > 1e-200)) out[j] = byAngles(x[j], y[j], z[j]);
        } else if (vectorised_) {
            for (int j = 0; j < n_; ++j) out[j] = byAzimuthFactors(x[j], y[j], z[j]);
        } else {
            for (int j = 0; j < n_; ++j) out[j] = byAngles(x[j], y[j], z[j]);
        }
    }

private:
    SourcePosition byAngles(double x, double y, double z) const {
        return projectToImage(key_.eye, std::acos(y), std::atan2(z, x));
    }

    // The lens sine of acos(y) as it is, the azimuth's cosine and sine as
    // x / |(x, z)| and z / |(x, z)|. A direction on the axis line has no
    // azimuth and takes the angles.
    SourcePosition byAzimuthFactors(double x, double y, double z) const {
        const double across2 = x * x + z * z;
        if (!(across2 > 1e-200)) return byAngles(x, y, z);
        const double inverse = 1.0 / std::sqrt(across2);
        const EyeGeometry& e = key_.eye;
        const double g = e.mapping == MappingKind::Quadratic ? lensRadius(e.quadratic, static_cast<float>(std::acos(y)))
                                                             : std::sin(std::acos(y) * e.sineK);
        const double s = fast_.twoR * (g * fast_.mHalfPi);
        return {x * inverse * s / kPi + fast_.axisX, fast_.axisY - z * inverse * s / kPi};
    }

    // Grid direction, pitch, roll, yaw and the alignment, term for term as
    // zenithDirection and undoAlignment write them, then the angles.
    void exactPositions(int i, SourcePosition* out) const {
        const double psi = (i * kPi) / static_cast<double>(n_);
        const double sinPsi = std::sin(psi), z = std::cos(psi);
        const FastRow& f = fast_;
        const double cpZ = f.cp * z, spZ = f.sp * z;
        const auto* points = std::get_if<AlignmentRotation>(&key_.alignment);
        const auto* matrix = std::get_if<RotationMatrix>(&key_.alignment);
        for (int j = 0; j < n_; ++j) {
            const double x = -sinPsi * cosLambda_[j];
            const double y = sinPsi * sinLambda_[j];
            const double y1 = f.cp * y - spZ;
            const double z1 = cpZ + f.sp * y;
            const double x2 = f.cr * x - f.sr * z1;
            const double z2 = f.cr * z1 + f.sr * x;
            const double y3 = f.cw * y1 - f.sw * x2;
            const double x3 = f.cw * x2 + f.sw * y1;
            Vec3 d{x3, y3, z2};
            if (points) d = undoAlignment(*points, d);
            if (matrix) d = undoRotation(*matrix, d);
            out[j] = byAngles(d.x, d.y, d.z);
        }
    }

    const RemapPlanKey& key_;
    int n_;
    bool vectorised_ = false;
    std::vector<double> sinLambda_, cosLambda_;
    FastRow fast_;
};

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

// Codes one row of positions: deviations (2 per pixel) and whole positions.
void encodeRow(const FixedPoint& fixed, const SourcePosition* positions, int n, int16_t* deviations,
               std::vector<uint32_t>& whole) {
    whole.clear();
    RowPredictor line;
    for (int j = 0; j < n; ++j, deviations += 2) {
        uint32_t c, r;
        if (!fixed.encode(positions[j].column, c) || !fixed.encode(positions[j].row, r)) {
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

}  // namespace

bool vectorisedLens(const EyeGeometry& eye) {
    // The sine laws and the quadratic by their fixed arithmetic; the newer
    // projections and corrected lenses go through projectToImage.
    return usesFixedArithmetic(eye);
}

RemapPlanKey remapPlanKey(const ConversionGeometry& geometry, Half half, const HalfAlignment& alignment,
                          Interpolation interpolation, bool exact) {
    RemapPlanKey key;
    key.eye = geometry.eye[half == Half::Left ? 0 : 1];
    key.half = half;
    if (half == Half::Right) key.alignment = alignment;
    key.outputHeight = geometry.outputHeight;
    key.rows = {0, std::max(0, geometry.outputHeight)};
    key.zenith = geometry.zenith;
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
    CV_Assert(row >= key_.rows.first && row < key_.rows.first + key_.rows.count);
    const size_t index = static_cast<size_t>(row - key_.rows.first);
    if (key_.exact) {
        std::copy_n(exact_.data() + index * n, n, out);
        return;
    }
    const FixedPoint fixed(fractionBits_);
    const int16_t* deviation = deviations_.get() + 2 * index * n;
    const uint32_t* whole = whole_.data() + wholeStart_[index];
    RowPredictor line;
    for (int j = 0; j < n; ++j, deviation += 2) {
        uint32_t c, r;
        if (deviation[0] == kBlack) {
            out[j] = {kNaN, kNaN};
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
        out[j] = {fixed.decode(c), fixed.decode(r)};
    }
}

std::shared_ptr<const RemapPlan> buildRemapPlan(const RemapPlanKey& key, int threads, const RowProgress& progress) {
    const int n = key.outputHeight;
    CV_Assert(n >= 0 && key.rows.first >= 0 && key.rows.count >= 0 && key.rows.first + int64_t{key.rows.count} <= n);
    std::shared_ptr<RemapPlan> plan(new RemapPlan);
    plan->key_ = key;
    const int rows = key.rows.count;
    if (n == 0 || rows == 0) return plan;
    const RowGeometry geometry(plan->key_);
    const size_t pixels = static_cast<size_t>(n) * rows;
    auto indexOf = [&](int row) { return static_cast<size_t>(row - key.rows.first); };

    if (key.exact) {
        plan->exact_.resize(pixels);
        runRowBands(key.rows.first, rows, key.half, threads, progress, [&] {
            auto scratch = std::make_shared<RowGeometry::Scratch>(0);
            return [&, scratch](int row) { geometry.positions(row, plan->exact_.data() + indexOf(row) * n, *scratch); };
        });
        return plan;
    }

    plan->fractionBits_ = fractionBitsFor(key.eye);
    const FixedPoint fixed(plan->fractionBits_);
    plan->deviationCount_ = 2 * pixels;
    plan->deviations_.reset(new int16_t[plan->deviationCount_]);
    std::vector<std::vector<uint32_t>> wholeOfRow(rows);
    runRowBands(key.rows.first, rows, key.half, threads, progress, [&] {
        auto scratch = std::make_shared<RowGeometry::Scratch>(n);
        auto positions = std::make_shared<std::vector<SourcePosition>>(n);
        return [&, scratch, positions](int row) {
            const size_t index = indexOf(row);
            geometry.positions(row, positions->data(), *scratch);
            encodeRow(fixed, positions->data(), n, plan->deviations_.get() + 2 * index * n, wholeOfRow[index]);
        };
    });
    plan->wholeStart_.resize(rows + 1);
    size_t total = 0;
    for (int i = 0; i < rows; ++i) plan->wholeStart_[i] = total, total += wholeOfRow[i].size();
    plan->wholeStart_[rows] = total;
    plan->whole_.reserve(total);
    for (const auto& w : wholeOfRow) plan->whole_.insert(plan->whole_.end(), w.begin(), w.end());
    return plan;
}

void applyRemapPlan(const RemapPlan& plan, std::span<const HalfTarget> targets, int threads,
                    const RowProgress& progress) {
    const RemapPlanKey& key = plan.key();
    const int n = key.outputHeight;
    if (n <= 0 || key.rows.count <= 0 || targets.empty()) return;
    const int eye = key.half == Half::Left ? 0 : 1;
    struct Lane {
        SourceView src;
        uint8_t* data;
        size_t step;
        const EyeColourCorrection* colour;  // null: nothing to correct
    };
    std::vector<Lane> lanes;
    for (const HalfTarget& t : targets) {
        checkOutput(*t.output, key.rows.first + key.rows.count, (eye + 1) * static_cast<int64_t>(n));
        lanes.push_back({viewOf(*t.source, key.eye.imageWidth, key.eye.imageHeight), t.output->data,
                         t.output->step[0], t.colour && !t.colour->isIdentity() ? t.colour : nullptr});
    }
    const size_t columnOffset = 3 * static_cast<size_t>(eye * n);
    // writeRow(source, positions, out) fills one row of a target's half; a
    // target's colour correction follows while the row is still in the cache.
    auto applyWith = [&](const auto& writeRow) {
        runRowBands(key.rows.first, key.rows.count, key.half, threads, progress, [&] {
            auto positions = std::make_shared<std::vector<SourcePosition>>(n);
            return [&, positions](int i) {
                plan.rowPositions(i, positions->data());
                for (const Lane& lane : lanes) {
                    uint8_t* out = lane.data + static_cast<size_t>(i) * lane.step + columnOffset;
                    writeRow(lane.src, positions->data(), out);
                    if (lane.colour) correctRow(*lane.colour, out, positions->data(), n);
                }
            };
        });
    };
    if (key.interpolation == Interpolation::Bilinear)
        return applyWith([n](const SourceView& src, const SourcePosition* positions, uint8_t* out) {
            blendRow(src, positions, n, out);
        });
    // The wider kernels leave out what lies beyond 90 degrees off the axis.
    const EyeGeometry& e = key.eye;
    const SourcePosition rim = projectToImage(e, kHalfPi, 0.0);
    const double rimRadius = std::abs(rim.column - e.axisX) + 0.5;
    const double ax = e.axisX, ay = e.axisY, rim2 = rimRadius * rimRadius;
    auto withKernel = [n](const auto& sampler) {
        return [n, sampler](const SourceView& src, const SourcePosition* positions, uint8_t* out) {
            for (int j = 0; j < n; ++j, out += 3) sampler.sample(src, positions[j].column, positions[j].row, out);
        };
    };
    if (key.interpolation == Interpolation::Bicubic) {
        static const KernelTable<4> cubic = makeTable<4>(keysCubic);
        applyWith(withKernel(KernelSampler<4>{&cubic, ax, ay, rim2}));
    } else {
        static const KernelTable<6> lanczos = makeTable<6>(lanczos3);
        applyWith(withKernel(KernelSampler<6>{&lanczos, ax, ay, rim2}));
    }
}

}  // namespace vistereo
