// vistereo-cli lens: the registered camera-and-lens records. list shows them
// (flagging records whose values cannot describe a lens, and the lines of the
// file the reader could not take), show tells one in words, add writes one
// from a projection, a field of view and an image circle, import writes one
// from a calibration file, detect finds the image circle in photographs,
// calibrate refines the right lens on the pairs of a shoot.
#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <sstream>

#include "lens/image_circle.h"
#include "cli/command_catalogue.h"
#include "cli/commands.h"
#include "cli/options/common.h"
#include "cli/options/json_reply.h"
#include "cli/options/conversion_options.h"
#include "cli/options/lens_refinement_report.h"
#include "cli/options/lens_saving.h"
#include "cli/options/option_table.h"
#include "batch/batch_pairs.h"
#include "calibration/lens_calibration.h"
#include "lens/calibration_file.h"
#include "lens/lens_description.h"
#include "lens/lens_precision.h"
#include "lens/lens_selection.h"
#include "conversion/request.h"
#include "lens/lens_check.h"
#include "base/message_text.h"
#include "registry/registry_writes.h"

namespace vistereo::cli {
namespace {

constexpr std::array<OptionSpec, 3> kListOptions{{
    {"directory", 'C', "DIR", "working directory holding Vistereo.ini (default: .)"},
    kLensesOption,
    {"help", 'h', nullptr, "show this help"},
}};

constexpr OptionSpec kUserOption{"user", 0, nullptr,
                                 "write the user's lens file ($XDG_CONFIG_HOME/vistereo/Vistereo.ini, by default\n"
                                 "                            ~/.config/vistereo/Vistereo.ini) instead of DIR/Vistereo.ini"};

constexpr std::array<OptionSpec, 3> kRemoveOptions{{
    {"directory", 'C', "DIR", "working directory holding Vistereo.ini (default: .)"},
    kUserOption,
    {"help", 'h', nullptr, "show this help"},
}};

// One camera's pictures and how far they must be turned clockwise to stand upright: --turn, or the pair
// commands' --left-turn or --right-turn for the camera they are from.
constexpr OptionSpec kTurnOption{"turn", 0, "DEG",
                                 "how far the pictures must be turned clockwise to stand upright: 0, 90, 180\n"
                                 "                            or 270 (a sensor mounted sideways)"};
constexpr OptionSpec kLeftTurnAlias = withHelp(kLeftTurnOption, "the same as --turn, for a left camera's pictures");
constexpr OptionSpec kRightTurnAlias = withHelp(kRightTurnOption, "the same as --turn, for a right camera's pictures");

constexpr std::array<OptionSpec, 8> kDetectOptions{{
    {"directory", 'C', "DIR", "directory the IMAGEs are relative to (default: .)"},
    kJsonOption,
    withHelp(kTurnOption, "how far the pictures must be turned clockwise to stand upright: 0, 90, 180\n"
                          "                            or 270; the circle is told in the upright picture too"),
    kLeftTurnAlias,
    kRightTurnAlias,
    kMaxInputOption,
    kIgnoreOrientationOption,
    {"help", 'h', nullptr, "show this help"},
}};

constexpr std::array<OptionSpec, 12> kAddOptions{{
    {"directory", 'C', "DIR", "working directory holding Vistereo.ini (default: .)"},
    kUserOption,
    {"projection", 0, "KIND", "equidistant, equisolid, stereographic, orthographic, sine:K, poly:K1,K2,K3,K4,\n"
                              "                            ds:XI,ALPHA or eucm:ALPHA,BETA"},
    {"fov", 0, "DEG", "field of view across the image circle, in degrees (for example 190)"},
    {"circle", 0, "X,Y,R", "the image circle's centre and radius in dots, as 'lens detect' reports it"},
    {"detect", 0, nullptr, "find the circle in the IMAGEs given after NAME instead (relative to -C DIR)"},
    withHelp(kTurnOption, "how far the lens's pictures must be turned clockwise to stand upright: 0, 90,\n"
                          "                            180 or 270, kept in the record"),
    kLeftTurnAlias,
    kRightTurnAlias,
    kMaxInputOption,
    kIgnoreOrientationOption,
    {"help", 'h', nullptr, "show this help"},
}};

constexpr std::array<OptionSpec, 7> kImportOptions{{
    {"directory", 'C', "DIR", "working directory holding Vistereo.ini (default: .)"},
    kUserOption,
    {"camera", 0, "N", "the camera of a file that holds several, counted from 0 (Kalibr cam0, cam1;\n"
                       "                            OpenCV stereo K1, K2) (default: 0)"},
    {"name", 0, "NAME", "register the lens under NAME (default: the file's name, and the camera's)"},
    {"model", 0, "kannala-brandt", "read four coefficients filed under another model's name (plumb_bob) as\n"
                                   "                            a fisheye's k1 .. k4"},
    withHelp(kTurnOption, "how far the camera's pictures must be turned clockwise to stand upright: 0,\n"
                          "                            90, 180 or 270, kept in the record"),
    {"help", 'h', nullptr, "show this help"},
}};

constexpr std::array<OptionSpec, 17> kCalibrateOptions{{
    withHelp(kDirectoryOption, "working directory holding input/ and Vistereo.ini (default: .)"),
    kLeftLensOption,
    kRightLensOption,
    kLensesOption,
    {"left-dir", 0, "DIR", "folder of the left images (default: input/left)"},
    {"right-dir", 0, "DIR", "folder of the right images, paired with the left by name (default: input/right)"},
    {"pairs", 0, "FILE", "the pairs instead, one a line, as batch --pairs reads them (names in input/)"},
    withHelp(kRefineShapeOption, "fit the right lens's first shape term too"),
    withHelp(kSaveLensesOption, "write the refined right lens as a new record named LENS+SUFFIX, beside\n"
                                "                            the right lens's in the file it came from"),
    withHelp(kThreadsOption, "threads (default: 0 = every hardware thread)"),
    kLeftTurnOption,
    kRightTurnOption,
    kMaxInputOption,
    kIgnoreOrientationOption,
    kJsonOption,
    kHelpOption,
    kQuietOption,
}};

constexpr const char* kListUsage = "usage: vistereo-cli lens list [-C DIR] [--lenses FILE]\n";
constexpr const char* kShowUsage = "usage: vistereo-cli lens show [-C DIR] [--lenses FILE] NAME\n";
constexpr const char* kAddUsage =
    "usage: vistereo-cli lens add [-C DIR] [--user] NAME --projection KIND --fov DEG (--circle X,Y,R | --detect IMAGE...)\n"
    "                             [--turn DEG]\n";
constexpr const char* kImportUsage =
    "usage: vistereo-cli lens import [-C DIR] [--user] FILE [--camera N] [--name NAME] [--model kannala-brandt]\n"
    "                                [--turn DEG]\n";
constexpr const char* kRemoveUsage = "usage: vistereo-cli lens remove [-C DIR] [--user] NAME\n";
constexpr const char* kDetectUsage = "usage: vistereo-cli lens detect [-C DIR] [--json] [--turn DEG] IMAGE...\n";
constexpr const char* kCalibrateUsage =
    "usage: vistereo-cli lens calibrate [-C DIR] --left-lens L --right-lens R (--left-dir D --right-dir D | --pairs FILE)\n"
    "                                [--left-turn DEG] [--right-turn DEG] [--refine-shape] [--save-lenses SUFFIX] [--json]\n";
constexpr const char* kUsage =
    "usage: vistereo-cli lens list [-C DIR] [--lenses FILE]\n"
    "       vistereo-cli lens show [-C DIR] [--lenses FILE] NAME\n"
    "       vistereo-cli lens add [-C DIR] [--user] NAME --projection KIND --fov DEG (--circle X,Y,R | --detect IMAGE...)\n"
    "                             [--turn DEG]\n"
    "       vistereo-cli lens import [-C DIR] [--user] FILE [--camera N] [--name NAME] [--model kannala-brandt]\n"
    "                                [--turn DEG]\n"
    "       vistereo-cli lens remove [-C DIR] [--user] NAME\n"
    "       vistereo-cli lens detect [-C DIR] [--json] [--turn DEG] IMAGE...\n"
    "       vistereo-cli lens calibrate [-C DIR] --left-lens L --right-lens R (--left-dir D --right-dir D | --pairs FILE)\n"
    "                                [--left-turn DEG] [--right-turn DEG] [--refine-shape] [--save-lenses SUFFIX] [--json]\n";

}  // namespace

const CommandHelp kLensListHelp{"lens list", "list the registered camera-and-lens records", kListUsage,
                                "Lists the records of DIR/Vistereo.ini, of each --lenses FILE and of the user's lens\n"
                                "file, in that order, with the file each comes from; flags those whose values cannot\n"
                                "describe a lens, those hidden by an earlier record of the same name (a name finds the\n"
                                "first: the working directory's wins), and the lines the reader could not take.",
                                kListOptions};
const CommandHelp kLensShowHelp{"lens show", "tell one record in words", kShowUsage,
                                "Tells the record NAME (or #K) in words: projection, field of view, image circle,\n"
                                "optical axis, and what its codes mean.",
                                kListOptions};
const CommandHelp kLensAddHelp{"lens add", "register a lens from its projection, field of view and image circle",
                               kAddUsage,
                               "Writes a new record NAME into DIR/Vistereo.ini (with --user, into the user's lens\n"
                               "file, made with its folder if missing) from the lens's projection, the field of view\n"
                               "of its image circle, and the circle itself (given, or found in IMAGEs).",
                               kAddOptions};
const CommandHelp kLensImportHelp{
    "lens import", "register a lens from a calibration file (OpenCV, ROS camera_info, Kalibr)", kImportUsage,
    "Writes a new record into DIR/Vistereo.ini (with --user, into the user's lens file) from the\n"
    "calibration of camera N of FILE: an OpenCV FileStorage YAML or XML of a cv::fisheye calibration\n"
    "(K and D, or camera_matrix and distortion_coefficients, with image_width and image_height; a\n"
    "stereo calibration's K1, D1, K2, D2), a ROS camera_info YAML (distortion_model: equidistant), or\n"
    "a Kalibr camchain (camera_model pinhole with distortion_model equidistant, ds or eucm). The record\n"
    "keeps the focal lengths, the centre between dots and the coefficients as the file has them.\n"
    "A file the importer cannot read whole is refused, naming the node and what is wrong; nothing is\n"
    "written then.",
    kImportOptions};
const CommandHelp kLensRemoveHelp{"lens remove", "delete a registered record", kRemoveUsage,
                                  "Deletes the record NAME (or #K, counted in that file) from DIR/Vistereo.ini, or with\n"
                                  "--user from the user's lens file; the records after it move up by one.",
                                  kRemoveOptions};
const CommandHelp kLensDetectHelp{"lens detect", "find the image circle of a circular fisheye in its photographs",
                                  kDetectUsage,
                                  "Finds the centre and radius of the image circle in one photograph, or in several\n"
                                  "of one camera together (each pixel at its brightest), in the pictures as read (after\n"
                                  "their EXIF orientation, before any turn), as a lens record holds it; with --turn, in\n"
                                  "the upright picture as well. Exit status 1 when there is no circle.",
                                  kDetectOptions};
const CommandHelp kLensCalibrateHelp{
    "lens calibrate", "refine the right lens against the left on the pairs of a shoot", kCalibrateUsage,
    "Aligns up to 12 pairs of one rig, each with the right lens refined on its own, then refines\n"
    "the right lens once more on the matches of all of them together: one rotation, one baseline\n"
    "and one set of corrections for the shoot, steadier than any one pair's. A pair whose rotation\n"
    "is far from the others' is left out. Prints each pair's residual and the pooled corrections\n"
    "with their standard deviations; --save-lenses keeps them as a record. Finds each camera's\n"
    "image circle over every frame of the shoot together, with how far each frame's own circle lies\n"
    "from it.",
    kCalibrateOptions};

namespace {

// The lens subcommands take any number of NAMEs or IMAGEs among their options.
constexpr size_t kAnyWords = std::numeric_limits<size_t>::max();

std::string fixed(double v, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string radiusText(const LensRecord& r) {
    switch (r.radiusMode) {
        case 0: return "circular fisheye";
        case 1: return "diagonal fisheye";
        case 2: return "magnification " + r.magnification + " x height/2";
        case 3: return std::to_string(r.radiusDots) + " dots";
        default: return "unknown radius mode " + std::to_string(r.radiusMode);
    }
}

std::string mappingText(const LensRecord& r) {
    switch (r.mappingKind) {
        case 0: return "orthographic sin(1.0θ)";
        case 1: return "equisolid angle sin(0.5θ)";
        case 2: return "sin(kθ), k=" + r.sineK;
        case 3: return "quadratic, θ bounds " + r.theta1 + ", " + r.theta2 + ", " + r.theta3;
        case 4: return "equidistant, " + r.c1 + " degrees";
        case 5: return "stereographic, " + r.c1 + " degrees";
        case 6: return "polynomial k " + r.a1 + ", " + r.a2 + ", " + r.a3 + ", " + r.a4 + ", " + r.c1 + " degrees";
        case 7: return "double sphere xi " + r.a1 + ", alpha " + r.a2 + ", " + r.c1 + " degrees";
        case 8: return "extended unified alpha " + r.a1 + ", beta " + r.a2 + ", " + r.c1 + " degrees";
        default: return "unknown mapping kind " + std::to_string(r.mappingKind);
    }
}

std::string axisText(const LensRecord& r) {
    const LensPrecision precision = lensSettingsOf(r).precision;
    std::string text;
    switch (r.axisMode) {
        case 0: text = "image centre"; break;
        case 1:
            text = precision.hasCentre ? "(" + lensNumberText(precision.centreX) + ", " + lensNumberText(precision.centreY) + ")"
                                       : "(" + std::to_string(r.axisX) + ", " + std::to_string(r.axisY) + ")";
            break;
        default: return "unknown axis mode " + std::to_string(r.axisMode);
    }
    if (precision.aspect != 1.0) text += ", aspect " + lensNumberText(precision.aspect);
    if (precision.turnDegrees != 0) text += ", turned " + std::to_string(precision.turnDegrees);
    return text;
}

// Where a record comes from, for the list: "working folder ./Vistereo.ini".
std::string sourceText(const LensSource& source) {
    return std::string(describeLensSourceKind(source.kind)) + " " + source.file.string();
}

// The lenses of every source, with what the readers said as warnings. A
// --lenses file that cannot be read whole is refused (returns false).
bool loadListed(const ParsedOptions& options, LensCatalogue& catalogue, std::ostream& err) {
    LensesLoad load = loadLenses(options.value("directory", "."), options);
    if (!load.error.empty()) {
        printError(err, load.error);
        return false;
    }
    for (const LoadedLensSource& loaded : load.catalogue.sources)
        if (loaded.report.found)
            for (const std::string& line : loaded.report.lines()) err << "vistereo-cli: warning: " << line << "\n";
    catalogue = std::move(load.catalogue);
    return true;
}

int runList(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const ParsedOptions options = parseOptions(args, kListOptions);
    if (!options.error.empty()) return usageError(err, options.error, kUsage, "lens");
    LensCatalogue catalogue;
    if (!loadListed(options, catalogue, err)) return kExitFailed;
    const LoadedLensSource& working = catalogue.sources.front();
    if (catalogue.order.empty() && !working.report.found) {
        printError(err, working.source.file.string() + " " + working.report.problems.front().text +
                            ": no lens records ('vistereo-cli lens add' registers one)");
        return kExitFailed;
    }
    for (size_t k = 0; k < catalogue.order.size(); ++k) {
        const LensRecord& r = catalogue.record(catalogue.order[k]);
        out << "#" << (k + 1) << "\t" << r.name << "\tradius: " << radiusText(r) << "\tmapping: " << mappingText(r)
            << "\taxis: " << axisText(r);
        const auto problems = lensSettingsProblems(lensSettingsOf(r));
        if (!problems.empty())
            out << "\tCANNOT DESCRIBE A LENS: " << problems.front().field << " is " << problems.front().value << ": "
                << problems.front().reason;
        out << "\tfrom: " << sourceText(catalogue.sourceOf(catalogue.order[k]));
        if (const LensPosition first = catalogue.hiddenBy(k); first.valid()) {
            size_t shown = 0;
            while (catalogue.order[shown].source != first.source || catalogue.order[shown].index != first.index) ++shown;
            out << "\tHIDDEN: the name finds #" << (shown + 1) << " (" << describeLensSourceKind(catalogue.sourceOf(first).kind)
                << "), read first; this one only as #" << (k + 1);
        }
        out << "\n";
    }
    return kExitOk;
}

int runShow(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const ParsedOptions options = parseOptions(args, kListOptions, kAnyWords);
    if (!options.error.empty()) return usageError(err, options.error, kUsage, "lens");
    if (options.positional.size() != 1) return usageError(err, "give exactly one lens NAME (or #K) to show", kUsage, "lens");
    LensCatalogue catalogue;
    if (!loadListed(options, catalogue, err)) return kExitFailed;
    const LensLookup found = findLens(catalogue, options.positional[0]);
    if (!found.error.empty()) {
        printError(err, found.error);
        return kExitFailed;
    }
    out << "record #" << (found.position.index + 1) << " of " << sourceText(catalogue.sourceOf(found.position)) << "\n";
    for (const std::string& line : describeLensRecord(catalogue.record(found.position))) out << line << "\n";
    return kExitOk;
}

// The file lens add and lens remove write: DIR/Vistereo.ini, or with --user
// the user's lens file. Empty (with the error printed) when there is none.
std::filesystem::path targetFile(const ParsedOptions& options, std::ostream& err) {
    if (!options.has("user")) return registryFile(options.value("directory", "."));
    const auto user = userLensFileOfEnvironment();
    if (!user) printError(err, "--user: neither XDG_CONFIG_HOME nor HOME names an absolute folder for the user's lens file");
    return user.value_or(std::filesystem::path());
}

int runRemove(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const ParsedOptions options = parseOptions(args, kRemoveOptions, kAnyWords);
    if (!options.error.empty()) return usageError(err, options.error, kUsage, "lens");
    if (options.positional.size() != 1) return usageError(err, "give exactly one lens NAME (or #K) to remove", kUsage, "lens");
    const std::string& name = options.positional[0];
    const std::filesystem::path file = targetFile(options, err);
    if (file.empty()) return kExitFailed;
    const std::string what = "cannot remove \"" + visibleText(name) + "\"";
    // Looked up in the file as it is under the registry's lock, so that the
    // record removed is the one named now, whoever wrote the file meanwhile.
    LensRecord removed;
    int number = 0;
    const RegistryChange change = changeLensRegistry(file, [&](LensRegistry& registry) -> std::string {
        LensCatalogue one;
        one.sources.push_back({{LensSourceKind::WorkingFolder, file}, registry, {}});
        for (int i = 0; i < registry.count; ++i) one.order.push_back({0, i});
        const LensLookup found = findLens(one, name);
        if (!found.error.empty()) return what + ": " + found.error;
        const int index = found.position.index;
        for (int i = 0; i < registry.count; ++i) {
            if (i == index || registry.records[i].name != name) continue;
            // "#K" names the K-th record; a record of that very name (from the
            // dialog or a hand-edited file) makes it mean two records.
            if (name[0] == '#')
                return what + ": it names record #" + std::to_string(index + 1) + " \"" +
                       visibleText(registry.records[index].name) + "\", but record #" + std::to_string(i + 1) + " of " +
                       file.string() + " is named \"" + visibleText(name) + "\"; rename one of them first";
            if (i > index)
                return what + ": records #" + std::to_string(index + 1) + " and #" + std::to_string(i + 1) + " of " +
                       file.string() + " have that name; give the one to remove as #K";
        }
        removed = registry.records[index];
        number = index + 1;
        std::copy(registry.records.begin() + index + 1, registry.records.begin() + registry.count,
                  registry.records.begin() + index);
        --registry.count;
        return "";
    });
    if (!change.warning.empty()) err << "vistereo-cli: warning: " << change.warning << "\n";
    if (!change.ok()) {
        if (change.report.found)
            for (const std::string& line : change.report.lines()) err << "vistereo-cli: warning: " << line << "\n";
        printError(err, change.error.rfind(what, 0) == 0 ? change.error : what + ": " + change.error);
        return kExitFailed;
    }
    out << "removed record #" << number << " \"" << visibleText(removed.name) << "\" from " << file.string() << "\n";
    return kExitOk;
}

// The brightest of every IMAGE, read as the conversion reads its inputs, and
// the circle in it, with how far each image's own circle lies from it; an
// error text naming the file otherwise.
struct Detection {
    alignment::PooledCircle pooled;
    int width = 0, height = 0;
    std::string error;
    // The pictures an orientation tag turned: the circle is in the turned
    // picture's coordinates, as the conversion reads it.
    std::vector<std::string> notes;
};
Detection detectInImages(const std::filesystem::path& directory, const std::vector<std::string>& images,
                         const InputReadOptions& reading) {
    Detection d;
    alignment::CircleOverFrames frames;
    for (const std::string& name : images) {
        // Read as the conversion reads its inputs, so the circle is found in the pixels it will map.
        const InputImage image = readInput(inDirectory(directory, name), reading);
        if (!image.ok()) {
            d.error = "cannot read the image " + describeInputProblem(image);
            return d;
        }
        if (!frames.add(image.pixels)) {
            d.error = image.path.string() + " is " + std::to_string(image.pixels.cols) + " x " +
                      std::to_string(image.pixels.rows) + ", the first image " + std::to_string(d.width) + " x " +
                      std::to_string(d.height) + ": give the frames of one camera";
            return d;
        }
        d.width = image.pixels.cols, d.height = image.pixels.rows;
        if (image.turned)
            d.notes.push_back(image.path.string() + " carries the EXIF orientation " +
                              describeOrientation(image.orientationTag) +
                              ": the circle is given in the picture turned as the tag says, as the conversion reads "
                              "it; --ignore-orientation finds it in the sensor's own coordinates");
    }
    d.pooled = frames.detect();
    return d;
}

// The turn of one camera's pictures: --turn, or --left-turn or --right-turn for the camera they are from.
TurnOption pictureTurn(const ParsedOptions& options) {
    TurnOption chosen;
    int given = 0;
    for (const char* name : {"turn", "left-turn", "right-turn"}) {
        if (!options.has(name)) continue;
        ++given;
        chosen = readTurnOption(options, name);
        if (!chosen.ok()) return chosen;
    }
    if (given > 1) chosen.error = "give the pictures' turn once (--turn, --left-turn or --right-turn)";
    return chosen;
}

// How sure a circle pooled over a shoot's frames is, in words: each frame's
// own circle against the pooled one, judged by how closely one camera's
// circles agree on different scenes (8 dots, 1.5 % of the radius).
std::string circleSpreadInWords(const alignment::PooledCircle& p) {
    std::ostringstream text;
    if (p.frames < 2) return "one frame: give several frames of different scenes to learn how sure the circle is";
    text << p.framesWithCircle << " of " << p.frames << " frames show one on their own";
    if (p.framesWithCircle < 2) {
        text << ", too few to tell how sure the pooled circle is";
        return text.str();
    }
    const bool steady = p.centreSpreadPx <= 8.0 && p.radiusSpreadPx <= 0.015 * p.circle.radius;
    text << ", their centres within " << fixed(p.centreSpreadPx, 1) << " dots of this one and their radii within "
         << fixed(p.radiusSpreadPx, 1) << " dots: "
         << (steady ? "steady (one camera's circles on different scenes agree within 8 dots and 1.5 % of the radius)"
                    : "unsteady (beyond 8 dots or 1.5 % of the radius, as one camera's circles should agree): leave "
                      "out the frames whose rim is lost in the dark or in stray light (lens detect --json gives "
                      "each frame's distance from the pooled circle)");
    return text.str();
}

int runDetect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, JsonReply* reply) {
    const ParsedOptions options = parseOptions(args, kDetectOptions, kAnyWords);
    if (!options.error.empty()) return usageError(err, options.error, kUsage, "lens");
    if (options.positional.empty()) return usageError(err, "give one or more IMAGEs of one camera", kUsage, "lens");
    InputReadOptions reading;
    if (const Fallible bad = readInputChoices(options, reading); !bad.ok()) return usageError(err, bad.error, kUsage, "lens");
    const TurnOption turn = pictureTurn(options);
    if (!turn.ok()) {
        printError(err, turn.error);
        return kExitFailed;
    }
    const Detection d = detectInImages(options.value("directory", "."), options.positional, reading);
    const alignment::ImageCircle& c = d.pooled.circle;
    const std::string reason = !d.error.empty() ? d.error : c.error;
    if (!d.error.empty() || !c.ok()) {
        printError(err, "no image circle found: " + reason);
        return kExitFailed;
    }
    for (const std::string& note : d.notes) err << "vistereo-cli: note: " << note << "\n";
    const alignment::PooledCircle& p = d.pooled;
    // The centre in the picture turned upright, when it must be turned.
    const int32_t degrees = turn.degrees.value_or(0);
    const SourcePosition upright = uprightPosition({c.centreX, c.centreY}, d.width, d.height, degrees);
    if (reply) {
        reply->set("\"centre\": [" + fixed(c.centreX, 2) + ", " + fixed(c.centreY, 2) + "], \"radius\": " +
                   fixed(c.radius, 2) + ", \"rim_seen\": " + fixed(c.rimSeen, 3) + ", \"residual_px\": " +
                   fixed(c.residualPx, 3) + ", \"image_size\": [" + std::to_string(d.width) + ", " +
                   std::to_string(d.height) + "], \"frames\": " + std::to_string(p.frames) +
                   ", \"frames_with_circle\": " + std::to_string(p.framesWithCircle) +
                   ", \"spread\": {\"centre_px\": " + fixed(p.centreSpreadPx, 2) + ", \"radius_px\": " +
                   fixed(p.radiusSpreadPx, 2) + "}, \"turned_by_orientation\": " + (d.notes.empty() ? "false" : "true") +
                   (turn.degrees ? ", \"turn_deg\": " + std::to_string(degrees) + ", \"upright_centre\": [" +
                                       fixed(upright.column, 2) + ", " + fixed(upright.row, 2) + "]"
                                 : std::string()));
        return kExitOk;
    }
    out << "image circle: centre " << fixed(c.centreX, 2) << ", " << fixed(c.centreY, 2) << ", radius "
        << fixed(c.radius, 2) << " dots (in " << d.width << " x " << d.height << " images, " << options.positional.size()
        << (options.positional.size() == 1 ? " frame" : " frames") << ")\n"
        << "rim seen: " << fixed(100.0 * c.rimSeen, 1)
        << " % of the circle (the rest lies outside the picture or in the dark), residual " << fixed(c.residualPx, 2)
        << " px\n"
        << "(the residual is the rim points' RMS distance from the circle; these two have no fixed good value: more "
           "rim seen and a smaller residual make a surer circle; the desktop's \"Add my lens...\" draws it on the "
           "photo to check)\n";
    if (p.frames > 1) out << "each frame on its own: " << circleSpreadInWords(p) << "\n";
    if (turn.degrees)
        out << "turned " << degrees << " degrees clockwise to stand upright: centre " << fixed(upright.column, 2) << ", "
            << fixed(upright.row, 2) << " in the upright picture (the record keeps the one above, as read)\n";
    out << "for a lens record: --circle " << fixed(c.centreX, 1) << "," << fixed(c.centreY, 1) << ","
        << fixed(c.radius, 1) << (turn.degrees ? " --turn " + std::to_string(degrees) : std::string()) << "\n";
    return kExitOk;
}

std::optional<CircleOnSensor> parseCircle(const std::string& text) {
    double x = 0, y = 0, r = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%lf,%lf,%lf%c", &x, &y, &r, &tail) != 3) return std::nullopt;
    return CircleOnSensor{x, y, r};
}

// Writes `record` as a new record of DIR/Vistereo.ini (with --user, of the user's lens file, made with its
// folder if missing) and tells it; refuses a name the file already holds, a full file, a file it cannot write.
int registerRecord(const ParsedOptions& options, const LensRecord& record, std::ostream& out, std::ostream& err) {
    const std::string& name = record.name;
    const std::string what = "cannot register \"" + visibleText(name) + "\"";
    const std::filesystem::path file = targetFile(options, err);
    if (file.empty()) return kExitFailed;
    if (options.has("user")) {
        std::error_code made;
        std::filesystem::create_directories(file.parent_path(), made);
        if (made) {
            printError(err, "cannot make the folder " + file.parent_path().string() + ": " + made.message());
            return kExitFailed;
        }
    }
    const RegistryAddition added = addLensRecord(file, record);
    if (!added.warning.empty()) err << "vistereo-cli: warning: " << added.warning << "\n";
    if (!added.ok()) {
        if (added.report.found)
            for (const std::string& line : added.report.lines()) err << "vistereo-cli: warning: " << line << "\n";
        printError(err, what + ": " + added.error);
        return kExitFailed;
    }
    out << "registered as record #" << added.recordNumber << " of " << file.string() << "\n";
    for (const std::string& line : describeLensRecord(record)) out << line << "\n";
    if (options.has("user")) {
        // The working folder's file is read first: there its record of this name is the one found.
        LensRegistry working;
        const std::filesystem::path workingFile = registryFile(options.value("directory", "."));
        LoadLensRegistry(working, workingFile);
        for (int i = 0; i < working.count; ++i)
            if (working.records[i].name == name) {
                err << "vistereo-cli: note: " << workingFile.string() << " has a record \"" << name
                    << "\" too; in that folder its record is the one the name finds\n";
                break;
            }
    }
    return kExitOk;
}

int runAdd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const ParsedOptions options = parseOptions(args, kAddOptions, kAnyWords);
    auto usage = [&](const std::string& text) { return usageError(err, text, kUsage, "lens"); };
    if (!options.error.empty()) return usage(options.error);
    if (options.positional.empty()) return usage("give the NAME to register the lens under");
    const std::string name = options.positional[0];
    if (const std::string problem = lensNameProblem(name); !problem.empty())
        return usage("the NAME \"" + visibleText(name) + "\" cannot be registered: " + problem);
    const std::vector<std::string> images(options.positional.begin() + 1, options.positional.end());
    for (const char* required : {"projection", "fov"})
        if (!options.has(required)) return usage(std::string("missing --") + required);
    if (options.has("circle") == options.has("detect")) return usage("give either --circle X,Y,R or --detect IMAGE...");
    if (options.has("detect") ? images.empty() : !images.empty())
        return usage(options.has("detect") ? "--detect needs one or more IMAGEs after NAME"
                                           : "unexpected argument '" + images.front() + "'");
    const ProjectionRead projection = parseProjection(options.value("projection"));
    if (!projection.ok()) return usage("--projection: " + projection.error);
    char* end = nullptr;
    const std::string fovText = options.value("fov");
    const double fov = std::strtod(fovText.c_str(), &end);
    if (fovText.empty() || *end != '\0') return usage("--fov takes the field of view in degrees, not '" + fovText + "'");

    const std::filesystem::path directory = options.value("directory", ".");
    CircleOnSensor circle;
    if (options.has("circle")) {
        const auto given = parseCircle(options.value("circle"));
        if (!given) return usage("--circle takes X,Y,R in dots, not '" + options.value("circle") + "'");
        circle = *given;
    } else {
        InputReadOptions reading;
        if (const Fallible bad = readInputChoices(options, reading); !bad.ok()) return usage(bad.error);
        const Detection d = detectInImages(directory, images, reading);
        if (!d.error.empty() || !d.pooled.circle.ok()) {
            printError(err, "no image circle found: " + (d.error.empty() ? d.pooled.circle.error : d.error));
            return kExitFailed;
        }
        circle = {d.pooled.circle.centreX, d.pooled.circle.centreY, d.pooled.circle.radius};
        for (const std::string& note : d.notes) err << "vistereo-cli: note: " << note << "\n";
        out << "image circle found: centre " << fixed(circle.centreX, 2) << ", " << fixed(circle.centreY, 2)
            << ", radius " << fixed(circle.radius, 2) << " dots (rim seen " << fixed(100.0 * d.pooled.circle.rimSeen, 1)
            << " %, residual " << fixed(d.pooled.circle.residualPx, 2) << " px)\n";
    }
    const TurnOption turn = pictureTurn(options);
    if (!turn.ok()) {
        printError(err, turn.error);
        return kExitFailed;
    }
    const LensRecordBuild built = buildLensRecord(name, projection.choice, fov, circle, turn.degrees.value_or(0));
    const std::string what = "cannot register \"" + visibleText(name) + "\"";
    if (!built.error.empty()) {
        printError(err, what + ": " + built.error);
        return kExitFailed;
    }
    const int status = registerRecord(options, built.record, out, err);
    if (status == kExitOk)
        for (const std::string& note : built.notes) err << "vistereo-cli: note: " << note << "\n";
    return status;
}

int runImport(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const ParsedOptions options = parseOptions(args, kImportOptions, kAnyWords);
    auto usage = [&](const std::string& text) { return usageError(err, text, kUsage, "lens"); };
    if (!options.error.empty()) return usage(options.error);
    if (options.positional.size() != 1) return usage("give exactly one calibration FILE to import");
    const std::filesystem::path file = options.positional[0];
    int camera = 0;
    if (options.has("camera")) {
        const auto given = parseWholeNumber(options.value("camera"));
        if (!given || *given < 0) return usage("--camera takes the camera's number, counted from 0");
        camera = *given;
    }
    CalibrationModel model = CalibrationModel::AsStated;
    if (options.has("model")) {
        if (options.value("model") != "kannala-brandt") return usage("--model takes kannala-brandt");
        model = CalibrationModel::KannalaBrandt;
    }
    const TurnOption turn = pictureTurn(options);
    if (!turn.ok()) {
        printError(err, turn.error);
        return kExitFailed;
    }
    const CalibrationFile calibration = readCalibrationFile(file, model);
    auto refuse = [&](const std::string& why) {
        printError(err, "cannot import: " + why);
        return kExitFailed;
    };
    if (!calibration.ok()) return refuse(calibration.error);
    if (camera >= static_cast<int>(calibration.cameras.size()))
        return refuse(file.string() + ": --camera " + std::to_string(camera) + ": the " + calibration.format +
                      " holds " + std::to_string(calibration.cameras.size()) +
                      (calibration.cameras.size() == 1 ? " camera" : " cameras") + ", counted from 0");
    const CalibrationCamera& chosen = calibration.cameras[camera];
    if (!chosen.ok()) return refuse(chosen.error);
    CalibratedLens lens = chosen.lens;
    lens.turnDegrees = turn.degrees.value_or(0);
    const std::string name = options.value(
        "name", file.stem().string() + (chosen.node.empty() ? std::string() : "-" + chosen.node));
    const LensRecordBuild built = buildCalibratedRecord(name, lens);
    if (!built.ok())
        return refuse(file.string() + ": " + chosen.valuesNode + ": " + built.error);
    out << "read " << file.string() << " (" << calibration.format
        << (calibration.cameras.size() > 1 ? ", camera " + std::to_string(camera) + " of " +
                                                 std::to_string(calibration.cameras.size()) + ": " + chosen.node
                                           : std::string())
        << ")\n";
    return registerRecord(options, built.record, out, err);
}

// The files of a pair, as the user gave them: "a.jpg, a.jpg".
std::string pairNames(const BatchPair& pair) {
    return pair.left.filename().string() + ", " + pair.right.filename().string();
}

int runCalibrate(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, JsonReply* reply) {
    const ParsedOptions options = parseOptions(args, kCalibrateOptions);
    auto usage = [&](const std::string& text) { return usageError(err, text, kUsage, "lens"); };
    if (!options.error.empty()) return usage(options.error);
    if (const Fallible none = noLensRegistered(options, workingDirectoryOf(options)); !none.ok()) {
        printError(err, none.error);
        return kExitFailed;
    }
    for (const char* required : {"left-lens", "right-lens"})
        if (!options.has(required)) return usage(std::string("missing --") + required);
    if (options.has("pairs") && (options.has("left-dir") || options.has("right-dir")))
        return usage("--pairs lists the images itself; leave out --left-dir and --right-dir");
    const bool json = reply != nullptr, quiet = options.has("quiet") || json;
    int threads = 0;
    if (const Fallible bad = readThreads(options, threads); !bad.ok()) return usage(bad.error);
    ConversionRequest request;
    request.workingDirectory = workingDirectoryOf(options);
    if (const Fallible bad = readAlignmentChoices(options, request); !bad.ok()) return usage(bad.error);
    if (const RigChoices rig = readRigChoices(options, request); !rig.ok()) {
        printError(err, rig.error);
        return kExitFailed;
    }
    const LensSavingChoice saving = chooseLensSaving(options, request.workingDirectory, true, err);
    if (!saving.usage.empty()) return usage(saving.usage);

    const std::filesystem::path& wd = request.workingDirectory;
    const PairingResult pairing =
        options.has("pairs")
            ? readPairsFile(argumentPath(options.value("pairs"), wd), wd / "input", wd / "output", false)
            : pairFolders(options.has("left-dir") ? argumentPath(options.value("left-dir"), wd) : wd / "input" / "left",
                          options.has("right-dir") ? argumentPath(options.value("right-dir"), wd) : wd / "input" / "right",
                          wd / "output", false);
    auto fail = [&](const std::string& reason) {
        printError(err, reason);
        return kExitFailed;
    };
    if (!pairing.ok()) return fail(pairing.error);
    if (pairing.pairs.size() > kMaxCalibrationPairs)
        err << "vistereo-cli: note: " << pairing.pairs.size() << " pairs given; the first " << kMaxCalibrationPairs
            << " are used\n";

    const LensCalibration c = calibrateLenses(pairing.pairs, request, options.has("refine-shape"), threads);
    for (const std::string& remark : sharedAlignmentRemarks(c.shared)) err << "vistereo-cli: warning: " << remark << "\n";
    if (!c.ok()) return fail(c.error);

    std::string pairsJson;
    const PooledPairVerdicts judged = judgePooledPairs(c);
    const std::vector<PooledPairVerdict>& verdicts = judged.pairs;
    std::string leaveOut;  // the pairs that fit the pooled lenses worse than the others, named with why
    for (size_t k = 0; k < c.shared.attempts.size(); ++k) {
        const SharedAlignment::Attempt& a = c.shared.attempts[k];
        const alignment::AlignmentResult& r = a.alignment.result;
        const alignment::PairFit& fit = c.pooledFits[k];
        const bool alone = a.alignment.ok() && r.lensesRefined;
        char line[320];
        if (a.used)
            std::snprintf(line, sizeof line,
                          "%d matches; alone %.3f px with the records, %.3f px refined; pooled %.3f px on %d inliers",
                          int(r.lensMatches.size()), r.lenses.residualBeforePixels, r.lenses.residualAfterPixels,
                          fit.rmsPixels, fit.inliers);
        else
            std::snprintf(line, sizeof line, "not pooled");
        const std::string pair = "pair " + std::to_string(a.sample.pair + 1) + " (" + pairNames(pairing.pairs[a.sample.pair]) + ")";
        const std::string grade = a.used ? std::string(" - ") + alignment::gradeName(verdicts[k].grade) : std::string();
        if (!quiet) out << pair << ": " << line << grade << "\n";
        if (verdicts[k].leaveOut) leaveOut += "\n  " + pair + ": " + verdicts[k].why;
        pairsJson += std::string(pairsJson.empty() ? "" : ", ") + "{\"left\": " +
                     jsonString(pairing.pairs[a.sample.pair].left.string()) +
                     ", \"right\": " + jsonString(pairing.pairs[a.sample.pair].right.string()) +
                     ", \"pooled\": " + (a.used ? "true" : "false");
        if (alone)
            pairsJson += ", \"matches\": " + std::to_string(r.lensMatches.size()) +
                         ", \"alone_residual_before_px\": " + fixed(r.lenses.residualBeforePixels, 4) +
                         ", \"alone_residual_after_px\": " + fixed(r.lenses.residualAfterPixels, 4) +
                         ", \"alone_correction\": {\"axis_dx\": " + fixed(r.lenses.correction[1].axisDx, 4) +
                         ", \"axis_dy\": " + fixed(r.lenses.correction[1].axisDy, 4) +
                         ", \"scale\": " + fixed(r.lenses.correction[1].scale, 6) +
                         ", \"shape\": " + fixed(r.lenses.correction[1].shape, 6) + "}";
        if (a.used)
            pairsJson += ", \"pooled_inliers\": " + std::to_string(fit.inliers) +
                         ", \"pooled_residual_px\": " + fixed(fit.rmsPixels, 4) + ", \"grade\": " +
                         jsonString(alignment::gradeName(verdicts[k].grade)) +
                         ", \"leave_out\": " + (verdicts[k].leaveOut ? "true" : "false");
        if (!a.alignment.ok()) pairsJson += ", \"reason\": " + jsonString(a.alignment.error);
        pairsJson += "}";
    }
    if (!quiet) {
        out << "each pooled pair's residual: " << pooledResidualLimits()
            << " (a working px is 1/1024 of 180 degrees, 10.5')\n";
        if (judged.noneFitsWell)
            out << "no pooled pair fits the pooled lenses well: the pairs may not come from one rig, or the lens law "
                   "does not fit them; check the records (lens show, lens detect) before calibrating again\n";
        else if (leaveOut.empty())
            out << "no pair to leave out: each fits the pooled lenses about as well as the others\n";
        else
            out << "pairs to leave out, which fit the pooled lenses worse than the others (a camera moved, a near "
                   "scene, a blurred frame):"
                << leaveOut << "\nwhat to do: run again without them (--pairs FILE listing the others)\n";
    }
    if (!quiet) out << "pooled over " << c.shared.used << (c.shared.used == 1 ? " pair" : " pairs") << ":\n"
                    << lensRefinementText(c.pooled);
    // Each camera's image circle over every frame of the shoot.
    std::string circlesJson;
    const char* cameraName[2] = {"left", "right"};
    for (int k = 0; k < 2; ++k) {
        const alignment::PooledCircle& p = c.circles[k];
        const alignment::ImageCircle& circle = p.circle;
        circlesJson += std::string(k ? ", " : "") + "\"" + cameraName[k] + "\": ";
        if (!circle.ok()) {
            circlesJson += "{\"ok\": false, \"reason\": " + jsonString(circle.error) + "}";
            if (!quiet) out << "image circle of the " << cameraName[k] << " camera: none found: " << circle.error << "\n";
            continue;
        }
        circlesJson += "{\"ok\": true, \"centre\": [" + fixed(circle.centreX, 2) + ", " + fixed(circle.centreY, 2) +
                       "], \"radius\": " + fixed(circle.radius, 2) + ", \"frames\": " + std::to_string(p.frames) +
                       ", \"frames_with_circle\": " + std::to_string(p.framesWithCircle) +
                       ", \"spread\": {\"centre_px\": " + fixed(p.centreSpreadPx, 2) +
                       ", \"radius_px\": " + fixed(p.radiusSpreadPx, 2) + "}}";
        if (quiet) continue;
        out << "image circle of the " << cameraName[k] << " camera over the shoot's " << p.frames
            << (p.frames == 1 ? " frame" : " frames") << ": centre " << fixed(circle.centreX, 2) << ", "
            << fixed(circle.centreY, 2) << ", radius " << fixed(circle.radius, 2) << " dots; ";
        out << circleSpreadInWords(p) << "\n";
    }
    if (!quiet && !saving.saving && c.pooled.applied)
        out << "to render every conversion through the refined right lens, run this again with --save-lenses SUFFIX: it "
               "keeps it as a new record (the records as they are stay)\n";
    LensSaved saved;
    if (saving.saving) {
        saved = saveRefinedLens(*saving.saving, c.rightImage, c.lenses, c.pooled.applied ? "" : c.pooled.notApplied);
        std::ostringstream unsaid;  // --quiet: the errors only
        if (!json) printLensSaved(*saving.saving, saved, quiet ? unsaid : out, err);
        else if (!saved.ok()) printError(err, saved.error);
    }
    if (reply)
        reply->set("\"pairs\": [" + pairsJson + "]" + lensRefinementJson(c.pooled) + ", \"circles\": {" + circlesJson +
                   "}" + (saving.saving ? ", \"saved_lens\": " + lensSavedJson(*saving.saving, saved) : std::string()));
    if (!c.pooled.lawAdvice.empty()) err << "vistereo-cli: warning: " << c.pooled.lawAdvice << "\n";
    return saving.saving && !saved.ok() ? kExitFailed : kExitOk;
}

}  // namespace

int runLensCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::ostream& to = args.empty() ? err : out;
        for (const CommandHelp* help : {&kLensListHelp, &kLensShowHelp, &kLensAddHelp, &kLensImportHelp, &kLensRemoveHelp,
                                        &kLensDetectHelp, &kLensCalibrateHelp}) {
            printCommandHelp(to, *help);
            to << "\n";
        }
        return args.empty() ? kExitUsage : kExitOk;
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const CommandHelp* help = args[0] == "list"   ? &kLensListHelp
                              : args[0] == "show" ? &kLensShowHelp
                              : args[0] == "add"  ? &kLensAddHelp
                              : args[0] == "import" ? &kLensImportHelp
                              : args[0] == "remove" ? &kLensRemoveHelp
                              : args[0] == "detect" ? &kLensDetectHelp
                              : args[0] == "calibrate" ? &kLensCalibrateHelp
                                                    : nullptr;
    if (!help) return usageError(err, "unknown lens command '" + args[0] + "'", kUsage, "lens");
    for (const std::string& a : rest)
        if (a == "--help" || a == "-h") {
            printCommandHelp(out, *help);
            return kExitOk;
        }
    if (help == &kLensListHelp) return runList(rest, out, err);
    if (help == &kLensShowHelp) return runShow(rest, out, err);
    if (help == &kLensAddHelp) return runAdd(rest, out, err);
    if (help == &kLensImportHelp) return runImport(rest, out, err);
    if (help == &kLensRemoveHelp) return runRemove(rest, out, err);
    if (help == &kLensCalibrateHelp) return answerInJson(rest, out, err, runCalibrate);
    return answerInJson(rest, out, err, runDetect);
}

}  // namespace vistereo::cli
