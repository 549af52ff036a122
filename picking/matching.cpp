#include "picking/matching.h"

#include <opencv2/imgproc.hpp>

#include "picking/template_search.h"

namespace vistereo {

ViewGeometry FitToView(int width, int height, int limit) {
    ViewGeometry g;
    if (width <= 0 || height <= 0) return g;  // nothing to show; every click is refused
    if (width <= height) {
        g.scale = static_cast<double>(limit) / height;
        g.height = limit;
        g.width = static_cast<int>(width * g.scale);
    } else {
        g.scale = static_cast<double>(limit) / width;
        g.width = limit;
        g.height = static_cast<int>(height * g.scale);
    }
    return g;
}

ImagePoint viewPositionOf(ImagePoint point, double scale) {
    return {static_cast<int>(point.x * scale), static_cast<int>(point.y * scale)};
}

cv::Mat makeView(const cv::Mat& image, const ViewGeometry& geometry) {
    cv::Mat view;
    if (image.empty() || geometry.scale <= 0.0) return view;
    cv::resize(image, view, cv::Size(), geometry.scale, geometry.scale, cv::INTER_LINEAR);
    return view;
}

PickingImages makePickingImages(const cv::Mat& leftImage, const cv::Mat& rightImage) {
    PickingImages images;
    images.leftImage = leftImage;
    images.rightImage = rightImage;
    images.left = FitToView(leftImage.cols, leftImage.rows, kLeftViewLimit);
    images.right = FitToView(rightImage.cols, rightImage.rows, kRightViewLimit);
    return images;
}

MatchOutcome MatchClickedPoint(const PickingImages& images, int clickX, int clickY) {
    MatchOutcome outcome;
    if (clickX < kViewMargin || clickX > images.left.width - kViewMargin || clickY < kViewMargin ||
        clickY > images.left.height - kViewMargin) {
        outcome.refusal = MatchRefusal::OutsideLeftView;
        return outcome;
    }
    const ImagePoint leftPoint{static_cast<int32_t>(clickX / images.left.scale),
                               static_cast<int32_t>(clickY / images.left.scale)};
    return matchLeftPoint(images, leftPoint);
}

MatchOutcome matchLeftPoint(const PickingImages& images, ImagePoint leftPoint) {
    MatchOutcome outcome;
    outcome.leftPoint = leftPoint;
    const int lx = leftPoint.x, ly = leftPoint.y;
    if (lx < kImageMargin || lx > images.leftImage.cols - kImageMargin || ly < kImageMargin ||
        ly > images.leftImage.rows - kImageMargin) {
        outcome.refusal = MatchRefusal::OutsideLeftImage;
        return outcome;
    }
    if (images.rightImage.cols < kTemplateSize || images.rightImage.rows < kTemplateSize) {
        outcome.refusal = MatchRefusal::RightImageTooSmall;
        return outcome;
    }

    cv::Mat templ;
    images.leftImage(cv::Rect(lx - kTemplateOffset, ly - kTemplateOffset, kTemplateSize, kTemplateSize)).copyTo(templ);
    const TemplateSearchResult found = searchTemplate(images.rightImage, templ);
    const int rx = found.location.x + kTemplateOffset, ry = found.location.y + kTemplateOffset;

    const double vx = rx * images.right.scale, vy = ry * images.right.scale;
    const double margin = kViewMargin;
    if (vx < margin || vx > images.right.width - margin || vy < margin || vy > images.right.height - margin) {
        outcome.refusal = MatchRefusal::OutsideRightView;
        outcome.rightPoint = {rx, ry};
        return outcome;
    }
    outcome.rightPoint = {rx, ry};
    return outcome;
}

const char* describeRefusal(MatchRefusal refusal) {
    switch (refusal) {
        case MatchRefusal::None: return "accepted";
        case MatchRefusal::OutsideLeftView: return "the click is within 10 pixels of the left view's edge";
        case MatchRefusal::OutsideLeftImage: return "the left point is within 10 pixels of the left image's edge";
        case MatchRefusal::RightImageTooSmall: return "the right image is smaller than the 20 x 20 template";
        case MatchRefusal::OutsideRightView: return "the match is within 10 pixels of the right view's edge";
    }
    return "refused";
}

}  // namespace vistereo
