// Hand-edited lens records whose values no lens has: the command line's routes refuse them before rendering,
// naming the record, the field and the value; the desktop program's own run keeps rendering what the
// numbers say (and ending silently on an unknown code); lens list flags what it can judge without an image.
// And a refined lens written as a record: the record alone, prepared as any record is, must place every angle
// off the axis where the record with its corrections did, within what rounding to whole dots allows, and say
// what rounding moved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "lens/lens_selection.h"
#include "lens/refined_record.h"
#include "conversion/run.h"
#include "engine/lens.h"
#include "lens/lens_check.h"
#include "engine/prepare.h"
#include "tests/support/conversion_test_support.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace vistereo;

namespace {

struct HandEdit {
    const char* label;
    std::function<void(LensRecord&)> edit;
    const char* message;     // what the command line says after "the right lens "Hand-edited": "
    bool needsImage = false;  // judged only against the image (lens list cannot flag it)
    ConversionStatus desktop = ConversionStatus::Written;  // what the desktop program's run ends with
};

void dots(LensRecord& r, int32_t radius) { r.radiusMode = 3, r.radiusDots = radius; }
void magnified(LensRecord& r, const char* m) { r.radiusMode = 2, r.magnification = m; }
void sine(LensRecord& r, const char* k) { r.mappingKind = 2, r.sineK = k; }
void axis(LensRecord& r, int32_t x, int32_t y) { r.axisMode = 1, r.axisX = x, r.axisY = y; }
// A continuous, rising four-segment law with r(pi/2) = 1, then the edit.
void quadratic(LensRecord& r, const std::function<void(LensRecord&)>& edit) {
    r.mappingKind = 3;
    r.theta1 = "0.4", r.theta2 = "0.8", r.theta3 = "1.2";
    r.a1 = "0", r.b1 = "0.6366", r.a2 = "0", r.b2 = "0.6366", r.c2 = "0", r.a3 = "0", r.b3 = "0.6366", r.c3 = "0";
    r.a4 = "0", r.b4 = "0.6366", r.c4 = "0";
    edit(r);
}

const std::vector<HandEdit>& handEdits() {
    static const std::vector<HandEdit> edits = {
        {"radius 0", [](LensRecord& r) { dots(r, 0); }, "radiusDots is 0: the image circle's radius must be above 0"},
        {"radius negative", [](LensRecord& r) { dots(r, -500); }, "radiusDots is -500:"},
        {"radius 2147483647", [](LensRecord& r) { dots(r, 2147483647); }, "radiusDots is 2147483647:"},
        {"magnification nan (reads as 0)", [](LensRecord& r) { magnified(r, "nan"); }, "magnification is 0:"},
        {"magnification beyond a double", [](LensRecord& r) { magnified(r, "1e999"); }, "magnification is inf:"},
        {"magnification 1e308", [](LensRecord& r) { magnified(r, "1e308"); }, "magnification is 1e+308:"},
        {"magnification -1", [](LensRecord& r) { magnified(r, "-1"); }, "magnification is -1:"},
        {"k = 0", [](LensRecord& r) { sine(r, "0"); }, "sineK is 0: k of sin(k theta) must lie above 0 and at most 1"},
        {"k = 5", [](LensRecord& r) { sine(r, "5"); }, "sineK is 5:"},
        {"k = -0.5", [](LensRecord& r) { sine(r, "-0.5"); }, "sineK is -0.5:"},
        {"axis far outside the image", [](LensRecord& r) { axis(r, 100000, 100000); },
         "axisX, axisY is 100000, 100000: the optical axis lies", true},
        {"axis beyond the radius, left of the image", [](LensRecord& r) { axis(r, -30, 24); },
         "axisX, axisY is -30, 24: the optical axis lies 30 dots outside the 64 x 48 image, farther than the radius "
         "of 24 dots", true},
        {"quadratic all zero",
         [](LensRecord& r) { quadratic(r, [](LensRecord& q) { q.b1 = q.b2 = q.b3 = q.b4 = "0"; }); },
         "a1, b1 is 0, 0: segment 1 does not rise"},
        {"quadratic falling in its second segment",
         [](LensRecord& r) { quadratic(r, [](LensRecord& q) { q.b2 = "-0.5", q.c2 = "0.6"; }); }, "a2, b2 is 0, -0.5:"},
        {"quadratic far beyond any image (found by fuzzing)",
         [](LensRecord& r) { quadratic(r, [](LensRecord& q) { q.b4 = "6e65"; }); },
         "a4, b4, c4 is 0, 6e+65, 0: segment 4 reaches"},
        {"quadratic rising only below single precision (found by fuzzing)",
         [](LensRecord& r) {
             quadratic(r, [](LensRecord& q) { q.theta1 = q.theta2 = q.theta3 = "0", q.b4 = "1.2e-97"; });
         },
         "a4, b4 is 0, 1.2e-97: segment 4 does not rise between theta 0 and"},
        {"quadratic bounds out of order", [](LensRecord& r) { quadratic(r, [](LensRecord& q) { q.theta2 = "0.3"; }); },
         "theta2 is 0.3: the segment bounds must be numbers with 0 <= theta1 <= theta2 <= theta3"},
        {"quadratic dropping where a segment begins",
         [](LensRecord& r) { quadratic(r, [](LensRecord& q) { q.c3 = "-0.2"; }); }, "c3 is -0.2: the image radius drops"},
        {"equidistant circle of 400 degrees", [](LensRecord& r) { r.mappingKind = 4, r.c1 = "400"; },
         "c1 is 400: the field of view of the image circle must lie between 1 and 360"},
        {"polynomial turning back inside its circle",
         [](LensRecord& r) { r.mappingKind = 6, r.c1 = "190", r.a1 = "-0.3"; }, "a1, a2, a3, a4 is -0.3, 0, 0, 0:"},
        {"a calibrated lens's turn of 45 degrees", [](LensRecord& r) { r.b1 = "turn=45"; },
         "b1 is turn 45: a picture stands upright after a turn of 0, 90, 180 or 270 degrees clockwise"},
        {"a calibrated lens's text that does not read", [](LensRecord& r) { r.b1 = "centre=30.5,x"; },
         "b1 is 'centre=30.5,x': centre=X,Y takes two numbers"},
        {"a centre far from the axis's whole dots", [](LensRecord& r) { axis(r, 10, 10), r.b1 = "centre=30.5,10.25"; },
         "axisX, axisY is 10, 10: the whole dots of the axis must be those nearest the centre 30.5, 10.25"},
        {"double sphere with xi 2", [](LensRecord& r) { r.mappingKind = 7, r.c1 = "190", r.a1 = "2", r.a2 = "0.6"; },
         "a1 is 2: xi of the double-sphere model must lie between -1 and 1"},
        {"an unknown radius code (ends silently on the desktop)", [](LensRecord& r) { r.radiusMode = 9; },
         "radiusMode 9", false, ConversionStatus::InvalidLensCode},
    };
    return edits;
}

class LensValues : public testsupport::ScratchTest, public MessageSink {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }

    ConversionResult convert(const LensRecord& right, bool commandLine) {
        fs::remove_all(dir / "output");
        fs::create_directories(dir / "input"), fs::create_directories(dir / "output");
        for (const char* name : {"L.png", "R.png"}) conversiontest::writeNoise(dir / "input" / name, 64, 48, 1);
        ConversionRequest request;
        request.workingDirectory = dir;
        request.leftName = "L.png", request.rightName = "R.png", request.outputName = "out.png";
        request.lenses = {lensSettingsOf(good()), lensSettingsOf(right)};
        request.alignment = PointsAB{PointEntry{kSeparateInput, {"10", "30", "11", "31", "20", "40", "21", "41"}, ""}};
        request.outputHeight = 16;
        request.refuseImpossibleLenses = commandLine;
        messages.clear();
        return RunConversion(request, *this, RunOptions{1, {}});
    }
    static LensRecord good() {
        LensRecord r;
        r.name = "Hand-edited", r.mappingKind = 1;
        return r;
    }
    std::vector<std::string> messages;
};

}  // namespace

TEST_F(LensValues, HandEditsRefusedOnTheCommandLineRenderedOnTheDesktop) {
    ASSERT_EQ(convert(good(), true).status, ConversionStatus::Written);
    ASSERT_TRUE(lensSettingsProblems(lensSettingsOf(good())).empty());
    for (const HandEdit& e : handEdits()) {
        SCOPED_TRACE(e.label);
        LensRecord record = good();
        e.edit(record);

        EXPECT_EQ(convert(record, false).status, e.desktop);
        EXPECT_EQ(fs::exists(dir / "output/out.png"), e.desktop == ConversionStatus::Written);
        EXPECT_EQ(messages, e.desktop == ConversionStatus::Written ? std::vector<std::string>{"Finished converting!!!"}
                                                                      : std::vector<std::string>{});

        const ConversionResult cli = convert(record, true);
        EXPECT_NE(cli.status, ConversionStatus::Written);
        EXPECT_FALSE(fs::exists(dir / "output/out.png"));
        EXPECT_NE(cli.detail.find(e.message), std::string::npos) << cli.detail;
        if (e.desktop == ConversionStatus::Written) {
            EXPECT_EQ(cli.status, ConversionStatus::ImpossibleLens);
            EXPECT_EQ(cli.detail.rfind("the right lens \"Hand-edited\": ", 0), 0u) << cli.detail;
            EXPECT_EQ(messages, std::vector<std::string>{cli.detail});  // shown as the run's own message
        }

        // lens list and lens show judge the record alone.
        EXPECT_EQ(lensSettingsProblems(lensSettingsOf(record)).empty(), e.needsImage);
    }
}

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

// A polynomial lens as lens import writes it: its centre between dots, dots not square, turned a quarter turn.
LensRecord calibrated() {
    LensRecord r = recordOf(3, 1500, MappingKind::Polynomial, 2000, 1500, 1, "200", {"-0.05", "0.003", "0", "0"});
    r.b1 = "centre=2000.3,1499.6 aspect=1.002 turn=90";
    return r;
}

EyeGeometry preparedEye(const LensRecord& record, ImageSize image) {
    const LensSettings lens = lensSettingsOf(record);
    const PreparedEyes eyes = prepareEyes({lens, lens}, {image, image});
    EXPECT_FALSE(eyes.lensCode.has_value());
    return eyes.eye[1];
}

}  // namespace

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
        {"a calibrated lens keeps its centre between dots, its aspect and its turn", calibrated(), {4000, 3000},
         {1.2, -0.9, 1.01, 0.0}, std::nullopt, MappingKind::Polynomial, 1e-6, true, "axis point 2001.50, 1498.70, kept"},
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
        // Whole dots, or the exact axis for a lens that keeps its centre between dots.
        const double axisSlack = c.record.b1.empty() ? 0.5 : 1e-9;
        const SourcePosition axis = axisPosition(back), recorded = axisPosition(corrected);
        EXPECT_LE(std::abs(axis.column - (recorded.column + c.correction.axisDx)), axisSlack);
        EXPECT_LE(std::abs(axis.row - (recorded.row + c.correction.axisDy)), axisSlack);
        EXPECT_EQ(back.aspect, corrected.aspect);
        EXPECT_EQ(back.quarterTurns, corrected.quarterTurns);
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
