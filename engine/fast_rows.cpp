// The default row arithmetic, compiled once per vector instruction set and
// dispatched to the best one the processor offers.
#include "engine/fast_rows.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "engine/fast_rows.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "engine/params.h"
#include "engine/samplers.h"

HWY_BEFORE_NAMESPACE();
namespace vistereo {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Only plain IEEE operations (multiply, add, subtract, divide, square root),
// each correctly rounded, in the order of the scalar code: the same doubles
// whatever the vector width.
bool RowPositions(const FastRow& r, double* outX, double* outY, double* outZ, double* outColumn, double* outRow) {
    const hn::ScalableTag<double> d;
    using V = hn::Vec<decltype(d)>;
    const size_t lanes = hn::Lanes(d);
    const size_t end = paddedLength(r.n);

    const V negSinPsi = hn::Set(d, -r.sinPsi), sinPsi = hn::Set(d, r.sinPsi);
    const V cp = hn::Set(d, r.cp), sp = hn::Set(d, r.sp), cr = hn::Set(d, r.cr), sr = hn::Set(d, r.sr);
    const V cw = hn::Set(d, r.cw), sw = hn::Set(d, r.sw);
    const V cpZ = hn::Set(d, r.cp * r.cosPsi), spZ = hn::Set(d, r.sp * r.cosPsi);
    const double* a = r.pointsAlignment;
    const V lx = hn::Set(d, a[0]), ly = hn::Set(d, a[1]), lz = hn::Set(d, a[2]);
    const V cb = hn::Set(d, a[3]), sb = hn::Set(d, a[4]), omcb = hn::Set(d, a[5]);
    const V nx = hn::Set(d, a[6]), ny = hn::Set(d, a[7]), nz = hn::Set(d, a[8]);
    const V ca = hn::Set(d, a[9]), sa = hn::Set(d, a[10]), omca = hn::Set(d, a[11]);
    const double* m = r.matrix;
    const V one = hn::Set(d, 1.0), half = hn::Set(d, 0.5), tiny = hn::Set(d, 1e-200);
    const V twoR = hn::Set(d, r.twoR), mHalfPi = hn::Set(d, r.mHalfPi), pi = hn::Set(d, kPi);
    const V axisX = hn::Set(d, r.axisX), axisY = hn::Set(d, r.axisY);

    auto onAxis = hn::FirstN(d, 0);
    for (size_t j = 0; j < end; j += lanes) {
        // Grid direction, then pitch, roll and yaw.
        const V x = hn::Mul(negSinPsi, hn::LoadU(d, r.cosLambda + j));
        const V y = hn::Mul(sinPsi, hn::LoadU(d, r.sinLambda + j));
        const V y1 = hn::Sub(hn::Mul(cp, y), spZ);
        const V z1 = hn::Add(cpZ, hn::Mul(sp, y));
        const V x2 = hn::Sub(hn::Mul(cr, x), hn::Mul(sr, z1));
        const V z2 = hn::Add(hn::Mul(cr, z1), hn::Mul(sr, x));
        const V y3 = hn::Sub(hn::Mul(cw, y1), hn::Mul(sw, x2));
        const V x3 = hn::Add(hn::Mul(cw, x2), hn::Mul(sw, y1));
        V fx = x3, fy = y3, fz = z2;
        if (r.undo == 1) {
            // Angle -beta about aL, then -alpha about n.
            const V t = hn::Mul(hn::Add(hn::Add(hn::Mul(x3, lx), hn::Mul(y3, ly)), hn::Mul(z2, lz)), omcb);
            const V ex = hn::Sub(hn::Add(hn::Mul(t, lx), hn::Mul(x3, cb)),
                                 hn::Mul(hn::Sub(hn::Mul(z2, ly), hn::Mul(y3, lz)), sb));
            const V ey = hn::Sub(hn::Add(hn::Mul(t, ly), hn::Mul(y3, cb)),
                                 hn::Mul(hn::Sub(hn::Mul(x3, lz), hn::Mul(z2, lx)), sb));
            const V ez = hn::Sub(hn::Add(hn::Mul(t, lz), hn::Mul(z2, cb)),
                                 hn::Mul(hn::Sub(hn::Mul(y3, lx), hn::Mul(x3, ly)), sb));
            const V u = hn::Mul(hn::Add(hn::Add(hn::Mul(ey, ny), hn::Mul(ex, nx)), hn::Mul(ez, nz)), omca);
            fy = hn::Sub(hn::Add(hn::Mul(u, ny), hn::Mul(ey, ca)), hn::Mul(hn::Sub(hn::Mul(ex, nz), hn::Mul(ez, nx)), sa));
            fz = hn::Sub(hn::Add(hn::Mul(u, nz), hn::Mul(ez, ca)), hn::Mul(hn::Sub(hn::Mul(ey, nx), hn::Mul(ex, ny)), sa));
            fx = hn::Sub(hn::Add(hn::Mul(u, nx), hn::Mul(ex, ca)), hn::Mul(hn::Sub(hn::Mul(ez, ny), hn::Mul(ey, nz)), sa));
        } else if (r.undo == 2) {
            // The transpose of the right-to-left matrix.
            fx = hn::Add(hn::Add(hn::Mul(hn::Set(d, m[0]), x3), hn::Mul(hn::Set(d, m[3]), y3)), hn::Mul(hn::Set(d, m[6]), z2));
            fy = hn::Add(hn::Add(hn::Mul(hn::Set(d, m[1]), x3), hn::Mul(hn::Set(d, m[4]), y3)), hn::Mul(hn::Set(d, m[7]), z2));
            fz = hn::Add(hn::Add(hn::Mul(hn::Set(d, m[2]), x3), hn::Mul(hn::Set(d, m[5]), y3)), hn::Mul(hn::Set(d, m[8]), z2));
        }
        hn::StoreU(fx, d, outX + j);
        hn::StoreU(fy, d, outY + j);
        hn::StoreU(fz, d, outZ + j);
        if (r.lens == 0) continue;

        const V across2 = hn::Add(hn::Mul(fx, fx), hn::Mul(fz, fz));
        const auto hasAzimuth = hn::Gt(across2, tiny);
        if (j < static_cast<size_t>(r.n)) onAxis = hn::Or(onAxis, hn::And(hn::Not(hasAzimuth), hn::FirstN(d, r.n - j)));
        const V inverse = hn::Div(one, hn::Sqrt(across2));
        const V g = r.lens == 1 ? hn::Sqrt(hn::Mul(hn::Sub(one, fy), hn::Add(one, fy)))
                                : hn::Sqrt(hn::Mul(hn::Sub(one, fy), half));
        const V s = hn::Mul(twoR, hn::Mul(g, mHalfPi));
        hn::StoreU(hn::Add(hn::Div(hn::Mul(hn::Mul(fx, inverse), s), pi), axisX), d, outColumn + j);
        hn::StoreU(hn::Sub(axisY, hn::Div(hn::Mul(hn::Mul(fz, inverse), s), pi)), d, outRow + j);
    }
    return !hn::AllFalse(d, onAxis);
}

// The four-pixel blend of a row, the three channels of a pixel side by side
// in one vector: per channel the same double operations in the same order as
// the scalar blend, so the same bytes. Pixels at the image's last column or
// row (whose missing neighbours are black) and positions outside take the
// scalar blend.
void BlendRow(const sampling::SourceView& src, const SourcePosition* positions, int n, uint8_t* out) {
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_AVX3
    const hn::FixedTag<double, 4> d;
    const hn::Rebind<int32_t, decltype(d)> di;
    const hn::Rebind<uint8_t, decltype(d)> du8;
    using V = hn::Vec<decltype(d)>;
    // The blend reads 4 bytes per neighbour, one past its pixel: never past
    // the last byte of the image.
    const uint8_t* end = src.height > 0 ? src.data + src.step * (src.height - 1) + 3 * static_cast<size_t>(src.width)
                                        : src.data;
    auto load = [&](const uint8_t* p) -> V { return hn::PromoteTo(d, hn::PromoteTo(di, hn::LoadU(du8, p))); };
    for (int j = 0; j < n; ++j, out += 3) {
        const double column = positions[j].column, row = positions[j].row;
        if (column >= 0.0 && row >= 0.0 && column < src.width - 1 && row < src.height - 1) {
            const int32_t c0 = static_cast<int32_t>(column), r0 = static_cast<int32_t>(row);
            const uint8_t* p00 = src.data + static_cast<size_t>(r0) * src.step + 3 * static_cast<size_t>(c0);
            const uint8_t* p10 = p00 + src.step;
            if (p10 + 7 <= end) {
                const double fx = column - c0, fy = row - r0;
                const V wx = hn::Set(d, fx), gx = hn::Set(d, 1.0 - fx), wy = hn::Set(d, fy), gy = hn::Set(d, 1.0 - fy);
                const V top = hn::Add(hn::Mul(load(p00 + 3), wx), hn::Mul(load(p00), gx));
                const V bottom = hn::Add(hn::Mul(load(p10 + 3), wx), hn::Mul(load(p10), gx));
                const V v = hn::Add(hn::Mul(bottom, wy), hn::Mul(top, gy));
                uint8_t bytes[4];
                hn::StoreU(hn::DemoteTo(du8, hn::DemoteTo(di, v)), du8, bytes);  // truncated toward zero
                out[0] = bytes[0], out[1] = bytes[1], out[2] = bytes[2];
                continue;
            }
        }
        sampling::blendInto(src, column, row, out);
    }
#else
    for (int j = 0; j < n; ++j, out += 3) sampling::blendInto(src, positions[j].column, positions[j].row, out);
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace vistereo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vistereo {
namespace {

struct RowFunctions {
    bool (*positions)(const FastRow&, double*, double*, double*, double*, double*);
    void (*blend)(const sampling::SourceView&, const SourcePosition*, int, uint8_t*);
};

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
    if (avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw"))
        return {&N_AVX3::RowPositions, &N_AVX3::BlendRow};
#endif
#if HWY_TARGETS & HWY_AVX2
    if (avx2) return {&N_AVX2::RowPositions, &N_AVX2::BlendRow};
#endif
    return {&HWY_STATIC_DISPATCH(RowPositions), &HWY_STATIC_DISPATCH(BlendRow)};
}

const RowFunctions& rowFunctions() {
    static const RowFunctions chosen = chooseRowFunctions();
    return chosen;
}

}  // namespace

bool fastRowPositions(const FastRow& row, double* dx, double* dy, double* dz, double* column, double* rowOut) {
    return rowFunctions().positions(row, dx, dy, dz, column, rowOut);
}

void blendRow(const sampling::SourceView& source, const SourcePosition* positions, int n, uint8_t* out) {
    rowFunctions().blend(source, positions, n, out);
}
}  // namespace vistereo
#endif
