// The options more than one command takes (`convert`, `batch`, `align`,
// `check`, `match`, `video`): each defined once here, with the help text most
// of them show (a command whose option means a little more says so through
// withHelp), and read once here into a request and run options.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/fallible.h"
#include "cli/options/option_table.h"
#include "conversion/run.h"

namespace vistereo::cli {

inline constexpr OptionSpec kDirectoryOption{
    "directory", 'C', "DIR", "working directory holding input/, output/ and Vistereo.ini (default: .)"};
inline constexpr OptionSpec kLeftLensOption{
    "left-lens", 0, "LENS", "lens of the left image: a registered name, or #K for the K-th record"};
inline constexpr OptionSpec kRightLensOption{"right-lens", 0, "LENS", "lens of the right image: a registered name, or #K"};
inline constexpr OptionSpec kLensesOption{
    "lenses", 0, "FILE", "also look lenses up in this registry file, after the working directory's\n"
                         "                            Vistereo.ini and before the user's lens file (may repeat)"};
inline constexpr OptionSpec kPointsOption{"points", 0, "LIST",
                                          "ALx,BLx,ARx,BRx,ALy,BLy,ARy,BRy: points A and B in both images"};
inline constexpr OptionSpec kAutoAlignOption{
    "auto-align", 0, nullptr, "align the right eye automatically from the pictures (no --points needed)"};
inline constexpr OptionSpec kRefineLensesOption{
    "refine-lenses", 0, nullptr,
    "with automatic alignment: correct the right lens's axis point and scale\n"
    "                            against the left from the pictures, with the rotation"};
inline constexpr OptionSpec kKeepLensesOption{
    "keep-lenses", 0, nullptr,
    "with automatic alignment: render through the lens records exactly as they\n"
    "                            are (by default the right lens is refined too, and used where it\n"
    "                            lines the pair up clearly better)"};
inline constexpr OptionSpec kRefineShapeOption{
    "refine-shape", 0, nullptr, "with --refine-lenses: fit the right lens's first shape term too"};
inline constexpr OptionSpec kHeightOption{"height", 0, "N",
                                          "output height in dots; the width is twice that (default: 4096)"};
inline constexpr OptionSpec kVrSuffixOption{
    "vr-suffix", 0, nullptr,
    "insert _180_LR before the output's extension, the name headset players\n"
    "                            recognise as 180-degree left-right stereo"};
inline constexpr OptionSpec kQualityOption{"quality", 0, "Q", "JPEG quality 1-100 (default: the image library's)"};
inline constexpr OptionSpec kKeepExifOption{
    "keep-exif", 0, nullptr, "a JPEG output carries the left image's EXIF (a .vr.jpg output always does)"};
inline constexpr OptionSpec kInterpOption{"interp", 0, "KIND", "resampling: bilinear (default), bicubic or lanczos"};
inline constexpr OptionSpec kRollOption{"roll", 0, "DEG", "zenith correction: roll in degrees, steps of 0.1 (default: 0)"};
inline constexpr OptionSpec kPitchOption{"pitch", 0, "DEG",
                                         "zenith correction: pitch in degrees, steps of 0.1 (default: 0)"};
inline constexpr OptionSpec kYawOption{"yaw", 0, "DEG", "zenith correction: yaw in degrees, steps of 0.1 (default: 0)"};
inline constexpr OptionSpec kThreadsOption{"threads", 'j', "N", "render threads (default: 0 = every hardware thread)"};
inline constexpr OptionSpec kMaxInputOption{
    "max-input-megapixels", 0, "MP", "refuse an input image larger than this, before decoding it (default: 200)"};
inline constexpr OptionSpec kIgnoreOrientationOption{
    "ignore-orientation", 0, nullptr,
    "read the photos' pixels as the sensor recorded them, not turned by their\n"
    "                            EXIF orientation tags (what a calibrated rig wants)"};
inline constexpr OptionSpec kExactOption{
    "exact", 0, nullptr,
    "take every angle through acos/atan2/sin/cos (slower; differs from the default\n"
    "                            by at most 1 in a few bytes, usually none)"};
inline constexpr OptionSpec kMatchColourOption{
    "match-colour", 0, "vignetting",
    "match the right eye's colours onto the left's in the render (gain and offset\n"
    "                            per channel, fitted on the far field); =vignetting also undoes the\n"
    "                            difference of the lenses' fall-off towards the rim",
    true};
inline constexpr OptionSpec kConvergenceOption{
    "convergence", 0, "DEG",
    "turn the right eye's view about the vertical axis by DEG degrees (the stereo\n"
    "                            window: positive puts nearer objects on the plane of the frame)"};
inline constexpr OptionSpec kZeroParallaxOption{
    "zero-parallax", 0, "METRES", "put objects METRES away on the plane of the frame: a convergence of\n"
                                  "                            2 atan(baseline / 2 METRES)"};
inline constexpr OptionSpec kBaselineOption{"baseline", 0, "MM",
                                            "the rig's lens distance for --zero-parallax, millimetres (default: 65)"};
inline constexpr OptionSpec kLeftTurnOption{
    "left-turn", 0, "DEG",
    "how far the left picture must be turned clockwise to stand upright: 0, 90,\n"
    "                            180 or 270 (a sensor mounted sideways); after its EXIF orientation, and\n"
    "                            in place of the left lens record's turn"};
inline constexpr OptionSpec kRightTurnOption{
    "right-turn", 0, "DEG", "the same for the right picture (0, 90, 180 or 270 degrees clockwise)"};
inline constexpr OptionSpec kRotationFromOption{
    "rotation-from", 0, "FILE",
    "turn the right eye onto the left by the rotation between the two cameras of\n"
    "                            a calibration file (Kalibr camchain: cam1's T_cn_cnm1; OpenCV stereo: R)"};
inline constexpr OptionSpec kHelpOption{"help", 'h', nullptr, "show this help"};
inline constexpr OptionSpec kJsonOption{"json", 0, nullptr,
                                        "print one JSON object instead of text, also on a failure or a usage\n"
                                        "                            error (ok, error, exit_status, exit_meaning)"};
inline constexpr OptionSpec kQuietOption{"quiet", 'q', nullptr, "print nothing but errors"};
inline constexpr OptionSpec kOutputOption{"output", 'o', "FILE", "the file to write"};
inline constexpr OptionSpec kLeftImageOption{
    "left", 0, "FILE", "left image (or the first of LEFT RIGHT; default: L.jpg): a bare name is in\n"
                       "                            input/ of the working directory, a path (with /) is taken as given"};
inline constexpr OptionSpec kRightImageOption{"right", 0, "FILE", "right image (or the second of LEFT RIGHT; default: R.jpg)"};

// A shared option as one command tells it: the same name, short name and
// value, its own help text.
constexpr OptionSpec withHelp(OptionSpec option, const char* help) {
    option.help = help;
    return option;
}

// -C DIR, the folder names are relative to (default: the current one).
std::filesystem::path workingDirectoryOf(const ParsedOptions& options);

// A file named on the command line, relative to -C DIR: as given when it is
// absolute or DIR is the current folder ("./ff" stays "./ff", not "././ff").
std::filesystem::path inDirectory(const std::filesystem::path& directory, const std::string& name);

// --threads N into `threads` (unchanged when not given). The usage error of a value that is not a whole number from 0 up.
Fallible readThreads(const ParsedOptions& options, int& threads);

// The two images, from --left and --right or from the arguments LEFT RIGHT,
// and the working directory, into `request` (names and paths). Returns the
// usage error when they are given both ways or only one of LEFT RIGHT is.
Fallible readImageArguments(const ParsedOptions& options, ConversionRequest& request);

// How the photos are read: --max-input-megapixels and --ignore-orientation
// into `reading`. Returns the usage error of an option that does not read.
Fallible readInputChoices(const ParsedOptions& options, InputReadOptions& reading);

// For the commands that align without converting: how the photos are read
// (as readInputChoices) and the lenses (--left-lens, --right-lens, --lenses)
// into `request`, checked on the way. Returns the usage error.
Fallible readAlignmentChoices(const ParsedOptions& options, ConversionRequest& request);

// How an automatic alignment treats the lenses: the right one refined and
// used where it lines the pair up clearly better (the default), refined as
// asked (--refine-lenses, --refine-shape), or the records exactly
// (--keep-lenses). Returns the usage error.
Fallible readLensRefining(const ParsedOptions& options, LensRefining& refining);

// The alignment (automatic in `automatic`'s scope with --refine-lenses and
// --refine-shape when set, otherwise --points), height, zenith, threads,
// input limit and orientation, arithmetic, JPEG quality, resampling, the
// colour match and the convergence from the options into `request` and
// `run`, in that order. Returns the usage error of the first option that
// does not read.
Fallible readConversionChoices(const ParsedOptions& options,
                               std::optional<AlignmentScope> automatic,
                               ConversionRequest& request, RunOptions& run);

// A turn option (--left-turn, --right-turn, --turn) in degrees, when given:
// 0, 90, 180 or 270; otherwise the error, naming the option and the value.
struct TurnOption : Fallible {
    std::optional<int32_t> degrees;
};
TurnOption readTurnOption(const ParsedOptions& options, const char* name);

// What the rig says beyond its lens records, into `request` once its lenses
// are chosen: --left-turn and --right-turn (in place of the records' turns),
// and with --rotation-from FILE its calibration's rotation between the two
// cameras, for the right eye's alignment. `error`: the option or the file,
// the node and what is wrong.
struct RigChoices : Fallible {
    std::optional<RotationMatrix> rotation;  // from --rotation-from, turned with the eyes
    std::optional<ProtectedFile> file;       // the calibration file read, which no output may replace
};
RigChoices readRigChoices(const ParsedOptions& options, ConversionRequest& request);

// The same for the commands that convert: the rotation becomes the right
// eye's alignment and the file joins `protect`. False, with the error
// printed, when the choices do not read.
bool applyRigChoices(const ParsedOptions& options, ConversionRequest& request, std::vector<ProtectedFile>& protect,
                     std::ostream& err);

}  // namespace vistereo::cli
