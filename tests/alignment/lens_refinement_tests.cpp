// Lens calibration from the pair: the synthetic stereo scene with spheres 1 to
// 6 m away photographed through known lenses, aligned with a right lens record
// that is wrong in a known way. After the refinement the far field of the
// right half must meet the left's where the truth says it should.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <string>

#include "alignment/alignment.h"
#include "alignment/lens_refinement.h"
#include "alignment/rotation.h"
#include "alignment/working_view.h"
#include "tests/support/far_field.h"
#include "tests/support/stereo_scene.h"

namespace vistereo {
namespace {

using namespace alignment;
using namespace testsupport;

struct Scene {
    StereoRig rig;
    cv::Mat leftImage, rightImage;
};

// The scene with spheres 1 to 6 m away at 1600 x 1200, with an equisolid
// left lens and the given right lens; rendered once per right lens.
const Scene& sceneWith(const char* name, const SynthLens& rightLens) {
    static std::map<std::string, Scene> cache;
    if (auto found = cache.find(name); found != cache.end()) return found->second;
    const SynthLens left = SynthLens::equisolid(1600, 1200);
    const StereoScene scene = spheresOneToSixMetres();
    Scene s{StereoRig::sideBySide(left, rightLens, rotationFromYawPitchRoll(-1.2, 0.8, -0.6)), {}, {}};
    s.leftImage = renderView(scene, s.rig.left);
    s.rightImage = renderView(scene, s.rig.right);
    return cache.emplace(name, std::move(s)).first->second;
}

// Every right record says equisolid, whatever the lens is.
TEST(LensRefinement, WrongRightRecordsAreCorrectedToTheFarField) {
    const struct {
        const char* name;
        bool equidistantLens;        // the right lens is equidistant (else equisolid, as the left)
        double axisDx, radiusShare;  // the right record's axis point moved by this, its radius scaled by this
    } cases[] = {
        {"records right", false, 0.0, 1.0},
        {"axis 6 px off", false, 6.0, 1.0},
        {"radius 2 % too large", false, 0.0, 1.02},
        {"equisolid registered for an equidistant lens", true, 0.0, 1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SynthLens trueRight =
            c.equidistantLens ? SynthLens::equidistant(1600, 1200) : SynthLens::equisolid(1600, 1200);
        const Scene& s = sceneWith(c.equidistantLens ? "equidistant" : "equisolid", trueRight);
        SynthLens recorded = SynthLens::equisolid(1600, 1200);
        recorded.axisX += c.axisDx;
        recorded.radius180 = std::round(recorded.radius180 * c.radiusShare);
        const CameraModel left = CameraModel::fromEyeGeometry(eyeGeometryOf(s.rig.left.lens));
        const CameraModel right = CameraModel::fromEyeGeometry(eyeGeometryOf(recorded));

        AlignmentOptions refining;
        refining.refineLenses = true;
        const AlignmentResult r = estimateAlignment(left, s.leftImage, right, s.rightImage, refining);
        ASSERT_TRUE(r.ok() && r.lensesRefined) << r.error;
        const double after = farFieldResidual(s.rig, r.lenses.left, r.lenses.right, r.rotation);
        const LensCorrection& k = r.lenses.correction[1];
        const LensCorrection& sd = r.lenses.sigma[1];
        const bool recordRight = c.axisDx == 0.0 && c.radiusShare == 1.0 && !c.equidistantLens;
        EXPECT_LT(after, 0.15);
        // The plain fit, aligned only where a figure is compared with it: a refinement that changes
        // nothing, or one that was set aside.
        AlignmentResult plain;
        plain.error = "not aligned";
        if (recordRight || !r.lenses.applied) plain = estimateAlignment(left, s.leftImage, right, s.rightImage);
        const double before = plain.ok() ? farFieldResidual(s.rig, left, right, plain.rotation) : NAN;
        EXPECT_TRUE(recordRight || r.lenses.applied) << r.lenses.notApplied;
        EXPECT_TRUE(r.lenses.correction[0].isIdentity()) << "the left lens is the reference";
        EXPECT_LE(r.lenses.residualAfterPixels, r.lenses.residualBeforePixels + 1e-9);
        if (recordRight) {
            // Nothing to correct: the refinement changes nothing measurable.
            ASSERT_TRUE(plain.ok()) << plain.error;
            EXPECT_LT(before, 0.08) << "the far field after automatic alignment, its matches refined to sub-pixel";
            EXPECT_LT(std::abs(after - before), 0.02);
            EXPECT_TRUE(r.lenses.lawAdvice.empty()) << r.lenses.lawAdvice;
        }
        if (c.equidistantLens) {
            EXPECT_NE(r.lenses.lawAdvice.find("the right lens's projection does not fit: try equidistant"),
                      std::string::npos)
                << r.lenses.lawAdvice;
            EXPECT_EQ(r.lenses.rightMapping, MappingKind::Equidistant);
        } else {
            EXPECT_TRUE(r.lenses.lawAdvice.empty()) << r.lenses.lawAdvice;
            // The corrections undo the record's error within three of their own standard deviations (and a
            // tenth of a pixel, a few parts in 10^4 of the scale).
            const double trueScale = trueRight.radius180 / recorded.radius180;
            EXPECT_LT(std::abs(k.axisDx + c.axisDx), std::max(3.0 * sd.axisDx, 0.1)) << k.axisDx;
            EXPECT_LT(std::abs(k.axisDy), std::max(3.0 * sd.axisDy, 0.1)) << k.axisDy;
            EXPECT_LT(std::abs(k.scale - trueScale), std::max(3.0 * sd.scale, 3e-4)) << k.scale;
            if (r.lenses.applied) {
                EXPECT_GT(sd.axisDx, 0.0);
                EXPECT_GT(sd.scale, 0.0);
            } else {
                // Kept the records: nothing moved, and the far field is the plain fit's.
                EXPECT_TRUE(k.isIdentity());
                EXPECT_NEAR(after, before, 1e-9);
            }
        }
    }
}

// A right lens whose radius departs from its law by r (1 + s theta^2), which
// its record does not say: with the shape term fitted the far field meets and
// s is found; without it the scale alone cannot bend the lens, and the far
// field stays apart by the misfit.
TEST(LensRefinement, ShapeTermIsFoundOnlyWhenFitted) {
    SynthLens trueRight = SynthLens::equisolid(1600, 1200);
    trueRight.shape = -0.012;
    const Scene& s = sceneWith("equisolid with a shape term", trueRight);
    const CameraModel left = CameraModel::fromEyeGeometry(eyeGeometryOf(s.rig.left.lens));
    SynthLens recorded = trueRight;
    recorded.shape = 0.0;
    const CameraModel right = CameraModel::fromEyeGeometry(eyeGeometryOf(recorded));
    double farField[2] = {NAN, NAN};
    for (bool shape : {false, true}) {
        SCOPED_TRACE(shape ? "shape fitted" : "shape held");
        AlignmentOptions refining;
        refining.refineLenses = true;
        refining.refineShape = shape;
        const AlignmentResult r = estimateAlignment(left, s.leftImage, right, s.rightImage, refining);
        ASSERT_TRUE(r.ok() && r.lensesRefined) << r.error;
        farField[shape] = farFieldResidual(s.rig, r.lenses.left, r.lenses.right, r.rotation);
        const LensCorrection& k = r.lenses.correction[1];
        if (shape) {
            EXPECT_TRUE(r.lenses.applied) << r.lenses.notApplied;
            EXPECT_NEAR(k.shape, trueRight.shape, std::max(3.0 * r.lenses.sigma[1].shape, 1e-3));
            EXPECT_GT(r.lenses.sigma[1].shape, 0.0);
        } else {
            EXPECT_EQ(k.shape, 0.0) << "held at the record's value";
        }
    }
    EXPECT_LT(farField[1], 0.15);
    EXPECT_GT(farField[0], 2.0 * farField[1] + 0.1) << "the shape term made no difference";
}

}  // namespace
}  // namespace vistereo
