// Features of two working halves and their correspondences.
#pragma once

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

namespace vistereo::alignment {

// The default is AKAZE on 1024 x 1024 working halves, chosen by measurement
// (bench/align_bench on this two-core machine, other jobs running; 18
// synthetic pairs at 1600 x 1200: six scenes, three turns each):
//
//   detector, N    rotation error RMS / max   processor time, 6000 x 4000 pair (one thread)
//   SIFT    768      0.0058 / 0.0109 deg        0.47 s
//   SIFT    896      0.0048 / 0.0085 deg        0.6 - 1.0 s
//   SIFT   1024      0.0035 / 0.0057 deg        1.69 s
//   AKAZE   768      0.0104 / 0.0204 deg        0.24 s
//   AKAZE  1024      0.0052 / 0.0125 deg        0.44 s
//   AKAZE  1280      0.0031 / 0.0057 deg        1.42 s
//
// At the same cost (SIFT at 768, AKAZE at 1024) the two are equally
// accurate; AKAZE is the better of the two on the mixed-lens pairs (largest
// error 0.0041 against 0.0109 degrees), its binary descriptors match in a
// quarter of SIFT's time at the same N, and its cost grows more gently with
// N (OpenCV's SIFT works on a twice-upsampled first octave), which leaves
// the 1.5 s budget room on a shared machine. SIFT at 1024 is the most accurate choice when
// time does not matter.
enum class FeatureDetector {
    Sift,   // difference-of-Gaussian blobs, 128 float descriptors, L2 distance
    Akaze,  // nonlinear-scale-space blobs, 486-bit MLDB descriptors, Hamming distance
};

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
