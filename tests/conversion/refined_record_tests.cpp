// A refined lens written as a record: the record alone, prepared as any
// record is, must place every angle off the axis where the record with its
// corrections did, within what rounding to whole dots allows, and say what
// rounding moved.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <string>

#include "conversion/lens_selection.h"
#include "conversion/refined_record.h"
#include "engine/lens.h"
#include "engine/prepare.h"

namespace vistereo {
namespace {

LensRecord recordOf(int32_t radiusMode, int32_t radiusDots, MappingKind kind, int32_t axisX, int32_t axisY,
                    int32_t axisMode, const std::string& fov = "", const std::array<std::string, 4>& k = {}) {
    LensRecord r;
    r.name = "Right";
    r.radiusMode = radiusMode, r.radiusDots = radiusDots, r.mappingKind = static_cast<int32_t>(kind);
    r.axisX = axisX, r.axisY = axisY, r.axisMode = axisMode;
    r.c1 = fov;
    r.a1 = k[0], r.a2 = k[1], r.a3 = k[2], r.a4 = k[3];
    return r;
}

EyeGeometry preparedEye(const LensRecord& record, ImageSize image) {
    const LensSettings lens = lensSettingsOf(record);
    const PreparedEyes eyes = prepareEyes({lens, lens}, {image, image});
    EXPECT_FALSE(eyes.lensCode.has_value());
    return eyes.eye[1];
}

TEST(RefinedRecord, TheSavedRecordPlacesEveryAngleWhereTheCorrectedRecordDid) {
    const struct Case {
        const char* name;
        LensRecord record;
        ImageSize image;
        LensCorrection correction;
        std::optional<MappingKind> law;
        MappingKind savedKind;
        double radialDots;  // the radial distance may differ by this much (rounding of a whole-dot radius)
        bool shapeKept;
        const char* mentions;
    } cases[] = {
        {"equidistant: the scale into the field of view", recordOf(3, 1900, MappingKind::Equidistant, 3000, 2000, 1, "190"),
         {6000, 4000}, {6.3, -2.7, 0.98, 0.0}, std::nullopt, MappingKind::Equidistant, 1e-6, true, "field of view 193.8776"},
        {"equidistant with a shape term: a polynomial", recordOf(3, 1900, MappingKind::Equidistant, 3000, 2000, 1, "190"),
         {6000, 4000}, {0.4, 0.4, 1.01, 0.012}, std::nullopt, MappingKind::Polynomial, 1e-6, true, "becomes the polynomial"},
        {"polynomial: the shape multiplied into its terms",
         recordOf(3, 1500, MappingKind::Polynomial, 2000, 1500, 1, "200", {"-0.05", "0.003", "0", "0"}), {4000, 3000},
         {-1.2, 0.8, 1.015, -0.02}, std::nullopt, MappingKind::Polynomial, 1e-6, true, "multiplied into"},
        {"equisolid: the scale into whole dots", recordOf(3, 450, MappingKind::Equisolid, 600, 450, 1), {1200, 900},
         {6.2, 0.3, 1.0123, 0.0}, std::nullopt, MappingKind::Equisolid, 0.5, true, "rounded to whole dots 456"},
        {"circular orthographic about the image centre", recordOf(0, 0, MappingKind::Orthographic, 0, 0, 0), {1201, 900},
         {-2.6, 1.4, 0.99, 0.0}, std::nullopt, MappingKind::Orthographic, 0.5, true, "axis point 597.40, 451.40"},
        {"another law taken: equidistant at the record's radius", recordOf(3, 450, MappingKind::Equisolid, 600, 450, 1),
         {1200, 900}, {0.0, 0.0, 1.01, 0.0}, MappingKind::Equidistant, MappingKind::Equidistant, 1e-6, true,
         "projection: equidistant instead of equisolid"},
        {"stereographic has no shape term", recordOf(3, 1000, MappingKind::Stereographic, 1000, 1000, 1, "180"),
         {2000, 2000}, {0.0, 0.0, 1.02, 0.01}, std::nullopt, MappingKind::Stereographic, 1e-6, false, "not kept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RefinedRecord saved = refinedLensRecord(c.record, c.image, c.correction, c.law, "Right fit");
        ASSERT_TRUE(saved.error.empty()) << saved.error;
        EXPECT_EQ(saved.record.name, "Right fit");
        EXPECT_EQ(saved.record.mappingKind, static_cast<int32_t>(c.savedKind));
        std::string notes;
        for (const std::string& note : saved.notes) notes += note + "\n";
        EXPECT_NE(notes.find(c.mentions), std::string::npos) << notes;

        EyeGeometry corrected = preparedEye(c.record, c.image);
        if (c.law) corrected = withMappingAt90Degrees(corrected, *c.law);
        corrected.correction = {0.0, 0.0, c.correction.scale, c.shapeKept ? c.correction.shape : 0.0};
        const EyeGeometry back = preparedEye(saved.record, c.image);
        EXPECT_TRUE(back.correction.isIdentity());
        EXPECT_LE(std::abs(back.axisX - (corrected.axisX + c.correction.axisDx)), 0.5);
        EXPECT_LE(std::abs(back.axisY - (corrected.axisY + c.correction.axisDy)), 0.5);
        const double rim = std::min(back.reachTheta, corrected.circleTheta);
        for (double theta = 0.02; theta < rim; theta += 0.05)
            EXPECT_NEAR(radialDistance(back, theta), radialDistance(corrected, theta),
                        c.radialDots * std::max(1.0, radialDistance(corrected, theta) / back.radius180))
                << "theta " << theta;
    }
}

TEST(RefinedRecord, AScaleThatPutsTheCircleOutOfReachIsRefused) {
    const RefinedRecord saved = refinedLensRecord(recordOf(3, 1000, MappingKind::Equidistant, 1000, 1000, 1, "355"),
                                                  {2000, 2000}, {0.0, 0.0, 0.9, 0.0}, std::nullopt, "Right fit");
    EXPECT_NE(saved.error.find("past 180 degrees"), std::string::npos) << saved.error;
}

}  // namespace
}  // namespace vistereo
