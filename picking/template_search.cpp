#include "picking/template_search.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "base/parallel.h"

namespace vistereo {
namespace {

void checkInputs(const cv::Mat& image, const cv::Mat& templ) {
    CV_Assert(!image.empty() && !templ.empty());
    CV_Assert(image.depth() == CV_8U && image.type() == templ.type() && image.dims == 2 && templ.dims == 2);
    CV_Assert(templ.rows <= image.rows && templ.cols <= image.cols);
}

// The constant term of TM_SQDIFF, the template's sum of squares, worked out
// the way cv::matchTemplate works it out (from the per-channel mean and
// standard deviation), so that the scores agree to the last bit.
double templateSumOfSquares(const cv::Mat& templ) {
    cv::Scalar mean, sdv;
    cv::meanStdDev(templ, mean, sdv);
    const double invArea = 1. / (static_cast<double>(templ.rows) * templ.cols);
    const double norm = sdv[0] * sdv[0] + sdv[1] * sdv[1] + sdv[2] * sdv[2] + sdv[3] * sdv[3];
    double sum2 = norm + mean[0] * mean[0] + mean[1] * mean[1] + mean[2] * mean[2] + mean[3] * mean[3];
    sum2 /= invArea;
    return sum2;
}

// A band of result rows [first, last).
struct Strip {
    int first = 0;
    int last = 0;
    int rows() const { return last - first; }
};

std::vector<Strip> planStrips(int resultRows, int blockRows, int blocksPerStrip) {
    std::vector<Strip> strips;
    const int stripRows = blockRows * std::max(1, blocksPerStrip);
    for (int first = 0; first < resultRows; first += stripRows)
        strips.push_back({first, std::min(first + stripRows, resultRows)});
    // A strip shorter than one block would get a smaller transform than the
    // whole-image call uses for its last (partial) block: fold it into the
    // strip above, where it is that same partial block.
    if (strips.size() > 1 && strips.back().rows() < blockRows) {
        strips[strips.size() - 2].last = strips.back().last;
        strips.pop_back();
    }
    return strips;
}

// Scores of one strip into `scores` (strip rows x result columns, CV_32F) and
// the first smallest of them, in whole-map coordinates.
TemplateSearchResult scoreStrip(const cv::Mat& image, const cv::Mat& templ, double templSum2, const Strip& strip,
                                cv::Mat scores) {
    const int tw = templ.cols, th = templ.rows, cn = image.channels();
    const int resultCols = image.cols - tw + 1;

    // Cross-correlation of the strip's rows; the rows below and above it are
    // not read, and blocks start at the same offsets as in the whole image.
    const cv::Mat band = image.rowRange(strip.first, strip.last + th - 1);
    const uchar* const storage = scores.data;
    cv::matchTemplate(band, templ, scores, cv::TM_CCORR);
    CV_Assert(scores.data == storage);  // written in place

    // Column sums of the squared samples over the template's height, slid
    // down the strip; the window sum of squares is exact in integers.
    std::vector<int64_t> column(image.cols, 0);
    const auto addRow = [&](int y, int sign) {
        const uchar* p = image.ptr<uchar>(y);
        for (int x = 0; x < image.cols; ++x, p += cn) {
            int32_t s = 0;
            for (int c = 0; c < cn; ++c) s += int32_t(p[c]) * p[c];
            column[x] += sign * s;
        }
    };
    for (int y = strip.first; y < strip.first + th; ++y) addRow(y, +1);

    TemplateSearchResult best{{0, strip.first}, 0.0f};
    bool haveBest = false;
    for (int v = strip.first; v < strip.last; ++v) {
        if (v > strip.first) {
            addRow(v - 1, -1);
            addRow(v + th - 1, +1);
        }
        int64_t window = 0;
        for (int x = 0; x < tw; ++x) window += column[x];
        float* row = scores.ptr<float>(v - strip.first);
        for (int u = 0; u < resultCols; ++u) {
            if (u > 0) window += column[u + tw - 1] - column[u - 1];
            // The TM_SQDIFF expression, in this order and in double.
            double num = row[u];
            num = static_cast<double>(window) - 2 * num + templSum2;
            num = num < 0. ? 0. : num;
            const float score = static_cast<float>(num);
            row[u] = score;
            if (!haveBest || score < best.score) {
                best = {{u, v}, score};
                haveBest = true;
            }
        }
    }
    return best;
}

// Scores the whole map strip by strip; with `map` empty the scores go to
// per-thread scratch and are dropped.
TemplateSearchResult searchStrips(const cv::Mat& image, const cv::Mat& templ, const TemplateSearchOptions& options,
                                  cv::Mat* map) {
    checkInputs(image, templ);
    const int resultRows = image.rows - templ.rows + 1, resultCols = image.cols - templ.cols + 1;
    const std::vector<Strip> strips =
        planStrips(resultRows, correlationBlockRows(templ.rows), options.blocksPerStrip);
    const double templSum2 = templateSumOfSquares(templ);
    int tallest = 0;
    for (const Strip& s : strips) tallest = std::max(tallest, s.rows());

    std::vector<TemplateSearchResult> found(strips.size());
    parallelChunks(static_cast<int>(strips.size()), 1, options.threads, [&]() -> ChunkBody {
        auto scratch = std::make_shared<cv::Mat>();
        if (!map) scratch->create(tallest, resultCols, CV_32F);
        return [&, scratch](int first, int last) {
            for (int i = first; i < last; ++i) {
                const Strip& s = strips[i];
                cv::Mat scores = map ? map->rowRange(s.first, s.last) : scratch->rowRange(0, s.rows());
                found[i] = scoreStrip(image, templ, templSum2, s, scores);
            }
        };
    });

    // Strips are in row order: on equal scores the upper one comes first.
    TemplateSearchResult best = found.front();
    for (size_t i = 1; i < found.size(); ++i)
        if (found[i].score < best.score) best = found[i];
    return best;
}

}  // namespace

int correlationBlockRows(int templateRows) {
    // cv::matchTemplate correlates in blocks: a block of
    // max(round(4.5 * rows), 256 - rows + 1) result rows, widened to fill the
    // optimal DFT size of block + rows - 1.
    const int block = std::max(cvRound(templateRows * 4.5), 256 - templateRows + 1);
    return cv::getOptimalDFTSize(block + templateRows - 1) - templateRows + 1;
}

TemplateSearchResult searchTemplateReference(const cv::Mat& image, const cv::Mat& templ) {
    checkInputs(image, templ);
    cv::Mat scores;
    cv::matchTemplate(image, templ, scores, cv::TM_SQDIFF);
    double smallest = 0.0;
    cv::Point location;
    cv::minMaxLoc(scores, &smallest, nullptr, &location);
    return {{location.x, location.y}, static_cast<float>(smallest)};
}

TemplateSearchResult searchTemplate(const cv::Mat& image, const cv::Mat& templ, const TemplateSearchOptions& options) {
    return searchStrips(image, templ, options, nullptr);
}

cv::Mat templateScoreMap(const cv::Mat& image, const cv::Mat& templ, const TemplateSearchOptions& options) {
    checkInputs(image, templ);
    cv::Mat map(image.rows - templ.rows + 1, image.cols - templ.cols + 1, CV_32F);
    searchStrips(image, templ, options, &map);
    return map;
}

}  // namespace vistereo
