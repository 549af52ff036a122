// Lens records as precise as their calibration: a Kannala-Brandt lens written as a record, saved in the registry
// file and read back maps every direction as OpenCV's cv::fisheye does for the same K and D (fractional centre and
// fx != fy included), both ways; the record read by a reader that knows nothing of the precision text is the same
// lens on whole dots; a classic record's number in that field is no precision at all; and calibrations no lens or
// picture has are refused by their own names.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/calib3d.hpp>

#include "engine/lens.h"
#include "lens/lens_check.h"
#include "engine/prepare.h"
#include "lens/calibrated_record.h"
#include "lens/lens_precision.h"
#include "lens/lens_selection.h"
#include "registry/lens_registry.h"
#include "tests/support/scratch.h"

namespace vistereo {
namespace {

constexpr double kDegree = std::numbers::pi / 180.0;

struct KannalaBrandt {
    const char* name;
    double fx, fy, cx, cy;
    double k[4];
    int width, height;
};

// The two RealSense T265 units of the shipped real pairs (calibration.txt), the lens centred between
// dots, a strongly distorted lens with fx != fy, and a small sensor whose centre sits near its corner.
const KannalaBrandt kLenses[] = {
    {"T265 robot unit", 285.722, 286.759, 420.135, 403.394, {-0.00659769, 0.0473251, -0.0458264, 0.00897725}, 848, 800},
    {"T265 wang unit", 286.518, 286.602, 423.142, 393.321, {-0.00727452, 0.05200624, -0.05105740, 0.01108238}, 848, 800},
    {"centred between dots", 285.722, 285.722, 600.5, 599.5, {-0.00659769, 0.0473251, -0.0458264, 0.00897725}, 1200, 1200},
    {"strong distortion, fx != fy", 1210.37, 1196.02, 1987.6, 1502.25, {0.0412, -0.0181, 0.0077, -0.0013}, 4000, 3000},
    {"off-centre small sensor", 190.978, 190.973, 254.932, 256.897, {0.00348, 0.000715, -0.00205, 0.000203}, 512, 512},
};

// The lens as the registry file gives it back: the record saved and loaded, then chosen for an eye.
EyeGeometry eyeFromFile(const LensRecord& record, int width, int height, const std::filesystem::path& dir) {
    LensRegistry registry;
    registry.records[0] = record;
    registry.count = 1;
    const std::filesystem::path file = dir / "Vistereo.ini";
    EXPECT_TRUE(SaveLensRegistry(registry, 1, std::nullopt, file));
    LensRegistry loaded;
    LoadLensRegistry(loaded, file);
    EXPECT_EQ(loaded.count, 1);
    EXPECT_EQ(loaded.records[0], record);
    const LensSettings lens = lensSettingsOf(loaded.records[0]);
    EXPECT_TRUE(lensSettingsProblems(lens).empty());
    const PreparedEyes p = prepareEyes({lens, lens}, {ImageSize{width, height}, {width, height}});
    EXPECT_TRUE(p.ok());
    return p.eye[0];
}

// Directions out to `widest` off the axis at every azimuth, in the engine's frame and in OpenCV's (x right, y down,
// z forward), and where cv::fisheye::projectPoints puts them.
struct Sample {
    double theta, phi;
    cv::Point2d opencv;
};
std::vector<Sample> opencvProjection(const KannalaBrandt& c, double widestDegrees) {
    std::vector<Sample> samples;
    std::vector<cv::Point3d> points;
    for (int i = 1; i <= 60; ++i)
        for (int j = 0; j < 48; ++j) {
            const double theta = widestDegrees * kDegree * i / 60, phi = (j * 7.5 + 0.3 * i) * kDegree;
            samples.push_back({theta, phi, {}});
            points.push_back({std::sin(theta) * std::cos(phi), -std::sin(theta) * std::sin(phi), std::cos(theta)});
        }
    std::vector<cv::Point2d> projected;
    cv::fisheye::projectPoints(points, projected, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0),
                               cv::Matx33d(c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1),
                               cv::Vec4d(c.k[0], c.k[1], c.k[2], c.k[3]));
    for (size_t n = 0; n < samples.size(); ++n) samples[n].opencv = projected[n];
    return samples;
}

struct Agreement {
    double mean = 0.0, max = 0.0, biasX = 0.0, biasY = 0.0;
};
Agreement agreementWithOpenCV(const EyeGeometry& eye, const std::vector<Sample>& samples) {
    Agreement a;
    for (const Sample& s : samples) {
        const SourcePosition p = projectToImage(eye, s.theta, s.phi);
        const double dx = p.column - s.opencv.x, dy = p.row - s.opencv.y, e = std::hypot(dx, dy);
        a.mean += e, a.max = std::max(a.max, std::isfinite(e) ? e : INFINITY), a.biasX += dx, a.biasY += dy;
    }
    a.mean /= samples.size(), a.biasX /= samples.size(), a.biasY /= samples.size();
    return a;
}

class CalibratedRecords : public testsupport::ScratchTest {};

// Inside 60 degrees the record maps as cv::fisheye does: the issue asks for 0.05 px mean and 0.1 px at most; the
// record keeps the focal length, the centre and the aspect to the last bits, so it agrees far closer. Back from
// OpenCV's positions, directionOfPosition finds the directions cv::fisheye::undistortPoints finds.
TEST_F(CalibratedRecords, KannalaBrandtMapsAsOpenCVFisheyeBothWays) {
    for (const KannalaBrandt& c : kLenses) {
        SCOPED_TRACE(c.name);
        CalibratedLens lens;
        lens.polynomial = {c.k[0], c.k[1], c.k[2], c.k[3]};
        lens.fx = c.fx, lens.fy = c.fy, lens.cx = c.cx, lens.cy = c.cy, lens.width = c.width, lens.height = c.height;
        const LensRecordBuild built = buildCalibratedRecord("calibrated", lens);
        ASSERT_TRUE(built.ok()) << built.error;
        const EyeGeometry eye = eyeFromFile(built.record, c.width, c.height, dir);
        const std::vector<Sample> samples = opencvProjection(c, 60);
        const Agreement a = agreementWithOpenCV(eye, samples);
        EXPECT_LT(a.mean, 1e-6);
        EXPECT_LT(a.max, 1e-6);
        EXPECT_LT(std::abs(a.biasX) + std::abs(a.biasY), 1e-7);

        std::vector<cv::Point2d> distorted, undistorted;
        for (const Sample& s : samples) distorted.push_back(s.opencv);
        cv::fisheye::undistortPoints(distorted, undistorted, cv::Matx33d(c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1),
                                     cv::Vec4d(c.k[0], c.k[1], c.k[2], c.k[3]));
        double worst = 0.0;
        for (size_t n = 0; n < samples.size(); ++n) {
            const Vec3 d = directionOfPosition(eye, {distorted[n].x, distorted[n].y});
            // OpenCV's answer is (x / z, y / z), y down; its own inverse stops iterating at about 1e-8.
            worst = std::max({worst, std::abs(d.x / d.y - undistorted[n].x), std::abs(-d.z / d.y - undistorted[n].y)});
        }
        EXPECT_LT(worst, 1e-6);
    }
}

// The lens, registered from its circle as `lens add` does (projection, field of view, circle centre and
// radius in dots): centred at (600.5, 599.5) it landed 0.71 px off everywhere, its centre rounded half away from
// zero to (601, 600), with the radius of 411.195 dots rounded to 411 on top. Now the record keeps the centre and
// nudges the field of view so that the whole radius has the circle's scale.
TEST_F(CalibratedRecords, ALensAddedFromItsCircleKeepsTheCentreAndScale) {
    const KannalaBrandt& c = kLenses[2];
    const ProjectionRead projection = parseProjection("poly:-0.00659769,0.0473251,-0.0458264,0.00897725");
    ASSERT_TRUE(projection.ok()) << projection.error;
    const double rim = 90 * kDegree, t2 = rim * rim;
    const double radius = c.fx * rim * (1 + t2 * (c.k[0] + t2 * (c.k[1] + t2 * (c.k[2] + t2 * c.k[3]))));
    const LensRecordBuild built = buildLensRecord("added", projection.choice, 180, {c.cx, c.cy, radius});
    ASSERT_TRUE(built.ok()) << built.error;
    EXPECT_EQ(std::tuple(built.record.axisX, built.record.axisY, built.record.radiusDots), std::tuple(601, 600, 411));
    ASSERT_EQ(built.notes.size(), 1u);
    EXPECT_NE(built.notes[0].find("the same lens as 180 degrees at 411.19"), std::string::npos) << built.notes[0];
    const Agreement a = agreementWithOpenCV(eyeFromFile(built.record, 1200, 1200, dir), opencvProjection(c, 60));
    EXPECT_LT(a.max, 1e-6);
}

// A reader that knows nothing of the precision text (the fields as numbers only) sees the same lens on whole dots:
// the calibration's focal length, its centre rounded. And a number or nothing in that field, as the classic dialog
// leaves it, reads as no precision, so those records read as they always did.
TEST_F(CalibratedRecords, WholeDotsForReadersThatKnowNothingOfThePrecision) {
    const KannalaBrandt& c = kLenses[0];
    CalibratedLens lens;
    lens.polynomial = {c.k[0], c.k[1], c.k[2], c.k[3]};
    lens.fx = c.fx, lens.fy = c.fy, lens.cx = c.cx, lens.cy = c.cy, lens.width = c.width, lens.height = c.height;
    LensRecord record = buildCalibratedRecord("t265", lens).record;
    EXPECT_EQ(record.*kPrecisionField, "centre=420.135,403.394 aspect=" + exactNumberText(c.fx / c.fy));
    record.*kPrecisionField = "";
    const EyeGeometry whole = eyeFromFile(record, c.width, c.height, dir);
    EXPECT_EQ(whole.axisX, 420);
    EXPECT_EQ(whole.axisY, 403);
    EXPECT_NEAR(whole.radius180 * whole.mappingScale, c.fx, 1e-9);
    EXPECT_EQ(whole.axisFractionX, 0.0);
    EXPECT_EQ(whole.aspect, 1.0);

    LensRecord classic;
    classic.mappingKind = 1;
    for (const char* typed : {"", "0.7", "12abc", " 3", "centre"}) {
        classic.b1 = typed;
        EXPECT_EQ(lensSettingsOf(classic).precision, LensPrecision{}) << typed;
    }
    // The quadratic reads b1 as its coefficient, never as a precision.
    classic.mappingKind = 3, classic.b1 = "turn=90";
    EXPECT_EQ(lensSettingsOf(classic).precision, LensPrecision{});
}

// The precision text, item by item.
TEST(PrecisionText, ReadsItsItemsAndNamesTheOneThatDoesNot) {
    const struct {
        const char* text;
        bool centre;
        double x, y, aspect;
        int32_t turn;
        const char* unreadable;  // the item that cannot be read (nullptr: none)
    } cases[] = {
        {"centre=420.135,403.394 aspect=0.99638 turn=90", true, 420.135, 403.394, 0.99638, 90, nullptr},
        {"  turn=270", false, 0, 0, 1.0, 270, nullptr},
        {"aspect=1.002  centre=-0.25,1e2", true, -0.25, 100, 1.002, 0, nullptr},
        {"turn=45", false, 0, 0, 1.0, 45, nullptr},  // read; the lens checks refuse it
        {"centre=1,x", false, 0, 0, 1.0, 0, "centre=1,x"},
        {"centre=1", false, 0, 0, 1.0, 0, "centre=1"},
        {"turn=90.5", false, 0, 0, 1.0, 0, "turn=90.5"},
        {"aspect=nan", false, 0, 0, 1.0, 0, "aspect=nan"},
        {"turn=90 turn=180", false, 0, 0, 1.0, 0, "turn=180"},
        {"turn=90 zoom=2", false, 0, 0, 1.0, 0, "zoom=2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const LensPrecision p = readPrecisionText(c.text);
        EXPECT_EQ(p.unreadableItem, c.unreadable ? c.unreadable : "");
        if (c.unreadable) continue;
        EXPECT_EQ(p.hasCentre, c.centre);
        EXPECT_EQ(p.centreX, c.x);
        EXPECT_EQ(p.centreY, c.y);
        EXPECT_EQ(p.aspect, c.aspect);
        EXPECT_EQ(p.turnDegrees, c.turn);
        EXPECT_EQ(readPrecisionText(precisionText(p)), p);
    }
}

// Calibrations no lens or picture has: each refused naming the value by the calibration's own name.
TEST(CalibratedRecordsRefused, ValuesNoLensOrPictureHas) {
    CalibratedLens good;
    good.polynomial = {-0.0066, 0.047, -0.046, 0.009};
    good.fx = 285.7, good.fy = 286.8, good.cx = 420.1, good.cy = 403.4, good.width = 848, good.height = 800;
    ASSERT_TRUE(buildCalibratedRecord("good", good).ok()) << buildCalibratedRecord("good", good).error;
    const struct {
        const char* name;
        void (*edit)(CalibratedLens&);
        const char* message;
    } cases[] = {
        {"focal length 0", [](CalibratedLens& c) { c.fx = 0; }, "fx 0: a focal length is a positive number of dots"},
        {"focal length NaN", [](CalibratedLens& c) { c.fy = NAN; }, "fy nan:"},
        {"centre NaN", [](CalibratedLens& c) { c.cx = NAN; }, "centre (nan, 403.4): lies outside the 848 x 800 picture"},
        {"centre outside the picture", [](CalibratedLens& c) { c.cy = 812.5; }, "centre (420.1, 812.5): lies outside"},
        {"dots far from square", [](CalibratedLens& c) { c.fy = 95; }, "fx / fy 3.007368421: a lens's dots are near square"},
        {"turn of 45 degrees", [](CalibratedLens& c) { c.turnDegrees = 45; }, "turn 45:"},
        {"k1 NaN", [](CalibratedLens& c) { c.polynomial.k1 = NAN; }, "k1 nan: a law's coefficient is a number"},
        {"k3 far too large", [](CalibratedLens& c) { c.polynomial.k3 = 1e9; }, "a3 1000000000: k3 of the polynomial"},
        {"double sphere with xi 2",
         [](CalibratedLens& c) { c.kind = MappingKind::DoubleSphere, c.sphere = {2.0, 0.6}; },
         "a1 2: xi of the double-sphere model must lie between -1 and 1"},
        {"extended unified with beta 0",
         [](CalibratedLens& c) { c.kind = MappingKind::ExtendedUnified, c.sphere = {0.6, 0.0}; },
         "a2 0: beta of the extended unified model"},
        {"no picture size", [](CalibratedLens& c) { c.width = 0; }, "image size 0 x 800:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CalibratedLens lens = good;
        c.edit(lens);
        const LensRecordBuild built = buildCalibratedRecord("bad", lens);
        EXPECT_NE(built.error.find(c.message), std::string::npos) << built.error;
    }
}

}  // namespace
}  // namespace vistereo
