#include "alignment/matching_steps.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "alignment/subpixel.h"
#include "base/parallel.h"

namespace vistereo::alignment {

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

Spread spreadOf(const std::vector<double>& values) {
    Spread s;
    if (values.empty()) return s;
    std::vector<double> magnitudes;
    magnitudes.reserve(values.size());
    double squares = 0.0, sum = 0.0;
    for (double v : values) {
        squares += v * v, sum += v;
        magnitudes.push_back(std::abs(v));
    }
    std::sort(magnitudes.begin(), magnitudes.end());
    s.rms = std::sqrt(squares / values.size());
    s.mean = sum / values.size();
    s.max = magnitudes.back();
    s.p95 = magnitudes[std::min(magnitudes.size() - 1, static_cast<size_t>(std::ceil(0.95 * magnitudes.size())) - 1)];
    return s;
}

double percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const double at = q * (values.size() - 1);
    const size_t below = static_cast<size_t>(std::floor(at));
    const size_t above = std::min(values.size() - 1, below + 1);
    return values[below] + (values[above] - values[below]) * (at - below);
}

Correspondences correspond(const cv::Mat& leftGray, const cv::Mat& leftMask, const cv::Mat& rightGray,
                           const cv::Mat& rightMask, FeatureDetector detector, int maxFeatures, double ratio,
                           int threads, StageSeconds& seconds) {
    Correspondences c;
    auto stage = Clock::now();
    parallelChunks(2, 1, std::min(2, resolveThreadCount(threads)), [&]() -> ChunkBody {
        return [&](int begin, int end) {
            for (int eye = begin; eye < end; ++eye) {
                if (eye == 0)
                    c.left = detectFeatures(leftGray, leftMask, detector, maxFeatures);
                else
                    c.right = detectFeatures(rightGray, rightMask, detector, maxFeatures);
            }
        };
    });
    seconds.features = secondsSince(stage);
    stage = Clock::now();
    c.matches = matchFeatures(c.left, c.right, ratio);
    seconds.matching = secondsSince(stage);
    return c;
}

MatchedPositions matchedPositions(const Correspondences& c, const cv::Mat& leftGray, const cv::Mat& rightGray,
                                  const cv::Mat& rightMask, bool refine, const SubpixelOptions& options, int threads,
                                  StageSeconds& seconds) {
    const auto stage = Clock::now();
    MatchedPositions at;
    for (const FeatureMatch& m : c.matches) {
        const cv::Point2f l = c.left.keypoints[m.left].pt, r = c.right.keypoints[m.right].pt;
        at.left.emplace_back(l.x, l.y);
        at.right.emplace_back(r.x, r.y);
    }
    if (refine)
        at.refined = refineMatchedPositions(prepareForRefinement(leftGray), prepareForRefinement(rightGray), rightMask,
                                            at.left, at.right, options, threads);
    seconds.refinement = secondsSince(stage);
    return at;
}

std::string countText(int count, const char* noun) {
    const std::string word = noun;
    // "match" takes "es", as every noun ending in a hissing sound does.
    const bool hissing = word.ends_with("ch") || word.ends_with("sh") || word.ends_with("s") || word.ends_with("x");
    return std::to_string(count) + " " + word + (count == 1 ? "" : hissing ? "es" : "s");
}

Failure screen(int leftFeatures, int rightFeatures, int matches, int minFeatures, int minMatches, std::string& reason) {
    if (leftFeatures < minFeatures || rightFeatures < minFeatures) {
        const bool left = leftFeatures < minFeatures;
        reason = std::string("the ") + (left ? "left" : "right") + " image shows too little texture to align: " +
                 countText(left ? leftFeatures : rightFeatures, "feature") + " (at least " +
                 std::to_string(minFeatures) + " needed); is it blank, flat or black?";
        return Failure::TextureLess;
    }
    if (matches < minMatches) {
        reason = "the two images have too little in common: " + countText(matches, "match") + " between " +
                 std::to_string(leftFeatures) + " and " + std::to_string(rightFeatures) + " features (at least " +
                 std::to_string(minMatches) + " needed); are they the two eyes of one stereo photograph?";
        return Failure::Unrelated;
    }
    return Failure::None;
}

Failure judgeInliers(int inliers, int matches, int minInliers, double minShare, std::string& reason) {
    const double share = matches > 0 ? static_cast<double>(inliers) / matches : 0.0;
    std::ostringstream text;
    text.precision(2);
    if (share < minShare) {
        text << "only " << inliers << " of " << matches << " matches (" << std::fixed << share * 100.0
             << "%) fit one stereo geometry (at least " << minShare * 100.0
             << "% needed); the images do not look like the two eyes of one stereo photograph";
        reason = text.str();
        return Failure::Unrelated;
    }
    if (inliers < minInliers) {
        text << "only " << inliers << " correspondences fit one stereo geometry (at least " << minInliers
             << " needed to trust the rotation); give the pair more texture in common";
        reason = text.str();
        return Failure::TooFewInliers;
    }
    return Failure::None;
}

}  // namespace vistereo::alignment
