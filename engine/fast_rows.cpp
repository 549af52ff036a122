// The default row arithmetic, compiled once per vector instruction set and
// dispatched to the best one the processor offers; for the planes' blend
// also AVX-512 with its byte permutes (VBMI and the extensions that come
// with it), which read a group's neighbours out of a few source rows.
#define HWY_WANT_AVX3_DL
#include "engine/fast_rows.h"

#include <cpuid.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "engine/fast_rows.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>

#include "engine/params.h"
#include "engine/samplers.h"

HWY_BEFORE_NAMESPACE();
namespace vistereo {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The quadratic law at theta narrowed to single precision, segment by
// segment as lensRadius chooses them (t * t for pow(t, 2)), the value
// narrowed to single precision; 0 outside every segment and for NaN.
template <class D, class V>
HWY_INLINE V QuadraticRadius(D d, V theta, const QuadraticLaw& q) {
    const hn::Rebind<float, D> df;
    const V t = hn::PromoteTo(d, hn::DemoteTo(df, theta));
    const V t2 = hn::Mul(t, t);
    const V theta1 = hn::Set(d, q.theta1), theta2 = hn::Set(d, q.theta2), theta3 = hn::Set(d, q.theta3);
    auto segment = [&](double a, double b, double c) {
        return hn::Add(hn::Mul(t2, hn::Set(d, a)), hn::Add(hn::Mul(t, hn::Set(d, b)), hn::Set(d, c)));
    };
    // The first test that holds wins: the earlier segments are laid over the later ones.
    V value = hn::IfThenElseZero(hn::Ge(t, theta3), segment(q.a4, q.b4, q.c4));
    value = hn::IfThenElse(hn::And(hn::Ge(t, theta2), hn::Lt(t, theta3)), segment(q.a3, q.b3, q.c3), value);
    value = hn::IfThenElse(hn::And(hn::Ge(t, theta1), hn::Lt(t, theta2)), segment(q.a2, q.b2, q.c2), value);
    const V first = hn::Add(hn::Mul(t2, hn::Set(d, q.a1)), hn::Mul(t, hn::Set(d, q.b1)));  // no constant term
    value = hn::IfThenElse(hn::And(hn::Ge(t, hn::Zero(d)), hn::Lt(t, theta1)), first, value);
    return hn::PromoteTo(d, hn::DemoteTo(df, value));
}

// The directions in plain IEEE operations (multiply and add), the same
// doubles whatever the vector width; the lens and the snapping after them.
bool RowPositions(const FastRow& r, double* outX, double* outY, double* outZ, double* outColumn, double* outRow) {
    const hn::ScalableTag<double> d;
    using V = hn::Vec<decltype(d)>;
    const size_t lanes = hn::Lanes(d);
    const size_t end = paddedLength(r.n);

    // Per component k: (-sin psi turn[k][0]) cos lambda + (sin psi turn[k][1]) sin lambda + cos psi turn[k][2].
    V a[3], b[3], c[3];
    for (int k = 0; k < 3; ++k) {
        a[k] = hn::Set(d, -r.sinPsi * r.turn[3 * k]);
        b[k] = hn::Set(d, r.sinPsi * r.turn[3 * k + 1]);
        c[k] = hn::Set(d, r.cosPsi * r.turn[3 * k + 2]);
    }
    const V one = hn::Set(d, 1.0), half = hn::Set(d, 0.5), tiny = hn::Set(d, 1e-200), k = hn::Set(d, r.sineK);
    const V twoR = hn::Set(d, r.twoR), mHalfPi = hn::Set(d, r.mHalfPi), pi = hn::Set(d, kPi);
    const V axisX = hn::Set(d, r.axisX), axisY = hn::Set(d, r.axisY);
    const bool snap = r.gridScale != 0.0;
    const V gridScale = hn::Set(d, r.gridScale), gridInverse = hn::Set(d, r.gridInverse);
    const V gridLow = hn::Set(d, r.gridLow), gridHigh = hn::Set(d, r.gridHigh), nan = hn::NaN(d);

    auto onAxis = hn::FirstN(d, 0);
    for (size_t j = 0; j < end; j += lanes) {
        const V cosLambda = hn::LoadU(d, r.cosLambda + j), sinLambda = hn::LoadU(d, r.sinLambda + j);
        const V fx = hn::Add(hn::Add(hn::Mul(a[0], cosLambda), hn::Mul(b[0], sinLambda)), c[0]);
        const V fy = hn::Add(hn::Add(hn::Mul(a[1], cosLambda), hn::Mul(b[1], sinLambda)), c[1]);
        const V fz = hn::Add(hn::Add(hn::Mul(a[2], cosLambda), hn::Mul(b[2], sinLambda)), c[2]);
        if (r.lens == RowLens::ByCaller) {
            hn::StoreU(fx, d, outX + j);
            hn::StoreU(fy, d, outY + j);
            hn::StoreU(fz, d, outZ + j);
            continue;
        }
        // (The padding past n may report an axis pixel too: the caller only looks.)
        const V across2 = hn::Add(hn::Mul(fx, fx), hn::Mul(fz, fz));
        onAxis = hn::Or(onAxis, hn::Not(hn::Gt(across2, tiny)));
        const V inverse = hn::Div(one, hn::Sqrt(across2));
        V g;
        switch (r.lens) {
            case RowLens::SineOne: g = hn::Sqrt(hn::Mul(hn::Sub(one, fy), hn::Add(one, fy))); break;
            case RowLens::SineHalf: g = hn::Sqrt(hn::Mul(hn::Sub(one, fy), half)); break;
            case RowLens::SineK: g = hn::Sin(d, hn::Mul(hn::Acos(d, fy), k)); break;
            default: g = QuadraticRadius(d, hn::Acos(d, fy), r.law); break;
        }
        const V s = hn::Mul(twoR, hn::Mul(g, mHalfPi));
        V column = hn::Add(hn::Div(hn::Mul(hn::Mul(fx, inverse), s), pi), axisX);
        V row = hn::Sub(axisY, hn::Div(hn::Mul(hn::Mul(fz, inverse), s), pi));
        if (snap) {
            // p * 2^F, its floor and the product by 2^-F are exact: the very
            // fixed-point value the plan stores.
            const auto reach = hn::And(hn::And(hn::Ge(column, gridLow), hn::Lt(column, gridHigh)),
                                       hn::And(hn::Ge(row, gridLow), hn::Lt(row, gridHigh)));
            column = hn::IfThenElse(reach, hn::Mul(hn::Floor(hn::Mul(column, gridScale)), gridInverse), nan);
            row = hn::IfThenElse(reach, hn::Mul(hn::Floor(hn::Mul(row, gridScale)), gridInverse), nan);
        }
        hn::StoreU(column, d, outColumn + j);
        hn::StoreU(row, d, outRow + j);
    }
    return !hn::AllFalse(d, onAxis);
}

// How far ahead in the row the blend asks for the source pixels it will
// read: the row's positions are known, the lens curve's memory order is not
// one the processor's own prefetching follows.
constexpr int kAhead = 64;

// Asks the caches for the two source rows around a position, if inside.
HWY_INLINE void PrefetchPair(const sampling::SourceView& src, double column, double row) {
    if (column >= 0.0 && row >= 0.0 && column < src.width - 1 && row < src.height - 1) {
        const uint8_t* p = src.data + static_cast<size_t>(row) * src.step + 3 * static_cast<size_t>(column);
        __builtin_prefetch(p);
        __builtin_prefetch(p + src.step);
    }
}

// The same for a plane's stored samples from `begin` to `end`: every fourth
// sample's two source rows (its neighbours share lines with it), skipping
// black ones and those kept by their position; with `pairedData`, the second
// plane's too. About a fifth off a 4K frame's remap here. Where a group's
// rows are loaded whole and permuted (the byte-permute version), one sample
// a group is asked for, with the line after it in each row: the 64 bytes
// its window loads from each row span two lines, and the rows between the
// first sample's are mostly still in the cache from the output row before.
// Every fourth sample's rows there cost more in instructions than they
// save (a 4K frame about an eighth slower).
HWY_INLINE void PrefetchPlaneRows(const PlaneSource& src, const uint32_t* samples, int begin, int end,
                                  const uint8_t* pairedData) {
    constexpr bool kWholeRows = HWY_TARGET == HWY_AVX3_DL;
    for (int k = begin; k < end; k += kWholeRows ? 16 : 4) {
        const uint32_t position = samples[k];
        if ((position & 0xFFFF) >= kPlaneEdgeSample) continue;
        const size_t at = (position >> 16) * src.step + (position & 0xFFFF);
        __builtin_prefetch(src.data + at);
        __builtin_prefetch(src.data + at + src.step);
        if (pairedData) {
            __builtin_prefetch(pairedData + at);
            __builtin_prefetch(pairedData + at + src.step);
        }
        if (kWholeRows) {
            __builtin_prefetch(src.data + at + 64);
            __builtin_prefetch(src.data + at + src.step + 64);
            if (pairedData) {
                __builtin_prefetch(pairedData + at + 64);
                __builtin_prefetch(pairedData + at + src.step + 64);
            }
        }
    }
}

// The four-pixel blend of a row, several pixels side by side in one vector.
// A group whose pixels all have their four neighbours inside the image is
// blended here: each source row's pair of neighbours is gathered as two
// 32-bit words, one at the left pixel and one two bytes on, so that nothing
// past the pair is read; per channel the same double operations in the same
// order as the scalar blend give the same bytes. A group with a pixel at the
// image's last column or row (whose missing neighbours are black) or outside
// takes the scalar blend, pixel by pixel.
void BlendRow(const sampling::SourceView& src, const double* columns, const double* rows, int n, uint8_t* out) {
    const hn::ScalableTag<double> d;
    const hn::Rebind<int32_t, decltype(d)> di;
    using V = hn::Vec<decltype(d)>;
    using VI = hn::Vec<decltype(di)>;
    const int lanes = static_cast<int>(hn::Lanes(d));
    int j = 0;
    // Byte offsets are 32-bit: the vectors take images up to 2 GiB.
    const bool vectors = src.width >= 2 && src.height >= 2 &&
                         static_cast<uint64_t>(src.step) * static_cast<uint64_t>(src.height) < (uint64_t{1} << 31);
    if (vectors) {
        const int32_t* base = reinterpret_cast<const int32_t*>(src.data);
        const V zero = hn::Zero(d), one = hn::Set(d, 1.0), three = hn::Set(d, 3.0);
        const V lastColumn = hn::Set(d, src.width - 1.0), lastRow = hn::Set(d, src.height - 1.0);
        const V step = hn::Set(d, static_cast<double>(src.step));
        const VI byteMask = hn::Set(di, 0xFF), two = hn::Set(di, 2), below = hn::Set(di, static_cast<int32_t>(src.step));
        HWY_ALIGN int32_t words[hn::MaxLanes(decltype(di)())];
        for (; j + lanes <= n; j += lanes) {
            if (j + kAhead < n) PrefetchPair(src, columns[j + kAhead], rows[j + kAhead]);
            const V column = hn::LoadU(d, columns + j), row = hn::LoadU(d, rows + j);
            const auto inner = hn::And(hn::And(hn::Ge(column, zero), hn::Ge(row, zero)),
                                       hn::And(hn::Lt(column, lastColumn), hn::Lt(row, lastRow)));
            if (!hn::AllTrue(d, inner)) {
                for (int k = j; k < j + lanes; ++k) sampling::blendInto(src, columns[k], rows[k], out + 3 * k);
                continue;
            }
            const V c0 = hn::Trunc(column), r0 = hn::Trunc(row);
            const V fx = hn::Sub(column, c0), fy = hn::Sub(row, r0);
            const V gx = hn::Sub(one, fx), gy = hn::Sub(one, fy);
            const VI top = hn::DemoteTo(di, hn::Add(hn::Mul(r0, step), hn::Mul(c0, three)));  // exact
            const VI bottom = hn::Add(top, below);
            // Bytes B G R B from the left neighbour, R B G R from two bytes on.
            const VI p00 = hn::GatherOffset(di, base, top), p01 = hn::GatherOffset(di, base, hn::Add(top, two));
            const VI p10 = hn::GatherOffset(di, base, bottom), p11 = hn::GatherOffset(di, base, hn::Add(bottom, two));
            auto channel = [&](VI word, int shift) {
                return hn::PromoteTo(d, hn::And(hn::ShiftRightSame(word, shift), byteMask));
            };
            VI pixel = hn::Zero(di);
            for (int k = 0; k < 3; ++k) {
                const V v00 = channel(p00, 8 * k), v01 = channel(p01, 8 * k + 8);
                const V v10 = channel(p10, 8 * k), v11 = channel(p11, 8 * k + 8);
                const V v = hn::Add(hn::Mul(hn::Add(hn::Mul(v11, fx), hn::Mul(v10, gx)), fy),
                                    hn::Mul(hn::Add(hn::Mul(v01, fx), hn::Mul(v00, gx)), gy));
                pixel = hn::Or(pixel, hn::ShiftLeftSame(hn::DemoteTo(di, v), 8 * k));  // truncated toward zero
            }
            hn::Store(pixel, di, words);
            // Four bytes per pixel, each overwriting the spare byte of the one before; the last takes three.
            uint8_t* o = out + 3 * j;
            for (int k = 0; k + 1 < lanes; ++k) std::memcpy(o + 3 * k, words + k, 4);
            std::memcpy(o + 3 * (lanes - 1), words + lanes - 1, 3);
        }
    }
    for (; j < n; ++j) sampling::blendInto(src, columns[j], rows[j], out + 3 * j);
}

// The bilinear blend of a plane's stored samples, several side by side in
// one vector, from `begin` on. A group whose samples are all black or read
// their four neighbours at least three columns from the plane's right edge
// is blended here, by the scalar arithmetic's integers (so the same bytes):
// each source row's pair of neighbours gathered as one 32-bit word at the
// left neighbour (so nothing past the plane's last byte is read), its two
// bytes spread to two 16-bit lanes and weighted by one multiply-add with
// (1024 - f, f); the two rows' sums then in the form
// top * 1024 + (bottom - top) * f, equal to top * (1024 - f) + bottom * f.
// With `pairedData`, a second plane of the same size and row step (a
// frame's Cr beside its Cb) is blended through the same samples into
// `pairedOut` in the same pass, the samples read once for both. Stops at the
// first group with a sample it does not take (one kept by its position, or
// near the right edge) and at the row's last, partial group: returns where
// it stopped.
int BlendPlaneSamples(const PlaneSource& src, const uint32_t* samples, int begin, int n, uint8_t black,
                      uint8_t* out, const uint8_t* pairedData, uint8_t* pairedOut) {
    const hn::ScalableTag<uint32_t> du;
    const hn::Rebind<int32_t, decltype(du)> di;
    const hn::Rebind<uint8_t, decltype(du)> d8;
    using VI = hn::Vec<decltype(di)>;
    const int lanes = static_cast<int>(hn::Lanes(du));
    // Byte offsets are 32-bit, and a black sample reads the first two rows.
    if (src.width < 4 || src.height < 2 ||
        static_cast<uint64_t>(src.step) * static_cast<uint64_t>(src.height) >= (uint64_t{1} << 31))
        return begin;
    const int32_t* base = reinterpret_cast<const int32_t*>(src.data);
    const int32_t* pairedBase = reinterpret_cast<const int32_t*>(pairedData);
    const auto low = hn::Set(du, 0xFFFFu);
    const VI blackSample = hn::Set(di, static_cast<int32_t>(kPlaneBlackSample)), beyondReadable = hn::Set(di, src.width - 3);
    const VI step = hn::Set(di, static_cast<int32_t>(src.step));
    const VI half = hn::Set(di, 1 << (2 * kPlaneWeightBits - 1)), blackLevel = hn::Set(di, black);
#if HWY_TARGET == HWY_SCALAR
    const VI byteMask = hn::Set(di, 0xFF);
#else
    const hn::Repartition<int16_t, decltype(di)> d16;
    const hn::Repartition<uint8_t, decltype(di)> dBytes;
    const VI one = hn::Set(di, 1 << kPlaneWeightBits);
    // Bytes 0 and 1 of each 32-bit word to the low bytes of its two 16-bit
    // lanes, the high bytes zero (the byte table works within 16-byte blocks).
    HWY_ALIGN static constexpr uint8_t kSpread[64] = {
        0, 0x80, 1, 0x80, 4, 0x80, 5, 0x80, 8, 0x80, 9, 0x80, 12, 0x80, 13, 0x80,
        0, 0x80, 1, 0x80, 4, 0x80, 5, 0x80, 8, 0x80, 9, 0x80, 12, 0x80, 13, 0x80,
        0, 0x80, 1, 0x80, 4, 0x80, 5, 0x80, 8, 0x80, 9, 0x80, 12, 0x80, 13, 0x80,
        0, 0x80, 1, 0x80, 4, 0x80, 5, 0x80, 8, 0x80, 9, 0x80, 12, 0x80, 13, 0x80};
    const auto spread = hn::Load(dBytes, kSpread);
#endif
    const uint32_t* weightsOf = samples + n;
    int j = begin;
    for (; j + lanes <= n; j += lanes) {
        PrefetchPlaneRows(src, samples, j + kAhead, std::min(j + kAhead + lanes, n), pairedData);
#if HWY_TARGET == HWY_AVX3_DL
        // With the rows loaded whole, the plan's two streams (positions and
        // weights) are what the blend waits for most: their lines are asked
        // for eight ahead within the row (a 4K frame's remap about 6 % faster
        // on two threads, 1 % on one).
        constexpr int kPlanAhead = 128;  // samples: eight lines of each stream
        if (j + kPlanAhead < n) {
            __builtin_prefetch(samples + j + kPlanAhead);
            __builtin_prefetch(weightsOf + j + kPlanAhead);
        }
#endif
        const auto position = hn::LoadU(du, samples + j), weights = hn::LoadU(du, weightsOf + j);
        const VI column = hn::BitCast(di, hn::And(position, low)), row = hn::BitCast(di, hn::ShiftRight<16>(position));
        const auto blank = hn::Eq(column, blackSample);
        const auto read = hn::Lt(column, beyondReadable);
        if (!hn::AllTrue(di, hn::Or(blank, read))) break;
        const VI fx = hn::BitCast(di, hn::And(weights, low)), fy = hn::BitCast(di, hn::ShiftRight<16>(weights));
#if HWY_TARGET == HWY_SCALAR
        const auto across = [&](VI pair) {
            const VI p0 = hn::And(pair, byteMask), p1 = hn::And(hn::ShiftRight<8>(pair), byteMask);
            return hn::Add(hn::ShiftLeft<kPlaneWeightBits>(p0), hn::Mul(hn::Sub(p1, p0), fx));
        };
#else
        // (1024 - fx, fx) as the two 16-bit lanes of each word.
        const auto acrossWeights = hn::BitCast(d16, hn::Add(hn::ShiftLeft<16>(fx), hn::Sub(one, fx)));
        // A pair already in the two 16-bit lanes of its word, weighted.
        const auto weigh = [&](VI spreadPair) {
            VI unused = hn::Zero(di);
            return hn::RearrangeToOddPlusEven(
                hn::ReorderWidenMulAccumulate(di, hn::BitCast(d16, spreadPair), acrossWeights, hn::Zero(di), unused), unused);
        };
        const auto across = [&](VI pair) {
            return weigh(hn::BitCast(di, hn::TableLookupBytesOr0(hn::BitCast(dBytes, pair), spread)));
        };
#endif
        // The two rows' weighted pairs blended down and stored.
        const auto blend = [&](VI upper, VI lower, uint8_t* to) {
            const VI value = hn::ShiftRight<2 * kPlaneWeightBits>(
                hn::Add(hn::Add(hn::ShiftLeft<kPlaneWeightBits>(upper), hn::Mul(hn::Sub(lower, upper), fy)), half));
            hn::StoreU(hn::DemoteTo(d8, hn::IfThenElse(blank, blackLevel, value)), d8, to + j);
        };
#if HWY_TARGET == HWY_AVX3_DL
        // The most source rows a group's window of neighbours spans (kept
        // beside its one use: other targets would carry it unused).
        constexpr int kWindowRows = 8;
        // A group whose samples lie within 63 columns and a few rows of the
        // source (most of a lens's picture: neighbouring samples read
        // neighbouring pixels) loads those rows' 64 bytes once each and picks
        // every sample's pair of neighbours out of them by a byte permute,
        // instead of gathering the pairs one by one. The group's first and
        // last samples give the window: a group whose samples go beyond it
        // (the turn of a row's curve) is gathered.
        const uint32_t first = samples[j], last = samples[j + lanes - 1];
        const int32_t firstRow = static_cast<int32_t>(first >> 16), lastRow = static_cast<int32_t>(last >> 16);
        const int32_t left = static_cast<int32_t>(std::min(first & 0xFFFF, last & 0xFFFF));
        const int32_t top = std::min(firstRow, lastRow), rows = std::abs(lastRow - firstRow) + 1;
        const auto dc = hn::BitCast(du, hn::Sub(column, hn::Set(di, left)));
        const VI dr = hn::Sub(row, hn::Set(di, top));
        if (rows <= kWindowRows &&
            static_cast<size_t>(top + rows) * src.step + static_cast<size_t>(left) + 64 <= src.step * src.height &&
            hn::AllTrue(du, hn::Lt(dc, hn::Set(du, 63u))) &&
            hn::AllTrue(du, hn::Lt(hn::BitCast(du, dr), hn::Set(du, static_cast<uint32_t>(rows))))) {
            // Bytes 0 and 2 of each word: the left and right neighbours'
            // places in the window; bytes 1 and 3 are zeroed, so that the
            // pair lands spread in the word's two 16-bit lanes.
            const __m512i index = hn::Or(dc, hn::ShiftLeft<16>(hn::Add(dc, hn::Set(du, 1u)))).raw;
            const size_t at = static_cast<size_t>(top) * src.step + static_cast<size_t>(left);
            const auto pairs = [&](const uint8_t* plane, uint8_t* to) {
                const uint8_t* window = plane + at;
                const auto pick = [&](int k) {
                    return VI{_mm512_maskz_permutexvar_epi8(0x5555555555555555ull, index,
                                                             _mm512_loadu_si512(window + k * src.step))};
                };
                VI upper = pick(0), lower = hn::Zero(di);
                for (int k = 1; k <= rows; ++k) {
                    const VI pair = pick(k);
                    lower = hn::IfThenElse(hn::Eq(dr, hn::Set(di, k - 1)), pair, lower);
                    if (k < rows) upper = hn::IfThenElse(hn::Eq(dr, hn::Set(di, k)), pair, upper);
                }
                blend(weigh(upper), weigh(lower), to);
            };
            pairs(src.data, out);
            if (pairedData) pairs(pairedData, pairedOut);
            continue;
        }
#endif
        // The pairs one by one: each sample's byte offset in the plane, and the row below.
        const VI offset = hn::IfThenElseZero(read, hn::Add(hn::Mul(row, step), column));
        const VI below = hn::Add(offset, step);
        const auto gathered = [&](const int32_t* plane, uint8_t* to) {
            blend(across(hn::GatherOffset(di, plane, offset)), across(hn::GatherOffset(di, plane, below)), to);
        };
        gathered(base, out);
        if (pairedBase) gathered(pairedBase, pairedOut);
    }
    return j;
}

}  // namespace HWY_NAMESPACE
}  // namespace vistereo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vistereo {
namespace {

struct RowFunctions {
    bool (*positions)(const FastRow&, double*, double*, double*, double*, double*);
    void (*blend)(const sampling::SourceView&, const double*, const double*, int, uint8_t*);
    int (*planeBlend)(const PlaneSource&, const uint32_t*, int, int, uint8_t, uint8_t*, const uint8_t*, uint8_t*);
};

#if HWY_TARGETS & HWY_AVX3_DL
// Whether the processor has the extensions that come with AVX-512's byte
// permutes (VBMI, VBMI2, GFNI, VAES, VPCLMULQDQ, VNNI, BITALG, VPOPCNTDQ):
// leaf 7's ECX, read directly, as not every compiler's builtin names them all.
bool avx3Companions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    constexpr unsigned kNeeded = 1u << 1 | 1u << 6 | 1u << 8 | 1u << 9 | 1u << 10 | 1u << 11 | 1u << 12 | 1u << 14;
    return (ecx & kNeeded) == kNeeded;
}
#endif

// The widest compiled version the processor (and the operating system, which
// must save the wider registers) supports. Chosen here rather than through
// the Highway library's own dispatcher, so that nothing but these headers is
// needed: the program then also runs under tools that emulate the
// processor without AVX-512, such as valgrind.
RowFunctions chooseRowFunctions() {
    __builtin_cpu_init();
    // (Every processor with AVX2 has F16C, which neither compiler can ask about.)
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                      __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
#if HWY_TARGETS & HWY_AVX3
    const bool avx3 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
#if HWY_TARGETS & HWY_AVX3_DL
    if (avx3 && avx3Companions())
        // (The positions and the pixels' blend stay those of plain AVX-512.)
        return {&N_AVX3::RowPositions, &N_AVX3::BlendRow, &N_AVX3_DL::BlendPlaneSamples};
#endif
    if (avx3) return {&N_AVX3::RowPositions, &N_AVX3::BlendRow, &N_AVX3::BlendPlaneSamples};
#endif
#if HWY_TARGETS & HWY_AVX2
    if (avx2) return {&N_AVX2::RowPositions, &N_AVX2::BlendRow, &N_AVX2::BlendPlaneSamples};
#endif
    return {&HWY_STATIC_DISPATCH(RowPositions), &HWY_STATIC_DISPATCH(BlendRow), &HWY_STATIC_DISPATCH(BlendPlaneSamples)};
}

const RowFunctions& rowFunctions() {
    static const RowFunctions chosen = chooseRowFunctions();
    return chosen;
}

}  // namespace

bool fastRowPositions(const FastRow& row, double* dx, double* dy, double* dz, double* column, double* rowOut) {
    return rowFunctions().positions(row, dx, dy, dz, column, rowOut);
}

void blendRow(const sampling::SourceView& source, const double* column, const double* row, int n, uint8_t* out) {
    rowFunctions().blend(source, column, row, n, out);
}

int blendPlaneSamples(const PlaneSource& source, const uint32_t* samples, int begin, int n, uint8_t black,
                      uint8_t* out, const uint8_t* pairedData, uint8_t* pairedOut) {
    return rowFunctions().planeBlend(source, samples, begin, n, black, out, pairedData, pairedOut);
}
}  // namespace vistereo
#endif
