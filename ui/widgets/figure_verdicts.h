// The batch and video windows' figures in a photographer's words: how well
// one rotation fits a shoot's pairs, how sure the video's sound match is,
// what the quality setting (CRF) gives, how fast the conversion goes and
// which players can play the frame size, each with its verdict
// (good, acceptable, poor, as alignment/comfort.h grades every figure), the
// limits it is judged by and what to do about a poor one. The limits live
// here, next to the sentences that name them.
#pragma once

#include <cstdint>

#include <QString>

#include "alignment/comfort.h"
#include "video/video_sync.h"
#include "videofile/video_writer.h"

namespace vistereo {

// The sound match: below kMinimumSyncConfidence the offset is refused; a peak
// twice that high over any other is one no echo or beat of the music makes.
inline constexpr double kGoodSyncConfidence = 2.0 * kMinimumSyncConfidence;

// The quality setting, judged on x264's scale: 23 is x264's own default and
// 28 the coarse end of its sane range (17-28, FFmpeg's H.264 guide); x265's
// scale sits about 5 higher (its default 28 looks like x264's 23).
struct CrfLimits {
    int good = 0, acceptable = 0;
};
CrfLimits crfLimits(media::VideoCodec codec);

// The conversion's speed against the video's own frame rate: good at real
// time or faster, acceptable down to a tenth of it (a minute of video in ten).
inline constexpr double kGoodSpeedRatio = 1.0;
inline constexpr double kAcceptableSpeedRatio = 0.1;

// The frame size against the levels players decode: good at level 5.2 or
// below, which phones and most headsets decode; acceptable at a level 6
// (8K players only). Larger frames are refused before any is decoded.
inline constexpr int kGoodLevelTimesTen = 52;

// One rotation for a shoot: a pair whose own rotation lies X from the shared
// one is converted X off, so the largest distance is judged by the comfort
// limits of the vertical misalignment.
// (kVerticalComfortLimitArcmin good, kVerticalFusionLimitArcmin acceptable.)

struct JudgedFigure {
    alignment::Grade grade = alignment::Grade::NotJudged;
    QString text;  // the figure, its unit, the verdict and its limits
    QString advice;  // what to do, for a tooltip; empty when good
};

JudgedFigure judgeSharedRotationSpread(double maxDegrees);
JudgedFigure judgeSyncConfidence(double confidence);
JudgedFigure judgeCrf(media::VideoCodec codec, int crf);
JudgedFigure judgeSpeed(double framesPerSecond, double videoFps);
JudgedFigure judgeFrameSize(media::VideoCodec codec, int32_t height, double fps);

}  // namespace vistereo
