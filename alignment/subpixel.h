// Sub-pixel positions of matched features.
//
// A feature detector places a keypoint on its own scale-space grid, a few
// tenths of a pixel from where the same scene point lies in the other eye;
// the rotation fitted to such positions inherits that noise. Here each
// match's left position is kept as the reference and its right position is
// moved until the patch around it matches the left patch best: Lucas-Kanade
// (Gauss-Newton) on a translation together with a gain and an offset of
// brightness, on the images smoothed a little, with a Gaussian window so that
// the patch's centre counts most. The two patches must show the scene alike,
// which they do in the common equirectangular projection of the working
// halves (the eyes' lenses are undone there).
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "alignment/alignment.h"

namespace vistereo::alignment {

// SubpixelOptions, which the alignment's options carry, is in alignment.h.

// Gray images prepared once for refinement (smoothed, float, with gradients).
struct RefinementImage {
    cv::Mat value, dx, dy;  // CV_32F
};
RefinementImage prepareForRefinement(const cv::Mat& gray8);

// Refines right[k] against left[k] for every k (both in pixel coordinates,
// pixel centres at integers) on up to `threads` threads (0: every hardware
// thread). A position that does not converge, runs off the image, leaves the
// valid mask (when given), lies in a patch without texture in both
// directions or moves further than maxShift keeps the detector's position.
// Returns how many positions were refined.
int refineMatchedPositions(const RefinementImage& left, const RefinementImage& right, const cv::Mat& rightValid,
                           const std::vector<cv::Point2d>& leftAt, std::vector<cv::Point2d>& rightAt,
                           const SubpixelOptions& options, int threads);

}  // namespace vistereo::alignment
