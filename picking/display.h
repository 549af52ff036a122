// Display bitmaps of the point picker's views and the red square markers
// drawn on them, on a plain pixel buffer the user interface copies to screen.
//
// A DisplayBitmap holds one 32-bit value per pixel, top row first, each
// 0x00RRGGBB: in memory (little-endian) the bytes blue, green, red, 0, as in a
// 32-bit device-independent bitmap; QImage::Format_RGB32 reads it as is.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/params.h"
#include "picking/matching.h"

namespace vistereo {

struct DisplayBitmap {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // width * height, row by row from the top

    uint32_t pixel(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    uint32_t& pixel(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Stored value of a colour given as red, green, blue.
constexpr uint32_t displayColour(uint8_t red, uint8_t green, uint8_t blue) {
    return (uint32_t(red) << 16) | (uint32_t(green) << 8) | uint32_t(blue);
}

// Marker colour: pure red (COLORREF 0x000000FF).
inline constexpr uint32_t kMarkerColour = displayColour(255, 0, 0);
// Half the side of the 11 x 11 marker square.
inline constexpr int kMarkerHalfSide = 5;

// Stored colour of view pixel (x, y) of an 8-bit BGR view: true colours.
uint32_t viewColour(const cv::Mat& view, int x, int y);

// A viewWidth x viewHeight bitmap filled from the top-left part of the view
// (which may be a pixel wider or higher than that).
DisplayBitmap MakeDisplayBitmap(const cv::Mat& view, int viewWidth, int viewHeight);

// The one-pixel red outline of the 11 x 11 square centred on `position`; its
// inside is left alone.
void DrawMarker(DisplayBitmap& bitmap, ImagePoint position);

// Puts the whole 11 x 11 block around `position` back to the view's colours.
void EraseMarker(DisplayBitmap& bitmap, const cv::Mat& view, ImagePoint position);

// Where the current marker pair is drawn.
struct MarkerState {
    ImagePoint leftMarker;
    ImagePoint rightMarker;
    bool markersShown = false;
};

// A picture whose markers are moved: its bitmap, the view it was made from
// and the view's scale (view pixels per image pixel).
struct MarkedPicture {
    DisplayBitmap& bitmap;
    const cv::Mat& view;
    double scale;
};

// After an accepted press: erases the old pair (if shown), draws the new one
// at the view positions of leftPoint and rightPoint, and records it.
void UpdateMarkers(MarkerState& state, MarkedPicture left, ImagePoint leftPoint, MarkedPicture right,
                   ImagePoint rightPoint);

}  // namespace vistereo
