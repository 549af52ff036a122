// Point matching for the point picker: view sizing, and turning a click in the
// left view into a pair of full-resolution points by template matching a
// 20 x 20 block of the left image over the whole right image (sum of squared
// differences, first minimum in row-major order).
#pragma once

#include <opencv2/core.hpp>

#include "engine/params.h"

namespace vistereo {

inline constexpr int kLeftViewLimit = 1024;
inline constexpr int kRightViewLimit = 512;
inline constexpr int kViewMargin = 10;
inline constexpr int kImageMargin = 10;
inline constexpr int kTemplateSize = 20;
inline constexpr int kTemplateOffset = 10;

// View geometry of one image: view pixels per image pixel and the view size.
struct ViewGeometry {
    double scale = 0.0;
    int width = 0;
    int height = 0;
};

ViewGeometry FitToView(int width, int height, int limit);

// Where an image point lies in its view, in whole view pixels:
// (trunc(p.x * scale), trunc(p.y * scale)).
ImagePoint viewPositionOf(ImagePoint point, double scale);

// The view shown for an image: cv::resize by the geometry's scale in both
// directions (INTER_LINEAR). cv::resize rounds its size, so the view can be
// one pixel wider or higher than geometry.width x geometry.height; only that
// top-left part is shown. Empty for an empty image.
cv::Mat makeView(const cv::Mat& image, const ViewGeometry& geometry);

// The two full-resolution images and their view geometry (left limit 1024,
// right limit 512).
struct PickingImages {
    cv::Mat leftImage;
    cv::Mat rightImage;
    ViewGeometry left;
    ViewGeometry right;
};
PickingImages makePickingImages(const cv::Mat& leftImage, const cv::Mat& rightImage);

enum class MatchRefusal {
    None,
    OutsideLeftView,     // the click is within 10 view pixels of the left view's edge
    OutsideLeftImage,    // the left point is within 10 pixels of the left image's edge
    RightImageTooSmall,  // the right image cannot hold the 20 x 20 template
    OutsideRightView,    // the match is within 10 view pixels of the right view's edge
};

// leftPoint is filled once the click has become an image point (every
// refusal but OutsideLeftView), rightPoint once a match was found (accepted or
// OutsideRightView); both only count as a pair when accepted().
struct MatchOutcome {
    MatchRefusal refusal = MatchRefusal::None;
    ImagePoint leftPoint;
    ImagePoint rightPoint;
    bool accepted() const { return refusal == MatchRefusal::None; }
};

// A press at left-view position (clickX, clickY). The right point is the
// first smallest TM_SQDIFF placement over the whole right image (found by the
// strip search of picking/template_search.h, which agrees with the plain
// cv::matchTemplate call). A right image narrower or lower than the template
// refuses every click with RightImageTooSmall.
MatchOutcome MatchClickedPoint(const PickingImages& images, int clickX, int clickY);

// A full-resolution left point, as the command-line tool gives it: the image
// margin test, the template match and the right-view margin test.
MatchOutcome matchLeftPoint(const PickingImages& images, ImagePoint leftPoint);

// A short English reason for a refusal, for the command-line tool.
const char* describeRefusal(MatchRefusal refusal);

}  // namespace vistereo
