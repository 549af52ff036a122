// The colour match of a conversion: known differences put on a synthetic pair
// (a right camera with other gains and an offset, a lens that falls off
// towards its rim) are fitted on the pair and corrected as the halves are
// rendered, so that the converted eyes' far fields agree; eyes that already
// match are left as they are, clipped highlights stay clipped, and a batch
// writes each pair's corrected bytes as a single run does.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "conversion/auto_align.h"
#include "batch/batch.h"
#include "tests/support/levels.h"
#include "tests/support/conversion_test_support.h"
#include "tests/support/scratch.h"
#include "tests/support/synth.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;
using namespace vistereo::conversiontest;

namespace {

const char* const kChannel[3] = {"blue", "green", "red"};

// The right camera's levels: gains of red 0.85, green 1.0, blue 1.12 (the
// image's order is blue, green, red) and an offset of 6 levels.
cv::Vec3d rightCamera(cv::Vec3d v, double) { return v.mul(cv::Vec3d(1.12, 1.0, 0.85)) + cv::Vec3d::all(6.0); }
// A lens that lets 30 % less light through at the rim of its circle.
cv::Vec3d fallingOff(cv::Vec3d v, double rho) { return v * (1.0 - 0.3 * rho * rho); }

using Pair = ClippedPair;
const Pair& pair() { return clippedPair(); }

class ColourMatchTest : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        for (const char* sub : {"input", "output", "input/left", "input/right", "batch"}) fs::create_directories(dir / sub);
        equisolidLenses(request);
        RotationMatrix truth;
        std::copy(&pair().rightToLeft.m[0][0], &pair().rightToLeft.m[0][0] + 9, &truth.m[0][0]);
        request.alignment = GivenRotation{truth};
        request.outputHeight = 512;
        request.workingDirectory = dir;
        request.leftName = "L.png", request.rightName = "R.png";
        run.threads = 2;
    }
    // The pair with `left` and `right` put on its eyes, converted with the
    // colour match `matching`.
    ConversionResult convert(const LevelChange& left, const LevelChange& right, ColourMatching matching,
                             cv::Mat& image) {
        const Pair& p = pair();
        EXPECT_TRUE(cv::imwrite((dir / "input/L.png").string(), withLevels(p.left, p.lens, left)));
        EXPECT_TRUE(cv::imwrite((dir / "input/R.png").string(), withLevels(p.right, p.lens, right)));
        ConversionRequest r = request;
        r.matchColour = matching;
        r.outputName = "out.png";
        QuietSink quiet;
        const ConversionResult result = RunConversion(r, quiet, run);
        EXPECT_TRUE(result.written()) << result.detail;
        image = cv::imread((dir / "output/out.png").string(), cv::IMREAD_COLOR);
        return result;
    }

    ConversionRequest request;
    RunOptions run;
};

// The targets: far fields within 1.5 levels per channel after the
// match (from 6 to 30 before), and every level clipped at 255 as sampled
// still 255 once matched.
TEST_F(ColourMatchTest, KnownDifferencesAreMatchedInTheRender) {
    const struct {
        const char* name;
        LevelChange left, right;
        ColourMatching matching;
        bool falloffKept;
    } cases[] = {
        {"gains and offset in the right camera", nullptr, rightCamera, ColourMatching::Tone, false},
        {"30 % fall-off at the rim of the right lens", nullptr, fallingOff, ColourMatching::ToneAndFalloff, true},
        {"30 % fall-off at the rim of the left lens", fallingOff, nullptr, ColourMatching::ToneAndFalloff, true},
        {"gains, offset and the right lens's fall-off", nullptr,
         [](cv::Vec3d v, double rho) { return rightCamera(fallingOff(v, rho), rho); }, ColourMatching::ToneAndFalloff,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat plain, matched;
        const ConversionResult off = convert(c.left, c.right, ColourMatching::Off, plain);
        EXPECT_FALSE(off.colour);
        const ConversionResult on = convert(c.left, c.right, c.matching, matched);
        ASSERT_TRUE(on.colour && on.colour->ok()) << (on.colour ? on.colour->error : "no match");
        EXPECT_EQ(on.colour->falloffKept, c.falloffKept);
        EXPECT_TRUE(on.warnings.empty());
        const cv::Vec3d before = halvesDifference(plain), after = halvesDifference(matched);
        EXPECT_GT(std::max({before[0], before[1], before[2]}), 5.0) << "the eyes should differ before";
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_LE(after[ch], 1.5) << kChannel[ch] << ": " << before[ch] << " before";
            // A clipped level stays clipped.
            cv::Mat plainChannel, matchedChannel, clipped;
            cv::extractChannel(plain, plainChannel, ch);
            cv::extractChannel(matched, matchedChannel, ch);
            cv::compare(plainChannel, 255, clipped, cv::CMP_EQ);
            ASSERT_GT(cv::countNonZero(clipped), 1000) << kChannel[ch] << ": the white patch should be clipped";
            double lowest = 0.0;
            cv::minMaxLoc(matchedChannel, &lowest, nullptr, nullptr, nullptr, clipped);
            EXPECT_EQ(lowest, 255.0) << kChannel[ch];
        }
    }
}

// Eyes that already match: the output changes by at most 0.3 levels on
// average per channel, the black outside the circles not at all.
TEST_F(ColourMatchTest, EyesThatAlreadyMatchAreLeftAlone) {
    for (ColourMatching matching : {ColourMatching::Tone, ColourMatching::ToneAndFalloff}) {
        SCOPED_TRACE(matching == ColourMatching::Tone ? "tone" : "tone and fall-off");
        cv::Mat plain, matched;
        convert(nullptr, nullptr, ColourMatching::Off, plain);
        const ConversionResult on = convert(nullptr, nullptr, matching, matched);
        ASSERT_TRUE(on.colour && on.colour->ok());
        cv::Mat difference;
        cv::absdiff(plain, matched, difference);
        const cv::Scalar mean = cv::mean(difference);
        for (int ch = 0; ch < 3; ++ch) EXPECT_LE(mean[ch], 0.3) << kChannel[ch];
        cv::Mat black, stillBlack;
        cv::inRange(plain, cv::Scalar::all(0), cv::Scalar::all(0), black);
        cv::inRange(matched, cv::Scalar::all(0), cv::Scalar::all(0), stillBlack);
        ASSERT_GT(cv::countNonZero(black), 1000);
        EXPECT_EQ(cv::countNonZero(black & ~stillBlack), 0);
    }
}

// A batch fits each pair on its own and writes the bytes a single run with
// the match writes, also for pairs of one size rendered in one pass whose
// corrections differ.
TEST_F(ColourMatchTest, ABatchMatchesEachPairAsASingleRun) {
    const Pair& p = pair();
    const LevelChange rights[] = {rightCamera, fallingOff};
    std::vector<BatchPair> pairs;
    for (int k = 0; k < 2; ++k) {
        const std::string name = "p" + std::to_string(k) + ".png";
        ASSERT_TRUE(cv::imwrite((dir / "input/left" / name).string(), p.left));
        ASSERT_TRUE(cv::imwrite((dir / "input/right" / name).string(), withLevels(p.right, p.lens, rights[k])));
        pairs.push_back({dir / "input/left" / name, dir / "input/right" / name, dir / "batch" / name});
    }
    BatchSettings settings;
    settings.request = request;
    settings.request.matchColour = ColourMatching::ToneAndFalloff;
    settings.run = run;
    BatchRecorder recorder;
    ASSERT_EQ(runBatch(pairs, settings, recorder).converted, 2u);
    EXPECT_EQ(std::count_if(recorder.outcomes.begin(), recorder.outcomes.end(),
                            [](const PairOutcome& o) { return o.colour && o.colour->ok(); }), 2);
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(pairs[k].left.filename().string());
        const std::string single =
            singleRun(settings.request, dir / "single", pairs[k].left, pairs[k].right, "s.png", run);
        EXPECT_TRUE(single == readFile(pairs[k].output));
    }
}

}  // namespace
