// The batch window ("Batch Conversion"), opened from the main dialog's
// "Batch...": converts every pair of a left and a right folder (default
// input/left and input/right, paired in name order) into output/, with the
// lenses, height, zenith correction and points the main dialog held when the
// window opened, or with automatic alignment (each pair on its own, or once
// from the first pairs that align, for the whole batch). It shows the
// settings every pair will be converted with and the pairing before it
// starts (the pairing follows the folders as files come and go, and is read
// again at Start), the progress while it runs (in the background; its
// controls are disabled then, apart from Cancel, which stops after the pairs
// under way) and the failures, wrapped and copyable. Its layout does not move
// while it runs. The folders and the alignment are remembered between runs.
//
// Its two lens choices start at the lenses the main dialog picked and offer
// besides every record of the working directory's Vistereo.ini and of the
// user's lens file ($XDG_CONFIG_HOME/vistereo/Vistereo.ini), which the main
// dialog's lists, bound to the working directory's file, do not show.
//
// Controls are found by their object names: leftFolder, rightFolder,
// browseLeft, browseRight, alignment, leftLens, rightLens, choices, overwrite, pairList,
// pairingStatus, startButton, cancelButton, progress, progressText, failures,
// closeButton.
#pragma once

#include <atomic>
#include <memory>

#include <QDialog>
#include <QFuture>
#include <QThreadPool>

#include "batch/batch.h"
#include "registry/lens_sources.h"

class QCheckBox;
class QComboBox;
class QFileSystemWatcher;
class QPlainTextEdit;
class QTimer;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace vistereo {

class BatchDialog : public QDialog {
    Q_OBJECT
public:
    // `choices`: what every pair is converted with; its working directory
    // holds input/ and output/. `vrSuffix`: outputs get the players' name.
    explicit BatchDialog(const ConversionRequest& choices, bool vrSuffix = false, QWidget* parent = nullptr);
    ~BatchDialog() override;

    const ConversionRequest& choices() const { return m_settings.request; }
    bool running() const { return m_running; }
    // The pairs the folders give now (empty when they give none).
    const std::vector<BatchPair>& pairs() const { return m_pairs; }
    // The batch's own thread, apart from the renderers' and the batch's stages.
    QThreadPool& batchPool() { return m_pool; }

    // The alignment choice's entries, in order.
    enum class Alignment { Points = 0, EachPair = 1, Once = 2 };
    void setAlignment(Alignment alignment);
    // The lens files the window offers lenses from, in lookup order.
    const LensCatalogue& lensCatalogue() const { return m_lenses; }

    void start();
    void cancel();
    // Escape, Close: closes the window unless a batch runs.
    void reject() override;

signals:
    void batchFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class Observer;
    // The progress bar before a run: the pairs Start would convert.
    void showPlannedProgress(size_t toConvert);
    void refreshPairing();
    void showChoices();
    void rememberChoices();
    void browse(QLineEdit* folder);
    void fillLensChoices();
    void chooseLens(int eye, int entry);
    void setRunning(bool running);
    void onPairFinished(int done, int total, const QString& progressText, const QString& failure);
    void onAligned(const QString& text, const QStringList& remarks, const QString& advice);
    void onBatchDone();

    BatchSettings m_settings;
    std::array<LensSettings, 2> m_mainLenses;  // what the main dialog picked
    LensCatalogue m_lenses;
    bool m_vrSuffix = false;
    std::vector<BatchPair> m_pairs;
    bool m_running = false;
    std::atomic<bool> m_stop{false};
    QThreadPool m_pool;
    QFuture<void> m_batch;  // the batch running off the window's thread
    QFileSystemWatcher* m_watcher = nullptr;  // the folders the pairing reads
    QTimer* m_refreshSoon = nullptr;
    std::shared_ptr<BatchSummary> m_summary;
    std::shared_ptr<std::string> m_failure;
    QString m_alignedText;  // what aligning once found, shown with the summary

    QLineEdit* m_leftFolder = nullptr;
    QLineEdit* m_rightFolder = nullptr;
    QPushButton* m_browseLeft = nullptr;
    QPushButton* m_browseRight = nullptr;
    QComboBox* m_alignment = nullptr;
    std::array<QComboBox*, 2> m_lensChoice{};
    QLabel* m_choicesText = nullptr;
    QCheckBox* m_overwrite = nullptr;
    QListWidget* m_pairList = nullptr;
    QLabel* m_pairingStatus = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_cancel = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_progressText = nullptr;
    QPlainTextEdit* m_failures = nullptr;
    QPushButton* m_close = nullptr;
};

}  // namespace vistereo
