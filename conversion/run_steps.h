// The conversion run's steps, one function each, as RunConversion takes them
// in a row: the request's own checks, the pair's images read and judged, the
// prepare step, the output's name, size and memory, the canvas, the right
// half, the left half, the encoding and the file. A front end that converts
// many pairs with one set of choices (the batch) runs the same steps, so each
// of its outputs holds the bytes and each refusal the text of a single run.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imagefile/jpeg_encoder.h"
#include "conversion/run.h"

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

// The per-eye geometry for the images' sizes and what both renderers read.
// After an unknown lens code, `eyes` holds what was derived.
struct PreparedPair {
    PreparedEyes eyes;
    ConversionGeometry geometry;
    // The lens values no lens has, when the request does not refuse them.
    std::vector<LensValueFinding> impossibleLenses;
};
// The eyes of `geometry`, prepared from their records, as `lenses` refined them.
void applyRefinedLenses(const RefinedLenses& lenses, ConversionGeometry& geometry);

std::optional<RunRefusal> preparePair(const ConversionRequest& request, ImageSize left, ImageSize right,
                                      PreparedPair& prepared);

// Points A and B judged against the pictures and lenses they are for: a
// point outside its picture, beyond its lens's image circle or exactly on
// its axis (where the turn between the cameras has no direction to take).
// Each problem named with the point, the picture and why.
std::vector<std::string> pointProblems(const PreparedPair& prepared, const std::array<LensSettings, 2>& lenses,
                                       const PointSet& points);

// The points' problems as the request takes them: a refusal when it refuses
// them, else appended to `wentOn`.
std::optional<RunRefusal> judgePoints(const ConversionRequest& request, const PreparedPair& prepared,
                                      const PointSet& points, std::vector<std::string>& wentOn);

// What the writer and the machine can take: the name's format, the height,
// the format's width limit (of one half for a VR180 name), the canvas's memory.
std::optional<RunRefusal> checkOutput(const std::string& outputName, int32_t outputHeight);

// The side-by-side canvas of an output height that passed checkOutput.
std::optional<RunRefusal> allocateCanvas(int32_t outputHeight, cv::Mat& canvas, int rows = -1);

RenderOptions renderOptionsOf(const RunOptions& options);

// The right eye's rotation as the request renders it: `rotation` (none:
// `points`), turned by the request's convergence when it has one (the
// rotation of A and B then as a matrix).
std::optional<RotationMatrix> convergedRightEye(const ConversionRequest& request, const ConversionGeometry& geometry,
                                                const std::optional<RotationMatrix>& rotation, const PointSet& points);

// The colour match `request` asks for (nothing when Off), fitted on the far
// field of the pair as its right half is rendered: turned by `rotation`
// when given, else by `points`. The automatic alignment's matches,
// when given, tell near from far; without them every pixel counts as far.
std::optional<alignment::ColourMatch> matchColours(const ConversionRequest& request, const cv::Mat& left,
                                                   const cv::Mat& right, const ConversionGeometry& geometry,
                                                   const std::optional<RotationMatrix>& rotation,
                                                   const PointSet& points, const alignment::AlignmentResult* aligned,
                                                   int threads);

// The correction of eye 0 (left) or 1 (right) a fitted match carries into
// the render; none when there is no match or it failed.
const EyeColourCorrection* colourOf(const alignment::ColourMatch* match, int eye);

// "the colours of the eyes were not matched: ..." for a match that failed.
std::string colourMatchFailure(const alignment::ColourMatch& match);

// The right half of every target, aligned by `rotation` when given, else by
// points A and B; the left half of every target.
// With `rows`, only that band of rows of each half (the progress then counts
// the rows of the half down to the band's end).
void renderRightHalves(const ConversionGeometry& geometry, const std::optional<RotationMatrix>& rotation,
                       const PointSet& points, std::span<const HalfTarget> targets, const RunOptions& options,
                       std::optional<RowRange> rows = {});
void renderLeftHalves(const ConversionGeometry& geometry, std::span<const HalfTarget> targets,
                      const RunOptions& options, std::optional<RowRange> rows = {});

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
