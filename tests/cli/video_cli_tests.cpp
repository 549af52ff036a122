// vistereo-cli video as a user and a player see it: the VR180 MP4 that ffprobe, an independent reader, recognises
// (stereo and spherical side data, the bytes of the boxes, frames, duration, sound); refusals with their reasons and
// no file; usage errors; an interrupted conversion that leaves nothing behind.
#include <gtest/gtest.h>

#include <tuple>

#include "cli/options/common.h"
#include "videofile/video_reader.h"
#include "tests/cli/cli_test_support.h"
#include "tests/support/synth_video.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

// One take shared by the tests: input/L.mp4 and input/R.mp4 with sound, a right camera at 25 fps, one without
// sound, and a sound file without pictures; the lens #1 of the working folder is an equisolid one.
class VideoCliTest : public VideoTakeTest {
protected:
    static void SetUpTestSuite() {
        const fs::path& shared = takeFolder("vistereo_video_cli");
        SynthTake take;
        writeSynthTake(take, shared / "L.mp4", shared / "R.mp4");
        take.frames = 12, take.rightRate = {25, 1};
        writeSynthTake(take, shared / "L12.mp4", shared / "R25.mp4");
        take.rightRate = {24, 1}, take.rightSound = false;
        writeSynthTake(take, shared / "L12.mp4", shared / "Rquiet.mp4");
        writeWav(shared / "sound.wav", clickTrack(0, 1.0, 48000, 1), 48000);
        points_ = synthTakePoints(SynthTake{});
    }
    Args video(const Args& more) const {
        return with({"video", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--height", "64", "--preset",
                     "ultrafast"}, more);
    }
};

// The four 32-bit bounds (top, bottom, left, right) of the file's 'equi' box, and the stereo mode of its 'st3d'.
std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, int> sphericalBoxes(const std::string& bytes) {
    const auto be32 = [&](size_t at) {
        return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
               uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3]));
    };
    const size_t equi = bytes.find("equi"), st3d = bytes.find("st3d");
    if (equi == std::string::npos || st3d == std::string::npos) return {1, 1, 1, 1, -1};
    // Each box: its type, then version and flags (4 bytes), then the fields.
    return {be32(equi + 8), be32(equi + 12), be32(equi + 16), be32(equi + 20), uint8_t(bytes[st3d + 8])};
}

}  // namespace

TEST_F(VideoCliTest, WritesAVr180VideoThatAnIndependentReaderRecognises) {
    if (!haveTool("ffprobe")) GTEST_SKIP() << "needs ffprobe (apt-get install ffmpeg)";
    // Bare names: the inputs found in input/, the output put into output/, named for players.
    const Run run = cli(video({"--points", points_, "L.mp4", "R.mp4", "-o", "take.mp4", "--vr-suffix", "--json"}));
    ASSERT_EQ(run.status, 0) << run.err;
    const fs::path written = dir / "output/take_180_LR.mp4";
    EXPECT_EQ(outputs(), std::vector<std::string>{"take_180_LR.mp4"});
    EXPECT_TRUE(oneJsonAnswer(run.out, run.status).member("offset_seconds")) << run.out;
    EXPECT_NEAR(field(run.out, "offset_seconds"), -(0.25 + 37.0 / 48000), 1e-6);
    EXPECT_GE(field(run.out, "offset_confidence"), 2.0);
    EXPECT_EQ(field(run.out, "frames"), 30);  // the right camera films 30 of the left one's 36 frames
    EXPECT_DOUBLE_EQ(field(run.out, "seconds"), 1.25);
    EXPECT_EQ(field(run.out, "fps"), 24);
    EXPECT_NE(run.out.find("\"output\": \"" + written.string() + "\""), std::string::npos) << run.out;

    const std::string probe = toolOutput({"ffprobe", "-v", "error", "-show_streams", "-of", "json", written.string()});
    for (const char* expected : {"\"side_data_type\": \"Stereo 3D\"", "\"type\": \"side by side\"",
                                 "\"side_data_type\": \"Spherical Mapping\"", "\"projection\": \"tiled equirectangular\"",
                                 "\"nb_frames\": \"30\"", "\"duration\": \"1.250000\"", "\"codec_type\": \"audio\"",
                                 "\"codec_name\": \"aac\"", "\"color_space\": \"bt709\""})
        EXPECT_NE(probe.find(expected), std::string::npos) << expected << " in " << probe;
    // ffprobe gives the bounds in pixels of the 128-wide frame: together half the width of a whole 360-degree one.
    EXPECT_EQ(field(probe, "bound_left") + field(probe, "bound_right"), 128) << probe;
    EXPECT_EQ(sphericalBoxes(readFile(written)), std::make_tuple(0u, 0u, 0x40000000u, 0x40000000u, 2));
    // The sound is the left camera's over the same 1.25 s.
    EXPECT_NEAR(std::atof(toolOutput({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                                      "stream=duration", "-of", "csv=p=0", written.string()}).c_str()),
                1.25, 0.03);
}

TEST_F(VideoCliTest, RefusesWithItsReasonAndWritesNothing) {
    const auto take = [this](const Args& more, const char* right = "R.mp4", const char* left = "L.mp4") {
        return video(with({"--points", points_, left, right, "-o", "o.mp4"}, more));
    };
    const struct { const char* label; Args args; int status; const char* mentions; } cases[] = {
        {"a file without pictures", take({}, "sound.wav"), 1, "cannot read the right video \"" /* path */},
        {"frame rates that differ", take({"--offset", "0"}, "R25.mp4", "L12.mp4"), 1, "frame rates differ (left 24 fps, right 25 fps)"},
        {"a start beyond the end", take({"--offset", "0", "--start", "0:10"}), 1,
         "--start 0:10.000 is beyond the end of the two videos' common part"},
        {"a range beyond the end", take({"--offset", "0", "--duration", "2"}), 1,
         "reaches beyond the end of the two videos' common part, which ends at 0:01.500"},
        {"no sound to synchronise by", take({}, "Rquiet.mp4", "L12.mp4"), 1, "has no audio): use --offset SECONDS"},
        {"a missing input", take({}, "nope.mp4"), 1, "cannot find the right video \"nope.mp4\""},
        {"an output onto the left video", video({"--points", points_, "L.mp4", "R.mp4", "-o", (dir / "input/L.mp4").string()}),
         1, "is the left video"},
        {"same points", video({"--points", "1,2,1,2,3,4,3,4", "L.mp4", "R.mp4", "-o", "o.mp4"}), 1,
         "Enter the correct coordinates of A and B point"},
        {"a point outside the frames", video({"--points", "5000" + points_.substr(points_.find(',')), "L.mp4", "R.mp4",
                                              "-o", "o.mp4", "--offset", "0"}), 1,
         "point A of the left picture (5000, "},
        {"an output that is no MP4", video({"--points", points_, "L.mp4", "R.mp4", "-o", "o.mov"}), 2, "-o names an .mp4"},
        {"one video", video({"--points", points_, "L.mp4", "-o", "o.mp4"}), 2, "give the LEFT and the RIGHT video"},
        {"three videos", take({"R.mp4"}), 2, "unexpected argument"},
        {"unknown codec", take({"--codec", "vp9"}), 2, "--codec"},
        {"crf out of range", take({"--crf", "52"}), 2, "--crf"},
        {"unknown preset", take({"--preset", "quick"}), 2, "--preset"},
        {"sound of both", take({"--audio", "both"}), 2, "--audio"},
        {"a time that is none", take({"--start", "1:xx"}), 2, "--start"},
        {"an odd height", take({"--offset", "0", "--height", "65"}), 2, "--height: the output height must be even"},
        // Sizes held against the codec's largest frame before any file is opened.
        {"a height beyond H.264's largest frame", take({"--height", "99998"}), 2,
         "--height: the output height 99998 gives frames of 199996 x 99998; H.264 level 6.2 takes at most 8192 x 4096, "
         "so the height can be at most 4096"},
        {"HEVC twice its largest height", take({"--codec", "hevc", "--height", "8192"}), 2,
         "HEVC Main level 6.2 takes at most 8192 x 4096, so the height can be at most 4096"},
        // A range outside the take is said as such, not as a sound too short to synchronise by.
        {"a start beyond the end, synchronised by sound", take({"--start", "0:10"}), 1,
         "--start 0:10.000 is beyond the end of the left video, which ends at 0:01.500"},
        {"a duration of none, synchronised by sound", take({"--duration", "0"}), 1, "--duration must cover at least one frame"},
        {"a range beyond the left video", take({"--start", "1", "--duration", "5"}), 1,
         "the range 0:01.000 to 0:06.000 reaches beyond the end of the left video"},
        {"points and automatic", take({"--auto-align"}), 2, "--auto-align finds the alignment itself"},
    };
    for (const auto& c : cases)
        for (const bool json : {false, true}) {  // with --json: the same, and one object saying it
            SCOPED_TRACE(std::string(c.label) + (json ? " --json" : ""));
            const auto start = std::chrono::steady_clock::now();
            const Run run = cli(json ? with(c.args, {"--json"}) : c.args);
            EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20.0);
            EXPECT_EQ(run.status, c.status) << run.err;
            EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
            EXPECT_EQ(run.err.find("too short to synchronise"), std::string::npos) << run.err;
            EXPECT_TRUE(outputs().empty());
            if (!json) {
                EXPECT_EQ(run.out, "");
                continue;
            }
            const JsonValue answer = oneJsonAnswer(run.out, run.status);
            ASSERT_TRUE(answer.member("error")) << run.out;
            EXPECT_NE(answer.member("error")->text.find(c.mentions), std::string::npos) << run.out;
        }
    EXPECT_NE(cli(take({}, "sound.wav")).err.find("it has no video stream"), std::string::npos);
}

// A phone's rotation tag (a display matrix in the MP4) is named: players would turn the frames, the conversion
// reads them as stored.
TEST_F(VideoCliTest, ARotationInTheVideosMetadataIsNamedNotPassedOverInSilence) {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "needs ffmpeg (apt-get install ffmpeg)";
    toolOutput({"ffmpeg", "-v", "error", "-i", (dir / "input/L.mp4").string(), "-c", "copy", "-metadata:s:v:0", "rotate=90",
                "-y", (dir / "input/Lturned.mp4").string()});
    ASSERT_TRUE(fs::exists(dir / "input/Lturned.mp4"));
    for (const bool turned : {true, false}) {
        SCOPED_TRACE(turned ? "tagged" : "untagged");
        const Run run = cli(video({"--points", points_, turned ? "Lturned.mp4" : "L.mp4", "R.mp4", "-o", "o.mp4", "--json"}));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("warning: the left video carries a rotation of 90 degrees in its metadata") != std::string::npos,
                  turned) << run.err;
        EXPECT_EQ(run.err.find("rotation"), run.err.rfind("rotation of 90")) << "the tagged video alone, once: " << run.err;
    }
}

TEST(MediaTimeTest, ReadsSecondsMinutesAndHours) {
    const struct { const char* text; double seconds; } good[] = {
        {"12.5", 12.5}, {"0", 0}, {"1:05", 65}, {"1:02:03.5", 3723.5}, {"0:00.040", 0.04}, {".5", 0.5}};
    for (const auto& c : good) EXPECT_EQ(media::parseMediaTime(c.text), std::optional<double>(c.seconds)) << c.text;
    for (const char* bad : {"", ":", "1:", ":30", "1::2", "-1", "1.2.3", "1:2:3:4", "1.5:30", "abc", "1e3", "."})
        EXPECT_FALSE(media::parseMediaTime(bad)) << bad;
}

// Ctrl-C or kill while the frames are being written: the process ends by the signal, says so, and leaves neither
// the output nor its temporary file.
TEST_F(VideoCliTest, AnInterruptedConversionLeavesNoFile) {
    for (const auto& [label, signal] : {std::tuple{"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}}) {
        SCOPED_TRACE(label);
        const pid_t child = startCli(video({"--points", points_, "L.mp4", "R.mp4", "-o", "take.mp4", "--offset", "-0.25",
                                            "--height", "1024", "--preset", "veryslow", "--interp", "lanczos", "--threads",
                                            "1"}), dir / "scratch");
        ASSERT_TRUE(waitFor([&] { return !outputs().empty(); })) << "no temporary file appeared";
        EXPECT_NE(outputs()[0].find(".take.mp4.tmp-"), std::string::npos) << outputs()[0];
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_TRUE(endedBy(child, signal)) << "it ended otherwise";
        EXPECT_TRUE(outputs().empty());
        EXPECT_NE(readFile(dir / "scratch/stderr.txt").find("interrupted; no video was written"), std::string::npos);
    }
}
