// Remap plans: the applied plan against the per-pixel path on every lens kind, alignment, kernel and thread
// count; the compact positions against the exact ones; what tells two plans apart; the photometric correction of
// one sampled pixel (the tone curve, then the lens's fall-off undone at the sampled source position) and the one a
// target carries into the apply.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "engine/colour.h"
#include "engine/plan.h"
#include "engine/prepare.h"
#include "tests/engine/engine_test_support.h"

namespace vistereo {
namespace {

using namespace enginetest;

// Both eyes of a kind, turned by all three zenith angles.
ConversionGeometry turnedGeometry(MappingKind kind, int width, int height, int n, int32_t radiusDots = 0) {
    ConversionGeometry g = geometryOf(kind, width, height, n, radiusDots);
    g.zenith = zenithAngles({23, -41, 17});
    return g;
}

const PointSet kPoints{{130, 120}, {230, 170}, {121, 124}, {222, 171}};
const RotationMatrix kTurn{{{0.9962, 0.0436, 0.0760}, {-0.0471, 0.9980, 0.0436}, {-0.0740, -0.0471, 0.9961}}};

enum class Aligned { Left, ByPoints, ByMatrix };

HalfTurn alignmentOf(Aligned a, const ConversionGeometry& g) {
    if (a == Aligned::ByPoints) return HalfTurn(g.zenith, alignmentRotation(g.eye[0], g.eye[1], kPoints));
    if (a == Aligned::ByMatrix) return HalfTurn(g.zenith, kTurn);
    return HalfTurn(g.zenith);
}

// The literal per-pixel path of a half, whatever its alignment: the corrected direction, the alignment undone,
// the angles, the lens, the bilinear blend.
cv::Mat referenceHalf(const ConversionGeometry& g, Aligned aligned, const cv::Mat& source) {
    const int n = g.outputHeight, eye = aligned == Aligned::Left ? 0 : 1;
    cv::Mat half(n, n, CV_8UC3);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            Vec3 d = zenithDirection(g, i, j);
            if (aligned == Aligned::ByPoints) d = undoAlignment(alignmentRotation(g.eye[0], g.eye[1], kPoints), d);
            if (aligned == Aligned::ByMatrix) d = undoRotation(kTurn, d);
            const SourcePosition p = projectToImage(g.eye[eye], std::acos(d.y), std::atan2(d.z, d.x));
            const Pixel3 pixel = sampleBilinear(source, g.eye[eye].imageWidth, g.eye[eye].imageHeight, p.column, p.row);
            half.at<cv::Vec3b>(i, j) = cv::Vec3b(pixel.c[0], pixel.c[1], pixel.c[2]);
        }
    return half;
}

// Largest difference and share of differing bytes.
std::pair<double, double> difference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    double largest = 0.0;
    cv::minMaxLoc(diff.reshape(1), nullptr, &largest);
    return {largest, cv::countNonZero(diff.reshape(1)) / static_cast<double>(diff.total() * 3)};
}

// One plan per half, kernel and arithmetic, applied on 1, 2 and 3 threads to two images at once and compared with
// the literal path: the exact bilinear plan byte for byte, the default plan of every kernel within 1 in at most
// one byte in 10,000 of the exact plan of that kernel. The half rendered once without storing the plan is the
// applied plan, byte for byte.
TEST(RemapPlan, AppliedPlanKeepsTheExactnessContract) {
    const int n = 230;
    const cv::Mat first = texture(360, 280, 11), second = texture(360, 280, 12);
    // The last kind is one the vectorised arithmetic does not know: its default plan maps by projectToImage.
    const MappingKind unknown = static_cast<MappingKind>(9);
    for (MappingKind kind : {MappingKind::Orthographic, MappingKind::Equisolid, MappingKind::SineK, MappingKind::Quadratic, unknown})
        for (Aligned aligned : {Aligned::Left, Aligned::ByPoints, Aligned::ByMatrix}) {
            ConversionGeometry g = turnedGeometry(kind == unknown ? MappingKind::SineK : kind, 360, 280, n);
            if (kind == unknown) g.eye[0].mapping = g.eye[1].mapping = unknown;
            EXPECT_EQ(vectorisedLens(g.eye[0]), kind != unknown);
            const Half half = aligned == Aligned::Left ? Half::Left : Half::Right;
            const int offset = half == Half::Left ? 0 : n;
            const cv::Mat reference = referenceHalf(g, aligned, first);
            ASSERT_GT(cv::countNonZero(reference.reshape(1)), reference.total() * 3 / 2) << "the half should show texture";
            for (Interpolation kernel : {Interpolation::Bilinear, Interpolation::Bicubic, Interpolation::Lanczos}) {
                SCOPED_TRACE(::testing::Message() << "kind " << int(kind) << ", alignment " << int(aligned) << ", kernel "
                                                  << int(kernel));
                cv::Mat exactHalf;
                for (bool exact : {true, false}) {
                    const auto plan = buildRemapPlan(remapPlanKey(g, half, alignmentOf(aligned, g), kernel, exact), 2);
                    cv::Mat once;
                    for (int threads : {1, 2, 3}) {
                        cv::Mat a(n, 2 * n, CV_8UC3, cv::Scalar::all(0xAA)), b = a.clone();
                        const HalfTarget both[] = {{&first, &a}, {&second, &b}};
                        applyRemapPlan(*plan, both, threads);
                        if (once.empty()) {
                            once = a.colRange(offset, offset + n).clone();
                            cv::Mat alone(n, 2 * n, CV_8UC3, cv::Scalar::all(0x55));
                            const HalfTarget single{&second, &alone};
                            applyRemapPlan(*plan, {&single, 1}, threads);
                            EXPECT_EQ(cv::norm(alone.colRange(offset, offset + n), b.colRange(offset, offset + n), cv::NORM_INF), 0)
                                << "each target reads its own source";
                        }
                        EXPECT_EQ(cv::norm(a.colRange(offset, offset + n), once, cv::NORM_INF), 0) << threads << " threads";
                        EXPECT_EQ(cv::norm(a.colRange(n - offset, 2 * n - offset), cv::NORM_INF), 0xAA) << "the other half untouched";
                    }
                    cv::Mat direct(n, 2 * n, CV_8UC3, cv::Scalar::all(0x33));
                    const HalfTarget unplanned{&first, &direct};
                    remapOnce(plan->key(), {&unplanned, 1}, 3);
                    EXPECT_EQ(cv::norm(direct.colRange(offset, offset + n), once, cv::NORM_INF), 0)
                        << "rendered once, without a stored plan";
                    if (exact) exactHalf = once;
                    if (exact && kernel == Interpolation::Bilinear) {
                        EXPECT_EQ(cv::norm(once, reference, cv::NORM_INF), 0) << "exact plan against the literal path";
                    }
                    if (!exact) {
                        const auto [largest, share] = difference(once, exactHalf);
                        EXPECT_LE(largest, 1.0);
                        EXPECT_LE(share, 1e-4);
                    }
                }
            }
        }
}

// The compact form decodes to the fixed-point step below the default arithmetic's positions, which lie within
// rounding of the exact ones; pixels that no kernel can read (NaN, or far outside) are black. Half-sized images on a
// large half make the row coding carry most pixels; a lens circle far larger than its image and an alignment from a
// point on the axis make black stretches and whole black halves.
TEST(RemapPlan, CompactPositionsStayWithinOneFixedPointStep) {
    enum Black { None, Some, Many, All };
    const struct { MappingKind kind; int width, height, n; int32_t radiusDots; Aligned aligned; PointSet points; Black black; } cases[] = {
        {MappingKind::Equisolid, 1500, 1000, 1024, 0, Aligned::ByPoints, {{530, 420}, {930, 570}, {521, 424}, {922, 571}}, None},
        {MappingKind::Orthographic, 1500, 1000, 1024, 0, Aligned::ByMatrix, {}, Some},  // not quite orthonormal: |y| > 1 here and there
        {MappingKind::Quadratic, 1500, 1000, 768, 0, Aligned::Left, {}, None},
        {MappingKind::SineK, 360, 280, 300, 60000, Aligned::Left, {}, Many},  // mostly beyond reach
        {MappingKind::Equisolid, 360, 280, 200, 0, Aligned::ByPoints, {{180, 140}, {230, 170}, {121, 124}, {222, 171}}, All},  // A on the axis
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "kind " << int(c.kind) << ", " << c.width << " x " << c.height << " to " << c.n);
        const ConversionGeometry g = turnedGeometry(c.kind, c.width, c.height, c.n, c.radiusDots);
        const Half half = c.aligned == Aligned::Left ? Half::Left : Half::Right;
        HalfTurn alignment = alignmentOf(c.aligned, g);
        if (c.aligned == Aligned::ByPoints) alignment = HalfTurn(g.zenith, alignmentRotation(g.eye[0], g.eye[1], c.points));
        const auto exact = buildRemapPlan(remapPlanKey(g, half, alignment, Interpolation::Bilinear, true));
        const auto compact = buildRemapPlan(remapPlanKey(g, half, alignment, Interpolation::Bilinear, false));
        const double step = std::ldexp(1.0, -compact->fractionBits()), reach = std::ldexp(1.0, 32 - compact->fractionBits()) - 8;
        EXPECT_GE(compact->fractionBits(), c.width > 1000 ? 19 : 20);
        std::vector<SourcePosition> e(c.n), q(c.n);
        int black = 0, wrong = 0;
        for (int i = 0; i < c.n; ++i) {
            exact->rowPositions(i, e.data());
            compact->rowPositions(i, q.data());
            for (int j = 0; j < c.n; ++j) {
                const bool out = !(e[j].column > -7.9 && e[j].row > -7.9 && e[j].column < reach - 0.1 && e[j].row < reach - 0.1);
                const bool nowhere = std::isnan(q[j].column) && std::isnan(q[j].row);
                black += nowhere;
                if (out || nowhere) {
                    wrong += out != nowhere && !(std::abs(e[j].column) > reach - 8.2 || std::abs(e[j].row) > reach - 8.2);
                    continue;
                }
                for (const auto& [x, coded] : {std::pair{e[j].column, q[j].column}, {e[j].row, q[j].row}})
                    wrong += !(coded <= x + 1e-9 && x - coded < step + 1e-9);
            }
        }
        EXPECT_EQ(wrong, 0);
        const double perPixel = static_cast<double>(compact->bytes()) / (static_cast<double>(c.n) * c.n);
        if (c.black == None) { EXPECT_EQ(black, 0); }
        if (c.black == Many) { EXPECT_GT(black, c.n * c.n / 4); }
        if (c.black == All) { EXPECT_EQ(black, c.n * c.n) << "no rotation from a point on the axis: all black"; }
        if (c.width > 1000) { EXPECT_LT(perPixel, 4.1) << "a large half is coded in about 4 bytes per pixel"; }
        EXPECT_EQ(exact->bytes(), 16u * c.n * c.n);
    }
}

// A chroma plan is the half's geometry at the chroma sites: chroma sample (i, j) of a half N high, sited at
// (x, y) luma pixels, looks where pixel (4i + 2y, 4j + 2x) of the same half 2N high looks, and its source
// position is that position on the source's chroma grid, (p - siting) / 2. Every siting, lens law, alignment
// and arithmetic.
TEST(RemapPlan, ChromaPlanIsTheHalfSampledAtTheChromaSites) {
    const int n = 120;
    const struct { double x, y; } sitings[] = {{0.0, 0.0}, {0.0, 0.5}, {0.5, 0.5}};
    for (MappingKind kind : {MappingKind::Equisolid, MappingKind::Quadratic})
        for (Aligned aligned : {Aligned::Left, Aligned::ByMatrix})
            for (bool exact : {true, false})
                for (const auto& siting : sitings) {
                    SCOPED_TRACE(::testing::Message() << "kind " << int(kind) << (exact ? " exact" : " default")
                                                      << ", siting " << siting.x << ", " << siting.y);
                    ConversionGeometry g = turnedGeometry(kind, 360, 280, n);
                    const Half half = aligned == Aligned::Left ? Half::Left : Half::Right;
                    RemapPlanKey key = remapPlanKey(g, half, alignmentOf(aligned, g), Interpolation::Bilinear, exact);
                    key.grid = SampleGrid::chroma420(siting.x, siting.y);
                    key.rows = {0, n / 2};
                    const auto chroma = buildRemapPlan(key);
                    ASSERT_EQ(chroma->size(), n / 2);
                    g.outputHeight = 2 * n;
                    const auto twice = buildRemapPlan(remapPlanKey(g, half, alignmentOf(aligned, g), Interpolation::Bilinear, exact));
                    // The default arithmetic snaps both to its grid: a step there, and another after halving.
                    const double tolerance = exact ? 1e-9 : 3.0 * std::ldexp(1.0, -chroma->fractionBits());
                    std::vector<SourcePosition> c(n / 2), l(2 * n);
                    int far = 0, black = 0;
                    for (int i = 0; i < n / 2; ++i) {
                        chroma->rowPositions(i, c.data());
                        twice->rowPositions(4 * i + static_cast<int>(2 * siting.y), l.data());
                        for (int j = 0; j < n / 2; ++j) {
                            const SourcePosition& p = l[4 * j + static_cast<int>(2 * siting.x)];
                            if (std::isnan(p.column)) {
                                black += std::isnan(c[j].column) ? 1 : 0;
                                continue;
                            }
                            far += std::abs(c[j].column - (p.column - siting.x) / 2) > tolerance ||
                                   std::abs(c[j].row - (p.row - siting.y) / 2) > tolerance;
                        }
                    }
                    EXPECT_EQ(far, 0);
                }
}

// The planes' remap, many samples at a time, against the scalar blend of each of the plan's positions worked
// out here (10-bit weights, neighbours beyond the source black, rounded to the nearest level) on noise, so that
// a neighbour or weight taken from the wrong sample shows: luma and chroma plans, rows padded or not, a source
// a few samples wide, positions beside every edge of the source and beyond it, either half; a second plane blended
// in the same pass (its rows laid out as the first's, or not); a second target with its own black in the same apply;
// the other half left alone; and the same samples built and applied on other numbers of threads. The same for
// 16-bit planes (10-bit video), their noise over the whole 16 bits so that a blend summed too narrow shows.
TEST(RemapPlan, PlaneBlendIsTheTenBitBlendOfEveryPosition) {
    struct Case {
        const char* name;
        int width, height, n, padding;
        bool chroma;
        int pairedPadding;  // of a second plane through the same samples; -1: none
        Half half;
        int depth;  // CV_8U or CV_16U
    };
    const Case cases[] = {{"luma, rows unpadded", 360, 280, 150, 0, false, -1, Half::Right, CV_8U},
                          {"chroma pair, rows padded alike", 360, 280, 150, 24, true, 24, Half::Right, CV_8U},
                          {"chroma pair, rows padded apart, left half", 360, 280, 150, 0, true, 5, Half::Left, CV_8U},
                          {"a narrow source", 14, 12, 40, 3, false, 3, Half::Right, CV_8U},
                          {"16-bit luma, rows padded", 360, 280, 150, 7, false, -1, Half::Right, CV_16U},
                          {"16-bit chroma pair, left half", 360, 280, 150, 0, true, 0, Half::Left, CV_16U},
                          {"16-bit narrow source, pair padded apart", 14, 12, 40, 3, false, 1, Half::Right, CV_16U}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool deep = c.depth == CV_16U;
        const int type = CV_MAKETYPE(c.depth, 1);
        const auto level = [&](const cv::Mat& m, int y, int x) -> int {
            return deep ? m.at<uint16_t>(y, x) : m.at<uint8_t>(y, x);
        };
        const int blackOne = deep ? 64 : 16, blackOther = deep ? 901 : 201;
        ConversionGeometry g = turnedGeometry(MappingKind::Equisolid, c.width, c.height, c.n);
        g.eye[0].radius180 = g.eye[1].radius180 = c.width * 7 / 10;  // cut by the frame on all sides
        RemapPlanKey key = remapPlanKey(g, c.half, c.half == Half::Left ? HalfTurn(g.zenith) : HalfTurn(g.zenith, kTurn),
                                        Interpolation::Bilinear, false);
        if (c.chroma) key.grid = SampleGrid::chroma420(0.0, 0.5);
        key.rows = {0, key.samples()};
        const auto plan = buildRemapPlan(key);
        const auto remap = buildPlaneRemap(key, 2);
        const int w = remap->sourceWidth(), h = remap->sourceHeight(), m = plan->size(), offset = c.half == Half::Left ? 0 : m;
        const auto noise = [&](int padding) {
            cv::Mat buffer(h, w + padding, type);
            cv::randu(buffer, 0, deep ? 65536 : 256);
            return buffer(cv::Rect(0, 0, w, h));
        };
        const cv::Mat source = noise(c.padding), paired = noise(std::max(c.pairedPadding, 0));
        cv::Mat out(m, 2 * m, type, cv::Scalar(7)), pairedOut = out.clone(), otherOut = out.clone();
        PlaneTarget target{remap.get(), &source, &out, static_cast<uint16_t>(blackOne)};
        if (c.pairedPadding >= 0) target.pairedSource = &paired, target.pairedOutput = &pairedOut;
        const PlaneTarget targets[] = {target, {remap.get(), &paired, &otherOut, static_cast<uint16_t>(blackOther)}};
        applyPlaneRemaps(targets, 2);
        EXPECT_EQ(cv::countNonZero(out.colRange(m - offset, 2 * m - offset) != 7), 0) << "the other half is left alone";
        // Built on another number of threads, applied on a third: the same samples.
        const auto fromKey = buildPlaneRemap(key, 3);
        cv::Mat again(m, 2 * m, type, cv::Scalar(7));
        const PlaneTarget direct{fromKey.get(), &source, &again, static_cast<uint16_t>(blackOne)};
        applyPlaneRemaps({&direct, 1}, 1);
        EXPECT_EQ(cv::norm(again, out, cv::NORM_INF), 0.0);

        const auto expected = [&](const cv::Mat& plane, double col, double row, int black) {
            if (!(col > -1 && row > -1 && col < w && row < h)) return black;
            const auto at = [&](int y, int x) { return x >= 0 && y >= 0 && x < w && y < h ? level(plane, y, x) : black; };
            const int c0 = static_cast<int>(std::floor(col)), r0 = static_cast<int>(std::floor(row));
            const int fx = static_cast<int>((col - c0) * 1024), fy = static_cast<int>((row - r0) * 1024);
            return tenBitBlend(at(r0, c0), at(r0, c0 + 1), at(r0 + 1, c0), at(r0 + 1, c0 + 1), fx, fy);
        };
        std::vector<SourcePosition> p(m);
        int wrong = 0, pairedWrong = 0, otherWrong = 0, black = 0, rightEdge = 0, straddling = 0;
        for (int i = 0; i < m; ++i) {
            plan->rowPositions(i, p.data());
            for (int j = 0; j < m; ++j) {
                const double col = p[j].column, row = p[j].row;
                wrong += level(out, i, offset + j) != expected(source, col, row, blackOne);
                otherWrong += level(otherOut, i, offset + j) != expected(paired, col, row, blackOther);
                if (c.pairedPadding >= 0) pairedWrong += level(pairedOut, i, offset + j) != expected(paired, col, row, blackOne);
                if (!(col > -1 && row > -1 && col < w && row < h)) {
                    ++black;
                    continue;
                }
                const int c0 = static_cast<int>(std::floor(col)), r0 = static_cast<int>(std::floor(row));
                rightEdge += c0 >= w - 4 && c0 <= w - 2;
                straddling += c0 < 0 || r0 < 0 || c0 >= w - 1 || r0 >= h - 1;
            }
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(pairedWrong, 0);
        EXPECT_EQ(otherWrong, 0);
        EXPECT_GT(black, 0);
        EXPECT_GT(rightEdge, 0);
        EXPECT_GT(straddling, 0);
    }
}

TEST(RemapPlanKey, EveryDeterminantTellsPlansApart) {
    const ConversionGeometry g = turnedGeometry(MappingKind::Equisolid, 360, 280, 64);
    const AlignmentRotation points = alignmentRotation(g.eye[0], g.eye[1], kPoints);
    const RemapPlanKey key = remapPlanKey(g, Half::Right, HalfTurn(g.zenith, points), Interpolation::Bilinear, false);
    EXPECT_TRUE(key == remapPlanKey(g, Half::Right, HalfTurn(g.zenith, points), Interpolation::Bilinear, false));
    // The right eye's turn as points or as a matrix; either way the zenith is the geometry's.
    using A = std::variant<AlignmentRotation, RotationMatrix>;
    auto changed = [&](auto change) {
        ConversionGeometry other = g;
        A alignment = points;
        Interpolation kernel = Interpolation::Bilinear;
        bool exact = false;
        change(other, alignment, kernel, exact);
        const HalfTurn turn = std::visit([&](const auto& a) { return HalfTurn(other.zenith, a); }, alignment);
        return remapPlanKey(other, Half::Right, turn, kernel, exact);
    };
    using G = ConversionGeometry;
    using K = Interpolation;
    const RemapPlanKey variants[] = {
        changed([](G& o, A&, K&, bool&) { o.eye[1].imageWidth += 1; }),
        changed([](G& o, A&, K&, bool&) { o.eye[1].axisY += 1; }),
        changed([](G& o, A&, K&, bool&) { o.eye[1].quadratic.b3 += 1e-9; }),
        changed([](G& o, A&, K&, bool&) { o.eye[1].mappingScale *= 1.0000001; }),
        changed([](G& o, A&, K&, bool&) { o.outputHeight += 2; }),
        changed([](G& o, A&, K&, bool&) { o.zenith.roll += 1e-6; }),
        changed([&](G&, A& a, K&, bool&) { a = alignmentRotation(g.eye[0], g.eye[1], {{131, 120}, {230, 170}, {121, 124}, {222, 171}}); }),
        changed([](G&, A& a, K&, bool&) { a = RotationMatrix{}; }),
        changed([](G&, A&, K& k, bool&) { k = Interpolation::Lanczos; }),
        changed([](G&, A&, K&, bool& e) { e = true; })};
    for (size_t v = 0; v < std::size(variants); ++v) EXPECT_FALSE(variants[v] == key) << "variant " << v;
    RemapPlanKey band = key;
    band.rows = {0, 32};
    EXPECT_FALSE(band == key);
    const RemapPlanKey broken = changed([](G&, A& a, K&, bool&) { std::get<AlignmentRotation>(a).sinBeta = std::nan(""); });
    EXPECT_FALSE(broken == broken) << "a plan made from values that are not numbers is never shared";
}

// The one-off renderers plan and apply band by band: progress counts both, grows and ends at the height.
TEST(RemapPlan, RenderProgressGrowsToTheHeight) {
    for (bool exact : {true, false}) {
        const ConversionGeometry g = turnedGeometry(MappingKind::Equisolid, 360, 280, 1500);
        const cv::Mat source = texture(360, 280, 5);
        cv::Mat out(1500, 3000, CV_8UC3);
        std::vector<int> reports;
        const RowProgress progress = [&](Half, int done, int total) {
            reports.push_back(done);
            EXPECT_EQ(total, 1500);
        };
        renderLeftEye(g, source, out, {2, progress, exact, Interpolation::Bilinear, {}});
        ASSERT_FALSE(reports.empty());
        EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()) &&
                    std::adjacent_find(reports.begin(), reports.end()) == reports.end());
        EXPECT_EQ(reports.back(), 1500);
        EXPECT_GT(reports.size(), 8u) << "reported as bands finish";
    }
}

// A lens centred at (600, 450) with its rim 400 dots away, letting 70 % of
// the axis brightness through there (`blueRim`: that share in blue); `tone`:
// each channel darker by 20, 30 and 40 levels (blue, green, red), never
// below 0.
EyeColourCorrection correction(bool falloff, bool tone, double blueRim = 0.7) {
    EyeColourCorrection c;
    if (tone)
        for (int ch = 0; ch < 3; ++ch) {
            std::array<float, 256> curve;
            for (int v = 0; v < 256; ++v) curve[v] = std::max(0.0f, v - 20.0f - 10.0f * ch);
            c.setTone(ch, curve);
        }
    if (falloff) c.setFalloff({{{std::log(blueRim), 0, 0}, {std::log(0.7), 0, 0}, {std::log(0.7), 0, 0}}}, 600.0, 450.0, 400.0);
    return c;
}

TEST(ColourCorrection, TonesThenUndoesTheFalloffAtTheSourcePosition) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    using Levels = std::array<int, 3>;
    const struct { const char* name; bool falloff, tone; double column, row; int level; Levels expected; } cases[] = {
        {"identity, anywhere", false, false, 1000.0, 10.0, 137, {137, 137, 137}},
        {"identity, not a position", false, false, nan, nan, 200, {200, 200, 200}},
        {"tone only", false, true, 1000.0, 10.0, 100, {80, 70, 60}},
        {"tone keeps its floor", false, true, 600.0, 450.0, 25, {5, 0, 0}},
        {"fall-off, on the axis", true, false, 600.0, 450.0, 100, {100, 100, 100}},
        {"fall-off, at the rim", true, false, 1000.0, 450.0, 70, {100, 100, 100}},
        {"fall-off, half way up", true, false, 600.0, 250.0, 100, {109, 109, 109}},        // 100 / 0.7^0.25
        {"fall-off, beyond the table", true, false, 600.0, 1450.0, 100, {175, 175, 175}},  // as at 1.25 rims: 100 / 0.7^1.5625
        {"fall-off, not a position", true, false, nan, 450.0, 100, {175, 175, 175}},
        {"fall-off keeps a clipped level", true, false, 1000.0, 450.0, 255, {255, 255, 255}},
        {"fall-off keeps black", true, false, 1000.0, 450.0, 0, {0, 0, 0}},
        // Tone first: (100 - 20) / 0.7 = 114; the fall-off first would give 100 / 0.7 - 20 = 123.
        {"tone, then fall-off", true, true, 1000.0, 450.0, 100, {114, 100, 86}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const EyeColourCorrection e = correction(c.falloff, c.tone);
        uint8_t bgr[3] = {uint8_t(c.level), uint8_t(c.level), uint8_t(c.level)};
        correctSample(e, bgr, c.column, c.row);
        EXPECT_EQ((Levels{bgr[0], bgr[1], bgr[2]}), c.expected);
        if (!c.tone && std::isfinite(c.column) && c.level > 0 && c.level < 255) {
            const double share = e.falloffAt(0, c.column, c.row);
            EXPECT_NEAR(c.level / share, c.expected[0], 0.5) << "falloffAt " << share;
        }
    }
    // The channels fall off each their own way: a rim that turns blue.
    uint8_t bgr[3] = {90, 70, 70};
    correctSample(correction(true, false, 0.9), bgr, 1000.0, 450.0);
    EXPECT_EQ((Levels{bgr[0], bgr[1], bgr[2]}), (Levels{100, 100, 100}));
}

// Each target of one apply carries its own colour correction (or none), applied to the pixels as they are
// written: every corrected pixel is the plain one through correctSample at the position the plan sampled it,
// whatever the kernel and the thread count; a target without a correction, or with the identity, keeps the plain
// bytes. A correction applied to the wrong target, at the wrong position or twice shows here.
TEST(RemapPlan, EachTargetCarriesItsOwnColourCorrection) {
    const int n = 96;
    const ConversionGeometry g = turnedGeometry(MappingKind::Equisolid, 360, 280, n);
    const cv::Mat source = texture(360, 280, 7);
    EyeColourCorrection tone, toneAndFalloff;
    for (int ch = 0; ch < 3; ++ch) {
        std::array<float, 256> curve;
        for (int v = 0; v < 256; ++v) curve[v] = v == 0 || v == 255 ? v : std::min(255.0f, 0.9f * v + 10.0f + 3.0f * ch);
        tone.setTone(ch, curve);
        toneAndFalloff.setTone(ch, curve);
    }
    toneAndFalloff.setFalloff({{{-0.36, 0.0, 0.0}, {-0.3, 0.05, 0.0}, {-0.2, 0.0, 0.01}}}, g.eye[1].axisX, g.eye[1].axisY,
                              140.0);
    const EyeColourCorrection identity;
    for (Interpolation kernel : {Interpolation::Bilinear, Interpolation::Bicubic}) {
        const auto plan = buildRemapPlan(remapPlanKey(g, Half::Right, HalfTurn(g.zenith, kTurn), kernel, false), 2);
        cv::Mat plain(n, 2 * n, CV_8UC3, cv::Scalar::all(0));
        const HalfTarget alone{&source, &plain};
        applyRemapPlan(*plan, {&alone, 1}, 1);
        for (int threads : {1, 3}) {
            SCOPED_TRACE(::testing::Message() << "kernel " << int(kernel) << ", " << threads << " threads");
            std::vector<cv::Mat> out(4);
            for (cv::Mat& m : out) m = cv::Mat(n, 2 * n, CV_8UC3, cv::Scalar::all(0));
            const HalfTarget targets[] = {{&source, &out[0], &tone},
                                          {&source, &out[1], nullptr},
                                          {&source, &out[2], &toneAndFalloff},
                                          {&source, &out[3], &identity}};
            applyRemapPlan(*plan, targets, threads);
            EXPECT_EQ(cv::norm(out[1], plain, cv::NORM_INF), 0);
            EXPECT_EQ(cv::norm(out[3], plain, cv::NORM_INF), 0);
            cv::Mat expected[2] = {plain.clone(), plain.clone()};
            std::vector<SourcePosition> positions(n);
            for (int i = 0; i < n; ++i) {
                plan->rowPositions(i, positions.data());
                for (int j = 0; j < n; ++j) {
                    correctSample(tone, expected[0].ptr<uint8_t>(i, n + j), positions[j].column, positions[j].row);
                    correctSample(toneAndFalloff, expected[1].ptr<uint8_t>(i, n + j), positions[j].column,
                                  positions[j].row);
                }
            }
            EXPECT_EQ(cv::norm(out[0], expected[0], cv::NORM_INF), 0) << "tone";
            EXPECT_EQ(cv::norm(out[2], expected[1], cv::NORM_INF), 0) << "tone and fall-off";
            // The corrections did something, and differently.
            EXPECT_GT(cv::norm(out[0], plain, cv::NORM_L1), 10.0 * n * n);
            EXPECT_GT(cv::norm(out[2], out[0], cv::NORM_L1), 10.0 * n * n);
        }
    }
}

}  // namespace
}  // namespace vistereo
