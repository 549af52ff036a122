// Whole conversions started from the main dialog on a small generated pair,
// with the user trying to act on the dialog while it runs.
#include <cmath>

#include <QDir>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "conversion/run.h"
#include "tests/ui/ui_test_support.h"
#include "ui/main_dialog.h"

using namespace vistereo;
using namespace vistereo::testing;

namespace {

// 300 x 300, rings and stripes, no black pixel.
cv::Mat patternImage(int shift) {
    cv::Mat image(300, 300, CV_8UC3);
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x) {
            const int r = static_cast<int>(std::hypot(x - 150.0, y - 150.0));
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(60 + r * 5 % 150, 40 + (x + shift) * 3 % 180, 50 + y * 2 % 170);
        }
    return image;
}

}  // namespace

class DialogConversionTests : public UiTest {
    Q_OBJECT

private slots:
    void convertsThePair_data() {
        QTest::addColumn<QStringList>("boxes");  // 1002 .. 1005, 1007 .. 1010
        QTest::addColumn<QString>("commaLine");
        QTest::addColumn<QString>("outputName");
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("byEnter");  // Return in a box instead of "Start Conversion !!!"
        QTest::newRow("boxes, jpg") << QStringList{"100", "120", "96", "121", "200", "180", "195", "178"} << ""
                                    << "LROut.jpg" << 64 << false;
        QTest::newRow("comma line, png, Enter") << QStringList{"", "5", "", "", "", "", "", ""}
                                                << "100,200,96,195,120,180,121,178" << "pair.png" << 90 << true;
    }
    void convertsThePair() {
        QFETCH(QStringList, boxes);
        QFETCH(QString, commaLine);
        QFETCH(QString, outputName);
        QFETCH(int, height);
        QFETCH(bool, byEnter);
        QVERIFY(QDir().mkpath("input") && QDir().mkpath("output"));
        QVERIFY(cv::imwrite("input/L.jpg", patternImage(0)) && cv::imwrite("input/R.jpg", patternImage(4)));
        writeRegistry({lensRecord("Orthographic", 0, 0, 0), lensRecord("Equisolid 180", 0, 1, 0)});
        auto* dlg = start(new CMyVistereoDlg(*app_));
        QVERIFY(dlg);
        clickRow(list(1029), 1);
        clickRow(list(1030), 1);
        for (int k = 0; k < 8; ++k) QTest::keyClicks(box(kPointBoxes[k]), boxes[k]);
        QTest::keyClicks(box(1015), commaLine);
        replaceText(box(1017), outputName);
        replaceText(box(1013), QString::number(height));
        const int mode = dlg->pointEntryMode();
        // Clicks and keys while the run goes on do not reach the dialog.
        bool runningWhenClicked = false;
        QTimer::singleShot(0, dlg, [&] {
            runningWhenClicked = dlg->conversionRunning();
            clickButton(button(1055));
            QTest::keyClicks(box(1003), "9");
            clickButton(button(2));
        });
        if (byEnter) QTest::keyClick(box(1017), Qt::Key_Return);
        else clickButton(button(1));
        QVERIFY(runningWhenClicked);
        QCOMPARE(messages_, QStringList{kMsgFinished});
        QVERIFY(dlg->isVisible() && !dlg->conversionRunning());
        QCOMPARE(dlg->pointEntryMode(), mode);
        QCOMPARE(texts(dlg, kPointBoxes), boxes);
        const ConversionParams& p = app_->conversionParams;
        QCOMPARE(QList<ImagePoint>({p.leftA, p.rightA, p.leftB, p.rightB}),
                 QList<ImagePoint>({{100, 120}, {96, 121}, {200, 180}, {195, 178}}));

        const cv::Mat written = cv::imread("output/" + outputName.toStdString(), cv::IMREAD_COLOR);
        QCOMPARE(written.rows, height);
        QCOMPARE(written.cols, 2 * height);
        for (int half = 0; half < 2; ++half) {  // both halves show the picture around their centres
            const cv::Scalar mean = cv::mean(written(cv::Rect((4 * half + 1) * height / 4, height / 4, height / 2, height / 2)));
            QVERIFY(mean[0] + mean[1] + mean[2] > 100.0);
        }
    }
};

QTEST_MAIN(DialogConversionTests)
#include "dialog_conversion_tests.moc"
