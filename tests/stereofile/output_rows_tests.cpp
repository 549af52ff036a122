// How finished rows reach the file. The JPEG encoder against the image library's writer, whose bytes every JPEG
// output has always had: the same file for any size, quality and row step, whether the rows are all there or
// arrive while it encodes. The output's bands: in a ring, the render is held back while the encoder still reads
// the rows it would write over, an encoder that ends early does not leave the render waiting, and the rows lent
// are the rows rendered; a whole canvas holds each band where its rows lie in the picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "imagefile/jpeg_encoder.h"
#include "stereofile/output_bands.h"

using namespace vistereo;

namespace {

// Smooth gradients with noise on top: flat areas and busy ones, every level.
cv::Mat photoLike(int width, int height, int seed) {
    cv::Mat picture(height, width, CV_8UC3);
    cv::RNG rng(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto& p = picture.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c)
                p[c] = cv::saturate_cast<uint8_t>((x * (c + 1) + y * (3 - c)) % 256 + rng.uniform(-20, 21));
        }
    return picture;
}

std::vector<uint8_t> libraryBytes(const cv::Mat& picture, int quality) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, quality}));
    return bytes;
}

}  // namespace

TEST(JpegEncoder, GivesTheImageLibrarysBytesForEverySizeQualityAndRowStep) {
    const struct { int width, height, quality; } cases[] = {
        {1, 1, 95}, {7, 5, 95}, {17, 33, 50}, {64, 48, 100}, {101, 77, 0}, {333, 129, 1}, {640, 480, 95}, {2049, 19, 80}};
    for (const auto& c : cases) {
        const cv::Mat picture = photoLike(c.width, c.height, c.width + c.height);
        const JpegEncoding encoded = encodeJpeg(picture, c.quality);
        ASSERT_TRUE(encoded.ok()) << encoded.error;
        EXPECT_EQ(encoded.bytes, libraryBytes(picture, c.quality)) << c.width << " x " << c.height << " q" << c.quality;
    }
    // A half of a side-by-side image: rows that do not follow each other in memory.
    const cv::Mat sideBySide = photoLike(2 * 200, 200, 3);
    for (const cv::Range half : {cv::Range(0, 200), cv::Range(200, 400)}) {
        const cv::Mat view = sideBySide.colRange(half);
        EXPECT_EQ(encodeJpeg(view, 95).bytes, libraryBytes(view.clone(), 95)) << half.start;
    }
    // Qualities out of range are clamped, as the library clamps them.
    const cv::Mat small = photoLike(40, 30, 9);
    EXPECT_EQ(encodeJpeg(small, 140).bytes, libraryBytes(small, 100));
    EXPECT_EQ(encodeJpeg(small, -3).bytes, libraryBytes(small, 0));
}

// Rows released a few at a time, each band only once the encoder asks for
// rows beyond the last (so that it really encodes while the picture is being
// finished), give the same file; a render that fails stops the encoding.
TEST(JpegEncoder, TakesRowsAsTheyBecomeFinal) {
    const cv::Mat finished = photoLike(300, 250, 5);
    for (const int band : {1, 7, 16, 100}) {
        cv::Mat picture(finished.size(), CV_8UC3, cv::Scalar::all(0));
        std::mutex lock;
        std::condition_variable changed;
        int final = 0, asked = 0, waits = 0;
        std::thread render([&] {
            std::unique_lock guard(lock);
            while (final < picture.rows) {
                // An encoder that never asks gets the rest at once after a while (and then the wrong bytes).
                const bool askedFor = changed.wait_for(guard, std::chrono::seconds(2), [&] { return asked > final; });
                const int end = askedFor ? std::min(picture.rows, final + band) : picture.rows;
                finished.rowRange(final, end).copyTo(picture.rowRange(final, end));
                final = end;
                changed.notify_all();
            }
        });
        const JpegEncoding encoded = encodeJpeg(picture, 90, [&](int rows) {
            std::unique_lock guard(lock);
            ++waits;
            asked = std::max(asked, rows);
            changed.notify_all();
            changed.wait(guard, [&] { return final >= rows; });
            return final;
        });
        render.join();
        ASSERT_TRUE(encoded.ok()) << encoded.error;
        EXPECT_EQ(encoded.bytes, libraryBytes(finished, 90)) << "bands of " << band;
        // Every band is released only when asked for: rows read early would be black.
        EXPECT_GE(waits, picture.rows / std::max(band, 16) / 2) << "bands of " << band;
    }

    int asked = 0;
    const auto abandoned = [&](int rows) -> int {
        if (rows > 64) throw std::runtime_error("render cancelled");
        asked = rows;
        return rows;
    };
    EXPECT_THROW(encodeJpeg(finished, 90, abandoned), std::runtime_error);
    EXPECT_EQ(asked, 64);
}

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
