// Cameras that film in HDR (HLG or PQ, 10 bits, BT.2020), made from the synthetic take by ffmpeg's x265: written
// at 8 bits with their transfer and primaries when both eyes share them, refused when the eyes differ or the
// frames would go through BGR, which knows SDR only; nothing written on a refusal.
#include <gtest/gtest.h>

#include "tests/cli/cli_test_support.h"
#include "tests/support/synth_video.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

class VideoHdrCliTest : public CliTest {
protected:
    static void SetUpTestSuite() {
        media::silenceVideoLibraries();
        shared_ = fs::temp_directory_path() / ("vistereo_video_hdr_" + std::to_string(getpid()));
        fs::create_directories(shared_);
        SynthTake take;
        take.frames = 12, take.rightStartsAt = 0;
        writeSynthTake(take, shared_ / "L.mp4", shared_ / "R.mp4");
        points_ = synthTakePoints(take);
        // Each camera file again in 10 bits with an HDR transfer (and HLG's mastering display and light levels).
        const struct { const char* name; const char* transfer; } profiles[] = {{"hlg", "arib-std-b67"},
                                                                              {"pq", "smpte2084"}};
        for (const auto& profile : profiles)
            for (const char* side : {"L", "R"})
                made_ &= !toolOutput({"sh", "-c",
                                      std::string("ffmpeg -v error -y -i ") + (shared_ / side).string() +
                                          ".mp4 -c:v libx265 -preset ultrafast -pix_fmt yuv420p10le "
                                          "-color_primaries bt2020 -colorspace bt2020nc -color_trc " + profile.transfer +
                                          " -x265-params log-level=error:master-display='G(13250,34500)B(7500,3000)"
                                          "R(34000,16000)WP(15635,16450)L(10000000,1)':max-cll=1000,400 -c:a copy " +
                                          (shared_ / side).string() + profile.name + ".mp4 && echo made"})
                              .empty();
    }
    static void TearDownTestSuite() { fs::remove_all(shared_); }
    void SetUp() override {
        CliTest::SetUp();
        if (!made_) GTEST_SKIP() << "needs ffmpeg with libx265 (apt-get install ffmpeg)";
        for (const auto& e : fs::directory_iterator(shared_)) fs::copy_file(e.path(), dir / "input" / e.path().filename());
    }
    Args video(const char* left, const char* right, const Args& more = {}) const {
        return with({"video", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--height", "64", "--preset",
                     "ultrafast", "--offset", "0", "--points", points_, left, right, "-o", "o.mp4"}, more);
    }
    static inline fs::path shared_;
    static inline std::string points_;
    static inline bool made_ = true;
};

}  // namespace

TEST_F(VideoHdrCliTest, BothEyesInOneHdrProfileKeepItsTagsAndMixedOnesAreRefused) {
    const struct { const char* label; Args args; int status; const char* mentions; const char* transfer; } cases[] = {
        {"both HLG", video("Lhlg.mp4", "Rhlg.mp4"), 0, "the videos are HDR (HLG, ", "arib-std-b67"},
        {"both PQ, in HEVC", video("Lpq.mp4", "Rpq.mp4", {"--codec", "hevc"}), 0, "the videos are HDR (PQ, ", "smpte2084"},
        {"HLG beside SDR", video("Lhlg.mp4", "R.mp4"), 1,
         "the left video is HDR (HLG, transfer arib-std-b67) and the right video is SDR (transfer bt709)", nullptr},
        {"SDR beside PQ", video("L.mp4", "Rpq.mp4"), 1, "and the right video is HDR (PQ, transfer smpte2084)", nullptr},
        {"HLG beside PQ", video("Lhlg.mp4", "Rpq.mp4"), 1, "one eye's picture cannot be matched to the other's", nullptr},
        {"HLG through BGR", video("Lhlg.mp4", "Rhlg.mp4", {"--interp", "bicubic"}), 1,
         "the videos are HDR (HLG), which is converted only as its planes", nullptr},
        {"HLG with its colours matched", video("Lhlg.mp4", "Rhlg.mp4", {"--match-colour"}), 1,
         "without --match-colour, with --interp bilinear", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Run run = cli(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
        const fs::path written = dir / "output/o.mp4";
        if (!c.transfer) {
            EXPECT_TRUE(outputs().empty());
            continue;
        }
        // 10 bits in are cut to 8 and said so; the transfer and primaries reach the file.
        EXPECT_NE(run.err.find("10-bit video (yuv420p10le) is converted to 8 bits"), std::string::npos) << run.err;
        EXPECT_EQ(toolOutput({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                              "stream=pix_fmt,color_transfer,color_primaries", "-of", "default=nw=1:nk=1",
                              written.string()}),
                  std::string("yuv420p\n") + c.transfer + "\nbt2020\n");
        fs::remove(written);
    }
}
