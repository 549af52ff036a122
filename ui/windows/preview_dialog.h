// The preview of a side-by-side result, to judge the alignment, the colours
// of the eyes and the stereo window by eye and in numbers before converting
// again: the two halves side by side, as a red/cyan anaglyph, as a 50 %
// overlay, or as their difference |left − right| amplified; zoomed with the
// wheel about the cursor, panned by dragging, 1:1 on a key. Beside it the
// measured vertical disparity, the colour figures of the far field and the
// stereo window.
//
// The convergence box and "Match colour" change the picture of the current
// pair without converting anything: a turn of the right eye about the
// vertical axis is a shift of the right half's longitudes, so the shown
// right half moves by the angle's pixels (edges black); the colour match is
// fitted on the shown pair, as `check` measures it, and applied to the shown
// right half. "Use for conversion" hands the values to the main window. The
// measurement and the refitting run in the background; the window stays
// responsive.
#pragma once

#include <optional>

#include <QDialog>
#include <QImage>
#include <QWidget>

#include <opencv2/core.hpp>

#include "alignment/alignment.h"
#include "measure/measure.h"
#include "colour/photometric.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;

namespace vistereo {

// The stereo window and the colour match of a conversion.
struct PreviewChoices {
    double convergenceDegrees = 0.0;
    bool matchColour = false;
};

// A box for a convergence in degrees, -45 to 45 as the command line takes
// it, in steps of 0.1, named `objectName`.
QDoubleSpinBox* newConvergenceBox(QWidget* parent, const QString& objectName);

// A picture that can be zoomed about the cursor (wheel), panned (drag),
// shown at its own pixels (key 1) and fitted again (key F). It starts
// fitted, never enlarged, and stays fitted while the view is resized until
// the user zooms or pans.
class PreviewView : public QWidget {
    Q_OBJECT
public:
    explicit PreviewView(QWidget* parent = nullptr);

    // A picture of another size is fitted again when the view was fitted;
    // otherwise the zoom is kept.
    void setImage(const QImage& image);
    // The part of the picture the view shows, in the picture's pixels.
    QRectF visibleRegion() const;
    double scale() const { return scale_; }
    bool fitted() const { return fitted_; }

    void fit();
    void actualSize();  // 1:1 about the view's centre
    // Zooms by `factor` keeping the picture's point under `at` (view pixels) where it is.
    void zoomAbout(QPointF at, double factor);
    void setPreferredSize(QSize size) { preferred_ = size; updateGeometry(); }
    QSize sizeHint() const override { return preferred_; }

signals:
    void viewChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    double fitScale() const;
    void clampOrigin();
    void changed();

    QImage image_;
    QImage reduced_;  // the picture at scale_ when that is below 1, smoothed once
    double scale_ = 1.0;
    QPointF origin_;  // the picture's point at the view's top left corner
    bool fitted_ = true;
    std::optional<QPointF> dragFrom_;
    QSize preferred_{640, 320};
};

class PreviewDialog : public QDialog {
    Q_OBJECT
public:
    enum Mode { SideBySide = 0, Anaglyph = 1, Overlay = 2, Difference = 3 };
    // The difference view shows |left − right| times this.
    static constexpr int kDifferenceGain = 4;

    // `sideBySide`: 8-bit BGR, 2N x N. `written`: the stereo window and
    // colour match it was converted with (the boxes start there; the
    // picture changes by what the user changes from them).
    PreviewDialog(const cv::Mat& sideBySide, const QString& title, QWidget* parent = nullptr,
                  PreviewChoices written = {});
    ~PreviewDialog() override;

    void setMode(Mode mode);
    // The picture as shown in the view, at its own size.
    const QImage& shownImage() const { return m_shown; }
    PreviewView* view() const { return m_view; }
    // The measurement, the colour figures and the stereo window, a line each.
    QString measurementText() const;
    PreviewChoices choices() const;

signals:
    void measured();        // the first measurement arrived
    void colourMeasured();  // the colour figures of the matched pair arrived
    void useForConversion(PreviewChoices chosen);

private:
    struct Measured {
        alignment::StereoMeasurement stereo;
        alignment::ColourMatch colour;
    };
    // The pair as its boxes ask: matched when asked and fitted, shifted by the convergence.
    cv::Mat adjustedPair() const;
    // The right eye's correction the shown pair gets from "Match colour": none
    // when unchecked, when the pair was written matched (it is not matched
    // again) or before a fit has arrived.
    const EyeColourCorrection* shownMatch() const;
    void showPair();
    void showMode();
    void updateTexts();
    void measureMatchedPair();

    cv::Mat m_image;
    PreviewChoices m_written;
    cv::Mat m_pair;  // m_image as the boxes ask
    QImage m_shown;
    QComboBox* m_mode = nullptr;
    QDoubleSpinBox* m_convergence = nullptr;
    QCheckBox* m_matchColour = nullptr;
    PreviewView* m_view = nullptr;
    QLabel* m_measurement = nullptr;
    QLabel* m_colour = nullptr;
    QLabel* m_window = nullptr;
    bool m_matchingAsked = false;  // the matched pair's figures were asked for (once per window)
    std::optional<Measured> m_measured;
    std::optional<alignment::ColourMatch> m_matchedColour;  // the figures of the matched pair
};

}  // namespace vistereo
