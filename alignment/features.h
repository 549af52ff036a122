// Features of two working halves and their correspondences.
#pragma once

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

namespace vistereo::alignment {

// The default is AKAZE on 1024 x 1024 working halves, chosen by measurement
// (bench/align_bench on this two-core machine while other jobs ran, load
// 3 to 6; accuracy over 18 synthetic pairs at 1600 x 1200, six scenes with
// three turns each; time for a 6000 x 4000 pair, wall seconds, two threads,
// the spread over separate runs):
//
//   detector, N    rotation error RMS / max   time, 6000 x 4000
//   SIFT    768      0.0058 / 0.0109 deg        0.55 - 0.60 s
//   SIFT    896      0.0048 / 0.0085 deg        0.87 - 1.71 s
//   SIFT   1024      0.0035 / 0.0057 deg        1.56 - 1.93 s
//   AKAZE   768      0.0104 / 0.0204 deg        0.22 s
//   AKAZE  1024      0.0052 / 0.0125 deg        0.42 - 0.72 s
//   AKAZE  1280      0.0031 / 0.0057 deg        1.86 s (one thread)
//
// At about the same cost (SIFT at 768, AKAZE at 1024) the two are equally
// accurate overall; AKAZE is the better of the two on the mixed-lens pairs
// (largest error 0.0041 against 0.0109 degrees), its binary descriptors
// match in a quarter of SIFT's time at the same N, and it works on the
// finer grid, which the suggested points and the disparity figures are
// measured on. OpenCV's SIFT works on a twice-upsampled first octave and
// grows steeply with N; SIFT at 1024 is the most accurate choice when time
// does not matter.
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
