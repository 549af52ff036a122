// The automatic route on the command line: align, convert --auto-align and
// check, on a turned rig whose rotation is known; exit codes and messages.
#include <gtest/gtest.h>

#include <cstdio>

#include <opencv2/imgcodecs.hpp>

#include "alignment/alignment.h"
#include "calibration/lens_calibration.h"
#include "cli/commands.h"
#include "cli/options/lens_saving.h"
#include "lens/lens_selection.h"
#include "engine/render.h"
#include "tests/cli/cli_test_support.h"
#include "tests/support/far_field.h"
#include "tests/support/stereo_scene.h"
#include "tests/support/synth.h"

using namespace vistereo;
using namespace vistereo::cli;
using namespace vistereo::testsupport;

namespace {

using AlignCliTest = ScratchTest;

// Equidistant records of a rig: the true left lens, and a right one whose axis point is 6 dots off and whose
// radius is 2 % too large (the radius at 90 degrees, no field of view given).
const std::string kWrongRightRecords = recordText("True", {"3", "450", "4", "600", "450", "1"}) +
                                       recordText("Wide", {"3", "459", "4", "606", "450", "1"});

// A record prepared for a 1200 x 900 picture as any record is, without refinement.
alignment::CameraModel cameraOf(const LensRecord& record) {
    const LensSettings settings = lensSettingsOf(record);
    const PreparedEyes eyes = prepareEyes({settings, settings}, {ImageSize{1200, 900}, ImageSize{1200, 900}});
    return alignment::CameraModel::fromEyeGeometry(eyes.eye[0]);
}

// Spheres one to six metres away photographed by a rig of two `lens`es, the right one turned, as input/L.png and
// input/R.png.
StereoRig writeTurnedRig(const std::filesystem::path& dir, const SynthLens& lens, cv::Mat& left, cv::Mat& right) {
    const StereoRig rig = StereoRig::sideBySide(lens, lens, rotationFromYawPitchRoll(-1.2, 0.8, -0.6));
    const StereoScene scene = spheresOneToSixMetres();
    left = renderView(scene, rig.left), right = renderView(scene, rig.right);
    std::filesystem::create_directories(dir / "input");
    cv::imwrite((dir / "input" / "L.png").string(), left), cv::imwrite((dir / "input" / "R.png").string(), right);
    return rig;
}

// The real pair of the shared test data, linked into input/.
void linkRealPair(const std::filesystem::path& dir) {
    const std::filesystem::path data = VISTEREO_REAL_PAIR_DIR;
    ASSERT_TRUE(std::filesystem::exists(data / "001L.JPG") && std::filesystem::exists(data / "001R.JPG")) << data;
    std::filesystem::create_directories(dir / "input");
    for (const char* name : {"001L.JPG", "001R.JPG"}) std::filesystem::create_symlink(data / name, dir / "input" / name);
}

// An equisolid pair: the right camera turned by 2 degrees of yaw, -1 of pitch
// and 1.5 of roll (the panorama is far away, so there is no parallax).
TEST_F(AlignCliTest, AlignsConvertsAndChecksWithExitCodesAndReasons) {
    std::filesystem::create_directories(dir / "input"), std::filesystem::create_directories(dir / "output");
    const SynthLens lens = SynthLens::equisolid(1200, 900);
    cv::imwrite((dir / "input" / "L.jpg").string(), renderFisheye(panorama(), lens, RotationMatrix{}));
    cv::imwrite((dir / "input" / "R.jpg").string(), renderFisheye(panorama(), lens, rotationFromYawPitchRoll(2.0, -1.0, 1.5)));
    cv::imwrite((dir / "input" / "flat.jpg").string(), cv::Mat(900, 1200, CV_8UC3, cv::Scalar::all(128)));
    writeFile(dir / "Vistereo.ini", recordText("Equisolid"));
    const Args lenses{"-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1"};

    const Outcome r = call(runAlignCommand, with(lenses, {"--json"}));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto& [key, expected] : {std::pair{"yaw_deg", 2.0}, {"pitch_deg", -1.0}, {"roll_deg", 1.5}})
        EXPECT_NEAR(field(r.out, key), expected, 0.02) << key;
    EXPECT_LT(field(r.out, "p95"), 5.0);
    // No parallax in this scene: the misalignment is the whole vertical disparity, and small.
    EXPECT_LT(field(r.out.substr(r.out.find("\"misalignment_arcmin\"")), "rms"), 3.0) << r.out;
    EXPECT_NE(r.out.find("\"parallax_vertical_arcmin\": {"), std::string::npos) << r.out;
    EXPECT_GT(field(r.out, "inliers"), 100);
    EXPECT_NE(r.out.find("\"suggested_points\": \""), std::string::npos) << r.out;
    // What align says the image will show, `check` measures on it: the same
    // figure (within the noise of two matchings, 1') and the same verdict.
    const double alignedMisalignment = field(r.out.substr(r.out.find("\"misalignment_arcmin\"")), "rms");
    EXPECT_NE(r.out.find("\"verdict\": \"comfortable\", \"comfort_limit_arcmin\": 9.6, \"fusion_limit_arcmin\": 19.2"),
              std::string::npos) << r.out;
    // Both commands state the verdict's limits in their help, as the measurement holds them.
    char limits[160];
    std::snprintf(limits, sizeof limits, "comfortable up to %.1f\nminutes of arc", alignment::kVerticalComfortLimitArcmin);
    for (const Command command : {runAlignCommand, runCheckCommand}) {
        const Outcome help = call(command, {"--help"});
        EXPECT_NE(help.out.find(limits), std::string::npos) << help.out;
        EXPECT_NE(help.out.find("marginal up to " + std::to_string(alignment::kVerticalFusionLimitArcmin).substr(0, 4)),
                  std::string::npos) << help.out;
    }
    const struct { Args args; const char* output; const char* verdict; } conversions[] = {
        {{"--auto-align", "--height", "900", "-o", "auto.vr.jpg"}, "auto.vr.jpg", "\"comfortable\""},
        // A and B one dot apart in the two images: next to no alignment, the pitch shows.
        {{"--points", "400,800,401,801,450,450,450,450", "--height", "900", "-o", "none.jpg"}, "none.jpg", "\"uncomfortable\""}};
    for (const auto& c : conversions) {
        SCOPED_TRACE(c.output);
        const Outcome converted = call(runConvertCommand, with(lenses, c.args));
        ASSERT_EQ(converted.status, 0) << converted.err;
        const Outcome checked = call(runCheckCommand, {"-C", (dir / "output").string(), c.output, "--json"});
        ASSERT_EQ(checked.status, 0) << checked.err;
        EXPECT_NE(checked.out.find(c.verdict), std::string::npos) << checked.out;
        for (const char* key : {"\"vertical_arcmin\": {", "\"misalignment_arcmin\": {", "\"parallax_vertical_arcmin\": {"})
            EXPECT_NE(checked.out.find(key), std::string::npos) << key << " in " << checked.out;
        EXPECT_EQ(checked.out.find("\"vr180\": true") != std::string::npos, std::string(c.output).find(".vr.") != std::string::npos);
        if (std::string(c.verdict) == "\"comfortable\"") {
            EXPECT_NEAR(field(checked.out.substr(checked.out.find("\"misalignment_arcmin\"")), "rms"), alignedMisalignment, 1.0)
                << checked.out;
        }
    }

    // Failures are exit 1 with a reason, usage errors 2; `mentions` is in the standard output on success, else in the errors.
    const struct { Command command; Args args; int status; const char* mentions; } runs[] = {
        {runAlignCommand, with(lenses, {}), 0, "points for the A/B route: "},
        {runAlignCommand, with(lenses, {"--right", "flat.jpg"}), 1, "automatic alignment failed"},
        {runConvertCommand, with(lenses, {"--auto-align", "--right", "flat.jpg", "-o", "never.jpg"}), 1, "alignment failed"},
        {runConvertCommand, with(lenses, {"--auto-align", "--points", "1,2,3,4,5,6,7,8"}), 2, "--auto-align"},
        {runAlignCommand, {"-C", dir.string(), "--left-lens", "#1"}, 2, "missing --right-lens"},
        {runCheckCommand, {"-C", dir.string(), "Vistereo.ini"}, 1, "not an image"},
        {runCheckCommand, {"-C", dir.string(), "input/flat.jpg"}, 1, "1200 x 900, not a side-by-side pair"},
        // Options that go only with others.
        {runConvertCommand, with(lenses, {"--points", "400,800,401,801,450,450,450,450", "--refine-lenses", "-o", "x.png"}),
         2, "--refine-lenses goes with --auto-align"},
        {runAlignCommand, with(lenses, {"--refine-shape"}), 2, "--refine-shape goes with --refine-lenses"},
        {runAlignCommand, with(lenses, {"--save-lenses", "x"}), 2, "--save-lenses goes with --refine-lenses"},
        {runBatchCommand, with(lenses, {"--auto-align", "--refine-lenses", "--save-lenses", "x"}), 2,
         "--save-lenses in a batch goes with --align-once"},
        {runLensCommand, with({"calibrate"}, with(lenses, {"--pairs", "p.txt", "--left-dir", "x"})), 2,
         "--pairs lists the images itself"}};
    for (const auto& c : runs) {
        SCOPED_TRACE(c.mentions);
        const Outcome f = call(c.command, c.args);
        EXPECT_EQ(f.status, c.status) << f.err;
        EXPECT_NE((c.status == 0 ? f.out : f.err).find(c.mentions), std::string::npos) << f.out << f.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "output" / "never.jpg"));
    EXPECT_FALSE(std::filesystem::exists(dir / "output" / "x.png"));
}

// A converted stereo scene whose right camera has gains of red 0.85, green
// 1.0, blue 1.12 and an offset of 6 levels, with a sphere a metre away cut
// by the frame's left edge: check reports the gains and offsets that map the
// right eye onto the left, the eyes' difference, and the window violation.
TEST_F(AlignCliTest, CheckReportsColourDifferenceAndStereoWindow) {
    StereoScene scene;
    scene.spheres = {TexturedSphere::at(-70.0, 0.0, 1.0, 0.35, 41)};
    const cv::Matx34f tone(1.12f, 0, 0, 6, 0, 1, 0, 6, 0, 0, 0.85f, 6);
    ASSERT_TRUE(cv::imwrite((dir / "scene.png").string(), convertedScene(scene, tone)));

    const Outcome json = call(runCheckCommand, {"-C", dir.string(), "scene.png", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const std::string colour = json.out.substr(json.out.find("\"colour\": {\"ok\": true"));
    const auto within = [&](const std::string& object, const std::string& key) {
        return field(colour.substr(colour.find("\"" + object + "\"")), key);
    };
    const struct { const char* channel; double gain; } channels[] = {{"red", 0.85}, {"green", 1.0}, {"blue", 1.12}};
    for (const auto& c : channels) {
        SCOPED_TRACE(c.channel);
        EXPECT_NEAR(within("gain", c.channel), 1.0 / c.gain, 0.02);
        EXPECT_NEAR(within("offset_levels", c.channel), -6.0 / c.gain, 1.0);
        EXPECT_GT(within("mean_abs_diff_levels", c.channel), 5.0);
        EXPECT_NEAR(within("cell_mean_abs_diff_levels", c.channel), within("mean_abs_diff_levels", c.channel), 1.0);
    }
    EXPECT_NEAR(within("rim_to_centre", "left"), within("rim_to_centre", "right"), 0.05) << "no fall-off told apart";
    EXPECT_NE(colour.find("\"grade\": \"poor\""), std::string::npos) << "blue differs by about 20 levels: " << colour;
    EXPECT_NE(json.out.find("\"violation_left\": true, \"violation_right\": false"), std::string::npos) << json.out;
    EXPECT_LT(field(json.out, "nearest_pixels"), -10.0);

    const Outcome text = call(runCheckCommand, {"-C", dir.string(), "scene.png"});
    ASSERT_EQ(text.status, 0) << text.err;
    for (const char* line : {"\nstereo window: nearest point -", "\nwindow violation at the left edge: ",
                             "\ncolour difference of the far field (", "\nrim brightness over the centre's",
                             " levels over its areas - poor (good up to 4, acceptable up to 10 levels of 255); if it was "
                             "converted without --match-colour, convert with it"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line << " in " << text.out;
}

// A rig with parallax whose right lens record has a radius 2 % too large:
// align --refine-lenses reports the correction that undoes it (the scale
// 1 / 1.02) with its uncertainty and a smaller residual than the records
// leave; convert and batch --auto-align --refine-lenses render with it, so
// their outputs show less misalignment than the plain automatic route's.
TEST_F(AlignCliTest, RefinedLensesAreReportedAndRendered) {
    for (const char* folder : {"input/left", "input/right", "output"}) std::filesystem::create_directories(dir / folder);
    cv::Mat left, right;
    writeTurnedRig(dir, SynthLens::equisolid(1200, 900), left, right);
    cv::imwrite((dir / "input" / "left" / "a.png").string(), left);
    cv::imwrite((dir / "input" / "right" / "a.png").string(), right);
    writeFile(dir / "Vistereo.ini", recordText("True", {"3", "450", "1", "600", "450", "1"}) +
                                        recordText("Wide", {"3", "459", "1", "600", "450", "1"}));
    const Args lenses{"-C", dir.string(), "--left", "L.png", "--right", "R.png", "--left-lens", "True", "--right-lens", "Wide"};

    const Outcome r = call(runAlignCommand, with(lenses, {"--refine-lenses", "--json"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string refinement = r.out.substr(r.out.find("\"lens_refinement\": {"));
    const std::string rightEye = refinement.substr(refinement.find("\"right\": {"));
    EXPECT_NEAR(field(rightEye.substr(rightEye.find("\"scale\"")), "value"), 1.0 / 1.02, 5e-4) << r.out;
    EXPECT_GT(field(rightEye.substr(rightEye.find("\"scale\"")), "sigma"), 0.0) << r.out;
    EXPECT_LT(std::abs(field(rightEye.substr(rightEye.find("\"axis_dx\"")), "value")), 0.5) << r.out;
    EXPECT_LT(field(refinement, "residual_after_px"), 0.5 * field(refinement, "residual_before_px")) << r.out;
    EXPECT_NE(refinement.find("\"held\": [\"the left lens"), std::string::npos) << r.out;
    // Tried by default, the refinement is set aside on the true record and the output is the records' own, byte
    // for byte. (That it is used where it clearly helps, and that --keep-lenses holds the records, the real pair
    // shows.)
    const Args trueLenses{"-C", dir.string(), "--left", "L.png", "--right", "R.png", "--left-lens", "True",
                          "--right-lens", "True", "--auto-align", "--height", "512"};
    const Outcome byDefault = call(runConvertCommand, with(trueLenses, {"-o", "default.png"}));
    ASSERT_EQ(byDefault.status, 0) << byDefault.err;
    EXPECT_NE(byDefault.out.find("the refined lenses are not used: the records line the pair up as well"),
              std::string::npos) << byDefault.out;
    ASSERT_EQ(call(runConvertCommand, with(trueLenses, {"--keep-lenses", "-o", "kept.png"})).status, 0);
    EXPECT_EQ(readFile(dir / "output" / "default.png"), readFile(dir / "output" / "kept.png"));
    EXPECT_EQ(call(runConvertCommand, with(trueLenses, {"--keep-lenses", "--refine-lenses"})).status, 2);

    // The same far field through both routes: the misalignment the check finds in each output.
    auto misalignment = [&](const std::string& output) {
        const Outcome checked = call(runCheckCommand, {"-C", (dir / "output").string(), output, "--json"});
        EXPECT_EQ(checked.status, 0) << checked.err;
        return field(checked.out.substr(checked.out.find("\"misalignment_arcmin\"")), "rms");
    };
    ASSERT_EQ(call(runConvertCommand,
                   with(lenses, {"--auto-align", "--keep-lenses", "--height", "1024", "-o", "plain.png"})).status, 0);
    const Outcome refined = call(runConvertCommand, with(lenses, {"--auto-align", "--refine-lenses", "--height", "1024", "-o",
                                                         "refined.png", "--save-lenses", " convert"}));
    ASSERT_EQ(refined.status, 0) << refined.err;
    EXPECT_NE(refined.out.find("saved the refined right lens as record #3 \"Wide convert\""), std::string::npos)
        << refined.out;
    EXPECT_NE(refined.out.find("right lens refined against the left: axis point"), std::string::npos) << refined.out;
    const double plain = misalignment("plain.png"), corrected = misalignment("refined.png");
    std::printf("[ figures  ] misalignment RMS of the output: %.2f' plain, %.2f' with the lenses refined\n", plain, corrected);
    EXPECT_LT(corrected, 0.6 * plain);

    // A batch of that pair aligned once for all: the same correction rendered and saved. (Each pair refined on
    // its own renders as its single run does: the batch's tests.)
    const Outcome b = call(runBatchCommand, {"-C", dir.string(), "--left-lens", "True", "--right-lens", "Wide",
                                             "--auto-align", "--refine-lenses", "--height", "1024", "--output-dir",
                                             "output", "--align-once", "--save-lenses", " batch"});
    ASSERT_EQ(b.status, 0) << b.out << b.err;
    EXPECT_NE(b.out.find("saved the refined right lens as record #4 \"Wide batch\""), std::string::npos) << b.out;
    EXPECT_LT(misalignment("a.jpg"), 0.6 * plain);
}

// The right lens record of a rig with parallax is wrong (its axis point 6
// dots off, its radius 2 % too large): align --refine-lenses --save-lenses
// writes the refined lens as a new record beside it, and that record alone,
// used without refinement, lines the far field up with the left; the old
// records keep their bytes. A second save of the name, a full registry, a
// name with a line end and a refinement set aside save nothing and name the file.
TEST_F(AlignCliTest, SavedLensAlignsTheFarFieldWithoutRefinement) {
    cv::Mat left, right;
    const StereoRig rig = writeTurnedRig(dir, SynthLens::equidistant(1200, 900), left, right);
    const std::string& records = kWrongRightRecords;
    const std::filesystem::path ini = dir / "Vistereo.ini";
    writeFile(ini, records);
    const Args refine{"-C", dir.string(), "--left", "L.png", "--right", "R.png", "--left-lens", "True",
                      "--right-lens", "Wide", "--refine-lenses"};

    const Outcome saved = call(runAlignCommand, with(refine, {"--save-lenses", " fit", "--json"}));
    ASSERT_EQ(saved.status, 0) << saved.err;
    EXPECT_NE(saved.out.find("\"saved_lens\": {\"ok\": true, \"name\": \"Wide fit\""), std::string::npos) << saved.out;
    EXPECT_NE(saved.out.find("rounded to whole dots"), std::string::npos) << saved.out;
    const std::string after = readFile(ini);
    EXPECT_EQ(after.substr(0, records.size()), records) << "the old records keep their bytes";
    LensRegistry registry;
    LoadLensRegistry(registry, ini);
    ASSERT_EQ(registry.count, 3);
    EXPECT_EQ(registry.records[2].name, "Wide fit");

    // The saved record, prepared as any record is, without refinement.
    const alignment::CameraModel trueLeft = cameraOf(registry.records[0]);
    double farField[2] = {};
    for (int k = 0; k < 2; ++k) {
        const alignment::CameraModel rightCamera = cameraOf(registry.records[k == 0 ? 1 : 2]);
        const alignment::AlignmentResult r = alignment::estimateAlignment(trueLeft, left, rightCamera, right);
        ASSERT_TRUE(r.ok()) << r.error;
        farField[k] = farFieldResidual(rig, trueLeft, rightCamera, r.rotation);
    }
    std::printf("[ figures  ] far field at height 1024: %.3f px with the wrong record, %.3f px with the saved one\n",
                farField[0], farField[1]);
    EXPECT_GT(farField[0], 0.3) << "the wrong record shows";
    EXPECT_LT(farField[1], 0.15);

    // Refusals: nothing written, the file named; what stands in the save's way is said before the work, which
    // goes on (convert still renders), and the command ends with exit 1.
    std::string ten = records;
    for (int k = 0; k < 8; ++k) ten += recordText("Other " + std::to_string(k), {"3", "450", "4", "600", "450", "1"});
    const Args convert{"--height", "128", "--auto-align", "--output", "saved.jpg"};
    const struct {
        const char* name;
        std::string file;  // the registry before
        Command command;
        Args more;
        const char* mentions;
    } refusals[] = {
        {"a name taken", after, runAlignCommand, {"--save-lenses", " fit"}, "record #3 of "},
        {"a suffix with a line end", records, runAlignCommand, {"--save-lenses", "\nfit"}, "the name holds a line end"},
        {"convert into a full registry still renders", ten, runConvertCommand, with({"--save-lenses", " fit"}, convert),
         "already holds 10 records"},
    };
    for (const auto& f : refusals) {
        SCOPED_TRACE(f.name);
        writeFile(ini, f.file);
        std::filesystem::remove(dir / "output/saved.jpg");
        const Outcome refused = call(f.command, with(refine, f.more));
        EXPECT_EQ(refused.status, 1) << refused.err;
        EXPECT_NE(refused.err.find("warning: the refined lens cannot be saved as "), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find(f.mentions), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("error: cannot save \""), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find(ini.string()), std::string::npos) << refused.err;
        EXPECT_EQ(readFile(ini), f.file);
        EXPECT_EQ(std::filesystem::exists(dir / "output/saved.jpg"), f.command == runConvertCommand);
        // The work went on, and its text tells the refinement.
        EXPECT_NE(refused.out.find("right lens refined against the left: axis point"), std::string::npos) << refused.out;
    }

    // A refinement set aside saves nothing and says why.
    writeFile(ini, records);
    const LensSaving target{ini, registry.records[1], "Wide set aside"};
    const LensSaved aside = saveRefinedLens(target, {1200, 900}, RefinedLenses{},
                                                      "the refined lenses are not used: with them the misalignment is worse");
    EXPECT_FALSE(aside.ok());
    EXPECT_EQ(aside.error, "nothing saved to " + ini.string() +
                               ": the refined lenses are not used: with them the misalignment is worse");
    EXPECT_EQ(readFile(ini), records);
}

// Three pairs of one rig looking in different directions, its right lens
// record wrong (axis point 6 dots off, radius 2 % too large): lens calibrate
// pools their matches into one correction at least as close to the truth as
// the worst single pair's, and the record it saves lines the far field up
// without refinement.
TEST_F(AlignCliTest, LensCalibrationPoolsThePairsOfOneRig) {
    for (const char* folder : {"input/left", "input/right"}) std::filesystem::create_directories(dir / folder);
    const SynthLens lens = SynthLens::equidistant(1200, 900);
    const StereoScene scene = spheresOneToSixMetres();
    const RotationMatrix rightToLeft = rotationFromYawPitchRoll(-1.2, 0.8, -0.6);
    std::vector<StereoRig> rigs;
    std::vector<cv::Mat> lefts, rights;
    for (const double yaw : {0.0, 35.0, -30.0}) {
        rigs.push_back(StereoRig::sideBySide(lens, lens, rightToLeft, 0.065, {1, 0, 0},
                                             rotationFromYawPitchRoll(yaw, yaw == 0.0 ? 0.0 : 10.0, 0.0)));
        lefts.push_back(renderView(scene, rigs.back().left)), rights.push_back(renderView(scene, rigs.back().right));
        const std::string name = "p" + std::to_string(rigs.size()) + ".png";
        cv::imwrite((dir / "input" / "left" / name).string(), lefts.back());
        cv::imwrite((dir / "input" / "right" / name).string(), rights.back());
    }
    const std::string& records = kWrongRightRecords;
    writeFile(dir / "Vistereo.ini", records);
    const Outcome r = call(runLensCommand, {"calibrate", "-C", dir.string(), "--left-lens", "True", "--right-lens", "Wide",
                                           "--save-lenses", " shoot", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("\"pooled\": false"), std::string::npos) << r.out;
    // Three pairs of one rig fit the pooled lenses alike: each judged, none to leave out.
    for (size_t at = r.out.find("\"pooled_residual_px\""), pairs = 0; pairs < 3; at = r.out.find("\"pooled_residual_px\"", at + 1), ++pairs) {
        ASSERT_NE(at, std::string::npos) << r.out;
        const std::string pair = r.out.substr(at, r.out.find('}', at) - at);
        EXPECT_NE(pair.find("\"grade\": \"good\""), std::string::npos) << pair;
        EXPECT_NE(pair.find("\"leave_out\": false"), std::string::npos) << pair;
    }
    // Each camera's image circle over the shoot's three frames: the lenses' 180-degree circle, 450 dots about the
    // middle of the picture, on every frame alike.
    for (const char* camera : {"\"left\": {", "\"right\": {"}) {
        const std::string circle = r.out.substr(r.out.find(camera, r.out.find("\"circles\"")));
        EXPECT_NE(circle.find("\"frames\": 3, \"frames_with_circle\": 3"), std::string::npos) << circle;
        const std::vector<double> centre = numbers(circle, "centre");
        ASSERT_EQ(centre.size(), 2u) << circle;
        EXPECT_LT(std::hypot(centre[0] - 600.0, centre[1] - 450.0), 1.0) << circle;
        EXPECT_NEAR(field(circle, "radius"), 450.0, 1.0) << circle;
        EXPECT_LT(field(circle, "centre_px"), 1.0) << circle;
    }

    // The truth the right record misses: its axis point 6 dots left, its scale 450 / 459.
    const double trueScale = 450.0 / 459.0;
    auto errors = [&](const std::string& json) {
        return std::pair{std::hypot(field(json, "axis_dx") + 6.0, field(json, "axis_dy")),
                         std::abs(field(json, "scale") - trueScale)};
    };
    double worstAxis = 0.0, worstScale = 0.0;
    for (size_t at = r.out.find("\"alone_correction\""); at != std::string::npos;
         at = r.out.find("\"alone_correction\"", at + 1)) {
        const auto [axis, scale] = errors(r.out.substr(at, r.out.find('}', at) - at));
        worstAxis = std::max(worstAxis, axis), worstScale = std::max(worstScale, scale);
    }
    const std::string right = r.out.substr(r.out.find("\"right\": {"));
    const std::string pooled = "\"axis_dx\": " + std::to_string(field(right.substr(right.find("\"axis_dx\"")), "value")) +
                               ", \"axis_dy\": " + std::to_string(field(right.substr(right.find("\"axis_dy\"")), "value")) +
                               ", \"scale\": " + std::to_string(field(right.substr(right.find("\"scale\"")), "value"));
    const auto [axis, scale] = errors(pooled);
    std::printf("[ figures  ] axis point off the truth by %.3f dots pooled, %.3f for the worst pair; scale by %.6f, "
                "%.6f\n", axis, worstAxis, scale, worstScale);
    EXPECT_GT(worstAxis, 0.0) << "three pairs refined alone: " << r.out;
    EXPECT_LE(axis, worstAxis);
    EXPECT_LE(scale, worstScale);

    // The saved record alone, without refinement, on the first pair.
    LensRegistry registry;
    LoadLensRegistry(registry, dir / "Vistereo.ini");
    ASSERT_EQ(registry.count, 3);
    EXPECT_EQ(registry.records[2].name, "Wide shoot");
    EXPECT_EQ(readFile(dir / "Vistereo.ini").substr(0, records.size()), records);
    const alignment::CameraModel leftCamera = cameraOf(registry.records[0]), rightCamera = cameraOf(registry.records[2]);
    const alignment::AlignmentResult aligned = alignment::estimateAlignment(leftCamera, lefts[0], rightCamera, rights[0]);
    ASSERT_TRUE(aligned.ok()) << aligned.error;
    const double farField = farFieldResidual(rigs[0], leftCamera, rightCamera, aligned.rotation);
    std::printf("[ figures  ] far field of the calibrated record at height 1024: %.3f px\n", farField);
    EXPECT_LT(farField, 0.15);
}

// Each pooled pair's residual judged against the limits and against the other pairs': a pair poor by the limit, or
// standing out of three or more, is one to leave out; two pairs do not outvote each other; pairs not pooled are not
// judged.
TEST(LensCalibrationVerdicts, PairsToLeaveOutAreNamedWithWhy) {
    using alignment::Grade;
    constexpr double kNotPooled = -1.0;
    struct Case {
        const char* what;
        std::vector<double> residuals;  // working px; kNotPooled for a pair left out by the shared alignment
        std::vector<Grade> grades;
        std::vector<bool> leaveOut;
        const char* why;  // the first reason given, or ""
    } const cases[] = {
        {"alike", {0.10, 0.12, 0.11}, {Grade::Good, Grade::Good, Grade::Good}, {false, false, false}, ""},
        {"one stands out", {0.10, 0.12, 0.30, 0.11}, {Grade::Good, Grade::Good, Grade::Acceptable, Grade::Good},
         {false, false, true, false}, "0.300 working px, 2.6 times the pairs' median of 0.115"},
        {"two do not outvote each other", {0.10, 0.30}, {Grade::Good, Grade::Acceptable}, {false, false}, ""},
        {"poor beside good ones", {0.10, 0.60, 0.12}, {Grade::Good, Grade::Poor, Grade::Good}, {false, true, false},
         "0.600 working px, 5.0 times the pairs' median of 0.120"},
        {"poor by the limit only", {0.40, 0.55, 0.45}, {Grade::Acceptable, Grade::Poor, Grade::Acceptable},
         {false, true, false}, "0.550 working px, beyond the 0.50 a fit may leave"},
        // Two T265 units pooled as one rig (measured 0.78 and 0.64): neither is the one to blame.
        {"all poor", {0.78, 0.64}, {Grade::Poor, Grade::Poor}, {false, false}, ""},
        {"not pooled", {0.10, kNotPooled, 0.12, 0.11}, {Grade::Good, Grade::NotJudged, Grade::Good, Grade::Good},
         {false, false, false, false}, ""},
    };
    for (const Case& c : cases) {
        LensCalibration calibration;
        for (double residual : c.residuals) {
            calibration.shared.attempts.push_back({});
            calibration.shared.attempts.back().used = residual != kNotPooled;
            calibration.pooledFits.push_back({100, 90, residual == kNotPooled ? 0.0 : residual});
        }
        const PooledPairVerdicts judged = judgePooledPairs(calibration);
        EXPECT_EQ(judged.noneFitsWell, std::string(c.what) == "all poor") << c.what;
        const std::vector<PooledPairVerdict>& verdicts = judged.pairs;
        ASSERT_EQ(verdicts.size(), c.residuals.size()) << c.what;
        std::string firstWhy;
        for (size_t k = 0; k < verdicts.size(); ++k) {
            EXPECT_EQ(verdicts[k].grade, c.grades[k]) << c.what << ", pair " << k + 1;
            EXPECT_EQ(verdicts[k].leaveOut, c.leaveOut[k]) << c.what << ", pair " << k + 1;
            EXPECT_EQ(verdicts[k].why.empty(), !verdicts[k].leaveOut) << c.what << ", pair " << k + 1;
            if (firstWhy.empty()) firstWhy = verdicts[k].why;
        }
        EXPECT_EQ(firstWhy, c.why) << c.what;
    }
    EXPECT_EQ(pooledResidualLimits(), "good up to 0.25, acceptable up to 0.50 working px");
}

// The real pair of the shared test data (Sony body, manual circular
// fisheye, circles cut by the sensor's sides), with the equidistant records
// for a 180-degree circle a new user makes from the circles `lens detect`
// finds. There is no known truth, but what the scene shows: the near railing
// is crossed on both sides and its parallax takes the +x side, so the
// baseline is +x as the pictures are named and no swap is suspected; given
// the other way round it turns round and the swap is suspected. (With the
// baseline once voted -x by the distant field, whose lens error looked like
// parallax, the misalignment was 12.7' RMS.)
// Aligned by default, with the pose held as the railing shows it, the right
// lens's axis point and scale are corrected against the left, and the pair
// lines up clearly better than through the records kept (their far field and
// the near field disagree by several arcminutes, which no turn mends), so the
// refined lens is used. The image the rotation leads to is measured as
// `check` measures it: `check` on the converted pair finds the same
// misalignment (within 1') and no further turn worth making, under 5' RMS.
// Calibrated on this pair alone, the corrected lens is kept and saved.
TEST_F(AlignCliTest, RealPairAlignsWithTheRailingsBaselineRefinedLensAndCheckAgrees) {
    ASSERT_NO_FATAL_FAILURE(linkRealPair(dir));
    ASSERT_EQ(call(runLensCommand, {"add", "-C", dir.string(), "L", "--projection", "equidistant", "--fov", "180",
                                   "--circle", "2009.3,3044.7,2615.3"}).status, 0);
    ASSERT_EQ(call(runLensCommand, {"add", "-C", dir.string(), "R", "--projection", "equidistant", "--fov", "180",
                                   "--circle", "1974.4,2977.4,2615.4"}).status, 0);
    const auto misalignment = [](const std::string& json) {
        return field(json.substr(json.find("\"misalignment_arcmin\"")), "rms");
    };
    const struct { const char *left, *right, *leftLens, *rightLens; double baselineX; } orders[] = {
        {"001L.JPG", "001R.JPG", "L", "R", 1.0}, {"001R.JPG", "001L.JPG", "R", "L", -1.0}};
    for (const auto& o : orders) {
        SCOPED_TRACE(o.left);
        const Args args{"-C", dir.string(), "--left", o.left, "--right", o.right, "--left-lens", o.leftLens,
                        "--right-lens", o.rightLens};
        const Outcome r = call(runAlignCommand, with(args, {"--json"}));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\"baseline_observed\": true"), std::string::npos) << r.out;
        const double inliers = field(r.out, "inliers"), matches = field(r.out, "matches");
        EXPECT_TRUE(inliers > 500 && inliers > 0.7 * matches) << inliers << " of " << matches;
        const std::vector<double> baseline = numbers(r.out, "baseline");
        ASSERT_EQ(baseline.size(), 3u) << r.out;
        EXPECT_GT(baseline[0] * o.baselineX, 0.98) << r.out;  // within about 11 degrees of the side
        EXPECT_EQ(r.out.find("swapped images?") == std::string::npos, o.baselineX > 0) << r.out;
        if (o.baselineX < 0) continue;
        const double aligned = misalignment(r.out);
        EXPECT_LT(aligned, 5.0) << r.out;
        EXPECT_GT(field(r.out, "near_points"), 250) << r.out;

        const Outcome plain = call(runAlignCommand, with(args, {"--json", "--keep-lenses"}));
        ASSERT_EQ(plain.status, 0) << plain.err;
        EXPECT_EQ(plain.out.find("lens_refinement"), std::string::npos) << plain.out;
        std::printf("[ figures  ] real pair: misalignment %.2f' -> %.2f' RMS with the right lens refined\n",
                    misalignment(plain.out), aligned);
        EXPECT_NE(r.out.find("\"applied\": true"), std::string::npos) << r.out;
        EXPECT_LT(aligned, 0.8 * misalignment(plain.out)) << r.out;

        ASSERT_EQ(call(runConvertCommand, with(args, {"--auto-align", "--height", "2048", "-o", "real.jpg"})).status, 0);
        const Outcome checked = call(runCheckCommand, {"-C", (dir / "output").string(), "real.jpg", "--json"});
        ASSERT_EQ(checked.status, 0) << checked.err;
        const double measured = misalignment(checked.out);
        std::printf("[ figures  ] real pair: misalignment %.2f' RMS by align, %.2f' by check of the converted pair\n",
                    aligned, measured);
        EXPECT_NEAR(measured, aligned, 1.0) << checked.out;
        EXPECT_LT(measured, 5.0) << checked.out;
        const std::vector<double> turn = numbers(checked.out, "remaining_turn_deg");
        ASSERT_EQ(turn.size(), 3u) << checked.out;
        for (double angle : turn) EXPECT_LT(std::abs(angle), 0.05) << checked.out;
        EXPECT_NE(checked.out.find("\"eyes_swapped\": false"), std::string::npos) << checked.out;
    }

    writeFile(dir / "pairs.txt", "001L.JPG,001R.JPG\n");
    const Outcome calibrated = call(runLensCommand, {"calibrate", "-C", dir.string(), "--left-lens", "L", "--right-lens",
                                                    "R", "--pairs", "pairs.txt", "--save-lenses", " fit", "--json"});
    EXPECT_EQ(calibrated.status, 0) << calibrated.out << calibrated.err;
    EXPECT_NE(calibrated.out.find("\"applied\": true"), std::string::npos) << calibrated.out;
    EXPECT_NE(readFile(dir / "Vistereo.ini").find("R fit\r\n"), std::string::npos);
}

}  // namespace
