// What one conversion did: how it ended (the file written, or the check that
// stopped it, with the detail that explains it), every message it showed,
// what the user should hear besides, the per-eye geometry, the alignment and
// colour match it worked out, and the time each stage took.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "alignment/alignment.h"
#include "colour/photometric.h"
#include "base/fallible.h"
#include "conversion/request.h"
#include "lens/lens_check.h"
#include "engine/params.h"
#include "engine/prepare.h"

namespace vistereo {

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
    ImpossiblePoint,     // a point A or B outside its picture or without a direction (refuseImpossiblePoints)
    OutputHeightInvalid, // height 0 or negative, canvas too large, or too wide for the format
    OutputNameInvalid,   // the image library cannot write that name
    OutOfMemory,         // memory ran out while the output was encoded
    WriteFailed,         // "Finished converting!!!" was shown, but no file was written
    OutputRefused,       // the output would have replaced a file the run reads: not written, though
                         // "Finished converting!!!" was shown as after any write that did not happen
    AlignmentFailed,     // the automatic alignment found no rotation for the pair (the detail says why)
};

// The automatic alignment of one pair, or why it could not be aligned.
// The error, when it could not: the run's own words for a lens or image
// problem, or the alignment's reason.
struct PairAlignment : Fallible {
    alignment::AlignmentResult result;
    // What the user should hear about the pictures themselves (a damaged
    // image, an orientation tag that turned one), as the run warns.
    std::vector<std::string> warnings;
    double seconds = 0.0;  // reading, preparing and aligning
};

// Seconds spent in each stage of a run. The encoding runs beside the render
// of the halves, so `encode` is the part of it that outlasted the render.
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
    // Values the run went on with although no lens or picture can have them,
    // when the request does not refuse them: the desktop program says them
    // after its closing message. Lens values by eye and field (the front end
    // words them, with the text its record holds), points in words.
    std::vector<LensValueFinding> impossibleLenses;
    std::vector<std::string> impossiblePoints;
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

}  // namespace vistereo
