#include "tests/support/levels.h"

#include <cmath>

#include <opencv2/imgproc.hpp>

namespace vistereo::testsupport {

const ClippedPair& clippedPair() {
    static const ClippedPair pair = [] {
        ClippedPair out;
        cv::Mat pano = panorama().clone();
        cv::rectangle(pano, cv::Point(pano.cols * 195 / 360, pano.rows * 70 / 180),
                      cv::Point(pano.cols * 215 / 360, pano.rows * 85 / 180), cv::Scalar::all(255), cv::FILLED);
        out.left = renderFisheye(pano, out.lens, RotationMatrix{});
        out.right = renderFisheye(pano, out.lens, out.rightToLeft);
        return out;
    }();
    return pair;
}

cv::Mat withLevels(const cv::Mat& fisheye, const SynthLens& lens, const LevelChange& change) {
    if (!change) return fisheye.clone();
    const double rim = lens.radius180 * lens.mappingScale * std::sin(lens.k * 3.14159265358979323846 / 2);
    cv::Mat out(fisheye.size(), CV_8UC3);
    cv::parallel_for_(cv::Range(0, fisheye.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y)
            for (int x = 0; x < fisheye.cols; ++x) {
                const cv::Vec3d v =
                    change(cv::Vec3d(fisheye.at<cv::Vec3b>(y, x)), std::hypot(x - lens.axisX, y - lens.axisY) / rim);
                for (int c = 0; c < 3; ++c) out.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uint8_t>(v[c]);
            }
    });
    return out;
}

cv::Mat corrected(const cv::Mat& source, const EyeColourCorrection& correction) {
    cv::Mat out = source.clone();
    cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y)
            for (int x = 0; x < out.cols; ++x) correctSample(correction, out.ptr<uint8_t>(y, x), x, y);
    });
    return out;
}

cv::Vec3d farFieldDifference(const ConversionGeometry& geometry, const RotationMatrix& rightToLeft,
                             const cv::Mat& left, const cv::Mat& right, int n, const ColourCorrection* colour) {
    ConversionGeometry g = geometry;
    g.outputHeight = n;
    cv::Mat image(n, 2 * n, CV_8UC3, cv::Scalar::all(0));
    const HalfTarget leftTarget{&left, &image, colour ? &colour->eye[0] : nullptr};
    const HalfTarget rightTarget{&right, &image, colour ? &colour->eye[1] : nullptr};
    renderLeftEyeForEach(g, {&leftTarget, 1});
    renderRightEyeRotatedForEach(g, rightToLeft, {&rightTarget, 1});
    return halvesDifference(image);
}

cv::Vec3d halvesDifference(const cv::Mat& image) {
    const int n = image.rows;
    CV_Assert(image.type() == CV_8UC3 && image.cols == 2 * n);
    cv::Mat halves[2], keep(n, n, CV_8UC1, cv::Scalar(255));
    for (int eye = 0; eye < 2; ++eye) {
        const cv::Mat half = image.colRange(eye * n, (eye + 1) * n);
        cv::Mat usable;
        cv::inRange(half, cv::Scalar::all(9), cv::Scalar::all(249), usable);
        cv::erode(usable, usable, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(9, 9)));
        keep &= usable;
        half.convertTo(halves[eye], CV_32FC3);
        cv::GaussianBlur(halves[eye], halves[eye], cv::Size(), 1.0);
    }
    CV_Assert(cv::countNonZero(keep) > n * n / 4);
    cv::Mat difference;
    cv::absdiff(halves[0], halves[1], difference);
    const cv::Scalar mean = cv::mean(difference, keep);
    return {mean[0], mean[1], mean[2]};
}

}  // namespace vistereo::testsupport
