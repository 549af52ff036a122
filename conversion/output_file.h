// A conversion's output: the side-by-side canvas, its encoding in the format
// of the output's name, and the file written in one step. The photo run and
// the batch write their outputs through these; a step that fails carries its
// status and says why.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "conversion/checks.h"
#include "conversion/request.h"
#include "imagefile/jpeg_encoder.h"

namespace vistereo {

// The side-by-side canvas of an output height that passed checkOutput
// (`rows` rows of it, when not all).
RunStep allocateCanvas(int32_t outputHeight, cv::Mat& canvas, int rows = -1);

// The canvas in the format of `outputName`'s extension with the request's
// JPEG quality and EXIF choice (the left input's EXIF), or as a VR180 photo
// for a *.vr.jpg name; notes of lesser weight (no EXIF to carry over) are
// appended to `notes`. With `rowsReady`, the canvas is still being rendered
// and the encoder takes its rows as they are final; `threads` as in
// EncodeChoices; with `lent`, the picture comes from those rows instead of
// the canvas (a format that `lends` for the name).
RunStep encodeOutput(const ConversionRequest& request, const std::string& outputName,
                     const std::filesystem::path& leftInput, const cv::Mat& canvas, std::vector<uchar>& encoded,
                     std::vector<std::string>& notes, const WaitForRows& rowsReady = {}, int threads = 1,
                     const LentRows* lent = nullptr);

// The encoded image into the target in one step (a WriteFailed refusal whose
// detail says why); with `makeFolder`, its missing folders are made first.
// A target that is a symbolic link is replaced, never written through.
RunStep writeOutput(const std::filesystem::path& target, const std::vector<uchar>& encoded, bool makeFolder = false);

}  // namespace vistereo
