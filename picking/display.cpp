#include "picking/display.h"

#include <algorithm>

namespace vistereo {
namespace {

bool inside(const DisplayBitmap& bitmap, int x, int y) {
    return x >= 0 && y >= 0 && x < bitmap.width && y < bitmap.height;
}

bool inside(const cv::Mat& view, int x, int y) { return x >= 0 && y >= 0 && x < view.cols && y < view.rows; }

// Markers of an accepted pair lie wholly inside both bitmaps; pixels outside
// are skipped all the same, so a stray position cannot write out of bounds.
void setPixel(DisplayBitmap& bitmap, int x, int y, uint32_t colour) {
    if (inside(bitmap, x, y)) bitmap.pixel(x, y) = colour;
}

}  // namespace

uint32_t viewColour(const cv::Mat& view, int x, int y) {
    const uchar* p = view.ptr<uchar>(y) + static_cast<size_t>(x) * 3;
    return displayColour(p[2], p[1], p[0]);
}

DisplayBitmap MakeDisplayBitmap(const cv::Mat& view, int viewWidth, int viewHeight) {
    CV_Assert(view.empty() || view.type() == CV_8UC3);
    DisplayBitmap bitmap;
    bitmap.width = std::max(0, viewWidth);
    bitmap.height = std::max(0, viewHeight);
    bitmap.pixels.assign(static_cast<size_t>(bitmap.width) * bitmap.height, 0u);
    const int rows = std::min(bitmap.height, view.rows), cols = std::min(bitmap.width, view.cols);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) bitmap.pixel(x, y) = viewColour(view, x, y);
    return bitmap;
}

void DrawMarker(DisplayBitmap& bitmap, ImagePoint position) {
    const int px = position.x, py = position.y, h = kMarkerHalfSide;
    for (int k = 0; k <= 2 * h; ++k) {
        setPixel(bitmap, px - h, py - h + k, kMarkerColour);
        setPixel(bitmap, px + h, py - h + k, kMarkerColour);
        setPixel(bitmap, px - h + k, py - h, kMarkerColour);
        setPixel(bitmap, px - h + k, py + h, kMarkerColour);
    }
}

void EraseMarker(DisplayBitmap& bitmap, const cv::Mat& view, ImagePoint position) {
    const int h = kMarkerHalfSide;
    for (int dx = -h; dx <= h; ++dx) {
        for (int dy = -h; dy <= h; ++dy) {
            const int x = position.x + dx, y = position.y + dy;
            if (inside(bitmap, x, y) && inside(view, x, y)) bitmap.pixel(x, y) = viewColour(view, x, y);
        }
    }
}

void UpdateMarkers(MarkerState& state, MarkedPicture left, ImagePoint leftPoint, MarkedPicture right,
                   ImagePoint rightPoint) {
    if (state.markersShown) EraseMarker(left.bitmap, left.view, state.leftMarker);
    state.leftMarker = viewPositionOf(leftPoint, left.scale);
    DrawMarker(left.bitmap, state.leftMarker);
    if (state.markersShown) EraseMarker(right.bitmap, right.view, state.rightMarker);
    state.rightMarker = viewPositionOf(rightPoint, right.scale);
    DrawMarker(right.bitmap, state.rightMarker);
    state.markersShown = true;
}

}  // namespace vistereo
