// The checks a conversion makes before it decodes a picture or renders a
// row, and how a check refuses: the request's own (a lens for each eye,
// readable points A and B that differ between the images), each decoded
// image, the output's name, height and memory, and where the output may go.
// The front ends run them ahead of a conversion to refuse early, with the
// same texts the run shows.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "conversion/request.h"
#include "conversion/result.h"
#include "imagefile/input.h"

namespace vistereo {

// How a step ended the run: its status, the text the run shows for it
// (empty: the run ends without a message, as for an unknown lens code, or
// shows only its closing message, as after a failed write) and the result's
// detail.
struct RunRefusal {
    ConversionStatus status = ConversionStatus::NoLensSelected;
    std::string message;
    std::string detail;
    std::optional<LensCodeError> lensCode;
    // What names the problem for a report: the message, else the detail.
    const std::string& text() const { return message.empty() ? detail : message; }
    // The message followed by the detail that explains it (the file and the
    // cause of an unreadable image), on one line.
    std::string explained() const {
        return message.empty() || detail.empty() || detail == message ? text() : message + ": " + detail;
    }
};

// A refusal with its status; a null `message` shows the detail instead.
RunRefusal refusalOf(ConversionStatus status, const char* message, std::string detail = {});

// What concerns the request alone, in the run's order: a lens for each eye,
// and, when points align the right eye, readable points with A and B
// differing between the images.
std::optional<RunRefusal> checkRequest(const ConversionRequest& request);

// Judges one image of the pair (eye 0 left, 1 right): over the limit (the
// limit's own text), or not decoded ("Enter the valid left image file name",
// with the file and the cause as the detail).
std::optional<RunRefusal> judgeInputImage(const InputImage& image, int eye);

// Judges the two images, left before right. When both pass, what the user
// should hear about them (inputWarnings) is appended to `warnings`.
std::optional<RunRefusal> judgeInputImages(const InputImages& images, std::vector<std::string>& warnings);

// What the writer and the machine can take: the name's format, the height,
// the format's width limit (of one half for a VR180 name), the canvas's memory.
std::optional<RunRefusal> checkOutput(const std::string& outputName, int32_t outputHeight);

// The output of one conversion judged before any picture is decoded:
// checkOutput, then whether it would replace a file the run reads
// (outputClash), then whether its place can take a file (writeObstacle).
std::optional<RunRefusal> admitOutput(const ConversionRequest& request);

}  // namespace vistereo
