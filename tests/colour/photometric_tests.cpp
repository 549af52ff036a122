// The eyes' photometric difference: known gains, offsets, tone curves and
// lens fall-offs put on a synthetic pair are recovered, the fitted correction
// (applied to the fisheye's pixels as the renderer would apply it) leaves
// the far fields within a fraction of a level, matched eyes are left alone,
// clipped highlights stay clipped and near objects stay out of the far field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include <opencv2/imgproc.hpp>

#include "colour/photometric.h"
#include "conversion/auto_align.h"
#include "tests/support/levels.h"
#include "tests/support/stereo_scene.h"

namespace vistereo {
namespace {

using namespace alignment;
using namespace testsupport;

constexpr int kWidth = 1200, kHeight = 900;
const char* const kChannel[3] = {"blue", "green", "red"};

// The pair with a clipped white patch (tests/support/levels.h) and its lens model.
const ClippedPair& pair() { return clippedPair(); }
CameraModel cameraOf(const ClippedPair& p) { return CameraModel::fromEyeGeometry(eyeGeometryOf(p.lens)); }
cv::Mat transformed(const cv::Mat& image, const LevelChange& change) { return withLevels(image, pair().lens, change); }

// The far fields' difference of the pair's eyes converted with the true rotation.
cv::Vec3d farFields(const cv::Mat& left, const cv::Mat& right) {
    const ClippedPair& p = pair();
    ConversionGeometry g;
    g.eye = {eyeGeometryOf(p.lens), eyeGeometryOf(p.lens)};
    return farFieldDifference(g, p.rightToLeft, left, right);
}

ColourMatch fitPair(const cv::Mat& left, const cv::Mat& right, const PhotometricOptions& options) {
    const ClippedPair& p = pair();
    return fitColourMatch(colourSamplesOfPair(cameraOf(p), left, cameraOf(p), right, p.rightToLeft, {}, 0, options),
                          options);
}

// The right camera's levels: gains of red 0.85, green 1.0, blue 1.12 (the
// image's order is blue, green, red) and an offset of 6 levels.
const cv::Vec3d kGains(1.12, 1.0, 0.85);
cv::Vec3d rightCamera(cv::Vec3d v, double) { return v.mul(kGains) + cv::Vec3d::all(6.0); }
// A lens that lets 30 % less light through at the rim of its circle.
cv::Vec3d fallingOff(cv::Vec3d v, double rho) { return v * (1.0 - 0.3 * rho * rho); }

// Known differences put on the pair are found, and the correction, applied
// to every pixel of both fisheye images, leaves the far fields (from 6 to 31
// levels apart) within 0.6 levels per channel; the eyes' target is 1.5.
// Fall-offs are found per channel, at the rim within 2 %.
// The fitted gain and offset are those mapping the right onto the left:
// 1 / g and -6 / g for a camera gain g. Clipped highlights (the white patch,
// and the right's blue channel wherever 1.12 x + 6 passes 255) stay at 255.
TEST(ColourMatch, RecoversKnownDifferencesAndMatchesTheFarFields) {
    const ClippedPair& p = pair();
    const cv::Vec3d noGain(1, 1, 1), noOffset(0, 0, 0), gain(1 / 1.12, 1.0, 1 / 0.85), offset = -6.0 * gain;
    const cv::Vec3d none(1, 1, 1), thirty(0.7, 0.7, 0.7);
    const struct { const char* name; LevelChange left, right; bool falloff; std::optional<cv::Vec3d> gain, offset;
                   cv::Vec3d leftRim, rightRim; ToneModel model; } cases[] = {
        {"gains and offset in the right camera", nullptr, rightCamera, false, gain, offset, none, none, ToneModel::GainOffset},
        {"30 % fall-off at the rim of the right lens", nullptr, fallingOff, true, noGain, noOffset, none, thirty, ToneModel::GainOffset},
        {"30 % fall-off at the rim of the left lens", fallingOff, nullptr, true, noGain, noOffset, thirty, none, ToneModel::GainOffset},
        {"gains, offset and fall-off in the right camera", nullptr,
         [](cv::Vec3d v, double rho) { return rightCamera(fallingOff(v, rho), rho); }, true, gain, offset, none, thirty,
         ToneModel::GainOffset},
        // A rim that turns blue: 20 % less blue, 30 % less green, 40 % less red.
        {"a coloured fall-off in the right lens", nullptr,
         [](cv::Vec3d v, double rho) { return v.mul(cv::Vec3d(1, 1, 1) - rho * rho * cv::Vec3d(0.2, 0.3, 0.4)); }, true,
         noGain, noOffset, none, cv::Vec3d(0.8, 0.7, 0.6), ToneModel::GainOffset},
        // A different tone curve: no straight line maps it, the curve does.
        {"gamma 1.25 in the right camera", nullptr,
         [](cv::Vec3d v, double) { for (int c = 0; c < 3; ++c) v[c] = 255.0 * std::pow(v[c] / 255.0, 1.25); return v; },
         false, std::nullopt, std::nullopt, none, none, ToneModel::Curve}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat left = c.left ? transformed(p.left, c.left) : p.left;
        const cv::Mat right = c.right ? transformed(p.right, c.right) : p.right;
        PhotometricOptions options;
        options.falloff = c.falloff;
        const ColourMatch m = fitPair(left, right, options);
        ASSERT_TRUE(m.ok()) << m.error;
        EXPECT_EQ(m.model, c.model) << "held out: gain and offset " << m.heldOutGainOffset << ", curve " << m.heldOutCurve;
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_NEAR(m.rimFalloff[0][ch], c.leftRim[ch], 0.02) << kChannel[ch];
            EXPECT_NEAR(m.rimFalloff[1][ch], c.rightRim[ch], 0.02) << kChannel[ch];
        }
        EXPECT_EQ(m.falloffKept, c.leftRim != none || c.rightRim != none);
        EXPECT_GT(m.clipped, 1000) << "the white patch is clipped and left out";

        const cv::Mat leftCorrected = corrected(left, m.correction.eye[0]), rightCorrected = corrected(right, m.correction.eye[1]);
        const cv::Vec3d before = farFields(left, right), after = farFields(leftCorrected, rightCorrected);
        int clipped = 0;
        for (const auto& [recorded, fixed] : {std::pair{&left, &leftCorrected}, {&right, &rightCorrected}})
            for (int y = 0; y < recorded->rows; ++y)
                for (int x = 0; x < recorded->cols; ++x)
                    for (int ch = 0; ch < 3; ++ch)
                        if (recorded->at<cv::Vec3b>(y, x)[ch] == 255) {
                            ++clipped;
                            ASSERT_EQ(fixed->at<cv::Vec3b>(y, x)[ch], 255) << x << ", " << y << ", " << kChannel[ch];
                        }
        EXPECT_GT(clipped, 1000);
        for (int ch = 0; ch < 3; ++ch) {
            SCOPED_TRACE(kChannel[ch]);
            if (c.gain) {
                EXPECT_NEAR(m.channel[ch].gain, (*c.gain)[ch], 0.01);
                EXPECT_NEAR(m.channel[ch].offset, (*c.offset)[ch], 1.0);
            }
            EXPECT_GT(before[ch], 5.0);
            EXPECT_LT(after[ch], 0.6);
            // The fit's own figures over its samples tell the same story.
            EXPECT_NEAR(m.channel[ch].before, before[ch], 0.1 * before[ch]);
            EXPECT_LT(m.channel[ch].after, 0.6);
        }
    }
}

// Eyes that already match: the correction changes next to nothing (the
// target is at most 0.3 levels on average), and the rim of each eye is
// found as bright against its centre as the other's.
TEST(ColourMatch, MatchedEyesAreLeftAlone) {
    const ClippedPair& p = pair();
    for (const bool falloff : {false, true}) {
        SCOPED_TRACE(falloff ? "with fall-off" : "tone only");
        PhotometricOptions options;
        options.falloff = falloff;
        const ColourMatch m = fitPair(p.left, p.right, options);
        ASSERT_TRUE(m.ok()) << m.error;
        EXPECT_NEAR(m.rimToCentre[0], m.rimToCentre[1], 0.01);
        for (int eye = 0; eye < 2; ++eye) {
            const cv::Mat& image = eye == 0 ? p.left : p.right;
            cv::Mat change;
            cv::absdiff(corrected(image, m.correction.eye[eye]), image, change);
            cv::Mat gray;
            cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
            const cv::Scalar mean = cv::mean(change, gray > 0);
            for (int ch = 0; ch < 3; ++ch) EXPECT_LT(mean[ch], 0.05) << "eye " << eye << ", " << kChannel[ch];
        }
        EXPECT_EQ(colourDifferenceGrade(m), Grade::Good) << colourDifferenceLevels(m);
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_NEAR(m.channel[ch].gain, 1.0, 0.005);
            EXPECT_NEAR(m.channel[ch].offset, 0.0, 0.5);
            EXPECT_LT(m.channel[ch].after, m.channel[ch].before + 0.05);
        }
    }
}

// The eyes' colour agreement is the largest channel's difference over the far field's areas (not over its pixels,
// where detail out of register counts too), graded good up to 4 levels and acceptable up to 10; a match that
// failed is not judged.
TEST(ColourMatch, AgreementIsTheLargestChannelsDifferenceOverAreas) {
    const struct { double cells; Grade grade; } cases[] = {
        {0.0, Grade::Good}, {4.0, Grade::Good}, {4.1, Grade::Acceptable}, {10.0, Grade::Acceptable}, {10.5, Grade::Poor}};
    for (int channel = 0; channel < 3; ++channel)
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(c.cells) + " levels in " + kChannel[channel]);
            ColourMatch m;
            for (ChannelMatch& each : m.channel) each.before = 20.0, each.cellsBefore = 0.5;
            m.channel[channel].cellsBefore = std::max(c.cells, 0.5);
            EXPECT_EQ(colourDifferenceLevels(m), std::max(c.cells, 0.5));
            EXPECT_EQ(colourDifferenceGrade(m), c.grade);
        }
    ColourMatch failed;
    failed.error = "too few far-field pixels";
    EXPECT_EQ(colourDifferenceGrade(failed), Grade::NotJudged);
}

// Near spheres show other things to each eye at one position: left out by
// the alignment's matches, the rest of the view fits as the far panorama
// alone does; counted in, they leave a difference no correction can mend.
TEST(ColourMatch, NearObjectsAreLeftOutOfTheFarField) {
    const AlignmentCase c = alignmentCases(kWidth, kHeight)[1];  // spheres at 1 to 6 m
    const cv::Mat left = renderView(c.scene, c.rig.left);
    const cv::Mat right = transformed(renderView(c.scene, c.rig.right), rightCamera);
    ConversionGeometry g;
    g.eye = {eyeGeometryOf(c.rig.left.lens), eyeGeometryOf(c.rig.right.lens)};
    const PairAlignment aligned = alignImages(left, right, g, 0);
    ASSERT_TRUE(aligned.ok()) << aligned.error;
    const ColourMatch m = matchPairColours(left, right, g, aligned.result.rotation, &aligned.result);
    ASSERT_TRUE(m.ok()) << m.error;
    EXPECT_GT(m.near, m.shown / 10);
    EXPECT_GT(m.pixels, m.shown / 2);
    const ColourMatch blind = matchPairColours(left, right, g, aligned.result.rotation);
    ASSERT_TRUE(blind.ok()) << blind.error;
    EXPECT_EQ(blind.near, 0);
    const cv::Vec3d gain(1 / 1.12, 1.0, 1 / 0.85);
    for (int ch = 0; ch < 3; ++ch) {
        SCOPED_TRACE(kChannel[ch]);
        EXPECT_NEAR(m.channel[ch].gain, gain[ch], 0.01);
        EXPECT_NEAR(m.channel[ch].offset, -6.0 * gain[ch], 1.0);
        EXPECT_LT(m.channel[ch].after, 0.6);
        EXPECT_GT(blind.channel[ch].after, 1.5);
    }
}

TEST(ColourMatch, RefusesWhatItCannotCompare) {
    const ClippedPair& p = pair();
    const cv::Mat black(kHeight, kWidth, CV_8UC3, cv::Scalar::all(0));
    const struct { const char* name; ColourSamples samples; const char* words; } cases[] = {
        {"no right lens", colourSamplesOfPair(cameraOf(p), p.left, CameraModel(), p.right, RotationMatrix{}, {}, 0), "no lens model"},
        {"wrong size", colourSamplesOfPair(cameraOf(p), p.left, cameraOf(p), p.right(cv::Rect(0, 0, 800, 600)), RotationMatrix{}, {}, 0), "800 x 600 but"},
        {"black right eye", colourSamplesOfPair(cameraOf(p), p.left, cameraOf(p), black, RotationMatrix{}, {}, 0), "too few far-field pixels"},
        {"not side by side", colourSamplesOfSideBySide(p.left, {}), "side-by-side"}};
    for (const auto& c : cases) {
        const ColourMatch m = fitColourMatch(c.samples);
        EXPECT_FALSE(m.ok()) << c.name;
        EXPECT_NE(m.error.find(c.words), std::string::npos) << c.name << ": " << m.error;
    }
}

}  // namespace
}  // namespace vistereo
