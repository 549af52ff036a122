#include "lens/image_circle.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>

#include <opencv2/imgproc.hpp>

namespace vistereo::alignment {
namespace {

struct Circle {
    double x = 0.0, y = 0.0, r = 0.0;
};


// Rays cast from the circle's centre, half a degree apart.
constexpr int kRays = 720;

// The longer side of the reduced image the first estimate is made on.
constexpr double kCoarseSide = 800.0;

cv::Mat brightestChannel(const cv::Mat& frame) {
    CV_Assert(frame.depth() == CV_8U);
    if (frame.channels() == 1) return frame;
    cv::Mat out(frame.size(), CV_8UC1);
    const int channels = frame.channels();
    for (int y = 0; y < frame.rows; ++y) {
        const uchar* in = frame.ptr<uchar>(y);
        uchar* o = out.ptr<uchar>(y);
        for (int x = 0; x < frame.cols; ++x, in += channels) {
            uchar m = in[0];
            for (int c = 1; c < channels; ++c) m = std::max(m, in[c]);
            o[x] = m;
        }
    }
    return out;
}

std::optional<Circle> circleThrough(const cv::Point2d& a, const cv::Point2d& b, const cv::Point2d& c) {
    const double bx = b.x - a.x, by = b.y - a.y, cx = c.x - a.x, cy = c.y - a.y;
    const double d = 2.0 * (bx * cy - by * cx);
    if (std::abs(d) < 1e-9) return std::nullopt;
    const double b2 = bx * bx + by * by, c2 = cx * cx + cy * cy;
    const double ux = (cy * b2 - by * c2) / d, uy = (bx * c2 - cx * b2) / d;
    return Circle{a.x + ux, a.y + uy, std::hypot(ux, uy)};
}

double distanceFrom(const Circle& c, const cv::Point2d& p) { return std::hypot(p.x - c.x, p.y - c.y) - c.r; }

// The circle nearest the points in the sense of their distances from it,
// by Gauss-Newton steps from `start`.
Circle fitCircle(const std::vector<cv::Point2d>& points, Circle c) {
    for (int step = 0; step < 30; ++step) {
        cv::Matx33d normal = cv::Matx33d::zeros();
        cv::Vec3d gradient(0, 0, 0);
        for (const cv::Point2d& p : points) {
            const double dx = p.x - c.x, dy = p.y - c.y, d = std::hypot(dx, dy);
            if (d == 0.0) continue;
            const cv::Vec3d j(-dx / d, -dy / d, -1.0);
            normal += j * j.t();
            gradient += j * (d - c.r);
        }
        cv::Vec3d delta;
        if (!cv::solve(normal, -gradient, delta, cv::DECOMP_SVD)) break;
        c.x += delta[0], c.y += delta[1], c.r += delta[2];
        if (cv::norm(delta) < 1e-9) break;
    }
    return c;
}

// The circle that most rays' points lie within `tolerance` of, by weight (a
// ray with several points near it counts once, by the heaviest), from random
// triples (a fixed seed: the same picture gives the same circle). Points
// without rays (ray -1) each count alone.
std::optional<Circle> consensusCircle(const std::vector<RimPoint>& points, double tolerance, double minRadius,
                                      double maxRadius) {
    if (points.size() < 3) return std::nullopt;
    cv::RNG rng(0x1c1c1e);
    std::optional<Circle> best;
    double bestCount = 0.0;
    const int n = static_cast<int>(points.size());
    std::vector<int> stamp(kRays, -1);
    std::vector<double> rayWeight(kRays, 0.0);
    for (int trial = 0; trial < 800; ++trial) {
        const int i = rng.uniform(0, n), j = rng.uniform(0, n), k = rng.uniform(0, n);
        if (i == j || j == k || i == k) continue;
        const auto c = circleThrough(points[i].at, points[j].at, points[k].at);
        if (!c || c->r < minRadius || c->r > maxRadius) continue;
        double count = 0.0;
        for (const RimPoint& p : points) {
            if (std::abs(distanceFrom(*c, p.at)) > tolerance) continue;
            if (p.ray < 0) {
                count += p.weight;
            } else if (stamp[p.ray] != trial) {
                stamp[p.ray] = trial, rayWeight[p.ray] = p.weight, count += p.weight;
            } else if (p.weight > rayWeight[p.ray]) {
                count += p.weight - rayWeight[p.ray], rayWeight[p.ray] = p.weight;
            }
        }
        if (count > bestCount) bestCount = count, best = c;
    }
    return best;
}

// Trimmed least squares: fit to the points within the tolerance, then narrow
// the tolerance to what the fit's own spread allows, a few times over.
Circle trimmedFit(const std::vector<RimPoint>& points, Circle c, double tolerance, std::vector<RimPoint>& inliers) {
    for (int round = 0; round < 5; ++round) {
        inliers.clear();
        std::vector<cv::Point2d> kept;
        for (const RimPoint& p : points)
            if (std::abs(distanceFrom(c, p.at)) <= tolerance) inliers.push_back(p), kept.push_back(p.at);
        if (kept.size() < 3) return c;
        c = fitCircle(kept, c);
        double sum = 0.0;
        for (const cv::Point2d& p : kept) sum += distanceFrom(c, p) * distanceFrom(c, p);
        tolerance = std::max(0.6, 3.0 * std::sqrt(sum / kept.size()));
    }
    inliers.erase(std::remove_if(inliers.begin(), inliers.end(),
                                 [&](const RimPoint& p) { return std::abs(distanceFrom(c, p.at)) > tolerance; }),
                  inliers.end());
    return c;
}

double sampleBilinear(const cv::Mat& gray, double x, double y) {
    const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
    const double fx = x - x0, fy = y - y0;
    const uchar* r0 = gray.ptr<uchar>(y0);
    const uchar* r1 = gray.ptr<uchar>(std::min(y0 + 1, gray.rows - 1));
    const int x1 = std::min(x0 + 1, gray.cols - 1);
    return (r0[x0] * (1 - fx) + r0[x1] * fx) * (1 - fy) + (r1[x0] * (1 - fx) + r1[x1] * fx) * fy;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto mid = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

// Along each ray from the guessed centre, within `halfWindow` dots of the
// guessed rim, up to two places where the picture may end, each read its own
// way from the ray's profile:
//   the outermost crossing of the level halfway between the surround (the
//   outer quarter of the window) and the picture (the bright end of its
//   inner half), between samples: a sharp rim where its pixels are half
//   covered, and the outer edge of a rim that glows;
//   the steepest fall (the profile differenced over a few dots, found to a
//   fraction of a sample) beyond which the profile stays down, clear of the
//   surround's noise: a soft rim (a field stop out of focus) falls steepest
//   at the same place whatever the scene shows there, and stray light
//   glowing beyond the rim raises the surround, which moves the halfway
//   level outwards but not that place.
// Either may mislead on its own (a glow beyond the rim, a scene's ledge
// against a dark band of vignetting just inside it): the consensus keeps the
// circle most rays agree on, which only the rim goes all round. Rays whose
// window leaves the image (where the sensor cuts the circle) give none, nor
// rays in a dark scene whose fall is lost in the surround's noise.
std::vector<RimPoint> rimAlongRays(const cv::Mat& gray, const Circle& guess, double halfWindow) {
    constexpr double kStep = 0.5;
    const int samples = static_cast<int>(2.0 * halfWindow / kStep) + 1;
    const int reach = 4;  // samples either side of a slope (2 dots)
    std::vector<RimPoint> found;
    std::vector<double> profile(samples);
    for (int ray = 0; ray < kRays; ++ray) {
        const double angle = 2.0 * std::numbers::pi * ray / kRays, ux = std::cos(angle), uy = std::sin(angle);
        const double r0 = guess.r - halfWindow, r1 = guess.r + halfWindow;
        auto inside = [&](double r) {
            const double x = guess.x + r * ux, y = guess.y + r * uy;
            return x >= 1.0 && y >= 1.0 && x <= gray.cols - 2.0 && y <= gray.rows - 2.0;
        };
        if (r0 <= 0.0 || !inside(r0) || !inside(r1)) continue;
        for (int i = 0; i < samples; ++i) {
            const double r = r0 + i * kStep;
            profile[i] = sampleBilinear(gray, guess.x + r * ux, guess.y + r * uy);
        }
        auto point = [&](double at) {
            const double r = r0 + at * kStep;
            return RimPoint{{guess.x + r * ux, guess.y + r * uy}, ray};
        };
        // The surround's level and noise (the outer quarter), the picture's (the bright end of the inner half).
        std::vector<double> outer(profile.begin() + samples * 3 / 4, profile.end());
        const double surround = median(outer);
        for (double& v : outer) v = std::abs(v - surround);
        const double noise = 1.4826 * median(outer);
        std::vector<double> inner(profile.begin(), profile.begin() + samples / 2);
        std::nth_element(inner.begin(), inner.begin() + inner.size() * 9 / 10, inner.end());
        const double picture = inner[inner.size() * 9 / 10];
        if (picture - surround < std::max(8.0, 6.0 * noise)) continue;

        const double level = 0.5 * (surround + picture);
        for (int i = samples - 2; i >= 0; --i)
            if (profile[i] >= level && profile[i + 1] < level) {
                found.push_back(point(i + (profile[i] - level) / (profile[i] - profile[i + 1])));
                found.back().weight = 0.7;
                break;
            }

        auto slopeAt = [&](int i) { return profile[i + reach] - profile[i - reach]; };
        int at = -1;
        double steepest = 0.0;
        for (int i = 3 * reach; i < samples - 3 * reach; ++i) {
            const double slope = slopeAt(i);
            if (slope >= steepest || slope > slopeAt(i - 1) || slope > slopeAt(i + 1)) continue;
            const double before = profile[i - 3 * reach], after = profile[i + 3 * reach];
            if (before - after < std::max(4.0, 4.0 * noise)) continue;
            if (*std::max_element(profile.begin() + i + 3 * reach, profile.end()) > after + 0.5 * (before - after)) continue;
            steepest = slope, at = i;
        }
        if (at < 0) continue;
        const double a = slopeAt(at - 1), b = steepest, c = slopeAt(at + 1), curve = a - 2.0 * b + c;
        const double offset = curve > 0.0 ? std::clamp(0.5 * (a - c) / curve, -0.5, 0.5) : 0.0;
        const RimPoint fall = point(at + offset);
        if (found.empty() || found.back().ray != ray || cv::norm(found.back().at - fall.at) > 0.5) found.push_back(fall);
    }
    return found;
}

// The first estimate, on a reduced image: the boundary of the largest lit
// region, where it does not run along the image's edge, and the circle most
// of that boundary follows; or why the picture has none.
struct CoarseCircle : Fallible {
    Circle circle;
};

CoarseCircle coarseCircle(const cv::Mat& gray) {
    CoarseCircle out;
    const double scale = std::min(1.0, kCoarseSide / std::max(gray.cols, gray.rows));
    cv::Mat small;
    cv::resize(gray, small, cv::Size(), scale, scale, cv::INTER_AREA);
    std::vector<uchar> values(small.begin<uchar>(), small.end<uchar>());
    std::sort(values.begin(), values.end());
    const double dark = values[values.size() / 50], bright = values[values.size() * 95 / 100];
    const double threshold = dark + std::max(8.0, 0.06 * (bright - dark));
    const double darkShare =
        static_cast<double>(std::upper_bound(values.begin(), values.end(), threshold) - values.begin()) / values.size();
    if (bright - dark < 20.0 || darkShare < 0.01) {
        out.error = "the picture has no dark surround: it is lit out to its edges, as a rectilinear photograph or a "
                    "full-frame fisheye is, so there is no image circle to find";
        return out;
    }
    cv::Mat lit = small > threshold;
    cv::morphologyEx(lit, lit, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_ELLIPSE, {3, 3}));
    cv::morphologyEx(lit, lit, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 5}));
    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(lit, labels, stats, centroids, 8, CV_32S);
    int largest = 0;
    for (int i = 1; i < count; ++i)
        if (largest == 0 || stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA)) largest = i;
    std::vector<RimPoint> edge;
    for (int y = 2; y < labels.rows - 2; ++y)
        for (int x = 2; x < labels.cols - 2; ++x) {
            if (largest == 0 || labels.at<int>(y, x) != largest) continue;
            if (labels.at<int>(y - 1, x) != largest || labels.at<int>(y + 1, x) != largest ||
                labels.at<int>(y, x - 1) != largest || labels.at<int>(y, x + 1) != largest)
                edge.push_back({{(x + 0.5) / scale - 0.5, (y + 0.5) / scale - 0.5}, -1});
        }
    const double shorter = std::min(gray.cols, gray.rows), diagonal = std::hypot(gray.cols, gray.rows);
    const auto circle = edge.size() < 20 ? std::nullopt
                                         : consensusCircle(edge, 2.5 / scale, 0.05 * shorter, diagonal);
    if (circle)
        out.circle = *circle;
    else
        out.error = "no circular edge between the picture and a dark surround";
    return out;
}

// The circle `circle` as found: on its rim points `inliers` of the places
// `points` the rays gave, with how much of the rim they see; `error` when too
// little is seen or the edge is not a circle.
ImageCircle judged(const Circle& circle, const std::vector<RimPoint>& inliers, const std::vector<RimPoint>& points) {
    ImageCircle out;
    std::vector<bool> seen(kRays, false), edged(kRays, false);
    double sum = 0.0;
    for (const RimPoint& p : inliers) {
        seen[p.ray] = true;
        sum += distanceFrom(circle, p.at) * distanceFrom(circle, p.at);
    }
    for (const RimPoint& p : points) edged[p.ray] = true;
    out.centreX = circle.x, out.centreY = circle.y, out.radius = circle.r;
    out.rimPoints = static_cast<int>(inliers.size());
    const auto raysSeen = std::count(seen.begin(), seen.end(), true), raysEdged = std::count(edged.begin(), edged.end(), true);
    out.rimSeen = static_cast<double>(raysSeen) / kRays;
    out.residualPx = inliers.empty() ? 0.0 : std::sqrt(sum / inliers.size());
    if (inliers.size() < 30 || out.rimSeen < 0.1)
        out.error = "too little of a circular rim is visible (" + std::to_string(inliers.size()) + " points)";
    else if (raysSeen < 0.5 * raysEdged)
        out.error = "the edge of the dark surround is not a circle (it lies on one along " + std::to_string(raysSeen) +
                    " of the " + std::to_string(raysEdged) + " rays that cross it)";
    return out;
}

// The circle of one picture, and its rim points into `rim` when given.
ImageCircle findCircle(const cv::Mat& brightness, std::vector<RimPoint>* rim) {
    ImageCircle out;
    CV_Assert(brightness.type() == CV_8UC1);
    if (brightness.cols < 16 || brightness.rows < 16) {
        out.error = "the picture is too small to find a circle in";
        return out;
    }
    const CoarseCircle guess = coarseCircle(brightness);
    if (!guess.ok()) {
        out.error = guess.error;
        return out;
    }

    // Twice along the rays from each first estimate: a wide window around
    // it, then a narrow one around the circle the first pass found. The first
    // estimates: the lit region's edge, and circles centred on the picture
    // filling its shorter and its longer side (a dark scene near the rim
    // can pull the lit region's edge far inside the circle). The circle the
    // most rays see wins, the larger of two seen alike (a scene's round
    // object lies inside the rim).
    Circle circle = guess.circle;
    std::vector<RimPoint> points, inliers;
    int bestRays = -1;
    const double cx = 0.5 * (brightness.cols - 1), cy = 0.5 * (brightness.rows - 1);
    for (const Circle& start : {guess.circle, Circle{cx, cy, 0.5 * std::min(brightness.cols, brightness.rows)},
                                Circle{cx, cy, 0.5 * std::max(brightness.cols, brightness.rows)}}) {
        Circle c = start;
        std::vector<RimPoint> found, kept;
        for (const double window : {std::max(16.0, 0.06 * c.r), std::max(12.0, 0.03 * c.r)}) {
            found = rimAlongRays(brightness, c, window);
            const auto consensus = consensusCircle(found, 1.5, 0.5 * c.r, 2.0 * c.r);
            if (!consensus) break;
            c = trimmedFit(found, *consensus, 1.5, kept);
        }
        std::vector<bool> rays(kRays, false);
        for (const RimPoint& p : kept) rays[p.ray] = true;
        const int seenRays = static_cast<int>(std::count(rays.begin(), rays.end(), true));
        if (seenRays > 1.1 * bestRays || (seenRays >= 0.9 * bestRays && c.r > circle.r)) {
            bestRays = seenRays, circle = c, points = std::move(found), inliers = std::move(kept);
        }
    }
    out = judged(circle, inliers, points);
    if (rim) *rim = std::move(inliers);
    return out;
}

}  // namespace

bool BrightestFrame::add(const cv::Mat& frame) {
    const cv::Mat grey = brightestChannel(frame);
    if (frames_ == 0) {
        brightest_ = grey.clone();
    } else {
        if (grey.size() != brightest_.size()) return false;
        cv::max(brightest_, grey, brightest_);
    }
    ++frames_;
    return true;
}

ImageCircle detectImageCircle(const cv::Mat& brightness) { return findCircle(brightness, nullptr); }

bool CircleOverFrames::add(const cv::Mat& frame) {
    if (pooled_.frames() > 0 && frame.size() != pooled_.brightness().size()) return false;
    pooled_.add(frame);
    std::vector<RimPoint> rim;
    own_.push_back(findCircle(brightestChannel(frame), &rim));
    if (own_.back().ok()) rim_.insert(rim_.end(), rim.begin(), rim.end());
    return true;
}

PooledCircle CircleOverFrames::detect() const {
    PooledCircle p;
    p.frames = pooled_.frames();
    if (p.frames == 0) {
        p.circle.error = "no frames";
        return p;
    }
    // The rim points of every frame that shows its circle, fitted together:
    // each frame's rim where its scene lights it, none moved by another
    // frame's stray light; else (no frame shows one alone) the frames pooled
    // pixel by pixel at their brightest, so that one frame's dark rim is lit
    // by another's.
    std::vector<double> radii;
    for (const ImageCircle& c : own_)
        if (c.ok()) radii.push_back(c.radius);
    std::optional<Circle> consensus;
    if (own_.size() == 1) {
        p.circle = own_.front();  // one frame: its own circle
    } else if (!radii.empty()) {
        const double radius = median(radii);
        consensus = consensusCircle(rim_, 1.5, 0.5 * radius, 2.0 * radius);
    }
    if (consensus) {
        std::vector<RimPoint> inliers;
        p.circle = judged(trimmedFit(rim_, *consensus, 1.5, inliers), inliers, rim_);
    }
    if (own_.size() > 1 && (!consensus || !p.circle.ok())) p.circle = detectImageCircle(pooled_.brightness());
    if (!p.circle.ok()) return p;
    for (const ImageCircle& c : own_) {
        if (!c.ok()) continue;
        ++p.framesWithCircle;
        p.centreSpreadPx = std::max(p.centreSpreadPx, std::hypot(c.centreX - p.circle.centreX, c.centreY - p.circle.centreY));
        p.radiusSpreadPx = std::max(p.radiusSpreadPx, std::abs(c.radius - p.circle.radius));
    }
    return p;
}

}  // namespace vistereo::alignment
