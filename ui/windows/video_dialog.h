// The video window ("VR180 Video"), opened from the main dialog's "Video...":
// two cameras' video files of one take into one VR180 MP4, with the lenses,
// points A and B and zenith correction the main dialog held when the window
// opened, or aligned automatically from frame pairs spread over the range.
//
// The user names the left and the right video (typed: a bare name lies in
// input/ of the working directory, a path with "/" is taken as given; or
// chosen with "Browse..."), the output (a bare name goes into output/), an
// optional start and duration, the codec and its quality. "Find offset" shows
// the offset between the cameras their sound gives, with its confidence and
// the drift check, or why the sound cannot tell: then the offset box is
// opened for a value by hand. Start converts in the background with a
// progress bar (frames done, frames per second, time left); Cancel stops it,
// and nothing of it is left on disk. The outcome (the file written with its
// frames and length, warnings and notes, or the reason it was refused) is
// shown in the window, copyable. Closing the window while a video is being
// converted asks first, then stops it and closes once it has stopped.
//
// Controls are found by their object names: leftVideo, rightVideo,
// browseLeft, browseRight, output, browseOutput, vrSuffix, startTime,
// duration, codec, crf, height, findOffset, offsetText, manualOffset, offset,
// alignment, choices, progress, progressText, report, startButton,
// cancelButton, closeButton.
#pragma once

#include <atomic>
#include <optional>

#include <QDialog>
#include <QFuture>
#include <QStringList>
#include <QThreadPool>

#include "base/fallible.h"
#include "video/video.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace vistereo {

class VideoDialog : public QDialog {
    Q_OBJECT
public:
    // `choices`: the main dialog's lenses, points and zenith correction; its
    // working directory holds input/ and output/. `vrSuffix`: the output gets
    // the players' name at first.
    explicit VideoDialog(const ConversionRequest& choices, bool vrSuffix = false, QWidget* parent = nullptr);
    ~VideoDialog() override;

    // The alignment choice's entries, in order.
    enum class Alignment { Points = 0, Automatic = 1 };

    // What Start would convert now, or why the window's values cannot be
    // converted (a time or an offset that is not one, an output that is no MP4).
    struct Built : Fallible {
        VideoRequest request;
    };
    Built buildRequest() const;

    bool running() const { return m_running; }
    bool findingOffset() const { return m_finding; }
    // The window's own thread for the conversion and the offset, apart from
    // the conversion's decoders, renderer and encoder.
    QThreadPool& videoPool() { return m_pool; }

    void findOffset();
    void start();
    void cancel();
    // Escape, Close, the close box: closes the window; while a video is
    // being converted, asks first and closes once it has stopped.
    void reject() override;

signals:
    void offsetShown();
    void videoFinished();

private:
    class Observer;
    void browseVideo(QLineEdit* box);
    void browseOutput();
    void showChoices();
    // The progress bar before any frame is counted.
    void showIdleProgress();
    // Clears the report and the offset's refusal of an earlier attempt when
    // the files or times it spoke of change.
    void clearStaleOutcome();
    void setBusy();
    void useOffsetByHand(bool byHand);
    void onOffsetFound(const VideoSync& sync);
    void onStep(const QString& text);
    void onFrames(const VideoProgress& progress);
    void onVideoDone(const VideoResult& result);
    // Whether the user agrees to stop the running conversion to close.
    bool stopToClose();

    ConversionRequest m_choices;
    QStringList m_steps;  // of the conversion under way: synchronised, aligned
    bool m_running = false;
    bool m_closeWhenDone = false;
    std::atomic<bool> m_stop{false};
    QThreadPool m_pool;
    bool m_finding = false;  // "Find offset" listening
    QFuture<VideoResult> m_video;
    QFuture<VideoSync> m_offsetSearch;

    QLineEdit* m_left = nullptr;
    QLineEdit* m_right = nullptr;
    QPushButton* m_browseLeft = nullptr;
    QPushButton* m_browseRight = nullptr;
    QLineEdit* m_output = nullptr;
    QPushButton* m_browseOutput = nullptr;
    QCheckBox* m_vrSuffix = nullptr;
    QLineEdit* m_startTime = nullptr;
    QLineEdit* m_duration = nullptr;
    QComboBox* m_codec = nullptr;
    QSpinBox* m_crf = nullptr;
    QLineEdit* m_height = nullptr;
    QPushButton* m_findOffset = nullptr;
    QLabel* m_offsetText = nullptr;
    QCheckBox* m_manualOffset = nullptr;
    QLineEdit* m_offset = nullptr;
    QComboBox* m_alignment = nullptr;
    QLabel* m_choicesText = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_progressText = nullptr;
    QPlainTextEdit* m_report = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_close = nullptr;
};

}  // namespace vistereo
