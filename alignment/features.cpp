#include "alignment/features.h"

#include <algorithm>
#include <numeric>

namespace vistereo::alignment {
namespace {

// Indices of the keypoints to keep: per grid cell the strongest up to an even
// share, then the strongest of the rest, in decreasing response.
std::vector<int> spreadSelection(const std::vector<cv::KeyPoint>& keypoints, cv::Size size, int maxFeatures) {
    std::vector<int> order(keypoints.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return keypoints[a].response > keypoints[b].response; });
    if (static_cast<int>(order.size()) <= maxFeatures) return order;
    constexpr int kCells = 8;
    const int quota = std::max(1, maxFeatures / (kCells * kCells * 2));
    std::vector<int> perCell(kCells * kCells, 0), kept;
    std::vector<char> taken(keypoints.size(), 0);
    for (int index : order) {
        const cv::Point2f p = keypoints[index].pt;
        const int cx = std::clamp(static_cast<int>(p.x * kCells / size.width), 0, kCells - 1);
        const int cy = std::clamp(static_cast<int>(p.y * kCells / size.height), 0, kCells - 1);
        if (perCell[cy * kCells + cx] < quota) {
            ++perCell[cy * kCells + cx];
            kept.push_back(index);
            taken[index] = 1;
        }
    }
    for (int index : order) {
        if (static_cast<int>(kept.size()) >= maxFeatures) break;
        if (!taken[index]) kept.push_back(index);
    }
    return kept;
}

}  // namespace

FeatureSet detectFeatures(const cv::Mat& gray, const cv::Mat& mask, FeatureDetector detector, int maxFeatures) {
    FeatureSet set;
    set.detector = detector;
    cv::Ptr<cv::Feature2D> engine;
    if (detector == FeatureDetector::Sift)
        engine = cv::SIFT::create(0, 3, 0.03, 10.0, 1.6);
    else
        engine = cv::AKAZE::create(cv::AKAZE::DESCRIPTOR_MLDB, 0, 3, 0.0008f);
    std::vector<cv::KeyPoint> all;
    cv::Mat descriptors;
    engine->detectAndCompute(gray, mask, all, descriptors);
    const std::vector<int> kept = spreadSelection(all, gray.size(), maxFeatures);
    set.keypoints.reserve(kept.size());
    set.descriptors.create(static_cast<int>(kept.size()), descriptors.cols, descriptors.type());
    for (size_t k = 0; k < kept.size(); ++k) {
        set.keypoints.push_back(all[kept[k]]);
        descriptors.row(kept[k]).copyTo(set.descriptors.row(static_cast<int>(k)));
    }
    return set;
}

std::vector<FeatureMatch> matchFeatures(const FeatureSet& left, const FeatureSet& right, double ratio) {
    std::vector<FeatureMatch> matches;
    if (left.keypoints.size() < 2 || right.keypoints.size() < 2) return matches;
    const int norm = left.detector == FeatureDetector::Sift ? cv::NORM_L2 : cv::NORM_HAMMING;
    cv::BFMatcher matcher(norm, false);
    std::vector<std::vector<cv::DMatch>> forward, backward;
    matcher.knnMatch(left.descriptors, right.descriptors, forward, 2);
    matcher.knnMatch(right.descriptors, left.descriptors, backward, 1);
    for (const std::vector<cv::DMatch>& m : forward) {
        if (m.size() < 2 || !(m[0].distance < ratio * m[1].distance)) continue;
        const std::vector<cv::DMatch>& back = backward[m[0].trainIdx];
        if (back.empty() || back[0].trainIdx != m[0].queryIdx) continue;
        matches.push_back({m[0].queryIdx, m[0].trainIdx, m[0].distance});
    }
    return matches;
}

}  // namespace vistereo::alignment
