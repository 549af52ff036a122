// The output's bands: in a ring, the render is held back while the encoder
// still reads the rows it would write over, an encoder that ends early does
// not leave the render waiting, and the rows lent are the rows rendered; a
// whole canvas holds each band where its rows lie in the picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "conversion/output_bands.h"

using namespace vistereo;

namespace {

constexpr int kBand = 8, kRingBands = 4, kWidth = 6;
constexpr int kHeight = 5 * kBand + 3;  // a short last band

// What the render writes in every byte of the picture's row y.
uint8_t levelOf(int y) { return static_cast<uint8_t>(7 * y + 1); }

void renderAll(OutputBands& bands) {
    for (int first = 0; first < kHeight; first += kBand) {
        const int count = std::min(kBand, kHeight - first);
        cv::Mat band = bands.band(first, count);
        for (int k = 0; k < count; ++k) band.row(k).setTo(cv::Scalar::all(levelOf(first + k)));
        bands.finished(first + count);
    }
}

bool holdsRow(const uint8_t* row, int y) {
    return std::all_of(row, row + 3 * kWidth, [&](uint8_t v) { return v == levelOf(y); });
}

OutputBands ringOfBands() { return OutputBands(cv::Mat(kRingBands * kBand, kWidth, CV_8UC3), kHeight, kBand); }

}  // namespace

TEST(OutputBands, TheRenderWaitsUntilTheEncoderLetsGoOfTheRowsItWouldWriteOver) {
    OutputBands bands = ringOfBands();
    EXPECT_EQ(bands.whole(), nullptr);
    const LentRows lent = bands.lent();
    EXPECT_EQ(lent.height, kHeight);
    std::thread render([&] { renderAll(bands); });
    // The encoder holds the first band: the render may fill the ring, no more.
    ASSERT_GE(lent.waitFor(kBand), kBand);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LE(lent.waitFor(1), kRingBands * kBand);
    for (int y = 0; y < kHeight; ++y) {
        ASSERT_GT(lent.waitFor(y + 1), y);
        EXPECT_TRUE(holdsRow(lent.row(y), y)) << "row " << y;
        lent.release(y + 1);
    }
    render.join();
}

TEST(OutputBands, AnEncoderThatEndsEarlyLeavesTheRenderFreeToFinish) {
    OutputBands bands = ringOfBands();
    bands.encoderEnded();  // it took nothing
    auto rendered = std::async(std::launch::async, [&] { renderAll(bands); });
    const bool finished = rendered.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    EXPECT_TRUE(finished) << "the render still waits for rows nobody will take";
    if (!finished) bands.lent().release(kHeight);  // let it end before the test does
    rendered.get();
    EXPECT_EQ(bands.lent().waitFor(kHeight), kHeight);
}

TEST(OutputBands, AWholeCanvasHoldsEachBandWhereItsRowsLie) {
    cv::Mat canvas(kHeight, kWidth, CV_8UC3, cv::Scalar::all(0));
    OutputBands bands(canvas);
    ASSERT_NE(bands.whole(), nullptr);
    EXPECT_EQ(bands.whole()->data, canvas.data);
    renderAll(bands);
    const LentRows lent = bands.lent();
    for (int y = 0; y < kHeight; ++y) {
        EXPECT_TRUE(holdsRow(canvas.ptr<uint8_t>(y), y)) << "row " << y;
        EXPECT_EQ(lent.row(y), canvas.ptr<uint8_t>(y));
    }
}
