// What one conversion is asked to do, as the user chose it: the lenses, how
// the right eye is aligned (points A and B as given, a given rotation, or
// automatically from the pictures), the output's size and name, where the
// files are, and the choices that change the output's bytes. Front ends fill
// it from their controls or options; the run reads it and never changes it.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/fallible.h"
#include "imagefile/input.h"
#include "conversion/output_target.h"
#include "engine/params.h"
#include "engine/prepare.h"
#include "engine/render.h"

namespace vistereo {

// Point entry modes of the main dialog.
inline constexpr int kSeparateInput = 0;
inline constexpr int kCommaSeparatedInput = 1;

// The point fields of the main dialog as typed.
struct PointEntry {
    int mode = kSeparateInput;
    // The eight point boxes, in the point-list order: A-left x, B-left x,
    // A-right x, B-right x, A-left y, B-left y, A-right y, B-right y.
    std::array<std::string, 8> boxes;
    std::string commaLine;
};

// Points A and B as read from the dialog's fields, or why they could not be
// read (only the comma line can fail: a box that is not a number reads as 0).
struct PointsInput : Fallible {
    PointSet points;
};

// The one place where the dialog's point texts become numbers: the boxes
// with the box rules, the comma line with parseCommaLine.
PointsInput readPointEntry(const PointEntry& entry);

// Points A and B as the user gave them: the main dialog's fields as typed,
// read when the run comes to its point check (so that a comma line that is
// not eight numbers is reported in its place among the run's messages), or
// numbers already (the command line, a pick in the frames).
struct PointsAB {
    std::variant<PointSet, PointEntry> given;
};

// The points as the run reads them at its point check.
PointsInput readPoints(const PointsAB& points);

// The lenses as an alignment refined them from the pictures: each eye's
// correction, and a law that fits it better than its record's, at the
// record's radius for 90 degrees. The identity and no law change nothing.
struct RefinedLenses {
    std::array<LensCorrection, 2> corrections;
    std::array<std::optional<MappingKind>, 2> laws;
};

// The right eye turned onto the left by this rotation instead of points,
// with the lenses as the alignment that found it refined them (a shoot
// aligned once); by default the eyes are exactly as their records describe
// them.
struct GivenRotation {
    RotationMatrix rotation;
    RefinedLenses lenses = {};  // those the alignment refined, when it did
};

// Whether the automatic alignment refines the right lens against the left
// as well (alignment/lens_refinement.h), and with it the first shape term.
struct LensRefining {
    bool lenses = false;
    bool shape = false;
    // The refinement tried on the alignment's own account: its lenses are
    // used only when they line the pair up clearly better than the records.
    bool onlyWhenClearlyBetter = false;
};
// What an automatic alignment does unless told otherwise: real lenses are
// never exactly their records, so it tries the right lens refined against
// the left and keeps it where it clearly helps.
inline constexpr LensRefining kRefineWhenClearlyBetter{true, false, true};

// For many pairs: each aligned from its own images, or one rotation for the
// whole shoot from the first pairs that align. A video is always aligned
// once, from frame pairs spread over its range.
enum class AlignmentScope { EachPair, Once };

// The right eye aligned from the pictures themselves, by the run.
struct AutomaticAlignment {
    LensRefining refining;
    AlignmentScope scope = AlignmentScope::EachPair;
};

using AlignmentChoice = std::variant<PointsAB, GivenRotation, AutomaticAlignment>;

// The points A and B a choice aligns by, as given and as the run reads them
// (none when a rotation aligns the right eye), and the rotation it gives
// (none unless given).
PointsAB givenPoints(const AlignmentChoice& choice);
PointSet alignmentPoints(const AlignmentChoice& choice);
std::optional<RotationMatrix> givenRotation(const AlignmentChoice& choice);
// The lenses the eyes are rendered through before any alignment of the run's
// own: a given rotation's, the records' as they are otherwise.
RefinedLenses givenLenses(const AlignmentChoice& choice);

// The one place where a front end's options become the alignment choice:
// automatic (in `scope`, refining as asked) when `automatic` is set,
// otherwise the points.
AlignmentChoice chooseAlignment(std::optional<AlignmentScope> automatic, PointsAB points, LensRefining refining = {});

// Whether the run matches the right eye's colours onto the left's, in the
// render: a gain and offset (or a monotone tone curve, when it measures
// better) per channel, fitted on the far field of the pair; with Falloff
// also the difference of the lenses' fall-off towards the rim, undone in
// the eye that is darker there.
enum class ColourMatching { Off, Tone, ToneAndFalloff };

// Everything one conversion needs, chosen by the user; the run does not
// change it. Front ends fill it from their controls or options.
struct ConversionRequest {
    std::array<LensSettings, 2> lenses;  // left, right (empty name: no lens chosen)
    // How the right eye is turned onto the left: points A and B (read and
    // checked by the run), a given rotation, or found from the pictures.
    AlignmentChoice alignment = PointsAB{};
    int32_t outputHeight = kDefaultOutputHeight;
    ZenithTenths zenith;
    std::string leftName = "L.jpg";
    std::string rightName = "R.jpg";
    std::string outputName = "LROut.jpg";  // its extension picks the format
    std::filesystem::path workingDirectory = ".";
    // Where the images are read and the output written. Empty: the dialog's
    // rule, "<working directory>/input/" and "<working directory>/output/"
    // followed by the name as typed (see leftImagePath and the others).
    std::filesystem::path leftPath, rightPath, outputPath;
    // Files the run reads besides its two images (the lens registry of the
    // working directory always counts): the output never replaces one.
    std::vector<ProtectedFile> otherInputs;
    // Make the output's folders when they are missing (the command line); the
    // dialog writes nothing then.
    bool createOutputFolder = false;
    InputLimits limits;
    // Read both images as their sensors recorded them, not turned by their
    // EXIF orientation tags (see InputReadOptions).
    bool ignoreOrientation = false;
    int jpegQuality = 0;  // 1 .. 100 for a JPEG output; 0: the image library's default
    // A side-by-side JPEG output carries the left input's EXIF (a VR180
    // output, named *.vr.jpg, always does).
    bool keepExif = false;
    // Refuse, before rendering, a lens whose values cannot describe a lens
    // (a radius of 0, a k of 5, a falling quadratic, an axis far off the
    // picture), naming the record, the field and the value. The desktop
    // program's own run leaves it off and renders what the numbers say.
    bool refuseImpossibleLenses = false;
    // Refuse, before rendering, points A and B that lie outside their
    // picture or that the lens cannot turn into a direction (beyond its
    // image circle, or exactly on its axis), naming the point, the picture
    // and why. The desktop program's own run leaves it off, renders (a black
    // right half) and says so after its closing message.
    bool refuseImpossiblePoints = false;
    // The mapping codes the run knows. The desktop program's own run knows
    // the classic four unless its user asks for the newer projections (an
    // unknown code ends the run without a message, as it always did).
    MappingKinds mappingKinds = MappingKinds::All;
    // Off: every output byte as sampled, as the run always wrote it.
    ColourMatching matchColour = ColourMatching::Off;
    // The stereo window: the right eye's view turned about the vertical axis
    // by this many degrees (positive: its picture to the right), so that
    // objects at the matching distance lie on the plane of the frame. 0: not
    // turned (points A and B then align the right eye as always).
    double convergenceDegrees = 0.0;
};

// The comma line: split at ",", each piece read with the std::stoi rules, a
// final comma adding nothing. Returns the eight values in point-list order, or
// an error text naming the problem (count, piece, range).
struct CommaLineParse : Fallible {
    std::array<int32_t, 8> values{};
};
CommaLineParse parseCommaLine(std::string_view line);

// How the request's images are read: its limits and orientation choice, the
// two pictures of a pair at once only when `threads` allows two (0: as many
// as the hardware has), their JPEG pixels where `pixels` allocates (null: the
// image library's own way).
InputReadOptions readOptionsOf(const ConversionRequest& request, int threads, cv::MatAllocator* pixels = nullptr);

// Both images of a request, from its paths, read as readOptionsOf says.
InputImages readInputImages(const ConversionRequest& request, int threads, cv::MatAllocator* pixels = nullptr);

// The files a request names: its own paths, or by the dialog's rule.
std::filesystem::path leftImagePath(const ConversionRequest& request);
std::filesystem::path rightImagePath(const ConversionRequest& request);
std::filesystem::path outputImagePath(const ConversionRequest& request);
// Whether the request's output would replace one of the files the run reads
// (its images, the lens registry, otherInputs), naming both.
Fallible outputClash(const ConversionRequest& request);

}  // namespace vistereo
