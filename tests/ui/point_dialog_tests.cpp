// The point picker and the main dialog's "Get A,B": refused presses, the row radios, and the hand-over of the
// eight numbers in both directions (the markers are the picking library's, tested there).
#include <QFile>
#include <QGroupBox>
#include <QLabel>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/ui/ui_test_support.h"
#include "ui/lr_point_dialog.h"
#include "ui/main_dialog.h"

using namespace vistereo;
using namespace vistereo::testing;

namespace {

// The left image, 1200 x 900 noise (view 1024 x 768), sits at this offset in the right one, 2400 x 1800 noise
// (view 512 x 384): every match is exact.
constexpr double kLeftScale = 1024.0 / 1200.0;
const cv::Point kOffset(600, 450);
const QList<int> kPickerEdits = {1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009};

void writePair() {
    QVERIFY(QDir().mkpath("input"));
    cv::Mat left(900, 1200, CV_8UC3), right(1800, 2400, CV_8UC3);
    cv::randu(left, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::randu(right, cv::Scalar::all(0), cv::Scalar::all(256));
    left.copyTo(right(cv::Rect(kOffset, left.size())));
    QVERIFY(cv::imwrite("input/L.png", left) && cv::imwrite("input/R.png", right));
}

// The four numbers of the pair picked at `view`: left x, left y, right x, right y.
QStringList pairTexts(QPoint view) {
    const int x = int(view.x() / kLeftScale), y = int(view.y() / kLeftScale);
    return {QString::number(x), QString::number(y), QString::number(x + kOffset.x), QString::number(y + kOffset.y)};
}

// A left press at `at` in `target`'s coordinates, as the window system hands it over.
void press(QWidget* dialog, QWidget* target, QPoint at) {
    QTest::mouseClick(dialog->windowHandle(), Qt::LeftButton, {}, target->mapTo(dialog, at));
}

QImage picture(QWidget* dialog, int id) { return control<QLabel>(dialog, id)->pixmap().toImage(); }

struct RefusedCase { int target; QPoint at; };  // the left view, the right picture or the group box, in its coordinates
struct HandOverCase { QString names; bool commaMode; int pressRow, closeWith; QStringList messages; };

}  // namespace

class PointDialogTests : public UiTest {
    Q_OBJECT
    LRPointDlg* dlg = nullptr;

    bool openPicker() {
        writePair();
        app_->m_leftImageName = "L.png";
        app_->m_rightImageName = "R.png";
        app_->m_exchangePoints = {1, 2, 3, 4, 5, 6, 7, 8};
        return (dlg = start(new LRPointDlg(*app_), true));
    }

private slots:
    void refusedPressChangesNothing_data() {
        QTest::addColumn<RefusedCase>("c");
        QTest::newRow("left view, x 9") << RefusedCase{0, {9, 10}};
        QTest::newRow("left view, past the bottom margin") << RefusedCase{0, {500, 759}};
        QTest::newRow("right picture") << RefusedCase{1, {100, 100}};
        QTest::newRow("group box") << RefusedCase{2, {4, 40}};
    }
    void refusedPressChangesNothing() {
        QFETCH(RefusedCase, c);
        QVERIFY(openPicker());
        press(dlg, control<QLabel>(dlg, 1054), QPoint(300, 300));
        const QImage leftBefore = picture(dlg, 1054), rightBefore = picture(dlg, 1055);
        const QStringList editsBefore = texts(dlg, kPickerEdits);
        QWidget* targets[] = {control<QLabel>(dlg, 1054), control<QLabel>(dlg, 1055), dlg->findChild<QGroupBox*>()};
        press(dlg, targets[c.target], c.at);
        QCOMPARE(messages_, QStringList({"Click again"}));
        QCOMPARE(texts(dlg, kPickerEdits), editsBefore);
        QVERIFY(picture(dlg, 1054) == leftBefore && picture(dlg, 1055) == rightBefore);
    }

    void getABHandsTheNumbersOver_data() {
        QTest::addColumn<HandOverCase>("c");  // names: left and right image; messages: any, the picker never shows
        QTest::newRow("OK without a press") << HandOverCase{"L.png R.png", false, -1, 1, {}};
        QTest::newRow("OK after a press in row B, comma mode") << HandOverCase{"L.png R.png", true, 1, 1, {}};
        QTest::newRow("cancel after a press") << HandOverCase{"L.png R.png", false, 0, 2, {}};
        QTest::newRow("left beside input/, not in it")
            << HandOverCase{"top.png R.png", false, -1, 1, {"Enter the valid left image file name"}};
        QTest::newRow("both missing") << HandOverCase{"none.png none.jpg", true, -1, 1,
                                                      {"Enter the valid left image file name", "Enter the valid right image file name"}};
    }
    void getABHandsTheNumbersOver() {
        QFETCH(HandOverCase, c);
        writePair();
        QVERIFY(QFile::copy("input/L.png", "top.png"));
        auto* main = start(new CMyVistereoDlg(*app_));
        QVERIFY(main);
        replaceText(box(1012), c.names.section(' ', 0, 0));
        replaceText(box(1016), c.names.section(' ', 1));
        const QStringList boxes = {"120", "80", "-7", "abc", "", "33", " 44 ", "2147483648"};
        for (int k = 0; k < 8; ++k) box(kPointBoxes[k])->setText(boxes[k]);
        if (c.commaMode) replaceText(box(1015), "1,2,3,4,5,6,7,8");
        QCOMPARE(main->pointEntryMode(), c.commaMode ? 1 : 0);

        QStringList atOpening;
        const bool shown = duringModal<LRPointDlg>([&] { clickButton(button(1028)); }, [&](LRPointDlg* picker) {
            atOpening = texts(picker, kPickerEdits);
            if (c.pressRow == 1) clickButton(control<QRadioButton>(picker, 1024));
            if (c.pressRow >= 0) press(picker, control<QLabel>(picker, 1054), QPoint(640, 320));
            clickButton(control<QPushButton>(picker, c.closeWith));
        });
        QCOMPARE(shown, c.messages.isEmpty());
        QCOMPARE(messages_, c.messages);
        // Both take the A row, then the B row, each as left x, left y, right x, right y.
        QStringList numbers = {"120", "80", "-7", "0", "0", "33", "44", "0"};
        if (shown) QCOMPARE(atOpening, numbers);
        const QStringList pair = pairTexts(QPoint(640, 320));
        if (c.pressRow >= 0 && c.closeWith == 1) std::copy(pair.begin(), pair.end(), numbers.begin() + c.pressRow * 4);
        QCOMPARE(texts(main, kPointBoxes), numbers);
        QCOMPARE(main->pointEntryMode(), 0);
    }
};

QTEST_MAIN(PointDialogTests)
#include "point_dialog_tests.moc"
