// The preview of a side-by-side result: fitted to the screen, as the two
// halves side by side, as a red/cyan anaglyph, or as a 50 % overlay of the
// halves, with the measured vertical disparity, so that the user can judge
// the alignment by eye and in numbers. The measurement runs in the
// background; the window stays responsive.
#pragma once

#include <QDialog>
#include <QImage>

#include <opencv2/core.hpp>

class QComboBox;
class QLabel;

namespace vistereo {

class PreviewDialog : public QDialog {
    Q_OBJECT
public:
    enum Mode { SideBySide = 0, Anaglyph = 1, Overlay = 2 };

    // `sideBySide`: 8-bit BGR, 2N x N.
    PreviewDialog(const cv::Mat& sideBySide, const QString& title, QWidget* parent = nullptr);
    ~PreviewDialog() override;

    void setMode(Mode mode);
    // The picture as shown (before fitting to the window).
    const QImage& shownImage() const { return m_shown; }
    QString measurementText() const;

signals:
    void measured();

private:
    void showMode();

    cv::Mat m_image;
    QImage m_shown;
    QComboBox* m_mode = nullptr;
    QLabel* m_picture = nullptr;
    QLabel* m_measurement = nullptr;
};

}  // namespace vistereo
