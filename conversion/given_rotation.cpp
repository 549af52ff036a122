#include "conversion/given_rotation.h"

#include <cmath>
#include <numbers>
#include <vector>

#include "alignment/cv_rotation.h"
#include "alignment/matching_steps.h"
#include "alignment/rotation.h"

namespace vistereo {

RotationDisagreement disagreementWith(const alignment::AlignmentResult& aligned, const RotationMatrix& given) {
    RotationDisagreement d;
    // The inliers' right directions are shown turned by the found rotation; this turns them on to the given one.
    const RotationMatrix found = aligned.rotation;
    const RotationMatrix onward = given * transpose(found);
    d.angleDegrees = alignment::rotationAngle(onward) * 180.0 / std::numbers::pi;
    d.given = yawPitchRollOf(given), d.found = yawPitchRollOf(found);
    constexpr double kArcminPerRadian = 60.0 * 180.0 / std::numbers::pi;
    const cv::Vec3d baseline(1.0, 0.0, 0.0);
    std::vector<double> vertical, misalignment, foundMisalignment;
    for (const alignment::StereoCorrespondence& c : aligned.correspondences) {
        const alignment::DirectionPair turned{c.shown.left, rotate(onward, c.shown.right)};
        const alignment::DisparityParts parts = alignment::disparityParts(cv::Matx33d::eye(), baseline, turned);
        vertical.push_back(parts.vertical * kArcminPerRadian);
        misalignment.push_back(parts.misalignment * kArcminPerRadian);
        foundMisalignment.push_back(
            alignment::disparityParts(cv::Matx33d::eye(), baseline, c.shown).misalignment * kArcminPerRadian);
    }
    d.vertical = alignment::spreadOf(vertical);
    d.misalignment = alignment::spreadOf(misalignment);
    d.foundMisalignment = alignment::spreadOf(foundMisalignment);
    d.points = static_cast<int>(aligned.correspondences.size());
    return d;
}

}  // namespace vistereo
