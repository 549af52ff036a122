// Whole conversions started from the main dialog on a small generated pair,
// with the user changing the dialog's values while it runs.
#include <cmath>

#include <QDir>
#include <QFile>
#include <QInputMethodEvent>
#include <QSemaphore>
#include <QSignalSpy>
#include <QThreadPool>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "conversion/lens_selection.h"
#include "conversion/run.h"
#include "tests/ui/ui_test_support.h"
#include "ui/main_dialog.h"
#include "ui/up_down_control.h"

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
    void convertsThePairWithTheValuesOfStart_data() {
        QTest::addColumn<QStringList>("boxes");  // 1002 .. 1005, 1007 .. 1010
        QTest::addColumn<QString>("commaLine");
        QTest::addColumn<QString>("outputName");
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("byEnter");  // Return in a box instead of "Start Conversion !!!"
        QTest::newRow("boxes, jpg") << QStringList{"100", "120", "96", "121", "200", "180", "195", "178"} << ""
                                    << "LROut.jpg" << 300 << false;
        QTest::newRow("comma line, png, Enter") << QStringList{"", "5", "", "", "", "", "", ""}
                                                << "100,200,96,195,120,180,121,178" << "pair.png" << 90 << true;
    }
    // While the run goes on, the user changes the height (by an input-method
    // commit, which reaches even a disabled box), steps a zenith angle and
    // picks another lens: the file still has the dimensions and the bytes of
    // the values at Start.
    void convertsThePairWithTheValuesOfStart() {
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

        // The conversion thread is held until the changes are made, so the
        // run can only start after them and must work from what Start copied.
        QThreadPool* pool = &dlg->conversionPool();
        QSemaphore gate;
        const int held = pool->maxThreadCount();
        for (int t = 0; t < held; ++t) pool->start([&gate] { gate.acquire(); });
        struct Release {
            QSemaphore& gate;
            int count;
            ~Release() { gate.release(count); }  // also when a check below fails
        } release{gate, held};
        QSignalSpy finished(dlg, &CMyVistereoDlg::conversionFinished);
        if (byEnter) QTest::keyClick(box(1017), Qt::Key_Return);
        else clickButton(button(1));
        QVERIFY(dlg->conversionRunning());
        for (int id : {1013, 1029, 1002}) QVERIFY(!dialog_->findChild<QWidget*>(QStringLiteral("id%1").arg(id))->isEnabled());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::BusyCursor);
        QInputMethodEvent commit;
        commit.setCommitString("24", -box(1013)->cursorPosition(), box(1013)->text().size());
        QCoreApplication::sendEvent(box(1013), &commit);
        QCOMPARE(box(1013)->text(), QString("24"));
        QCOMPARE(app_->conversionChoices.outputHeight, 24);
        emit control<UpDownControl>(dlg, 1014)->deltaPos(-1);
        QCOMPARE(app_->conversionChoices.zenith.pitch, 1);
        list(1030)->setCurrentRow(0);
        QCOMPARE(app_->conversionChoices.lenses[1].name, std::string("Orthographic"));
        clickButton(button(2));  // "Finish" does nothing while the run goes on
        gate.release(held);
        release.count = 0;
        QVERIFY(finished.wait(30000));

        QCOMPARE(messages_, QStringList{kMsgFinished});
        QVERIFY(dlg->isVisible() && !dlg->conversionRunning() && box(1013)->isEnabled());
        QCOMPARE(dlg->pointEntryMode(), mode);
        QCOMPARE(texts(dlg, kPointBoxes), boxes);
        const cv::Mat written = cv::imread("output/" + outputName.toStdString(), cv::IMREAD_COLOR);
        QCOMPARE(written.rows, height);
        QCOMPARE(written.cols, 2 * height);

        // The same run from the values at Start, without the dialog.
        ConversionRequest request;
        request.lenses = {lensSettingsOf(lensRecord("Equisolid 180", 0, 1, 0)), lensSettingsOf(lensRecord("Equisolid 180", 0, 1, 0))};
        request.points.points = PointSet::fromListOrder({100, 200, 96, 195, 120, 180, 121, 178});
        request.outputHeight = height;
        request.outputName = "expected" + outputName.mid(outputName.lastIndexOf('.')).toStdString();
        struct : MessageSink {
            void showMessage(const std::string&) override {}
        } quiet;
        QVERIFY(vistereo::RunConversion(request, quiet).written());
        QCOMPARE(readAll("output/" + outputName), readAll(QString::fromStdString("output/" + request.outputName)));
    }

private:
    static QByteArray readAll(const QString& name) {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

QTEST_MAIN(DialogConversionTests)
#include "dialog_conversion_tests.moc"
