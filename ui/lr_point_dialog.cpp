#include "ui/lr_point_dialog.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include <QApplication>
#include <QButtonGroup>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include "conversion/checks.h"
#include "base/text_numbers.h"
#include "ui/app.h"
#include "ui/widgets/dialog_layout.h"
#include "ui/widgets/digits_edit.h"
#include "ui/widgets/message_box.h"

namespace vistereo {
namespace {

constexpr const char* kMsgClickAgain = "Click again";

// The space left between the widest left view and the controls beside it.
constexpr int kViewGapUnits = 4;

// Shows the wait cursor for as long as it lives.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// The picture of a bitmap on screen: one screen pixel per view pixel, or,
// when the window is fitted to a small screen, `scale` screen pixels per
// view pixel.
QPixmap pixmapOf(const DisplayBitmap& bitmap, qreal devicePixelRatio, double scale) {
    const QImage wrapped(reinterpret_cast<const uchar*>(bitmap.pixels.data()), bitmap.width, bitmap.height,
                         bitmap.width * 4, QImage::Format_RGB32);
    QImage image = wrapped.copy();
    if (scale < 1.0)
        image = image.scaled(std::max(1, static_cast<int>(bitmap.width * scale)),
                             std::max(1, static_cast<int>(bitmap.height * scale)), Qt::IgnoreAspectRatio,
                             Qt::SmoothTransformation);
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

// Room a window manager takes around a window: title bar and borders.
constexpr int kFrameWidth = 16;
constexpr int kFrameHeight = 48;

}  // namespace

LRPointDlg::LRPointDlg(CMyVistereoApp& app, QWidget* parent) : QDialog(parent), m_app(app) {
    setWindowTitle(QStringLiteral("Left and Right Point"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFont(dialogFont(8, QStringLiteral("MS Shell Dlg")));
    setSizeGripEnabled(false);
    buildControls();
    fitToContents();
}

LRPointDlg::~LRPointDlg() = default;

void LRPointDlg::buildControls() {
    const DialogUnits du(font());
    // Everything from x = 694 on stands beside the left view. The template
    // leaves room for a 1024-pixel view at 1.5 pixels per unit; with a
    // narrower font the right-hand controls move right until the widest
    // view fits.
    QList<QWidget*> besideTheView;

    // Controls in template order, which is also the tab order.
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    du.place(ok, 1, 694, 19, 50, 14);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("cancel"), this);
    du.place(cancel, 2, 758, 19, 50, 14);
    besideTheView << ok << cancel;

    // The pictures take the size of their bitmaps when these are handed over.
    m_leftPicture = new QLabel(this);
    du.place(m_leftPicture, 1054, 9, 19, 15, 13);
    m_rightPicture = new QLabel(this);
    du.place(m_rightPicture, 1055, 697, 101, 15, 13);
    besideTheView << m_rightPicture;
    for (QLabel* picture : {m_leftPicture, m_rightPicture}) picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    du.label(this, QStringLiteral("Left Image: Click the point A,B"), 10, 8);
    besideTheView << du.label(this, QStringLiteral("Right Image: The point A,B are autmatically selected"), 700, 89);

    auto* rowA = new QRadioButton(QStringLiteral("A Left"), this);
    du.place(rowA, 1023, 700, 53, 35, 10);
    auto* rowB = new QRadioButton(QStringLiteral("B Left"), this);
    du.place(rowB, 1024, 700, 71, 35, 10);
    m_rowGroup = new QButtonGroup(this);
    m_rowGroup->addButton(rowA, 0);
    m_rowGroup->addButton(rowB, 1);
    besideTheView << rowA << rowB;

    // Read-only: only the picker writes them.
    struct Edit { int id, x, y; };
    const Edit edits[8] = {{1002, 735, 51}, {1003, 781, 51}, {1004, 854, 51}, {1005, 900, 51},
                           {1006, 736, 68}, {1007, 782, 69}, {1008, 854, 68}, {1009, 900, 68}};
    for (int k = 0; k < 8; ++k) {
        auto* edit = new DigitsOnlyEdit(this);
        du.place(edit, edits[k].id, edits[k].x, edits[k].y, 40, 14);
        edit->setReadOnly(true);
        QPalette palette = edit->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Window));
        edit->setPalette(palette);
        m_edits[k] = edit;
        besideTheView << edit;
    }

    besideTheView << du.label(this, QStringLiteral("A Right"), 828, 53) << du.label(this, QStringLiteral("B Right"), 829, 72);

    auto* group = new QGroupBox(QStringLiteral("Sellect A,B"), this);
    group->setGeometry(du.rect(694, 40, 259, 48));
    group->lower();  // a frame behind the controls it surrounds; it passes presses on
    besideTheView << group;

    for (QWidget* w : besideTheView) m_besideTheView.push_back({w, w->pos()});
    arrange(1.0);

    // The message map.
    connect(ok, &QPushButton::clicked, this, &LRPointDlg::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(rowA, &QRadioButton::clicked, this, [this] { UpdateData(true); });
    connect(rowB, &QRadioButton::clicked, this, [this] { UpdateData(true); });
}

void LRPointDlg::arrange(double scale) {
    // Everything from x = 694 on stands beside the left view: the template
    // leaves room for a 1024-pixel view at 1.5 pixels per unit; with a
    // narrower font, or a larger view, the right-hand controls move right
    // until the widest view fits; a view shown smaller lets them move back.
    const DialogUnits du(font());
    m_displayScale = scale;
    const int widestView = static_cast<int>(std::ceil(kLeftViewLimit * scale / devicePixelRatioF()));
    const int shift = du.x(9) + widestView + du.x(kViewGapUnits) - du.x(694);
    for (const auto& [widget, templatePosition] : m_besideTheView)
        widget->move(templatePosition.x() + (scale < 1.0 ? shift : std::max(0, shift)), templatePosition.y());
}

QSize LRPointDlg::sizeAtScale(double scale) {
    arrange(scale);
    ShowBitmaps();
    fitToContents();
    return size();
}

void LRPointDlg::fitToScreen() {
    // The template's size, one screen pixel per view pixel, where the screen
    // holds it; on a smaller screen the views are shown smaller, as large as
    // the screen allows, so that both views and every box stay reachable.
    QScreen* screen = parentWidget() ? parentWidget()->screen() : this->screen();
    const QRect available = screen->availableGeometry();
    const QSize room = available.size() - QSize(kFrameWidth, kFrameHeight);
    auto fits = [&](double scale) {
        const QSize size = sizeAtScale(scale);
        return size.width() <= room.width() && size.height() <= room.height();
    };
    if (fits(1.0)) {
        // Over the main window, as a dialog opens, but moved so that its
        // frame and title bar stay on the screen: a tall picker over a main
        // window low on a small screen would hang off its bottom.
        QRect frame(QPoint(0, 0), size() + QSize(kFrameWidth, kFrameHeight));
        frame.moveCenter(parentWidget() ? parentWidget()->frameGeometry().center() : available.center());
        const int x = std::clamp(frame.x(), available.x(), available.x() + available.width() - frame.width());
        const int y = std::clamp(frame.y(), available.y(), available.y() + available.height() - frame.height());
        move(x + kFrameWidth / 2, y + kFrameHeight - kFrameWidth / 2);
        return;
    }
    double low = 0.2, high = 1.0;
    for (int step = 0; step < 20; ++step) {
        const double middle = (low + high) / 2;
        (fits(middle) ? low : high) = middle;
    }
    // Centred on the screen with room for its frame, rather than over the main window, which would push it off.
    const QSize size = sizeAtScale(low);
    move(available.x() + (room.width() - size.width()) / 2 + kFrameWidth / 2,
         available.y() + (room.height() - size.height()) / 2 + kFrameHeight - kFrameWidth / 2);
}

// Not resizable: as wide as the template (or as the controls need), as high
// as the pictures and controls of this opening need. Shown smaller than the
// template, it is as wide as its contents.
void LRPointDlg::fitToContents() {
    const DialogUnits du(font());
    int right = m_displayScale < 1.0 ? 0 : du.x(1047);
    int bottom = 0;
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        right = std::max(right, w->geometry().right() + 1 + du.x(7));
        bottom = std::max(bottom, w->geometry().bottom() + 1 + du.y(7));
    }
    setFixedSize(right, bottom);
}

int LRPointDlg::exec() {
    if (!OnInitDialog()) {
        setResult(QDialog::Rejected);
        return QDialog::Rejected;
    }
    return QDialog::exec();
}

void LRPointDlg::open() {
    if (!OnInitDialog()) {
        reject();
        return;
    }
    QDialog::open();
}

bool LRPointDlg::OnInitDialog() {
    UpdateData(false);  // "A Left" for a new dialog

    // Both images are read before either is tested, as the conversion reads
    // them (the same orientation choice, so the points fit its pixels).
    const InputImages images =
        readInputImages(".", m_app.m_leftImageName, m_app.m_rightImageName, InputReadOptions({}, m_app.m_ignoreOrientation));
    const cv::Mat& leftImage = images.left.pixels;
    const cv::Mat& rightImage = images.right.pixels;
    // The dialog is not on screen yet: the messages stand over its owner. An
    // image over the size limit was not decoded, and its message says why;
    // after the prescribed messages, one more for each unreadable image names
    // the file and the cause.
    QWidget* owner = parentWidget();
    std::vector<std::string> explanations;
    for (int eye = 0; eye < 2; ++eye)
        if (const RunStep refused = judgeInputImage(eye == 0 ? images.left : images.right, eye); !refused.ok()) {
            ShowMessage(owner, QString::fromStdString(refused.error));
            if (refused.explained() != refused.error) explanations.push_back(refused.detail);
        }
    for (const std::string& explanation : explanations) ShowMessage(owner, QString::fromStdString(explanation));
    if (!images.left.ok() || !images.right.ok()) return false;

    m_markers = MarkerState{};
    m_images = makePickingImages(leftImage, rightImage);
    leftView = makeView(m_images.leftImage, m_images.left);
    leftBitmap = MakeDisplayBitmap(leftView, m_images.left.width, m_images.left.height);
    rightView = makeView(m_images.rightImage, m_images.right);
    rightBitmap = MakeDisplayBitmap(rightView, m_images.right.width, m_images.right.height);
    for (int e = 0; e < 8; ++e)
        m_edits[e]->setText(QString::number(m_app.m_exchangePoints[kRowOrderOfListIndex[e]]));
    fitToScreen();
    return true;
}

void LRPointDlg::UpdateData(bool saveAndValidate) {
    if (saveAndValidate) {
        m_pointRow = checkedPosition(m_rowGroup);
    } else {
        checkPosition(m_rowGroup, m_pointRow);
    }
}

void LRPointDlg::ShowBitmaps() {
    // The picture keeps what it was handed, so it repaints itself; it is
    // handed the bitmap again whenever the bitmap changes.
    const qreal ratio = devicePixelRatioF();
    const struct {
        QLabel* picture;
        const DisplayBitmap* bitmap;
        double viewScale;
        int firstEdit;  // x of the row's point in this picture; y follows
    } pictures[2] = {{m_leftPicture, &leftBitmap, m_images.left.scale, 0},
                     {m_rightPicture, &rightBitmap, m_images.right.scale, 2}};
    for (const auto& p : pictures) {
        QPixmap pixmap = pixmapOf(*p.bitmap, ratio, m_displayScale);
        // Shown smaller, both rows' points are marked, each with its letter, so
        // that A and B can be told apart and checked at a glance.
        if (m_displayScale < 1.0) {
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setFont(font());
            for (int row = 0; row < 2; ++row) {
                const ImagePoint point{m_edits[4 * row + p.firstEdit]->text().toInt(),
                                       m_edits[4 * row + p.firstEdit + 1]->text().toInt()};
                const ImagePoint at = viewPositionOf(point, p.viewScale);
                if (at.x < 0 || at.y < 0 || at.x >= p.bitmap->width || at.y >= p.bitmap->height) continue;
                const QPointF centre(at.x * m_displayScale / ratio, at.y * m_displayScale / ratio);
                painter.setPen(QPen(QColor(255, 0, 0), 2));
                painter.setBrush(Qt::NoBrush);
                painter.drawRect(QRectF(centre - QPointF(6, 6), QSizeF(12, 12)));
                painter.setPen(QColor(255, 255, 0));
                painter.drawText(centre + QPointF(9, -7), row == 0 ? QStringLiteral("A") : QStringLiteral("B"));
            }
        }
        p.picture->setPixmap(pixmap);
        p.picture->setFixedSize(pixmap.deviceIndependentSize().toSize());
    }
}

void LRPointDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        // Measured from the left view's top-left corner, whichever part of
        // the dialog was pressed, in view pixels (device pixels, or fewer
        // when the views are shown smaller).
        const QPointF inPicture = m_leftPicture->mapFromGlobal(mapToGlobal(event->position()));
        const qreal perViewPixel = m_displayScale / m_leftPicture->devicePixelRatioF();
        OnLButtonDown(QPoint(static_cast<int>(std::floor(inPicture.x() / perViewPixel)),
                             static_cast<int>(std::floor(inPicture.y() / perViewPixel))));
    }
    QDialog::mousePressEvent(event);
}

void LRPointDlg::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click picks nothing.
    event->accept();
}

void LRPointDlg::OnLButtonDown(QPoint leftViewPosition) {
    MatchOutcome outcome;
    {
        BusyCursor busy;
        outcome = MatchClickedPoint(m_images, leftViewPosition.x(), leftViewPosition.y());
    }
    if (!outcome.accepted()) {
        ShowMessage(this, QString::fromUtf8(kMsgClickAgain));
        return;
    }

    leftPoint = outcome.leftPoint;
    rightPoint = outcome.rightPoint;
    UpdateMarkers(m_markers, {leftBitmap, leftView, m_images.left.scale}, leftPoint,
                  {rightBitmap, rightView, m_images.right.scale}, rightPoint);
    ShowBitmaps();

    const int first = m_pointRow == 0 ? 0 : 4;
    const int values[4] = {leftPoint.x, leftPoint.y, rightPoint.x, rightPoint.y};
    for (int k = 0; k < 4; ++k) m_edits[first + k]->setText(QString::number(values[k]));
    if (m_displayScale < 1.0) ShowBitmaps();  // the row's new point gets its letter
}

void LRPointDlg::OnOK() {
    for (int index = 0; index < 8; ++index)
        m_app.m_exchangePoints[index] = parseBoxInt(m_edits[kRowOrderOfListIndex[index]]->text().toStdString());
    accept();
}

}  // namespace vistereo
