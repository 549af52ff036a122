// Features of two working halves and their correspondences.
#pragma once

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "alignment/alignment.h"

namespace vistereo::alignment {

// The detectors, and why AKAZE is the default: FeatureDetector in alignment.h.

struct FeatureSet {
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;  // one row per keypoint
    FeatureDetector detector = FeatureDetector::Sift;
};

// Detects and describes features of an 8-bit gray image inside `mask`,
// keeping at most maxFeatures: the strongest in each cell of a grid first
// (so that the whole view contributes), then the strongest of the rest.
FeatureSet detectFeatures(const cv::Mat& gray, const cv::Mat& mask, FeatureDetector detector, int maxFeatures);

struct FeatureMatch {
    int left = 0, right = 0;  // keypoint indices
    float distance = 0.0f;
};

// Nearest-neighbour matches from left to right that pass the ratio test
// (best distance < ratio * second best) and are mutual (the right feature's
// nearest left feature is the same one).
std::vector<FeatureMatch> matchFeatures(const FeatureSet& left, const FeatureSet& right, double ratio);

}  // namespace vistereo::alignment
