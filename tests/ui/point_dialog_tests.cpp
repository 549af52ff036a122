// The point picker "Left and Right Point" and the main dialog's "Get A,B":
// opening, presses in the left view (accepted, refused, from whichever part
// of the dialog), the row radios, the markers in the pictures, and the
// hand-over of the eight numbers in both directions.
#include <array>
#include <cmath>
#include <memory>

#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <opencv2/imgcodecs.hpp>

#include "tests/support/synth.h"
#include "tests/ui/ui_test_support.h"
#include "ui/app.h"
#include "ui/lr_point_dialog.h"
#include "ui/main_dialog.h"

using namespace vistereo;
using namespace vistereo::testing;
using namespace vistereo::testsupport;

namespace {

// Left images are 1200 x 900 (view 1024 x 768).
constexpr double kLeftScale = 1024.0 / 1200.0;
const SynthLens kLens = SynthLens::equisolid(1200, 900);
const Rotation kRightTurn = Rotation::fromYawPitchRoll(1.5, 0.5, 0.0);
const cv::Point kInsetOffset(600, 450);

// "copy": one noise image twice, so every match is exact; "inset": the same
// noise in the middle of a 2400 x 1800 noise image, so that even points near
// the left view's edges match well inside the right view; "turned": the
// panorama through the same fisheye lens, the right camera slightly turned.
void writePair(const QString& kind) {
    QVERIFY(QDir().mkpath(QStringLiteral("input")));
    cv::Mat left(900, 1200, CV_8UC3), right;
    if (kind == QLatin1String("turned")) {
        static const cv::Mat turnedLeft = renderFisheye(panorama(), kLens, Rotation{});
        static const cv::Mat turnedRight = renderFisheye(panorama(), kLens, kRightTurn);
        left = turnedLeft;
        right = turnedRight;
    } else {
        cv::randu(left, cv::Scalar::all(0), cv::Scalar::all(256));
        right = left;
        if (kind == QLatin1String("inset")) {
            right.create(1800, 2400, CV_8UC3);
            cv::randu(right, cv::Scalar::all(0), cv::Scalar::all(256));
            left.copyTo(right(cv::Rect(kInsetOffset, left.size())));
        }
    }
    QVERIFY(cv::imwrite("input/L.png", left) && cv::imwrite("input/R.png", right));
}

QPoint viewOf(ImagePoint p, double scale) { return QPoint(int(p.x * scale), int(p.y * scale)); }
ImagePoint leftPointOf(QPoint view) { return {int(view.x() / kLeftScale), int(view.y() / kLeftScale)}; }

// A left press at `at` in `target`'s coordinates, handed to the window the
// way the window system does: the control under it decides who takes it.
void press(QWidget* dialog, QWidget* target, QPoint at) {
    QTest::mouseClick(dialog->windowHandle(), Qt::LeftButton, Qt::NoModifier, target->mapTo(dialog, at));
}

QImage picture(QWidget* dialog, int id) { return control<QLabel>(dialog, id)->pixmap().toImage(); }

QStringList texts(QWidget* dialog, const QList<int>& ids) {
    QStringList texts;
    for (int id : ids) texts << control<QLineEdit>(dialog, id)->text();
    return texts;
}

QStringList numbers(const QList<int>& values) {
    QStringList texts;
    for (int v : values) texts << QString::number(v);
    return texts;
}

const QList<int> kPickerEdits = {1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009};
const QList<int> kMainBoxes = {1002, 1003, 1004, 1005, 1007, 1008, 1009, 1010};

// The picture's pixels that differ from `before` are exactly the 40 of the
// red outline around `centre`.
bool onlyMarkerChanged(const QImage& before, const QImage& after, QPoint centre) {
    if (before.size() != after.size()) return false;
    for (int y = 0; y < after.height(); ++y)
        for (int x = 0; x < after.width(); ++x) {
            const int dx = std::abs(x - centre.x()), dy = std::abs(y - centre.y());
            const bool outline = std::max(dx, dy) == 5;
            if (outline ? after.pixel(x, y) != qRgb(255, 0, 0) : after.pixel(x, y) != before.pixel(x, y))
                return false;
        }
    return true;
}

}  // namespace

class PointDialogTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScratchDirectory> scratch_;
    std::unique_ptr<MessageCollector> messages_;
    std::unique_ptr<CMyVistereoApp> app_;

    std::unique_ptr<LRPointDlg> openPicker() {
        app_->m_leftImageName = "L.png";
        app_->m_rightImageName = "R.png";
        auto dlg = std::make_unique<LRPointDlg>(*app_);
        dlg->open();
        if (!QTest::qWaitForWindowExposed(dlg.get())) return nullptr;
        return dlg;
    }

    // Presses "Get A,B" and runs `act` on the picker if it appears; false
    // when it never did.
    bool getAB(CMyVistereoDlg* main, const std::function<void(LRPointDlg*)>& act) {
        bool shown = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto* picker = qobject_cast<LRPointDlg*>(QApplication::activeModalWidget());
            if (!picker) return;
            poll.stop();
            shown = true;
            act(picker);
            if (picker->isVisible()) picker->reject();
        });
        poll.start(10);
        clickButton(control<QPushButton>(main, 1028));
        return shown;
    }

private slots:
    void init() {
        scratch_ = std::make_unique<ScratchDirectory>();
        QVERIFY(scratch_->ok());
        messages_ = std::make_unique<MessageCollector>();
        app_ = std::make_unique<CMyVistereoApp>();
    }
    void cleanup() {
        app_.reset();
        messages_.reset();
        scratch_.reset();
    }

    void opensFittingTheScreen() {
        writePair("copy");
        auto dlg = openPicker();
        QVERIFY(dlg);
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Left and Right Point"));
        QCOMPARE(dlg->minimumSize(), dlg->maximumSize());
        QVERIFY(dlg->width() <= 1900 && dlg->height() <= 1000);
        auto* left = control<QLabel>(dlg.get(), 1054);
        QCOMPARE(left->size(), QSize(1024, 768));
        QCOMPARE(picture(dlg.get(), 1054).size(), QSize(1024, 768));
        QCOMPARE(picture(dlg.get(), 1055).size(), QSize(512, 384));
        for (QWidget* w : dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            QVERIFY2(w == left || !w->geometry().intersects(left->geometry()), qPrintable(w->objectName()));
        for (int id : kPickerEdits) QVERIFY(control<QLineEdit>(dlg.get(), id)->isReadOnly());
        QVERIFY(control<QRadioButton>(dlg.get(), 1023)->isChecked());
        QVERIFY(messages_->texts().isEmpty());
    }

    void pressPicksAPair_data() {
        QTest::addColumn<QString>("pair");
        QTest::addColumn<int>("row");
        QTest::addColumn<QPoint>("view");
        QTest::addColumn<bool>("earlier");  // an accepted press in row A before
        QTest::newRow("inset, first accepted corner") << "inset" << 0 << QPoint(10, 10) << false;
        QTest::newRow("inset, last accepted corner, row B") << "inset" << 1 << QPoint(1014, 758) << true;
        QTest::newRow("copy, row A again") << "copy" << 0 << QPoint(700, 500) << true;
        QTest::newRow("turned, row A") << "turned" << 0 << QPoint(512, 600) << false;
        QTest::newRow("turned, row B") << "turned" << 1 << QPoint(380, 650) << true;
    }
    void pressPicksAPair() {
        QFETCH(QString, pair);
        QFETCH(int, row);
        QFETCH(QPoint, view);
        QFETCH(bool, earlier);
        writePair(pair);
        app_->m_exchangePoints = {1, 2, 3, 4, 5, 6, 7, 8};
        auto dlg = openPicker();
        QVERIFY(dlg);
        auto* left = control<QLabel>(dlg.get(), 1054);
        const QImage leftBefore = picture(dlg.get(), 1054), rightBefore = picture(dlg.get(), 1055);
        if (earlier) press(dlg.get(), left, QPoint(450, 560));
        const QStringList editsBefore = texts(dlg.get(), kPickerEdits);
        if (row == 1) clickButton(control<QRadioButton>(dlg.get(), 1024));
        QCOMPARE(dlg->m_pointRow, row);

        press(dlg.get(), left, view);

        QVERIFY(messages_->texts().isEmpty());
        QVERIFY(!QApplication::overrideCursor());
        const ImagePoint l = leftPointOf(view);
        QCOMPARE(dlg->leftPoint, l);
        const ImagePoint r = dlg->rightPoint;
        if (pair == QLatin1String("copy")) {
            QCOMPARE(r, l);
        } else if (pair == QLatin1String("inset")) {
            QCOMPARE(r, (ImagePoint{l.x + kInsetOffset.x, l.y + kInsetOffset.y}));
        } else {  // where the scene point of l shows in the turned right camera
            const cv::Point2d truth = *pixelOfCameraDirection(
                kLens, kRightTurn.inverse().apply(cameraDirectionOfPixel(kLens, l.x, l.y)));
            QVERIFY2(std::hypot(r.x - truth.x, r.y - truth.y) <= 2.0,
                     qPrintable(QStringLiteral("%1,%2 vs %3,%4").arg(r.x).arg(r.y).arg(truth.x).arg(truth.y)));
        }
        // The row takes the pair; the other row keeps what it had.
        QStringList expected = editsBefore;
        for (int k = 0; k < 4; ++k) expected[row * 4 + k] = QString::number(std::array{l.x, l.y, r.x, r.y}[k]);
        QCOMPARE(texts(dlg.get(), kPickerEdits), expected);
        // Only the last pair is marked: an earlier marker is gone.
        const double rightScale = 512.0 / (pair == QLatin1String("inset") ? 2400 : 1200);
        QVERIFY(onlyMarkerChanged(leftBefore, picture(dlg.get(), 1054), viewOf(l, kLeftScale)));
        QVERIFY(onlyMarkerChanged(rightBefore, picture(dlg.get(), 1055), viewOf(r, rightScale)));
    }

    void refusedPressChangesNothing_data() {
        QTest::addColumn<QString>("pair");
        QTest::addColumn<QString>("target");  // what the press lands on
        QTest::addColumn<QPoint>("at");       // in that target's coordinates
        QTest::newRow("left view, x 9") << "inset" << "left" << QPoint(9, 10);
        QTest::newRow("left view, y 9") << "inset" << "left" << QPoint(10, 9);
        QTest::newRow("left view, one past the right margin") << "inset" << "left" << QPoint(1015, 400);
        QTest::newRow("left view, one past the bottom margin") << "inset" << "left" << QPoint(500, 759);
        QTest::newRow("match within the right view's margin") << "copy" << "left" << QPoint(10, 10);
        QTest::newRow("right picture") << "inset" << "right" << QPoint(100, 100);
        QTest::newRow("group box") << "inset" << "group" << QPoint(4, 40);
        QTest::newRow("caption") << "inset" << "caption" << QPoint(20, 5);
    }
    void refusedPressChangesNothing() {
        QFETCH(QString, pair);
        QFETCH(QString, target);
        QFETCH(QPoint, at);
        writePair(pair);
        auto dlg = openPicker();
        QVERIFY(dlg);
        press(dlg.get(), control<QLabel>(dlg.get(), 1054), QPoint(300, 300));
        const QImage leftBefore = picture(dlg.get(), 1054), rightBefore = picture(dlg.get(), 1055);
        const QStringList editsBefore = texts(dlg.get(), kPickerEdits);
        QWidget* w = target == "left"    ? control<QLabel>(dlg.get(), 1054)
                     : target == "right" ? control<QLabel>(dlg.get(), 1055)
                     : target == "group" ? static_cast<QWidget*>(dlg->findChild<QGroupBox*>())
                                         : dlg->findChildren<QLabel*>().value(2);
        QVERIFY(w);
        if (target == "caption") QCOMPARE(static_cast<QLabel*>(w)->text(), "Left Image: Click the point A,B");

        press(dlg.get(), w, at);

        QCOMPARE(messages_->texts(), QStringList({"Click again"}));
        QCOMPARE(texts(dlg.get(), kPickerEdits), editsBefore);
        QCOMPARE(picture(dlg.get(), 1054), leftBefore);
        QCOMPARE(picture(dlg.get(), 1055), rightBefore);
    }

    void getABHandsTheNumbersOver_data() {
        QTest::addColumn<QString>("leftName");
        QTest::addColumn<bool>("commaMode");
        QTest::addColumn<int>("pressRow");  // -1: no press
        QTest::addColumn<QString>("close");
        QTest::addColumn<QStringList>("messages");  // non-empty: the picker never shows
        const QString left = "Enter the valid left image file name", right = "Enter the valid right image file name";
        QTest::newRow("OK without a press") << "L.png" << false << -1 << "ok" << QStringList{};
        QTest::newRow("Enter after a press in row A") << "L.png" << false << 0 << "enter" << QStringList{};
        QTest::newRow("OK after a press in row B, comma mode") << "L.png" << true << 1 << "ok" << QStringList{};
        QTest::newRow("cancel after a press") << "L.png" << false << 0 << "cancel" << QStringList{};
        QTest::newRow("Escape after a press, comma mode") << "L.png" << true << 1 << "escape" << QStringList{};
        QTest::newRow("close box after a press") << "L.png" << false << 1 << "close" << QStringList{};
        QTest::newRow("directory part below input/") << "sub/L.png" << false << 0 << "ok" << QStringList{};
        QTest::newRow("left missing, comma mode") << "none.png" << true << -1 << "" << QStringList{left};
        QTest::newRow("left beside input/, not in it") << "top.png" << false << -1 << "" << QStringList{left};
        QTest::newRow("right not an image") << "L.png?notes.txt" << false << -1 << "" << QStringList{right};
        QTest::newRow("both missing") << "none.png?none.jpg" << false << -1 << "" << QStringList{left, right};
    }
    void getABHandsTheNumbersOver() {
        QFETCH(QString, leftName);  // "left?right" names both, else the right is R.png
        QFETCH(bool, commaMode);
        QFETCH(int, pressRow);
        QFETCH(QString, close);
        QFETCH(QStringList, messages);
        writePair("copy");
        QVERIFY(QDir().mkpath("input/sub") && QFile::copy("input/L.png", "input/sub/L.png"));
        QVERIFY(QFile::copy("input/L.png", "top.png"));
        QFile notes("input/notes.txt");
        QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("not a picture") > 0);
        notes.close();
        CMyVistereoDlg main(*app_);
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        replaceText(control<QLineEdit>(&main, 1012), leftName.section('?', 0, 0));
        replaceText(control<QLineEdit>(&main, 1016), leftName.contains('?') ? leftName.section('?', 1) : "R.png");
        const QStringList boxes = {"120", "80", "-7", "abc", "", "33", " 44 ", "2147483648"};
        for (int k = 0; k < 8; ++k) control<QLineEdit>(&main, kMainBoxes[k])->setText(boxes[k]);
        if (commaMode) replaceText(control<QLineEdit>(&main, 1015), "1,2,3,4,5,6,7,8");
        QCOMPARE(main.pointEntryMode(), commaMode ? 1 : 0);

        QStringList atOpening;
        const bool shown = getAB(&main, [&](LRPointDlg* picker) {
            atOpening = texts(picker, kPickerEdits);
            if (pressRow == 1) clickButton(control<QRadioButton>(picker, 1024));
            if (pressRow >= 0) press(picker, control<QLabel>(picker, 1054), QPoint(640, 320));
            if (close == "ok") clickButton(control<QPushButton>(picker, 1));
            if (close == "cancel") clickButton(control<QPushButton>(picker, 2));
            if (close == "enter") QTest::keyClick(picker, Qt::Key_Return);
            if (close == "escape") QTest::keyClick(picker, Qt::Key_Escape);
            if (close == "close") picker->close();
        });
        QCOMPARE(shown, messages.isEmpty());
        QCOMPARE(messages_->texts(), messages);
        // Box order matches the picker's edits: A row, then B row.
        QList<int> expected = {120, 80, -7, 0, 0, 33, 44, 0};
        if (shown) QCOMPARE(atOpening, numbers(expected));
        if (pressRow >= 0 && (close == "ok" || close == "enter")) {
            const ImagePoint p = leftPointOf(QPoint(640, 320));  // the copy pair matches it exactly
            for (int k = 0; k < 4; ++k) expected[pressRow * 4 + k] = (k % 2 == 0) ? p.x : p.y;
        }
        QCOMPARE(texts(&main, kMainBoxes), numbers(expected));
        const ConversionParams& params = app_->conversionParams;
        QCOMPARE(QList<int>({params.leftA.x, params.leftA.y, params.rightA.x, params.rightA.y, params.leftB.x,
                             params.leftB.y, params.rightB.x, params.rightB.y}),
                 expected);
        QCOMPARE(main.pointEntryMode(), 0);
    }
};

QTEST_MAIN(PointDialogTests)
#include "point_dialog_tests.moc"
