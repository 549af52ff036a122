#include "ui/windows/batch_dialog.h"

#include <algorithm>
#include <cstdlib>
#include <exception>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileSystemWatcher>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>

#include "conversion/auto_align.h"
#include "lens/lens_selection.h"
#include "registry/lens_registry.h"
#include "stereofile/output_formats.h"
#include "ui/widgets/background.h"
#include "ui/widgets/dialog_layout.h"
#include "ui/widgets/run_choices.h"
#include "ui/widgets/message_box.h"
#include "ui/widgets/user_settings.h"
#include "ui/widgets/figure_verdicts.h"

namespace vistereo {
namespace {

namespace fs = std::filesystem;

QString qt(const std::string& text) { return QString::fromStdString(text); }

// A path as the user knows it: relative to the working directory when below it.
QString shown(const fs::path& path, const fs::path& workingDirectory) {
    const fs::path relative = path.lexically_relative(workingDirectory);
    return qt((relative.empty() || *relative.begin() == ".." ? path : relative).generic_string());
}

// A folder the user typed: as typed when relative to the current directory,
// otherwise below the working directory (an absolute one as it is).
fs::path inWorkingDirectory(const fs::path& workingDirectory, const QString& folder) {
    const fs::path typed = folder.toStdString();
    return workingDirectory == "." ? typed : workingDirectory / typed;
}

}  // namespace

// Hands the batch's reports to the window's thread; answers the stop question.
class BatchDialog::Observer : public BatchObserver {
public:
    // `failure` receives why the batch stopped when the first pairs gave no rotation.
    Observer(BatchDialog* dialog, fs::path workingDirectory, std::shared_ptr<std::string> failure)
        : dialog_(dialog), workingDirectory_(std::move(workingDirectory)), failure_(std::move(failure)) {}

    void alignedOnce(const SharedAlignment& shared, const SharedColour&) override {
        QStringList remarks;
        for (const std::string& remark : sharedAlignmentRemarks(shared)) remarks << qt(remark);
        QString text = qt(describeSharedAlignment(shared));
        QString advice;
        if (shared.rotation) {  // how well the one rotation fits the pairs it was taken from
            const JudgedFigure spread = judgeSharedRotationSpread(shared.maxDegrees);
            text += "\n" + spread.text + ".";
            advice = spread.advice;
        }
        BatchDialog* dialog = dialog_;
        QMetaObject::invokeMethod(dialog, [dialog, text, remarks, advice] { dialog->onAligned(text, remarks, advice); },
                                  Qt::QueuedConnection);
        if (!shared.rotation) *failure_ = describeSharedAlignment(shared);
    }

    void pairFinished(const BatchPair& pair, const PairOutcome& outcome, const BatchProgress& progress) override {
        QString failure;
        if (outcome.result == PairResult::Failed)
            failure = shown(pair.left, workingDirectory_) + ", " + shown(pair.right, workingDirectory_) + ": " +
                      qt(outcome.detail);
        for (const std::string& warning : outcome.warnings)
            failure += (failure.isEmpty() ? "" : "\n") + QStringLiteral("Warning: ") + qt(warning);
        const int done = static_cast<int>(progress.done()), total = static_cast<int>(progress.total);
        const QString text = qt(describeProgress(progress));
        BatchDialog* dialog = dialog_;
        QMetaObject::invokeMethod(
            dialog, [dialog, done, total, text, failure] { dialog->onPairFinished(done, total, text, failure); },
            Qt::QueuedConnection);
    }
    bool stopRequested() override { return dialog_->m_stop.load(); }

private:
    BatchDialog* dialog_;
    fs::path workingDirectory_;
    std::shared_ptr<std::string> failure_;
};

BatchDialog::BatchDialog(const ConversionRequest& choices, bool vrSuffix, QWidget* parent)
    : QDialog(parent), m_vrSuffix(vrSuffix) {
    setWindowTitle(QStringLiteral("Batch Conversion"));
    setFont(dialogFont(10));
    m_settings.request = choices;
    m_mainLenses = choices.lenses;
    m_settings.request.refuseImpossibleLenses = true;  // a batch refuses lens values no lens has,
    m_settings.request.refuseImpossiblePoints = true;  // and points no picture or lens has, as the command line does
    m_pool.setMaxThreadCount(1);

    m_leftFolder = new QLineEdit(QStringLiteral("input/left"), this);
    m_rightFolder = new QLineEdit(QStringLiteral("input/right"), this);
    m_browseLeft = new QPushButton(QStringLiteral("Browse..."), this);
    m_browseRight = new QPushButton(QStringLiteral("Browse..."), this);
    m_alignment = new QComboBox(this);
    m_alignment->addItems({QStringLiteral("Points A and B of the main window"),
                           QStringLiteral("Automatic, each pair on its own"),
                           QStringLiteral("Automatic, once from the first pairs")});
    m_lensChoice = {new QComboBox(this), new QComboBox(this)};
    m_choicesText = new QLabel(this);
    m_overwrite = new QCheckBox(QStringLiteral("Convert again when the output exists"), this);
    m_pairList = new QListWidget(this);
    m_pairingStatus = new QLabel(this);
    m_start = new QPushButton(QStringLiteral("Start"), this);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_progress = new QProgressBar(this);
    m_progressText = new QLabel(this);
    m_failures = new QPlainTextEdit(this);
    m_close = new QPushButton(QStringLiteral("Close"), this);
    nameParts({
        {m_leftFolder, "leftFolder"},   {m_rightFolder, "rightFolder"}, {m_browseLeft, "browseLeft"},
        {m_browseRight, "browseRight"}, {m_alignment, "alignment"},     {m_lensChoice[0], "leftLens"},
        {m_lensChoice[1], "rightLens"},     {m_choicesText, "choices"},
        {m_overwrite, "overwrite"},     {m_pairList, "pairList"},       {m_pairingStatus, "pairingStatus"},
        {m_start, "startButton"},       {m_cancel, "cancelButton"},     {m_progress, "progress"},
        {m_progressText, "progressText"}, {m_failures, "failures"},     {m_close, "closeButton"}});

    // Every part but the pair list has a fixed height, and the buttons a
    // fixed width, so nothing moves while a batch runs and its texts change.
    const int line = fontMetrics().lineSpacing();
    for (QLabel* text : {m_choicesText, m_pairingStatus, m_progressText}) makeStatusText(text);
    // The choices change only while no batch runs (with the alignment); their
    // box takes the lines they need.
    m_choicesText->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    m_choicesText->setMargin(3);
    m_pairingStatus->setFixedHeight(2 * line);
    m_progressText->setFixedHeight(4 * line);
    makeReportBox(m_failures, QStringLiteral("Failures and warnings of the batch appear here."));
    m_failures->setFixedHeight(3 * line);  // it scrolls; the progress text above needs four

    auto* folders = new QGridLayout;
    folders->addWidget(new QLabel(QStringLiteral("Left images"), this), 0, 0);
    folders->addWidget(m_leftFolder, 0, 1);
    folders->addWidget(m_browseLeft, 0, 2);
    folders->addWidget(new QLabel(QStringLiteral("Right images"), this), 1, 0);
    folders->addWidget(m_rightFolder, 1, 1);
    folders->addWidget(m_browseRight, 1, 2);
    folders->addWidget(new QLabel(QStringLiteral("Alignment"), this), 2, 0);
    folders->addWidget(m_alignment, 2, 1, 1, 2);
    auto* lensRow = new QHBoxLayout;
    lensRow->addWidget(m_lensChoice[0], 1);
    lensRow->addWidget(m_lensChoice[1], 1);
    folders->addWidget(new QLabel(QStringLiteral("Lenses"), this), 3, 0);
    folders->addLayout(lensRow, 3, 1, 1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(folders);
    layout->addWidget(new QLabel(QStringLiteral("Every pair is converted with:"), this));
    layout->addWidget(m_choicesText);
    layout->addWidget(new QLabel(QStringLiteral("Pairs in name order (outputs in output/):"), this));
    layout->addWidget(m_pairList, 1);
    layout->addWidget(m_pairingStatus);
    layout->addWidget(m_overwrite);
    layout->addWidget(m_progress);
    layout->addWidget(m_progressText);
    layout->addWidget(m_failures);
    layout->addLayout(runButtonRow(m_start, m_cancel, m_close));
    resize(620, 660);

    m_progress->setFormat(QStringLiteral("%v of %m pairs"));
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    m_cancel->setEnabled(false);

    // The folders and the alignment as the user left them last time.
    QSettings settings = userSettings();
    m_leftFolder->setText(settings.value(QStringLiteral("batch/leftFolder"), m_leftFolder->text()).toString());
    m_rightFolder->setText(settings.value(QStringLiteral("batch/rightFolder"), m_rightFolder->text()).toString());
    m_alignment->setCurrentIndex(std::clamp(settings.value(QStringLiteral("batch/alignment"), 0).toInt(), 0, 2));
    rememberGeometry(this, QStringLiteral("batch"));

    // Files added to or removed from the folders while the window is open
    // show in the pairing a moment later.
    m_watcher = new QFileSystemWatcher(this);
    m_refreshSoon = new QTimer(this);
    m_refreshSoon->setSingleShot(true);
    m_refreshSoon->setInterval(300);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_refreshSoon, qOverload<>(&QTimer::start));
    connect(m_refreshSoon, &QTimer::timeout, this, [this] {
        if (!m_running) refreshPairing();
    });

    connect(m_leftFolder, &QLineEdit::textChanged, this, &BatchDialog::refreshPairing);
    connect(m_rightFolder, &QLineEdit::textChanged, this, &BatchDialog::refreshPairing);
    connect(m_overwrite, &QCheckBox::toggled, this, &BatchDialog::refreshPairing);
    connect(m_alignment, &QComboBox::currentIndexChanged, this, &BatchDialog::showChoices);
    fillLensChoices();
    for (int eye = 0; eye < 2; ++eye)
        connect(m_lensChoice[eye], &QComboBox::currentIndexChanged, this, [this, eye](int entry) { chooseLens(eye, entry); });
    connect(m_browseLeft, &QPushButton::clicked, this, [this] { browse(m_leftFolder); });
    connect(m_browseRight, &QPushButton::clicked, this, [this] { browse(m_rightFolder); });
    connect(m_start, &QPushButton::clicked, this, &BatchDialog::start);
    connect(m_cancel, &QPushButton::clicked, this, &BatchDialog::cancel);
    connect(m_close, &QPushButton::clicked, this, &BatchDialog::reject);
    showChoices();
    refreshPairing();
}

BatchDialog::~BatchDialog() {
    m_batch.waitForFinished();
}

void BatchDialog::rememberChoices() {
    QSettings settings = userSettings();
    settings.setValue(QStringLiteral("batch/leftFolder"), m_leftFolder->text());
    settings.setValue(QStringLiteral("batch/rightFolder"), m_rightFolder->text());
    settings.setValue(QStringLiteral("batch/alignment"), m_alignment->currentIndex());
}

void BatchDialog::fillLensChoices() {
    std::vector<LensSource> sources{{LensSourceKind::WorkingFolder, m_settings.request.workingDirectory / kLensRegistryFileName}};
    if (const auto user = userLensFile(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")))
        sources.push_back({LensSourceKind::UserFile, *user});
    m_lenses = loadLensCatalogue(sources);
    for (int eye = 0; eye < 2; ++eye) {
        QComboBox* choice = m_lensChoice[eye];
        const QString picked = m_mainLenses[eye].name.empty() ? QStringLiteral("none picked") : qt(m_mainLenses[eye].name);
        choice->addItem(QStringLiteral("Main window's (%1)").arg(picked));
        for (const LensPosition& p : m_lenses.order)
            choice->addItem(qt(m_lenses.record(p).name) + QStringLiteral(" — ") +
                            QString::fromLatin1(describeLensSourceKind(m_lenses.sourceOf(p).kind)));
        choice->setToolTip(eye == 0 ? QStringLiteral("Lens of the left images") : QStringLiteral("Lens of the right images"));
    }
}

void BatchDialog::chooseLens(int eye, int entry) {
    LensSettings& lens = m_settings.request.lenses[eye];
    if (entry <= 0 || entry > static_cast<int>(m_lenses.order.size()))
        lens = m_mainLenses[eye];
    else
        lens = lensSettingsOf(m_lenses.record(m_lenses.order[entry - 1]));
    showChoices();
    if (!m_running) refreshPairing();  // Start follows the lenses
}

void BatchDialog::showChoices() {
    const ConversionRequest& r = m_settings.request;
    auto lens = [](const LensSettings& l) { return l.name.empty() ? QStringLiteral("(none picked)") : "“" + qt(l.name) + "”"; };
    auto degrees = [](int32_t tenths) { return QString::number(tenths / 10.0, 'f', 1) + "°"; };
    QString alignment;
    switch (static_cast<Alignment>(m_alignment->currentIndex())) {
        case Alignment::Points: {
            const PointsInput points = readPoints(givenPoints(r.alignment));
            const PointSet& p = points.points;
            alignment = points.ok() ? QStringLiteral("points A (%1, %2 → %3, %4) and B (%5, %6 → %7, %8)")
                                          .arg(p.leftA.x).arg(p.leftA.y).arg(p.rightA.x).arg(p.rightA.y)
                                          .arg(p.leftB.x).arg(p.leftB.y).arg(p.rightB.x).arg(p.rightB.y)
                                    : QStringLiteral("points A and B: ") + qt(points.error);
            break;
        }
        case Alignment::EachPair: alignment = QStringLiteral("automatic, each pair from its own pictures"); break;
        case Alignment::Once: alignment = QStringLiteral("automatic, once from the first pairs that align"); break;
    }
    m_choicesText->setText(
        QStringLiteral("Lenses: left %1, right %2\n"
                       "Size: %4 × %3 (height %3)\n"
                       "Zenith correction: roll %5, pitch %6, yaw %7\n"
                       "Alignment: %8\n"
                       "%11\n%12\n"
                       "Output: JPEG files of quality %13 in output/%9%10")
            .arg(lens(r.lenses[0]), lens(r.lenses[1]))
            .arg(r.outputHeight)
            .arg(2 * static_cast<int64_t>(r.outputHeight))
            .arg(degrees(r.zenith.roll), degrees(r.zenith.pitch), degrees(r.zenith.yaw), alignment)
            .arg(m_vrSuffix ? QStringLiteral(", named for VR players (_180_LR)") : QString(),
                 r.keepExif ? QStringLiteral(", with the camera's EXIF") : QString())
            .arg(describeColourChoice(r.matchColour), describeConvergenceChoice(r.convergenceDegrees))
            .arg(r.jpegQuality > 0 ? r.jpegQuality : kDefaultJpegQuality));
}

void BatchDialog::browse(QLineEdit* folder) {
    const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Folder of the images"), folder->text());
    if (!chosen.isEmpty()) folder->setText(chosen);
}

void BatchDialog::refreshPairing() {
    const fs::path& wd = m_settings.request.workingDirectory;
    const fs::path left = inWorkingDirectory(wd, m_leftFolder->text()), right = inWorkingDirectory(wd, m_rightFolder->text()),
                   output = inWorkingDirectory(wd, QStringLiteral("output"));
    // Watch what the pairing now reads (folders that do not exist are not watched).
    if (const QStringList watched = m_watcher->directories(); !watched.isEmpty()) m_watcher->removePaths(watched);
    for (const fs::path& folder : {left, right, output}) {
        std::error_code error;
        if (fs::is_directory(folder, error)) m_watcher->addPath(qt(folder.string()));
    }
    const PairingResult pairing = pairFolders(left, right, output, m_vrSuffix);
    m_pairs = pairing.pairs;
    m_pairList->clear();
    if (!pairing.ok()) {
        m_pairingStatus->setText(qt(pairing.error));
        m_start->setEnabled(false);
        return;
    }
    // The outputs are judged as the batch will judge them when it starts.
    m_settings.inputFolders = {{inWorkingDirectory(wd, m_leftFolder->text()), "the left image folder"},
                               {inWorkingDirectory(wd, m_rightFolder->text()), "the right image folder"}};
    m_settings.otherInputs = {{wd / kLensRegistryFileName, "the lens registry"}};
    for (const LoadedLensSource& loaded : m_lenses.sources)
        if (loaded.source.kind != LensSourceKind::WorkingFolder) m_settings.otherInputs.push_back({loaded.source.file, "a lens registry"});
    if (const RunStep refused = checkBatchOutputs(m_pairs, m_settings); !refused.ok()) {
        m_pairingStatus->setText(qt(refused.error));
        m_start->setEnabled(false);
        return;
    }
    const BatchPlan plan = planBatch(m_pairs, m_overwrite->isChecked(), m_settings.request.outputHeight);
    for (size_t k = 0; k < m_pairs.size(); ++k)
        m_pairList->addItem(QString::fromStdString(m_pairs[k].left.filename().string()) + " + " +
                            qt(m_pairs[k].right.filename().string()) + "  →  " +
                            qt(m_pairs[k].output.filename().string()) +
                            (plan.skip[k] ? QStringLiteral("  (exists: skipped)") : QString()));
    const std::array<LensSettings, 2>& lenses = m_settings.request.lenses;
    const bool lensesPicked = !lenses[0].name.empty() && !lenses[1].name.empty();
    QString status = QStringLiteral("%1 pairs, %2 to convert").arg(m_pairs.size()).arg(plan.toConvert());
    if (!lensesPicked)
        status += QStringLiteral("\nStart waits for a lens for each eye: pick them under Lenses above.");
    m_pairingStatus->setText(status);
    m_start->setEnabled(!m_running && plan.toConvert() > 0 && lensesPicked);
    showPlannedProgress(plan.toConvert());
}

void BatchDialog::showPlannedProgress(size_t toConvert) {
    // Before a run the bar counts what Start would convert; after one it
    // keeps what the run did.
    if (m_running || m_progress->value() > 0) return;
    m_progress->setRange(0, static_cast<int>(std::max<size_t>(toConvert, 1)));
    m_progress->setValue(0);
    m_progress->setFormat(toConvert > 0 ? QStringLiteral("%v of %m pairs") : QStringLiteral("no pair to convert"));
}

void BatchDialog::setRunning(bool running) {
    m_running = running;
    for (QWidget* w : std::initializer_list<QWidget*>{m_leftFolder, m_rightFolder, m_browseLeft, m_browseRight,
                                                      m_alignment, m_lensChoice[0], m_lensChoice[1], m_overwrite, m_pairList, m_start, m_close})
        w->setEnabled(!running);
    m_cancel->setEnabled(running);
    m_cancel->setText(QStringLiteral("Cancel"));
    if (!running) refreshPairing();
}

void BatchDialog::setAlignment(Alignment alignment) { m_alignment->setCurrentIndex(static_cast<int>(alignment)); }

void BatchDialog::start() {
    if (m_running) return;
    refreshPairing();  // what the folders hold now, not when they were last looked at
    if (m_pairs.empty() || !m_start->isEnabled()) return;
    rememberChoices();
    m_settings.force = m_overwrite->isChecked();
    const auto alignment = static_cast<Alignment>(m_alignment->currentIndex());
    BatchSettings settings = m_settings;
    settings.request.alignment = chooseAlignment(
        alignment == Alignment::Points ? std::nullopt
                                       : std::optional(alignment == Alignment::Once ? AlignmentScope::Once
                                                                                    : AlignmentScope::EachPair),
        givenPoints(m_settings.request.alignment));
    m_alignedText.clear();
    m_stop = false;
    m_failures->clear();
    m_progress->setRange(0, static_cast<int>(m_pairs.size()));
    m_progress->setValue(0);
    m_progress->setFormat(QStringLiteral("%v of %m pairs"));
    m_progressText->setToolTip(QString());
    m_progressText->setText(alignment == Alignment::Once ? QStringLiteral("Aligning on the first pairs…")
                                                         : QStringLiteral("0/%1 pairs").arg(m_pairs.size()));
    setRunning(true);

    // The batch works on copies: the window may change its folders afterwards.
    auto summary = std::make_shared<BatchSummary>();
    auto failure = std::make_shared<std::string>();
    auto observer = std::make_shared<Observer>(this, m_settings.request.workingDirectory, failure);
    m_summary = summary;
    m_failure = failure;
    m_batch = runInBackground(this, &m_pool, [pairs = m_pairs, settings, observer, summary, failure] {
        try {
            *summary = runBatch(pairs, settings, *observer);
        } catch (const std::exception& e) {
            *failure = describeException(e);
        }
    }, [this] { onBatchDone(); });
}

void BatchDialog::cancel() {
    if (!m_running) return;
    m_stop = true;
    m_cancel->setEnabled(false);
    m_cancel->setText(QStringLiteral("Stopping…"));
}

void BatchDialog::onPairFinished(int done, int total, const QString& progressText, const QString& failure) {
    m_progress->setRange(0, total);
    m_progress->setValue(done);
    m_progressText->setText(progressText);
    if (!failure.isEmpty()) m_failures->appendPlainText(failure);
}

void BatchDialog::onAligned(const QString& text, const QStringList& remarks, const QString& advice) {
    m_alignedText = text;
    m_alignedText[0] = m_alignedText[0].toUpper();
    m_progressText->setText(m_alignedText);
    m_progressText->setToolTip(advice);
    if (!advice.isEmpty()) m_failures->appendPlainText(QStringLiteral("What to do: ") + advice);
    for (const QString& remark : remarks) m_failures->appendPlainText(QStringLiteral("Not aligned: ") + remark);
}

void BatchDialog::onBatchDone() {
    const BatchSummary summary = *m_summary;
    setRunning(false);
    if (!m_failure->empty()) {
        ShowMessage(this, QStringLiteral("The batch stopped: %1").arg(qt(*m_failure)));
    } else if (!summary.refusal.ok()) {
        ShowMessage(this, qt(summary.refusal.error));
    } else {
        QString text = qt(describeSummary(summary));
        text[0] = text[0].toUpper();
        if (!m_alignedText.isEmpty()) text += "\n" + m_alignedText;
        m_progressText->setText(text);
    }
    emit batchFinished();
}

void BatchDialog::closeEvent(QCloseEvent* event) {
    if (m_running) {  // the batch is stopped with Cancel; the window closes once it has ended
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void BatchDialog::reject() {
    if (m_running) return;
    rememberChoices();
    QDialog::reject();
}

}  // namespace vistereo
