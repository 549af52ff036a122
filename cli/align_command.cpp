// vistereo-cli align: the rotation between the two cameras of a pair, found
// from the pictures, with its measured quality; and vistereo-cli check: the
// vertical and horizontal disparity of an existing side-by-side image, its
// stereo window and the colour difference of its eyes. Both tell the
// misalignment (what no parallax explains) apart from the near field's
// natural vertical parallax.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <sstream>

#include <opencv2/core.hpp>

#include "measure/stereo_window.h"
#include "cli/command_catalogue.h"
#include "cli/commands.h"
#include "cli/options/common.h"
#include "cli/options/json_reply.h"
#include "cli/options/conversion_options.h"
#include "cli/options/option_table.h"
#include "cli/options/lens_refinement_report.h"
#include "cli/options/lens_saving.h"
#include "conversion/auto_align.h"
#include "conversion/given_rotation.h"
#include "stereofile/stereo_image.h"

namespace vistereo::cli {
namespace {

constexpr std::array<OptionSpec, 18> kAlignOptions{{
    withHelp(kDirectoryOption, "working directory holding input/ and Vistereo.ini (default: .)"),
    kLeftLensOption,
    kRightLensOption,
    kLensesOption,
    kLeftImageOption,
    kRightImageOption,
    withHelp(kRotationFromOption, "also say how far the pictures disagree with the rotation between the two\n"
                                  "                            cameras of this calibration file (Kalibr camchain, OpenCV stereo)"),
    kLeftTurnOption,
    kRightTurnOption,
    withHelp(kThreadsOption, "threads (default: 0 = every hardware thread)"),
    kMaxInputOption,
    kIgnoreOrientationOption,
    kRefineLensesOption,
    kKeepLensesOption,
    kRefineShapeOption,
    kSaveLensesOption,
    kJsonOption,
    kHelpOption,
}};

constexpr const char* kAlignUsage =
    "usage: vistereo-cli align [-C DIR] --left-lens LENS --right-lens LENS [LEFT RIGHT | --left FILE --right FILE]\n"
    "                          [--lenses FILE] [--keep-lenses | --refine-lenses [--refine-shape] [--save-lenses SUFFIX]]\n"
    "                          [--json] [--max-input-megapixels MP] [--ignore-orientation]\n"
    "                          [--rotation-from FILE] [--left-turn DEG] [--right-turn DEG]\n";

constexpr std::array<OptionSpec, 6> kCheckOptions{{
    withHelp(kDirectoryOption, "directory FILE is relative to (default: .)"),
    withHelp(kThreadsOption, "threads (default: 0 = every hardware thread)"),
    withHelp(kMaxInputOption, "refuse an image (or a VR180 photo's eye) larger than this, before\n"
                              "                            decoding it (default: 200)"),
    kIgnoreOrientationOption,
    kJsonOption,
    kHelpOption,
}};

constexpr const char* kCheckUsage =
    "usage: vistereo-cli check [-C DIR] [--json] [--max-input-megapixels MP] [--ignore-orientation] FILE\n";

}  // namespace

// The verdict's limits as both commands state them (alignment/comfort.h).
#define VISTEREO_VERDICT_LIMITS                                                                  \
    "The verdict is taken from the misalignment's 95th percentile: comfortable up to 9.6\n"      \
    "minutes of arc (half the vertical fusional limit of about 19.2' measured at the fovea),\n" \
    "marginal up to 19.2', uncomfortable beyond."

const CommandHelp kAlignHelp{"align", "find the right camera's rotation from the pictures, with its measured quality",
                             kAlignUsage,
                             "Finds the rotation that lines the right camera up with the left one from the\n"
                             "two pictures, and how well it does: the misalignment the converted image will\n"
                             "show, measured as 'check' measures it (the vertical disparity no parallax along\n"
                             "the viewer's side-by-side baseline explains), and its verdict.\n"
                             VISTEREO_VERDICT_LIMITS,
                             kAlignOptions};
const CommandHelp kCheckHelp{"check", "measure the disparity of a side-by-side image or VR180 photo", kCheckUsage,
                             "Measures the disparity between the halves of a side-by-side 180-degree image\n"
                             "(or the eyes of a .vr.jpg VR180 photo) and judges its misalignment (the vertical\n"
                             "disparity no parallax along the viewer's side-by-side baseline explains);\n"
                             "reports the stereo window and the colour difference of the two eyes.\n"
                             VISTEREO_VERDICT_LIMITS,
                             kCheckOptions};
#undef VISTEREO_VERDICT_LIMITS

namespace {

constexpr double kArcminPerRadian = 10800.0 / 3.14159265358979323846;

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", v);
    return text;
}

std::string jsonList(const std::vector<std::string>& texts) {
    std::string out = "[";
    for (size_t k = 0; k < texts.size(); ++k) out += (k ? ", " : "") + jsonString(texts[k]);
    return out + "]";
}

std::string spreadJson(const alignment::Spread& s) {
    return "{\"rms\": " + number(s.rms) + ", \"p95\": " + number(s.p95) + ", \"max\": " + number(s.max) + "}";
}

// The misalignment, the far points' vertical disparity and the near points'
// natural vertical parallax, as JSON members and as lines of text.
std::string disparityJson(const alignment::DisparitySummary& d) {
    return ", \"misalignment_arcmin\": " + spreadJson(d.misalignment) +
           ", \"far_vertical_arcmin\": " + spreadJson(d.farVertical) +
           ", \"parallax_vertical_arcmin\": " + spreadJson(d.parallaxVertical) +
           ", \"far_points\": " + std::to_string(d.farCount) + ", \"near_points\": " + std::to_string(d.nearCount);
}

// The verdict and the limits it was judged by, as JSON members.
std::string verdictJson(alignment::Verdict verdict, double comfortLimit, double fusionLimit) {
    return ", \"verdict\": " + jsonString(alignment::verdictName(verdict)) +
           ", \"comfort_limit_arcmin\": " + number(comfortLimit) + ", \"fusion_limit_arcmin\": " + number(fusionLimit);
}

// The verdict's line and its limits, as text.
std::string verdictText(alignment::Verdict verdict, const std::string& sentence, double comfortLimit) {
    // The verdict as a grade against its two limits, and what to do when it is not good.
    const char* grade = alignment::gradeName(alignment::gradeOf(verdict));
    std::string text = "verdict: " + std::string(alignment::verdictName(verdict)) + " (" + grade + ") - " + sentence +
                       "\n" + "(comfort limit " + number(comfortLimit) +
                       "' for the 95th percentile of the misalignment: half the vertical fusional\n"
                       " limit of about 19.2' measured at the fovea; Kooi & Toet, Displays 25 (2004) 99-108 on comfort)\n";
    if (verdict == alignment::Verdict::Marginal || verdict == alignment::Verdict::Uncomfortable)
        text += "what to do: convert again with --auto-align, or with points A and B far apart on distant things; "
                "'lens calibrate' tells whether a lens departs from its record\n";
    return text;
}

// Yaw, pitch and roll in degrees to a ten-thousandth (no "-0.0000").
std::string turnJson(const YawPitchRoll& turn) {
    auto degrees = [](double v) { return std::abs(v) < 5e-5 ? 0.0 : v; };
    char text[96];
    std::snprintf(text, sizeof text, "[%.4f, %.4f, %.4f]", degrees(turn.yaw), degrees(turn.pitch), degrees(turn.roll));
    return text;
}

std::string spreadText(const alignment::Spread& s) {
    return "RMS " + number(s.rms) + "', 95th percentile " + number(s.p95) + "'";
}

std::string disparityText(const alignment::DisparitySummary& d, const std::string& misalignmentRemark) {
    return "misalignment: " + spreadText(d.misalignment) + " (" + misalignmentRemark + ")\n" +
           "vertical disparity of the far points: " +
           (d.farCount ? spreadText(d.farVertical) : std::string("none")) + " (" + std::to_string(d.farCount) +
           " points)\n" + "natural vertical parallax of the near points: " +
           (d.nearCount ? spreadText(d.parallaxVertical) : std::string("none")) + " (" +
           std::to_string(d.nearCount) + " points; eyes see it in the real world too, no rotation removes it)\n";
}

// The eyes' colour difference: per channel red, green, blue (the image's
// order is blue, green, red).
std::string perChannelJson(const alignment::ColourMatch& c, double alignment::ChannelMatch::*figure) {
    return "{\"red\": " + number(c.channel[2].*figure) + ", \"green\": " + number(c.channel[1].*figure) +
           ", \"blue\": " + number(c.channel[0].*figure) + "}";
}

std::string colourJson(const alignment::ColourMatch& c) {
    if (!c.ok()) return ", \"colour\": {\"ok\": false, \"reason\": " + jsonString(c.error) + "}";
    return ", \"colour\": {\"ok\": true, \"pixels\": " + std::to_string(c.pixels) +
           ", \"mean_abs_diff_levels\": " + perChannelJson(c, &alignment::ChannelMatch::before) +
           ", \"cell_mean_abs_diff_levels\": " + perChannelJson(c, &alignment::ChannelMatch::cellsBefore) +
           ", \"gain\": " + perChannelJson(c, &alignment::ChannelMatch::gain) +
           ", \"offset_levels\": " + perChannelJson(c, &alignment::ChannelMatch::offset) +
           ", \"rim_to_centre\": {\"left\": " + number(c.rimToCentre[0]) + ", \"right\": " +
           number(c.rimToCentre[1]) + "}, \"difference_levels\": " + number(alignment::colourDifferenceLevels(c)) +
           ", \"grade\": \"" + alignment::gradeName(alignment::colourDifferenceGrade(c)) + "\"}";
}

std::string colourText(const alignment::ColourMatch& c) {
    if (!c.ok()) return "colour: not measured: " + c.error + "\n";
    auto channels = [&](double alignment::ChannelMatch::*figure) {
        return number(c.channel[2].*figure) + " / " + number(c.channel[1].*figure) + " / " +
               number(c.channel[0].*figure);
    };
    std::string text = "colour difference of the far field (" + std::to_string(c.pixels) +
                       " pixels, red / green / blue): mean absolute " + channels(&alignment::ChannelMatch::before) +
                       " levels, " + channels(&alignment::ChannelMatch::cellsBefore) +
                       " over the mean levels of areas of it; left = gain x right + offset with gain " +
                       channels(&alignment::ChannelMatch::gain) + ", offset " +
                       channels(&alignment::ChannelMatch::offset) + "\n";
    text += "rim brightness over the centre's (75-90 against 0-30 degrees off the centre): left " +
            number(c.rimToCentre[0]) + ", right " + number(c.rimToCentre[1]) +
            " (the two differ by the lenses' fall-offs; a fall-off both share looks like the scene's own and is not "
            "told apart)\n";
    const alignment::Grade grade = alignment::colourDifferenceGrade(c);
    text += "colour agreement: the eyes' far field differs by up to " + number(alignment::colourDifferenceLevels(c)) +
            " levels over its areas - " + alignment::gradeName(grade) + " (good up to " +
            number(alignment::kColourDifferenceGoodLevels) + ", acceptable up to " +
            number(alignment::kColourDifferenceAcceptableLevels) + " levels of 255)" +
            (grade == alignment::Grade::Poor || grade == alignment::Grade::Acceptable
                 ? "; if it was converted without --match-colour, convert with it; what stays after it is light the "
                   "two lenses take differently (flare, fall-off)\n"
                 : "\n");
    text += "(gain 1 and offset 0 mean the eyes agree, a rim over centre of 1 means no fall-off)\n";
    return text;
}

std::string windowJson(const alignment::StereoWindow& w) {
    if (!w.measured) return ", \"window\": null";
    return ", \"window\": {\"nearest_pixels\": " + number(w.nearestPixels) +
           ", \"nearest_arcmin\": " + number(w.nearestArcmin) + ", \"nearest_at\": [" + number(w.nearestAt.column) +
           ", " + number(w.nearestAt.row) + "], \"in_front\": " + std::to_string(w.inFront) +
           ", \"edge_band_deg\": " + number(w.edgeBandDegrees) +
           ", \"left_edge_in_front\": " + std::to_string(w.edgeInFront[0]) +
           ", \"right_edge_in_front\": " + std::to_string(w.edgeInFront[1]) +
           ", \"violation_left\": " + (w.violation[0] ? "true" : "false") +
           ", \"violation_right\": " + (w.violation[1] ? "true" : "false") + "}";
}

std::string windowText(const alignment::StereoWindow& w) {
    if (!w.measured) return "";
    std::string text = "stereo window: nearest point " + number(w.nearestPixels) + " px (" +
                       number(w.nearestArcmin) + "') at column " + number(w.nearestAt.column) + ", row " +
                       number(w.nearestAt.row) + " of the left half (" +
                       (w.nearestPixels < -w.frontPixels  ? "in front of the plane of the frame"
                        : w.nearestPixels > w.frontPixels ? "behind the plane of the frame"
                                                          : "on the plane of the frame") +
                       "); " + std::to_string(w.inFront) + " points in front of it by more than " +
                       number(w.frontPixels) + " px\n";
    const char* side[2] = {"left", "right"};
    for (int edge = 0; edge < 2; ++edge)
        if (w.violation[edge])
            text += std::string("window violation at the ") + side[edge] + " edge: " +
                    std::to_string(w.edgeInFront[edge]) + " points within " + number(w.edgeBandDegrees) +
                    " degrees of it stand in front of the frame (nearest " + number(w.edgeNearestPixels[edge]) +
                    " px), cut by its edge\n";
    if (w.violation[0] || w.violation[1])
        text += "what to do: turn the right eye with --convergence DEG (positive) until the edges' points stand behind "
                "the frame\n";
    if (!w.violation[0] && !w.violation[1])
        text += "no window violation: nothing in front of the frame within " + number(w.edgeBandDegrees) +
                " degrees of its left or right edge\n";
    return text;
}

// How far the pictures disagree with --rotation-from's rotation, as JSON members and as lines of text (an angle
// of -0 told as 0).
std::string givenRotationJson(const RotationDisagreement& d, const std::string& file) {
    return ", \"given_rotation\": {\"file\": " + jsonString(file) + ", \"yaw_deg\": " + number(d.given.yaw + 0.0) +
           ", \"pitch_deg\": " + number(d.given.pitch + 0.0) + ", \"roll_deg\": " + number(d.given.roll + 0.0) +
           ", \"off_deg\": " + number(d.angleDegrees) + ", \"vertical_arcmin\": " + spreadJson(d.vertical) +
           ", \"misalignment_arcmin\": " + spreadJson(d.misalignment) + ", \"points\": " + std::to_string(d.points) + "}";
}

std::string givenRotationText(const RotationDisagreement& d, const std::string& file) {
    return "rotation from " + file + ": yaw " + number(d.given.yaw + 0.0) + ", pitch " + number(d.given.pitch + 0.0) +
           ", roll " + number(d.given.roll + 0.0) + " degrees, " + number(d.angleDegrees) +
           " degrees from the pictures' own\n"
           "with it, on the " + std::to_string(d.points) + " matched points: vertical disparity " +
           spreadText(d.vertical) + ", misalignment " + spreadText(d.misalignment) +
           " (with the pictures' own rotation: misalignment " + spreadText(d.foundMisalignment) + ", along a +x baseline)\n";
}

}  // namespace

namespace {

int alignPair(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, JsonReply* reply) {
    const ParsedOptions options = parseOptions(args, kAlignOptions, 2);
    auto usage = [&](const std::string& text) { return cli::usageError(err, text, kAlignUsage, "align"); };
    if (!options.error.empty()) return usage(options.error);
    if (options.has("help")) {
        printCommandHelp(out, kAlignHelp);
        return kExitOk;
    }
    if (const Fallible none = noLensRegistered(options, workingDirectoryOf(options)); !none.ok()) {
        printError(err, none.error);
        return kExitFailed;
    }
    for (const char* required : {"left-lens", "right-lens"})
        if (!options.has(required)) return usage(std::string("missing --") + required);
    int threads = 0;
    if (const Fallible bad = readThreads(options, threads); !bad.ok()) return usage(bad.error);
    ConversionRequest request;
    if (const Fallible bad = readImageArguments(options, request); !bad.ok()) return usage(bad.error);
    if (const Fallible bad = readAlignmentChoices(options, request); !bad.ok()) return usage(bad.error);
    const RigChoices rig = readRigChoices(options, request);
    if (!rig.ok()) {
        printError(err, rig.error);
        return kExitFailed;
    }

    LensRefining refining;
    if (const Fallible bad = readLensRefining(options, refining); !bad.ok()) return usage(bad.error);
    const LensSavingChoice saving = chooseLensSaving(options, request.workingDirectory, options.has("refine-lenses"), err);
    if (!saving.usage.empty()) return usage(saving.usage);
    const PairAlignment aligned = alignRequestPair(request, threads, refining);
    const alignment::AlignmentResult& r = aligned.result;
    for (const std::string& warning : aligned.warnings) err << "vistereo-cli: warning: " << warning << "\n";
    if (!aligned.ok()) {
        if (reply) reply->set("\"failure\": " + jsonString(r.ok() ? "Input" : alignment::failureName(r.failure)));
        printError(err, aligned.error);
        return kExitFailed;
    }
    const std::string comma = r.suggested.ok() ? r.suggested.commaLine() : "";
    const std::optional<RotationDisagreement> disagreement =
        rig.rotation ? std::optional(disagreementWith(r, *rig.rotation)) : std::nullopt;
    LensSaved saved;
    if (saving.saving)
        saved = saveRefinedLens(*saving.saving, {r.lenses.right.imageWidth(), r.lenses.right.imageHeight()},
                                refinedLensesOf(r), r.lenses.applied ? std::string() : r.lenses.notApplied);
    const int status = saving.saving && !saved.ok() ? kExitFailed : kExitOk;
    if (reply) {
        std::ostringstream rotation;
        for (int row = 0; row < 3; ++row)  // row-major
            for (int column = 0; column < 3; ++column)
                rotation << (row || column ? ", " : "") << number(r.rotation.m[row][column]);
        std::ostringstream members;
        members << "\"yaw_deg\": " << number(r.yawDegrees) << ", \"pitch_deg\": " << number(r.pitchDegrees)
            << ", \"roll_deg\": " << number(r.rollDegrees) << ", \"rotation\": [" << rotation.str() << "]"
            << ", \"baseline\": [" << number(r.baseline.x) << ", " << number(r.baseline.y) << ", "
            << number(r.baseline.z) << "], \"baseline_observed\": " << (r.baselineObserved ? "true" : "false")
            << ", \"baseline_note\": " << (r.baselineNote.empty() ? "null" : jsonString(r.baselineNote))
            << ", \"baseline_evidence\": {\"plus_x_points\": " << r.baselineEvidence.nominalSidePoints
            << ", \"plus_x_parallax_arcmin\": " << number(r.baselineEvidence.nominalSideParallax * kArcminPerRadian)
            << ", \"minus_x_points\": " << r.baselineEvidence.otherSidePoints
            << ", \"minus_x_parallax_arcmin\": " << number(r.baselineEvidence.otherSideParallax * kArcminPerRadian)
            << "}"
            << ", \"matches\": " << r.matches << ", \"inliers\": " << r.inliers
            << ", \"vertical_disparity_arcmin\": " << spreadJson(r.verticalDisparityArcmin)
            << disparityJson(r.disparity) << ", \"remaining_turn_deg\": " << turnJson(r.remainingTurn)
            << verdictJson(r.verdict, alignment::kVerticalComfortLimitArcmin, alignment::kVerticalFusionLimitArcmin)
            << ", \"epipolar_residual_arcmin\": " << spreadJson(r.epipolarResidualArcmin)
            << (r.lensesRefined ? lensRefinementJson(r.lenses) : std::string())
            << (saving.saving ? ", \"saved_lens\": " + lensSavedJson(*saving.saving, saved) : std::string())
            << (disagreement ? givenRotationJson(*disagreement, options.value("rotation-from")) : std::string())
            << ", \"suggested_points\": " << (comma.empty() ? "null" : jsonString(comma))
            << ", \"warning\": " << (r.warning.empty() ? "null" : jsonString(r.warning))
            << ", \"input_warnings\": " << jsonList(aligned.warnings)
            << ", \"seconds\": " << number(aligned.seconds);
        reply->set(members.str());
        if (status != kExitOk) printError(err, saved.error);
        return status;
    }
    out << "rotation of the right camera against the left: yaw " << number(r.yawDegrees) << ", pitch "
        << number(r.pitchDegrees) << ", roll " << number(r.rollDegrees) << " degrees\n"
        << "baseline direction: " << number(r.baseline.x) << ", " << number(r.baseline.y) << ", "
        << number(r.baseline.z)
        << (r.baselineObserved ? " (shown by the parallax of " + std::to_string(r.nearInliers) + " near points)"
                               : " (" + r.baselineNote + ")")
        << "\n"
        << "matches: " << r.matches << ", of which " << r.inliers << " agree with the rotation\n"
        << "vertical disparity after alignment: RMS " << number(r.verticalDisparityArcmin.rms) << "', 95th percentile "
        << number(r.verticalDisparityArcmin.p95) << "', largest " << number(r.verticalDisparityArcmin.max)
        << "' (minutes of arc)\n"
        << disparityText(r.disparity, "what the converted image will show: the vertical disparity no parallax along "
                                      "the viewer's baseline explains")
        << verdictText(r.verdict, r.verdictText, alignment::kVerticalComfortLimitArcmin);
    if (r.lensesRefined) out << lensRefinementText(r.lenses);
    if (disagreement) out << givenRotationText(*disagreement, options.value("rotation-from"));
    if (!comma.empty()) out << "points for the A/B route: " << comma << "\n";
    if (!r.warning.empty()) err << "vistereo-cli: warning: " << r.warning << "\n";
    if (r.lensesRefined && !r.lenses.lawAdvice.empty()) err << "vistereo-cli: warning: " << r.lenses.lawAdvice << "\n";
    if (saving.saving) printLensSaved(*saving.saving, saved, out, err);
    return status;
}

int checkImage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, JsonReply* reply) {
    const bool json = reply != nullptr;
    auto fail = [&](const std::string& message) {
        printError(err, message);
        return kExitFailed;
    };
    auto usage = [&](const std::string& text) { return cli::usageError(err, text, kCheckUsage, "check"); };
    const ParsedOptions options = parseOptions(args, kCheckOptions, SIZE_MAX);
    const std::vector<std::string>& files = options.positional;
    if (!options.error.empty()) return usage(options.error);
    if (options.has("help")) {
        printCommandHelp(out, kCheckHelp);
        return kExitOk;
    }
    if (files.size() != 1) return usage("give exactly one FILE to check");
    int threads = 0;
    if (const Fallible bad = readThreads(options, threads); !bad.ok()) return usage(bad.error);
    InputReadOptions reading;
    if (const Fallible bad = readInputChoices(options, reading); !bad.ok()) return usage(bad.error);
    const std::filesystem::path path = inDirectory(workingDirectoryOf(options), files[0]);

    const StereoImage read = readStereoImage(path, reading);
    if (!read.ok()) return fail("\"" + path.string() + "\": " + read.error);
    const cv::Mat& image = read.sideBySide;
    const bool vr180 = read.vr180;
    if (!json)
        for (const std::string& warning : read.warnings) err << "vistereo-cli: warning: " << path.string() << ": " << warning << "\n";
    else
        reply->set("\"vr180\": " + std::string(vr180 ? "true" : "false") + ", \"warnings\": " + jsonList(read.warnings));
    alignment::MeasureOptions measureOptions;
    measureOptions.threads = threads;
    const alignment::StereoMeasurement m = alignment::measureStereo(image, measureOptions);
    if (!m.ok())
        return fail("cannot measure " + path.string() + ": " + m.error + (read.turned.empty() ? "" : "; " + read.turned));
    alignment::PhotometricOptions colourOptions;
    colourOptions.threads = threads;
    const alignment::ColourMatch colour = alignment::measureColour(image, m, colourOptions);
    const alignment::StereoWindow window = alignment::assessStereoWindow(m, measureOptions);
    if (json) {
        std::ostringstream members;
        members << "\"half_size\": " << m.halfSize << ", \"vr180\": " << (vr180 ? "true" : "false")
            << ", \"warnings\": " << jsonList(read.warnings)
            << ", \"inliers\": " << m.inliers << ", \"vertical_arcmin\": " << spreadJson(m.verticalArcmin)
            << ", \"vertical_pixels\": " << spreadJson(m.verticalPixels) << ", \"horizontal_arcmin\": ["
            << number(m.horizontalMinArcmin) << ", " << number(m.horizontalMaxArcmin) << "], \"horizontal_pixels\": ["
            << number(m.horizontalMinPixels) << ", " << number(m.horizontalMaxPixels) << "], \"coverage\": "
            << number(m.coverage) << disparityJson(m.disparity) << ", \"remaining_turn_deg\": ["
            << number(m.remainingTurn.yaw) << ", " << number(m.remainingTurn.pitch) << ", "
            << number(m.remainingTurn.roll) << "]" << verdictJson(m.verdict, m.comfortLimitArcmin, m.fusionLimitArcmin)
            << ", \"eyes_swapped\": " << (m.eyesSwapped ? "true" : "false") << colourJson(colour)
            << windowJson(window);
        reply->set(members.str());
        return kExitOk;
    }
    out << path.string() << ": " << 2 * m.halfSize << " x " << m.halfSize << (vr180 ? " (VR180 photo)" : "") << ", "
        << m.inliers << " matched points over " << number(100.0 * m.coverage) << " % of the frame\n"
        << "vertical disparity: RMS " << number(m.verticalArcmin.rms) << "', 95th percentile "
        << number(m.verticalArcmin.p95) << "', largest " << number(m.verticalArcmin.max) << "' (RMS "
        << number(m.verticalPixels.rms) << " px, 95th percentile " << number(m.verticalPixels.p95) << " px, largest "
        << number(m.verticalPixels.max) << " px)\n"
        << "horizontal disparity (depth budget): " << number(m.horizontalMinArcmin) << "' to "
        << number(m.horizontalMaxArcmin) << "' (" << number(m.horizontalMinPixels) << " to "
        << number(m.horizontalMaxPixels) << " px)\n"
        << disparityText(m.disparity, "a turn of the right half by yaw " + number(m.remainingTurn.yaw) + ", pitch " +
                                          number(m.remainingTurn.pitch) + ", roll " + number(m.remainingTurn.roll) +
                                          " degrees would remove most of it")
        << windowText(window) << colourText(colour) << verdictText(m.verdict, m.verdictText, m.comfortLimitArcmin);
    if (m.eyesSwapped) err << "vistereo-cli: warning: " << path.string() << ": " << m.warning << "\n";
    return kExitOk;
}

}  // namespace

int runAlignCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return answerInJson(args, out, err, alignPair);
}

int runCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return answerInJson(args, out, err, checkImage);
}

}  // namespace vistereo::cli
