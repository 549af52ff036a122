// The strip search against the plain whole-image cv::matchTemplate (TM_SQDIFF)
// + cv::minMaxLoc search: same scores bit for bit, same first minimum.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <opencv2/imgproc.hpp>

#include "picking/matching.h"
#include "picking/template_search.h"
#include "tests/picking/test_pairs.h"

using namespace vistereo;
using namespace vistereo::pickingtest;

namespace {

cv::Mat referenceMap(const cv::Mat& image, const cv::Mat& templ) {
    cv::Mat map;
    cv::matchTemplate(image, templ, map, cv::TM_SQDIFF);
    return map;
}

// Number of entries whose bits differ.
int differingEntries(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return -1;
    int differ = 0;
    for (int y = 0; y < a.rows; ++y)
        differ += std::memcmp(a.ptr(y), b.ptr(y), a.cols * a.elemSize()) != 0
                      ? cv::countNonZero(a.row(y) != b.row(y))
                      : 0;
    return differ;
}

cv::Mat templateAt(const cv::Mat& image, ImagePoint p) {
    cv::Mat t;
    image(cv::Rect(p.x - kTemplateOffset, p.y - kTemplateOffset, kTemplateSize, kTemplateSize)).copyTo(t);
    return t;
}

TEST(TemplateSearch, ScoreMapEqualsMatchTemplateBitForBit) {
    // Heights chosen around the correlation block (237 result rows for a
    // 20-row template): less than a block, exactly one, a short tail that is
    // folded into the last strip, and a tail of a block and more.
    const FisheyePair& pair = fisheyePair();
    const cv::Mat templ = templateAt(pair.left, {700, 500});
    struct {
        int rows;
        TemplateSearchOptions options;
    } const cases[] = {
        {1200, {2, 2}}, {1200, {1, 1}}, {1200, {3, 1}}, {1200, {2, 3}}, {250, {2, 1}},
        {256, {2, 1}},  {500, {2, 1}},  {493, {2, 1}},  {731, {2, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rows) + " rows, " + std::to_string(c.options.threads) + " threads, " +
                     std::to_string(c.options.blocksPerStrip) + " blocks per strip");
        const cv::Mat image = pair.right.rowRange(0, c.rows);
        EXPECT_EQ(differingEntries(templateScoreMap(image, templ, c.options), referenceMap(image, templ)), 0);
    }
}

TEST(TemplateSearch, AgreesWithTheReferenceOnManyPointsOfATurnedPair) {
    // Every point of a grid over the left image, textured or not, including
    // the black corners outside the image circle and the plain sky.
    const FisheyePair& pair = fisheyePair();
    int same = 0, tried = 0;
    for (int y = 30; y < 1180; y += 230) {
        for (int x = 30; x < 1580; x += 260) {
            const cv::Mat templ = templateAt(pair.left, {x, y});
            const TemplateSearchResult reference = searchTemplateReference(pair.right, templ);
            const TemplateSearchResult fast = searchTemplate(pair.right, templ);
            ++tried;
            if (fast.location == reference.location && fast.score == reference.score) ++same;
            else
                ADD_FAILURE() << "left (" << x << "," << y << "): reference " << reference.location << " "
                              << reference.score << ", strips " << fast.location << " " << fast.score;
        }
    }
    std::printf("strip search agrees with cv::matchTemplate on %d of %d points\n", same, tried);
    EXPECT_EQ(same, tried);
}

TEST(TemplateSearch, EqualScoresGiveTheFirstInRowMajorOrder) {
    // A uniform image (every placement scores alike) and one holding exact
    // copies of a textured block in several strips, the first copy low left
    // of a later one on a higher row.
    const cv::Mat uniform(900, 700, CV_8UC3, cv::Scalar(140, 170, 200));
    const cv::Mat uniformTempl = uniform(cv::Rect(300, 400, 20, 20)).clone();
    const TemplateSearchResult u = searchTemplate(uniform, uniformTempl);
    EXPECT_EQ(u.location, searchTemplateReference(uniform, uniformTempl).location);

    cv::Mat repeated = noiseImage(700, 900, 7);
    const cv::Mat block = noiseImage(20, 20, 8);
    const cv::Point copies[] = {{600, 250}, {20, 251}, {300, 700}, {5, 880}};
    for (const cv::Point& c : copies) block.copyTo(repeated(cv::Rect(c.x, c.y, 20, 20)));
    const TemplateSearchResult reference = searchTemplateReference(repeated, block);
    for (int threads : {1, 2, 4}) {
        const TemplateSearchResult r = searchTemplate(repeated, block, {threads, 1});
        EXPECT_EQ(r.location, reference.location) << threads << " threads";
    }
    EXPECT_EQ(reference.location, copies[0]);
}

}  // namespace
