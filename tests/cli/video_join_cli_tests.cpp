// A take converted in parts by separate vistereo-cli processes and joined, seen by ffprobe and ffmpeg as independent
// readers: the same frames, timestamps, sound and VR180 metadata as one conversion of the whole range; parts that do
// not belong together refused with the part named and nothing written.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "tests/cli/cli_test_support.h"
#include "tests/support/synth_video.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

// A keyframe every 17 frames: the take's 102 frames are six intervals, two in each of three parts.
constexpr int kKeyframes = 17;

// A take of 4.5 s whose right camera starts a quarter second late (102 frame pairs in common, parts of 34, longer
// than the encoder looks ahead), and another take.
class VideoJoinCliTest : public VideoTakeTest {
protected:
    static void SetUpTestSuite() {
        const fs::path& shared = takeFolder("vistereo_video_join");
        SynthTake take;
        take.frames = 108;
        writeSynthTake(take, shared / "L.mp4", shared / "R.mp4");
        take.panDegreesPerSecond = -25.0;
        writeSynthTake(take, shared / "L2.mp4", shared / "R2.mp4");
        // Frames large enough for the automatic alignment's matches.
        SynthTake large;
        large.width = 480, large.height = 360, large.frames = 20, large.rightStartsAt = 0;
        writeSynthTake(large, shared / "LA.mp4", shared / "RA.mp4");
        points_ = synthTakePoints(SynthTake{});
    }
    // "fast" encodes with B-frames, so that the parts' decoding order must join up too.
    // No offset: the take is synchronised by its sound (or by a part handed over).
    Args video(const Args& more, const char* left = "L.mp4", const char* right = "R.mp4",
               const char* offset = "-0.25") const {
        Args args{"video", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--height", "64", "--preset",
                  "fast", "--keyframes", std::to_string(kKeyframes), left, right};
        if (offset) args.insert(args.end() - 2, {"--offset", offset});
        return with(args, more);
    }
    std::string out(const std::string& name) const { return (dir / "output" / name).string(); }
    // Converts parts 1 to `parts` of the take, each by its own process, all at once.
    void convertParts(const Args& more, int parts, const char* left = "L.mp4", const char* right = "R.mp4",
                      const char* offset = "-0.25") {
        std::vector<std::pair<pid_t, fs::path>> running;
        for (int k = 1; k <= parts; ++k) {
            const fs::path scratch = dir / ("scratch" + std::to_string(k));
            fs::create_directories(scratch);
            running.emplace_back(startCli(video(with(more, {"--segment", std::to_string(k) + "/" + std::to_string(parts),
                                                            "-o", out("part" + std::to_string(k) + ".mp4")}),
                                                left, right, offset),
                                          scratch),
                                 scratch);
        }
        for (const auto& [child, scratch] : running) {
            const Run run = finish(child, scratch);
            ASSERT_EQ(run.status, 0) << run.err;
        }
    }
};

constexpr int kFrames = 102;

std::string probe(const std::vector<std::string>& what, const std::string& file) {
    std::vector<std::string> args{"ffprobe", "-v", "error"};
    args.insert(args.end(), what.begin(), what.end());
    args.push_back(file);
    return toolOutput(args);
}

// ffmpeg's PSNR of each frame of `a` against the same frame of `b` (infinity where they are identical).
std::vector<double> framePsnr(const std::string& a, const std::string& b, const fs::path& stats) {
    toolOutput({"ffmpeg", "-v", "error", "-i", a, "-i", b, "-lavfi", "[0:v][1:v]psnr=stats_file=" + stats.string(), "-f",
                "null", "-"});
    std::vector<double> out;
    std::istringstream in(readFile(stats));
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find("psnr_avg:");
        if (at == std::string::npos) continue;
        const std::string value = line.substr(at + 9, line.find(' ', at) - at - 9);
        out.push_back(value == "inf" ? INFINITY : std::atof(value.c_str()));
    }
    return out;
}

}  // namespace

// Two encodes of one picture differ by the encoder's noise, whose size depends on the picture: each run is held
// against the same conversion written losslessly, and the join must lose no more than the encoder's own noise
// there. A frame lost, doubled or shifted at a cut, or another geometry in a part, costs far more.
TEST_F(VideoJoinCliTest, ThreePartsOnThreeProcessesJoinIntoTheFilmOfOneConversion) {
    if (!haveTool("ffprobe") || !haveTool("ffmpeg")) GTEST_SKIP() << "needs ffmpeg (apt-get install ffmpeg)";
    const Args points{"--points", points_};
    const Run single = cli(video(with(points, {"-o", out("single.mp4")})));
    ASSERT_EQ(single.status, 0) << single.err;
    const Run lossless = cli(video(with(points, {"--crf", "0", "--preset", "ultrafast", "--audio", "none", "-o",
                                                 out("lossless.mp4")})));
    ASSERT_EQ(lossless.status, 0) << lossless.err;
    convertParts(points, 3);
    // The parts carry pictures only; the sound is the join's.
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(probe({"-select_streams", "a", "-show_entries", "stream=index", "-of", "csv=p=0"},
                        out("part" + std::to_string(k) + ".mp4")), "");
    const Run join = cli({"video-join", "-o", out("joined.mp4"), out("part1.mp4"), out("part2.mp4"), out("part3.mp4"),
                          "--json"});
    ASSERT_EQ(join.status, 0) << join.err;
    EXPECT_EQ(field(join.out, "frames"), kFrames);
    EXPECT_EQ(field(join.out, "parts"), 3);

    // The same frames at the same times, the same stream and spherical metadata.
    const std::vector<std::string> streams{"-show_entries", "stream=codec_type,codec_name,width,height,nb_frames,"
                                           "duration,start_time:stream_side_data", "-of", "compact"};
    EXPECT_EQ(probe(streams, out("joined.mp4")), probe(streams, out("single.mp4")));
    EXPECT_NE(probe(streams, out("joined.mp4")).find("projection=tiled equirectangular"), std::string::npos);
    // Presentation times (the decoding order differs with the keyframes' places).
    const std::vector<std::string> times{"-select_streams", "v", "-show_entries", "packet=pts_time,duration_time",
                                         "-of", "csv=p=0"};
    std::string joinedTimes = probe(times, out("joined.mp4")), singleTimes = probe(times, out("single.mp4"));
    std::sort(joinedTimes.begin(), joinedTimes.end());
    std::sort(singleTimes.begin(), singleTimes.end());
    EXPECT_EQ(std::count(joinedTimes.begin(), joinedTimes.end(), '\n'), kFrames);
    EXPECT_EQ(joinedTimes, singleTimes);
    // The sound of the whole range, written once: the single run's packets, byte for byte, at its times.
    const std::vector<std::string> sound{"-select_streams", "a", "-show_entries", "packet=pts,duration,size,data_hash",
                                         "-show_data_hash", "md5", "-of", "csv=p=0"};
    EXPECT_NE(probe(sound, out("joined.mp4")), "");
    EXPECT_EQ(probe(sound, out("joined.mp4")), probe(sound, out("single.mp4")));

    const std::vector<double> joined = framePsnr(out("joined.mp4"), out("lossless.mp4"), dir / "scratch/joined.txt");
    const std::vector<double> whole = framePsnr(out("single.mp4"), out("lossless.mp4"), dir / "scratch/single.txt");
    const std::vector<double> between = framePsnr(out("joined.mp4"), out("single.mp4"), dir / "scratch/between.txt");
    ASSERT_EQ(joined.size(), static_cast<size_t>(kFrames));
    ASSERT_EQ(whole.size(), joined.size());
    double joinedSum = 0, wholeSum = 0;
    for (size_t n = 0; n < joined.size(); ++n) {
        EXPECT_GE(joined[n], whole[n] - 4.0) << "frame " << n;
        joinedSum += joined[n], wholeSum += whole[n];
    }
    EXPECT_GE(joinedSum / kFrames, wholeSum / kFrames - 0.5);
    // The first frames, encoded alike while the encoder sees as far ahead in the part as in the whole, are the same.
    ASSERT_FALSE(between.empty());
    EXPECT_TRUE(std::isinf(between.front()));
    // The keyframes on one grid from the range's first frame, in the single run and the join alike, so every part
    // starts where the single run has a keyframe too.
    const std::vector<std::string> keys{"-select_streams", "v", "-show_entries", "packet=pts,flags", "-of", "csv=p=0"};
    const auto keyframes = [&](const std::string& file) {
        std::vector<long> at;
        std::istringstream in(probe(keys, file));
        for (std::string line; std::getline(in, line);)
            if (line.find(",K") != std::string::npos) at.push_back(std::atol(line.c_str()));
        std::sort(at.begin(), at.end());
        return at;
    };
    const std::vector<long> joinedKeys = keyframes(out("joined.mp4")), singleKeys = keyframes(out("single.mp4"));
    EXPECT_EQ(joinedKeys, singleKeys);
    ASSERT_EQ(singleKeys.size(), size_t((kFrames + kKeyframes - 1) / kKeyframes));
    for (size_t k = 1; k < singleKeys.size(); ++k)
        EXPECT_EQ(singleKeys[k] - singleKeys[0], long(k) * (singleKeys[1] - singleKeys[0]));
}

// Parts aligned automatically each align on the same frame pairs of the whole range, so they agree without being
// told: the join, which holds every part's alignment against the first's, takes them.
TEST_F(VideoJoinCliTest, PartsAlignedAutomaticallyAgreeAndJoin) {
    if (!haveTool("ffprobe")) GTEST_SKIP() << "needs ffprobe (apt-get install ffmpeg)";
    convertParts({"--auto-align", "--audio", "none"}, 2, "LA.mp4", "RA.mp4", "0");
    std::string rotation;
    for (int k = 1; k <= 2; ++k) {
        const std::string tags = probe({"-show_entries", "format_tags", "-of", "default=nw=1"},
                                       out("part" + std::to_string(k) + ".mp4"));
        const size_t at = tags.find("alignment=rotation ");
        ASSERT_NE(at, std::string::npos) << tags;
        const std::string mine = tags.substr(at, tags.find('\n', at) - at);
        if (rotation.empty()) rotation = mine;
        EXPECT_EQ(mine, rotation);
    }
    const Run join = cli({"video-join", "-o", out("joined.mp4"), out("part1.mp4"), out("part2.mp4"), "--json"});
    ASSERT_EQ(join.status, 0) << join.err;
    EXPECT_NE(join.err.find("the joined video has no sound"), std::string::npos) << join.err;
    EXPECT_EQ(field(join.out, "frames"), 20);
    EXPECT_EQ(probe({"-select_streams", "v", "-show_entries", "stream=nb_frames", "-of", "default=nw=1:nk=1"},
                    out("joined.mp4")).substr(0, 3), "20\n");
}

TEST_F(VideoJoinCliTest, PartsThatDoNotMakeOneFilmAreRefusedNamingThePart) {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "needs ffmpeg (apt-get install ffmpeg)";
    convertParts({"--points", points_}, 3);
    const Run other = cli(video({"--points", points_, "--segment", "2/3", "-o", out("other2.mp4")}, "L2.mp4", "R2.mp4"));
    ASSERT_EQ(other.status, 0) << other.err;
    const Run crf = cli(video({"--points", points_, "--segment", "3/3", "--crf", "24", "-o", out("crf3.mp4")}));
    ASSERT_EQ(crf.status, 0) << crf.err;
    const Run whole = cli(video({"--points", points_, "--audio", "none", "-o", out("whole.mp4")}));
    ASSERT_EQ(whole.status, 0) << whole.err;
    // A part whose copy or conversion stopped half way.
    const std::string two = readFile(out("part2.mp4"));
    writeFile(out("cut2.mp4"), two.substr(0, two.size() * 2 / 3));
    const std::vector<std::string> before = outputs();

    const std::string p1 = out("part1.mp4"), p2 = out("part2.mp4"), p3 = out("part3.mp4");
    const struct { const char* label; Args parts; std::string mentions; } cases[] = {
        {"reordered", {p2, p1, p3}, "\"" + p2 + "\" is part 2 of 3, but comes first"},
        {"missing in the middle", {p1, p3}, "\"" + p3 + "\" is part 3 of 3, but comes second"},
        {"missing at the end", {p1, p2}, "part 3 of 3 is missing"},
        {"duplicated", {p1, p1, p2, p3}, "\"" + p1 + "\" is part 1 of 3 again"},
        {"of another take", {p1, out("other2.mp4"), p3}, "\"" + out("other2.mp4") + "\" is a part of another take"},
        {"other encoder settings", {p1, p2, out("crf3.mp4")},
         "its encoder is \"h264 crf 24 fast keyframes 17\", not \"h264 crf 20 fast keyframes 17\""},
        {"cut short", {p1, out("cut2.mp4"), p3}, "\"" + out("cut2.mp4") + "\""},
        {"a whole conversion", {out("whole.mp4")}, "carries no part record"},
        {"a part that is not there", {p1, out("nope.mp4"), p3}, "cannot find the part \"" + out("nope.mp4") + "\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Run run = cli(with({"video-join", "-o", out("joined.mp4")}, c.parts));
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
        EXPECT_EQ(outputs(), before);
    }
    // Cut short: said as such when the file reads, or as unreadable when its index is gone too.
    const Run cut = cli({"video-join", "-o", out("joined.mp4"), p1, out("cut2.mp4"), p3});
    EXPECT_TRUE(cut.err.find("is cut short: it holds") != std::string::npos ||
                cut.err.find("cannot read the part") != std::string::npos)
        << cut.err;
    const Run onto = cli({"video-join", "-o", p1, p1, p2, p3});
    EXPECT_EQ(onto.status, 1);
    EXPECT_NE(onto.err.find("is one of the parts"), std::string::npos) << onto.err;
    EXPECT_EQ(readFile(p1).size(), fs::file_size(p1));
}

// The parts name the sound's camera by its identity, not by its path: parts made where the take is mounted at other
// places agree, and the join finds the camera file where the take now is, beside the parts, and only that file.
TEST_F(VideoJoinCliTest, TheSoundsCameraIsFoundWhereverTheTakeIsMounted) {
    if (!haveTool("ffprobe")) GTEST_SKIP() << "needs ffprobe (apt-get install ffmpeg)";
    // Part 1 where the take is, part 2 from a copy of it mounted elsewhere.
    const fs::path elsewhere = dir / "mount-b";
    fs::create_directories(elsewhere / "output");
    fs::copy(dir / "input", elsewhere / "input");
    fs::copy_file(dir / "Vistereo.ini", elsewhere / "Vistereo.ini");
    const auto part = [&](const fs::path& root, int k) {
        Args args = video({"--points", points_, "--segment", std::to_string(k) + "/2", "-o",
                           (root / "output" / ("part" + std::to_string(k) + ".mp4")).string()});
        *(std::find(args.begin(), args.end(), std::string("-C")) + 1) = root.string();
        const Run run = cli(args);
        ASSERT_EQ(run.status, 0) << run.err;
    };
    part(dir, 1);
    part(elsewhere, 2);
    fs::copy_file(elsewhere / "output/part2.mp4", dir / "output/part2.mp4");
    const std::vector<std::string> sound{"-select_streams", "a", "-show_entries", "packet=pts,size,data_hash",
                                         "-show_data_hash", "md5", "-of", "csv=p=0"};
    const Run here = cli({"video-join", "-o", out("here.mp4"), out("part1.mp4"), out("part2.mp4")});
    ASSERT_EQ(here.status, 0) << here.err;
    const std::string heard = probe(sound, out("here.mp4"));
    ASSERT_NE(heard, "");

    // The whole take moved to a third place: the recorded paths are gone.
    const fs::path moved = dir / "mount-c";
    fs::create_directories(moved);
    fs::rename(dir / "input", moved / "input");
    fs::rename(dir / "output", moved / "output");
    const std::string p1 = (moved / "output/part1.mp4").string(), p2 = (moved / "output/part2.mp4").string();
    const struct { const char* label; std::function<void()> arrange; int status; const char* mentions; } cases[] = {
        {"cameras in the take's input/", [] {}, 0, "sound: "},
        {"cameras beside the parts", [&] { fs::rename(moved / "input", moved / "output/cameras"), 
                                          fs::copy_file(moved / "output/cameras/L.mp4", moved / "output/L.mp4"); }, 0,
         "sound: "},
        {"another file under the camera's name", [&] { fs::copy_file(moved / "output/cameras/R.mp4", moved / "output/L.mp4",
                                                                     fs::copy_options::overwrite_existing); }, 1,
         "cannot find the left camera's file L.mp4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        c.arrange();
        const fs::path joined = moved / "joined.mp4";
        const Run run = cli({"video-join", "-o", joined.string(), p1, p2});
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
        if (c.status == 0) EXPECT_EQ(probe(sound, joined.string()), heard);
        else EXPECT_FALSE(fs::exists(joined));
        fs::remove(joined);
    }
}

TEST_F(VideoJoinCliTest, SegmentAndAlignmentFromAreCheckedBeforeAnyFrame) {
    writeFile(dir / "input/align.json", "{\"ok\": true, \"yaw_deg\": 1}");
    const struct { const char* label; Args args; int status; const char* mentions; } cases[] = {
        {"beyond the last part", {"--points", points_, "--segment", "4/3"}, 2, "--segment 4/3: there are only 3 parts"},
        {"part 0", {"--points", points_, "--segment", "0/3"}, 2, "--segment 0/3: parts are counted from 1"},
        {"no fraction", {"--points", points_, "--segment", "2"}, 2, "--segment takes K/N"},
        {"more parts than keyframe intervals", {"--points", points_, "--segment", "1/7"}, 1,
         "the range has 102 frames, 6 stretches between keyframes 17 frames apart: too few for 7 parts"},
        {"more parts than frames, no keyframe grid", {"--points", points_, "--keyframes", "0", "--segment", "1/103"}, 1,
         "the range has 102 frames, too few for 103"},
        {"a keyframe interval that is no number", {"--points", points_, "--keyframes", "-1"}, 2,
         "--keyframes takes a whole number of frames"},
        {"an answer without a rotation", {"--alignment-from", (dir / "input/align.json").string()}, 1,
         "holds no \"rotation\" of nine numbers"},
        {"a video that is no part", {"--alignment-from", (dir / "input/L.mp4").string()}, 1,
         "is neither a part of a take converted with --segment nor the answer of align --json"},
        {"with points too", {"--points", points_, "--alignment-from", (dir / "input/L.mp4").string()}, 2,
         "--alignment-from hands over an alignment found before"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Run run = cli(video(with(c.args, {"-o", out("o.mp4")})));
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
        EXPECT_TRUE(outputs().empty());
    }
    // align --json's rotation is every part's alignment, exactly as given.
    writeFile(dir / "input/align.json", "{\"rotation\": [1, 0, 0, 0, 0.99984769515639127, -0.017452406437283512, 0, "
                                        "0.017452406437283512, 0.99984769515639127], \"seconds\": 1}");
    const Run given = cli(video({"--alignment-from", (dir / "input/align.json").string(), "--segment", "1/2", "-o",
                                 out("g1.mp4")}));
    ASSERT_EQ(given.status, 0) << given.err;
    EXPECT_NE(probe({"-show_entries", "format_tags", "-of", "default=nw=1"}, out("g1.mp4"))
                  .find("alignment=rotation 1 0 0 0 0.99984769515639127 -0.017452406437283512 0 0.017452406437283512"),
              std::string::npos);
}

// Part 1 synchronises by the sound and hands its offset to the others with its alignment: a part handed it writes
// the very packets and record of a part that searched the sound itself, and joins with them. An offset handed from
// other camera files, or found over another range, is refused naming the part it came from, before any frame.
TEST_F(VideoJoinCliTest, APartHandedTheSynchronisationWritesTheFramesOfOneThatFoundIt) {
    if (!haveTool("ffprobe")) GTEST_SKIP() << "needs ffprobe (apt-get install ffmpeg)";
    const auto part = [&](const Args& more, const std::string& name, const char* left = "L.mp4",
                          const char* right = "R.mp4") {
        return cli(video(with(more, {"-o", out(name), "--json"}), left, right, nullptr));
    };
    const Run first = part({"--points", points_, "--segment", "1/3"}, "part1.mp4");
    ASSERT_EQ(first.status, 0) << first.err;
    const Run found = part({"--points", points_, "--segment", "2/3"}, "found2.mp4");
    ASSERT_EQ(found.status, 0) << found.err;
    const Args handOver{"--alignment-from", out("part1.mp4")};
    const Run handed = part(with(handOver, {"--segment", "2/3"}), "handed2.mp4");
    ASSERT_EQ(handed.status, 0) << handed.err;
    EXPECT_NE(handed.err.find("synchronised as the part " + out("part1.mp4") + " found it"), std::string::npos)
        << handed.err;
    EXPECT_EQ(found.err.find("synchronised as the part"), std::string::npos) << found.err;
    // One line or the other: the handed part does not say it found the offset.
    EXPECT_EQ(handed.err.find("synchronised: the right camera runs"), std::string::npos) << handed.err;
    EXPECT_NE(found.err.find("synchronised: the right camera runs"), std::string::npos) << found.err;
    EXPECT_NEAR(field(handed.out, "offset_seconds"), -(0.25 + 37.0 / 48000), 1e-6);
    EXPECT_EQ(field(handed.out, "offset_seconds"), field(found.out, "offset_seconds"));
    EXPECT_EQ(field(handed.out, "offset_confidence"), field(found.out, "offset_confidence"));

    const std::vector<std::string> packets{"-select_streams", "v", "-show_entries", "packet=pts,dts,size,data_hash",
                                           "-show_data_hash", "md5", "-of", "csv=p=0"};
    const std::vector<std::string> record{"-show_entries", "format_tags", "-of", "default=nw=1"};
    EXPECT_EQ(probe(packets, out("handed2.mp4")), probe(packets, out("found2.mp4")));
    EXPECT_NE(probe(packets, out("handed2.mp4")), "");
    EXPECT_EQ(probe(record, out("handed2.mp4")), probe(record, out("found2.mp4")));
    const Run third = part(with(handOver, {"--segment", "3/3"}), "part3.mp4");
    ASSERT_EQ(third.status, 0) << third.err;
    const Run join = cli({"video-join", "-o", out("joined.mp4"), out("part1.mp4"), out("handed2.mp4"), out("part3.mp4"),
                          "--json"});
    ASSERT_EQ(join.status, 0) << join.err;
    EXPECT_EQ(field(join.out, "frames"), kFrames);

    const std::vector<std::string> before = outputs();
    const struct { const char* label; Args args; const char* left; const char* right; const char* mentions; } cases[] = {
        {"another take's files", {"--segment", "2/3"}, "L2.mp4", "R2.mp4",
         "was synchronised on other camera files: its left video is L.mp4 "},
        {"the right camera swapped", {"--segment", "2/3"}, "L.mp4", "L.mp4", "its right video is R.mp4 "},
        {"another range", {"--segment", "2/3", "--duration", "3"}, "L.mp4", "R.mp4",
         "over frames 6 to 107 of the left video, this range is 6 to 77"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Run run = part(with(handOver, c.args), "refused.mp4", c.left, c.right);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find("--alignment-from: the part " + out("part1.mp4") + " was synchronised"), std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
        EXPECT_EQ(outputs(), before);
    }
}
