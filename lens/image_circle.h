// The image circle of a circular fisheye, found from its pictures.
//
// A circular fisheye draws a lit disc on a black surround. Its centre is the
// optical axis point and its radius the radius of the lens's full field of
// view, the two numbers a lens record needs. The sensor often cuts the disc
// on one to three sides, the light falls off towards the rim, a dark scene
// hides part of the rim, and flare or the other camera's lens may light up
// the surround. So the rim is looked for only where it lies inside the
// picture, as the outermost rise from the dark surround along rays from a
// first estimate, and a circle is fitted to those points robustly (random
// triples for a consensus, then a trimmed least-squares fit), reporting how
// much of the rim it saw and how far the points lie from the circle.
//
// Many frames of one camera give one circle: each pixel keeps the brightest
// value any frame had there, so a dark frame's rim is lit by another's.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "base/fallible.h"

namespace vistereo::alignment {

// `error`: why there is no circle.
struct ImageCircle : Fallible {
    double centreX = 0.0, centreY = 0.0;  // pixel columns and rows, pixel centres at whole numbers
    double radius = 0.0;                  // dots
    double rimSeen = 0.0;                 // share of the circle's circumference where the rim was found
    double residualPx = 0.0;              // RMS distance of those rim points from the circle
    int rimPoints = 0;                    // rim points the circle was fitted to
};

// The brightest value of each pixel over the frames given so far, each
// frame's pixel taken as its brightest channel.
class BrightestFrame {
public:
    // Adds a BGR or grey 8-bit frame; false (and nothing added) when its size
    // differs from the first frame's.
    bool add(const cv::Mat& frame);
    const cv::Mat& brightness() const { return brightest_; }  // 8-bit, one channel
    int frames() const { return frames_; }

private:
    cv::Mat brightest_;
    int frames_ = 0;
};

// The image circle in an 8-bit brightness image (one channel), or why none.
ImageCircle detectImageCircle(const cv::Mat& brightness);

}  // namespace vistereo::alignment
