// Every input of every command that reads photos, probed as a hostile but
// ordinary user would: FIFOs, devices, folders, missing, unreadable, foreign
// and damaged files, turned photos, oversize headers. Each is answered
// quickly (a FIFO never hangs a command, a device is never read), with exit 1,
// the file and the cause, and never an abort.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/cli/cli_test_support.h"
#include "tests/support/crafted_images.h"

using namespace vistereo::testsupport;

namespace {

using InputProbeTest = CliTest;

// One JSON object on one line: what a script reading `check --json` relies on.
bool oneObject(const std::string& out) {
    return std::count(out.begin(), out.end(), '\n') == 1 && out.front() == '{' && out.substr(out.size() - 2) == "}\n";
}

}  // namespace

// The left image of convert, align, match and batch, and the file of check, as a FIFO, a device (through a
// link), a folder and a missing file: the prescribed message, then the file and the cause.
TEST_F(InputProbeTest, EveryCommandRefusesASpecialOrMissingInputByItsType) {
    writeImages();
    ASSERT_EQ(mkfifo((dir / "input/fifo.jpg").c_str(), 0644), 0);
    fs::create_directories(dir / "input/folder.jpg");
    fs::create_symlink("/dev/zero", dir / "input/zero.jpg");
    const struct { const char* name; const char* cause; } inputs[] = {
        {"fifo.jpg", "it is a FIFO (named pipe), not an image file"}, {"zero.jpg", "it is a character device"},
        {"folder.jpg", "it is a folder, not an image file"}, {"none.jpg", "no such file"}};
    const struct { const char* command; std::function<Args(const std::string&)> args; } commands[] = {
        {"convert", [&](const std::string& name) { return convert({"--left", name}); }},
        {"align", [&](const std::string& name) {
             return Args{"align", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#3", "--left", name}; }},
        {"match", [&](const std::string& name) { return Args{"match", "-C", dir.string(), "--left", name, "--point", "20,20"}; }},
        {"batch", [&](const std::string& name) {
             writeFile(dir / "pairs.csv", name + ",R.jpg\n");
             return batch({"--pairs", "pairs.csv"}); }},
        {"check", [&](const std::string& name) { return Args{"check", "-C", (dir / "input").string(), name}; }}};
    for (const auto& command : commands)
        for (const auto& input : inputs) {
            SCOPED_TRACE(std::string(command.command) + " " + input.name);
            const auto start = std::chrono::steady_clock::now();
            const Run run = cli(command.args(input.name), 30);
            EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
            EXPECT_EQ(run.status, 1) << "(-2: it hung) " << run.err;
            const bool prescribed = std::string(command.command) != "check";
            EXPECT_EQ(run.err.find("Enter the valid left image file name") != std::string::npos, prescribed) << run.err;
            EXPECT_NE(run.err.find("\"" + (dir / "input" / input.name).string() + "\": " + input.cause), std::string::npos)
                << run.err;
            EXPECT_EQ(run.err.find("terminate called"), std::string::npos);
            EXPECT_TRUE(outputs().empty());
        }
}

// Every other file a command reads (a pairs file, a lens registry, a video) as a FIFO, a device and a folder:
// refused by its type before it is opened, naming the file and what it is; a FIFO never makes a command wait.
TEST_F(InputProbeTest, EveryFileACommandReadsIsRefusedByItsTypeBeforeItIsOpened) {
    writeImages();
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    fs::create_directories(dir / "folder");
    fs::create_symlink("/dev/zero", dir / "zero");
    const struct { const char* name; const char* cause; } files[] = {
        {"fifo", "is a FIFO (named pipe), not a"}, {"zero", "is a character device, not a"}, {"folder", "is a folder, not a"}};
    const struct { const char* label; std::function<Args(const std::string&)> args; int status; const char* says; } readers[] = {
        {"batch --pairs", [&](const std::string& f) { return batch({"--pairs", (dir / f).string()}); }, 2,
         "cannot read the pairs file "},
        {"lens calibrate --pairs", [&](const std::string& f) {
             return Args{"lens", "calibrate", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#3", "--pairs",
                         (dir / f).string()}; }, 1, "cannot read the pairs file "},
        {"video, left", [&](const std::string& f) {
             return Args{"video", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#3", "--points", kPoints,
                         (dir / f).string(), (dir / "input/R.jpg").string(), "-o", "v.mp4"}; }, 1, "cannot read the left video "},
        {"video, right", [&](const std::string& f) {
             return Args{"video", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#3", "--points", kPoints,
                         (dir / "input/L.jpg").string(), (dir / f).string(), "-o", "v.mp4"}; }, 1, "cannot read the right video "},
        {"lens list --lenses", [&](const std::string& f) { return Args{"lens", "list", "-C", dir.string(), "--lenses", (dir / f).string()}; },
         1, "--lenses: "},
        {"convert --lenses", [&](const std::string& f) { return convert({"--lenses", (dir / f).string()}); }, 2, "--lenses: "}};
    for (const auto& reader : readers)
        for (const auto& file : files) {
            SCOPED_TRACE(std::string(reader.label) + " " + file.name);
            const auto start = std::chrono::steady_clock::now();
            const Run run = cli(reader.args(file.name), 30);
            EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
            EXPECT_EQ(run.status, reader.status) << "(-2: it hung) " << run.err;
            EXPECT_NE(run.err.find(reader.says), std::string::npos) << run.err;
            EXPECT_NE(run.err.find((dir / file.name).string()), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(file.cause), std::string::npos) << run.err;
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
                EXPECT_TRUE(oneObject(run.out)) << run.out;
                EXPECT_EQ(run.out.rfind("{\"ok\": false, \"reason\": \"", 0), 0u) << run.out;
                EXPECT_NE(run.out.find(c.reason), std::string::npos) << run.out;
            } else {
                EXPECT_EQ(run.out, "");
            }
        }
}
