// Whole conversions started from the main dialog: the user changing the dialog's values while one runs, the
// players' file name, automatic points and the preview.
#include <cmath>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QInputMethodEvent>
#include <QSemaphore>
#include <QSignalSpy>
#include <QThreadPool>

#include <opencv2/imgcodecs.hpp>

#include "conversion/lens_selection.h"
#include "conversion/run.h"
#include "tests/support/synth.h"
#include "tests/ui/ui_test_support.h"
#include "ui/main_dialog.h"
#include "ui/preview_dialog.h"
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

QByteArray readAll(const QString& name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class DialogConversionTests : public UiTest {
    Q_OBJECT
    CMyVistereoDlg* dlg = nullptr;

    // The pair in input/, the lenses "Orthographic" and "Equisolid 180" registered, the second picked for both eyes.
    bool openWith(const cv::Mat& left, const cv::Mat& right) {
        if (!QDir().mkpath("input") || !QDir().mkpath("output") || !cv::imwrite("input/L.jpg", left) ||
            !cv::imwrite("input/R.jpg", right))
            return false;
        writeRegistry({lensRecord("Orthographic", 0, 0, 0), lensRecord("Equisolid 180", 0, 1, 0)});
        if (!(dlg = start(new CMyVistereoDlg(*app_)))) return false;
        clickRow(list(1029), 1);
        clickRow(list(1030), 1);
        return true;
    }

private slots:
    void convertsThePairWithTheValuesOfStart_data() {
        QTest::addColumn<QStringList>("boxes");  // 1002 .. 1005, 1007 .. 1010
        QTest::addColumn<QString>("commaLine");
        QTest::addColumn<QString>("outputName");
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("byEnter");  // Return in a box instead of "Start Conversion !!!"; players' name too
        QTest::newRow("boxes, jpg") << QStringList{"100", "120", "96", "121", "200", "180", "195", "178"} << ""
                                    << "LROut.jpg" << 300 << false;
        QTest::newRow("comma line, png, Enter, players' name") << QStringList{"", "5", "", "", "", "", "", ""}
                                                << "100,200,96,195,120,180,121,178" << "pair.png" << 90 << true;
    }
    // While the run goes on, the user changes the height (by an input-method commit, which reaches even a disabled
    // box), steps a zenith angle and picks another lens: the file still has the dimensions and the bytes of the
    // values at Start.
    void convertsThePairWithTheValuesOfStart() {
        QFETCH(QStringList, boxes);
        QFETCH(QString, commaLine);
        QFETCH(QString, outputName);
        QFETCH(int, height);
        QFETCH(bool, byEnter);
        QVERIFY(openWith(patternImage(0), patternImage(4)));
        for (int k = 0; k < 8; ++k) QTest::keyClicks(box(kPointBoxes[k]), boxes[k]);
        QTest::keyClicks(box(1015), commaLine);
        replaceText(box(1017), outputName);
        replaceText(box(1013), QString::number(height));
        auto* vr = dlg->findChild<QCheckBox*>("vrSuffix");
        QVERIFY(vr && vr->isVisible() && !vr->isChecked());
        if (byEnter) clickButton(vr);
        const int mode = dlg->pointEntryMode();

        // The conversion thread is held until the changes are made, so the run can only start after them and must
        // work from what Start copied.
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
        for (int id : {1013, 1029, 1002}) QVERIFY(!control(dlg, id)->isEnabled());
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
        const QString written = byEnter ? outputName.replace(".", "_180_LR.") : outputName;
        QCOMPARE(QDir("output").entryList(QDir::Files), QStringList{written});
        const cv::Mat image = cv::imread("output/" + written.toStdString(), cv::IMREAD_COLOR);
        QCOMPARE(image.rows, height);
        QCOMPARE(image.cols, 2 * height);

        // The same run from the values at Start, without the dialog.
        ConversionRequest request;
        request.lenses.fill(lensSettingsOf(lensRecord("Equisolid 180", 0, 1, 0)));
        request.points.points = PointSet::fromListOrder({100, 200, 96, 195, 120, 180, 121, 178});
        request.outputHeight = height;
        request.outputName = "expected" + written.mid(written.lastIndexOf('.')).toStdString();
        struct : MessageSink {
            void showMessage(const std::string&) override {}
        } quiet;
        QVERIFY(vistereo::RunConversion(request, quiet).written());
        QCOMPARE(readAll("output/" + written), readAll(QString::fromStdString("output/" + request.outputName)));
    }

    // "Auto A,B" on a turned rig fills the points and reports the residual; the converted pair previews as
    // comfortable in every mode. On a pair without texture it says why and leaves the boxes alone.
    void autoABThenPreview_data() {
        QTest::addColumn<bool>("textured");
        QTest::newRow("turned rig") << true;
        QTest::newRow("flat pictures") << false;
    }
    void autoABThenPreview() {
        QFETCH(bool, textured);
        using namespace testsupport;
        const SynthLens lens = SynthLens::equisolid(1200, 900);
        const cv::Mat flat(900, 1200, CV_8UC3, cv::Scalar::all(128));
        QVERIFY(textured ? openWith(renderFisheye(panorama(), lens, Rotation{}),
                                    renderFisheye(panorama(), lens, Rotation::fromYawPitchRoll(2, -1, 1.5)))
                         : openWith(flat, flat));
        QTest::keyClicks(box(1015), "1,2,3,4,5,6,7,8");  // comma entry selected, boxes empty
        QSignalSpy aligned(dlg, &CMyVistereoDlg::autoAlignFinished);
        clickButton(dlg->findChild<QPushButton*>("autoAB"));
        QVERIFY(dlg->conversionRunning() && !box(1013)->isEnabled());
        QVERIFY(aligned.wait(60000));
        QCOMPARE(messages_.size(), 1);
        if (!textured) {
            QVERIFY2(messages_[0].contains("automatic alignment failed"), qPrintable(messages_[0]));
            QCOMPARE(texts(dlg, kPointBoxes), QStringList(8, ""));
            QCOMPARE(dlg->pointEntryMode(), 1);
            return;
        }
        QVERIFY2(messages_[0].contains("Vertical disparity after alignment"), qPrintable(messages_[0]));
        QCOMPARE(dlg->pointEntryMode(), 0);
        for (const QString& text : texts(dlg, kPointBoxes)) QVERIFY(text.toInt() > 0);

        replaceText(box(1013), "600");
        QSignalSpy finished(dlg, &CMyVistereoDlg::conversionFinished);
        clickButton(button(1));
        QVERIFY(finished.wait(30000));
        clickButton(dlg->findChild<QPushButton*>("preview"));
        auto* preview = dlg->findChild<PreviewDialog*>();
        QVERIFY(preview && QTest::qWaitForWindowExposed(preview));
        QSignalSpy measured(preview, &PreviewDialog::measured);
        QVERIFY(measured.wait(30000));
        QVERIFY2(preview->measurementText().contains("comfortable"), qPrintable(preview->measurementText()));
        for (auto [mode, width] : {std::pair{PreviewDialog::Anaglyph, 600}, {PreviewDialog::Overlay, 600},
                                   {PreviewDialog::SideBySide, 1200}}) {
            preview->setMode(mode);
            QCOMPARE(preview->shownImage().size(), QSize(width, 600));
        }
    }
};

QTEST_MAIN(DialogConversionTests)
#include "dialog_conversion_tests.moc"
