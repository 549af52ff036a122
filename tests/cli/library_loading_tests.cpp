// vistereo-cli opens FFmpeg's libraries and OpenCV's image codecs only for the
// work that needs them: with one of them damaged (a file of that name first on
// LD_LIBRARY_PATH that is no library), a conversion that does not need it
// still runs, and one that does is refused with the loader's reason rather
// than ending in a crash or never starting.
#include <gtest/gtest.h>

#include "videofile/video_reader.h"
#include "tests/cli/cli_test_support.h"
#include "tests/support/synth_video.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

using LibraryLoadingTest = CliTest;

TEST_F(LibraryLoadingTest, OnlyTheWorkThatNeedsALibraryMissesIt) {
    media::silenceVideoLibraries();
    SynthTake take;
    take.frames = 6;
    writeSynthTake(take, dir / "input/L.mp4", dir / "input/R.mp4");
    writeNoise("L.png", 64, 48, 1), writeNoise("R.png", 64, 48, 2);
    writeNoise("L.jpg", 64, 48, 1), writeNoise("R.jpg", 64, 48, 2);
    const auto photo = [&](const std::string& output, const std::string& type = ".png") {
        return convert({"--left", "L" + type, "--right", "R" + type, "-o", output});
    };
    const Args video = {"video", "-C", dir.string(), "--left-lens", "#1", "--right-lens", "#1", "--height", "64",
                        "--preset", "ultrafast", "--offset", "0", "--points", synthTakePoints(take), "L.mp4", "R.mp4",
                        "-o", "pair.mp4"};
    const struct {
        const char* label;
        std::string damaged;
        Args args;
        const char* output;
        const char* refusal;  // "" when it converts
    } cases[] = {
        {"FFmpeg for a photo", VISTEREO_AVFORMAT_SONAME, photo("pair.png"), "pair.png", ""},
        {"FFmpeg for a video", VISTEREO_AVFORMAT_SONAME, video, "pair.mp4",
         "FFmpeg's libraries could not be loaded: "},
        // A JPEG output is known to be writable without the codecs; the PNG inputs need them.
        {"the image codecs for PNG photos", VISTEREO_IMGCODECS_SONAME, photo("pair.jpg"), "pair.jpg",
         "OpenCV's image codecs could not be loaded: "},
        {"the image codecs for a PNG output", VISTEREO_IMGCODECS_SONAME, photo("pair.png", ".jpg"), "pair.png",
         "OpenCV's image codecs could not be loaded: "},
        {"the image codecs for JPEG photos", VISTEREO_IMGCODECS_SONAME, photo("pair.jpg", ".jpg"), "pair.jpg", ""},
        {"the image codecs for a video", VISTEREO_IMGCODECS_SONAME, video, "pair.mp4", ""},
    };
    // Each run with its damaged library in shadow/, first on the loader's path.
    setenv("LD_LIBRARY_PATH", (dir / "shadow").c_str(), 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir / "shadow"), fs::create_directories(dir / "shadow");
        writeFile(dir / "shadow" / c.damaged, "this is not a shared library\n");
        const Run run = cli(c.args);
        const bool refused = *c.refusal != 0;
        EXPECT_EQ(run.status, refused ? 1 : 0) << run.err;
        if (refused) {
            EXPECT_NE(run.err.find(c.refusal), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(c.damaged), std::string::npos) << run.err;  // the loader's reason names the file
        }
        EXPECT_EQ(fs::exists(dir / "output" / c.output), !refused);
        fs::remove(dir / "output" / c.output);
    }
    unsetenv("LD_LIBRARY_PATH");
}

}  // namespace
