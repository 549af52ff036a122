// Every input of every command that reads photos, probed as a hostile but
// ordinary user would: FIFOs, devices, folders, missing, unreadable, foreign
// and damaged files, turned photos, oversize headers. Each is answered
// quickly (a FIFO never hangs a command, a device is never read), with exit 1,
// the file and the cause, and never an abort.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/cli/cli_test_support.h"
#include "tests/support/crafted_images.h"
#include "tests/support/synth.h"

using namespace vistereo::testsupport;

namespace {

class InputProbeTest : public CliTest {
public:
    // In `folder`: a FIFO, a link to /dev/zero and a folder, named fifo, zero and folder with `extension`.
    void makeSpecialFiles(const fs::path& folder, const std::string& extension) {
        ASSERT_EQ(mkfifo((folder / ("fifo" + extension)).c_str(), 0644), 0);
        fs::create_directories(folder / ("folder" + extension));
        fs::create_symlink("/dev/zero", folder / ("zero" + extension));
    }
    // The run, which must end (a FIFO never waits, a device is never read) well within its time.
    Run quickly(const Args& args) {
        const auto start = std::chrono::steady_clock::now();
        const Run run = cli(args, 30);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
        return run;
    }
};

}  // namespace

// Every file a command reads as a FIFO, a device (through a link) and a folder, a photo missing too: refused by its
// type before it is opened, quickly (a FIFO never makes a command wait), naming the file and what it is. The photos
// are the left image of convert, align, match and batch and the file of check: the prescribed message (check has
// none), then "the file": the cause. The other files are a pairs file, a lens registry and a video.
TEST_F(InputProbeTest, EveryFileACommandReadsIsRefusedByItsTypeBeforeItIsOpened) {
    writeImages();
    makeSpecialFiles(dir / "input", ".jpg");
    makeSpecialFiles(dir, "");
    const struct { const char* name; const char* cause; } files[] = {
        {"fifo", "is a FIFO (named pipe), not a"}, {"zero", "is a character device, not a"},
        {"folder", "is a folder, not a"}, {"none", "no such file"}};
    const char* const prescribed = "Enter the valid left image file name";
    using Make = std::function<Args(const std::string&)>;
    const struct { const char* label; Make args; int status; const char* says; bool photo = false; } readers[] = {
        {"convert", [&](const std::string& name) { return convert({"--left", name}); }, 1, prescribed, true},
        {"align", [&](const std::string& name) {
             return Args{"align", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#3", "--left", name}; },
         1, prescribed, true},
        {"match", [&](const std::string& name) { return Args{"match", "-C", dir.string(), "--left", name, "--point", "20,20"}; },
         1, prescribed, true},
        {"batch", [&](const std::string& name) {
             writeFile(dir / "pairs.csv", name + ",R.jpg\n");
             return batch({"--pairs", "pairs.csv"}); }, 1, prescribed, true},
        {"check", [&](const std::string& name) { return Args{"check", "-C", (dir / "input").string(), name}; }, 1, "", true},
        {"batch --pairs", [&](const std::string& f) { return batch({"--pairs", f}); }, 2, "cannot read the pairs file "},
        {"lens calibrate --pairs", [&](const std::string& f) {
             return Args{"lens", "calibrate", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#3", "--pairs", f}; },
         1, "cannot read the pairs file "},
        {"video, left", [&](const std::string& f) {
             return Args{"video", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#3", "--points", kPoints, f,
                         (dir / "input/R.jpg").string(), "-o", "v.mp4"}; }, 1, "cannot read the left video "},
        {"video, right", [&](const std::string& f) {
             return Args{"video", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#3", "--points", kPoints,
                         (dir / "input/L.jpg").string(), f, "-o", "v.mp4"}; }, 1, "cannot read the right video "},
        {"lens list --lenses", [&](const std::string& f) { return Args{"lens", "list", "-C", dir.string(), "--lenses", f}; },
         1, "--lenses: "},
        {"convert --lenses", [&](const std::string& f) { return convert({"--lenses", f}); }, 2, "--lenses: "}};
    for (const auto& reader : readers)
        for (const auto& file : files) {
            if (!reader.photo && std::string(file.name) == "none") continue;
            SCOPED_TRACE(std::string(reader.label) + " " + file.name);
            const fs::path path = reader.photo ? dir / "input" / (file.name + std::string(".jpg")) : dir / file.name;
            const Run run = quickly(reader.args(reader.photo ? path.filename().string() : path.string()));
            EXPECT_EQ(run.status, reader.status) << "(-2: it hung) " << run.err;
            EXPECT_EQ(run.err.find(prescribed) != std::string::npos, std::string(reader.says) == prescribed) << run.err;
            EXPECT_NE(run.err.find(reader.says), std::string::npos) << run.err;
            if (reader.photo) { EXPECT_NE(run.err.find("\"" + path.string() + "\": "), std::string::npos) << run.err; }
            EXPECT_NE(run.err.find(file.cause, run.err.find(path.string())), std::string::npos) << run.err;
            EXPECT_EQ(run.err.find("terminate called"), std::string::npos);
            EXPECT_TRUE(outputs().empty());
        }
}

// Photos the image library cannot read, damaged ones and turned ones, as the left image of a conversion.
TEST_F(InputProbeTest, ForeignDamagedUnreadableAndTurnedPhotosAreNamed) {
    writeImages();
    const std::string jpeg = readFile(dir / "input/L.jpg");
    ASSERT_EQ(cli(convert({"-o", "plain.png"})).status, 0);
    const std::string untagged = readFile(dir / "output/plain.png");
    const struct { const char* label; std::string left, bytes; Args extra; int status; std::string errMentions;
                   bool asNobody = false; } cases[] = {
        {"HEIC", "L.heic", heicStart(), {}, 1, "it is a HEIC/HEIF file, a format the image library cannot read"},
        {"animated GIF", "L.gif", gif(2), {}, 1, "it is an animated GIF file, a format the image library cannot read"},
        {"cut before its picture", "L.jpg", jpeg.substr(0, 200), {}, 1, "it is a damaged JPEG file that cannot be decoded"},
        {"cut in its picture", "L.jpg", jpeg.substr(0, jpeg.size() * 3 / 4), {}, 0, "input/L.jpg\" is damaged ("},
        {"no permission to read", "L.jpg", jpeg, {}, 1, "input/L.jpg\": permission denied", true},
        {"turned by its tag", "L.jpg", jpegWithOrientation(jpeg, 6), {}, 0,
         "The left image \"" + (dir / "input/L.jpg").string() + "\" carries the EXIF orientation 6 (rotate 90 degrees clockwise)"},
        {"its tag ignored", "L.jpg", jpegWithOrientation(jpeg, 6), {"--ignore-orientation"}, 0, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        writeFile(dir / "input" / c.left, c.bytes);
        if (c.asNobody) {
            // The output folder must stay writable to that user so that the input is what is refused.
            fs::permissions(dir / "input" / c.left, fs::perms::none);
            fs::permissions(dir / "output", fs::perms::all);
        }
        const Run run = cli(with(convert({"--left", c.left, "-o", "out.png"}), c.extra), 60, c.asNobody);
        fs::permissions(dir / "input" / c.left, fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.errMentions.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(c.errMentions), std::string::npos) << run.err;
        }
        EXPECT_EQ(run.err.find("Enter the valid left image file name\n") != std::string::npos, c.status == 1) << run.err;
        EXPECT_EQ(fs::exists(dir / "output/out.png"), c.status == 0);
        const bool recorded = std::string(c.label) == "its tag ignored";
        EXPECT_TRUE(!recorded || readFile(dir / "output/out.png") == untagged);
        fs::remove(dir / "output/out.png");
        writeFile(dir / "input/L.jpg", jpeg);
    }
}

// check: the same limits as convert before decoding, a damaged VR180 photo's own reason, one JSON object
// whatever happens.
TEST_F(InputProbeTest, CheckRefusesWithinTheLimitsAndAlwaysAnswersInJson) {
    writeImages();
    writeFile(dir / "output/huge.jpg", claimedJpeg(46340, 23170, 291));
    ASSERT_EQ(cli(convert({"-o", "pair.vr.jpg"})).status, 0);
    std::string photo = readFile(dir / "output/pair.vr.jpg");
    const size_t guid = photo.find("HasExtendedXMP=\"") + 16, inChunk = photo.find(photo.substr(guid, 32), guid + 32);
    ASSERT_NE(inChunk, std::string::npos);
    photo[inChunk] = photo[inChunk] == '0' ? '1' : '0';  // the chunk now belongs to another packet
    writeFile(dir / "output/damaged.vr.jpg", photo);
    const std::string out = (dir / "output").string();
    const struct { Args args; int status; const char* reason; } cases[] = {
        {{"check", "-C", out, "huge.jpg"}, 1, "it is 46340 x 23170 pixels (1073.7 megapixels), more than the limit of 200"},
        {{"check", "-C", out, "pair.vr.jpg", "--max-input-megapixels", "0.0001"}, 1, "more than the limit of 0.0001"},
        {{"check", "-C", out, "damaged.vr.jpg"}, 1, "it is a damaged VR180 photo: no extended XMP chunk with GUID"},
        {{"check", dir.string()}, 1, "it is a folder"},
        {{"check", "./none.jpg"}, 1, "\"./none.jpg\": no such file"},  // as given, not "././none.jpg"
        {{"check", "-C", out}, 2, "give exactly one FILE"},
        {{"check", "-C", out, "pair.vr.jpg", "--max-input-megapixels", "lots"}, 2, "--max-input-megapixels"}};
    for (const auto& c : cases)
        for (const bool json : {false, true}) {
            SCOPED_TRACE(c.args.back() + (json ? " --json" : ""));
            const auto start = std::chrono::steady_clock::now();
            const Run run = cli(json ? with(c.args, {"--json"}) : c.args, 60);
            EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
            EXPECT_EQ(run.status, c.status) << run.err;
            EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
            if (json) {  // one object, also for a usage error
                const JsonValue answer = oneJsonAnswer(run.out, run.status);
                const JsonValue* error = answer.member("error");
                ASSERT_TRUE(error) << run.out;
                EXPECT_NE(error->text.find(c.reason), std::string::npos) << run.out;
                EXPECT_EQ(answer.member("reason") ? answer.member("reason")->text : "", error->text) << run.out;
            } else {
                EXPECT_EQ(run.out, "");
            }
        }
}

// Wherever an EXIF orientation tag changes what a command sees, the command says so and --ignore-orientation
// reads the pixels as stored: the image circle found in a turned photograph (lens detect, lens add --detect),
// a side-by-side image turned by its tag (check), a VR180 photo whose left eye is turned and no longer meets its
// right (check, whose failure then names the tag).
TEST_F(InputProbeTest, EveryRouteAnOrientationTagTurnsSaysSo) {
    writeImages();
    CircleShot shot;
    shot.width = 600, shot.height = 400, shot.centreX = 302.5, shot.centreY = 197.5, shot.radius = 180, shot.noise = 1.0;
    std::vector<uchar> circle;
    ASSERT_TRUE(cv::imencode(".jpg", renderCircleShot(panorama(), shot), circle));
    writeFile(dir / "input/circle.jpg", jpegWithOrientation(std::string(circle.begin(), circle.end()), 6));
    ASSERT_EQ(cli(convert({"-o", "sbs.jpg", "--height", "200"})).status, 0);
    ASSERT_EQ(cli(convert({"-o", "pair.vr.jpg", "--height", "200"})).status, 0);
    writeFile(dir / "output/sbs3.jpg", jpegWithOrientation(readFile(dir / "output/sbs.jpg"), 3));
    writeFile(dir / "output/turned.vr.jpg", jpegWithOrientation(readFile(dir / "output/pair.vr.jpg"), 6));
    const std::string in = (dir / "input").string(), out = (dir / "output").string();
    const struct { const char* label; Args args; const char* says; } cases[] = {
        {"lens detect", {"lens", "detect", "-C", in, "circle.jpg"}, "circle.jpg carries the EXIF orientation 6 (rotate 90 degrees clockwise): the circle is given in the picture turned"},
        {"lens detect --json", {"lens", "detect", "-C", in, "circle.jpg", "--json"}, "carries the EXIF orientation 6"},
        {"lens add --detect", {"lens", "add", "-C", dir.string(), "Turned", "--projection", "equidistant", "--fov", "180",
                               "--detect", "input/circle.jpg"}, "carries the EXIF orientation 6"},
        {"check of a side-by-side image", {"check", "-C", out, "sbs3.jpg"}, "the image carries the EXIF orientation 3 (rotate 180 degrees)"},
        {"check of a VR180 photo", {"check", "-C", out, "turned.vr.jpg"}, "the left eye carries the EXIF orientation 6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Run run = cli(c.args);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("--ignore-orientation"), std::string::npos) << run.err;
        const Run ignored = cli(with(c.args, {"--ignore-orientation"}));
        EXPECT_EQ(ignored.err.find("orientation"), std::string::npos) << ignored.err;
        if (std::string(c.label) == "lens detect --json") {
            EXPECT_NE(run.out.find("\"turned_by_orientation\": true"), std::string::npos) << run.out;
            EXPECT_NE(ignored.out.find("\"turned_by_orientation\": false"), std::string::npos) << ignored.out;
        }
        // The circle in turned coordinates: centre and size swapped about the picture's turn.
        if (std::string(c.label) == "lens detect") {
            EXPECT_NE(run.out.find("in 400 x 600 images"), std::string::npos) << run.out;
            EXPECT_NE(ignored.out.find("in 600 x 400 images"), std::string::npos) << ignored.out;
        }
        EXPECT_EQ(run.err.find("matchs"), std::string::npos) << run.err;
        // A measurement the turn spoils names the tag in its own error, not only in a warning before it.
        if (run.status != 0) { EXPECT_NE(run.err.substr(run.err.rfind("error: ")).find("orientation"), std::string::npos) << run.err; }
    }
}

// Every command with --json answers with exactly one JSON object whatever happens: a usage error, a refusal, a
// missing or special input, a failure on the way, a success; names that are not UTF-8 come back byte for byte
// through the escapes, and the strict reader takes every answer.
TEST_F(InputProbeTest, EveryJsonCommandAnswersWithOneObjectWhateverHappens) {
    writeImages();
    ASSERT_EQ(mkfifo((dir / "fifo.ini").c_str(), 0644), 0);
    const std::string odd = "\xFF\xFEodd";  // a name in no UTF-8
    fs::copy_file(dir / "input/L.jpg", dir / "input" / (odd + ".jpg"));
    CircleShot shot;
    shot.width = 600, shot.height = 400, shot.centreX = 302.5, shot.centreY = 197.5, shot.radius = 180, shot.noise = 1.0;
    ASSERT_TRUE(cv::imwrite((dir / "input/circle.png").string(), renderCircleShot(panorama(), shot)));
    cv::Mat sideBySide;  // the panorama's front in both eyes, a yaw apart
    cv::hconcat(frontHemisphere(panorama(), 768, vistereo::rotationFromYawPitchRoll(0, -25, 0)),
                frontHemisphere(panorama(), 768, vistereo::rotationFromYawPitchRoll(1.0, -25, 0)), sideBySide);
    ASSERT_TRUE(cv::imwrite((dir / "output/sbs.jpg").string(), sideBySide));
    const std::string D = dir.string(), in = (dir / "input").string(), out = (dir / "output").string();
    const Args align{"align", "-C", D, "--left-lens", "#1", "--right-lens", "#3", "--json"};
    const Args calibrate{"lens", "calibrate", "-C", D, "--left-lens", "#1", "--right-lens", "#3", "--json"};
    const struct { const char* label; Args args; int status; std::string says; std::string member = {}; } cases[] = {
        {"align: an unknown option", with(align, {"--bogus"}), 2, "unknown option '--bogus'"},
        {"align: --threads -3", with(align, {"--threads", "-3"}), 2, "--threads takes a whole number"},
        {"align: an unknown lens", {"align", "-C", D, "--left-lens", "Nope", "--right-lens", "#3", "--json"}, 2,
         "no lens named \"Nope\""},
        {"align: a --lenses FIFO", with(align, {"--lenses", (dir / "fifo.ini").string()}), 2, "is a FIFO (named pipe)"},
        {"align: --save-lenses alone", with(align, {"--save-lenses", "x"}), 2, "--save-lenses goes with --refine-lenses"},
        {"align: a missing image", with(align, {"none.jpg", "R.jpg"}), 1, "Enter the valid left image file name"},
        {"align: a missing image named in no UTF-8", with(align, {odd + "none.jpg", "R.jpg"}), 1, odd + "none.jpg"},
        {"align: pictures that do not align, one named in no UTF-8", with(align, {odd + ".jpg", "R.jpg"}), 1,
         "automatic alignment failed", "failure"},
        {"check: measured", {"check", "-C", out, "sbs.jpg", "--json"}, 0, "", "half_size"},
        {"check: a missing file named in no UTF-8", {"check", "-C", out, odd + ".jpg", "--json"}, 1, odd + ".jpg\": no such file"},
        {"check: two files", {"check", "-C", out, "a.jpg", "b.jpg", "--json"}, 2, "give exactly one FILE"},
        {"lens detect: found", {"lens", "detect", "-C", in, "circle.png", "--json"}, 0, "", "radius"},
        {"lens detect: noise", {"lens", "detect", "-C", in, "L.jpg", "--json"}, 1, "no image circle found"},
        {"lens detect: nothing to look at", {"lens", "detect", "--json"}, 2, "give one or more IMAGEs"},
        {"lens detect: named in no UTF-8", {"lens", "detect", "-C", in, odd + "none.jpg", "--json"}, 1, odd + "none.jpg"},
        {"lens calibrate: no left lens", {"lens", "calibrate", "-C", D, "--json"}, 2, "missing --left-lens"},
        {"lens calibrate: a pairs file named in no UTF-8", with(calibrate, {"--pairs", odd + ".csv"}), 1,
         "cannot read the pairs file " + D + "/" + odd + ".csv: no such file"},
        {"lens calibrate: a pairs FIFO", with(calibrate, {"--pairs", (dir / "fifo.ini").string()}), 1, "is a FIFO (named pipe)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Run run = cli(c.args, 60);
        EXPECT_EQ(run.status, c.status) << run.err;
        const JsonValue answer = oneJsonAnswer(run.out, run.status);
        if (!c.says.empty()) {
            const JsonValue* error = answer.member("error");
            ASSERT_TRUE(error) << run.out;
            EXPECT_NE(error->text.find(c.says), std::string::npos) << error->text;
            EXPECT_NE(run.err.find("error: " + error->text.substr(0, error->text.find('\n'))), std::string::npos)
                << "the object's error is what stderr said: " << run.err;
        }
        if (!c.member.empty()) { EXPECT_TRUE(answer.member(c.member)) << c.member << " in " << run.out; }
    }
}
