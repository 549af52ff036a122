// The checks a conversion makes before it decodes a picture or renders a
// row, and how a check refuses: the request's own (a lens for each eye,
// readable points A and B that differ between the images), each decoded
// image, the output's name, height and memory, and where the output may go.
// Each returns a RunStep, good when the run may go on. The front ends run
// them ahead of a conversion to refuse early, with the same texts the run
// shows.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "conversion/request.h"
#include "conversion/result.h"
#include "imagefile/input.h"

namespace vistereo {

// How one step of a run ended: good, or the run ends here with `status`.
// A step that ends the run always says why in `error`: the text the run
// shows for it, or, where the run shows no message of its own
// (endsSilently: an unknown lens code, an alignment that found no rotation,
// a write that did not happen), the detail, for logs, reports and tests.
// `detail` explains what the run showed (the file and the cause of an
// unreadable image), or is the same text.
struct RunStep : Fallible {
    ConversionStatus status = ConversionStatus::Written;
    std::string detail;
    std::optional<LensCodeError> lensCode;
    // The message the run shows, followed by the detail that explains it,
    // on one line; the detail alone where the run shows nothing.
    std::string explained() const;
};

// Whether a run that ends with `status` shows no message for it: a lens
// record with a code no lens has ends the run silently, a failed alignment
// leaves its reason to the detail, and a write that failed still closes
// with the run's closing message.
bool endsSilently(ConversionStatus status);

// A message followed by the detail that explains it, on one line: the
// message alone when the detail is empty or the same, the detail alone
// when there is no message.
std::string explainedRefusal(const std::string& message, const std::string& detail);

// A step that ends the run with `status`: `message` is what the run shows
// (null: the detail), the detail explains it.
RunStep refusalOf(ConversionStatus status, const char* message, std::string detail = {});

// What concerns the request alone, in the run's order: a lens for each eye,
// and, when points align the right eye, readable points with A and B
// differing between the images.
RunStep checkRequest(const ConversionRequest& request);

// Judges one image of the pair (eye 0 left, 1 right): over the limit (the
// limit's own text), or not decoded ("Enter the valid left image file name",
// with the file and the cause as the detail).
RunStep judgeInputImage(const InputImage& image, int eye);

// Judges the two images, left before right. When both pass, what the user
// should hear about them (inputWarnings) is appended to `warnings`.
RunStep judgeInputImages(const InputImages& images, std::vector<std::string>& warnings);

// What the writer and the machine can take: the name's format, the height,
// the format's width limit (of one half for a VR180 name), the canvas's memory.
RunStep checkOutput(const std::string& outputName, int32_t outputHeight);

// The output of one conversion judged before any picture is decoded:
// checkOutput, then whether it would replace a file the run reads
// (outputClash), then whether its place can take a file (writeObstacle).
RunStep admitOutput(const ConversionRequest& request);

}  // namespace vistereo
