// vistereo-cli as a script sees it: exit statuses, messages, files; and one
// conversion of a synthesised pair checked against the panorama's truth.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <tuple>

#include "registry/lens_registry.h"
#include "tests/cli/cli_test_support.h"
#include "tests/support/synth.h"

using namespace vistereo;
using namespace vistereo::testsupport;

TEST_F(CliTest, ExitStatusTellsSuccessRefusalAndUsage) {
    const std::function<void()> none = [] {}, images = [this] { writeImages(); }, pair = [this] { writePair("a.jpg", 40, 30, 1); };
    // noOutput: the output directory is missing; convert makes it.
    const struct { const char* label; Args args; std::function<void()> arrange; int status; std::string errMentions;
                   const char* outMentions; bool noOutput = false; } cases[] = {
        {"no arguments", {}, none, 2, "usage:", ""}, {"help", {"--help"}, none, 0, "", "convert"},
        {"version", {"--version"}, none, 0, "", "vistereo-cli 1.3"},
        {"unknown command", {"spin"}, none, 2, "vistereo-cli: error: unknown command", ""},
        {"convert help", {"convert", "--help"}, none, 0, "", "--left-lens LENS"},
        {"missing points", {"convert", "-C", dir.string(), "--left-lens", "A", "--right-lens", "B"}, none, 2, "missing --points", ""},
        {"unknown option", convert({"--sharpen"}), images, 2, "unknown option '--sharpen'", ""},
        {"roll finer than 0.1", convert({"--roll", "1.25"}), images, 2, "--roll", ""},
        {"height not a number", convert({"--height", "4k"}), images, 2, "--height", ""},
        {"threads negative", convert({"--threads", "-1"}), images, 2, "--threads", ""},
        {"unknown lens name", convert({}, "Nope"), images, 2, "no lens named \"Nope\"", ""},
        {"lens number past the end", convert({}, "#4"), images, 2, "#4", ""},
        {"seven points", convert({}, "#1", "1,2,3,4,5,6,7"), images, 2, "holds 7", ""},
        {"images missing", convert(), none, 1, "vistereo-cli: error: Enter the valid left image file name", ""},
        {"same points", convert({}, "#1", "1,2,1,2,3,4,3,4"), images, 1, "Enter the correct coordinates of A and B point", ""},
        {"lens with a bad radius mode", convert({}, "Broken"), images, 1, "\"Broken\" has radiusMode 5", ""},
        // Points no picture or lens can have: refused before anything is rendered, the point, picture and why named.
        {"a point far outside its picture", convert({}, "#3", "5000,31,14,32,10,21,12,22"), images, 1,
         "vistereo-cli: error: point A of the left picture (5000, 10) lies outside that picture (60 x 40)", ""},
        {"a point on its lens's axis", convert({}, "#3", "30,31,14,32,20,21,12,22"), images, 1,
         "point A of the left picture (30, 20) lies exactly on the optical axis of the left lens \"Equisolid\"", ""},
        {"a point beyond its lens's image circle", convert({}, "#3", "10,31,1,32,10,21,1,22"), images, 1,
         "point A of the right picture (1, 1) lies outside the image circle of the right lens \"Equisolid\"", ""},
        {"batch: a point outside the pictures", batch({"--points", "5000,31,14,32,10,21,12,22"}), pair, 1,
         "): point A of the left picture (5000, 10) lies outside that picture (40 x 30)", ""},
        {"input over the limit", convert({"--max-input-megapixels", "0.001"}), images, 1, "60 x 40 pixels", ""},
        {"limit not a number", convert({"--max-input-megapixels", "lots"}), images, 2, "--max-input-megapixels", ""},
        {"quality out of range", convert({"--quality", "101"}), images, 2, "--quality", ""},
        {"unknown interpolation", convert({"--interp", "nearest"}), images, 2, "--interp", ""},
        {"a point matching refuses", convert({"--match"}, "#1", "5,30,1,1,5,40,1,1"), images, 1, "point A (5,5)", ""},
        {"players' name, Lanczos", convert({"--vr-suffix", "--interp", "lanczos", "--quality", "90"}), images, 0, "", "LROut_180_LR.jpg"},
        // The pair as LEFT RIGHT: paths as given, bare names in input/.
        {"LEFT RIGHT as paths", convert({(dir / "input/L.jpg").string(), (dir / "input/R.jpg").string()}), images, 0, "",
         "Finished converting!!!"},
        {"LEFT RIGHT as bare names", convert({"L.jpg", "R.jpg", "-o", "pair.png"}), images, 0, "", "/output/pair.png"},
        {"LEFT alone", convert({"L.jpg"}), images, 2, "give both images, LEFT and RIGHT", ""},
        {"LEFT RIGHT and --left", convert({"L.jpg", "R.jpg", "--left", "L.jpg"}), images, 2, "not both ways", ""},
        {"three images", convert({"L.jpg", "R.jpg", "X.jpg"}), images, 2, "unexpected argument 'X.jpg'", ""},
        {"align LEFT RIGHT, left missing", {"align", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "none.jpg",
         "R.jpg"}, images, 1, "Enter the valid left image file name", ""},
        {"converted", convert(), images, 0, "", "Finished converting!!!"},
        {"converted with exact arithmetic", convert({"--exact", "--threads", "2"}), images, 0, "", "Finished converting!!!"},
        {"converted quietly", convert({"--quiet", "--threads", "1"}), images, 0, "", nullptr},
        {"output folder made", convert(), images, 0, "", "Finished converting!!!", true},
        {"a file where the output folder should be", convert(), [&] { images(), writeFile(dir / "output", "x"); }, 1,
         "vistereo-cli: error: \"" + (dir / "output").string() + "\" is a file, not a folder", nullptr, true},
        // batch: folders or a pairs file, and what goes with automatic alignment
        {"batch: right folder one short", batch(), [&] { pair(), writeNoise("left/b.jpg", 40, 30); }, 2,
         "have no partner: " + (dir / "input/left/b.jpg").string(), ""},
        {"batch: no right folder", batch(), [this] { fs::remove_all(dir / "input/right"); }, 2, "no folder", ""},
        {"batch: malformed pairs file", batch({"--pairs", "p.csv"}), [this] { writeFile(dir / "p.csv", "left,right\na,b\n\nc\n"); },
         2, "p.csv line 4: expected left,right", ""},
        {"batch: pairs file and folders", batch({"--pairs", "p.csv", "--left-dir", "x"}), none, 2, "--pairs", ""},
        {"batch: no points", batch({"--points", ""}), none, 2, "--points", ""},
        {"batch: same points in both images", batch({"--points", "1,2,1,2,3,4,3,4"}), pair, 1,
         "Enter the correct coordinates of A and B point", ""},
        {"batch: automatic alignment and points", batch({"--auto-align"}), none, 2, "without --points", ""},
        {"batch: once without automatic alignment", batch({"--align-once"}), none, 2, "--align-once goes with --auto-align", ""},
        {"batch: aligned once, but no pair aligns", {"batch", "-C", dir.string(), "--left-lens", "Equisolid", "--right-lens", "#3",
         "--auto-align", "--align-once"}, pair, 1, "no pair could be aligned (1 tried); pair 1: automatic alignment failed", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir / "input"), fs::remove_all(dir / "output");
        for (const char* side : {"input/left", "input/right"}) fs::create_directories(dir / side);
        if (!c.noOutput) fs::create_directories(dir / "output");
        c.arrange();
        const Run run = cli(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (!c.errMentions.empty()) EXPECT_NE(run.err.find(c.errMentions), std::string::npos) << run.err;
        else EXPECT_EQ(run.err, "");
        if (!c.outMentions) EXPECT_EQ(run.out, "");
        else EXPECT_NE(run.out.find(c.outMentions), std::string::npos) << run.out;
        const bool converted = c.status == 0 && c.args.size() > 2 && c.args[0] == "convert";
        if (c.noOutput) EXPECT_EQ(fs::is_directory(dir / "output"), converted);
        else EXPECT_EQ(outputs().size(), converted ? 1u : 0u);
    }
}

// A rig whose right camera is turned by a known rotation photographs the panorama. `convert --match` finds the
// true right partners of two left points; the conversion, zenith-corrected by yaw and pitch, shows in its right
// half what its left half shows, and in its left half what the panorama holds in that direction.
TEST_F(CliTest, ATurnedRigIsMatchedAndConvertedToThePanoramasView) {
    const SynthLens lens = SynthLens::equisolid(900, 900);
    const RotationMatrix leftCam = rotationFromYawPitchRoll(0, -5, 0), rightCam = leftCam * rotationFromYawPitchRoll(3.0, -2.0, 2.5);
    ASSERT_TRUE(cv::imwrite((dir / "input/L.png").string(), renderFisheye(panorama(), lens, leftCam)));
    ASSERT_TRUE(cv::imwrite((dir / "input/R.png").string(), renderFisheye(panorama(), lens, rightCam)));
    const int n = 400;
    const Run run = cli({"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "Equisolid", "--left", "L.png",
                         "--right", "R.png", "--output", "out.png", "--points", "330,640,1,1,560,610,1,1", "--match",
                         "--height", std::to_string(n), "--yaw", "4", "--pitch", "6.5"});
    ASSERT_EQ(run.status, 0) << run.err;
    // The wrong right points of the line are replaced by matched ones (their accuracy is the picking tests'; a wrong
    // match shows below as a right half that disagrees with the left).
    EXPECT_NE(run.out.find("points: 330,640,"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("points: 330,640,1,1,"), std::string::npos) << run.out;

    const cv::Mat out = cv::imread((dir / "output/out.png").string());
    ASSERT_EQ(out.size(), cv::Size(2 * n, n));
    cv::Mat mask(n, n, CV_8U, cv::Scalar(0));  // well inside both image circles: the central 120 x 120 degrees
    mask(cv::Rect(n / 6, n / 6, n * 2 / 3, n * 2 / 3)).setTo(255);
    const cv::Mat leftHalf = out.colRange(0, n).clone();
    EXPECT_GT(psnr(leftHalf, out.colRange(n, 2 * n).clone(), mask), 30.0) << "right half against left half";
    EXPECT_GT(psnr(leftHalf, frontHemisphere(panorama(), n, leftCam * rotationFromYawPitchRoll(4.0, 6.5, 0)), mask), 35.0)
        << "left half against the panorama";
}

// --match-colour on a pair whose right camera has other gains and an offset:
// convert reports the correction it fitted and applied, the batch aligned
// once fits it once for the shoot and says so; a value other than vignetting
// is a usage error.
TEST_F(CliTest, MatchColourReportsTheCorrectionItApplies) {
    const SynthLens lens = SynthLens::equisolid(900, 900);
    const cv::Mat left = renderFisheye(panorama(), lens, RotationMatrix{});
    cv::Mat right = renderFisheye(panorama(), lens, rotationFromYawPitchRoll(2.0, -1.0, 1.5));
    right.convertTo(right, -1, 0.9, 6.0);
    for (const char* name : {"L.png", "left/p1.png", "left/p2.png"}) ASSERT_TRUE(cv::imwrite((dir / "input" / name).string(), left));
    for (const char* name : {"R.png", "right/p1.png", "right/p2.png"}) ASSERT_TRUE(cv::imwrite((dir / "input" / name).string(), right));
    const Args pair{"convert", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--auto-align",
                    "--left", "L.png", "--right", "R.png", "--height", "256", "--output", "out.png"};
    Run run = cli(with(pair, {"--match-colour=sepia"}));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--match-colour takes no value, or =vignetting"), std::string::npos) << run.err;
    run = cli(with(pair, {"--match-colour"}));
    ASSERT_EQ(run.status, 0) << run.err;
    // left = gain x right + offset: 1 / 0.9 and -6 / 0.9.
    EXPECT_NE(run.out.find("colour matched on "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("gain 1.11"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("offset -6."), std::string::npos) << run.out;

    run = cli({"batch", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--auto-align",
               "--align-once", "--match-colour=vignetting", "--height", "64"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("pair 1, for every pair: colour matched on "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("  colour matched"), std::string::npos) << "no pair fitted on its own: " << run.out;
    EXPECT_EQ(outputs(), (std::vector<std::string>{"out.png", "p1.jpg", "p2.jpg"}));
}

// The stereo window's options are refused, before any picture is read, when
// they cannot mean a turn of the right eye.
TEST_F(CliTest, StereoWindowOptionsThatCannotMeanATurnAreUsageErrors) {
    const struct { Args args; const char* error; } cases[] = {
        {{"--convergence", "1", "--zero-parallax", "2"}, "--convergence and --zero-parallax both set the stereo window"},
        {{"--baseline", "70"}, "--baseline goes with --zero-parallax"},
        {{"--zero-parallax", "0"}, "--zero-parallax takes a distance in metres greater than 0"},
        {{"--zero-parallax", "2", "--baseline", "-65"}, "--baseline takes the rig's lens distance"},
        {{"--convergence", "2deg"}, "--convergence takes degrees between -45 and 45"},
        {{"--convergence", "60"}, "--convergence takes degrees between -45 and 45"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        for (const Args& command : {convert(c.args), batch(c.args)}) {
            const Run run = cli(command);
            EXPECT_EQ(run.status, 2);
            EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        }
    }
}

// Each output holds the bytes of a single convert with the same choices; a bad
// pair is reported and the rest converted; a second run skips what exists and
// converts again what is missing, cut short or empty.
TEST_F(CliTest, OutputsAreTheBytesOfConvertAndABadPairDoesNotStopTheRest) {
    writePair("p1.jpg", 60, 40, 1);
    writeNoise("left/p2.jpg", 60, 40, 2);
    writeFile(dir / "input/right/p2.jpg", "not a picture");
    writePair("p3.png", 50, 36, 3);  // another size: its own geometry
    writePair("p4.jpg", 60, 40, 4);
    const Args choices{"--height", "40", "--quality", "85", "--interp", "bicubic", "--yaw", "1.5", "--vr-suffix"};
    Run run = cli(batch(choices));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("vistereo-cli: error: pair 2 (" + (dir / "input/left/p2.jpg").string() + ", " +
                           (dir / "input/right/p2.jpg").string() + "): Enter the valid right image file name"),
              std::string::npos) << run.err;
    EXPECT_NE(run.out.find("[4/4] converted"), std::string::npos) << run.out;  // not a terminal: a line a pair
    EXPECT_NE(run.out.find("converted 3, skipped 0, failed 1 in "), std::string::npos) << run.out;
    EXPECT_EQ(outputs(), (std::vector<std::string>{"p1_180_LR.jpg", "p3_180_LR.jpg", "p4_180_LR.jpg"}));
    for (const std::string pair : {"p1.jpg", "p3.png", "p4.jpg"}) {
        SCOPED_TRACE(pair);
        ASSERT_EQ(cli(with(convert({"--left", (dir / "input/left" / pair).string(), "--right",
                                    (dir / "input/right" / pair).string(), "--output", "single.jpg"}), choices)).status, 0);
        EXPECT_TRUE(readFile(dir / "output/single_180_LR.jpg") == readFile(dir / "output" / (pair.substr(0, 2) + "_180_LR.jpg")));
        fs::remove(dir / "output/single_180_LR.jpg");
    }
    run = cli(batch(with(choices, {"--quiet"})));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.substr(0, run.out.find(" in ")), "converted 0, skipped 3, failed 1") << run.out;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    // Resuming: a complete output is kept; a missing, a cut-short and an empty one are converted again.
    writePair("p2.jpg", 60, 40, 2);
    const std::string p3 = readFile(dir / "output/p3_180_LR.jpg"), p4 = readFile(dir / "output/p4_180_LR.jpg");
    writeFile(dir / "output/p3_180_LR.jpg", p3.substr(0, p3.size() / 2));
    writeFile(dir / "output/p4_180_LR.jpg", "");
    run = cli(batch(with(choices, {"--dry-run"})));
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("[2/4] convert " + (dir / "input/left/p2.jpg").string()), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("p3_180_LR.jpg (exists, but it is cut short"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("p4_180_LR.jpg (exists, but it is empty)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("would convert 3, skip 1"), std::string::npos) << run.out;
    EXPECT_EQ(outputs().size(), 3u);
    run = cli(batch(with(choices, {"--quiet"})));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("converted 3, skipped 1, failed 0"), std::string::npos) << run.out;
    EXPECT_TRUE(readFile(dir / "output/p3_180_LR.jpg") == p3 && readFile(dir / "output/p4_180_LR.jpg") == p4);
    run = cli(batch(with(choices, {"--force", "--quiet"})));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("converted 4, skipped 0, failed 0"), std::string::npos) << run.out;
}

// A batch killed while it writes leaves only complete outputs (the bytes a
// finished batch writes) and no temporary file, except after SIGKILL, whose
// temporary the next run removes; the same command finishes the batch, and
// removes the lock file the stopped one left (one that ends leaves none).
TEST_F(CliTest, AKilledBatchLeavesOnlyCompleteOutputsAndTheSameCommandFinishes) {
    // Small pictures, so that points A and B lie within them; the long render is the output height's.
    for (int k = 0; k < 6; ++k) writePair("k" + std::to_string(k) + ".png", 60, 40, 10 + k);
    const Args choices{"--height", "700", "--output-dir", "shoot", "--threads", "1"};
    ASSERT_EQ(cli(batch({"--height", "700", "--output-dir", "whole", "--quiet"})).status, 0);  // the finished batch
    // delayMs: after the first file, as a rule a temporary, appears in the output folder.
    for (const auto& [label, signal, delayMs] : {std::tuple{"SIGINT", SIGINT, 0}, {"SIGTERM", SIGTERM, 40}, {"SIGKILL", SIGKILL, 20}}) {
        SCOPED_TRACE(label);
        fs::remove_all(dir / "shoot");
        const pid_t child = startCli(batch(choices), dir / "scratch");
        waitFor([&] { return fs::exists(dir / "shoot") && !outputs("shoot").empty(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        ASSERT_TRUE(endedBy(child, signal)) << "the batch ended otherwise";
        size_t complete = 0, temporaries = 0;
        for (const std::string& name : outputs("shoot"))
            if (name != ".vistereo.lock") (name.find(".tmp-") != std::string::npos ? temporaries : complete)++;
        EXPECT_LT(complete, 6u);
        if (signal != SIGKILL) {
            EXPECT_EQ(temporaries, 0u);
            EXPECT_NE(readFile(dir / "scratch/stderr.txt").find("interrupted"), std::string::npos);
        }
        const Run again = cli(batch(choices));
        ASSERT_EQ(again.status, 0) << again.err;
        EXPECT_NE(again.out.find("skipped " + std::to_string(complete) + ","), std::string::npos) << again.out;
        EXPECT_EQ(again.out.find("removed ") != std::string::npos, temporaries > 0) << again.out;
        EXPECT_EQ(outputs("shoot"), outputs("whole"));
        for (const std::string& name : outputs("whole"))
            EXPECT_TRUE(readFile(dir / "shoot" / name) == readFile(dir / "whole" / name)) << name;
    }
}

// The lens commands as a photographer meets them, in one working folder in turn. Lenses beyond the working
// folder: the user's lens file and --lenses files, looked up after the working folder's Vistereo.ini (which wins a
// shared name) with --lenses before the user's file; lens add and lens remove with --user write the user's file
// wherever XDG_CONFIG_HOME or HOME puts it; a --lenses file that is missing or damaged is refused with its name.
// Then records listed and told in words with the impossible ones flagged, a record added from a circle or from the
// pictures, the refusals of add, a damaged registry line named by its number, and the circle finder's answer in
// JSON. Only the conversions that succeed write an output.
TEST_F(CliTest, LensCommandsRegisterDescribeAndRefuse) {
    const char* const realHome = std::getenv("HOME");
    const std::string home = realHome ? realHome : "";
    const std::string user = (dir / "config/vistereo/Vistereo.ini").string(), given = (dir / "given.ini").string();
    const std::string broken5 = "\"Travel\" has radiusMode 5";
    auto userFile = [&](const std::string& text) {
        fs::create_directories(dir / "config/vistereo");
        writeFile(user, text);
    };
    auto addUser = [](const std::string& name, const Args& more = {}) {
        return with({"lens", "add", "--user", name, "--projection", "equidistant", "--fov", "190", "--circle", "30,20,15"},
                    more);
    };
    const std::function<void()> none = [] {};
    const std::string ini = (dir / "Vistereo.ini").string();
    std::string full;
    std::vector<std::string> tenNames;
    for (int i = 0; i < 10; ++i) full += recordText("Lens " + std::to_string(i)), tenNames.push_back("Lens " + std::to_string(i));
    const Args list = {"lens", "list", "-C", dir.string(), "--lenses", given};
    struct Env { const char* xdg; std::string home; };  // xdg nullptr: unset
    const std::string config = (dir / "config").string();
    const Env scratchXdg{config.c_str(), (dir / "home").string()};  // never the real home
    CircleShot shot;
    shot.width = 600, shot.height = 400, shot.centreX = 302.7, shot.centreY = 197.3, shot.radius = 180, shot.noise = 1.0;
    auto damaged = [this] {  // record 2's radiusMode (line 43 of the file) is not a number
        std::string second = recordText("Second");
        second.replace(second.find("\r\n0\r\n") + 2, 1, "abc");
        writeFile(dir / "Vistereo.ini", recordText("First") + second + recordText("Third"));
    };
    auto fullFolder = [&] { writeFile(ini, full); };
    auto lens = [this](const std::string& command, const Args& more) { return with({"lens", command, "-C", dir.string()}, more); };
    auto add = [&](const char* name, const char* projection, const char* fov, const char* circle) {
        return lens("add", {name, "--projection", projection, "--fov", fov, "--circle", circle});
    };
    const struct { const char* label; Args args; std::function<void()> arrange; int status; std::string errMentions;
                   std::string outMentions; std::string fileAfter = {}; std::vector<std::string> namesAfter = {};
                   std::optional<Env> env = {}; } cases[] = {
        {"a lens only in the user's file converts", convert({}, "Travel"), [&] { writeImages(), userFile(recordText("Travel")); },
         0, "", "Finished converting!!!"},
        {"a --lenses file comes before the user's", convert({"--lenses", given}, "Travel"),
         [&] { writeFile(given, recordText("Travel", {"5", "0", "1", "0", "0", "0"})); }, 1, broken5, ""},
        {"the working folder's comes before both", convert({"--lenses", given}, "Equisolid"),
         [&] { writeFile(given, recordText("Equisolid", {"5", "0", "1", "0", "0", "0"})); }, 0, "", "Finished"},
        {"a missing --lenses file", convert({"--lenses", given + ".x"}, "Travel"), [] {}, 2,
         "--lenses: " + given + ".x does not exist", ""},
        {"a damaged --lenses file", convert({"--lenses", given}, "Travel"),
         [&] { writeFile(given, recordText("Good") + recordText("Bad", {"x", "0", "1", "0", "0", "0"})); }, 2,
         given + " line 43: radiusMode of record 2 is \"x\"", ""},
        {"list names each record's file and the hidden ones", list,
         [&] { writeFile(given, recordText("Travel")), userFile(recordText("Equisolid") + recordText("Mine")); }, 0, "",
         "#6\tMine\tradius: circular fisheye\tmapping: equisolid angle sin(0.5θ)\taxis: image centre\tfrom: user file " +
             user + "\n"},
        {"list says which record a hidden name finds", list, [] {}, 0, "",
         "#5\tEquisolid\tradius: circular fisheye\tmapping: equisolid angle sin(0.5θ)\taxis: image centre\tfrom: user file " +
             user + "\tHIDDEN: the name finds #1 (working folder), read first; this one only as #5\n"},
        {"list of a --lenses file", list, [] {}, 0, "", "#4\tTravel\tradius: circular fisheye\tmapping: equisolid angle "
         "sin(0.5θ)\taxis: image centre\tfrom: --lenses file " + given + "\n"},
        {"add --user makes the missing folder", addUser("New"), [&] { fs::remove_all(dir / "config"); }, 0, "",
         "registered as record #1 of " + user, user, {"New"}},
        {"add --user of a name the working folder has", addUser("Equisolid", {"-C", dir.string()}), [] {}, 0,
         "note: " + (dir / "Vistereo.ini").string() + " has a record \"Equisolid\" too", "registered as record #2 of " + user, user,
         {"New", "Equisolid"}},
        {"add --user to a full file is refused with its name", addUser("Eleventh"), [&] { userFile(full); }, 1,
         "cannot register \"Eleventh\": " + user + " already holds 10 records", "", user,
         {"Lens 0", "Lens 1", "Lens 2", "Lens 3", "Lens 4", "Lens 5", "Lens 6", "Lens 7", "Lens 8", "Lens 9"}},
        {"remove --user", {"lens", "remove", "--user", "B"}, [&] { userFile(recordText("A") + recordText("B") + recordText("C")); },
         0, "", "removed record #2 \"B\" from " + user, user, {"A", "C"}},
        {"remove --user of a name it lacks", {"lens", "remove", "--user", "B"}, [] {}, 1, "no lens named \"B\" in " + user, "", user,
         {"A", "C"}},
        {"remove of a name two records share", {"lens", "remove", "-C", dir.string(), "Equisolid"}, [] {}, 1,
         "records #1 and #3 of " + (dir / "Vistereo.ini").string() + " have that name; give the one to remove as #K", ""},
        {"remove by number", {"lens", "remove", "-C", dir.string(), "#3"}, [] {}, 0, "", "removed record #3 \"Equisolid\"", ini,
         {"Equisolid", "Broken"}},
        {"XDG_CONFIG_HOME unset: under HOME", addUser("Home lens"), [] {}, 0, "", "of " + (dir / "home/.config/vistereo/Vistereo.ini").string(),
         (dir / "home/.config/vistereo/Vistereo.ini").string(), {"Home lens"}, Env{nullptr, (dir / "home").string()}},
        {"no absolute folder for the user's file", addUser("Lost"), [] {}, 1, "neither XDG_CONFIG_HOME nor HOME", "", "", {},
         Env{"relative", ""}},
        {"list flags the broken record", lens("list", {}), none, 0, "",
         "#2\tBroken\tradius: unknown radius mode 5\tmapping: equisolid angle sin(0.5θ)\taxis: image centre\tCANNOT "
         "DESCRIBE A LENS: radiusMode is 5: is not a known code (0 to 3)"},
        {"show tells the codes", lens("show", {"#1"}), none, 0, "", "radius at 90 degrees off the axis: half the "
                                                                          "image height (radius code 0: circular fisheye)"},
        {"add from a circle", add("Fish 190", "equidistant", "190", "300.4,200.6,150"), none, 0, "", "registered as record #3 of "},
        {"show the added record", lens("show", {"Fish 190"}), none, 0, "",
         "projection: equidistant, r proportional to theta (mapping code 4)\nfield of view: 190 degrees across the "
         "image circle (record field c1)\nimage circle radius: 150 dots (radius code 3: given in dots)\nfocal length: "
         "90.46702028 dots across\noptical axis: (300.4, 200.6) (axis code 1: given coordinates; whole dots 300, 201 in "
         "axisX, axisY, the centre between dots in field b1)\nvalues: can describe a lens"},
        {"an equisolid record keeps the radius at 90 degrees", add("Solid", "equisolid", "180", "300,200,150"), none, 0,
         "", "radius at 90 degrees off the axis: 150 dots"},
        {"a name taken", add("Fish 190", "equidistant", "190", "300,200,150"), none, 1, "record #3 of", ""},
        {"a field of view no circle has", add("Wide", "stereographic", "400", "300,200,150"), none, 1,
         "the field of view must lie between 1 and 360 degrees", ""},
        {"an orthographic lens past 180 degrees", add("Ortho", "orthographic", "200", "300,200,150"), none, 1,
         "sees at most 180 degrees", ""},
        {"a circle of radius 0", add("Dot", "equidistant", "190", "300,200,0"), none, 1,
         "cannot be a lens's image circle: the radius must be at least 1", ""},
        // The reason names the number that is wrong, not the radius whatever it is.
        {"a circle whose centre is not a number", add("NaN", "equidistant", "190", "nan,600,500"), none, 1,
         "the circle (nan, 600) with radius 500 cannot be a lens's image circle: the centre's x must be a number", ""},
        {"a circle whose centre is beyond any sensor", add("Far", "equidistant", "190", "1e300,600,500"), none, 1,
         "the centre's x must be a number of dots between -1000000 and 1000000", ""},
        {"a circle whose centre's y is infinite", add("Inf", "equidistant", "190", "600,inf,500"), none, 1,
         "the centre's y must be a number of dots", ""},
        {"a sine law that folds back", add("Folded", "sine:5", "180", "300,200,150"), none, 2, "sine:K takes a k above 0", ""},
        {"an eleventh record", add("Eleventh", "equidistant", "190", "300,200,150"), fullFolder, 1, "already holds 10 records", ""},
        // Names the registry could not keep as given, or the command line could not find again: refused at add.
        {"a name the command line reads as a number", add("#1", "equidistant", "190", "300,200,150"), none, 2,
         "the NAME \"#1\" cannot be registered: a name starting with \"#\" reads as a record number", "", ini, tenNames},
        {"a name with a line end", add("new\nline", "equidistant", "190", "300,200,150"), none, 2,
         "the NAME \"new\\nline\" cannot be registered: the name holds a line end", "", ini, tenNames},
        {"a name with a tab", add("tab\tbed", "equidistant", "190", "300,200,150"), none, 2, "a control character", ""},
        {"a name that is not UTF-8", add("\xFFlens", "equidistant", "190", "300,200,150"), none, 2,
         "the NAME \"\\xFFlens\" cannot be registered: the name is not UTF-8 text", ""},
        {"#K while a record bears that very name", {"lens", "remove", "-C", dir.string(), "#1"},
         [this] { writeFile(dir / "Vistereo.ini", recordText("Equisolid circular fisheye") + recordText("#1")); }, 1,
         "cannot remove \"#1\": it names record #1 \"Equisolid circular fisheye\", but record #2 of " + ini +
             " is named \"#1\"; rename one of them first", "", ini, {"Equisolid circular fisheye", "#1"}},
        {"a damaged line is named", lens("list", {}), damaged, 0,
         "Vistereo.ini line 43: radiusMode of record 2 is \"abc\", not a whole number: this record and every line "
         "after it were not read", "#1\tFirst"},
        {"add will not drop what the reader could not take", add("New", "equidistant", "190", "300,200,150"), damaged, 1,
         "mend them first", ""},
        {"a lens past the damage", {"convert", "-C", dir.string(), "--left-lens", "First", "--right-lens", "Third",
                                    "--points", kPoints}, damaged, 2, "no lens named \"Third\"", ""},
        {"list without a registry", lens("list", {}),
         [this] { fs::remove(dir / "Vistereo.ini"), fs::remove_all(dir / "config"); }, 1, ini + " does not exist", ""},
        {"detect a circle", lens("detect", {"--json", "input/circle.png"}),
         [&] { ASSERT_TRUE(cv::imwrite((dir / "input/circle.png").string(), renderCircleShot(panorama(), shot))); }, 0,
         "", "{\"ok\": true, \"centre\": [302."},
        {"detect over frames judges their agreement", lens("detect", {"input/circle.png", "input/circle.png"}), none, 0,
         "", "2 of 2 frames show one on their own, their centres within 0.0 dots of this one and their radii within "
             "0.0 dots: steady"},
        {"detect refuses noise", lens("detect", {"--json", "input/noise.png"}),
         [this] { writeNoise("noise.png", 300, 200, 7); }, 1, "no image circle found",
         "{\"ok\": false, \"error\": \"no image circle found: no circular edge between the picture and a dark surround\""},
        {"add from the pictures", lens("add", {"Found", "--projection", "stereographic", "--fov", "200",
                                              "--detect", "input/circle.png"}), none, 0,
         "note: field of view 200.02", "image circle radius: 180 dots (radius code 3: given in dots)\nfocal length: "},
        {"a record no lens has refuses the conversion",
         {"convert", "-C", dir.string(), "--left-lens", "Good", "--right-lens", "Zero", "--points", kPoints},
         [this] {
             writeFile(dir / "Vistereo.ini", readFile(dir / "Vistereo.ini") + recordText("Good") +
                                                 recordText("Zero", {"3", "0", "1", "0", "0", "0"}));
             writeImages();
         },
         1, "vistereo-cli: error: the right lens \"Zero\": radiusDots is 0: the image circle's radius must be above 0", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        c.arrange();
        const Env env = c.env.value_or(scratchXdg);
        if (env.xdg) setenv("XDG_CONFIG_HOME", env.xdg, 1);
        else unsetenv("XDG_CONFIG_HOME");
        setenv("HOME", env.home.c_str(), 1);
        const std::vector<std::string> before = outputs();
        const Run run = cli(c.args);
        setenv("XDG_CONFIG_HOME", scratchXdg.xdg, 1);
        if (realHome) setenv("HOME", home.c_str(), 1);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (!c.errMentions.empty()) EXPECT_NE(run.err.find(c.errMentions), std::string::npos) << run.err;
        else EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find(c.outMentions), std::string::npos) << run.out;
        if (c.status != 0 || c.args[0] != "convert") { EXPECT_EQ(outputs(), before); }
        if (!c.fileAfter.empty()) {
            LensRegistry registry;
            LoadLensRegistry(registry, c.fileAfter);
            std::vector<std::string> names;
            for (int i = 0; i < registry.count; ++i) names.push_back(registry.records[i].name);
            EXPECT_EQ(names, c.namesAfter);
        }
    }
}

// Writers of one registry at the same moment, each a process of its own: lens add into the working folder's file
// (named directly and through a linked folder) while lens remove takes a record out of it, and lens add --user into a fresh user file. Every writer reads the
// file again under the registry's lock, so every record a writer said it wrote is in the file, and every record
// removed is gone, round after round.
TEST_F(CliTest, ConcurrentRegistryWritersLoseNoRecord) {
    const int adders = 7, userAdders = 10;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        writeFile(dir / "Vistereo.ini", recordText("Equisolid") + recordText("Broken") + recordText("Third"));
        fs::remove_all(dir / "config");
        std::vector<std::pair<pid_t, fs::path>> started;
        auto start = [&](const Args& args) {
            const fs::path scratch = dir / "scratch" / std::to_string(started.size());
            fs::create_directories(scratch);
            started.push_back({startCli(args, scratch), scratch});
        };
        const Args lens{"equidistant", "--fov", "190", "--circle", "30,20,15"};
        // Half of them name the working folder through a link: the same file, the same lock.
        if (!fs::exists(fs::symlink_status(dir / "linked"))) fs::create_directory_symlink(dir, dir / "linked");
        for (int k = 0; k < adders; ++k)
            start(with({"lens", "add", "-C", (k % 2 ? dir / "linked" : dir).string(), "Added " + std::to_string(k),
                        "--projection"}, lens));
        start({"lens", "remove", "-C", dir.string(), "Broken"});
        for (int k = 0; k < userAdders; ++k)
            start(with({"lens", "add", "--user", "Mine " + std::to_string(k), "--projection"}, lens));
        for (const auto& [child, scratch] : started) {
            const Run run = finish(child, scratch, 60);
            EXPECT_EQ(run.status, 0) << run.err;
        }
        auto names = [](const fs::path& file) {
            LensRegistry registry;
            LoadLensRegistry(registry, file);
            std::set<std::string> found;
            for (int i = 0; i < registry.count; ++i) found.insert(registry.records[i].name);
            EXPECT_EQ(found.size(), static_cast<size_t>(registry.count)) << "a record written twice";
            return found;
        };
        std::set<std::string> working{"Equisolid", "Third"}, user;
        for (int k = 0; k < adders; ++k) working.insert("Added " + std::to_string(k));
        for (int k = 0; k < userAdders; ++k) user.insert("Mine " + std::to_string(k));
        EXPECT_EQ(names(dir / "Vistereo.ini"), working);
        EXPECT_EQ(names(dir / "config/vistereo/Vistereo.ini"), user);
    }
}
