#include "colour/photometric.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

#include <opencv2/imgproc.hpp>

namespace vistereo::alignment {
namespace {

constexpr double kDegree = std::numbers::pi / 180.0;
constexpr int kMinSamples = 1000;
// The larger model (the curve, the fall-off) must leave this many levels
// less on held-out cells to be chosen over the smaller.
constexpr double kMarginLevels = 0.05;

// ---- samples -------------------------------------------------------------

// Cells of the far-field grid that hold a near match, widened by the margin.
// `scale` takes an inlier's left position onto the n x n halves.
std::vector<uint8_t> nearCells(const std::vector<StereoCorrespondence>& inliers, double scale, int n,
                               const PhotometricOptions& o) {
    const int k = o.cells;
    const double limitArcmin = o.nearParallaxPixels * 10800.0 / n;
    std::vector<uint8_t> near(k * k, 0);
    for (const StereoCorrespondence& c : inliers) {
        if (c.far && std::abs(c.alongArcmin) <= limitArcmin) continue;
        const int cx = std::clamp(static_cast<int>(((c.leftAt.column + 0.5) * scale) * k / n), 0, k - 1);
        const int cy = std::clamp(static_cast<int>(((c.leftAt.row + 0.5) * scale) * k / n), 0, k - 1);
        for (int y = std::max(0, cy - o.nearMarginCells); y <= std::min(k - 1, cy + o.nearMarginCells); ++y)
            for (int x = std::max(0, cx - o.nearMarginCells); x <= std::min(k - 1, cx + o.nearMarginCells); ++x)
                near[y * k + x] = 1;
    }
    return near;
}

// Pixels near one with a channel at or beyond `level` in either eye (above
// it when `above`, else at or below it), widened by two pixels: the blur
// spreads a clipped pixel into its neighbours.
cv::Mat extremeMask(const cv::Mat& left, const cv::Mat& right, float level, bool above) {
    cv::Mat out = cv::Mat::zeros(left.size(), CV_8UC1);
    for (const cv::Mat* half : {&left, &right}) {
        std::vector<cv::Mat> channels;
        cv::split(*half, channels);
        for (const cv::Mat& c : channels) {
            cv::Mat hit;
            if (above) cv::compare(c, level, hit, cv::CMP_GE);
            else cv::compare(c, level, hit, cv::CMP_LE);
            out |= hit;
        }
    }
    cv::dilate(out, out, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5)));
    return out;
}

// The samples of two halves that show the same directions: `valid` where
// both show the photograph, radii per eye (CV_32FC1).
ColourSamples sampleHalves(cv::Mat left, cv::Mat right, const cv::Mat& valid, const cv::Mat& leftRadius,
                           const cv::Mat& rightRadius, const std::vector<uint8_t>& near,
                           const PhotometricOptions& o) {
    const int n = left.rows;
    const cv::Mat clipped = extremeMask(left, right, o.clippedLevel, true);
    const cv::Mat black = extremeMask(left, right, o.blackLevel, false);
    if (o.blurPixels > 0.0) {
        cv::GaussianBlur(left, left, cv::Size(), o.blurPixels);
        cv::GaussianBlur(right, right, cv::Size(), o.blurPixels);
    }
    ColourSamples s;
    s.halfSize = n;
    s.cells = o.cells;
    const int k = o.cells;
    for (int i = 0; i < n; ++i) {
        const uint8_t* ok = valid.ptr<uint8_t>(i);
        const int cy = std::min(k - 1, i * k / n);
        for (int j = 0; j < n; ++j) {
            if (!ok[j]) continue;
            ++s.shown;
            const int cx = std::min(k - 1, j * k / n);
            if (near[cy * k + cx]) {
                ++s.near;
                continue;
            }
            if (clipped.at<uint8_t>(i, j)) {
                ++s.clipped;
                continue;
            }
            if (black.at<uint8_t>(i, j)) {
                ++s.black;
                continue;
            }
            s.left.push_back(left.at<cv::Vec3f>(i, j));
            s.right.push_back(right.at<cv::Vec3f>(i, j));
            s.leftRadius.push_back(leftRadius.at<float>(i, j));
            s.rightRadius.push_back(rightRadius.at<float>(i, j));
            const Vec3 d = halfPixelDirection(n, {double(j), double(i)});
            s.angle.push_back(static_cast<float>(std::acos(std::clamp(d.y, -1.0, 1.0))));
            s.cell.push_back(cy * k + cx);
            s.fold.push_back(static_cast<uint8_t>((cx + cy) & 1));
        }
    }
    return s;
}

// Distance of every pixel's source position from the lens axis, over the rim radius.
cv::Mat radiusMap(const cv::Mat& source, const LensCircle& circle) {
    cv::Mat out(source.size(), CV_32FC1);
    for (int i = 0; i < source.rows; ++i)
        for (int j = 0; j < source.cols; ++j) {
            const cv::Vec2f p = source.at<cv::Vec2f>(i, j);
            out.at<float>(i, j) =
                static_cast<float>(std::hypot(p[0] - circle.axis.column, p[1] - circle.axis.row) / circle.rimRadius);
        }
    return out;
}

// ---- tone models ---------------------------------------------------------

// The levels of one channel of both eyes, for the samples a fit uses: the
// right eye's as recorded, the left eye's as the right lens would have let
// them through (its fall-off put on, the left's own taken off), and the
// factor that takes the right's toned levels to the corrected ones.
struct ChannelLevels {
    std::vector<float> left, right, scale;
};

// Values at the probabilities `p` of a set of levels, read from a
// histogram of quarter levels and interpolated within a bin.
std::vector<double> quantilesOf(const std::vector<float>& values, const std::vector<double>& p) {
    constexpr int kBins = 1024;
    std::vector<double> histogram(kBins, 0.0);
    for (float v : values) histogram[std::clamp(static_cast<int>(v * 4.0f), 0, kBins - 1)] += 1.0;
    std::vector<double> out;
    double below = 0.0;
    int bin = 0;
    for (double q : p) {
        const double target = q * values.size();
        while (bin < kBins - 1 && below + histogram[bin] < target) below += histogram[bin++];
        const double within = histogram[bin] > 0.0 ? std::clamp((target - below) / histogram[bin], 0.0, 1.0) : 0.5;
        out.push_back((bin + within) / 4.0);
    }
    return out;
}

std::vector<double> probabilities(double first, double last, double step) {
    std::vector<double> p;
    for (double q = first; q <= last + 1e-9; q += step) p.push_back(q);
    return p;
}

// A tone curve through points (x increasing) as a table of 256 levels:
// linear between the points; below the first, the lower of the straight
// line of slope `slope` and the line to (0, 0); above the last, the higher
// of that line and the line to (255, 255); 0 stays 0 and 255 stays 255,
// and the curve never falls.
std::array<float, 256> toneTable(std::vector<cv::Point2d> points, double slope) {
    // Points with (nearly) the same x become one, at their mean y.
    std::vector<cv::Point2d> merged;
    for (size_t a = 0; a < points.size();) {
        size_t b = a;
        double sum = 0.0;
        while (b < points.size() && points[b].x - points[a].x < 1e-3) sum += points[b++].y;
        merged.push_back({points[a].x, sum / (b - a)});
        a = b;
    }
    std::array<float, 256> table{};
    const cv::Point2d first = merged.front(), last = merged.back();
    size_t segment = 0;
    for (int v = 0; v < 256; ++v) {
        double y;
        if (v <= first.x) {
            y = first.x > 0.0 ? std::min(first.y + slope * (v - first.x), first.y * v / first.x) : first.y;
        } else if (v >= last.x) {
            y = last.x < 255.0 ? std::max(last.y + slope * (v - last.x), last.y + (255.0 - last.y) * (v - last.x) / (255.0 - last.x))
                               : last.y;
        } else {
            while (merged[segment + 1].x < v) ++segment;
            const cv::Point2d a = merged[segment], b = merged[segment + 1];
            y = a.y + (b.y - a.y) * (v - a.x) / (b.x - a.x);
        }
        table[v] = static_cast<float>(std::clamp(y, 0.0, 255.0));
    }
    table[0] = 0.0f, table[255] = 255.0f;
    for (int v = 1; v < 256; ++v) table[v] = std::max(table[v], table[v - 1]);
    return table;
}

float applyTone(const std::array<float, 256>& table, float x) {
    x = std::clamp(x, 0.0f, 255.0f);
    const int below = std::min(static_cast<int>(x), 254);
    return table[below] + (table[below + 1] - table[below]) * (x - below);
}

struct ChannelTone {
    double gain = 1.0, offset = 0.0;
    std::array<float, 256> table{};
};

// Both models of one channel, fitted on its levels.
struct ChannelFits {
    ChannelTone gainOffset, curve;
};

ChannelFits fitChannel(const ChannelLevels& c) {
    ChannelFits fits;
    // The line through the quantiles from 1 % to 99 %, by least squares.
    const std::vector<double> p = probabilities(0.01, 0.99, 0.01);
    const std::vector<double> l = quantilesOf(c.left, p), r = quantilesOf(c.right, p);
    const double mr = std::accumulate(r.begin(), r.end(), 0.0) / r.size();
    const double ml = std::accumulate(l.begin(), l.end(), 0.0) / l.size();
    double srr = 0.0, srl = 0.0;
    for (size_t k = 0; k < r.size(); ++k) srr += (r[k] - mr) * (r[k] - mr), srl += (r[k] - mr) * (l[k] - ml);
    const double gain = srr > 1e-9 ? srl / srr : 1.0, offset = ml - gain * mr;
    // The line holds over the levels the right eye shows (0.5 % to 99.5 %).
    const std::vector<double> range = quantilesOf(c.right, {0.005, 0.995});
    fits.gainOffset = {gain, offset,
                       toneTable({{range[0], gain * range[0] + offset}, {range[1], gain * range[1] + offset}}, gain)};
    // The curve through the quantiles from 0.5 % to 99.5 %.
    const std::vector<double> pc = probabilities(0.005, 0.995, 0.005);
    const std::vector<double> lc = quantilesOf(c.left, pc), rc = quantilesOf(c.right, pc);
    std::vector<cv::Point2d> points;
    for (size_t k = 0; k < pc.size(); ++k) points.push_back({rc[k], lc[k]});
    fits.curve = {gain, offset, toneTable(points, gain)};
    return fits;
}

// The corrected eyes' mean absolute difference.
double meanAbsoluteAfter(const ChannelLevels& c, const std::array<float, 256>& table) {
    double sum = 0.0;
    for (size_t k = 0; k < c.left.size(); ++k) sum += c.scale[k] * std::abs(c.left[k] - applyTone(table, c.right[k]));
    return c.left.empty() ? 0.0 : sum / c.left.size();
}

// ---- fall-off ------------------------------------------------------------

double polynomial(const std::array<double, 3>& c, double x) { return x * (c[0] + x * (c[1] + x * c[2])); }

// A robust fit of e = a0 + a1 x + a2 x^2 + a3 x^3 (x the squared radius):
// the median of e in each of 24 bands of x, fitted by least squares
// weighted by the bands' counts. Returns (a1, a2, a3); false with too few
// bands to tell a shape.
bool fitRadialTrend(const std::vector<double>& x, const std::vector<double>& e, std::array<double, 3>& out) {
    constexpr int kBands = 24;
    constexpr double kTop = 1.21;
    std::vector<std::vector<double>> values(kBands), places(kBands);
    for (size_t k = 0; k < x.size(); ++k) {
        const int band = std::min(kBands - 1, static_cast<int>(x[k] / kTop * kBands));
        values[band].push_back(e[k]);
        places[band].push_back(x[k]);
    }
    cv::Mat a(0, 4, CV_64F), b(0, 1, CV_64F);
    for (int band = 0; band < kBands; ++band) {
        std::vector<double>& v = values[band];
        if (v.size() < 50) continue;
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        const double median = v[v.size() / 2];
        const double at = std::accumulate(places[band].begin(), places[band].end(), 0.0) / places[band].size();
        const double w = std::sqrt(static_cast<double>(v.size()));
        const cv::Mat row = (cv::Mat_<double>(1, 4) << w, w * at, w * at * at, w * at * at * at);
        a.push_back(row);
        b.push_back(w * median);
    }
    if (a.rows < 6) return false;
    cv::Mat solution;
    if (!cv::solve(a, b, solution, cv::DECOMP_SVD)) return false;
    out = {solution.at<double>(1), solution.at<double>(2), solution.at<double>(3)};
    return true;
}

double luma(const cv::Vec3f& bgr) { return 0.114 * bgr[0] + 0.587 * bgr[1] + 0.299 * bgr[2]; }

// The mean absolute difference of the cells' mean levels, as recorded and
// corrected, weighted by the cells' samples (cells of fewer than 16 left out).
void cellDifferences(const ColourSamples& s, const ChannelLevels& c, int channel, const std::array<float, 256>& tone,
                     ChannelMatch& out) {
    struct Sums {
        double left = 0.0, right = 0.0, leftCorrected = 0.0, rightCorrected = 0.0;
        int count = 0;
    };
    std::vector<Sums> sums(s.cells * s.cells);
    for (size_t k = 0; k < s.left.size(); ++k) {
        Sums& cell = sums[s.cell[k]];
        cell.left += s.left[k][channel], cell.right += s.right[k][channel];
        cell.leftCorrected += c.scale[k] * c.left[k];
        cell.rightCorrected += c.scale[k] * applyTone(tone, c.right[k]);
        ++cell.count;
    }
    double before = 0.0, after = 0.0;
    int counted = 0;
    for (const Sums& cell : sums) {
        if (cell.count < 16) continue;
        before += std::abs(cell.left - cell.right), after += std::abs(cell.leftCorrected - cell.rightCorrected);
        counted += cell.count;
    }
    out.cellsBefore = counted ? before / counted : 0.0;
    out.cellsAfter = counted ? after / counted : 0.0;
}

// Log brightness let through, per eye and channel, as polynomials in the squared radius.
using Falloffs = std::array<EyeColourCorrection::Falloff, 2>;

// The levels of the samples of a fold (-1: every sample) with the
// fall-offs `f`, and the samples' squared radii in each eye.
struct FoldLevels {
    std::array<ChannelLevels, 3> channel;
    std::vector<double> leftRho2, rightRho2;
};

FoldLevels levelsOf(const ColourSamples& s, const Falloffs& f, int fold) {
    FoldLevels out;
    for (size_t k = 0; k < s.left.size(); ++k) {
        if (fold >= 0 && s.fold[k] != fold) continue;
        const double xl = double(s.leftRadius[k]) * s.leftRadius[k], xr = double(s.rightRadius[k]) * s.rightRadius[k];
        out.leftRho2.push_back(xl), out.rightRho2.push_back(xr);
        for (int ch = 0; ch < 3; ++ch) {
            const double pl = polynomial(f[0][ch], xl), pr = polynomial(f[1][ch], xr);
            ChannelLevels& c = out.channel[ch];
            c.left.push_back(static_cast<float>(s.left[k][ch] * std::exp(pr - pl)));
            c.right.push_back(s.right[k][ch]);
            c.scale.push_back(static_cast<float>(std::exp(-pr)));
        }
    }
    return out;
}

// The fall-off difference of each channel, fitted on a fold (-1: every
// sample): the ratio of the corrected right to the corrected left (the same
// as that of the toned right to the left seen through the right lens),
// against the radius, until it shows no trend. The first round decides
// whose fall-off it is: the right's when the right is darker at the rim,
// else the left's; later rounds refine that eye's alone, so that the two
// never grow against each other.
Falloffs fitFalloffs(const ColourSamples& s, int fold) {
    Falloffs falloff{};
    std::array<int, 3> darker{-1, -1, -1};
    std::array<bool, 3> settled{false, false, false};
    for (int round = 0; round < 6; ++round) {
        const FoldLevels levels = levelsOf(s, falloff, fold);
        for (int ch = 0; ch < 3; ++ch) {
            if (settled[ch]) continue;
            const ChannelLevels& c = levels.channel[ch];
            const std::array<float, 256> tone = fitChannel(c).gainOffset.table;
            std::vector<double> e, xl, xr, xm;
            for (size_t k = 0; k < c.left.size(); ++k) {
                const double l = c.left[k], r = applyTone(tone, c.right[k]);
                if (l < 16.0 || r < 16.0) continue;
                e.push_back(std::log(r / l));
                xl.push_back(levels.leftRho2[k]), xr.push_back(levels.rightRho2[k]);
                xm.push_back(0.5 * (xl.back() + xr.back()));
            }
            std::array<double, 3> trend;
            settled[ch] = !fitRadialTrend(xm, e, trend) || std::abs(trend[0] + trend[1] + trend[2]) < 0.002;
            if (settled[ch]) continue;
            if (darker[ch] < 0) darker[ch] = trend[0] + trend[1] + trend[2] < 0.0 ? 1 : 0;
            settled[ch] = !fitRadialTrend(darker[ch] == 1 ? xr : xl, e, trend);
            if (settled[ch]) continue;
            for (int k = 0; k < 3; ++k) falloff[darker[ch]][ch][k] += darker[ch] == 1 ? trend[k] : -trend[k];
        }
    }
    return falloff;
}

// What each tone model leaves on cells it was not fitted on (mean absolute
// difference over the channels): fitted, with the fall-offs of that fold,
// on the cells of one colour of the checkerboard and measured on the
// other's, and the other way round.
struct HeldOut {
    double gainOffset = 0.0, curve = 0.0;
    double best() const { return std::min(gainOffset, curve); }
};

HeldOut heldOut(const ColourSamples& s, const std::array<Falloffs, 2>& foldFalloffs) {
    HeldOut held;
    for (int fold = 0; fold < 2; ++fold) {
        const FoldLevels fitted = levelsOf(s, foldFalloffs[fold], fold);
        const FoldLevels measured = levelsOf(s, foldFalloffs[fold], 1 - fold);
        for (int ch = 0; ch < 3; ++ch) {
            if (fitted.channel[ch].left.size() < kMinSamples / 4 || measured.channel[ch].left.empty()) continue;
            const ChannelFits fits = fitChannel(fitted.channel[ch]);
            held.gainOffset += meanAbsoluteAfter(measured.channel[ch], fits.gainOffset.table) / 6.0;
            held.curve += meanAbsoluteAfter(measured.channel[ch], fits.curve.table) / 6.0;
        }
    }
    return held;
}

}  // namespace

const char* toneModelName(ToneModel model) {
    switch (model) {
        case ToneModel::GainOffset: return "gain and offset";
        case ToneModel::Curve: return "tone curve";
        case ToneModel::Automatic: return "automatic";
    }
    return "?";
}

ColourSamples colourSamplesOfPair(const CameraModel& leftCamera, const cv::Mat& leftImage,
                                  const CameraModel& rightCamera, const cv::Mat& rightImage,
                                  const RotationMatrix& rightToLeft, const std::vector<StereoCorrespondence>& inliers,
                                  int inlierHalfSize, const PhotometricOptions& options) {
    ColourSamples s;
    for (const std::string& problem :
         {eyeImageProblem("left", leftCamera, leftImage), eyeImageProblem("right", rightCamera, rightImage)})
        if (s.error.empty()) s.error = problem;
    if (!s.error.empty()) return s;
    if (options.workingSize < 64 || options.cells < 2) {
        s.error = "the working size must be at least 64 and the far-field grid at least 2 cells wide";
        return s;
    }
    try {
        const int n = options.workingSize;
        const ColourHalf left = renderColourHalf(leftCamera, leftImage, n, RotationMatrix{}, options.threads);
        const ColourHalf right = renderColourHalf(rightCamera, rightImage, n, transpose(rightToLeft), options.threads);
        const std::array<LensCircle, 2> circle{lensCircle(leftCamera), lensCircle(rightCamera)};
        const double scale = inlierHalfSize > 0 ? static_cast<double>(n) / inlierHalfSize : 1.0;
        s = sampleHalves(left.bgr, right.bgr, left.valid & right.valid, radiusMap(left.source, circle[0]),
                         radiusMap(right.source, circle[1]), nearCells(inliers, scale, n, options), options);
        s.circle = circle;
    } catch (const std::exception& e) {
        s.error = std::string("the image library failed: ") + e.what();
    }
    return s;
}

ColourSamples colourSamplesOfSideBySide(const cv::Mat& sideBySide, const std::vector<StereoCorrespondence>& inliers,
                                        const PhotometricOptions& options) {
    ColourSamples s;
    if (sideBySide.type() != CV_8UC3 || sideBySide.cols != 2 * sideBySide.rows || sideBySide.rows < 64 ||
        options.workingSize < 64 || options.cells < 2) {
        s.error = "not an 8-bit BGR side-by-side image of square halves (2N x N, N >= 64), or a working size below 64";
        return s;
    }
    const int big = sideBySide.rows;
    const int n = std::min(big, options.workingSize);
    cv::Mat half[2], valid[2];
    for (int eye = 0; eye < 2; ++eye) {
        cv::Mat reduced;
        cv::resize(sideBySide.colRange(eye * big, (eye + 1) * big), reduced, cv::Size(n, n), 0, 0, cv::INTER_AREA);
        reduced.convertTo(half[eye], CV_32FC3);
        // The black that was not mapped is not scene; keep a margin off it.
        cv::Mat gray;
        cv::cvtColor(reduced, gray, cv::COLOR_BGR2GRAY);
        cv::compare(gray, 6, valid[eye], cv::CMP_GT);
        const int radius = std::max(2, n / 160);
        cv::erode(valid[eye], valid[eye],
                  cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1)),
                  cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::Scalar(0));
    }
    cv::Mat radius(n, n, CV_32FC1);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const Vec3 d = halfPixelDirection(n, {double(j), double(i)});
            radius.at<float>(i, j) = static_cast<float>(std::acos(std::clamp(d.y, -1.0, 1.0)) / (std::numbers::pi / 2));
        }
    return sampleHalves(half[0], half[1], valid[0] & valid[1], radius, radius,
                        nearCells(inliers, static_cast<double>(n) / big, n, options), options);
}

ColourMatch fitColourMatch(const ColourSamples& s, const PhotometricOptions& options) {
    ColourMatch m;
    if (!s.error.empty()) {
        m.error = s.error;
        return m;
    }
    m.pixels = static_cast<int>(s.left.size());
    m.shown = s.shown, m.near = s.near, m.clipped = s.clipped, m.black = s.black;
    if (m.pixels < kMinSamples) {
        m.error = "too few far-field pixels in common to compare (" + std::to_string(m.pixels) + " of " +
                   std::to_string(s.shown) + " shown by both eyes; " + std::to_string(s.near) + " near, " +
                   std::to_string(s.clipped) + " clipped, " + std::to_string(s.black) + " black; at least " +
                   std::to_string(kMinSamples) + " needed)";
        return m;
    }
    const size_t count = s.left.size();
    // Each eye's rim against its centre, as recorded, over the same pixels.
    for (int eye = 0; eye < 2; ++eye) {
        double rim = 0.0, centre = 0.0;
        int rims = 0, centres = 0;
        for (size_t k = 0; k < count; ++k) {
            const double y = luma(eye == 0 ? s.left[k] : s.right[k]);
            if (s.angle[k] >= 75.0 * kDegree) rim += y, ++rims;
            if (s.angle[k] <= 30.0 * kDegree) centre += y, ++centres;
        }
        m.rimToCentre[eye] = rims > 0 && centres > 0 && centre > 0.0 ? (rim / rims) / (centre / centres) : 0.0;
    }

    // The fall-off difference, kept only when it measures better on held-out cells.
    Falloffs falloff{};
    HeldOut held = heldOut(s, {falloff, falloff});
    const bool geometry = s.circle[0].rimRadius > 0.0 && s.circle[1].rimRadius > 0.0;
    if (options.falloff && geometry) {
        const HeldOut with = heldOut(s, {fitFalloffs(s, 0), fitFalloffs(s, 1)});
        m.heldOutWithoutFalloff = held.best();
        if (with.best() < held.best() - kMarginLevels) {
            falloff = fitFalloffs(s, -1);
            held = with;
            m.falloffKept = true;
        }
    }
    for (int eye = 0; eye < 2; ++eye)
        for (int ch = 0; ch < 3; ++ch) m.rimFalloff[eye][ch] = std::exp(polynomial(falloff[eye][ch], 1.0));
    m.heldOutGainOffset = held.gainOffset, m.heldOutCurve = held.curve;
    m.model = options.model;
    if (m.model == ToneModel::Automatic)
        m.model = held.curve < held.gainOffset - kMarginLevels ? ToneModel::Curve : ToneModel::GainOffset;

    const std::array<ChannelLevels, 3> all = levelsOf(s, falloff, -1).channel;
    for (int ch = 0; ch < 3; ++ch) {
        const ChannelFits fits = fitChannel(all[ch]);
        const ChannelTone& chosen = m.model == ToneModel::Curve ? fits.curve : fits.gainOffset;
        ChannelMatch& c = m.channel[ch];
        c.gain = fits.gainOffset.gain, c.offset = fits.gainOffset.offset;
        double before = 0.0;
        for (size_t k = 0; k < count; ++k) before += std::abs(s.left[k][ch] - s.right[k][ch]);
        c.before = before / count;
        c.after = meanAbsoluteAfter(all[ch], chosen.table);
        m.correction.eye[1].setTone(ch, chosen.table);
        cellDifferences(s, all[ch], ch, chosen.table, c);
    }
    for (int eye = 0; eye < 2; ++eye)
        m.correction.eye[eye].setFalloff(falloff[eye], s.circle[eye].axis.column, s.circle[eye].axis.row,
                                         s.circle[eye].rimRadius);
    return m;
}

double colourDifferenceLevels(const ColourMatch& match) {
    double largest = 0.0;
    for (const ChannelMatch& c : match.channel) largest = std::max(largest, c.cellsBefore);
    return largest;
}

alignment::Grade colourDifferenceGrade(const ColourMatch& match) {
    if (!match.ok()) return alignment::Grade::NotJudged;
    return alignment::gradeAtMost(colourDifferenceLevels(match), kColourDifferenceGoodLevels,
                                  kColourDifferenceAcceptableLevels);
}

ColourMatch measureColour(const cv::Mat& sideBySide, const StereoMeasurement& measurement,
                          const PhotometricOptions& options) {
    if (!measurement.ok()) {
        ColourMatch m;
        m.error = "the image was not measured: " + measurement.error;
        return m;
    }
    return fitColourMatch(colourSamplesOfSideBySide(sideBySide, measurement.correspondences, options), options);
}

}  // namespace vistereo::alignment
