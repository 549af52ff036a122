#include "ui/windows/video_dialog.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <tuple>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "base/fallible.h"
#include "imagefile/input.h"
#include "stereofile/output_formats.h"
#include "videofile/video_reader.h"
#include "ui/widgets/background.h"
#include "ui/widgets/dialog_layout.h"
#include "ui/widgets/run_choices.h"
#include "ui/widgets/digits_edit.h"
#include "ui/widgets/user_settings.h"
#include "ui/widgets/figure_verdicts.h"

namespace vistereo {
namespace {

namespace fs = std::filesystem;

QString qt(const std::string& text) { return QString::fromStdString(text); }

// The conversion's words name the command line's options; the window has
// boxes for them.
QString inTheWindowsWords(const std::string& text) {
    QString words = qt(text);
    words.replace(QStringLiteral("use --offset SECONDS"), QStringLiteral("set the offset by hand"));
    words.replace(QStringLiteral("--height sets another"), QStringLiteral("the Height box sets another"));
    words.replace(QStringLiteral("--start "), QStringLiteral("the start "));
    words.replace(QStringLiteral("--duration "), QStringLiteral("the duration "));
    return words;
}

// A time typed in a box (none when the box is empty), or why it is not a time.
struct TypedTime : Fallible {
    std::optional<double> seconds;
};

TypedTime typedTime(const QLineEdit* box, const QString& what) {
    TypedTime typed;
    const QString text = box->text().trimmed();
    if (text.isEmpty()) return typed;
    typed.seconds = media::parseMediaTime(text.toStdString());
    if (!typed.seconds)
        typed.error =
            (what + " takes seconds, M:SS or H:MM:SS, such as 12.5 or 1:05, not \"" + text + "\"").toStdString();
    return typed;
}

QString seconds(double value) { return QString::number(value, 'f', 3) + QStringLiteral(" s"); }

// The codec the box names (H.264 for a name it does not know).
media::VideoCodec codecOf(const QComboBox* box) {
    return media::codecNamed(box->currentText().toStdString()).value_or(media::VideoCodec::H264);
}

// The summary's line of the quality setting is short: the grade and its
// limits, without the figure told again.
QString crfVerdict(const JudgedFigure& crf) {
    const qsizetype dash = crf.text.indexOf(QStringLiteral(" — "));
    return dash < 0 ? crf.text : crf.text.mid(dash + 3);
}

// A judged figure as a line of the report, and what to do when it is not good.
void addJudged(QStringList& lines, const QString& what, const JudgedFigure& figure) {
    lines << what + figure.text + ".";
    if (figure.grade != alignment::Grade::Good && !figure.advice.isEmpty())
        lines << QStringLiteral("  What to do: ") + figure.advice;
}

}  // namespace

// Hands the conversion's steps and progress to the window's thread; answers the stop question.
class VideoDialog::Observer : public VideoObserver {
public:
    explicit Observer(VideoDialog* dialog) : dialog_(dialog) {}

    void stepDone(const std::string& text) override {
        VideoDialog* dialog = dialog_;
        const QString step = inTheWindowsWords(text);
        QMetaObject::invokeMethod(dialog, [dialog, step] { dialog->onStep(step); }, Qt::QueuedConnection);
    }
    void framesDone(const VideoProgress& progress) override {
        // A few updates a second are enough for the eye; the last one always comes.
        const auto now = std::chrono::steady_clock::now();
        if (progress.done < progress.total && now - shown_ < std::chrono::milliseconds(100)) return;
        shown_ = now;
        VideoDialog* dialog = dialog_;
        QMetaObject::invokeMethod(dialog, [dialog, progress] { dialog->onFrames(progress); }, Qt::QueuedConnection);
    }
    bool stopRequested() override { return dialog_->m_stop.load(); }

private:
    VideoDialog* dialog_;
    std::chrono::steady_clock::time_point shown_{};
};

VideoDialog::VideoDialog(const ConversionRequest& choices, bool vrSuffix, QWidget* parent)
    : QDialog(parent), m_choices(choices) {
    setWindowTitle(QStringLiteral("VR180 Video"));
    setFont(dialogFont(10));
    m_choices.mappingKinds = MappingKinds::All;  // a route of its own: every projection
    m_pool.setMaxThreadCount(1);

    m_left = new QLineEdit(QStringLiteral("L.mp4"), this);
    m_right = new QLineEdit(QStringLiteral("R.mp4"), this);
    m_browseLeft = new QPushButton(QStringLiteral("Browse..."), this);
    m_browseRight = new QPushButton(QStringLiteral("Browse..."), this);
    m_output = new QLineEdit(QStringLiteral("LROut.mp4"), this);
    m_browseOutput = new QPushButton(QStringLiteral("Browse..."), this);
    m_vrSuffix = new QCheckBox(QStringLiteral("Name for VR players (_180_LR)"), this);
    m_vrSuffix->setChecked(vrSuffix);
    m_startTime = new QLineEdit(this);
    m_startTime->setPlaceholderText(QStringLiteral("when both cameras film"));
    m_duration = new QLineEdit(this);
    m_duration->setPlaceholderText(QStringLiteral("until either stops"));
    m_codec = new QComboBox(this);
    m_codec->addItems({QStringLiteral("h264"), QStringLiteral("hevc")});
    m_crf = new QSpinBox(this);
    m_crf->setRange(0, 51);
    m_crf->setValue(media::kDefaultCrf);
    m_crf->setToolTip(QStringLiteral("The encoder's constant rate factor: lower keeps finer detail in a larger file; 0 is "
                                     "lossless for h264. Good up to %1 for h264 and %2 for hevc.")
                          .arg(crfLimits(media::VideoCodec::H264).good)
                          .arg(crfLimits(media::VideoCodec::Hevc).good));
    m_height = new DigitsOnlyEdit(this);
    m_height->setPlaceholderText(QStringLiteral("from the lens circles"));
    m_height->setToolTip(QStringLiteral("Output height (the width is twice that); empty: the largest power-of-two-friendly "
                                        "size the lens circles support, at most 2048 for h264 and 4096 for hevc"));
    m_findOffset = new QPushButton(QStringLiteral("Find offset"), this);
    m_offsetText = new QLabel(QStringLiteral("Found from the cameras' sound when the conversion starts."), this);
    m_manualOffset = new QCheckBox(QStringLiteral("Offset by hand (right camera's clock minus the left's, s)"), this);
    m_offset = new QLineEdit(QStringLiteral("0"), this);
    m_alignment = new QComboBox(this);
    m_alignment->addItems({QStringLiteral("Points A and B of the main window (in the frames' pixels)"),
                           QStringLiteral("Automatic, from frame pairs spread over the range")});
    m_choicesText = new QLabel(this);
    m_progress = new QProgressBar(this);
    m_progressText = new QLabel(this);
    m_report = new QPlainTextEdit(this);
    m_start = new QPushButton(QStringLiteral("Start"), this);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_close = new QPushButton(QStringLiteral("Close"), this);
    nameParts({
        {m_left, "leftVideo"},         {m_right, "rightVideo"},       {m_browseLeft, "browseLeft"},
        {m_browseRight, "browseRight"}, {m_output, "output"},         {m_browseOutput, "browseOutput"},
        {m_vrSuffix, "vrSuffix"},      {m_startTime, "startTime"},    {m_duration, "duration"},
        {m_codec, "codec"},            {m_crf, "crf"},                {m_height, "height"},
        {m_findOffset, "findOffset"},  {m_offsetText, "offsetText"},  {m_manualOffset, "manualOffset"},
        {m_offset, "offset"},          {m_alignment, "alignment"},    {m_choicesText, "choices"},
        {m_progress, "progress"},      {m_progressText, "progressText"}, {m_report, "report"},
        {m_start, "startButton"},      {m_cancel, "cancelButton"},    {m_close, "closeButton"}});

    // Texts that change have fixed heights and the buttons fixed widths, so
    // nothing moves while a video is converted.
    const int line = fontMetrics().lineSpacing();
    for (QLabel* text : {m_offsetText, m_choicesText, m_progressText}) makeStatusText(text);
    m_offsetText->setFixedHeight(4 * line);
    m_choicesText->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    m_choicesText->setMargin(3);
    m_choicesText->setFixedHeight(6 * line + 8);
    m_progressText->setFixedHeight(line);
    makeReportBox(m_report, QStringLiteral("What the conversion did appears here."));
    m_report->setMinimumHeight(5 * line);
    m_offset->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("-00.000000")) + 12);
    m_height->setFixedWidth(fontMetrics().horizontalAdvance(m_height->placeholderText()) + 16);

    auto* files = new QGridLayout;
    const std::tuple<const char*, QLineEdit*, QPushButton*> rows[] = {
        {"Left camera", m_left, m_browseLeft}, {"Right camera", m_right, m_browseRight}, {"Output", m_output, m_browseOutput}};
    for (int row = 0; row < 3; ++row) {
        files->addWidget(new QLabel(QString::fromLatin1(std::get<0>(rows[row])), this), row, 0);
        files->addWidget(std::get<1>(rows[row]), row, 1);
        files->addWidget(std::get<2>(rows[row]), row, 2);
    }
    files->addWidget(m_vrSuffix, 3, 1, 1, 2);
    auto* range = new QHBoxLayout;
    range->addWidget(new QLabel(QStringLiteral("Start"), this));
    range->addWidget(m_startTime, 1);
    range->addWidget(new QLabel(QStringLiteral("Duration"), this));
    range->addWidget(m_duration, 1);
    files->addWidget(new QLabel(QStringLiteral("Range"), this), 4, 0);
    files->addLayout(range, 4, 1, 1, 2);
    auto* encoding = new QHBoxLayout;
    encoding->addWidget(m_codec);
    encoding->addWidget(new QLabel(QStringLiteral("Quality (CRF)"), this));
    encoding->addWidget(m_crf);
    encoding->addWidget(new QLabel(QStringLiteral("Height"), this));
    encoding->addWidget(m_height);
    encoding->addStretch(1);
    files->addWidget(new QLabel(QStringLiteral("Codec"), this), 5, 0);
    files->addLayout(encoding, 5, 1, 1, 2);
    auto* sync = new QHBoxLayout;
    sync->addWidget(m_findOffset, 0, Qt::AlignTop);
    sync->addWidget(m_offsetText, 1);
    auto* byHand = new QHBoxLayout;
    byHand->addWidget(m_manualOffset);
    byHand->addWidget(m_offset);
    byHand->addStretch();
    files->addWidget(new QLabel(QStringLiteral("Alignment"), this), 6, 0);
    files->addWidget(m_alignment, 6, 1, 1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(files);
    layout->addWidget(m_choicesText);
    layout->addWidget(new QLabel(QStringLiteral("Synchronisation of the two cameras:"), this));
    layout->addLayout(sync);
    layout->addLayout(byHand);
    layout->addWidget(m_progress);
    layout->addWidget(m_progressText);
    layout->addWidget(m_report, 1);
    layout->addLayout(runButtonRow(m_start, m_cancel, m_close));
    resize(640, 680);
    rememberGeometry(this, QStringLiteral("video"));

    m_progress->setFormat(QStringLiteral("%v of %m frames"));
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    showIdleProgress();

    connect(m_browseLeft, &QPushButton::clicked, this, [this] { browseVideo(m_left); });
    connect(m_browseRight, &QPushButton::clicked, this, [this] { browseVideo(m_right); });
    connect(m_browseOutput, &QPushButton::clicked, this, &VideoDialog::browseOutput);
    connect(m_alignment, &QComboBox::currentIndexChanged, this, &VideoDialog::showChoices);
    connect(m_codec, &QComboBox::currentIndexChanged, this, &VideoDialog::showChoices);
    connect(m_crf, &QSpinBox::valueChanged, this, &VideoDialog::showChoices);
    for (QLineEdit* box : {m_left, m_right, m_output, m_startTime, m_duration, m_offset})
        connect(box, &QLineEdit::textChanged, this, &VideoDialog::clearStaleOutcome);
    connect(m_manualOffset, &QCheckBox::toggled, this, [this](bool on) { m_offset->setEnabled(on && !m_running); });
    connect(m_findOffset, &QPushButton::clicked, this, &VideoDialog::findOffset);
    connect(m_start, &QPushButton::clicked, this, &VideoDialog::start);
    connect(m_cancel, &QPushButton::clicked, this, &VideoDialog::cancel);
    connect(m_close, &QPushButton::clicked, this, &VideoDialog::reject);
    showChoices();
    setBusy();
}

VideoDialog::~VideoDialog() {
    m_stop = true;  // a conversion still going writes nothing
    m_video.waitForFinished();
    m_offsetSearch.waitForFinished();
}

void VideoDialog::showChoices() {
    const ConversionRequest& r = m_choices;
    auto lens = [](const LensSettings& l) { return l.name.empty() ? QStringLiteral("none picked") : "“" + qt(l.name) + "”"; };
    const PointsInput points = readPoints(givenPoints(r.alignment));
    const PointSet& p = points.points;
    QString alignment;
    if (static_cast<Alignment>(m_alignment->currentIndex()) == Alignment::Automatic)
        alignment = QStringLiteral("the rotation found in frame pairs spread over the range, used for every frame");
    else if (!points.ok())
        alignment = QStringLiteral("points A and B: ") + qt(points.error);
    else
        alignment = QStringLiteral("A (%1, %2 → %3, %4), B (%5, %6 → %7, %8)")
                        .arg(p.leftA.x).arg(p.leftA.y).arg(p.rightA.x).arg(p.rightA.y)
                        .arg(p.leftB.x).arg(p.leftB.y).arg(p.rightB.x).arg(p.rightB.y);
    m_choicesText->setText(QStringLiteral("Lenses of the main window: left %1, right %2\n"
                                          "Zenith correction: roll %3°, pitch %4°, yaw %5°\n"
                                          "Right eye aligned by %6\n"
                                          "%7\n%8\n"
                                          "Encoding: %9 (preset %12) at CRF %10 — %11")
                               .arg(lens(r.lenses[0]), lens(r.lenses[1]))
                               .arg(r.zenith.roll / 10.0, 0, 'f', 1)
                               .arg(r.zenith.pitch / 10.0, 0, 'f', 1)
                               .arg(r.zenith.yaw / 10.0, 0, 'f', 1)
                               .arg(alignment)
                               .arg(describeColourChoice(r.matchColour), describeConvergenceChoice(r.convergenceDegrees))
                               .arg(m_codec->currentText())
                               .arg(m_crf->value())
                               .arg(crfVerdict(judgeCrf(codecOf(m_codec), m_crf->value())))
                               .arg(QString::fromLatin1(media::kDefaultPreset)));
    m_choicesText->setToolTip(judgeCrf(codecOf(m_codec), m_crf->value()).advice);
}


void VideoDialog::browseVideo(QLineEdit* box) {
    const QString chosen = QFileDialog::getOpenFileName(this, QStringLiteral("A camera's video"), QStringLiteral("input"),
                                                        QStringLiteral("Videos (*.mp4 *.MP4 *.mov *.MOV *.mkv *.m4v);;All files (*)"));
    if (!chosen.isEmpty()) box->setText(chosen);
}

void VideoDialog::browseOutput() {
    const QString chosen = QFileDialog::getSaveFileName(this, QStringLiteral("The VR180 video to write"), QStringLiteral("output"),
                                                        QStringLiteral("MP4 videos (*.mp4)"));
    if (!chosen.isEmpty()) m_output->setText(chosen);
}

VideoDialog::Built VideoDialog::buildRequest() const {
    Built built;
    VideoRequest& request = built.request;
    const fs::path& wd = m_choices.workingDirectory;
    request.frames = m_choices;
    // The video refuses lens values and points no lens or picture has, as the command line does.
    request.frames.refuseImpossibleLenses = true;
    request.frames.refuseImpossiblePoints = true;
    request.frames.outputHeight = m_height->text().isEmpty() ? 0 : m_height->text().toInt();
    const bool automatic = static_cast<Alignment>(m_alignment->currentIndex()) == Alignment::Automatic;
    request.frames.alignment = chooseAlignment(automatic ? std::optional(AlignmentScope::Once) : std::nullopt,
                                               givenPoints(m_choices.alignment));
    request.left = argumentPath(m_left->text().trimmed().toStdString(), wd / "input");
    request.right = argumentPath(m_right->text().trimmed().toStdString(), wd / "input");
    std::string output = m_output->text().trimmed().toStdString();
    if (m_vrSuffix->isChecked()) output = withVrSuffix(output);
    request.output = argumentPath(output, wd / "output");
    request.encoding.codec = *media::codecNamed(m_codec->currentText().toStdString());
    request.encoding.crf = m_crf->value();
    const TypedTime start = typedTime(m_startTime, QStringLiteral("The start"));
    request.startSeconds = start.seconds;
    built.error = start.error;
    if (built.error.empty()) {
        const TypedTime duration = typedTime(m_duration, QStringLiteral("The duration"));
        request.durationSeconds = duration.seconds;
        built.error = duration.error;
    }
    if (built.error.empty() && m_manualOffset->isChecked()) {
        const std::string text = m_offset->text().trimmed().toStdString();
        char* end = nullptr;
        const double offset = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(offset))
            built.error = "The offset takes seconds, such as 0.25 or -1.5, not \"" + text + "\"";
        request.offsetSeconds = offset;
    }
    if (built.error.empty() && !isMp4Name(request.output))
        built.error = "The output must be an .mp4 file (the VR180 boxes are written in MP4 only), not \"" + output + "\"";
    return built;
}

void VideoDialog::setBusy() {
    const bool idle = !m_running && !m_finding;
    for (QWidget* w : std::initializer_list<QWidget*>{m_left, m_right, m_browseLeft, m_browseRight, m_output, m_browseOutput,
                                                      m_vrSuffix, m_startTime, m_duration, m_codec, m_crf, m_height,
                                                      m_findOffset, m_manualOffset, m_alignment, m_start})
        w->setEnabled(idle);
    m_offset->setEnabled(idle && m_manualOffset->isChecked());
    m_close->setEnabled(!m_running);
    m_cancel->setEnabled(m_running && !m_stop);
    m_cancel->setText(m_running && m_stop ? QStringLiteral("Stopping…") : QStringLiteral("Cancel"));
}

void VideoDialog::useOffsetByHand(bool byHand) {
    m_manualOffset->setChecked(byHand);
    if (byHand) m_offset->setFocus();
}

void VideoDialog::findOffset() {
    if (m_running || m_finding) return;
    Built built = buildRequest();
    built.request.offsetSeconds.reset();  // from the sound, whatever the box says
    m_offsetText->setText(QStringLiteral("Listening to the two cameras…"));
    m_offsetText->setToolTip(QString());
    m_finding = true;
    m_offsetSearch = runInBackground(
        this, &m_pool,
        [request = std::move(built.request)] {
            try {
                return synchroniseVideos(request);
            } catch (const std::exception& e) {
                VideoSync failed;
                failed.error = describeException(e);
                return failed;
            }
        },
        [this](const VideoSync& sync) {
            m_finding = false;
            setBusy();
            onOffsetFound(sync);
        });
    setBusy();
}

void VideoDialog::onOffsetFound(const VideoSync& sync) {
    if (sync.ok()) {
        const JudgedFigure match = judgeSyncConfidence(sync.offset.confidence);
        m_offsetText->setText(QStringLiteral("The right camera runs %1.\n%5.\nThe range: %2 frames at %3 fps from %4 on the left camera's clock.")
                                  .arg(qt(describeOffset(sync.offset, sync.fps)))
                                  .arg(sync.frames)
                                  .arg(sync.fps, 0, 'g', 6)
                                  .arg(qt(media::formatMediaTime(sync.startSeconds)))
                                  .arg(match.text));
        m_offsetText->setToolTip(match.advice);
        if (!m_manualOffset->isChecked()) m_offset->setText(QString::number(sync.offset.seconds, 'f', 6));
    } else {
        m_offsetText->setText(QStringLiteral("No offset: ") + inTheWindowsWords(sync.error));
        // When the sound cannot tell, the offset is the user's to give.
        if (!sync.offset.ok()) useOffsetByHand(true);
    }
    emit offsetShown();
}

void VideoDialog::start() {
    if (m_running || m_finding) return;
    Built built = buildRequest();
    m_report->clear();
    if (built.error.empty()) built.error = admitVideoOutput(built.request, m_choices.workingDirectory).error;
    if (!built.error.empty()) {
        m_report->setPlainText(QStringLiteral("Not started: ") + qt(built.error));
        emit videoFinished();
        return;
    }
    m_stop = false;
    m_running = true;
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    showIdleProgress();
    m_steps.clear();
    m_progressText->setText(built.request.offsetSeconds ? QStringLiteral("Opening the two videos…")
                                                        : QStringLiteral("Synchronising the cameras by their sound…"));
    setBusy();
    auto observer = std::make_shared<Observer>(this);
    m_video = runInBackground(
        this, &m_pool,
        [request = std::move(built.request), observer] {
            try {
                return convertVideo(request, *observer);
            } catch (const std::exception& e) {  // the conversion removes its temporary on the way out
                VideoResult failed;
                failed.status = VideoStatus::Failed;
                failed.detail = describeException(e);
                return failed;
            }
        },
        [this](const VideoResult& result) { onVideoDone(result); });
}

void VideoDialog::showIdleProgress() {
    // An empty bar without text looks like a text field: it says what it will count.
    m_progress->setFormat(QStringLiteral("Frames converted: none yet"));
    m_progress->setTextVisible(true);
}

void VideoDialog::clearStaleOutcome() {
    // What a finished or refused attempt said about other files or times is
    // no longer true once the names change.
    if (m_running || m_finding) return;
    if (!m_report->toPlainText().isEmpty() && !m_report->toPlainText().startsWith(QStringLiteral("Wrote "))) {
        m_report->clear();
        m_progressText->clear();
    }
    if (m_offsetText->text().startsWith(QStringLiteral("No offset: ")))
        m_offsetText->setText(QStringLiteral("Found from the cameras' sound when the conversion starts."));
}

void VideoDialog::cancel() {
    if (!m_running) return;
    m_stop = true;
    setBusy();
}

void VideoDialog::onStep(const QString& text) {
    QString step = text;
    step[0] = step[0].toUpper();
    m_progressText->setText(step);
    m_steps << step;
    m_report->setPlainText(m_steps.join('\n'));
}

void VideoDialog::onFrames(const VideoProgress& progress) {
    m_progress->setRange(0, static_cast<int>(progress.total));
    m_progress->setValue(static_cast<int>(progress.done));
    m_progress->setFormat(QStringLiteral("%v of %m frames"));
    QString text = QStringLiteral("%1/%2 frames, %3 frames a second").arg(progress.done).arg(progress.total).arg(progress.framesPerSecond(), 0, 'f', 1);
    if (const auto left = progress.secondsLeft()) {
        const long long whole = std::llround(*left);
        text += QString::asprintf(", %lld:%02lld left", whole / 60, whole % 60);
    }
    m_progressText->setText(text);
}

void VideoDialog::onVideoDone(const VideoResult& r) {
    m_running = false;
    setBusy();
    QStringList lines;
    switch (r.status) {
        case VideoStatus::Written:
            lines << QStringLiteral("Wrote %1 (%2 × %3, %4 frames, %5 at %6 fps, %7 crf %8) in %9.")
                         .arg(qt(r.output.string()))
                         .arg(2 * int64_t{r.outputHeight})
                         .arg(r.outputHeight)
                         .arg(r.frames)
                         .arg(seconds(r.seconds))
                         .arg(r.fps, 0, 'g', 6)
                         .arg(m_codec->currentText())
                         .arg(m_crf->value())
                         .arg(QString::number(r.wallSeconds, 'f', 1) + QStringLiteral(" s"));
            if (r.offsetGiven)
                lines << QStringLiteral("Offset: %1 as given (%2 frames).").arg(seconds(r.offset.seconds)).arg(r.offset.frames);
            lines << QStringLiteral("Alignment: ") + qt(r.alignment) + ".";
            if (!r.offsetGiven && r.offset.ok()) addJudged(lines, QString(), judgeSyncConfidence(r.offset.confidence));
            addJudged(lines, QStringLiteral("Frame size: "), judgeFrameSize(codecOf(m_codec), r.outputHeight, r.fps));
            addJudged(lines, QStringLiteral("Encoding: "), judgeCrf(codecOf(m_codec), m_crf->value()));
            if (r.wallSeconds > 0)
                addJudged(lines, QStringLiteral("Speed: "), judgeSpeed(r.frames / r.wallSeconds, r.fps));
            m_progressText->setText(QStringLiteral("Written."));
            break;
        case VideoStatus::Stopped:
            lines << QStringLiteral("Stopped after %1 frames: nothing was written.").arg(r.frames);
            m_progressText->setText(QStringLiteral("Stopped."));
            break;
        case VideoStatus::Refused:
        case VideoStatus::Failed:
            lines << QStringLiteral("Not written: ") + inTheWindowsWords(r.detail);
            m_progressText->setText(QStringLiteral("Not written."));
            break;
    }
    // The outcome first, then the steps that led to it, the warnings and the notes.
    lines << m_steps;
    for (const std::string& warning : r.warnings) lines << QStringLiteral("Warning: ") + inTheWindowsWords(warning);
    for (const std::string& note : r.notes) lines << QStringLiteral("Note: ") + inTheWindowsWords(note);
    m_report->setPlainText(lines.join('\n'));
    emit videoFinished();
    if (m_closeWhenDone) {
        m_closeWhenDone = false;
        QDialog::reject();
    }
}

bool VideoDialog::stopToClose() {
    if (m_stop) return true;  // already stopping: close once it has
    return QMessageBox::question(this, windowTitle(),
                                 QStringLiteral("A video is being converted. Stop it and close the window? "
                                                "Nothing of it will be kept."),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void VideoDialog::reject() {
    if (m_running) {
        if (stopToClose()) {
            m_closeWhenDone = true;
            cancel();
        }
        return;
    }
    QDialog::reject();
}

}  // namespace vistereo
