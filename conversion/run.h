// The conversion pipeline: checks the inputs, reads both fisheye images,
// derives the per-eye values, aligns the pair when asked, renders both
// halves, writes the side-by-side image.
//
// It takes the user's choices as one typed, read-only request and reports
// through a MessageSink with the dialog's own texts; the returned result tells
// front ends what really happened (for instance whether the file was written)
// and keeps every message it showed.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "alignment/alignment.h"
#include "alignment/photometric.h"
#include "conversion/input.h"
#include "engine/params.h"
#include "engine/prepare.h"
#include "conversion/output_formats.h"
#include "conversion/output_target.h"
#include "engine/render.h"
#include "media/image_header.h"

namespace vistereo {

// Where the run's messages go (a message box in the desktop program, stderr
// in the command-line tool, a list in tests).
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void showMessage(const std::string& text) = 0;
};

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
struct PointsInput {
    PointSet points;
    std::string error;
    bool ok() const { return error.empty(); }
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
    RefinedLenses lenses;
};

// Whether the automatic alignment refines the right lens against the left
// as well (alignment/lens_refinement.h), and with it the first shape term.
struct LensRefining {
    bool lenses = false;
    bool shape = false;
};

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

enum class ConversionStatus {
    Written,             // the output file holds the new image
    NoLensSelected,      // "Select camera and lens"
    CommaLineInvalid,    // the comma line is not eight int32 values
    SamePoints,          // "Enter the correct coordinates of A and B point"
    LeftImageInvalid,    // "Enter the valid left image file name"
    RightImageInvalid,   // "Enter the valid right image file name"
    InputTooLarge,       // an image's header claims more pixels than the input limit
    InvalidLensCode,     // radiusMode, mappingKind or axisMode out of range: ends silently
    ImpossibleLens,      // a lens value that cannot describe a lens (refuseImpossibleLenses)
    OutputHeightInvalid, // height 0 or negative, canvas too large, or too wide for the format
    OutputNameInvalid,   // the image library cannot write that name
    OutOfMemory,         // memory ran out while the output was encoded
    WriteFailed,         // "Finished converting!!!" was shown, but no file was written
    OutputRefused,       // the output would have replaced a file the run reads: not written, though
                         // "Finished converting!!!" was shown as after any write that did not happen
    AlignmentFailed,     // the automatic alignment found no rotation for the pair (the detail says why)
};

// The automatic alignment of one pair, or why it could not be aligned.
struct PairAlignment {
    // Empty when the pair could be aligned; otherwise why not, in the run's
    // own words for a lens or image problem, or the alignment's reason.
    std::string error;
    alignment::AlignmentResult result;
    // What the user should hear about the pictures themselves (a damaged
    // image, an orientation tag that turned one), as the run warns.
    std::vector<std::string> warnings;
    double seconds = 0.0;  // reading, preparing and aligning
    bool ok() const { return error.empty(); }
};

struct StageSeconds {
    double align = 0.0, read = 0.0, derive = 0.0, matchColour = 0.0, renderRight = 0.0, renderLeft = 0.0, encode = 0.0, write = 0.0;
};

struct ConversionResult {
    ConversionStatus status = ConversionStatus::NoLensSelected;
    std::filesystem::path outputPath;        // where the image was (or would have been) written
    std::string detail;                      // why, for the statuses that are not the dialog's own
    std::optional<LensCodeError> invalidLensCode;
    // The per-eye geometry, as far as it was derived before the run ended.
    std::array<EyeGeometry, 2> eyes;
    // Facts the user should hear although the run went on: an input that
    // decoded with damage, named with its file.
    std::vector<std::string> warnings;
    // Facts of lesser weight: an input without EXIF to carry over, say.
    std::vector<std::string> notes;
    // The colour match fitted on the pair, when the request asked for one
    // and the run got that far (not ok: the output is not corrected, and a
    // warning says why).
    std::optional<alignment::ColourMatch> colour;
    // The request's automatic alignment, once the run got that far: the
    // rotation, how many matches agree, the vertical disparity, and the
    // lenses it refined (the eyes were rendered through refinedLenses).
    std::optional<PairAlignment> aligned;
    RefinedLenses refinedLenses;
    // Every message the run showed, in the order shown.
    std::vector<std::string> messages;
    StageSeconds seconds;
    bool written() const { return status == ConversionStatus::Written; }
    // Why the run ended, on one line: its message followed by the detail
    // that explains it (the file and the cause of an unreadable image).
    std::string explained() const;
};

struct RunOptions {
    int threads = 0;       // 0: every hardware thread
    RowProgress progress;  // rows done per half
    bool exactArithmetic = false;  // every angle through acos/atan2/sin/cos (slower, byte-exact)
    Interpolation interpolation = Interpolation::Bilinear;
    // Where the JPEG pictures' pixels are allocated (an ImageBufferPool's, to
    // reuse the buffers of the pairs before); null: the image library's own way.
    cv::MatAllocator* pixelAllocator = nullptr;
};

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
// Why the request's output would replace one of the files the run reads
// (its images, the lens registry, otherInputs), naming both; empty when not.
std::string outputClash(const ConversionRequest& request);

// Which lens of the request has an unknown mode code, and which.
std::string describeLensCodeError(const LensCodeError& error, const std::array<LensSettings, 2>& lenses);

// The whole conversion of one pair: the request's checks, both images read
// once, the prepare step, the automatic alignment when the request asks for
// it, the output's checks, the render, the file and the closing message.
ConversionResult RunConversion(const ConversionRequest& request, MessageSink& messages,
                               const RunOptions& options = {});

// The comma line: split at ",", each piece read with the std::stoi rules, a
// final comma adding nothing. Returns the eight values in point-list order, or
// an error text naming the problem (count, piece, range).
struct CommaLineParse {
    std::array<int32_t, 8> values{};
    std::string error;  // empty when the line is good
    bool ok() const { return error.empty(); }
};
CommaLineParse parseCommaLine(std::string_view line);

// The dialog's texts.
inline constexpr const char* kMsgSelectLens = "Select camera and lens";
inline constexpr const char* kMsgBadPoints = "Enter the correct coordinates of A and B point";
inline constexpr const char* kMsgBadLeftImage = "Enter the valid left image file name";
inline constexpr const char* kMsgBadRightImage = "Enter the valid right image file name";
inline constexpr const char* kMsgFinished = "Finished converting!!!";

}  // namespace vistereo
