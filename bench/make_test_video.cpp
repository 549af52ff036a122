// make_test_video: two cameras' H.264 videos of one take seen from the centre of the bundled panorama, for the
// video benchmark: the rig pans slowly, the right camera is turned by 2 degrees of yaw, -1 of pitch and 1.5 of roll
// against the left one and starts filming a little later, both hear the same clicks, every frame carries a little
// sensor noise. Prints the rig's points A and B as a comma line.
//
//   make_test_video OUTDIR WIDTH HEIGHT FPS SECONDS [--right-starts S] [--pan DEG_PER_S] [--noise SIGMA]
//                   [--crf Q] [--preset P]
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "tests/support/synth_video.h"

using namespace vistereo;
using namespace vistereo::testsupport;

int main(int argc, char** argv) {
    if (argc < 6) {
        std::cerr << "usage: make_test_video OUTDIR WIDTH HEIGHT FPS SECONDS [--right-starts S] [--pan DEG_PER_S] "
                     "[--noise SIGMA] [--crf Q] [--preset P]\n";
        return 2;
    }
    media::silenceVideoLibraries();
    const std::filesystem::path outDir = argv[1];
    SynthTake take;
    take.width = std::atoi(argv[2]), take.height = std::atoi(argv[3]);
    take.leftRate = take.rightRate = {std::atoi(argv[4]), 1};
    take.frames = static_cast<int>(std::atof(argv[5]) * take.leftRate.num);
    take.rightStartsAt = 0.2, take.panDegreesPerSecond = 5.0, take.noise = 2.0;
    take.encoding = {media::VideoCodec::H264, 18, "veryfast", 0};
    for (int i = 6; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--right-starts") take.rightStartsAt = std::atof(value.c_str());
        else if (option == "--pan") take.panDegreesPerSecond = std::atof(value.c_str());
        else if (option == "--noise") take.noise = std::atof(value.c_str());
        else if (option == "--crf") take.encoding.crf = std::atoi(value.c_str());
        else if (option == "--preset") take.encoding.preset = value;
        else return 2;
    }
    std::filesystem::create_directories(outDir);
    writeSynthTake(take, outDir / "L.mp4", outDir / "R.mp4");
    std::cout << synthTakePoints(take) << "\n";
    return 0;
}
