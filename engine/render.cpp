// Equirectangular rendering of both halves, with zenith correction and, for
// the right half, the alignment of the right camera onto the left one.
//
// The reference path evaluates every step for one pixel at a time, exactly
// as the geometry is written down. The threaded path in its exact mode
// computes the same doubles with everything that does not change from pixel
// to pixel taken out of the pixel loop (the zenith rotation's sines once per
// call, the row angle once per row, the column angle once per call in a
// table, the lens constants once per eye, the alignment once per call); no
// operation is reordered or fused (the build forbids FMA contraction), so
// its bytes are the reference's. Its default mode also replaces the
// trigonometry of the azimuth and of the two common lens sines by algebraic
// identities: the same positions up to rounding, at a fraction of the cost.
// Both modes split the rows over threads; a pixel's bytes never depend on
// which thread computes it.
#include "engine/render.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <memory>
#include <vector>

namespace vistereo {
namespace {

constexpr double kTruePi = 3.14159265358979323846;  // for the kernels' shapes only

// The source image as the sampler sees it: W x H pixels of 3 bytes.
struct SourceView {
    const uint8_t* data = nullptr;
    size_t step = 0;  // bytes per row
    int width = 0;
    int height = 0;
};

SourceView viewOf(const cv::Mat& source, int width, int height) {
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

double keysCubic(double x) {  // a = -0.5, support 2
    const double a = -0.5, t = std::abs(x);
    if (t < 1.0) return ((a + 2.0) * t - (a + 3.0)) * t * t + 1.0;
    if (t < 2.0) return ((a * t - 5.0 * a) * t + 8.0 * a) * t - 4.0 * a;
    return 0.0;
}

double lanczos3(double x) {  // sinc(x) sinc(x / 3), support 3
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

// Undoes the alignment: angle -beta about aL, then angle -alpha about n.
inline Vec3 undoAlignment(const AlignmentRotation& a, const Vec3& d) {
    const Vec3& l = a.aL;
    const double t = (d.x * l.x + d.y * l.y + d.z * l.z) * a.oneMinusCosBeta;
    const Vec3 e{(t * l.x + d.x * a.cosBeta) - (d.z * l.y - d.y * l.z) * a.sinBeta,
                 (t * l.y + d.y * a.cosBeta) - (d.x * l.z - d.z * l.x) * a.sinBeta,
                 (t * l.z + d.z * a.cosBeta) - (d.y * l.x - d.x * l.y) * a.sinBeta};
    const Vec3& n = a.n;
    const double u = (e.y * n.y + e.x * n.x + e.z * n.z) * a.oneMinusCosAlpha;
    Vec3 f;
    f.y = (u * n.y + e.y * a.cosAlpha) - (e.x * n.z - e.z * n.x) * a.sinAlpha;
    f.z = (u * n.z + e.z * a.cosAlpha) - (e.y * n.x - e.x * n.y) * a.sinAlpha;
    f.x = (u * n.x + e.x * a.cosAlpha) - (e.z * n.y - e.y * n.z) * a.sinAlpha;
    return f;
}

void checkOutput(const cv::Mat& output, int n, int64_t columnsNeeded) {
    CV_Assert(output.type() == CV_8UC3 && output.rows >= n && output.cols >= columnsNeeded);
}

// ---- fast path -------------------------------------------------------------

// Lens constants of one eye, the same doubles projectToImage forms per call.
// An eye outside the sine laws' and the quadratic's fixed arithmetic (a newer
// projection, or a corrected lens) goes through projectToImage itself.
struct EyeLens {
    const EyeGeometry* eye;
    const QuadraticLaw* law;
    bool general, quadratic;
    double k, twoR, mHalfPi, axisX, axisY;

    explicit EyeLens(const EyeGeometry& e) : eye(&e), law(&e.quadratic) {
        general = !usesFixedArithmetic(e);
        quadratic = e.mapping == MappingKind::Quadratic;
        k = e.sineK;
        const double r = e.radius180;
        twoR = r + r;
        mHalfPi = e.mappingScale * kHalfPi;
        axisX = e.axisX;
        axisY = e.axisY;
    }

    SourcePosition project(double theta, double phi) const {
        if (general) return projectToImage(*eye, theta, phi);
        const double g = quadratic ? lensRadius(*law, static_cast<float>(theta)) : std::sin(theta * k);
        const double s = twoR * (g * mHalfPi);
        return {std::cos(phi) * s / kPi + axisX, axisY - std::sin(phi) * s / kPi};
    }

    // The same position from the direction d itself, with the angles'
    // trigonometry replaced by identities: cos(atan2(z, x)) = x / |(x, z)|,
    // and sin(acos(y)) = sqrt((1 - y)(1 + y)), sin(acos(y) / 2) =
    // sqrt((1 - y) / 2) for the orthographic and equisolid sines (theta lies
    // in 0 .. pi, so these sines are never negative). A direction on the
    // axis line has no azimuth and takes the angle path.
    SourcePosition projectDirection(const Vec3& d) const {
        const double across2 = d.x * d.x + d.z * d.z;
        if (general || !(across2 > 1e-200)) return project(std::acos(d.y), std::atan2(d.z, d.x));
        const double inverse = 1.0 / std::sqrt(across2);
        double g;
        if (quadratic)
            g = lensRadius(*law, static_cast<float>(std::acos(d.y)));
        else if (k == 1.0)
            g = std::sqrt((1.0 - d.y) * (1.0 + d.y));
        else if (k == 0.5)
            g = std::sqrt((1.0 - d.y) * 0.5);
        else
            g = std::sin(std::acos(d.y) * k);
        const double s = twoR * (g * mHalfPi);
        return {d.x * inverse * s / kPi + axisX, axisY - d.z * inverse * s / kPi};
    }
};

// Turns an output direction back into the right camera's frame with the
// transpose of a right-to-left rotation.
inline Vec3 undoRotation(const RotationMatrix& r, const Vec3& d) {
    const auto& m = r.m;
    return {m[0][0] * d.x + m[1][0] * d.y + m[2][0] * d.z, m[0][1] * d.x + m[1][1] * d.y + m[2][1] * d.z,
            m[0][2] * d.x + m[1][2] * d.y + m[2][2] * d.z};
}

// How a half's directions reach its camera: unchanged (left eye), through the
// rotation from points A and B, or through a given rotation matrix.
enum class Undo { None, Points, Matrix };

// The geometry of one half: for every pixel of a row, the source position
// it reads. The pixel-independent values are worked out once here.
class HalfGeometry {
public:
    HalfGeometry(const ConversionGeometry& g, Half half, bool exact, const AlignmentRotation* points,
                 const RotationMatrix* matrix)
        : n_(g.outputHeight), lens_(g.eye[half == Half::Left ? 0 : 1]), exact_(exact) {
        if (points) {
            undo_ = Undo::Points;
            alignment_ = *points;
        } else if (matrix) {
            undo_ = Undo::Matrix;
            rotation_ = *matrix;
        }
        sinLambda_.resize(n_);
        cosLambda_.resize(n_);
        const double nd = n_;
        for (int j = 0; j < n_; ++j) {
            const double lambda = (j * kPi) / nd;
            sinLambda_[j] = std::sin(lambda);
            cosLambda_[j] = std::cos(lambda);
        }
        cp_ = std::cos(g.zenith.pitch), sp_ = std::sin(g.zenith.pitch);
        cr_ = std::cos(g.zenith.roll), sr_ = std::sin(g.zenith.roll);
        cw_ = std::cos(g.zenith.yaw), sw_ = std::sin(g.zenith.yaw);
    }

    int width() const { return n_; }

    // Positions of the n pixels of output row i, left to right.
    void rowPositions(int i, SourcePosition* out) const {
        switch (undo_) {
            case Undo::None:
                exact_ ? rowPositions<Undo::None, true>(i, out) : rowPositions<Undo::None, false>(i, out);
                break;
            case Undo::Points:
                exact_ ? rowPositions<Undo::Points, true>(i, out) : rowPositions<Undo::Points, false>(i, out);
                break;
            case Undo::Matrix:
                exact_ ? rowPositions<Undo::Matrix, true>(i, out) : rowPositions<Undo::Matrix, false>(i, out);
                break;
        }
    }

private:
    template <Undo Kind, bool Exact>
    void rowPositions(int i, SourcePosition* out) const {
        const double psi = (i * kPi) / static_cast<double>(n_);
        const double sinPsi = std::sin(psi), z = std::cos(psi);
        const double cpZ = cp_ * z, spZ = sp_ * z;
        const double* sinL = sinLambda_.data();
        const double* cosL = cosLambda_.data();
        for (int j = 0; j < n_; ++j) {
            // Grid direction, then pitch, roll and yaw, term for term as in
            // zenithDirection.
            const double x = -sinPsi * cosL[j];
            const double y = sinPsi * sinL[j];
            const double y1 = cp_ * y - spZ;
            const double z1 = cpZ + sp_ * y;
            const double x2 = cr_ * x - sr_ * z1;
            const double z2 = cr_ * z1 + sr_ * x;
            const double y3 = cw_ * y1 - sw_ * x2;
            const double x3 = cw_ * x2 + sw_ * y1;
            Vec3 d{x3, y3, z2};
            if constexpr (Kind == Undo::Points) d = undoAlignment(alignment_, d);
            if constexpr (Kind == Undo::Matrix) d = undoRotation(rotation_, d);
            if constexpr (Exact)
                out[j] = lens_.project(std::acos(d.y), std::atan2(d.z, d.x));
            else
                out[j] = lens_.projectDirection(d);
        }
    }

    int n_;
    EyeLens lens_;
    bool exact_;
    Undo undo_ = Undo::None;
    AlignmentRotation alignment_;
    RotationMatrix rotation_;
    std::vector<double> sinLambda_, cosLambda_;
    double cp_, sp_, cr_, sr_, cw_, sw_;  // zenith rotation
};

// Renders rows 0 .. rows-1 in small bands on the requested number of
// threads. The progress callback runs on whichever thread finished a band,
// under a lock, with the number of rows finished so far; a value is reported
// only when it exceeds the last one reported. Each thread owns one scratch
// row of positions, made before its first band.
template <class RenderBand>
void runRowBands(int rows, int scratchWidth, Half half, const RenderOptions& options, const RenderBand& renderBand) {
    const int threads = std::min(resolveThreadCount(options.threads), rows);
    const int band = std::clamp(rows / (threads * 16), 1, 16);
    std::atomic<int> rowsDone{0};
    std::mutex lock;
    int reported = 0;
    parallelChunks(rows, band, threads, [&]() -> ChunkBody {
        auto scratch = std::make_shared<std::vector<SourcePosition>>(scratchWidth);
        return [&, scratch](int begin, int end) {
            renderBand(begin, end, scratch->data());
            const int done = rowsDone.fetch_add(end - begin) + (end - begin);
            if (options.progress) {
                std::lock_guard<std::mutex> guard(lock);
                const int latest = std::max(done, rowsDone.load());
                if (latest > reported) {
                    reported = latest;
                    options.progress(half, latest, rows);
                }
            }
        };
    });
}

}  // namespace

Vec3 zenithDirection(const ConversionGeometry& geometry, int i, int j) {
    const double n = geometry.outputHeight;
    const double lambda = (j * kPi) / n;
    const double psi = (i * kPi) / n;
    const double x = -std::sin(psi) * std::cos(lambda);
    const double y = std::sin(psi) * std::sin(lambda);
    const double z = std::cos(psi);
    // Pitch about x, then roll about the viewing axis y, then yaw about z.
    const double p = geometry.zenith.pitch, r = geometry.zenith.roll, w = geometry.zenith.yaw;
    const double y1 = std::cos(p) * y - std::sin(p) * z;
    const double z1 = std::cos(p) * z + std::sin(p) * y;
    const double x2 = std::cos(r) * x - std::sin(r) * z1;
    const double z2 = std::cos(r) * z1 + std::sin(r) * x;
    const double y3 = std::cos(w) * y1 - std::sin(w) * x2;
    const double x3 = std::cos(w) * x2 + std::sin(w) * y1;
    return {x3, y3, z2};
}

Pixel3 sampleBilinear(const cv::Mat& source, int width, int height, double column, double row) {
    Pixel3 pixel;
    blendInto(viewOf(source, width, height), column, row, pixel.c);
    return pixel;
}

AlignmentRotation alignmentRotation(const EyeGeometry& left, const EyeGeometry& right, const PointSet& points) {
    AlignmentRotation a;
    a.aL = directionOfPoint(left, points.leftA);
    a.bL = directionOfPoint(left, points.leftB);
    a.aR = directionOfPoint(right, points.rightA);
    a.bR = directionOfPoint(right, points.rightB);
    const Vec3 &aL = a.aL, &bL = a.bL, &aR = a.aR, &bR = a.bR;

    // First rotation: about aR x aL, carrying aR onto aL.
    const Vec3 c{aR.y * aL.z - aL.y * aR.z, aR.z * aL.x - aL.z * aR.x, aL.y * aR.x - aR.y * aL.x};
    const double length = std::sqrt(c.y * c.y + c.x * c.x + c.z * c.z);
    a.n = {c.x / length, c.y / length, c.z / length};
    const Vec3& n = a.n;
    const double s1 = aR.y * n.y + aR.x * n.x + aR.z * n.z;
    a.cosAlpha = (aR.y * aL.y + aL.x * aR.x + aL.z * aR.z - s1 * s1) / (aR.y * aR.y + aR.x * aR.x + aR.z * aR.z - s1 * s1);
    a.sinAlpha = std::sqrt(1.0 - a.cosAlpha * a.cosAlpha);
    a.oneMinusCosAlpha = 1.0 - a.cosAlpha;

    // bR turned by the first rotation (Rodrigues, +alpha about n).
    const double t = (bR.x * n.x + n.y * bR.y + bR.z * n.z) * a.oneMinusCosAlpha;
    const Vec3 b{(bR.z * n.y - n.z * bR.y) * a.sinAlpha + (t * n.x + a.cosAlpha * bR.x),
                 (bR.x * n.z - bR.z * n.x) * a.sinAlpha + (t * n.y + a.cosAlpha * bR.y),
                 (n.x * bR.y - bR.x * n.y) * a.sinAlpha + (t * n.z + a.cosAlpha * bR.z)};

    // Second rotation: about aL, turning b towards bL. Exact when A and B are
    // the same angle apart in both images, an approximation otherwise.
    const double s2 = b.x * aL.x + b.y * aL.y + b.z * aL.z;
    a.cosBeta = (b.x * bL.x + b.y * bL.y + b.z * bL.z - s2 * s2) / (b.y * b.y + b.x * b.x + b.z * b.z - s2 * s2);
    a.sinBeta = std::sqrt(1.0 - a.cosBeta * a.cosBeta);
    const double handedness = (b.y * bL.z - b.z * bL.y) * aL.x + (b.z * bL.x - b.x * bL.z) * aL.y +
                              (b.x * bL.y - bL.x * b.y) * aL.z;
    if (handedness < 0.0) a.sinBeta = -a.sinBeta;
    a.oneMinusCosBeta = 1.0 - a.cosBeta;
    return a;
}

namespace {

// Renders one half on the fast path for every target: a row's positions
// once, then each target's pixels of that row, written left to right.
void renderHalf(const ConversionGeometry& g, Half half, const AlignmentRotation* points, const RotationMatrix* matrix,
                std::span<const HalfTarget> targets, const RenderOptions& options) {
    const int n = g.outputHeight;
    if (n <= 0 || targets.empty()) return;
    const int eye = half == Half::Left ? 0 : 1;
    struct Lane {
        SourceView src;
        uint8_t* data;
        size_t step;
    };
    std::vector<Lane> lanes;
    for (const HalfTarget& t : targets) {
        checkOutput(*t.output, n, (eye + 1) * static_cast<int64_t>(n));
        lanes.push_back({viewOf(*t.source, g.eye[eye].imageWidth, g.eye[eye].imageHeight), t.output->data,
                         t.output->step[0]});
    }
    const HalfGeometry geometry(g, half, options.exact, points, matrix);
    const size_t columnOffset = 3 * static_cast<size_t>(eye * n);
    // The four-pixel blend, the default and the exact route.
    struct BlendSampler {
        void sample(const SourceView& src, double column, double row, uint8_t* out) const {
            blendInto(src, column, row, out);
        }
    };
    auto renderWith = [&](const auto& sampler) {
        runRowBands(n, n, half, options, [&](int begin, int end, SourcePosition* positions) {
            for (int i = begin; i < end; ++i) {
                geometry.rowPositions(i, positions);
                for (const Lane& lane : lanes) {
                    uint8_t* out = lane.data + static_cast<size_t>(i) * lane.step + columnOffset;
                    for (int j = 0; j < n; ++j, out += 3)
                        sampler.sample(lane.src, positions[j].column, positions[j].row, out);
                }
            }
        });
    };
    if (options.interpolation == Interpolation::Bilinear) return renderWith(BlendSampler{});
    const EyeGeometry& e = g.eye[eye];
    // The image circle's rim (90 degrees off the axis for the sine laws and
    // the quadratic) around the (corrected) axis point.
    const SourcePosition rim = projectToImage(e, e.circleTheta, 0.0);
    const double ax = e.axisX + e.correction.axisDx, ay = e.axisY + e.correction.axisDy;
    const double rimRadius = std::abs(rim.column - ax) + 0.5, rim2 = rimRadius * rimRadius;
    if (options.interpolation == Interpolation::Bicubic) {
        static const KernelTable<4> cubic = makeTable<4>(keysCubic);
        renderWith(KernelSampler<4>{&cubic, ax, ay, rim2});
    } else {
        static const KernelTable<6> lanczos = makeTable<6>(lanczos3);
        renderWith(KernelSampler<6>{&lanczos, ax, ay, rim2});
    }
}

}  // namespace

void renderLeftEye(const ConversionGeometry& geometry, const cv::Mat& source, cv::Mat& output,
                   const RenderOptions& options) {
    const HalfTarget target{&source, &output};
    renderHalf(geometry, Half::Left, nullptr, nullptr, {&target, 1}, options);
}

void renderRightEyeAligned(const ConversionGeometry& geometry, const AlignmentRotation& alignment,
                           const cv::Mat& source, cv::Mat& output, const RenderOptions& options) {
    const HalfTarget target{&source, &output};
    renderHalf(geometry, Half::Right, &alignment, nullptr, {&target, 1}, options);
}

void renderRightEyeRotated(const ConversionGeometry& geometry, const RotationMatrix& rightToLeft,
                           const cv::Mat& source, cv::Mat& output, const RenderOptions& options) {
    const HalfTarget target{&source, &output};
    renderHalf(geometry, Half::Right, nullptr, &rightToLeft, {&target, 1}, options);
}

void renderLeftEyeForEach(const ConversionGeometry& geometry, std::span<const HalfTarget> targets,
                          const RenderOptions& options) {
    renderHalf(geometry, Half::Left, nullptr, nullptr, targets, options);
}

void renderRightEyeAlignedForEach(const ConversionGeometry& geometry, const AlignmentRotation& alignment,
                                  std::span<const HalfTarget> targets, const RenderOptions& options) {
    renderHalf(geometry, Half::Right, &alignment, nullptr, targets, options);
}

void renderRightEyeRotatedForEach(const ConversionGeometry& geometry, const RotationMatrix& rightToLeft,
                                  std::span<const HalfTarget> targets, const RenderOptions& options) {
    renderHalf(geometry, Half::Right, nullptr, &rightToLeft, targets, options);
}

std::vector<SourcePosition> sourcePositionsOfRow(const ConversionGeometry& geometry, Half half,
                                                 const AlignmentRotation& alignment, int row, bool exact) {
    std::vector<SourcePosition> positions(std::max(0, geometry.outputHeight));
    if (!positions.empty())
        HalfGeometry(geometry, half, exact, half == Half::Right ? &alignment : nullptr, nullptr)
            .rowPositions(row, positions.data());
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
