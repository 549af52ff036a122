#include "ui/widgets/figure_verdicts.h"

#include <cmath>

namespace vistereo {
namespace {

using alignment::Grade;

QString gradeWord(Grade grade) { return QString::fromUtf8(alignment::gradeName(grade)); }

}  // namespace

CrfLimits crfLimits(media::VideoCodec codec) {
    return codec == media::VideoCodec::Hevc ? CrfLimits{28, 33} : CrfLimits{23, 28};
}

JudgedFigure judgeSharedRotationSpread(double maxDegrees) {
    JudgedFigure f;
    const double arcmin = maxDegrees * 60.0;
    f.grade = alignment::gradeAtMost(arcmin, alignment::kVerticalComfortLimitArcmin, alignment::kVerticalFusionLimitArcmin);
    f.text = QStringLiteral("The pairs' own rotations lie within %1′ of the shared one — %2 (good up to %3′, acceptable "
                            "up to %4′)")
                 .arg(arcmin, 0, 'f', 1)
                 .arg(gradeWord(f.grade))
                 .arg(alignment::kVerticalComfortLimitArcmin, 0, 'f', 1)
                 .arg(alignment::kVerticalFusionLimitArcmin, 0, 'f', 1);
    if (f.grade != Grade::Good)
        f.advice = QStringLiteral("The rig seems to have moved between the pairs (a camera knocked or a lens remounted): "
                                  "choose \"Automatic, each pair on its own\" under Alignment, or split the shoot where it "
                                  "moved.");
    return f;
}

JudgedFigure judgeSyncConfidence(double confidence) {
    JudgedFigure f;
    f.grade = alignment::gradeAtLeast(confidence, kGoodSyncConfidence, kMinimumSyncConfidence);
    f.text = QStringLiteral("Sound match: its peak stands %1 times above any other — %2 (good from %3, below %4 the "
                            "sound cannot tell)")
                 .arg(confidence, 0, 'f', 1)
                 .arg(gradeWord(f.grade))
                 .arg(kGoodSyncConfidence, 0, 'f', 0)
                 .arg(kMinimumSyncConfidence, 0, 'f', 0);
    if (f.grade != Grade::Good)
        f.advice = QStringLiteral("The sound does not make the offset sure: look at a quick movement in the finished video, "
                                  "or clap once in view of both cameras at the start of the next take. If the offset is "
                                  "wrong, tick \"Offset by hand\" and type it.");
    return f;
}

JudgedFigure judgeCrf(media::VideoCodec codec, int crf) {
    const CrfLimits limits = crfLimits(codec);
    JudgedFigure f;
    f.grade = alignment::gradeAtMost(crf, limits.good, limits.acceptable);
    f.text = QStringLiteral("%1 at CRF %2%3 — %4 (good up to %5, acceptable up to %6)")
                 .arg(QString::fromUtf8(media::codecName(codec)))
                 .arg(crf)
                 .arg(crf == 0 && codec == media::VideoCodec::H264 ? QStringLiteral(", lossless") : QString())
                 .arg(gradeWord(f.grade))
                 .arg(limits.good)
                 .arg(limits.acceptable);
    f.advice = f.grade == Grade::Good
                   ? QStringLiteral("Lower numbers keep finer detail in bigger files; %1 is the default.").arg(media::kDefaultCrf)
                   : QStringLiteral("Detail will be lost and blocks may show in the headset: lower Quality (CRF) to %1 or "
                                    "less; the file grows.")
                         .arg(limits.good);
    return f;
}

JudgedFigure judgeSpeed(double framesPerSecond, double videoFps) {
    JudgedFigure f;
    const double ratio = videoFps > 0 ? framesPerSecond / videoFps : std::nan("");
    f.grade = alignment::gradeAtLeast(ratio, kGoodSpeedRatio, kAcceptableSpeedRatio);
    f.text = QStringLiteral("%1 frames a second, %2× the video's own speed — %3 (good at real time, acceptable down to "
                            "a tenth of it)")
                 .arg(framesPerSecond, 0, 'f', 1)
                 .arg(ratio, 0, 'f', 2)
                 .arg(gradeWord(f.grade));
    if (f.grade != Grade::Good)
        f.advice = QStringLiteral("A smaller Height or a shorter range converts faster; so does a computer with more "
                                  "cores free.");
    return f;
}

JudgedFigure judgeFrameSize(media::VideoCodec codec, int32_t height, double fps) {
    JudgedFigure f;
    const auto level = media::videoLevel(codec, 2 * int64_t{height}, height, fps);
    if (!level) {
        f.grade = Grade::Poor;
        f.text = QStringLiteral("%1 × %2 — poor (no %3 level takes it)").arg(2 * int64_t{height}).arg(height)
                     .arg(QString::fromUtf8(media::codecName(codec)));
        f.advice = QStringLiteral("Type a smaller Height.");
        return f;
    }
    // In tenths of a level, as H.264 counts it (HEVC counts thirtieths).
    const int tenths = codec == media::VideoCodec::Hevc ? level->idc / 3 : level->idc;
    f.grade = tenths <= kGoodLevelTimesTen ? Grade::Good : Grade::Acceptable;
    f.text = QStringLiteral("%1 × %2 needs %3 — %4 (good up to level %5, which phones and most headsets play; above "
                            "it 8K players only)")
                 .arg(2 * int64_t{height})
                 .arg(height)
                 .arg(QString::fromStdString(level->name))
                 .arg(gradeWord(f.grade))
                 .arg(kGoodLevelTimesTen / 10.0, 0, 'f', 1);
    if (f.grade != Grade::Good)
        f.advice = QStringLiteral("If the headset will not play the file, convert again with a smaller Height "
                                  "(2048 keeps to level 5.2 at 30 fps).");
    return f;
}

}  // namespace vistereo
