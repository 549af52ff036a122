// The main dialog's additions below its original controls, driven as a user
// would: the players' file name, automatic points and the preview.
#include <QCheckBox>
#include <QDir>
#include <QSignalSpy>

#include <opencv2/imgcodecs.hpp>

#include "conversion/run.h"
#include "tests/ui/ui_test_support.h"
#include "tests/support/synth.h"
#include "ui/main_dialog.h"
#include "ui/preview_dialog.h"

using namespace vistereo;
using namespace vistereo::testing;

class DialogAdditionsTests : public UiTest {
    Q_OBJECT

private slots:
    void playersNameIsAddedOnlyWhenChecked_data() {
        QTest::addColumn<bool>("checked");
        QTest::addColumn<QString>("written");
        QTest::newRow("unchecked") << false << "pair.png";
        QTest::newRow("checked") << true << "pair_180_LR.png";
    }
    void playersNameIsAddedOnlyWhenChecked() {
        QFETCH(bool, checked);
        QFETCH(QString, written);
        QVERIFY(QDir().mkpath("input") && QDir().mkpath("output"));
        cv::Mat image(120, 160, CV_8UC3);
        cv::randu(image, cv::Scalar::all(20), cv::Scalar::all(250));
        QVERIFY(cv::imwrite("input/L.jpg", image) && cv::imwrite("input/R.jpg", image));
        writeRegistry({lensRecord("Equisolid 180", 0, 1, 0)});
        auto* dlg = start(new CMyVistereoDlg(*app_));
        QVERIFY(dlg);
        clickRow(list(1029), 0);
        clickRow(list(1030), 0);
        const QStringList points{"40", "60", "41", "61", "50", "70", "50", "70"};
        for (int k = 0; k < 8; ++k) QTest::keyClicks(box(kPointBoxes[k]), points[k]);
        replaceText(box(1017), "pair.png");
        replaceText(box(1013), "32");
        auto* vr = dlg->findChild<QCheckBox*>("vrSuffix");
        QVERIFY(vr && vr->isVisible() && !vr->isChecked());
        if (checked) clickButton(vr);
        QSignalSpy finished(dlg, &CMyVistereoDlg::conversionFinished);
        clickButton(button(1));
        QVERIFY(finished.wait(30000));
        QCOMPARE(messages_, QStringList{kMsgFinished});
        QCOMPARE(QDir("output").entryList(QDir::Files), QStringList{written});
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
        QVERIFY(QDir().mkpath("input") && QDir().mkpath("output"));
        const SynthLens lens = SynthLens::equisolid(1200, 900);
        const cv::Mat flat(900, 1200, CV_8UC3, cv::Scalar::all(128));
        QVERIFY(cv::imwrite("input/L.jpg", textured ? renderFisheye(panorama(), lens, Rotation{}) : flat));
        QVERIFY(cv::imwrite("input/R.jpg", textured ? renderFisheye(panorama(), lens, Rotation::fromYawPitchRoll(2, -1, 1.5)) : flat));
        writeRegistry({lensRecord("Equisolid 180", 0, 1, 0)});
        auto* dlg = start(new CMyVistereoDlg(*app_));
        QVERIFY(dlg);
        clickRow(list(1029), 0);
        clickRow(list(1030), 0);
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
        const struct { PreviewDialog::Mode mode; int width; } modes[] = {
            {PreviewDialog::Anaglyph, 600}, {PreviewDialog::Overlay, 600}, {PreviewDialog::SideBySide, 1200}};
        for (const auto& m : modes) {
            preview->setMode(m.mode);
            QCOMPARE(preview->shownImage().size(), QSize(m.width, 600));
        }
    }
};

QTEST_MAIN(DialogAdditionsTests)
#include "dialog_additions_tests.moc"
