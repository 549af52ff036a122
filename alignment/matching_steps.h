// The matching steps the pair's alignment and the measurement of a finished
// side-by-side image share: features of both halves and their matches, the
// matched positions refined, and the screening of too little texture or too
// few inliers (the misalignment both measure is misalignment.h). Internal to
// alignment/ and measure/; callers outside use alignment.h and measure.h.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "alignment/alignment.h"
#include "alignment/features.h"

namespace vistereo::alignment {

using Clock = std::chrono::steady_clock;
inline constexpr double kTruePi = 3.14159265358979323846;
inline constexpr double kDegree = kTruePi / 180.0;
inline constexpr double kArcminPerRadian = 10800.0 / kTruePi;

double secondsSince(Clock::time_point start);

// Root mean square, 95th percentile, largest magnitude and mean of `values`.
Spread spreadOf(const std::vector<double>& values);

// The q-quantile of `values`, interpolated between neighbours.
double percentile(std::vector<double> values, double q);

// Features of both halves (the two eyes side by side when there are two
// threads) and their matches.
struct Correspondences {
    FeatureSet left, right;
    std::vector<FeatureMatch> matches;
};

Correspondences correspond(const cv::Mat& leftGray, const cv::Mat& leftMask, const cv::Mat& rightGray,
                           const cv::Mat& rightMask, FeatureDetector detector, int maxFeatures, double ratio,
                           int threads, StageSeconds& seconds);

// The matched keypoints' positions on the halves they were found on, the
// right ones refined against the left ones when asked.
struct MatchedPositions {
    std::vector<cv::Point2d> left, right;
    int refined = 0;
};

MatchedPositions matchedPositions(const Correspondences& c, const cv::Mat& leftGray, const cv::Mat& rightGray,
                                  const cv::Mat& rightMask, bool refine, const SubpixelOptions& options, int threads,
                                  StageSeconds& seconds);

// "1 match", "3 matches".
std::string countText(int count, const char* noun);

// Failure of the correspondence stages, or None, with the reason.
Failure screen(int leftFeatures, int rightFeatures, int matches, int minFeatures, int minMatches, std::string& reason);

// Too few inliers, or too small a share of the matches, or None, with the reason.
Failure judgeInliers(int inliers, int matches, int minInliers, double minShare, std::string& reason);

}  // namespace vistereo::alignment
