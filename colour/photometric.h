// The photometric difference of the two eyes, measured and fitted.
//
// Both eyes are compared where they see the same thing: pixel by pixel in
// the common projection (the left camera's equirectangular half; the right
// eye turned onto it by the alignment's rotation), over the far field. The
// alignment's matched points tell near from far: a near point's parallax
// shifts what the two eyes show at one position, so the cells of a grid
// that hold near matches (and their neighbours) are left out; every other
// cell counts, textured or not (a flat sky is as good a witness of a colour
// difference as a textured ground, and better than an edge). Pixels clipped
// at either end in either eye say nothing about the gain and are left out
// too. Both halves are lightly blurred first, so that the resampling of two
// different source grids, and matching errors of a fraction of a pixel, do
// not show as a colour difference.
//
// The correction maps the right eye's levels onto the left's per channel
// (engine/colour.h). Two tone models are fitted: a gain and an offset (a
// straight line through the quantiles of the two eyes' levels), and the
// monotone curve through those quantiles themselves. Fitting on quantiles
// rather than on pixel pairs makes the fit symmetric in the two eyes (a
// regression of one eye's levels on the other's is biased towards a gain
// of 1 by the noise in the other), and indifferent to which pixel of an
// area matches which. The automatic choice takes the curve only when it
// leaves less difference on cells it was not fitted on.
//
// A lens's fall-off towards the rim of its image circle can be fitted too:
// as a function of the radius in the eye's own source image, so that the
// renderer can undo it where it samples the source. Only the difference of
// the two eyes' fall-offs can be seen: a fall-off both lenses share looks
// exactly like a scene that is darker towards the edges, and is left alone.
// The difference is put on the eye that is darker at the rim, and kept only
// when it measures better on held-out cells than no fall-off (a difference
// between the eyes that is not radial, such as misregistered detail or
// moving clouds, can otherwise pass for one).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "alignment/alignment.h"
#include "alignment/comfort.h"
#include "measure/measure.h"
#include "alignment/working_view.h"
#include "engine/colour.h"

namespace vistereo::alignment {

enum class ToneModel {
    GainOffset,  // left = gain * right + offset, per channel
    Curve,       // a monotone curve per channel
    Automatic,   // the curve when it measures better on cells it was not fitted on, else gain and offset
};
const char* toneModelName(ToneModel model);

struct PhotometricOptions {
    int workingSize = 512;        // N of the halves the eyes are compared on
    double blurPixels = 1.0;      // Gaussian sigma applied to both halves before comparing
    float clippedLevel = 250.0f;  // a channel at or above this in either eye: a clipped highlight, left out
    float blackLevel = 8.0f;      // a channel at or below this in either eye: crushed black, left out
    int cells = 32;               // the far-field grid has cells x cells cells over a half
    int nearMarginCells = 1;      // cells around a cell with a near match that are left out too
    // A match is near when the alignment judged it so, or when its parallax
    // along the baseline exceeds this many pixels of the halves compared
    // (an alignment that could not observe the baseline counts every match
    // as far, yet a shift of a pixel shows as a colour difference here).
    double nearParallaxPixels = 0.5;
    ToneModel model = ToneModel::Automatic;
    bool falloff = false;         // also fit the difference of the lenses' fall-offs (needs the source geometry)
    int threads = 0;              // 0: every hardware thread
};

// Corresponding far-field pixels of the two eyes.
// `error`: the inputs could not be compared, and why.
struct ColourSamples : Fallible {
    std::vector<cv::Vec3f> left, right;  // levels, blue, green, red
    std::vector<float> angle;            // radians off the centre of the view, in the common projection
    std::vector<float> leftRadius, rightRadius;  // in each eye's source image, 1 at 90 degrees off the axis
    std::vector<int> cell;               // the far-field grid's cell, row by row (cells x cells of them)
    std::vector<uint8_t> fold;           // 0 or 1: the cell's colour on a checkerboard, for validation
    std::array<LensCircle, 2> circle;    // each lens's circle (rim radius 0: no source geometry)
    int halfSize = 0, cells = 0;
    // Pixels both eyes show, and how many of them were left out and why.
    int shown = 0, near = 0, clipped = 0, black = 0;
};

// Far-field samples of a fisheye pair: both images with their lens models,
// the rotation carrying right-camera directions onto left-camera ones, and
// the alignment's inliers (positions on the left camera's half of
// `inlierHalfSize`, as estimateAlignment gives them; none: every pixel
// counts as far).
ColourSamples colourSamplesOfPair(const CameraModel& leftCamera, const cv::Mat& leftImage,
                                  const CameraModel& rightCamera, const cv::Mat& rightImage,
                                  const RotationMatrix& rightToLeft, const std::vector<StereoCorrespondence>& inliers,
                                  int inlierHalfSize, const PhotometricOptions& options = {});

// Far-field samples of a finished side-by-side image (2N x N, 8-bit BGR)
// with the measurement's inliers (positions in the image's pixels). There
// is no source geometry: the radius of a pixel is its angle off the half's
// centre over 90 degrees, and no fall-off is fitted.
ColourSamples colourSamplesOfSideBySide(const cv::Mat& sideBySide, const std::vector<StereoCorrespondence>& inliers,
                                        const PhotometricOptions& options = {});

struct ChannelMatch {
    double gain = 1.0, offset = 0.0;  // left = gain * right + offset, as fitted
    double before = 0.0;              // mean absolute difference of the eyes, levels
    double after = 0.0;               // the same with the correction applied
    // The same two over the mean levels of the far-field grid's cells: blind
    // to detail a fraction of a pixel out of register (or moved between the
    // exposures), which the pixel figures count as difference too.
    double cellsBefore = 0.0, cellsAfter = 0.0;
};

// `error`: why not (too few far-field pixels in common).
struct ColourMatch : Fallible {
    int pixels = 0;      // samples compared
    // Pixels both eyes show, and how many of them were left out and why.
    int shown = 0, near = 0, clipped = 0, black = 0;
    std::array<ChannelMatch, 3> channel;  // blue, green, red
    // Brightness of the rim of the view (75 to 90 degrees off its centre)
    // over the centre's (within 30 degrees), each eye as recorded, over the
    // same pixels: the scene's own brightening or darkening towards the
    // edges is in both; their ratio is the eyes' difference.
    std::array<double, 2> rimToCentre{0.0, 0.0};
    ToneModel model = ToneModel::GainOffset;  // the model the correction uses
    // Mean absolute difference left (all channels) on held-out cells, by
    // model: gain and offset, curve (the automatic choice's evidence).
    double heldOutGainOffset = 0.0, heldOutCurve = 0.0;
    // The fall-off at the rim of each lens's circle the correction undoes,
    // per eye and channel (1: none). A fall-off is kept only when it leaves
    // less difference on held-out cells than none does; the difference none
    // leaves there.
    std::array<std::array<double, 3>, 2> rimFalloff{{{1.0, 1.0, 1.0}, {1.0, 1.0, 1.0}}};
    bool falloffKept = false;
    double heldOutWithoutFalloff = 0.0;
    ColourCorrection correction;
};

// Fits the correction of the right eye onto the left (and, when asked and
// the samples carry the source geometry, the fall-off difference) and
// measures what it leaves.
ColourMatch fitColourMatch(const ColourSamples& samples, const PhotometricOptions& options = {});

// How far apart the eyes' colours are, in levels of 0 to 255: the largest
// channel's mean absolute difference over the mean levels of the far field's
// areas (cellsBefore), so that detail out of register by a fraction of a
// pixel does not count but every difference of light does, a fall-off or a
// flare the fitted gain and offset do not model included. Good within
// kColourDifferenceGoodLevels (about 1.5 % of the scale: hardly seen with the
// halves side by side), acceptable within kColourDifferenceAcceptableLevels
// (about 4 %: seen when looked for, still comfortable in a headset), poor
// beyond.
inline constexpr double kColourDifferenceGoodLevels = 4.0;
inline constexpr double kColourDifferenceAcceptableLevels = 10.0;
double colourDifferenceLevels(const ColourMatch& match);
alignment::Grade colourDifferenceGrade(const ColourMatch& match);

// What `check` reports of a finished side-by-side image: the far field its
// measurement's matches mark, compared.
ColourMatch measureColour(const cv::Mat& sideBySide, const StereoMeasurement& measurement,
                          const PhotometricOptions& options = {});

}  // namespace vistereo::alignment
