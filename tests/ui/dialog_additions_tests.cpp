// The main dialog's additions below its original controls, driven as a user
// would: the players' file name.
#include <QCheckBox>
#include <QDir>
#include <QSignalSpy>

#include <opencv2/imgcodecs.hpp>

#include "conversion/run.h"
#include "tests/ui/ui_test_support.h"
#include "ui/main_dialog.h"

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
};

QTEST_MAIN(DialogAdditionsTests)
#include "dialog_additions_tests.moc"
