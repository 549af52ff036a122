// The image circle of a circular fisheye, found from its pictures.
//
// A circular fisheye draws a lit disc on a black surround. Its centre is the
// optical axis point and its radius the radius of the lens's full field of
// view, the two numbers a lens record needs. The sensor often cuts the disc
// on one to three sides (a body whose sensor is turned sideways cuts it on
// three), the light falls off towards the rim, a soft rim fades over a few
// percent of the radius, a dark scene hides part of the rim, and stray light
// or the other camera's lens may light up the surround. So the rim is looked
// for only where it lies inside the picture, along rays from first
// estimates (the lit region's edge, and circles centred on the picture):
// where each ray's profile falls steepest and stays down, and where it
// crosses the level halfway between picture and surround; a circle is fitted
// to those places robustly (random triples for the consensus of the most
// rays, then a trimmed least-squares fit), reporting how much of the rim it
// saw and how far the points lie from the circle.
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

// A place where a picture's rim was found: the point, the ray from the first
// estimate's centre it lies on (one of 720, half a degree apart; -1: none),
// and how much a consensus counts it (a place read from a halfway level
// counts less than one read from the steepest fall: stray light moves the
// first, not the second).
struct RimPoint {
    cv::Point2d at;
    int ray = 0;
    double weight = 1.0;
};

// The image circle in an 8-bit brightness image (one channel), or why none.
ImageCircle detectImageCircle(const cv::Mat& brightness);

// One camera's circle over many frames (a shoot): found on each frame alone,
// which says how much one scene would have moved it, and on the frames
// together (the rim points of every frame fitted as one circle; when no
// frame shows its circle alone, the frames pooled pixel by pixel).
struct PooledCircle {
    ImageCircle circle;               // the frames together; `error` says why none
    int frames = 0;                   // frames pooled
    int framesWithCircle = 0;         // frames that show a circle on their own
    double centreSpreadPx = 0.0;      // the largest distance of such a frame's centre from the pooled one
    double radiusSpreadPx = 0.0;      // the largest difference of such a frame's radius from the pooled one
};

class CircleOverFrames {
public:
    // Adds a BGR or grey 8-bit frame and finds its own circle; false (and
    // nothing added) when its size differs from the first frame's.
    bool add(const cv::Mat& frame);
    int frames() const { return pooled_.frames(); }
    PooledCircle detect() const;

private:
    BrightestFrame pooled_;
    std::vector<ImageCircle> own_;
    std::vector<RimPoint> rim_;  // the rim points of the frames that show their circle
};

}  // namespace vistereo::alignment
