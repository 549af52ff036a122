// Cameras that film in HDR (HLG or PQ, 10 bits, BT.2020), made from the synthetic take by ffmpeg's x265: written
// with their transfer and primaries when both eyes share them (at 10 bits as HEVC Main 10 with the mastering
// display and content light, at 8 bits as H.264), refused when the eyes differ or the frames would go through
// BGR, which knows SDR only; nothing written on a refusal. ffprobe reads the output as an independent reader.
#include <gtest/gtest.h>

#include "tests/cli/cli_test_support.h"
#include "tests/support/synth_video.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

class VideoHdrCliTest : public VideoTakeTest {
protected:
    static void SetUpTestSuite() {
        const fs::path& shared = takeFolder("vistereo_video_hdr");
        SynthTake take;
        take.frames = 12, take.rightStartsAt = 0;
        writeSynthTake(take, shared / "L.mp4", shared / "R.mp4");
        points_ = synthTakePoints(take);
        // Each camera file again in 10 bits with an HDR transfer (and HLG's mastering display and light levels).
        const struct { const char* name; const char* transfer; const char* primaries; const char* matrix; } profiles[] = {
            {"hlg", "arib-std-b67", "bt2020", "bt2020nc"}, {"pq", "smpte2084", "bt2020", "bt2020nc"},
            {"ten", "bt709", "bt709", "bt709"}};
        for (const auto& profile : profiles)
            for (const char* side : {"L", "R"})
                made_ &= !toolOutput({"sh", "-c",
                                      std::string("ffmpeg -v error -y -i ") + (shared / side).string() +
                                          ".mp4 -c:v libx265 -preset ultrafast -pix_fmt yuv420p10le "
                                          "-color_primaries " + profile.primaries + " -colorspace " + profile.matrix +
                                          " -color_trc " + profile.transfer +
                                          " -x265-params log-level=error:master-display='G(13250,34500)B(7500,3000)"
                                          "R(34000,16000)WP(15635,16450)L(10000000,1)':max-cll=1000,400 -c:a copy " +
                                          (shared / side).string() + profile.name + ".mp4 && echo made"})
                              .empty();
    }
    void SetUp() override {
        VideoTakeTest::SetUp();
        if (!made_) GTEST_SKIP() << "needs ffmpeg with libx265 (apt-get install ffmpeg)";
    }
    Args video(const char* left, const char* right, const Args& more = {}) const {
        return with({"video", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--height", "64", "--preset",
                     "ultrafast", "--offset", "0", "--points", points_, left, right, "-o", "o.mp4"}, more);
    }
    static inline bool made_ = true;
};

}  // namespace

TEST_F(VideoHdrCliTest, BothEyesInOneHdrProfileKeepItsTagsAndMixedOnesAreRefused) {
    const char* const tenBits = "remapped at 10 bits and written as HEVC Main 10";
    const char* const cutTo8 = "10-bit video (yuv420p10le) is converted to 8 bits";
    const struct {
        const char* label;
        Args args;
        int status;
        const char* mentions;
        const char* stream;  // profile, pix_fmt, transfer, primaries as ffprobe gives them; nullptr: nothing written
        bool light;          // the mastering display and content light reach the frames
    } cases[] = {
        {"both HLG, in H.264: 8 bits, said", video("Lhlg.mp4", "Rhlg.mp4"), 0, "H.264 is written at 8 bits",
         "Constrained Baseline\nyuv420p\narib-std-b67\nbt2020\n", false},
        {"both PQ, in HEVC", video("Lpq.mp4", "Rpq.mp4", {"--codec", "hevc"}), 0, tenBits,
         "Main 10\nyuv420p10le\nsmpte2084\nbt2020\n", true},
        {"both HLG, in HEVC", video("Lhlg.mp4", "Rhlg.mp4", {"--codec", "hevc"}), 0, tenBits,
         "Main 10\nyuv420p10le\narib-std-b67\nbt2020\n", true},
        {"10-bit SDR beside 8-bit, in HEVC", video("Lten.mp4", "R.mp4", {"--codec", "hevc"}), 0,
         "the left video is 10-bit and the right 8-bit: both eyes are written at 8 bits", "Main\nyuv420p\nbt709\nbt709\n",
         false},
        {"HLG beside SDR", video("Lhlg.mp4", "R.mp4"), 1,
         "the left video is HDR (HLG, transfer arib-std-b67) and the right video is SDR (transfer bt709)", nullptr, false},
        {"SDR beside PQ", video("L.mp4", "Rpq.mp4"), 1, "and the right video is HDR (PQ, transfer smpte2084)", nullptr, false},
        {"HLG beside PQ", video("Lhlg.mp4", "Rpq.mp4"), 1, "one eye's picture cannot be matched to the other's", nullptr, false},
        {"HLG through BGR", video("Lhlg.mp4", "Rhlg.mp4", {"--interp", "bicubic"}), 1,
         "the videos are HDR (HLG), which is converted only as its planes", nullptr, false},
        {"HLG with its colours matched", video("Lhlg.mp4", "Rhlg.mp4", {"--match-colour"}), 1,
         "without --match-colour, with --interp bilinear", nullptr, false},
    };
    std::vector<fs::path> kept;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Run run = cli(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
        const fs::path written = dir / "output/o.mp4";
        if (!c.stream) {
            EXPECT_TRUE(outputs().empty());
            continue;
        }
        // A cut to 8 bits is said; a 10-bit output says it is not cut.
        const bool deep = std::string(c.stream).starts_with("Main 10");
        EXPECT_EQ(run.err.find(cutTo8) == std::string::npos, deep) << run.err;
        EXPECT_EQ(toolOutput({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                              "stream=pix_fmt,profile,color_transfer,color_primaries", "-of", "default=nw=1:nk=1",
                              written.string()}),
                  c.stream);
        // The cameras' mastering display and content light, as the first frame's side data.
        const std::string light = toolOutput({"ffprobe", "-v", "error", "-select_streams", "v", "-read_intervals",
                                              "%+#1", "-show_entries", "frame_side_data", "-of", "default=nw=1",
                                              written.string()});
        // And as the MP4's own boxes (mdcv, clli), which ffprobe reads as the stream's side data.
        const std::string boxes = toolOutput({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                              "stream_side_data", "-of", "default=nw=1", written.string()});
        for (const char* field : {"green_x=13250/50000", "white_point_y=16450/50000", "max_luminance=10000000/10000",
                                  "min_luminance=1/10000", "max_content=1000", "max_average=400"}) {
            EXPECT_EQ(light.find(field) != std::string::npos, c.light) << field << "\n" << light;
            EXPECT_EQ(boxes.find(field) != std::string::npos, c.light) << field << "\n" << boxes;
        }
        kept.push_back(dir / ("kept" + std::to_string(kept.size()) + ".mp4"));
        fs::rename(written, kept.back());
    }
    // The same picture at 10 bits as at 8 (HLG in HEVC against HLG in H.264): the same geometry, levels and rim
    // black; a rim of the wrong chroma or a plane blended at the wrong depth is far below this.
    ASSERT_GE(kept.size(), 3u);
    const std::string psnr = toolOutput({"sh", "-c", "ffmpeg -v info -i " + kept[2].string() + " -i " + kept[0].string() +
                                                         " -lavfi '[0]format=yuv420p[a];[a][1]psnr' -f null - 2>&1 | "
                                                         "sed -n 's/.*PSNR.* average:\\([0-9.]*\\).*/\\1/p'"});
    EXPECT_GE(std::atof(psnr.c_str()), 38.0) << psnr;
}
