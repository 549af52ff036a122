#include "ui/preview_dialog.h"

#include <vector>

#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include <opencv2/imgproc.hpp>

#include "alignment/alignment.h"
#include "ui/background.h"
#include "ui/dialog_layout.h"

namespace vistereo {
namespace {

// The picture of a mode, 8-bit BGR: the whole image, or the halves combined.
cv::Mat composed(const cv::Mat& sideBySide, PreviewDialog::Mode mode) {
    if (mode == PreviewDialog::SideBySide) return sideBySide;
    const int n = sideBySide.rows;
    const cv::Mat left = sideBySide.colRange(0, n), right = sideBySide.colRange(n, 2 * n);
    cv::Mat out;
    if (mode == PreviewDialog::Overlay) {
        cv::addWeighted(left, 0.5, right, 0.5, 0.0, out);
        return out;
    }
    // Red from the left eye, green and blue from the right (grey levels, for
    // a clean separation through red/cyan glasses).
    cv::Mat leftGray, rightGray;
    cv::cvtColor(left, leftGray, cv::COLOR_BGR2GRAY);
    cv::cvtColor(right, rightGray, cv::COLOR_BGR2GRAY);
    cv::merge(std::vector<cv::Mat>{rightGray, rightGray, leftGray}, out);
    return out;
}

QString describe(const alignment::StereoMeasurement& m) {
    if (!m.ok) return QStringLiteral("Vertical disparity: cannot measure (%1)").arg(QString::fromStdString(m.reason));
    // The written image is measured at its full size: the figures differ
    // from those "Auto A,B" reports for the input pictures.
    return QStringLiteral("Vertical disparity of the written image at its full size: RMS %1′, 95th percentile %2′ "
                          "(%3 px) — %4")
        .arg(m.verticalArcmin.rms, 0, 'f', 1)
        .arg(m.verticalArcmin.p95, 0, 'f', 1)
        .arg(m.verticalPixels.p95, 0, 'f', 2)
        .arg(QString::fromUtf8(alignment::verdictName(m.verdict)));
}

}  // namespace

PreviewDialog::PreviewDialog(const cv::Mat& sideBySide, const QString& title, QWidget* parent)
    : QDialog(parent), m_image(sideBySide) {
    setWindowTitle(QStringLiteral("Preview — %1").arg(title));
    setFont(dialogFont(10));
    m_mode = new QComboBox(this);
    m_mode->setObjectName(QStringLiteral("previewMode"));
    m_mode->addItems({QStringLiteral("Side by side"), QStringLiteral("Red/cyan anaglyph"),
                      QStringLiteral("Overlay 50 %")});
    m_picture = new QLabel(this);
    m_picture->setAlignment(Qt::AlignCenter);
    m_measurement = new QLabel(QStringLiteral("Vertical disparity: measuring…"), this);
    m_measurement->setObjectName(QStringLiteral("previewMeasurement"));
    auto* top = new QHBoxLayout;
    top->addWidget(m_mode);
    top->addWidget(m_measurement, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_picture, 1);
    connect(m_mode, &QComboBox::currentIndexChanged, this, [this] { showMode(); });
    showMode();

    const cv::Mat image = m_image;
    runInBackground(this, nullptr, [image] { return describe(alignment::measureStereo(image)); },
                    [this](const QString& text) {
                        m_measurement->setText(text);
                        emit measured();
                    });
}

PreviewDialog::~PreviewDialog() = default;

void PreviewDialog::setMode(Mode mode) { m_mode->setCurrentIndex(mode); }

QString PreviewDialog::measurementText() const { return m_measurement->text(); }

void PreviewDialog::showMode() {
    const cv::Mat bgr = composed(m_image, static_cast<Mode>(m_mode->currentIndex()));
    m_shown = QImage(bgr.data, bgr.cols, bgr.rows, static_cast<qsizetype>(bgr.step), QImage::Format_BGR888).copy();
    // Fitted to most of the screen, never enlarged.
    const QScreen* screen = parentWidget() ? parentWidget()->screen() : this->screen();
    const QSize room = screen ? screen->availableSize() * 0.85 : QSize(1600, 900);
    const QSize fitted = m_shown.size().scaled(room.boundedTo(m_shown.size()), Qt::KeepAspectRatio);
    m_picture->setPixmap(QPixmap::fromImage(m_shown.scaled(fitted, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

}  // namespace vistereo
