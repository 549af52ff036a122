// The conversion's inner steps, one function each: the eyes prepared for the
// pictures' sizes, the points judged, the canvas, the halves, the encoding
// and the file. The libraries that convert (the photo run, the batch, the
// video, the lens calibration) share them; the front ends see only the
// checks (checks.h), the core (core.h) and the run (run.h).
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imagefile/jpeg_encoder.h"
#include "conversion/checks.h"
#include "conversion/core.h"
#include "conversion/run.h"

namespace vistereo {

// A refusal with its status; a null `message` shows the detail instead.
RunRefusal refusalOf(ConversionStatus status, const char* message, std::string detail = {});

// The side-by-side canvas of an output height that passed checkOutput.
std::optional<RunRefusal> allocateCanvas(int32_t outputHeight, cv::Mat& canvas, int rows = -1);


// The canvas in the format of `outputName`'s extension with the request's
// JPEG quality and EXIF choice (the left input's EXIF), or as a VR180 photo
// for a *.vr.jpg name; notes of lesser weight (no EXIF to carry over) are
// appended to `notes`. With `rowsReady`, the canvas is still being rendered
// and the encoder takes its rows as they are final; `threads` as in
// EncodeChoices; with `lent`, the picture comes from those rows instead of
// the canvas (a format that `lends` for the name).
std::optional<RunRefusal> encodeOutput(const ConversionRequest& request, const std::string& outputName,
                                       const std::filesystem::path& leftInput, const cv::Mat& canvas,
                                       std::vector<uchar>& encoded, std::vector<std::string>& notes,
                                       const WaitForRows& rowsReady = {}, int threads = 1,
                                       const LentRows* lent = nullptr);

// The encoded image into the target in one step (a WriteFailed refusal whose
// detail says why); with `makeFolder`, its missing folders are made first.
// A target that is a symbolic link is replaced, never written through.
std::optional<RunRefusal> writeOutput(const std::filesystem::path& target, const std::vector<uchar>& encoded,
                                      bool makeFolder = false);

}  // namespace vistereo
