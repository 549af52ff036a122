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
#include <string>

#include "conversion/request.h"
#include "conversion/result.h"
#include "engine/render.h"

namespace vistereo {

// Where the run's messages go (a message box in the desktop program, stderr
// in the command-line tool, a list in tests).
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void showMessage(const std::string& text) = 0;
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

// Which lens of the request has an unknown mode code, and which.
std::string describeLensCodeError(const LensCodeError& error, const std::array<LensSettings, 2>& lenses);

// The whole conversion of one pair: the request's checks, both images read
// once, the prepare step, the automatic alignment when the request asks for
// it, the output's checks, the render, the file and the closing message.
ConversionResult RunConversion(const ConversionRequest& request, MessageSink& messages,
                               const RunOptions& options = {});

// The dialog's texts.
inline constexpr const char* kMsgSelectLens = "Select camera and lens";
inline constexpr const char* kMsgBadPoints = "Enter the correct coordinates of A and B point";
inline constexpr const char* kMsgBadLeftImage = "Enter the valid left image file name";
inline constexpr const char* kMsgBadRightImage = "Enter the valid right image file name";
inline constexpr const char* kMsgFinished = "Finished converting!!!";

}  // namespace vistereo
