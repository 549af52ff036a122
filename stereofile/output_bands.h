// The side-by-side output while it is rendered and encoded at the same time.
// The render writes it band by band; the encoder reads its rows as the bands
// finish them. It holds either the whole picture, for encoders that need all
// of it at the end (any format the image library writes, the two eyes of a
// VR180 photo), or a ring of a few bands, for an encoder that lets rows go
// once it has taken them (a side-by-side JPEG): that output never holds its
// whole picture (100 MB at 8192 x 4096), and the render writes into memory
// it has written before instead of touching fresh pages all the way down.
#pragma once

#include <optional>

#include <opencv2/core.hpp>

#include "base/watermark.h"
#include "imagefile/jpeg_encoder.h"

namespace vistereo {

class OutputBands {
public:
    // The whole picture: `canvas`, height x width, CV_8UC3.
    explicit OutputBands(cv::Mat canvas);
    // A ring: `ring` (CV_8UC3, the picture's width, a whole number of bands
    // of `bandRows` rows) for a picture `height` rows high, read by one
    // encoder through lent(). Bands start at multiples of `bandRows`.
    OutputBands(cv::Mat ring, int height, int bandRows);
    OutputBands(const OutputBands&) = delete;
    OutputBands& operator=(const OutputBands&) = delete;

    // The whole picture, or null for a ring.
    const cv::Mat* whole() const { return ring_ ? nullptr : &memory_; }

    // For the render: the memory of the picture's rows first .. first + count
    // - 1, to be written through a HalfTarget whose firstRow is `first`. In a
    // ring it waits until the encoder has let go of the rows the band takes
    // the place of (an encoder that stops early lets go of every row).
    cv::Mat band(int first, int count);
    // The rows above `rows` are final.
    void finished(int rows) { finished_.raise(rows); }
    // No further row will be final: the render failed or was stopped.
    void abandon() { finished_.abandon(); }

    // For the encoder: waits for rows as WaitForRows says.
    WaitForRows rowsReady() {
        return [this](int rows) { return finished_.waitFor(rows); };
    }
    // The rows lent one by one, let go as the encoder takes them.
    LentRows lent();
    // The encoder has ended, whichever way: none of the rows is needed.
    void encoderEnded() { taken_.raise(height_); }

private:
    cv::Mat memory_;
    int height_ = 0;
    std::optional<int> ring_;  // the ring's rows; none: the whole picture
    int bandRows_ = 0;
    Watermark finished_, taken_;
};

}  // namespace vistereo
