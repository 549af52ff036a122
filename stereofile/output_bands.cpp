#include "stereofile/output_bands.h"

namespace vistereo {

OutputBands::OutputBands(cv::Mat canvas) : memory_(std::move(canvas)), height_(memory_.rows) {
    CV_Assert(memory_.type() == CV_8UC3);
}

OutputBands::OutputBands(cv::Mat ring, int height, int bandRows)
    : memory_(std::move(ring)), height_(height), ring_(memory_.rows), bandRows_(bandRows) {
    CV_Assert(memory_.type() == CV_8UC3 && bandRows > 0 && memory_.rows >= bandRows && memory_.rows % bandRows == 0);
}

cv::Mat OutputBands::band(int first, int count) {
    CV_Assert(first >= 0 && count >= 0 && first + count <= height_);
    if (!ring_) return memory_.rowRange(first, first + count);
    CV_Assert(first % bandRows_ == 0 && count <= bandRows_);
    // The rows this band overwrites are the picture's rows one ring earlier.
    if (const int overwritten = first + count - *ring_; overwritten > 0) taken_.waitFor(overwritten);
    const int at = first % *ring_;
    return memory_.rowRange(at, at + count);
}

LentRows OutputBands::lent() {
    LentRows rows;
    rows.width = memory_.cols, rows.height = height_;
    rows.waitFor = rowsReady();
    rows.row = [this](int y) { return memory_.ptr<uint8_t>(ring_ ? y % *ring_ : y); };
    rows.release = [this](int taken) { taken_.raise(taken); };
    return rows;
}

}  // namespace vistereo
