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

// RANSAC with the MSAC score (sum of min(residual^2, threshold^2), a pair
// further than maxParallax from its partner counting as an outlier) over
// eight-pair samples: the geometry most pairs support, and how many do.
struct Consensus {
    Hypothesis best;
    int inliers = 0, iterations = 0;
};
Consensus ransac(const std::vector<DirectionPair>& pairs, const PoseOptions& options) {
    const int n = static_cast<int>(pairs.size());
    const double tau2 = options.inlierThreshold * options.inlierThreshold;
    const double cosMaxParallax = std::cos(options.maxParallax);
    cv::RNG rng(options.seed);
    double bestCost = std::numeric_limits<double>::infinity();
    Consensus c;
    c.best = {cv::Matx33d::eye(), cv::normalize(toCv(options.baselinePrior))};
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
            bestCost = cost, c.best = h, c.inliers = inliers;
            const double w = static_cast<double>(inliers) / n;
            const double miss = 1.0 - std::pow(w, 8.0);
            if (miss <= 0.0)
                needed = 0;
            else if (miss < 1.0)
                needed = static_cast<int>(std::ceil(std::log(1.0 - options.confidence) / std::log(miss)));
        }
    }
    c.iterations = iteration;
    return c;
}

// A pair's residual taken apart around u_L for the baseline t: the part off
// the epipolar plane through u_L and t, and the part along it, positive away
// from t. At the epipole (u_L along t) every direction is along the plane
// and no parallax can be told: such a pair can only be far.
struct Parts {
    double cross = 0.0, along = 0.0;
    cv::Vec3d normal, away;  // unit: the plane's normal, and the direction in it away from t
    bool atEpipole = false;
    double angle = 0.0;      // between u_L and R u_R
};
Parts partsOf(const cv::Matx33d& rotation, const cv::Vec3d& t, const DirectionPair& pair) {
    const cv::Vec3d left = toCv(pair.left), v = rotation * toCv(pair.right);
    Parts p;
    cv::Vec3d away = t.dot(left) * left - t;
    const double length = cv::norm(away);
    p.atEpipole = length < 1e-3;
    if (p.atEpipole) {
        cv::Vec3d e2;
        tangentBasis(left, away, e2);
    } else {
        away *= 1.0 / length;
    }
    p.away = away;
    p.normal = left.cross(away);
    p.cross = v.dot(p.normal);
    p.along = v.dot(away);
    p.angle = std::acos(std::clamp(left.dot(v), -1.0, 1.0));
    return p;
}

// 0: the rotation alone; +1, -1: the baseline on the nominal side or the other.
struct Setting {
    int side = 0;
    bool freeLine = false;  // the tilt and toe are fitted
};

struct HypothesisFit {
    cv::Matx33d rotation = cv::Matx33d::eye();
    cv::Vec3d baseline{1.0, 0.0, 0.0};
    double tilt = 0.0, toe = 0.0;
    double cost = std::numeric_limits<double>::infinity();
    std::vector<PointRole> roles;
    Mat5 information = Mat5::zeros();  // the data's normal matrix at the fit
};

class RoleCost {
public:
    RoleCost(const PoseOptions& o)
        : inlier2_(o.inlierThreshold * o.inlierThreshold), far2_(o.farLimit * o.farLimit),
          cosMaxParallax_(std::cos(o.maxParallax)) {}
    // The cheapest role of a pair for the hypothesis on `side`, and its cost.
    double operator()(const Parts& p, int side, PointRole& role) const {
        const double outlier = inlier2_ + far2_;
        if (std::cos(p.angle) < cosMaxParallax_) {
            role = PointRole::Outlier;
            return outlier;
        }
        double best = p.cross * p.cross + p.along * p.along;
        role = PointRole::Far;
        if (side != 0 && !p.atEpipole && p.along > 0.0) {
            const double near = p.cross * p.cross + far2_;
            if (near < best) best = near, role = PointRole::Near;
        }
        if (outlier < best) best = outlier, role = PointRole::Outlier;
        return best;
    }
    double far2() const { return far2_; }
    double outlier() const { return inlier2_ + far2_; }

private:
    double inlier2_, far2_, cosMaxParallax_;
};

// Fits one hypothesis from `rotation`: Levenberg-Marquardt on the rotation
// (and the baseline's tilt and toe when free), each pair in the role that
// costs it least at the current estimate. The tilt and toe are held near the
// nominal line by a prior worth one outlier per standard deviation squared.
HypothesisFit fitHypothesis(const std::vector<DirectionPair>& pairs, const BaselineLine& nominalLine, Setting setting,
                            cv::Matx33d rotation, const PoseOptions& options) {
    const RoleCost roleCost(options);
    const BaselineLine line = setting.side >= 0 ? nominalLine : baselineLine(-nominalLine.nominal);
    const int n = static_cast<int>(pairs.size());
    const bool freeLine = setting.side != 0 && setting.freeLine;
    const double priorWeight[2] = {roleCost.outlier() / (options.tiltSigma * options.tiltSigma),
                                   roleCost.outlier() / (options.toeSigma * options.toeSigma)};
    auto total = [&](const cv::Matx33d& r, double tilt, double toe, std::vector<PointRole>& roles) {
        const cv::Vec3d t = line.at(tilt, toe);
        double cost = 0.0;
        for (int i = 0; i < n; ++i) cost += roleCost(partsOf(r, t, pairs[i]), setting.side, roles[i]);
        if (freeLine) cost += 0.5 * (priorWeight[0] * tilt * tilt + priorWeight[1] * toe * toe);
        return cost;
    };
    HypothesisFit fit;
    fit.roles.resize(n);
    fit.rotation = rotation;
    fit.cost = total(rotation, 0.0, 0.0, fit.roles);
    double lambda = 1e-3;
    constexpr double kStep = 1e-6;  // numeric step of the tilt and toe
    auto normalEquations = [&](Mat5& h, Vec5& g) {
        h = Mat5::zeros(), g = Vec5::all(0.0);
        const cv::Vec3d t = line.at(fit.tilt, fit.toe);
        const cv::Vec3d tiltStepped = line.at(fit.tilt + kStep, fit.toe), toeStepped = line.at(fit.tilt, fit.toe + kStep);
        for (int i = 0; i < n; ++i) {
            if (fit.roles[i] == PointRole::Outlier) continue;
            const Parts p = partsOf(fit.rotation, t, pairs[i]);
            const cv::Vec3d v = fit.rotation * toCv(pairs[i].right);
            // A rotation step w moves v by w x v: the parts change by w . (v x normal) and w . (v x away).
            const cv::Vec3d dCross = v.cross(p.normal), dAlong = v.cross(p.away);
            Vec5 jc(dCross[0], dCross[1], dCross[2], 0.0, 0.0), ja(dAlong[0], dAlong[1], dAlong[2], 0.0, 0.0);
            if (freeLine) {
                const Parts a = partsOf(fit.rotation, tiltStepped, pairs[i]), b = partsOf(fit.rotation, toeStepped, pairs[i]);
                jc[3] = (a.cross - p.cross) / kStep, jc[4] = (b.cross - p.cross) / kStep;
                ja[3] = (a.along - p.along) / kStep, ja[4] = (b.along - p.along) / kStep;
            }
            h += jc * jc.t(), g += p.cross * jc;
            if (fit.roles[i] == PointRole::Far) h += ja * ja.t(), g += p.along * ja;
        }
    };
    for (int iteration = 0; iteration < 60; ++iteration) {
        Mat5 h;
        Vec5 g;
        normalEquations(h, g);
        if (freeLine) {
            h(3, 3) += priorWeight[0], g[3] += priorWeight[0] * fit.tilt;
            h(4, 4) += priorWeight[1], g[4] += priorWeight[1] * fit.toe;
        } else {
            holdUnknown(h, g, 3), holdUnknown(h, g, 4);
        }
        bool improved = false;
        double gain = 0.0;
        Vec5 step;
        for (int attempt = 0; attempt < 10 && !improved; ++attempt) {
            if (!dampedStep(h, g, lambda, step)) {
                lambda *= 10.0;
                continue;
            }
            const cv::Matx33d r = nearestRotation(rotationFromVector(cv::Vec3d(step[0], step[1], step[2])) * fit.rotation);
            std::vector<PointRole> roles(n);
            const double cost = total(r, fit.tilt + step[3], fit.toe + step[4], roles);
            if (cost <= fit.cost) {
                gain = fit.cost - cost;
                fit.rotation = r, fit.tilt += step[3], fit.toe += step[4], fit.cost = cost, fit.roles = std::move(roles);
                lambda = std::max(lambda * 0.3, 1e-9);
                improved = true;
            } else {
                lambda *= 10.0;
            }
        }
        if (!improved || (gain <= 1e-12 * roleCost.far2() && cv::norm(step) < 1e-10)) break;
    }
    fit.baseline = line.at(fit.tilt, fit.toe);
    Vec5 unused;
    normalEquations(fit.information, unused);
    return fit;
}

// The parallax of the strongly near points on either side of the nominal
// line under `rotation`: what each pair on the epipolar plane shows along
// it beyond three far limits, summed per side.
void weighSides(const std::vector<DirectionPair>& pairs, const cv::Matx33d& rotation, const cv::Vec3d& nominal,
                const PoseOptions& options, BaselineEvidence& evidence) {
    const double strong = 3.0 * options.farLimit;
    const double cosMaxParallax = std::cos(options.maxParallax);
    for (const DirectionPair& pair : pairs) {
        const Parts p = partsOf(rotation, nominal, pair);
        if (p.atEpipole || std::abs(p.cross) >= options.inlierThreshold || std::cos(p.angle) < cosMaxParallax) continue;
        const double beyond = std::abs(p.along) - strong;
        if (beyond <= 0.0) continue;
        if (p.along > 0.0)
            evidence.nominalSideParallax += beyond, ++evidence.nominalSidePoints;
        else
            evidence.otherSideParallax += beyond, ++evidence.otherSidePoints;
    }
}

}  // namespace

BaselineLine baselineLine(const cv::Vec3d& nominal) {
    BaselineLine line;
    line.nominal = cv::normalize(nominal);
    cv::Vec3d up = cv::Vec3d(0, 0, 1) - line.nominal[2] * line.nominal;
    if (cv::norm(up) < 1e-6) up = cv::Vec3d(0, 1, 0) - line.nominal[1] * line.nominal;
    line.up = cv::normalize(up);
    line.forward = line.nominal.cross(line.up);
    return line;
}

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
    const cv::Vec3d left = toCv(pair.left);
    const cv::Vec3d n = baseline.cross(rotation * toCv(pair.right));
    const double m = cv::norm(n);
    return m > 1e-12 ? left.dot(n) / m : 0.0;
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
    const Consensus consensus = ransac(pairs, options);
    estimate.ransacIterations = consensus.iterations;
    if (consensus.inliers < 8) return tooFew("pairs fit one stereo geometry");

    // The rotation alone, from the consensus's rotation and from the
    // rotation that best carries its inliers' directions (the better of the two).
    const BaselineLine line = baselineLine(toCv(options.baselinePrior));
    std::vector<int> agreeing;
    for (int i = 0; i < n; ++i)
        if (std::abs(coplanarityResidual(consensus.best.rotation, consensus.best.baseline, pairs[i])) <
            options.inlierThreshold)
            agreeing.push_back(i);
    HypothesisFit rotationOnly;
    for (const cv::Matx33d& start : {consensus.best.rotation, rotationOnlyFit(pairs, agreeing)}) {
        HypothesisFit fit = fitHypothesis(pairs, line, {0, false}, start, options);
        if (fit.cost < rotationOnly.cost) rotationOnly = std::move(fit);
    }

    BaselineEvidence& evidence = estimate.evidence;
    weighSides(pairs, rotationOnly.rotation, line.nominal, options, evidence);
    const double unit = RoleCost(options).far2();
    evidence.rotationOnlyCost = rotationOnly.cost / unit;
    int side = 1;
    if (!options.nominalSideOnly && evidence.otherSideParallax > evidence.nominalSideParallax)
        side = -1;
    const double forParallax = side > 0 ? evidence.nominalSideParallax : evidence.otherSideParallax;
    const double againstParallax = side > 0 ? evidence.otherSideParallax : evidence.nominalSideParallax;
    const int forPoints = side > 0 ? evidence.nominalSidePoints : evidence.otherSidePoints;
    if (forPoints < kStrongNearPoints) {
        evidence.nominalBecause = "too little of the scene is near enough to show the baseline by its parallax (" +
                                  std::to_string(forPoints) + " points, " + std::to_string(kStrongNearPoints) +
                                  " needed)";
        side = 1;
    } else if (forParallax < kSideDominance * againstParallax) {
        evidence.nominalBecause = "the near points' parallax does not take one side of the baseline clearly";
        side = 1;
    }
    evidence.otherSide = side < 0;
    const bool observed = evidence.nominalBecause.empty();

    // The baseline on each side tried, from the rotation alone; the side the
    // evidence chose is the estimate.
    HypothesisFit chosen;
    for (const int tried : {1, -1}) {
        if (tried < 0 && options.nominalSideOnly) continue;
        HypothesisFit fit = fitHypothesis(pairs, line, {tried, observed}, rotationOnly.rotation, options);
        (tried > 0 ? evidence.nominalSideCost : evidence.otherSideCost) = fit.cost / unit;
        if (tried == side) chosen = std::move(fit);
    }

    estimate.rotation = fromCv(chosen.rotation);
    estimate.baseline = fromCv(chosen.baseline);
    estimate.roles = chosen.roles;
    estimate.residuals.resize(n);
    std::vector<double> cross;
    for (int i = 0; i < n; ++i) {
        const Parts p = partsOf(chosen.rotation, chosen.baseline, pairs[i]);
        estimate.residuals[i] = p.cross;
        if (chosen.roles[i] == PointRole::Outlier) {
            if (!p.atEpipole && std::abs(p.cross) < options.inlierThreshold && p.along < -3.0 * options.farLimit)
                ++estimate.wrongSideInliers;
            continue;
        }
        estimate.inliers.push_back(i);
        estimate.nearInliers += chosen.roles[i] == PointRole::Near;
        cross.push_back(std::abs(p.cross));
    }
    if (estimate.inliers.size() < 8) return tooFew("pairs fit the refined stereo geometry");
    estimate.sigma = std::max(1.4826 * median(cross), options.inlierThreshold * 0.01);
    estimate.baselineObserved = observed;
    // Spread of t's direction from the data alone: the tilt and toe block of
    // the inverse of the normal matrix (rotation marginalised), scaled by the
    // cross parts' variance.
    estimate.baselineSigma = std::numeric_limits<double>::infinity();
    if (observed) {
        Mat5 covariance;
        if (cv::invert(chosen.information, covariance, cv::DECOMP_SVD) != 0.0) {
            const double a = covariance(3, 3), b = covariance(3, 4), d = covariance(4, 4);
            const double largest = 0.5 * (a + d) + std::sqrt(0.25 * (a - d) * (a - d) + b * b);
            if (std::isfinite(largest) && largest >= 0.0) estimate.baselineSigma = std::sqrt(largest) * estimate.sigma;
        }
    }
    return estimate;
}

}  // namespace vistereo::alignment
