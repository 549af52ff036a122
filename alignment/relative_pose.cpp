#include "alignment/relative_pose.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "alignment/rotation.h"
#include "alignment/cv_rotation.h"

namespace vistereo::alignment {
namespace {

using Vec5 = cv::Vec<double, 5>;
using Mat5 = cv::Matx<double, 5, 5>;

struct Hypothesis {
    cv::Matx33d rotation;
    cv::Vec3d baseline;
};

// The eight-point solution on directions: E with u_L^T E u_R = 0 for the
// sample, projected onto the essential matrices, split into the rotation
// that best carries the sample's right directions onto its left ones and
// the baseline (up to sign).
bool eightPoint(const std::vector<DirectionPair>& pairs, const int* sample, Hypothesis& out) {
    cv::Matx<double, 8, 9> a;
    for (int k = 0; k < 8; ++k) {
        const cv::Vec3d left = toCv(pairs[sample[k]].left), right = toCv(pairs[sample[k]].right);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) a(k, 3 * i + j) = left[i] * right[j];
    }
    cv::Mat e;
    cv::SVD::solveZ(cv::Mat(a), e);
    if (e.empty()) return false;
    const cv::Matx33d essential(e.ptr<double>());
    cv::Matx33d u, vt;
    cv::Matx31d s;
    cv::SVD::compute(essential, s, u, vt, cv::SVD::FULL_UV);
    if (cv::determinant(u) < 0) u = -u;
    if (cv::determinant(vt) < 0) vt = -vt;
    const cv::Matx33d w(0, -1, 0, 1, 0, 0, 0, 0, 1);
    const cv::Matx33d r1 = u * w * vt, r2 = u * w.t() * vt;
    double misfit1 = 0.0, misfit2 = 0.0;
    for (int k = 0; k < 8; ++k) {
        const cv::Vec3d left = toCv(pairs[sample[k]].left), right = toCv(pairs[sample[k]].right);
        misfit1 += 1.0 - left.dot(r1 * right);
        misfit2 += 1.0 - left.dot(r2 * right);
    }
    out.rotation = misfit1 <= misfit2 ? r1 : r2;
    out.baseline = cv::Vec3d(u(0, 2), u(1, 2), u(2, 2));
    return std::isfinite(out.rotation(0, 0)) && std::isfinite(out.baseline[0]);
}

// Residual, and the coplanarity residual's derivatives with respect to a
// rotation step (left-multiplied) and a tangent step (e1, e2) of t.
double residualAndJacobian(const cv::Matx33d& r, const cv::Vec3d& t, const cv::Vec3d& e1, const cv::Vec3d& e2,
                           const DirectionPair& p, Vec5* jacobian) {
    const cv::Vec3d left = toCv(p.left);
    const cv::Vec3d v = r * toCv(p.right);
    const cv::Vec3d n = t.cross(v);
    const double m = cv::norm(n);
    if (!(m > 1e-12)) {
        if (jacobian) *jacobian = Vec5::all(0.0);
        return 0.0;
    }
    const double res = left.dot(n) / m;
    if (jacobian) {
        const cv::Vec3d g = (left - res * n / m) / m;  // d res / d n
        const cv::Vec3d dw = t.dot(v) * g - g.dot(v) * t;  // n changes by t x (dw x v)
        (*jacobian)[0] = dw[0], (*jacobian)[1] = dw[1], (*jacobian)[2] = dw[2];
        (*jacobian)[3] = g.dot(e1.cross(v));
        (*jacobian)[4] = g.dot(e2.cross(v));
    }
    return res;
}

double huber(double x, double k) {
    const double a = std::abs(x);
    return a <= k ? 0.5 * x * x : k * (a - 0.5 * k);
}

struct Refinement {
    cv::Matx33d rotation;
    cv::Vec3d baseline;
    double sigma = 0.0;
    double baselineSigma = 0.0;
};

// Huber-weighted Levenberg-Marquardt on the inliers, with the prior
// ((b_k . t) / sigma_t)^2 for the two directions b_k across the prior line.
Refinement refine(const std::vector<DirectionPair>& pairs, const std::vector<int>& inliers, cv::Matx33d rotation,
                  cv::Vec3d baseline, const PoseOptions& options, bool fixedBaseline) {
    cv::Vec3d b1, b2;
    tangentBasis(cv::normalize(toCv(options.baselinePrior)), b1, b2);
    const double priorWeight = 1.0 / (options.baselinePriorSigma * options.baselinePriorSigma);
    Refinement result;
    double sigma = options.inlierThreshold / 3.0;

    auto cost = [&](const cv::Matx33d& r, const cv::Vec3d& t, double s) {
        const double k = 1.345;
        double c = 0.0;
        cv::Vec3d e1, e2;
        tangentBasis(t, e1, e2);
        for (int index : inliers) c += huber(residualAndJacobian(r, t, e1, e2, pairs[index], nullptr) / s, k);
        const double p1 = b1.dot(t), p2 = b2.dot(t);
        return c + 0.5 * priorWeight * (p1 * p1 + p2 * p2);
    };

    for (int outer = 0; outer < 4; ++outer) {
        // Robust scale of the current residuals, floored at a hundredth of the threshold.
        std::vector<double> absolute;
        absolute.reserve(inliers.size());
        cv::Vec3d e1, e2;
        tangentBasis(baseline, e1, e2);
        for (int index : inliers)
            absolute.push_back(std::abs(residualAndJacobian(rotation, baseline, e1, e2, pairs[index], nullptr)));
        sigma = std::max(1.4826 * median(absolute), options.inlierThreshold * 0.01);

        double lambda = 1e-3;
        double current = cost(rotation, baseline, sigma);
        for (int iteration = 0; iteration < 25; ++iteration) {
            tangentBasis(baseline, e1, e2);
            Mat5 h = Mat5::zeros();
            Vec5 g = Vec5::all(0.0);
            for (int index : inliers) {
                Vec5 j;
                const double r = residualAndJacobian(rotation, baseline, e1, e2, pairs[index], &j) / sigma;
                j *= 1.0 / sigma;
                const double w = std::abs(r) <= 1.345 ? 1.0 : 1.345 / std::abs(r);
                h += w * (j * j.t());
                g += w * r * j;
            }
            // Prior rows: p_k = b_k . t, dp_k / d tangent step = b_k . e.
            const double p1 = b1.dot(baseline), p2 = b2.dot(baseline);
            const Vec5 j1(0, 0, 0, b1.dot(e1), b1.dot(e2)), j2(0, 0, 0, b2.dot(e1), b2.dot(e2));
            h += priorWeight * (j1 * j1.t() + j2 * j2.t());
            g += priorWeight * (p1 * j1 + p2 * j2);
            if (fixedBaseline)
                for (int d = 3; d < 5; ++d) {
                    for (int e = 0; e < 5; ++e) h(d, e) = h(e, d) = 0.0;
                    h(d, d) = 1.0, g[d] = 0.0;
                }

            bool improved = false;
            for (int attempt = 0; attempt < 10 && !improved; ++attempt) {
                Mat5 damped = h;
                for (int d = 0; d < 5; ++d) damped(d, d) += lambda * std::max(h(d, d), 1e-12);
                Vec5 step;
                if (!cv::solve(damped, -g, step, cv::DECOMP_CHOLESKY)) {
                    lambda *= 10.0;
                    continue;
                }
                const cv::Matx33d r2 = rotationFromVector(cv::Vec3d(step[0], step[1], step[2])) * rotation;
                const cv::Vec3d t2 = cv::normalize(baseline + step[3] * e1 + step[4] * e2);
                const double next = cost(r2, t2, sigma);
                if (next <= current) {
                    const double gain = current - next;
                    rotation = nearestRotation(r2), baseline = t2, current = next;
                    lambda = std::max(lambda * 0.3, 1e-9);
                    improved = true;
                    if (gain < 1e-10 * std::max(1.0, current) && cv::norm(step) < 1e-10) iteration = 1000;
                } else {
                    lambda *= 10.0;
                }
            }
            if (!improved) break;
        }
    }

    // Spread of t's direction from the data alone: the t block of the
    // inverse of the data's information matrix (rotation marginalised).
    cv::Vec3d e1, e2;
    tangentBasis(baseline, e1, e2);
    Mat5 h = Mat5::zeros();
    for (int index : inliers) {
        Vec5 j;
        const double r = residualAndJacobian(rotation, baseline, e1, e2, pairs[index], &j) / sigma;
        j *= 1.0 / sigma;
        const double w = std::abs(r) <= 1.345 ? 1.0 : 1.345 / std::abs(r);
        h += w * (j * j.t());
    }
    Mat5 covariance;
    double baselineSigma = 10.0;
    if (cv::invert(h, covariance, cv::DECOMP_SVD) != 0.0) {
        const double a = covariance(3, 3), b = covariance(3, 4), d = covariance(4, 4);
        const double largest = 0.5 * (a + d) + std::sqrt(0.25 * (a - d) * (a - d) + b * b);
        if (std::isfinite(largest) && largest >= 0.0) baselineSigma = std::min(10.0, std::sqrt(largest));
    }
    result.rotation = rotation;
    result.baseline = baseline;
    result.sigma = sigma;
    result.baselineSigma = baselineSigma;
    return result;
}

}  // namespace

void tangentBasis(const cv::Vec3d& t, cv::Vec3d& e1, cv::Vec3d& e2) {
    const cv::Vec3d helper = std::abs(t[2]) < 0.9 ? cv::Vec3d(0, 0, 1) : cv::Vec3d(0, 1, 0);
    e1 = cv::normalize(helper.cross(t));
    e2 = t.cross(e1);
}

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    return values[middle];
}

cv::Matx33d rotationOnlyFit(const std::vector<DirectionPair>& pairs, const std::vector<int>& chosen) {
    cv::Matx33d m = cv::Matx33d::zeros();
    for (int index : chosen) m += toCv(pairs[index].left) * toCv(pairs[index].right).t();
    return nearestRotation(m);
}

double coplanarityResidual(const cv::Matx33d& rotation, const cv::Vec3d& baseline, const DirectionPair& pair) {
    cv::Vec3d e1, e2;
    tangentBasis(baseline, e1, e2);
    return residualAndJacobian(rotation, baseline, e1, e2, pair, nullptr);
}

double signedParallax(const cv::Matx33d& rotation, const cv::Vec3d& baseline, const DirectionPair& pair) {
    const cv::Vec3d left = toCv(pair.left);
    const cv::Vec3d v = rotation * toCv(pair.right);
    const double angle = std::acos(std::clamp(left.dot(v), -1.0, 1.0));
    return left.dot(baseline) >= v.dot(baseline) ? angle : -angle;
}

DisparityParts disparityParts(const cv::Matx33d& remaining, const cv::Vec3d& baseline, const DirectionPair& shown) {
    auto polar = [](const cv::Vec3d& d) { return std::acos(std::clamp(d[2] / cv::norm(d), -1.0, 1.0)); };
    const cv::Vec3d shownLeft = toCv(shown.left);
    const cv::Vec3d w = remaining * toCv(shown.right);
    cv::Vec3d aligned = w;  // on the epipolar plane of u_L (none where u_L lies along the baseline)
    const cv::Vec3d normal = baseline.cross(shownLeft);
    if (const double length = cv::norm(normal); length > 1e-12) {
        const cv::Vec3d n = normal / length;
        aligned = cv::normalize(w - w.dot(n) * n);
    }
    DisparityParts parts;
    const double left = polar(shownLeft);
    parts.vertical = polar(toCv(shown.right)) - left;
    parts.parallax = polar(aligned) - left;
    parts.misalignment = parts.vertical - parts.parallax;
    parts.along = signedParallax(cv::Matx33d::eye(), baseline, {shown.left, fromCv(aligned)});
    return parts;
}

PoseEstimate estimateRelativePose(const std::vector<DirectionPair>& pairs, const PoseOptions& options) {
    PoseEstimate estimate;
    // Eight pairs fix a geometry: with fewer supporting one, there is none.
    auto tooFew = [&](const char* which) {
        estimate.error = std::string("fewer than 8 ") + which;
        return estimate;
    };
    const int n = static_cast<int>(pairs.size());
    if (n < 8) return tooFew("direction pairs");

    // RANSAC with the MSAC score: sum of min(residual^2, threshold^2), a
    // pair further than maxParallax from its partner counting as an outlier.
    const double tau = options.inlierThreshold, tau2 = tau * tau;
    const double cosMaxParallax = std::cos(options.maxParallax);
    cv::RNG rng(options.seed);
    double bestCost = std::numeric_limits<double>::infinity();
    Hypothesis best{cv::Matx33d::eye(), cv::normalize(toCv(options.baselinePrior))};
    int bestInliers = 0;
    int needed = options.maxIterations, iteration = 0;
    for (; iteration < needed && iteration < options.maxIterations; ++iteration) {
        int sample[8];
        for (int k = 0; k < 8; ++k) {
            bool fresh;
            do {
                sample[k] = rng.uniform(0, n);
                fresh = std::find(sample, sample + k, sample[k]) == sample + k;
            } while (!fresh);
        }
        Hypothesis h;
        if (!eightPoint(pairs, sample, h)) continue;
        double cost = 0.0;
        int inliers = 0;
        for (int i = 0; i < n && cost < bestCost; ++i) {
            const cv::Vec3d left = toCv(pairs[i].left);
            const cv::Vec3d v = h.rotation * toCv(pairs[i].right);
            if (left.dot(v) < cosMaxParallax) {
                cost += tau2;
                continue;
            }
            const cv::Vec3d c = h.baseline.cross(v);
            const double m2 = c.dot(c);
            const double d = left.dot(c);
            const double r2 = m2 > 0.0 ? d * d / m2 : 0.0;
            if (r2 < tau2) {
                cost += r2;
                ++inliers;
            } else {
                cost += tau2;
            }
        }
        if (cost < bestCost) {
            bestCost = cost, best = h, bestInliers = inliers;
            const double w = static_cast<double>(inliers) / n;
            const double miss = 1.0 - std::pow(w, 8.0);
            if (miss <= 0.0)
                needed = 0;
            else if (miss < 1.0)
                needed = static_cast<int>(std::ceil(std::log(1.0 - options.confidence) / std::log(miss)));
        }
    }
    estimate.ransacIterations = iteration;
    if (bestInliers < 8) return tooFew("pairs fit one stereo geometry");

    auto classify = [&](const cv::Matx33d& r, const cv::Vec3d& t, double threshold) {
        std::vector<int> chosen;
        for (int i = 0; i < n; ++i) {
            const cv::Vec3d v = r * toCv(pairs[i].right);
            if (toCv(pairs[i].left).dot(v) < cosMaxParallax) continue;
            if (std::abs(coplanarityResidual(r, t, pairs[i])) < threshold) chosen.push_back(i);
        }
        return chosen;
    };

    // Refinement from the RANSAC rotation and the prior baseline; the
    // inliers re-chosen with the refined model, then refined again.
    const cv::Vec3d prior = cv::normalize(toCv(options.baselinePrior));
    std::vector<int> inliers = classify(best.rotation, best.baseline, tau);
    Refinement refined = refine(pairs, inliers, best.rotation, prior, options, false);
    inliers = classify(refined.rotation, refined.baseline, tau);
    if (inliers.size() < 8) return tooFew("pairs fit the refined stereo geometry");
    refined = refine(pairs, inliers, refined.rotation, refined.baseline, options, false);

    // Parallax decides t only where it shows: near points lie on the far
    // side of u_L from t, by more than the matching noise. Along the
    // epipolar line that noise is heavier-tailed than across it, so only
    // parallax beyond 8 sigma counts, and only when it clearly takes one
    // side: far points' noise falls on both alike.
    auto sides = [&](const cv::Matx33d& r, const cv::Vec3d& t, double s, int& ahead, int& behind) {
        ahead = behind = 0;
        for (int index : inliers) {
            const double p = signedParallax(r, t, pairs[index]);
            if (p > 8.0 * s) ++ahead;
            if (p < -8.0 * s) ++behind;
        }
    };
    int ahead = 0, behind = 0;
    sides(refined.rotation, refined.baseline, refined.sigma, ahead, behind);
    if (behind > ahead && !options.fixedBaseline) {
        refined.baseline = -refined.baseline;
        std::swap(ahead, behind);
    }
    const bool observed = !options.fixedBaseline && ahead >= 30 && ahead >= 4 * behind;
    if (observed) {
        // Pairs whose parallax clearly takes the wrong side cannot be real
        // (a point behind the line of sight): dropped.
        std::vector<int> kept;
        for (int index : inliers)
            if (signedParallax(refined.rotation, refined.baseline, pairs[index]) >= -8.0 * refined.sigma)
                kept.push_back(index);
        estimate.wrongSideInliers = static_cast<int>(inliers.size() - kept.size());
        inliers = std::move(kept);
        if (inliers.size() < 8) return tooFew("pairs fit the refined stereo geometry");
        const cv::Vec3d sign = refined.baseline;
        refined = refine(pairs, inliers, refined.rotation, refined.baseline, options, false);
        if (refined.baseline.dot(sign) < 0) refined.baseline = -refined.baseline;
        sides(refined.rotation, refined.baseline, refined.sigma, ahead, behind);
    } else {
        // No parallax to speak of: t is the prior, R alone is refined.
        refined = refine(pairs, inliers, refined.rotation, prior, options, true);
        refined.baselineSigma = std::numeric_limits<double>::infinity();
        inliers = classify(refined.rotation, refined.baseline, tau);
        if (inliers.size() < 8) return tooFew("pairs fit the refined stereo geometry");
        refined = refine(pairs, inliers, refined.rotation, prior, options, true);
        refined.baselineSigma = std::numeric_limits<double>::infinity();
        sides(refined.rotation, refined.baseline, refined.sigma, ahead, behind);
    }

    estimate.rotation = fromCv(refined.rotation);
    estimate.baseline = fromCv(refined.baseline);
    estimate.inliers = inliers;
    estimate.sigma = refined.sigma;
    estimate.baselineSigma = refined.baselineSigma;
    estimate.nearInliers = ahead;
    estimate.baselineObserved = observed;
    estimate.residuals.resize(n);
    for (int i = 0; i < n; ++i) estimate.residuals[i] = coplanarityResidual(refined.rotation, refined.baseline, pairs[i]);
    return estimate;
}

}  // namespace vistereo::alignment
