#include "ui/windows/preview_dialog.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <opencv2/imgproc.hpp>

#include "alignment/alignment.h"
#include "alignment/comfort.h"
#include "colour/photometric.h"
#include "measure/measure.h"
#include "measure/stereo_window.h"
#include "ui/widgets/background.h"
#include "ui/widgets/dialog_layout.h"

namespace vistereo {
namespace {

constexpr double kZoomStep = 1.25;  // one notch of the wheel
constexpr double kLargestScale = 16.0;

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
    if (mode == PreviewDialog::Difference) {
        cv::absdiff(left, right, out);
        out.convertTo(out, -1, PreviewDialog::kDifferenceGain);  // saturates at 255
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

// The right half turned about the vertical axis by `degrees`: its columns
// are longitudes, 180 degrees over N pixels, so the turn is a shift (to the
// right for a positive angle); what comes in at the edge is black. Exact for
// an output without zenith correction; with one, the axis of the turn leans
// with it and the shift is the picture's first approximation.
void shiftRightHalf(cv::Mat& sideBySide, double degrees) {
    const int n = sideBySide.rows;
    const double pixels = degrees / 180.0 * n;
    if (pixels == 0.0) return;
    cv::Mat right = sideBySide.colRange(n, 2 * n);
    const cv::Matx23d shift(1, 0, pixels, 0, 1, 0);
    cv::Mat moved;
    cv::warpAffine(right, moved, shift, right.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    moved.copyTo(right);
}

// The fitted tone curve of the right eye applied to the right half.
void matchRightHalf(cv::Mat& sideBySide, const EyeColourCorrection& right) {
    const int n = sideBySide.rows;
    cv::Mat table(1, 256, CV_8UC3);
    for (int level = 0; level < 256; ++level)
        for (int ch = 0; ch < 3; ++ch) table.at<cv::Vec3b>(0, level)[ch] = right.toneLevels[ch][level];
    cv::Mat half = sideBySide.colRange(n, 2 * n);
    cv::LUT(half.clone(), table, half);
}

// The comfort verdict as a grade against the two limits it is taken by.
QString gradeWord(alignment::Verdict verdict) {
    return QString::fromUtf8(alignment::gradeName(alignment::gradeOf(verdict)));
}

QString describeDisparity(const alignment::StereoMeasurement& m) {
    if (!m.ok()) return QStringLiteral("Vertical disparity: cannot measure (%1)").arg(QString::fromStdString(m.error));
    // The written image is measured at its full size: the figures differ
    // from those "Auto A,B" reports for the input pictures.
    return QStringLiteral("Vertical disparity of the written image at its full size: RMS %1′, 95th percentile %2′ "
                          "(%3 px) — %4 (good up to %5′, acceptable up to %6′)")
        .arg(m.verticalArcmin.rms, 0, 'f', 1)
        .arg(m.verticalArcmin.p95, 0, 'f', 1)
        .arg(m.verticalPixels.p95, 0, 'f', 2)
        .arg(QString::fromUtf8(alignment::verdictName(m.verdict)) + ": " + gradeWord(m.verdict))
        .arg(alignment::kVerticalComfortLimitArcmin, 0, 'f', 1)
        .arg(alignment::kVerticalFusionLimitArcmin, 0, 'f', 1);
}

// Red, green and blue of a per-channel figure (the image's order is blue, green, red).
QString channels(const alignment::ColourMatch& c, double alignment::ChannelMatch::*figure, int decimals) {
    // Rounded first, so that a figure a hair below zero reads 0.0, not -0.0.
    const double scale = std::pow(10.0, decimals);
    const auto shown = [&](int channel) { return std::round(c.channel[channel].*figure * scale) / scale + 0.0; };
    return QStringLiteral("%1 / %2 / %3")
        .arg(shown(2), 0, 'f', decimals)
        .arg(shown(1), 0, 'f', decimals)
        .arg(shown(0), 0, 'f', decimals);
}

// `check`'s colour figures of the pair as shown (before the convergence's
// shift: the eyes are compared where they see the same far field).
QString describeColour(const alignment::ColourMatch& c, const QString& shown) {
    if (!c.ok()) return QStringLiteral("Colour %1: cannot measure (%2)").arg(shown, QString::fromStdString(c.error));
    return QStringLiteral("Colour %1, far field (red / green / blue): mean absolute difference %2 levels; "
                          "left = gain × right + offset with gain %3, offset %4; rim over centre: left %5, right %6")
        .arg(shown, channels(c, &alignment::ChannelMatch::before, 1), channels(c, &alignment::ChannelMatch::gain, 3),
             channels(c, &alignment::ChannelMatch::offset, 1))
        .arg(c.rimToCentre[0], 0, 'f', 2)
        .arg(c.rimToCentre[1], 0, 'f', 2) +
           QStringLiteral("; areas differ by up to %1 levels: %2 (good up to %3, acceptable up to %4)")
               .arg(alignment::colourDifferenceLevels(c), 0, 'f', 1)
               .arg(QString::fromUtf8(alignment::gradeName(alignment::colourDifferenceGrade(c))))
               .arg(alignment::kColourDifferenceGoodLevels, 0, 'f', 0)
               .arg(alignment::kColourDifferenceAcceptableLevels, 0, 'f', 0);
}

QString describeWindow(const alignment::StereoWindow& w, double convergence) {
    const QString at = QStringLiteral("Stereo window at a convergence of %1°").arg(convergence, 0, 'f', 2);
    if (!w.measured) return at + QStringLiteral(": no matched points to judge it by");
    const QString where = w.nearestPixels < -w.frontPixels  ? QStringLiteral("in front of the plane of the frame")
                          : w.nearestPixels > w.frontPixels ? QStringLiteral("behind the plane of the frame")
                                                             : QStringLiteral("on the plane of the frame");
    QString text = QStringLiteral("%1: nearest point %2 px (%3′), %4; %5 points in front")
                       .arg(at)
                       .arg(w.nearestPixels, 0, 'f', 1)
                       .arg(w.nearestArcmin, 0, 'f', 1)
                       .arg(where)
                       .arg(w.inFront);
    const char* edges[2] = {"left", "right"};
    bool cut = false;
    for (int edge = 0; edge < 2; ++edge)
        if (w.violation[edge]) {
            text += QStringLiteral("; %1 at the %2 edge stand out of the frame").arg(w.edgeInFront[edge]).arg(edges[edge]);
            cut = true;
        }
    // Points in front of the frame are fine where the frame does not cut them.
    return text + (cut ? QStringLiteral(" — poor: raise Convergence until the edges' points stand behind the frame")
                       : w.inFront > 0 ? QStringLiteral(" — acceptable: near points stand out, but none at an edge")
                                       : QStringLiteral(" — good: the whole scene lies behind the frame"));
}

}  // namespace

QDoubleSpinBox* newConvergenceBox(QWidget* parent, const QString& objectName) {
    auto* box = new QDoubleSpinBox(parent);
    box->setObjectName(objectName);
    box->setRange(-45.0, 45.0);
    box->setDecimals(2);
    box->setSingleStep(0.1);
    box->setSuffix(QStringLiteral("°"));
    return box;
}

// --- the zoomable view ---

PreviewView::PreviewView(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::OpenHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setToolTip(QStringLiteral("Wheel: zoom about the cursor; drag: pan; 1: actual pixels; F: fit"));
}

void PreviewView::setImage(const QImage& image) {
    const bool resized = image.size() != image_.size();
    image_ = image;
    reduced_ = QImage();
    if (fitted_ && resized) fit();
    else changed();
}

double PreviewView::fitScale() const {
    if (image_.isNull() || width() <= 0 || height() <= 0) return 1.0;
    return std::min({1.0, double(width()) / image_.width(), double(height()) / image_.height()});
}

QRectF PreviewView::visibleRegion() const {
    return QRectF(origin_, QSizeF(width() / scale_, height() / scale_)).intersected(QRectF(QPointF(0, 0), image_.size()));
}

void PreviewView::clampOrigin() {
    // A picture narrower than the view is centred in it; a wider one cannot be dragged off it.
    auto clamp = [](double origin, double shown, double size) {
        return shown >= size ? (size - shown) / 2.0 : std::clamp(origin, 0.0, size - shown);
    };
    origin_.setX(clamp(origin_.x(), width() / scale_, image_.width()));
    origin_.setY(clamp(origin_.y(), height() / scale_, image_.height()));
}

void PreviewView::changed() {
    clampOrigin();
    update();
    emit viewChanged();
}

void PreviewView::fit() {
    fitted_ = true;
    if (scale_ != fitScale()) reduced_ = QImage();
    scale_ = fitScale();
    changed();
}

void PreviewView::actualSize() { zoomAbout(QPointF(width() / 2.0, height() / 2.0), 1.0 / scale_); }

void PreviewView::zoomAbout(QPointF at, double factor) {
    const QPointF fixed = origin_ + at / scale_;
    const double scale = std::clamp(scale_ * factor, std::min(fitScale(), 1.0), kLargestScale);
    if (scale != scale_) reduced_ = QImage();
    scale_ = scale;
    origin_ = fixed - at / scale_;
    fitted_ = false;
    changed();
}

void PreviewView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (image_.isNull()) return;
    if (scale_ < 1.0) {
        // Reduced once per zoom, smoothly; drawn unscaled.
        if (reduced_.isNull())
            reduced_ = image_.scaled(QSize(std::max(1, int(std::lround(image_.width() * scale_))),
                                           std::max(1, int(std::lround(image_.height() * scale_)))),
                                     Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        painter.drawImage(QPointF(-origin_.x() * scale_, -origin_.y() * scale_), reduced_);
        return;
    }
    // Enlarged: the picture's pixels as blocks, to judge them one by one.
    const QRectF source = visibleRegion();
    const QRectF target((source.topLeft() - origin_) * scale_, source.size() * scale_);
    painter.drawImage(target, image_, source);
}

void PreviewView::resizeEvent(QResizeEvent*) {
    if (fitted_) fit();
    else changed();
}

void PreviewView::wheelEvent(QWheelEvent* event) {
    const double notches = event->angleDelta().y() / 120.0;
    if (notches != 0.0) zoomAbout(event->position(), std::pow(kZoomStep, notches));
    event->accept();
}

void PreviewView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    dragFrom_ = event->position();
    setCursor(Qt::ClosedHandCursor);
}

void PreviewView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragFrom_) return;
    origin_ -= (event->position() - *dragFrom_) / scale_;
    dragFrom_ = event->position();
    fitted_ = false;
    changed();
}

void PreviewView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) dragFrom_.reset();
    setCursor(Qt::OpenHandCursor);
}

void PreviewView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_1) actualSize();
    else if (event->key() == Qt::Key_F) fit();
    else QWidget::keyPressEvent(event);
}

// --- the window ---

PreviewDialog::PreviewDialog(const cv::Mat& sideBySide, const QString& title, QWidget* parent, PreviewChoices written)
    : QDialog(parent), m_image(sideBySide), m_written(written) {
    setWindowTitle(QStringLiteral("Preview — %1").arg(title));
    setFont(dialogFont(10));
    m_mode = new QComboBox(this);
    m_mode->setObjectName(QStringLiteral("previewMode"));
    m_mode->addItems({QStringLiteral("Side by side"), QStringLiteral("Red/cyan anaglyph"),
                      QStringLiteral("Overlay 50 %"),
                      QStringLiteral("Difference |left − right| × %1").arg(kDifferenceGain)});
    m_convergence = newConvergenceBox(this, QStringLiteral("previewConvergence"));
    m_convergence->setValue(written.convergenceDegrees);
    m_convergence->setToolTip(QStringLiteral("Turns the right eye about the vertical axis: the shown right half moves "
                                             "by the angle (positive: to the right)"));
    auto* convergenceLabel = new QLabel(QStringLiteral("Convergence"), this);
    convergenceLabel->setBuddy(m_convergence);
    m_matchColour = new QCheckBox(QStringLiteral("Match colour"), this);
    m_matchColour->setObjectName(QStringLiteral("previewMatchColour"));
    m_matchColour->setChecked(written.matchColour);
    m_matchColour->setToolTip(QStringLiteral("Fits the right eye's colours onto the left's on the far field of this "
                                             "pair and shows the right half so corrected"));
    auto* use = new QPushButton(QStringLiteral("Use for conversion"), this);
    use->setObjectName(QStringLiteral("useForConversion"));
    use->setToolTip(QStringLiteral("Sets the main window's Convergence and Match colour to these"));
    m_view = new PreviewView(this);
    m_view->setObjectName(QStringLiteral("previewView"));
    m_measurement = new QLabel(QStringLiteral("Vertical disparity: measuring…"), this);
    m_measurement->setObjectName(QStringLiteral("previewMeasurement"));
    m_colour = new QLabel(QStringLiteral("Colour: measuring…"), this);
    m_window = new QLabel(QStringLiteral("Stereo window: measuring…"), this);
    m_window->setObjectName(QStringLiteral("previewWindow"));
    m_colour->setObjectName(QStringLiteral("previewColour"));
    // Each figure's line keeps the height of the longest text it takes, so
    // the picture does not move when the figures arrive.
    const int line = fontMetrics().lineSpacing();
    for (QLabel* label : {m_measurement, m_colour, m_window}) {
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setMinimumHeight(2 * line);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    m_colour->setMinimumHeight(3 * line);
    m_measurement->setToolTip(QStringLiteral(
        "How far a point of one eye stands above or below its partner in the other, in minutes of arc (′; 60′ = 1°). "
        "Eyes fuse up to about 19′; up to 9.6′ is comfortable to look at. If it is poor: run Auto A,B again, or pick "
        "A and B far apart on distant objects, or check the lenses with lens calibrate"));
    m_colour->setToolTip(QStringLiteral(
        "How the eyes' colours differ on the same far scenery, per channel. Mean absolute difference: in levels of "
        "0 to 255 (0: the same). Gain and offset: what turns the right eye's colours into the left's (1.000 and 0.0: "
        "they already agree). Rim over centre: the brightness at the image circle's rim over that at its centre "
        "(1.00: no fall-off). Areas differ by: the largest channel's difference of the scenery's areas, in levels; up "
        "to 4 is good (hardly seen), up to 10 acceptable. If it is more, tick Match colour; what stays after it is "
        "light the two lenses take differently (flare, fall-off)"));
    m_window->setToolTip(QStringLiteral(
        "Where the nearest things seem to stand against the frame of the picture. Things in front of the frame are "
        "fine in its middle, but one cut by the left or right edge is uncomfortable: raise Convergence to push the "
        "scene back, lower it to bring it forward"));
    auto* hint = new QLabel(QStringLiteral("Wheel: zoom · drag: pan · 1: actual pixels · F: fit"), this);
    hint->setEnabled(false);

    auto* top = new QHBoxLayout;
    top->addWidget(m_mode);
    top->addSpacing(12);
    top->addWidget(convergenceLabel);
    top->addWidget(m_convergence);
    top->addWidget(m_matchColour);
    top->addWidget(use);
    top->addStretch(1);
    top->addWidget(hint);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_measurement);
    layout->addWidget(m_colour);
    layout->addWidget(m_window);
    layout->addWidget(m_view, 1);

    // The view asks for the side-by-side picture fitted to most of the screen, below the rows above it.
    const QScreen* screen = parentWidget() ? parentWidget()->screen() : this->screen();
    const QSize room = screen ? screen->availableSize() * 0.85 - QSize(0, 160) : QSize(1600, 740);
    const QSize whole(m_image.cols, m_image.rows);
    m_view->setPreferredSize(whole.scaled(room.boundedTo(whole), Qt::KeepAspectRatio));
    // Wide enough for its longest mode ("Difference |left − right| × 4"), whatever the style draws around it.
    m_mode->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    int longest = 0;
    for (int i = 0; i < m_mode->count(); ++i) longest = std::max(longest, fontMetrics().horizontalAdvance(m_mode->itemText(i)));
    m_mode->setMinimumWidth(longest + 5 * fontMetrics().averageCharWidth() + 24);

    connect(m_mode, &QComboBox::currentIndexChanged, this, [this] { showMode(); });
    connect(m_convergence, &QDoubleSpinBox::valueChanged, this, [this] {
        showPair();
        updateTexts();
    });
    connect(m_matchColour, &QCheckBox::toggled, this, [this] {
        showPair();
        measureMatchedPair();
        updateTexts();
    });
    connect(use, &QPushButton::clicked, this, [this] { emit useForConversion(choices()); });
    showPair();
    updateTexts();
    m_view->setFocus();
    // Opened at the size the picture asks for (a window is otherwise kept within two thirds of the screen).
    if (screen) resize(sizeHint().boundedTo(screen->availableSize() * 0.9));

    const cv::Mat image = m_image;
    runInBackground(
        this, nullptr,
        [image] {
            Measured m;
            m.stereo = alignment::measureStereo(image);
            m.colour = alignment::measureColour(image, m.stereo);
            return m;
        },
        [this](const Measured& result) {
            m_measured = result;
            showPair();
            measureMatchedPair();
            updateTexts();
            emit measured();
        });
}

PreviewDialog::~PreviewDialog() = default;

void PreviewDialog::setMode(Mode mode) { m_mode->setCurrentIndex(mode); }

QString PreviewDialog::measurementText() const {
    QStringList lines{m_measurement->text(), m_colour->text()};
    if (!m_window->text().isEmpty()) lines << m_window->text();
    return lines.join('\n');
}

PreviewChoices PreviewDialog::choices() const { return {m_convergence->value(), m_matchColour->isChecked()}; }

const EyeColourCorrection* PreviewDialog::shownMatch() const {
    // A pair written matched is not matched again; the match is fitted on the pair as written.
    if (!m_matchColour->isChecked() || m_written.matchColour || !m_measured || !m_measured->colour.ok()) return nullptr;
    return &m_measured->colour.correction.eye[1];
}

cv::Mat PreviewDialog::adjustedPair() const {
    cv::Mat pair = m_image.clone();
    if (const EyeColourCorrection* match = shownMatch()) matchRightHalf(pair, *match);
    shiftRightHalf(pair, m_convergence->value() - m_written.convergenceDegrees);
    return pair;
}

void PreviewDialog::showPair() {
    m_pair = adjustedPair();
    showMode();
}

void PreviewDialog::showMode() {
    const cv::Mat bgr = composed(m_pair, static_cast<Mode>(m_mode->currentIndex()));
    m_shown = QImage(bgr.data, bgr.cols, bgr.rows, static_cast<qsizetype>(bgr.step), QImage::Format_BGR888).copy();
    m_view->setImage(m_shown);
}

void PreviewDialog::measureMatchedPair() {
    // Once per window: the figures of the matched pair do not change with the convergence.
    const EyeColourCorrection* match = shownMatch();
    if (!match || m_matchingAsked) return;
    m_matchingAsked = true;
    cv::Mat matched = m_image.clone();
    matchRightHalf(matched, *match);
    const std::vector<alignment::StereoCorrespondence> inliers = m_measured->stereo.correspondences;
    runInBackground(
        this, nullptr,
        [matched, inliers] { return alignment::fitColourMatch(alignment::colourSamplesOfSideBySide(matched, inliers)); },
        [this](const alignment::ColourMatch& colour) {
            m_matchedColour = colour;
            updateTexts();
            emit colourMeasured();
        });
}

void PreviewDialog::updateTexts() {
    if (!m_measured) return;  // "measuring…" until the measurement arrives
    const alignment::StereoMeasurement& stereo = m_measured->stereo;
    m_measurement->setText(describeDisparity(stereo));

    const bool asked = m_matchColour->isChecked();
    QString colour;
    if (!asked || m_written.matchColour) {
        colour = describeColour(m_measured->colour, m_written.matchColour ? QStringLiteral("as written (matched)")
                                                                          : QStringLiteral("as written"));
        if (!asked && m_written.matchColour) colour += QStringLiteral("; the written pair stays matched here");
    } else if (!m_measured->colour.ok()) {
        colour = describeColour(m_measured->colour, QStringLiteral("as written")) +
                 QStringLiteral("; not matched");
    } else if (!m_matchedColour) {
        colour = QStringLiteral("Colour with Match colour: measuring…");
    } else {
        colour = describeColour(*m_matchedColour, QStringLiteral("with Match colour")) +
                 QStringLiteral(" (matched with gain %1, offset %2)")
                     .arg(channels(m_measured->colour, &alignment::ChannelMatch::gain, 3),
                          channels(m_measured->colour, &alignment::ChannelMatch::offset, 1));
    }
    m_colour->setText(colour);

    // The window as the shifted right half shows it: every match's right column moves with the shift.
    if (!stereo.ok()) {
        m_window->clear();
        return;
    }
    alignment::StereoMeasurement shifted = stereo;
    const double pixels = (m_convergence->value() - m_written.convergenceDegrees) / 180.0 * stereo.halfSize;
    for (alignment::StereoCorrespondence& c : shifted.correspondences) c.rightAt.column += pixels;
    m_window->setText(describeWindow(alignment::assessStereoWindow(shifted, alignment::MeasureOptions{}),
                                     m_convergence->value()));
}

}  // namespace vistereo
