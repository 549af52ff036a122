#include "alignment/alignment.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "alignment/matching_steps.h"
#include "alignment/misalignment.h"
#include "alignment/relative_pose.h"
#include "alignment/rotation.h"
#include "alignment/cv_rotation.h"
#include "alignment/lens_refinement.h"
#include "alignment/working_view.h"
#include "base/parallel.h"

namespace vistereo::alignment {
namespace {

// Integer left pixels near `leftPosition` with their partners under R
// rounded to integer right pixels, the partners' rounding smallest first.
struct Snap {
    ImagePoint left, right;
    double miss;
};
std::vector<Snap> snapCandidates(const CameraModel& left, const CameraModel& right, const cv::Matx33d& rt,
                                 SourcePosition leftPosition, size_t keep) {
    const ImagePoint centre{static_cast<int32_t>(std::lround(leftPosition.column)),
                            static_cast<int32_t>(std::lround(leftPosition.row))};
    std::vector<Snap> snaps;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
            const ImagePoint p{centre.x + dx, centre.y + dy};
            if (p.x < 0 || p.y < 0 || p.x >= left.imageWidth() || p.y >= left.imageHeight()) continue;
            const Vec3 u = directionOfSourcePixel(left, p);
            if (!std::isfinite(u.x)) continue;
            const std::optional<SourcePosition> q = sourcePositionOfDirection(right, fromCv(rt * toCv(u)));
            if (!q) continue;
            const ImagePoint r{static_cast<int32_t>(std::lround(q->column)), static_cast<int32_t>(std::lround(q->row))};
            if (r.x < 0 || r.y < 0 || r.x >= right.imageWidth() || r.y >= right.imageHeight()) continue;
            snaps.push_back({p, r, std::hypot(q->column - r.x, q->row - r.y) + 1e-3 * std::hypot(dx, dy)});
        }
    std::sort(snaps.begin(), snaps.end(), [](const Snap& a, const Snap& b) { return a.miss < b.miss; });
    if (snaps.size() > keep) snaps.resize(keep);
    return snaps;
}

SuggestedPoints suggestPoints(const CameraModel& left, const CameraModel& right, const std::vector<DirectionPair>& pairs,
                              const PoseEstimate& pose, double workingPixel) {
    SuggestedPoints s;
    const cv::Matx33d rt = toCv(pose.rotation).t();
    const double cosLimit = std::cos(65.0 * kDegree);
    struct Candidate {
        int index;
        double parallax;
        SourcePosition leftPosition;
    };
    std::vector<Candidate> candidates;
    for (int index : pose.inliers) {
        const DirectionPair& p = pairs[index];
        if (p.left.y < cosLimit || p.right.y < cosLimit) continue;  // well inside both lenses
        const std::optional<SourcePosition> l = sourcePositionOfDirection(left, p.left);
        const std::optional<SourcePosition> r = sourcePositionOfDirection(right, p.right);
        if (!l || !r) continue;
        const double margin = 10.0;
        if (l->column < margin || l->row < margin || l->column > left.imageWidth() - margin ||
            l->row > left.imageHeight() - margin || r->column < margin || r->row < margin ||
            r->column > right.imageWidth() - margin || r->row > right.imageHeight() - margin)
            continue;
        candidates.push_back({index, std::abs(signedParallax(toCv(pose.rotation), toCv(pose.baseline), p)), *l});
    }
    if (candidates.size() < 2) {
        s.error = "fewer than two inliers lie within 65 degrees of both lens axes";
        return s;
    }
    // The farthest: parallax within a working pixel, or else the 30% least.
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.parallax < b.parallax; });
    size_t keep = 0;
    while (keep < candidates.size() && candidates[keep].parallax <= workingPixel) ++keep;
    keep = std::max(keep, std::min<size_t>(candidates.size(), std::max<size_t>(2, candidates.size() * 3 / 10)));
    keep = std::min<size_t>(keep, 150);
    candidates.resize(keep);

    // Each candidate snapped to integer pixels once; the pair of widely
    // separated candidates whose route comes out closest to R wins (the
    // rounding of a point cannot be helped locally: near a point the two
    // images differ by an almost constant shift, so the partners' fractions
    // barely change from pixel to pixel; they do from point to point).
    std::vector<Snap> snaps;
    std::vector<int> owner;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const std::vector<Snap> best = snapCandidates(left, right, rt, candidates[i].leftPosition, 1);
        if (best.empty()) continue;
        snaps.push_back(best.front());
        owner.push_back(static_cast<int>(i));
    }
    std::vector<cv::Vec3d> directions;
    for (const Snap& snap : snaps) directions.push_back(toCv(directionOfSourcePixel(left, snap.left)));
    double widest = 0.0;
    for (size_t i = 0; i < snaps.size(); ++i)
        for (size_t j = i + 1; j < snaps.size(); ++j)
            widest = std::max(widest, std::acos(std::clamp(directions[i].dot(directions[j]), -1.0, 1.0)));
    if (widest < 20.0 * kDegree) {
        s.error = "no two far inliers are 20 degrees apart";
        return s;
    }
    double bestError = 1e9;
    bool found = false;
    for (size_t i = 0; i < snaps.size(); ++i)
        for (size_t j = i + 1; j < snaps.size(); ++j) {
            const double separation = std::acos(std::clamp(directions[i].dot(directions[j]), -1.0, 1.0));
            if (separation < 0.6 * widest) continue;
            const Snap &a = snaps[i], &b = snaps[j];
            if (a.left == a.right && b.left == b.right) continue;  // the conversion refuses identical points
            const cv::Matx33d route = toCv(pointRouteRotation(left, right, PointSet{a.left, b.left, a.right, b.right}));
            const double error = rotationAngle(route.t() * toCv(pose.rotation));
            if (!std::isfinite(error) || error >= bestError) continue;
            bestError = error;
            found = true;
            s.leftA = a.left, s.rightA = a.right, s.leftB = b.left, s.rightB = b.right;
            s.separationDegrees = separation / kDegree;
            s.parallaxDegrees = std::max(candidates[owner[i]].parallax, candidates[owner[j]].parallax) / kDegree;
            s.routeErrorDegrees = error / kDegree;
        }
    if (!found) s.error = "no pair of far inliers gives usable integer points for the A/B route";
    return s;
}

// Every match's two source positions, through the cameras its halves were rendered with.
std::vector<SourceMatch> sourceMatches(const CameraModel& left, const CameraModel& right, int n,
                                       const MatchedPositions& at) {
    std::vector<SourceMatch> out;
    out.reserve(at.left.size());
    const SourcePosition nowhere{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    for (size_t k = 0; k < at.left.size(); ++k) {
        const std::optional<SourcePosition> l = sourcePositionOfDirection(left, halfPixelDirection(n, at.left[k]));
        const std::optional<SourcePosition> r = sourcePositionOfDirection(right, halfPixelDirection(n, at.right[k]));
        out.push_back({l.value_or(nowhere), r.value_or(nowhere)});
    }
    return out;
}

// The largest angle (radians) by which `after` turns the direction of a
// match's right source pixel against `before`.
double largestShift(const CameraModel& before, const CameraModel& after, const std::vector<SourceMatch>& matches) {
    double largest = 0.0;
    for (const SourceMatch& m : matches) {
        const cv::Vec3d a = toCv(directionOfSourcePosition(before, m.right));
        const cv::Vec3d b = toCv(directionOfSourcePosition(after, m.right));
        if (std::isfinite(a[0]) && std::isfinite(b[0]))
            largest = std::max(largest, std::acos(std::clamp(a.dot(b), -1.0, 1.0)));
    }
    return largest;
}

// The stereo geometry of the matches `pairs` (their positions on the halves
// `at`) seen through the cameras `leftCam` and `rightCam`: the pose, its
// inliers judged, the disparity taken apart, the suggested points, into
// `result`. Failure::None, or what is wrong with `reason` set.
Failure fitPose(const std::vector<DirectionPair>& pairs, const MatchedPositions& at, const CameraModel& leftCam,
                const CameraModel& rightCam, const AlignmentOptions& options, const std::string& lawAdvice,
                AlignmentResult& result, std::string& reason) {
    const double workingPixel = kTruePi / options.workingSize;
    const auto stage = Clock::now();
    PoseOptions poseOptions;
    poseOptions.inlierThreshold = options.inlierPixels * workingPixel;
    poseOptions.farLimit = options.farParallaxPixels * workingPixel;
    poseOptions.maxParallax = options.maxParallaxDegrees * kDegree;
    const PoseEstimate pose = estimateRelativePose(pairs, poseOptions);
    result.seconds.estimation += secondsSince(stage);
    result.warning.clear();
    result.baselineSuspect = false;
    result.correspondences.clear();
    result.inliers = static_cast<int>(pose.inliers.size());
    const Failure judged =
        pose.ok() ? judgeInliers(result.inliers, result.matches, options.minInliers, options.minInlierShare, reason)
                : Failure::Unrelated;
    if (!pose.ok()) reason = "no stereo geometry fits the " + countText(result.matches, "match");
    if (judged == Failure::Unrelated && !lawAdvice.empty()) reason = lawAdvice;
    if (judged != Failure::None) return judged;

    // The result.
    result.rotation = pose.rotation;
    const YawPitchRoll angles = yawPitchRollOf(pose.rotation);
    result.yawDegrees = angles.yaw, result.pitchDegrees = angles.pitch, result.rollDegrees = angles.roll;
    result.baseline = pose.baseline;
    result.baselineSigmaDegrees = pose.baselineSigma / kDegree;
    result.baselineObserved = pose.baselineObserved;
    result.baselineEvidence = pose.evidence;
    result.baselineNote.clear();
    if (!pose.evidence.nominalBecause.empty())
        result.baselineNote = pose.evidence.nominalBecause + ": the rig's nominal baseline, +x, is taken";
    result.baselineOffAxisDegrees = std::acos(std::clamp(pose.baseline.x, -1.0, 1.0)) / kDegree;
    result.nearInliers = pose.nearInliers;
    result.rotationOnlyOffsetDegrees =
        rotationAngle(rotationOnlyFit(pairs, pose.inliers).t() * toCv(pose.rotation)) / kDegree;
    if (result.baselineObserved && result.baselineOffAxisDegrees > options.baselineSuspectDegrees) {
        result.baselineSuspect = true;
        std::ostringstream text;
        text.precision(1);
        text << std::fixed << "the baseline points " << result.baselineOffAxisDegrees
             << " degrees away from the left camera's +x axis";
        if (pose.baseline.x < 0) text << " (the right camera seems to stand left of the left one: swapped images?)";
        else text << " (not a side-by-side rig, or a poor estimate)";
        result.warning = text.str();
    }
    std::vector<double> epipolar;
    for (int index : pose.inliers) epipolar.push_back(pose.residuals[index] * kArcminPerRadian);
    result.epipolarResidualArcmin = spreadOf(epipolar);

    // The image the rotation leads to, measured as `check` will measure it:
    // the right directions turned by R, seen by the viewer.
    std::vector<DirectionPair> shown(pairs.size());
    const cv::Matx33d rotation = toCv(pose.rotation);
    for (size_t k = 0; k < pairs.size(); ++k) shown[k] = {pairs[k].left, fromCv(rotation * toCv(pairs[k].right))};
    ViewerMeasureOptions viewerOptions;
    viewerOptions.pixelRadians = workingPixel;
    viewerOptions.inlierPixels = options.inlierPixels;
    viewerOptions.farParallaxPixels = options.farParallaxPixels;
    viewerOptions.maxParallaxDegrees = options.maxParallaxDegrees;
    const ViewerMisalignment viewer = measureViewerMisalignment(shown, at, viewerOptions);
    result.disparity = viewer.disparity;
    result.correspondences = viewer.correspondences;
    result.remainingTurn = viewer.remainingTurn;
    result.remainingTurnDegrees = viewer.remainingTurnDegrees;
    result.verdict = viewer.ok() ? viewer.verdict : Verdict::Unknown;
    result.verdictText = viewer.ok() ? viewer.verdictText : "not measured: " + viewer.error;
    std::vector<double> vertical;
    for (const StereoCorrespondence& sc : result.correspondences) vertical.push_back(sc.verticalArcmin);
    result.verticalDisparityArcmin = spreadOf(vertical);

    const auto suggesting = Clock::now();
    result.suggested = suggestPoints(leftCam, rightCam, pairs, pose, workingPixel);
    result.seconds.suggestion = secondsSince(suggesting);
    return Failure::None;
}

}  // namespace

const char* failureName(Failure failure) {
    switch (failure) {
        case Failure::None: return "none";
        case Failure::InvalidInput: return "invalid input";
        case Failure::TextureLess: return "texture-less";
        case Failure::Unrelated: return "unrelated images";
        case Failure::TooFewInliers: return "too few inliers";
        case Failure::Internal: return "internal error";
    }
    return "?";
}

std::array<int32_t, 8> SuggestedPoints::listOrder() const {
    return {leftA.x, leftB.x, rightA.x, rightB.x, leftA.y, leftB.y, rightA.y, rightB.y};
}

std::string SuggestedPoints::commaLine() const {
    std::string line;
    for (int32_t v : listOrder()) line += (line.empty() ? "" : ",") + std::to_string(v);
    return line;
}

AlignmentResult estimateAlignment(const CameraModel& leftCamera, const cv::Mat& leftImage,
                                  const CameraModel& rightCamera, const cv::Mat& rightImage,
                                  const AlignmentOptions& options) {
    AlignmentResult result;
    result.suggested.error = "the pair was not aligned";
    const auto start = Clock::now();
    auto fail = [&](Failure failure, std::string reason) {
        result.failure = failure;
        result.error = std::move(reason);
        result.seconds.total = secondsSince(start);
        return result;
    };
    // Input checks.
    for (const std::string& problem :
         {eyeImageProblem("left", leftCamera, leftImage), eyeImageProblem("right", rightCamera, rightImage)})
        if (!problem.empty()) return fail(Failure::InvalidInput, problem);
    if (options.workingSize < 64 || options.workingSize > 8192)
        return fail(Failure::InvalidInput, "the working size must lie between 64 and 8192");

    try {
        const int n = options.workingSize;
        result.workingSize = n;
        const double workingPixel = kTruePi / n;
        CameraModel leftCam = leftCamera, rightCam = rightCamera;
        Correspondences c;
        MatchedPositions at;
        std::string reason, lawAdvice;
        std::vector<SourceMatch> sources;
        MatchedPositions recordAt;
        std::vector<DirectionPair> recordPairs;
        int recordMatches = 0, recordRefinedMatches = 0;
        std::string refinementFailure;  // why the lenses could not be refined, when that leaves the records
        auto stage = Clock::now();
        for (int pass = 0;; ++pass) {
            stage = Clock::now();
            const WorkingHalf leftHalf = renderWorkingHalf(leftCam, leftImage, n, options.threads);
            const WorkingHalf rightHalf = renderWorkingHalf(rightCam, rightImage, n, options.threads);
            result.seconds.render += secondsSince(stage);

            c = correspond(leftHalf.gray, leftHalf.valid, rightHalf.gray, rightHalf.valid, options.detector,
                           options.maxFeatures, options.ratio, options.threads, result.seconds);
            result.leftFeatures = static_cast<int>(c.left.keypoints.size());
            result.rightFeatures = static_cast<int>(c.right.keypoints.size());
            result.matches = static_cast<int>(c.matches.size());
            const Failure screened = screen(result.leftFeatures, result.rightFeatures, result.matches,
                                            options.minFeatures, options.minMatches, reason);
            if (screened != Failure::None) return fail(screened, reason);

            at = matchedPositions(c, leftHalf.gray, rightHalf.gray, rightHalf.valid, options.refinePositions,
                                  options.subpixel, options.threads, result.seconds);
            result.refinedMatches = at.refined;
            if (!options.refineLenses) break;
            if (pass == 0) {
                // The first matching through the records, kept to judge the refinement by.
                recordAt = at;
                recordMatches = result.matches;
                recordRefinedMatches = result.refinedMatches;
                for (size_t k = 0; k < at.left.size(); ++k)
                    recordPairs.push_back({halfPixelDirection(n, at.left[k]), halfPixelDirection(n, at.right[k])});
            }

            // The lens refined on the matches' source pixels, which stay
            // where they are while the lens's correction moves their directions.
            stage = Clock::now();
            sources = sourceMatches(leftCam, rightCam, n, at);
            LensRefinementOptions refineOptions;
            refineOptions.shape = options.refineShape;
            refineOptions.pixelRadians = workingPixel;
            refineOptions.inlierPixels = options.inlierPixels;
            refineOptions.farPixels = options.farParallaxPixels;
            refineOptions.maxParallaxRadians = options.maxParallaxDegrees * kDegree;
            LensRefinement refined = refineLenses(leftCam, rightCam, sources, refineOptions);
            result.seconds.estimation += secondsSince(stage);
            if (!lawAdvice.empty() && refined.lawAdvice.empty()) refined.lawAdvice = lawAdvice;
            lawAdvice = refined.lawAdvice;
            if (!refined.ok()) {
                // Asked for, a refinement that fails fails the alignment;
                // tried on the alignment's own account, it leaves the records.
                if (!options.refineOnlyWhenClearlyBetter)
                    return fail(Failure::Unrelated, lawAdvice.empty() ? refined.error : lawAdvice);
                refinementFailure = "with them no fit: " + (lawAdvice.empty() ? refined.error : lawAdvice);
                result.lenses = std::move(refined);
                result.lensesRefined = true;
                break;
            }
            if (result.lensesRefined) {
                // The records' residual is the first pass's; the law is the one the first pass chose.
                refined.residualBeforePixels = result.lenses.residualBeforePixels;
                refined.lawReplaced = refined.lawReplaced || result.lenses.lawReplaced;
            }
            const double moved = largestShift(rightCam, refined.right, sources) / workingPixel;
            result.lenses = std::move(refined);
            result.lensesRefined = true;
            leftCam = result.lenses.left, rightCam = result.lenses.right;
            if (pass >= 1 || moved <= options.refitPixels) break;
        }

        // Exact directions of the matched positions, each in its camera's
        // frame: on the grid of the halves as matched, or through the
        // refined lenses from the matches' source pixels.
        stage = Clock::now();
        std::vector<DirectionPair> pairs;
        pairs.reserve(c.matches.size());
        const bool throughRefined = options.refineLenses && refinementFailure.empty();
        for (size_t k = 0; k < c.matches.size(); ++k)
            pairs.push_back(throughRefined ? DirectionPair{directionOfSourcePosition(leftCam, sources[k].left),
                                                                 directionOfSourcePosition(rightCam, sources[k].right)}
                                                 : DirectionPair{halfPixelDirection(n, at.left[k]),
                                                                 halfPixelDirection(n, at.right[k])});
        result.seconds.estimation += secondsSince(stage);
        const Failure fitted = refinementFailure.empty()
                                   ? fitPose(pairs, at, leftCam, rightCam, options, lawAdvice, result, reason)
                                   : Failure::Unrelated;
        result.lensMatches = sources;
        if (options.refineLenses) {
            // The refined lenses are used only when they line the pair up
            // better than the records do, judged by the figure the user sees
            // (the misalignment as the viewer, and `check`, see it): the
            // records' fit on the first matching, done as without
            // refinement, against the refined fit.
            AlignmentResult plain = result;
            plain.matches = recordMatches;
            std::string plainReason;
            const Failure plainFitted = fitPose(recordPairs, recordAt, leftCamera, rightCamera, options, "", plain,
                                                plainReason);
            // A figure is worse when it is higher by more than the noise of two matchings.
            auto worse = [](double refined, double records) { return refined > 1.02 * records + 0.01; };
            // Tried on the alignment's own account, they must do clearly
            // better: a tenth of the records' misalignment and half an
            // arcminute, more than two matchings' noise on any pair.
            auto notClearlyBetter = [](double refined, double records) {
                return refined > std::min(0.9 * records, records - 0.5);
            };
            std::string why;
            if (plainFitted == Failure::None) {
                char text[320];
                if (!refinementFailure.empty()) {
                    why = refinementFailure;
                } else if (fitted != Failure::None) {
                    why = "with them " + reason;
                } else if (plain.baselineObserved && !result.baselineObserved) {
                    std::snprintf(text, sizeof text,
                                  "with them the baseline the records' fit observes (%d near points) is lost, "
                                  "traded against the right lens's axis point",
                                  plain.nearInliers);
                    why = text;
                } else if (worse(result.disparity.misalignment.rms, plain.disparity.misalignment.rms)) {
                    std::snprintf(text, sizeof text,
                                  "with them the misalignment is %.2f' RMS, with the records %.2f'",
                                  result.disparity.misalignment.rms, plain.disparity.misalignment.rms);
                    why = text;
                } else if (options.refineOnlyWhenClearlyBetter &&
                           notClearlyBetter(result.disparity.misalignment.rms, plain.disparity.misalignment.rms)) {
                    std::snprintf(text, sizeof text,
                                  "the records line the pair up as well: the misalignment is %.2f' RMS with them, "
                                  "%.2f' with the refined lenses",
                                  plain.disparity.misalignment.rms, result.disparity.misalignment.rms);
                    why = text;
                }
            }
            if (!why.empty()) {
                plain.lenses = std::move(result.lenses);
                plain.lenses.setAside(leftCamera, rightCamera, why);
                plain.lensesRefined = true;
                plain.refinedMatches = recordRefinedMatches;
                plain.seconds = result.seconds;
                result = std::move(plain);
            } else if (!refinementFailure.empty()) {
                return fail(plainFitted, plainReason);
            } else if (fitted != Failure::None) {
                return fail(fitted, reason);
            }
        } else if (fitted != Failure::None) {
            return fail(fitted, reason);
        }
        result.seconds.total = secondsSince(start);
        return result;
    } catch (const std::exception& e) {
        return fail(Failure::Internal, std::string("the image library failed: ") + e.what());
    } catch (...) {
        return fail(Failure::Internal, "the image library failed");
    }
}

}  // namespace vistereo::alignment
