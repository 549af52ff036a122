// The conversion run: checks the inputs, reads both fisheye images, derives
// the per-eye values, renders both halves, writes the side-by-side image.
//
// It takes the main dialog's values as plain data and reports through a
// MessageSink with the dialog's own texts; the returned status tells front
// ends what really happened (for instance whether the file was written).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "engine/params.h"
#include "engine/render.h"

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

struct ConversionRequest {
    int pointEntryMode = kSeparateInput;
    // The eight point boxes, in the point-list order: A-left x, B-left x,
    // A-right x, B-right x, A-left y, B-left y, A-right y, B-right y.
    std::array<std::string, 8> pointBoxes;
    std::string commaLine;
    std::string leftName = "L.jpg";
    std::string rightName = "R.jpg";
    std::string outputName = "LROut.jpg";
    std::filesystem::path workingDirectory = ".";
};

enum class ConversionStatus {
    Written,             // the output file holds the new image
    NoLensSelected,      // "Select camera and lens"
    CommaLineInvalid,    // the comma line is not eight int32 values
    SamePoints,          // "Enter the correct coordinates of A and B point"
    LeftImageInvalid,    // "Enter the valid left image file name"
    RightImageInvalid,   // "Enter the valid right image file name"
    InvalidLensCode,     // radiusMode, mappingKind or axisMode out of range: ends silently
    OutputHeightInvalid, // height 0 or negative, or canvas too large
    OutputNameInvalid,   // the image library cannot write that name
    WriteFailed,         // "Finished converting!!!" was shown, but no file was written
};

// Which lens code ended a run with InvalidLensCode.
struct InvalidLensCode {
    int eye = 0;               // 0 left, 1 right
    std::string field;         // "radiusMode", "mappingKind" or "axisMode"
    int32_t value = 0;
};

struct StageSeconds {
    double read = 0.0, derive = 0.0, renderRight = 0.0, renderLeft = 0.0, encode = 0.0, write = 0.0;
};

struct ConversionResult {
    ConversionStatus status = ConversionStatus::NoLensSelected;
    std::filesystem::path outputPath;        // where the image was (or would have been) written
    std::string detail;                      // why, for the statuses that are not the dialog's own
    std::optional<InvalidLensCode> invalidLensCode;
    StageSeconds seconds;
    bool written() const { return status == ConversionStatus::Written; }
};

struct RunOptions {
    int threads = 0;       // 0: every hardware thread
    RowProgress progress;  // rows done per half
    bool exactArithmetic = false;  // every angle through acos/atan2/sin/cos (slower, byte-exact)
};

// The two input images as the run reads them: "<working directory>/input/"
// followed by each name as typed, in colour, decoded at the same time. A file
// that is missing or cannot be decoded gives an empty image.
struct InputImages {
    cv::Mat left;
    cv::Mat right;
};
InputImages readInputImages(const std::filesystem::path& workingDirectory, const std::string& leftName,
                            const std::string& rightName);

ConversionResult RunConversion(ConversionParams& params, const ConversionRequest& request,
                               MessageSink& messages, const RunOptions& options = {});

// The comma line: split at ",", each piece read with the std::stoi rules, a
// final comma adding nothing. Returns the eight values in point-list order, or
// an error text naming the problem (count, piece, range).
struct CommaLineParse {
    std::array<int32_t, 8> values{};
    std::string error;  // empty when the line is good
    bool ok() const { return error.empty(); }
};
CommaLineParse parseCommaLine(std::string_view line);

// The eight values in point-list order into leftA, leftB, rightA, rightB.
void assignPoints(ConversionParams& params, const std::array<int32_t, 8>& values);
std::array<int32_t, 8> pointsInListOrder(const ConversionParams& params);

// The dialog's texts.
inline constexpr const char* kMsgSelectLens = "Select camera and lens";
inline constexpr const char* kMsgBadPoints = "Enter the correct coordinates of A and B point";
inline constexpr const char* kMsgBadLeftImage = "Enter the valid left image file name";
inline constexpr const char* kMsgBadRightImage = "Enter the valid right image file name";
inline constexpr const char* kMsgFinished = "Finished converting!!!";

}  // namespace vistereo
