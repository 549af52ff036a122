#include "alignment/misalignment.h"

#include <cmath>
#include <sstream>

#include "alignment/cv_rotation.h"
#include "alignment/rotation.h"

namespace vistereo::alignment {

Verdict verticalDisparityVerdict(double p95Arcmin, double comfortLimitArcmin, double fusionLimitArcmin) {
    if (p95Arcmin <= comfortLimitArcmin) return Verdict::Comfortable;
    return p95Arcmin <= fusionLimitArcmin ? Verdict::Marginal : Verdict::Uncomfortable;
}

const char* verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Unknown: return "unknown";
        case Verdict::Comfortable: return "comfortable";
        case Verdict::Marginal: return "marginal";
        case Verdict::Uncomfortable: return "uncomfortable";
    }
    return "?";
}

const char* gradeName(Grade grade) {
    switch (grade) {
        case Grade::NotJudged: return "not judged";
        case Grade::Good: return "good";
        case Grade::Acceptable: return "acceptable";
        case Grade::Poor: return "poor";
    }
    return "?";
}

Grade gradeOf(Verdict verdict) {
    switch (verdict) {
        case Verdict::Comfortable: return Grade::Good;
        case Verdict::Marginal: return Grade::Acceptable;
        case Verdict::Uncomfortable: return Grade::Poor;
        case Verdict::Unknown: break;
    }
    return Grade::NotJudged;
}

Grade gradeAtMost(double value, double goodLimit, double acceptableLimit) {
    if (std::isnan(value)) return Grade::NotJudged;
    if (value <= goodLimit) return Grade::Good;
    return value <= acceptableLimit ? Grade::Acceptable : Grade::Poor;
}

Grade gradeAtLeast(double value, double goodLimit, double acceptableLimit) {
    if (std::isnan(value)) return Grade::NotJudged;
    if (value >= goodLimit) return Grade::Good;
    return value >= acceptableLimit ? Grade::Acceptable : Grade::Poor;
}

ViewerMisalignment measureViewerMisalignment(const std::vector<DirectionPair>& shown, const MatchedPositions& at,
                                             const ViewerMeasureOptions& options) {
    ViewerMisalignment m;
    PoseOptions viewer;
    viewer.inlierThreshold = options.inlierPixels * options.pixelRadians;
    viewer.farLimit = options.farParallaxPixels * options.pixelRadians;
    viewer.maxParallax = options.maxParallaxDegrees * kDegree;
    viewer.baselinePrior = {1.0, 0.0, 0.0};
    viewer.nominalSideOnly = true;
    m.pose = estimateRelativePose(shown, viewer);
    if (!m.pose.ok()) {
        m.error = m.pose.error;
        return m;
    }
    const cv::Matx33d remaining = toCv(m.pose.rotation);
    m.remainingTurn = yawPitchRollOf(m.pose.rotation);
    m.remainingTurnDegrees = rotationAngle(remaining) / kDegree;

    // Every inlier's vertical disparity taken apart along the viewer's
    // baseline; far and near as the fit found them.
    const cv::Vec3d viewerBaseline(1.0, 0.0, 0.0);
    std::vector<double> misalignment, parallax, farVertical, epipolar;
    for (int index : m.pose.inliers) {
        const DisparityParts parts = disparityParts(remaining, viewerBaseline, shown[index]);
        StereoCorrespondence c;
        c.leftAt = {at.left[index].x, at.left[index].y}, c.rightAt = {at.right[index].x, at.right[index].y};
        c.shown = shown[index];
        c.epipolarArcmin = m.pose.residuals[index] * kArcminPerRadian;
        c.verticalArcmin = parts.vertical * kArcminPerRadian;
        c.parallaxArcmin = parts.parallax * kArcminPerRadian;
        c.misalignmentArcmin = parts.misalignment * kArcminPerRadian;
        c.alongArcmin = parts.along * kArcminPerRadian;
        c.far = m.pose.roles[index] == PointRole::Far;
        misalignment.push_back(c.misalignmentArcmin);
        (c.far ? farVertical : parallax).push_back(c.far ? c.verticalArcmin : c.parallaxArcmin);
        epipolar.push_back(c.epipolarArcmin);
        m.correspondences.push_back(c);
    }
    m.disparity.misalignment = spreadOf(misalignment);
    m.disparity.parallaxVertical = spreadOf(parallax);
    m.disparity.farVertical = spreadOf(farVertical);
    m.disparity.farCount = static_cast<int>(farVertical.size());
    m.disparity.nearCount = static_cast<int>(parallax.size());
    m.epipolarResidualArcmin = spreadOf(epipolar);

    const double p95 = m.disparity.misalignment.p95;
    m.verdict = verticalDisparityVerdict(p95, options.comfortLimitArcmin, options.fusionLimitArcmin);
    std::ostringstream text;
    text.precision(1);
    text << std::fixed << "misalignment " << p95 << " arcmin at the 95th percentile";
    if (m.verdict == Verdict::Comfortable)
        text << ", within the comfort limit of " << options.comfortLimitArcmin << " arcmin";
    else if (m.verdict == Verdict::Marginal)
        text << ", beyond the comfort limit of " << options.comfortLimitArcmin
             << " arcmin but within the vertical fusion limit of " << options.fusionLimitArcmin << " arcmin";
    else
        text << ", beyond the vertical fusion limit of " << options.fusionLimitArcmin << " arcmin";
    m.verdictText = text.str();

    // Near points that all stand behind the viewer's eyes: the halves given
    // the wrong way round (relative_pose.h weighs the sides).
    const BaselineEvidence& e = m.pose.evidence;
    m.eyesSwapped = e.otherSidePoints >= kStrongNearPoints && e.otherSideParallax > kSideDominance * e.nominalSideParallax;
    if (m.eyesSwapped)
        m.warning = "the near points' parallax (" + std::to_string(e.otherSidePoints) +
                    " points) takes the wrong side of the viewer's baseline: the eyes seem swapped";
    return m;
}

}  // namespace vistereo::alignment
