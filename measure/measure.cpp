#include "measure/measure.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include <opencv2/imgproc.hpp>

#include "alignment/matching_steps.h"
#include "alignment/misalignment.h"
#include "alignment/working_view.h"

namespace vistereo::alignment {

StereoMeasurement measureStereo(const cv::Mat& sideBySide, const MeasureOptions& options) {
    StereoMeasurement m;
    m.comfortLimitArcmin = options.comfortLimitArcmin;
    m.fusionLimitArcmin = options.fusionLimitArcmin;
    const auto start = Clock::now();
    auto fail = [&](Failure failure, std::string reason) {
        m.failure = failure;
        m.error = std::move(reason);
        m.verdict = Verdict::Unknown;
        m.verdictText = "not measured: " + m.error;
        m.seconds.total = secondsSince(start);
        return m;
    };
    if (sideBySide.empty()) return fail(Failure::InvalidInput, "the image is empty");
    if (sideBySide.type() != CV_8UC3) return fail(Failure::InvalidInput, "the image is not 8-bit BGR");
    if (sideBySide.cols != 2 * sideBySide.rows || sideBySide.rows < 64)
        return fail(Failure::InvalidInput, "the image is " + std::to_string(sideBySide.cols) + " x " +
                                               std::to_string(sideBySide.rows) +
                                               ", not a side-by-side pair of square halves (2N x N, N >= 64)");
    try {
        const int big = sideBySide.rows;
        const int n = std::min(big, std::max(64, options.workingSize));
        m.halfSize = big;
        m.arcminPerPixel = 10800.0 / big;
        auto stage = Clock::now();
        cv::Mat gray[2], mask[2];
        for (int eye = 0; eye < 2; ++eye) {
            cv::Mat g;
            cv::cvtColor(sideBySide.colRange(eye * big, (eye + 1) * big), g, cv::COLOR_BGR2GRAY);
            if (n < big) cv::resize(g, gray[eye], cv::Size(n, n), 0, 0, cv::INTER_AREA);
            else gray[eye] = g;
            cv::compare(gray[eye], 6, mask[eye], cv::CMP_GT);  // black: not mapped
            const int radius = std::max(2, n / 160);
            cv::erode(mask[eye], mask[eye],
                      cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1)),
                      cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::Scalar(0));
        }
        m.seconds.render = secondsSince(stage);
        const Correspondences c = correspond(gray[0], mask[0], gray[1], mask[1], options.detector, options.maxFeatures,
                                             options.ratio, options.threads, m.seconds);
        m.matches = static_cast<int>(c.matches.size());
        std::string reason;
        const Failure screened = screen(static_cast<int>(c.left.keypoints.size()),
                                        static_cast<int>(c.right.keypoints.size()), m.matches, options.minFeatures,
                                        options.minMatches, reason);
        if (screened != Failure::None) return fail(screened, reason);
        MatchedPositions at = matchedPositions(c, gray[0], gray[1], mask[1], options.refinePositions, options.subpixel,
                                               options.threads, m.seconds);

        // Positions in the image's own pixels (pixel centres at integers), and their grid directions.
        stage = Clock::now();
        const double s = static_cast<double>(big) / n;
        std::vector<DirectionPair> pairs;
        for (size_t k = 0; k < at.left.size(); ++k) {
            at.left[k] = {(at.left[k].x + 0.5) * s - 0.5, (at.left[k].y + 0.5) * s - 0.5};
            at.right[k] = {(at.right[k].x + 0.5) * s - 0.5, (at.right[k].y + 0.5) * s - 0.5};
            pairs.push_back({halfPixelDirection(big, at.left[k]), halfPixelDirection(big, at.right[k])});
        }
        ViewerMeasureOptions viewerOptions;
        viewerOptions.pixelRadians = kTruePi / n;
        viewerOptions.inlierPixels = options.inlierPixels;
        viewerOptions.farParallaxPixels = options.farParallaxPixels;
        viewerOptions.maxParallaxDegrees = options.maxParallaxDegrees;
        viewerOptions.comfortLimitArcmin = options.comfortLimitArcmin;
        viewerOptions.fusionLimitArcmin = options.fusionLimitArcmin;
        ViewerMisalignment viewer = measureViewerMisalignment(pairs, at, viewerOptions);
        m.seconds.estimation = secondsSince(stage);
        m.inliers = static_cast<int>(viewer.pose.inliers.size());
        if (!viewer.ok()) return fail(Failure::Unrelated, "no stereo geometry fits the " + countText(m.matches, "match"));
        const Failure judged = judgeInliers(m.inliers, m.matches, options.minInliers, 0.3, reason);
        if (judged != Failure::None) return fail(judged, reason);

        // The fit says how the right half would have to turn to line up
        // with the left: R carries the right half's directions onto the left's.
        m.remainingTurn = viewer.remainingTurn;
        m.remainingTurnDegrees = viewer.remainingTurnDegrees;
        m.disparity = viewer.disparity;
        m.correspondences = std::move(viewer.correspondences);
        m.verdict = viewer.verdict;
        m.verdictText = viewer.verdictText;
        m.eyesSwapped = viewer.eyesSwapped;
        m.warning = viewer.warning;

        std::vector<double> verticalPixels, horizontalPixels, epipolar;
        constexpr int kCells = 16;
        std::vector<char> cells(kCells * kCells, 0);
        for (const StereoCorrespondence& sc : m.correspondences) {
            verticalPixels.push_back(sc.rightAt.row - sc.leftAt.row);
            horizontalPixels.push_back(sc.rightAt.column - sc.leftAt.column);
            epipolar.push_back(sc.epipolarArcmin);
            const int cx = std::clamp(static_cast<int>(sc.leftAt.column * kCells / big), 0, kCells - 1);
            const int cy = std::clamp(static_cast<int>(sc.leftAt.row * kCells / big), 0, kCells - 1);
            cells[cy * kCells + cx] = 1;
        }
        std::vector<double> verticalArcmin = verticalPixels;
        for (double& v : verticalArcmin) v *= m.arcminPerPixel;
        m.verticalPixels = spreadOf(verticalPixels);
        m.verticalArcmin = spreadOf(verticalArcmin);
        m.epipolarResidualArcmin = spreadOf(epipolar);
        m.horizontalMinPixels = percentile(horizontalPixels, 0.01);
        m.horizontalMaxPixels = percentile(horizontalPixels, 0.99);
        m.horizontalMinArcmin = m.horizontalMinPixels * m.arcminPerPixel;
        m.horizontalMaxArcmin = m.horizontalMaxPixels * m.arcminPerPixel;
        m.coverage = std::count(cells.begin(), cells.end(), 1) / static_cast<double>(cells.size());

        m.seconds.total = secondsSince(start);
        return m;
    } catch (const std::exception& e) {
        return fail(Failure::Internal, std::string("the image library failed: ") + e.what());
    } catch (...) {
        return fail(Failure::Internal, "the image library failed");
    }
}

}  // namespace vistereo::alignment
