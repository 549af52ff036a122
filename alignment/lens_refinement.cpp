// The right lens refined against the left, jointly with the rotation and the baseline.
#include "alignment/lens_refinement.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "alignment/relative_pose.h"
#include "alignment/rotation.h"
#include "alignment/cv_rotation.h"
#include "alignment/working_view.h"

namespace vistereo::alignment {
namespace {

// The unknowns: a rotation step (left-multiplied), the baseline's tilt and
// toe from the rig's line on the side the pose found, and the right lens's
// axisDx, axisDy, scale and shape, in that order.
constexpr int kParams = 9;
constexpr int kFirstLensParam = 5;
using VecP = cv::Vec<double, kParams>;
using MatP = cv::Matx<double, kParams, kParams>;
constexpr double kHuber = 1.345;

struct Model {
    cv::Matx33d rotation = cv::Matx33d::eye();
    double tilt = 0.0, toe = 0.0;
    cv::Vec3d baseline{1.0, 0.0, 0.0};  // the line's direction at tilt and toe
    LensCorrection lens;
};

// Which unknowns move: the baseline's turn only when parallax measures it
// (else it is the rig's nominal line), the lens terms only when asked, the
// shape term only when fitted.
struct Freedom {
    bool baseline = false, lens = true, shape = false;
    bool moves(int k) const {
        if (k == 3 || k == 4) return baseline;
        if (k >= kFirstLensParam && k < kParams - 1) return lens;
        if (k == kParams - 1) return lens && shape;
        return true;
    }
};

LensCorrection stepped(const LensCorrection& c, int k, double h) {
    LensCorrection out = c;
    if (k == 5) out.axisDx += h;
    if (k == 6) out.axisDy += h;
    if (k == 7) out.scale += h;
    if (k == 8) out.shape += h;
    return out;
}

// Numeric step of each lens term: a hundredth of a pixel, 1e-6 of the scale and of the shape.
constexpr double kLensStep[4] = {1e-2, 1e-2, 1e-6, 1e-6};

// A match's residual around u_L for the baseline t: off the epipolar plane
// through u_L and t, and along it (positive away from t); NaN where the lens
// cannot place the right pixel. At the epipole any two directions do.
struct Residual {
    double cross = 0.0, along = 0.0;
};
Residual residualOf(const cv::Matx33d& r, const cv::Vec3d& t, const cv::Vec3d& left, const cv::Vec3d& right) {
    if (!std::isfinite(right[0])) return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    cv::Vec3d away = t.dot(left) * left - t, unused;
    if (const double length = cv::norm(away); length > 1e-3) away *= 1.0 / length;
    else tangentBasis(left, away, unused);
    const cv::Vec3d v = r * right;
    return {v.dot(left.cross(away)), v.dot(away)};
}

struct Problem {
    const CameraModel& right;
    const std::vector<cv::Vec3d>& left;          // left directions of every match
    const std::vector<SourcePosition>& rightSource;  // right source positions of every match
    std::vector<int> chosen;                      // the matches fitted
    Freedom freedom;
    double radius = 1.0;  // the right eye's radius for 90 degrees, dots (the axis prior's scale)
    BaselineLine line;    // the rig's line on the pose's side

    std::vector<cv::Vec3d> rightDirections(const LensCorrection& c) const {
        const CameraModel camera = right.withCorrection(c);
        std::vector<cv::Vec3d> out;
        out.reserve(chosen.size());
        for (int i : chosen) out.push_back(toCv(directionOfSourcePosition(camera, rightSource[i])));
        return out;
    }
    // The chosen matches' residuals across their epipolar planes.
    std::vector<double> components(const Model& m, const std::vector<cv::Vec3d>& right) const {
        std::vector<double> out;
        out.reserve(chosen.size());
        for (size_t k = 0; k < chosen.size(); ++k)
            out.push_back(residualOf(m.rotation, m.baseline, left[chosen[k]], right[k]).cross);
        return out;
    }
};

// Prior terms in the fit's own units: (value - record) / sigma; the
// baseline's as the pose estimate holds it near the rig's line.
constexpr double kAxisPriorShare = 0.02, kScalePriorSigma = 0.05, kShapePriorSigma = 0.05;
const PoseOptions kPoseDefaults;

struct Evaluation {
    std::vector<double> residuals;  // per component; NaN where the lens cannot place a match
    double cost = 0.0;
};

Evaluation evaluate(const Problem& p, const Model& m, double scale) {
    Evaluation e;
    e.residuals = p.components(m, p.rightDirections(m.lens));
    for (double r : e.residuals) {
        const double a = std::isfinite(r) ? std::abs(r) / scale : kHuber * 10.0;
        e.cost += a <= kHuber ? 0.5 * a * a : kHuber * (a - 0.5 * kHuber);
    }
    const double ax = m.lens.axisDx / (kAxisPriorShare * p.radius), ay = m.lens.axisDy / (kAxisPriorShare * p.radius);
    const double s = (m.lens.scale - 1.0) / kScalePriorSigma, k = m.lens.shape / kShapePriorSigma;
    const double tilt = m.tilt / kPoseDefaults.tiltSigma, toe = m.toe / kPoseDefaults.toeSigma;
    e.cost += 0.5 * (ax * ax + ay * ay + s * s + k * k + tilt * tilt + toe * toe);
    return e;
}

Model applyStep(const Problem& p, const Model& m, const VecP& step) {
    Model out = m;
    out.rotation = nearestRotation(rotationFromVector(cv::Vec3d(step[0], step[1], step[2])) * m.rotation);
    out.tilt += step[3], out.toe += step[4];
    out.baseline = p.line.at(out.tilt, out.toe);
    for (int k = kFirstLensParam; k < kParams; ++k) out.lens = stepped(out.lens, k, step[k]);
    return out;
}

// Jacobian rows of the residual components (numeric), at model m.
std::vector<VecP> jacobian(const Problem& p, const Model& m, const std::vector<double>& residuals) {
    std::vector<VecP> rows(residuals.size(), VecP::all(0.0));
    const std::vector<cv::Vec3d> right = p.rightDirections(m.lens);
    constexpr double kAngleStep = 1e-7;
    for (int k = 0; k < kParams; ++k) {
        if (!p.freedom.moves(k)) continue;
        std::vector<double> moved;
        double h = kAngleStep;
        if (k < kFirstLensParam) {
            VecP step = VecP::all(0.0);
            step[k] = kAngleStep;
            moved = p.components(applyStep(p, m, step), right);
        } else {
            h = kLensStep[k - kFirstLensParam];
            moved = p.components(m, p.rightDirections(stepped(m.lens, k, h)));
        }
        for (size_t i = 0; i < rows.size(); ++i) rows[i][k] = (moved[i] - residuals[i]) / h;
    }
    return rows;
}

// The prior's information and gradient on the baseline's turn and the lens terms.
void addPrior(const Problem& p, const Model& m, MatP& h, VecP& g) {
    const double turnSigma[2] = {kPoseDefaults.tiltSigma, kPoseDefaults.toeSigma}, turn[2] = {m.tilt, m.toe};
    for (int k = 0; k < 2; ++k) {
        const double w2 = 1.0 / (turnSigma[k] * turnSigma[k]);
        h(3 + k, 3 + k) += w2;
        g[3 + k] += w2 * turn[k];
    }
    const double sigma[4] = {kAxisPriorShare * p.radius, kAxisPriorShare * p.radius, kScalePriorSigma, kShapePriorSigma};
    const double value[4] = {m.lens.axisDx, m.lens.axisDy, m.lens.scale - 1.0, m.lens.shape};
    for (int k = 0; k < 4; ++k) {
        const double w2 = 1.0 / (sigma[k] * sigma[k]);
        h(kFirstLensParam + k, kFirstLensParam + k) += w2;
        g[kFirstLensParam + k] += w2 * value[k];
    }
}

double robustScale(const std::vector<double>& residuals, double floor) {
    std::vector<double> a;
    for (double r : residuals)
        if (std::isfinite(r)) a.push_back(std::abs(r));
    return std::max(1.4826 * median(a), floor);
}

struct Fit {
    Model model;
    double rms = 0.0;          // RMS residual of the chosen matches, radians
    MatP covariance = MatP::zeros();
    std::vector<double> residuals;
};

// Huber-weighted Levenberg-Marquardt from `start` on the chosen matches.
Fit solve(const Problem& p, Model model, double floor) {
    Evaluation current = evaluate(p, model, 1.0);
    double scale = robustScale(current.residuals, floor);
    for (int outer = 0; outer < 3; ++outer) {
        current = evaluate(p, model, scale);
        double lambda = 1e-3;
        for (int iteration = 0; iteration < 30; ++iteration) {
            const std::vector<VecP> rows = jacobian(p, model, current.residuals);
            MatP h = MatP::zeros();
            VecP g = VecP::all(0.0);
            for (size_t i = 0; i < rows.size(); ++i) {
                const double r = current.residuals[i] / scale;
                if (!std::isfinite(r)) continue;
                const VecP j = rows[i] * (1.0 / scale);
                const double w = std::abs(r) <= kHuber ? 1.0 : kHuber / std::abs(r);
                h += w * (j * j.t());
                g += w * r * j;
            }
            addPrior(p, model, h, g);
            for (int k = 0; k < kParams; ++k)
                if (!p.freedom.moves(k)) holdUnknown(h, g, k);
            bool improved = false;
            double gain = 0.0;
            VecP step;
            for (int attempt = 0; attempt < 10 && !improved; ++attempt) {
                if (!dampedStep(h, g, lambda, step)) {
                    lambda *= 10.0;
                    continue;
                }
                const Model next = applyStep(p, model, step);
                const Evaluation e = evaluate(p, next, scale);
                if (e.cost <= current.cost) {
                    gain = current.cost - e.cost;
                    model = next, current = e;
                    lambda = std::max(lambda * 0.3, 1e-9);
                    improved = true;
                } else {
                    lambda *= 10.0;
                }
            }
            if (!improved || gain < 1e-9 * std::max(1.0, current.cost)) break;
        }
        scale = robustScale(current.residuals, floor);
    }

    // The covariance: the normal equations' inverse, the data's part scaled
    // by the residual's variance over the degrees of freedom.
    Fit fit;
    fit.model = model;
    fit.residuals = evaluate(p, model, scale).residuals;
    const std::vector<VecP> rows = jacobian(p, model, fit.residuals);
    MatP h = MatP::zeros();
    double squares = 0.0, weighted = 0.0;
    int used = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const double r = fit.residuals[i];
        if (!std::isfinite(r)) continue;
        const double w = std::abs(r / scale) <= kHuber ? 1.0 : kHuber / std::abs(r / scale);
        h += w * (rows[i] * rows[i].t());
        squares += r * r, weighted += w * r * r, ++used;
    }
    fit.rms = used ? std::sqrt(squares / used) : 0.0;
    int free = 0;
    for (int k = 0; k < kParams; ++k) free += p.freedom.moves(k);
    const double variance = used > free ? weighted / (used - free) : 0.0;
    MatP information = variance > 0.0 ? h * (1.0 / variance) : h;
    VecP unused = VecP::all(0.0);
    addPrior(p, model, information, unused);
    for (int k = 0; k < kParams; ++k)
        if (!p.freedom.moves(k)) {
            for (int e = 0; e < kParams; ++e) information(k, e) = information(e, k) = 0.0;
            information(k, k) = 1.0;
        }
    cv::invert(information, fit.covariance, cv::DECOMP_SVD);
    for (int k = 0; k < kParams; ++k)
        if (!p.freedom.moves(k)) fit.covariance(k, k) = 0.0;
    return fit;
}

// The matches of `from` in the role the pose gives them under the model:
// far (both parts within reach), near (off the plane within the threshold,
// along it on the near side beyond the far limit), or left out (beyond the
// threshold or the largest parallax).
void choose(Problem& p, const Model& m, const std::vector<int>& from, double threshold, double farLimit,
            double maxParallax) {
    const CameraModel camera = p.right.withCorrection(m.lens);
    const double cosLimit = std::cos(maxParallax);
    const double outlier = threshold * threshold + farLimit * farLimit;
    p.chosen.clear();
    for (int i : from) {
        const cv::Vec3d r = toCv(directionOfSourcePosition(camera, p.rightSource[i]));
        if (!std::isfinite(r[0]) || p.left[i].dot(m.rotation * r) < cosLimit) continue;
        const Residual q = residualOf(m.rotation, m.baseline, p.left[i], r);
        const double farCost = q.cross * q.cross + q.along * q.along;
        const double nearCost = q.along > 0.0 ? q.cross * q.cross + farLimit * farLimit : farCost;
        if (std::min(farCost, nearCost) >= outlier) continue;
        p.chosen.push_back(i);
    }
}

struct Calibration {
    Fit fit;
    std::vector<int> inliers;
    double before = 0.0;  // RMS residual with the record's lens on the same inliers, radians
};

// Where a fit starts: a rotation, the pose's baseline, the matches to start
// on, and whether parallax measures the baseline (else it is the nominal one).
struct Start {
    cv::Matx33d rotation;
    cv::Vec3d baseline;
    std::vector<int> chosen;
    bool baselineObserved = false;
};

// The whole refinement of `right` (its law as given), in stages that keep a
// bent lens from dragging the geometry away: the rotation alone on the first
// matches; then the lens with it, on the matches a loose threshold takes;
// then again, twice, on the matches the alignment's own threshold takes.
Calibration calibrate(const CameraModel& right, const std::vector<cv::Vec3d>& left,
                      const std::vector<SourcePosition>& rightSource, const Start& start, bool shape,
                      const LensRefinementOptions& options) {
    std::vector<int> all(left.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
    Problem p{right, left, rightSource, {}, {false, false, shape}, std::max(1.0, double(right.eye().radius180)), {}};
    // The rig's line on the side the pose put the right camera.
    const cv::Vec3d nominal = toCv(kPoseDefaults.baselinePrior);
    p.line = baselineLine(start.baseline.dot(nominal) < 0.0 ? -nominal : nominal);
    Model model;
    model.rotation = start.rotation;
    p.line.turnOf(start.baseline, model.tilt, model.toe);
    model.baseline = p.line.at(model.tilt, model.toe);
    model.lens = right.eye().correction;
    const double px = options.pixelRadians, farLimit = options.farPixels * px;
    const double floor = px * 0.01;
    choose(p, model, start.chosen, options.looseInlierPixels * px, farLimit, options.maxParallaxRadians);
    Fit fit;
    fit.model = model;
    if (p.chosen.size() >= 8) fit = solve(p, model, floor);
    p.freedom.lens = true;
    p.freedom.baseline = start.baselineObserved;
    choose(p, fit.model, all, options.looseInlierPixels * px, farLimit, options.maxParallaxRadians);
    if (p.chosen.size() >= 8) fit = solve(p, fit.model, floor);
    for (int round = 0; round < 2 && p.chosen.size() >= 8; ++round) {
        choose(p, fit.model, all, options.inlierPixels * px, farLimit, options.maxParallaxRadians);
        if (p.chosen.size() < 8) break;
        fit = solve(p, fit.model, floor);
    }
    Calibration c;
    c.inliers = p.chosen;
    c.fit = fit;
    // The records' residual on the same inliers, R fitted to it alone.
    Problem record = p;
    record.freedom.lens = false;
    Model plain = fit.model;
    plain.lens = right.eye().correction;
    c.before = solve(record, plain, floor).rms;
    return c;
}

std::string pixels(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f px", value);
    return text;
}

}  // namespace

PairFit fitOfPair(const LensRefinement& refinement, const std::vector<SourceMatch>& matches,
                  const LensRefinementOptions& options) {
    PairFit fit;
    fit.matches = static_cast<int>(matches.size());
    const double cosLimit = std::cos(options.maxParallaxRadians);
    double squares = 0.0;
    for (const SourceMatch& m : matches) {
        const Vec3 l = directionOfSourcePosition(refinement.left, m.left);
        const Vec3 r = directionOfSourcePosition(refinement.right, m.right);
        if (!std::isfinite(l.x) || !std::isfinite(r.x) || toCv(l).dot(toCv(refinement.rotation) * toCv(r)) < cosLimit)
            continue;
        const double residual =
            coplanarityResidual(toCv(refinement.rotation), toCv(refinement.baseline), {l, r}) / options.pixelRadians;
        if (!(std::abs(residual) < options.inlierPixels)) continue;
        squares += residual * residual, ++fit.inliers;
    }
    fit.rmsPixels = fit.inliers ? std::sqrt(squares / fit.inliers) : 0.0;
    return fit;
}

const char* mappingName(MappingKind kind) {
    switch (kind) {
        case MappingKind::Orthographic: return "orthographic";
        case MappingKind::Equisolid: return "equisolid";
        case MappingKind::SineK: return "sine";
        case MappingKind::Quadratic: return "quadratic";
        case MappingKind::Equidistant: return "equidistant";
        case MappingKind::Stereographic: return "stereographic";
        case MappingKind::Polynomial: return "poly";
        case MappingKind::DoubleSphere: return "ds";
        case MappingKind::ExtendedUnified: return "eucm";
    }
    return "?";
}

void LensRefinement::setAside(const CameraModel& recordLeft, const CameraModel& recordRight, const std::string& why) {
    const LensCorrection& c = correction[1];
    char found[160];
    std::snprintf(found, sizeof found, " (the fit found the axis point moved by %+.2f, %+.2f dots, scale %.5f%s%s)",
                  c.axisDx, c.axisDy, c.scale, lawReplaced ? ", projection " : "",
                  lawReplaced ? mappingName(rightMapping) : "");
    applied = false;
    notApplied = "the refined lenses are not used: " + why + found;
    left = recordLeft, right = recordRight;
    correction = {LensCorrection{}, LensCorrection{}};
    sigma = {LensCorrection{0, 0, 0, 0}, LensCorrection{0, 0, 0, 0}};
    lawReplaced = false;
    rightMapping = recordRight.eye().mapping;
    held = {"both lenses as their records have them"};
}

LensRefinement refineLenses(const CameraModel& left, const CameraModel& right, const std::vector<SourceMatch>& matches,
                            const LensRefinementOptions& options) {
    LensRefinement out;
    out.left = left, out.right = right;
    out.rightMapping = right.eye().mapping;
    std::vector<cv::Vec3d> leftDirections;
    std::vector<SourcePosition> rightSource;
    std::vector<DirectionPair> pairs;
    for (const SourceMatch& m : matches) {
        const Vec3 l = directionOfSourcePosition(left, m.left), r = directionOfSourcePosition(right, m.right);
        if (!std::isfinite(l.x) || !std::isfinite(r.x)) continue;
        leftDirections.push_back(toCv(l)), rightSource.push_back(m.right), pairs.push_back({l, r});
    }
    // A first geometry from the records, with a threshold loose enough for a
    // bent lens; the baseline is the pose's as the alignment's own threshold
    // decides it (the loose one takes a near railing's parallax for noise,
    // and the lens would then be bent to explain it).
    PoseOptions loose;
    loose.inlierThreshold = options.looseInlierPixels * options.pixelRadians;
    loose.farLimit = options.farPixels * options.pixelRadians;
    loose.maxParallax = options.maxParallaxRadians;
    const PoseEstimate start = estimateRelativePose(pairs, loose);
    if (!start.ok()) {
        out.error = "no stereo geometry fits the " + std::to_string(pairs.size()) + " matches, even loosely";
        return out;
    }
    PoseOptions strictOptions = loose;
    strictOptions.inlierThreshold = options.inlierPixels * options.pixelRadians;
    const PoseEstimate strict = estimateRelativePose(pairs, strictOptions);
    const PoseEstimate& pose = strict.ok() ? strict : start;
    const bool observed = pose.baselineObserved;
    const Start first{toCv(start.rotation), toCv(pose.baseline), start.inliers, observed};
    Calibration best = calibrate(right, leftDirections, rightSource, first, options.shape, options);
    CameraModel bestCamera = right;
    const double px = options.pixelRadians;

    // A misfit left after the record's law was corrected: another law may be
    // the lens's (a law changes nothing but how the radius grows with theta).
    if (best.fit.rms > options.misfitPixels * px) {
        struct Tried {
            MappingKind kind;
            Calibration calibration;
        };
        std::vector<Tried> tried;
        for (MappingKind kind : {MappingKind::Equidistant, MappingKind::Equisolid, MappingKind::Stereographic,
                                 MappingKind::Orthographic}) {
            if (kind == right.eye().mapping) continue;
            const CameraModel other = right.withMapping(kind).withCorrection({});
            const Start fromRecord{best.fit.model.rotation, best.fit.model.baseline, start.inliers, observed};
            Calibration c = calibrate(other, leftDirections, rightSource, fromRecord, options.shape, options);
            // A law that keeps fewer than half the first matches is not the lens's.
            if (c.inliers.size() * 2 >= start.inliers.size()) tried.push_back({kind, std::move(c)});
        }
        std::sort(tried.begin(), tried.end(),
                  [](const Tried& a, const Tried& b) { return a.calibration.fit.rms < b.calibration.fit.rms; });
        if (!tried.empty() && tried.front().calibration.fit.rms < 0.5 * best.fit.rms) {
            std::string names;
            for (const Tried& t : tried) {
                if (t.calibration.fit.rms > 1.5 * tried.front().calibration.fit.rms) break;
                names += (names.empty() ? "" : " or ") + std::string(mappingName(t.kind)) + " (" +
                         pixels(t.calibration.fit.rms / px) + ")";
            }
            out.lawAdvice = "the right lens's projection does not fit: try " + names + "; as registered (" +
                            mappingName(right.eye().mapping) + ") " + pixels(best.fit.rms / px);
            out.lawReplaced = true;
            out.rightMapping = tried.front().kind;
            bestCamera = right.withMapping(tried.front().kind).withCorrection({});
            const double recordBefore = best.before;
            best = std::move(tried.front().calibration);
            best.before = recordBefore;
        } else {
            out.lawAdvice = "the right lens's projection does not fit (" + pixels(best.fit.rms / px) +
                            " off the epipolar planes), and no other law fits better";
        }
    }

    if (best.inliers.size() < 8) {
        out.error = "too few matches fit one stereo geometry with the lenses refined";
        return out;
    }
    const Model& m = best.fit.model;
    out.correction[1] = m.lens;
    out.right = bestCamera.withCorrection(m.lens);
    const MatP& c = best.fit.covariance;
    auto sd = [&](int k) { return std::sqrt(std::max(0.0, c(k, k))); };
    out.sigma[1] = {sd(5), sd(6), sd(7), sd(8)};
    out.held = {"the left lens (the reference): its axis point, scale and shape",
                "the common scale of both lenses"};
    if (!options.shape) out.held.push_back("the right lens's shape");
    if (!observed) out.held.push_back("the baseline (no parallax to measure it by): the rig's nominal +x");
    out.residualBeforePixels = best.before / px;
    out.residualAfterPixels = best.fit.rms / px;
    out.inliers = static_cast<int>(best.inliers.size());
    out.rotation = fromCv(m.rotation);
    out.baseline = fromCv(m.baseline);
    return out;
}

}  // namespace vistereo::alignment
