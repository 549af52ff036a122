// Sum-of-squared-differences template search over a whole image, as
// cv::matchTemplate with TM_SQDIFF and cv::minMaxLoc report it: the first
// smallest score in row-major order.
//
// Two ways to get it:
//  - searchTemplateReference: one cv::matchTemplate (TM_SQDIFF) call over the
//    whole image. Simple, but slow on large images: it builds two
//    double-precision integral images of the whole image (about 1.1 GB for
//    6000 x 4000 x 3).
//  - searchTemplate: the same scores, bit for bit, computed in horizontal
//    strips on several threads. Each strip takes the cross-correlation from
//    cv::matchTemplate (TM_CCORR) and adds the exact window sums of squares
//    itself, with the same double-precision expression that TM_SQDIFF
//    evaluates. Strips are cut at whole correlation blocks of OpenCV's
//    block-wise DFT (see correlationBlockRows), so every block sees exactly
//    the pixels, the transform size and the row count it would see in the
//    whole-image call.
// The tests and bench/match_bench compare the two on realistic pairs.
#pragma once

#include <opencv2/core.hpp>

#include "engine/params.h"

namespace vistereo {

struct TemplateSearchResult {
    ImagePoint location;  // top-left pixel of the best placement in the image
    float score = 0.0f;  // its TM_SQDIFF score
};

struct TemplateSearchOptions {
    int threads = 0;           // 0: one per hardware thread
    int blocksPerStrip = 2;    // strip height in correlation blocks
};

// Both take an 8-bit image and template of the same type (1 to 4 channels),
// the template no larger than the image.
TemplateSearchResult searchTemplateReference(const cv::Mat& image, const cv::Mat& templ);
TemplateSearchResult searchTemplate(const cv::Mat& image, const cv::Mat& templ,
                                    const TemplateSearchOptions& options = {});

// The full score map of searchTemplate ((image cols - templ cols + 1) x
// (image rows - templ rows + 1), CV_32F), for comparing it with
// cv::matchTemplate's.
cv::Mat templateScoreMap(const cv::Mat& image, const cv::Mat& templ, const TemplateSearchOptions& options = {});

// Result rows per block of OpenCV's DFT cross-correlation for a template of
// this many rows (237 for 20 rows); strips start at multiples of it.
int correlationBlockRows(int templateRows);

}  // namespace vistereo
