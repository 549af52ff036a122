#include "cli/command_catalogue.h"

#include <array>
#include <string>

namespace vistereo::cli {

std::span<const CommandHelp* const> commandCatalogue() {
    static constexpr std::array<const CommandHelp*, 14> commands = {
        &kConvertHelp,    &kBatchHelp,      &kVideoHelp,      &kVideoJoinHelp, &kMatchHelp,        &kAlignHelp,
        &kCheckHelp,      &kLensListHelp,   &kLensShowHelp,   &kLensAddHelp,      &kLensImportHelp,
        &kLensRemoveHelp, &kLensDetectHelp, &kLensCalibrateHelp};
    return commands;
}

namespace {

constexpr CommandExample kConvertExamples[] = {
    {"vistereo-cli convert --left-lens \"My fisheye\" --right-lens \"My fisheye\" --auto-align",
     "convert input/L.jpg and input/R.jpg into output/LROut.jpg, aligned from the pictures"},
    {"vistereo-cli convert --left-lens '#1' --right-lens '#1' --points 812,2970,790,2950,1510,1490,1522,1501",
     "align the right eye by points A and B (x of A left, B left, A right, B right, then their y)"},
    {"vistereo-cli convert -C ~/shoot --left-lens '#1' --right-lens '#2' --auto-align --match-colour -o beach.jpg a.jpg b.jpg",
     "input/a.jpg and input/b.jpg of ~/shoot, the eyes' colours matched, into its output/beach.jpg"},
};
constexpr CommandExample kBatchExamples[] = {
    {"vistereo-cli batch --left-lens \"My fisheye\" --right-lens \"My fisheye\" --auto-align --align-once",
     "every pair of input/left and input/right, aligned once from the first pair that aligns"},
    {"vistereo-cli batch --left-lens '#1' --right-lens '#1' --auto-align --pairs shoot.csv --dry-run",
     "show how the pairs file pairs the pictures and what would be written, writing nothing"},
};
constexpr CommandExample kVideoExamples[] = {
    {"vistereo-cli video --left-lens '#1' --right-lens '#1' --auto-align -o take1.mp4 L.mp4 R.mp4",
     "both cameras' videos, synchronised by their sound, into output/take1.mp4"},
    {"vistereo-cli video --left-lens '#1' --right-lens '#1' --auto-align --start 12 --duration 30 --crf 18 -o c.mp4 L.mp4 R.mp4",
     "thirty seconds from the left camera's 12th second, at a higher quality (lower CRF)"},
};
constexpr CommandExample kMatchExamples[] = {
    {"vistereo-cli match --point 812,1510 --point 2970,1490",
     "the right image's partners of two points of input/L.jpg, one \"X,Y\" line each"},
    {"vistereo-cli match -C ~/shoot --point 812,1510 left.jpg right.jpg", "the same for another folder's pair"},
};
constexpr CommandExample kAlignExamples[] = {
    {"vistereo-cli align --left-lens '#1' --right-lens '#1'",
     "the right camera's rotation and the measured misalignment of input/L.jpg and input/R.jpg"},
    {"vistereo-cli align --left-lens '#1' --right-lens '#1' --refine-lenses --save-lenses \" refined\" --json",
     "also fit the lenses to the pictures, keep them as new records, and answer in one JSON line"},
};
constexpr CommandExample kCheckExamples[] = {
    {"vistereo-cli check output/LROut.jpg", "judge a finished side-by-side image: misalignment, window, colour"},
    {"vistereo-cli check --json beach.vr.jpg", "the same for a VR180 photo, as one JSON line"},
};
constexpr CommandExample kLensListExamples[] = {
    {"vistereo-cli lens list", "the records of ./Vistereo.ini and of the user's lens file, numbered"},
    {"vistereo-cli lens list -C ~/shoot --lenses rig.ini", "those of another folder and of a lens file of its own"},
};
constexpr CommandExample kLensShowExamples[] = {
    {"vistereo-cli lens show \"My fisheye\"", "the record in words: projection, field of view, circle, axis"},
    {"vistereo-cli lens show '#2'", "the second record of the list"},
};
constexpr CommandExample kLensAddExamples[] = {
    {"vistereo-cli lens add --user \"My fisheye\" --projection equidistant --fov 180 --detect input/L.jpg",
     "register a fisheye in the user's lens file, its image circle found in a photo of its own"},
    {"vistereo-cli lens add \"Sony 8mm\" --projection equisolid --fov 190 --circle 3012,2004,1950",
     "register a lens in ./Vistereo.ini with a circle measured already"},
};
constexpr CommandExample kLensImportExamples[] = {
    {"vistereo-cli lens import --user camchain.yaml --camera 1 --name \"T265 right\"",
     "the second camera of a Kalibr calibration, as a record of the user's lens file"},
    {"vistereo-cli lens import calibration.xml", "an OpenCV fisheye calibration into ./Vistereo.ini"},
};
constexpr CommandExample kLensRemoveExamples[] = {
    {"vistereo-cli lens remove \"Old lens\"", "delete the record of that name from ./Vistereo.ini"},
    {"vistereo-cli lens remove --user '#1'", "delete the first record of the user's lens file"},
};
constexpr CommandExample kLensDetectExamples[] = {
    {"vistereo-cli lens detect input/L.jpg", "the image circle of one photo: centre and radius in dots"},
    {"vistereo-cli lens detect --json input/left/*.jpg", "one circle over a whole shoot, and each photo's distance from it"},
};
constexpr CommandExample kLensCalibrateExamples[] = {
    {"vistereo-cli lens calibrate --left-lens '#1' --right-lens '#1'",
     "how far the right lens departs from its record, over the pairs of input/left and input/right"},
    {"vistereo-cli lens calibrate --left-lens '#1' --right-lens '#1' --save-lenses \" calibrated\"",
     "keep the calibrated right lens as a new record beside its own"},
};
constexpr CommandExample kVideoJoinExamples[] = {
    {"vistereo-cli video-join -o take.mp4 part-1.mp4 part-2.mp4 part-3.mp4",
     "the three parts of video --segment 1/3 .. 3/3 as one VR180 MP4 with the sound of the whole range"},
    {"vistereo-cli video-join --json -o take.mp4 parts/*.mp4", "the same from a folder of parts, answered in one JSON line"},
};

struct CommandUseEntry {
    const CommandHelp* command;
    CommandUse use;
};

const CommandUseEntry kUses[] = {
    {&kConvertHelp, {kConvertExamples, "the conversion was refused or failed, or no lens is registered"}},
    {&kBatchHelp, {kBatchExamples, "a pair was refused or failed (the others are converted), or no lens is registered"}},
    {&kVideoHelp, {kVideoExamples, "the video was refused or failed, or no lens is registered"}},
    {&kMatchHelp, {kMatchExamples, "a point has no partner, or an image cannot be read"}},
    {&kAlignHelp, {kAlignExamples, "the pair cannot be aligned or read, or no lens is registered"}},
    {&kCheckHelp, {kCheckExamples, "the image cannot be read or measured"}},
    {&kLensListHelp, {kLensListExamples, "a lens file cannot be read"}},
    {&kLensShowHelp, {kLensShowExamples, "no record has that name or number"}},
    {&kLensAddHelp, {kLensAddExamples, "the lens cannot be registered (its values, its name, the file)"}},
    {&kLensImportHelp, {kLensImportExamples, "the calibration cannot be read or registered"}},
    {&kLensRemoveHelp, {kLensRemoveExamples, "no record has that name, or the file cannot be written"}},
    {&kLensDetectHelp, {kLensDetectExamples, "no image circle was found, or an image cannot be read"}},
    {&kLensCalibrateHelp, {kLensCalibrateExamples, "the pairs cannot be calibrated, or no lens is registered"}},
    {&kVideoJoinHelp, {kVideoJoinExamples, "a part is missing, doubled, out of order, foreign or cut short, or the video cannot be written"}},
};

}  // namespace

CommandUse commandUse(const CommandHelp& command) {
    for (const CommandUseEntry& entry : kUses)
        if (entry.command == &command) return entry.use;
    return {};
}

void printCommandHelp(std::ostream& out, const CommandHelp& command) {
    out << command.usage;
    if (*command.description) out << "\n" << command.description << "\n\n";
    out << formatOptionHelp(command.options);
    const CommandUse use = commandUse(command);
    if (!use.examples.empty()) {
        out << "\nexamples:\n";
        for (const CommandExample& example : use.examples) out << "  " << example.line << "\n      " << example.what << "\n";
    }
    out << "\nexit status:\n"
           "  0  done\n"
           "  1  " << (use.failure ? use.failure : "refused or failed") << " (the reason is on standard error)\n"
           "  2  usage error: an option or argument that does not fit (the usage follows the reason)\n";
}

void printProgramHelp(std::ostream& out) {
    out << "usage: vistereo-cli <command> [options]\n\n" << kProgramDescription << "\n\ncommands:\n";
    for (const CommandHelp* command : commandCatalogue()) {
        const std::string name = command->name;
        out << "  " << name << std::string(name.size() < 12 ? 12 - name.size() : 1, ' ') << command->summary << "\n";
    }
    out << "\noptions:\n"
           "  -h, --help     show this help ('vistereo-cli <command> --help' for a command's options)\n"
           "  --version      show the version\n";
}

}  // namespace vistereo::cli
