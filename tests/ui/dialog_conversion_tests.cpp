// Whole conversions started from the main dialog: a small fisheye-like pair
// in input/, a lens from Vistereo.ini, points typed in the boxes or the comma
// line, "Start Conversion !!!", and the side-by-side file in output/.
#include <cmath>
#include <memory>

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "conversion/run.h"
#include "tests/ui/ui_test_support.h"
#include "ui/app.h"
#include "ui/main_dialog.h"

using namespace vistereo;
using namespace vistereo::testing;

namespace {

// A 300 x 300 picture with rings and stripes, so every region has texture
// and no pixel is black.
cv::Mat patternImage(int shift) {
    cv::Mat image(300, 300, CV_8UC3);
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x) {
            const double r = std::hypot(x - 150.0, y - 150.0);
            auto& px = image.at<cv::Vec3b>(y, x);
            px[0] = static_cast<uchar>(60 + (static_cast<int>(r) * 5 % 150));
            px[1] = static_cast<uchar>(40 + ((x + shift) * 3 % 180));
            px[2] = static_cast<uchar>(50 + (y * 2 % 170));
        }
    return image;
}

}  // namespace

class DialogConversionTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScratchDirectory> scratch_;
    std::unique_ptr<MessageCollector> messages_;
    std::unique_ptr<CMyVistereoApp> app_;

private slots:
    void init() {
        scratch_ = std::make_unique<ScratchDirectory>();
        QVERIFY(scratch_->ok());
        messages_ = std::make_unique<MessageCollector>();
        app_ = std::make_unique<CMyVistereoApp>();
        QVERIFY(QDir().mkpath(QStringLiteral("input")));
        QVERIFY(cv::imwrite("input/L.jpg", patternImage(0)));
        QVERIFY(cv::imwrite("input/R.jpg", patternImage(4)));
        writeRegistry({lensRecord("Orthographic", 0, 0, 0), lensRecord("Equisolid 180", 0, 1, 0)});
    }
    void cleanup() {
        app_.reset();
        messages_.reset();
        scratch_.reset();
    }

    void convertsThePair_data() {
        QTest::addColumn<QString>("entry");       // "boxes" or "comma"
        QTest::addColumn<QString>("outputName");
        QTest::addColumn<QString>("height");
        QTest::addColumn<bool>("outputDirectory");  // does output/ exist
        QTest::newRow("boxes, jpg") << "boxes" << "LROut.jpg" << "64" << true;
        QTest::newRow("comma line, png") << "comma" << "pair.png" << "90" << true;
        QTest::newRow("no output directory") << "boxes" << "LROut.jpg" << "64" << false;
    }
    void convertsThePair() {
        QFETCH(QString, entry);
        QFETCH(QString, outputName);
        QFETCH(QString, height);
        QFETCH(bool, outputDirectory);
        if (outputDirectory) QVERIFY(QDir().mkpath(QStringLiteral("output")));

        CMyVistereoDlg dlg(*app_);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        clickRow(control<QListWidget>(&dlg, 1029), 1);
        clickRow(control<QListWidget>(&dlg, 1030), 1);
        if (entry == QLatin1String("boxes")) {
            const std::pair<int, const char*> points[] = {{1002, "100"}, {1003, "120"}, {1004, "96"},
                                                          {1005, "121"}, {1007, "200"}, {1008, "180"},
                                                          {1009, "195"}, {1010, "178"}};
            for (const auto& [id, text] : points) QTest::keyClicks(control<QLineEdit>(&dlg, id), text);
        } else {
            QTest::keyClicks(control<QLineEdit>(&dlg, 1015), QStringLiteral("100,200,96,195,120,180,121,178"));
        }
        replaceText(control<QLineEdit>(&dlg, 1017), outputName);
        replaceText(control<QLineEdit>(&dlg, 1013), height);

        clickButton(control<QPushButton>(&dlg, 1));

        QCOMPARE(messages_->texts(), QStringList{kMsgFinished});
        QVERIFY(!dlg.conversionRunning());
        QVERIFY(dlg.isVisible());
        const ConversionParams& p = app_->conversionParams;
        QCOMPARE(p.leftA, (ImagePoint{100, 120}));
        QCOMPARE(p.rightB, (ImagePoint{195, 178}));
        QCOMPARE(p.eye[0].imageWidth, 300);
        QCOMPARE(p.eye[1].radius180, 150);
        QCOMPARE(p.eye[0].mappingScale, 1.41421);

        const QString path = QStringLiteral("output/") + outputName;
        if (!outputDirectory) {
            QVERIFY(!QFile::exists(path));
            return;
        }
        const cv::Mat written = cv::imread(path.toStdString(), cv::IMREAD_COLOR);
        QVERIFY(!written.empty());
        const int n = height.toInt();
        QCOMPARE(written.rows, n);
        QCOMPARE(written.cols, 2 * n);
        // Both halves show the picture around their centres.
        const cv::Scalar leftMean = cv::mean(written(cv::Rect(n / 4, n / 4, n / 2, n / 2)));
        const cv::Scalar rightMean = cv::mean(written(cv::Rect(n + n / 4, n / 4, n / 2, n / 2)));
        QVERIFY(leftMean[0] + leftMean[1] + leftMean[2] > 100.0);
        QVERIFY(rightMean[0] + rightMean[1] + rightMean[2] > 100.0);
    }

    void secondRunWritesTheSameImage() {
        QVERIFY(QDir().mkpath(QStringLiteral("output")));
        CMyVistereoDlg dlg(*app_);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        clickRow(control<QListWidget>(&dlg, 1029), 0);
        clickRow(control<QListWidget>(&dlg, 1030), 1);
        QTest::keyClicks(control<QLineEdit>(&dlg, 1015), QStringLiteral("100,200,96,195,120,180,121,178"));
        replaceText(control<QLineEdit>(&dlg, 1013), QStringLiteral("48"));
        replaceText(control<QLineEdit>(&dlg, 1017), QStringLiteral("first.png"));
        clickButton(control<QPushButton>(&dlg, 1));
        replaceText(control<QLineEdit>(&dlg, 1017), QStringLiteral("second.png"));
        clickButton(control<QPushButton>(&dlg, 1));
        QCOMPARE(messages_->texts(), QStringList({kMsgFinished, kMsgFinished}));
        QFile first(QStringLiteral("output/first.png")), second(QStringLiteral("output/second.png"));
        QVERIFY(first.open(QIODevice::ReadOnly));
        QVERIFY(second.open(QIODevice::ReadOnly));
        const QByteArray a = first.readAll();
        QVERIFY(!a.isEmpty());
        QCOMPARE(a, second.readAll());
    }

    void dialogTakesNoInputDuringTheRun() {
        QVERIFY(QDir().mkpath(QStringLiteral("output")));
        CMyVistereoDlg dlg(*app_);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        clickRow(control<QListWidget>(&dlg, 1029), 1);
        clickRow(control<QListWidget>(&dlg, 1030), 1);
        QTest::keyClicks(control<QLineEdit>(&dlg, 1015), QStringLiteral("100,200,96,195,120,180,121,178"));
        QTest::keyClicks(control<QLineEdit>(&dlg, 1003), QStringLiteral("5"));
        replaceText(control<QLineEdit>(&dlg, 1013), QStringLiteral("1200"));
        // While the worker renders, the user clicks "clear", types and
        // presses "Finish": none of it reaches the dialog.
        bool runningWhenClicked = false;
        QTimer::singleShot(0, &dlg, [&] {
            runningWhenClicked = dlg.conversionRunning();
            clickButton(control<QPushButton>(&dlg, 1055));
            QTest::keyClicks(control<QLineEdit>(&dlg, 1003), QStringLiteral("9"));
            clickButton(control<QPushButton>(&dlg, 2));
        });
        clickButton(control<QPushButton>(&dlg, 1));
        QVERIFY(runningWhenClicked);
        QCOMPARE(messages_->texts(), QStringList{kMsgFinished});
        QVERIFY(dlg.isVisible());
        QCOMPARE(control<QLineEdit>(&dlg, 1003)->text(), QStringLiteral("5"));
        QCOMPARE(control<QLineEdit>(&dlg, 1002)->text(), QString());
        QCOMPARE(dlg.pointEntryMode(), 1);
        const cv::Mat written = cv::imread("output/LROut.jpg");
        QCOMPARE(written.rows, 1200);
        QCOMPARE(written.cols, 2400);
    }

    void zenithCorrectionChangesTheOutput() {
        QVERIFY(QDir().mkpath(QStringLiteral("output")));
        CMyVistereoDlg dlg(*app_);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        clickRow(control<QListWidget>(&dlg, 1029), 1);
        clickRow(control<QListWidget>(&dlg, 1030), 1);
        QTest::keyClicks(control<QLineEdit>(&dlg, 1015), QStringLiteral("100,200,96,195,120,180,121,178"));
        replaceText(control<QLineEdit>(&dlg, 1013), QStringLiteral("48"));
        replaceText(control<QLineEdit>(&dlg, 1017), QStringLiteral("level.png"));
        clickButton(control<QPushButton>(&dlg, 1));
        for (int k = 0; k < 50; ++k) clickButton(control<QWidget>(&dlg, 1019)->findChild<QAbstractButton*>("up"));
        QCOMPARE(control<QLineEdit>(&dlg, 1022)->text(), QStringLiteral("5.0"));
        replaceText(control<QLineEdit>(&dlg, 1017), QStringLiteral("turned.png"));
        clickButton(control<QPushButton>(&dlg, 1));
        QCOMPARE(messages_->texts(), QStringList({kMsgFinished, kMsgFinished}));
        const cv::Mat level = cv::imread("output/level.png"), turned = cv::imread("output/turned.png");
        QVERIFY(!level.empty());
        QCOMPARE(turned.size(), level.size());
        QVERIFY(cv::norm(level, turned, cv::NORM_L1) > 0.0);
    }
};

QTEST_MAIN(DialogConversionTests)
#include "dialog_conversion_tests.moc"
