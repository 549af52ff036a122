// The batch window driven as a user would: the pairing it shows, a batch
// with a bad pair, Cancel, and its opening from the main dialog's strip.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QSemaphore>
#include <QSignalSpy>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "conversion/auto_align.h"
#include "conversion/lens_selection.h"
#include "tests/support/synth.h"
#include "tests/ui/ui_test_support.h"
#include "ui/batch_dialog.h"
#include "ui/dialog_layout.h"
#include "ui/main_dialog.h"
#include "ui/up_down_control.h"

using namespace vistereo;
using namespace vistereo::testing;

namespace {

void writeNoise(const QString& file, int width, int height, int seed) {
    cv::Mat image(height, width, CV_8UC3);
    cv::setRNGSeed(seed);
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
    QVERIFY(cv::imwrite(file.toStdString(), image));
}

ConversionRequest choices(int height) {
    ConversionRequest request;
    request.lenses = {lensSettingsOf(lensRecord("Equisolid", 0, 1, 0)), lensSettingsOf(lensRecord("Equisolid", 0, 1, 0))};
    request.points.points = PointSet::fromListOrder({20, 50, 22, 53, 30, 40, 31, 44});
    request.outputHeight = height;
    return request;
}

QByteArray readAll(const QString& name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a single run of `request` writes for the pair NAME of input/left and
// input/right, against what the batch wrote for it (output/ and the name's
// stem with .jpg).
bool sameAsSingleRun(ConversionRequest request, const QString& name) {
    request.leftName = "left/" + name.toStdString();
    request.rightName = "right/" + name.toStdString();
    request.outputName = "single.jpg";
    struct : MessageSink {
        void showMessage(const std::string&) override {}
    } quiet;
    return vistereo::RunConversion(request, quiet).written() && readAll("output/" + name.section('.', 0, 0) + ".jpg") == readAll("output/single.jpg");
}

}  // namespace

class BatchDialogTests : public UiTest {
    Q_OBJECT

    template <class T>
    T* part(const char* name) const {
        return dialog_->findChild<T*>(QString::fromLatin1(name));
    }
    QString status() const { return part<QLabel>("pairingStatus")->text(); }

private slots:
    void showsThePairingOfTheFolders() {
        QVERIFY(QDir().mkpath("input/left") && QDir().mkpath("input/right") && QDir().mkpath("output"));
        for (const char* name : {"a.jpg", "b.jpg"}) {
            writeNoise(QString("input/left/") + name, 40, 30, 1);
            writeNoise(QString("input/right/r") + name, 40, 30, 2);
        }
        QFile("output/a.jpg").open(QIODevice::WriteOnly);
        QVERIFY(start(new BatchDialog(choices(16))));
        auto* pairs = part<QListWidget>("pairList");
        QCOMPARE(listNames(pairs), QStringList({"a.jpg + ra.jpg  →  a.jpg  (exists: skipped)", "b.jpg + rb.jpg  →  b.jpg"}));
        QCOMPARE(status(), QString("2 pairs, 1 to convert"));
        QVERIFY(part<QPushButton>("startButton")->isEnabled());
        auto* overwrite = part<QCheckBox>("overwrite");
        QTest::mouseClick(overwrite, Qt::LeftButton, {}, QPoint(6, overwrite->height() / 2));  // its box
        QCOMPARE(status(), QString("2 pairs, 2 to convert"));

        writeNoise("input/left/c.jpg", 40, 30, 3);
        replaceText(part<QLineEdit>("leftFolder"), "input/left");  // the pairing follows the typed folder
        QVERIFY2(status().contains("no partner: input/left/c.jpg"), qPrintable(status()));
        QCOMPARE(pairs->count(), 0);
        QVERIFY(!part<QPushButton>("startButton")->isEnabled());
        replaceText(part<QLineEdit>("leftFolder"), "nowhere");
        QVERIFY2(status().contains("no folder"), qPrintable(status()));
    }

    // Three pairs, the second unreadable: the window is locked while it runs,
    // the others are written with the bytes of single runs, the failure is listed.
    void convertsThePairsAndListsTheFailures() {
        QVERIFY(QDir().mkpath("input/left") && QDir().mkpath("input/right"));
        for (int k = 0; k < 3; ++k) {
            writeNoise(QString("input/left/p%1.png").arg(k), 90, 60, k);
            writeNoise(QString("input/right/p%1.png").arg(k), 90, 60, k + 10);
        }
        QFile broken("input/right/p1.png");
        QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate) && broken.write("not a picture") > 0);
        broken.close();
        auto* dlg = start(new BatchDialog(choices(32)));
        QVERIFY(dlg);

        // The batch's thread is held until the locked window is checked.
        QSemaphore gate;
        dlg->batchPool().start([&gate] { gate.acquire(); });
        QSignalSpy finished(dlg, &BatchDialog::batchFinished);
        clickButton(part<QPushButton>("startButton"));
        QVERIFY(dlg->running());
        for (const char* name : {"leftFolder", "rightFolder", "browseLeft", "overwrite", "startButton", "closeButton"})
            QVERIFY2(!part<QWidget>(name)->isEnabled(), name);
        QVERIFY(part<QPushButton>("cancelButton")->isEnabled());
        gate.release();
        QVERIFY(finished.wait(60000));

        QVERIFY(!dlg->running() && part<QPushButton>("closeButton")->isEnabled());
        QCOMPARE(part<QProgressBar>("progress")->value(), 3);
        QVERIFY2(part<QLabel>("progressText")->text().startsWith("Converted 2, skipped 0, failed 1 in "),
                 qPrintable(part<QLabel>("progressText")->text()));
        const QStringList failures = listNames(part<QListWidget>("failures"));
        QCOMPARE(failures, QStringList{"input/left/p1.png, input/right/p1.png: " + QString(kMsgBadRightImage)});
        QVERIFY(part<QListWidget>("failures")->isVisible());
        QVERIFY(messages_.isEmpty());
        QCOMPARE(status(), QString("3 pairs, 1 to convert"));  // the written ones are skipped next time

        QVERIFY(sameAsSingleRun(choices(32), "p2.png"));
    }

    // Aligned once: the unreadable first pair is named as not aligned (and
    // fails), the second is converted with the rotation its pictures give.
    void alignsOnceFromTheFirstPairsThatAlign() {
        QVERIFY(QDir().mkpath("input/left") && QDir().mkpath("input/right"));
        const testsupport::SynthLens lens = testsupport::SynthLens::equisolid(1200, 900);
        const cv::Mat& pano = testsupport::panorama();
        QVERIFY(cv::imwrite("input/left/p1.jpg", testsupport::renderFisheye(pano, lens, {})));
        QVERIFY(cv::imwrite("input/right/p1.jpg",
                            testsupport::renderFisheye(pano, lens, testsupport::Rotation::fromYawPitchRoll(2, -1, 1.5))));
        QVERIFY(QFile("input/left/p0.jpg").open(QIODevice::WriteOnly));
        QVERIFY(QFile::copy("input/right/p1.jpg", "input/right/p0.jpg"));
        ConversionRequest request = choices(32);
        request.points.points = PointSet{};  // not needed, not checked
        auto* dlg = start(new BatchDialog(request));
        QVERIFY(dlg);
        auto* alignment = part<QComboBox>("alignment");
        QCOMPARE(alignment->count(), 3);
        alignment->setCurrentIndex(static_cast<int>(BatchDialog::Alignment::Once));
        QSignalSpy finished(dlg, &BatchDialog::batchFinished);
        clickButton(part<QPushButton>("startButton"));
        QVERIFY(!alignment->isEnabled());
        QVERIFY(finished.wait(120000));
        const QString text = part<QLabel>("progressText")->text();
        QVERIFY2(text.startsWith("Converted 1, skipped 0, failed 1 in ") && text.contains("\nAligned once on pair 2: yaw "),
                 qPrintable(text));
        QCOMPARE(listNames(part<QListWidget>("failures")),
                 QStringList({"Not aligned: pair 1: " + QString(kMsgBadLeftImage),
                              "input/left/p0.jpg, input/right/p0.jpg: " + QString(kMsgBadLeftImage)}));

        const std::vector<BatchPair> used{dlg->pairs()[1]};
        ConversionRequest single = request;
        single.rotation = alignFirstPairs(used, request).rotation;
        QVERIFY(single.rotation);
        QVERIFY(sameAsSingleRun(single, "p1.jpg"));
    }

    void cancelStopsAfterThePairsUnderWay() {
        QVERIFY(QDir().mkpath("input/left") && QDir().mkpath("input/right"));
        const int count = 10;
        for (int k = 0; k < count; ++k) {
            writeNoise(QString("input/left/c%1.png").arg(k, 2, 10, QChar('0')), 480, 360, k);
            writeNoise(QString("input/right/c%1.png").arg(k, 2, 10, QChar('0')), 480, 360, k + 20);
        }
        auto* dlg = start(new BatchDialog(choices(400)));
        QVERIFY(dlg);
        QSignalSpy finished(dlg, &BatchDialog::batchFinished);
        connect(part<QProgressBar>("progress"), &QProgressBar::valueChanged, dlg, [this](int value) {
            if (value == 1) clickButton(part<QPushButton>("cancelButton"));
        });
        clickButton(part<QPushButton>("startButton"));
        QVERIFY(finished.wait(120000));
        const int written = QDir("output").entryList(QDir::Files).size();
        QVERIFY2(written >= 1 && written <= 5, qPrintable(QString::number(written)));  // 1 + at most 4 under way
        QVERIFY2(part<QLabel>("progressText")->text().contains(QString("stopped, %1 not started").arg(count - written)),
                 qPrintable(part<QLabel>("progressText")->text()));
        QCOMPARE(part<QPushButton>("cancelButton")->text(), QString("Cancel"));
        QVERIFY(!part<QPushButton>("cancelButton")->isEnabled());
    }

    // "Batch..." sits in the strip below the template's controls, overlapping
    // none, and hands the window the dialog's current choices.
    void batchButtonOpensTheWindowWithTheDialogsChoices() {
        writeRegistry({lensRecord("Orthographic", 0, 0, 0), lensRecord("Equisolid 180", 0, 1, 0)});
        auto* dlg = start(new CMyVistereoDlg(*app_));
        QVERIFY(dlg);
        QPushButton* batch = button(kBatchButtonId);
        QVERIFY(batch);
        QCOMPARE(batch->text(), QString("Batch..."));
        QCOMPARE(batch->geometry(), DialogUnits(dlg->font()).rect(268, 242, 50, 13));
        QVERIFY(dlg->rect().contains(batch->geometry()));
        for (QWidget* other : dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (other != batch && !other->isWindow() && !qobject_cast<QGroupBox*>(other))
                QVERIFY2(!other->geometry().intersects(batch->geometry()), qPrintable(other->objectName()));

        clickRow(list(1029), 1);
        clickRow(list(1030), 0);
        QTest::keyClicks(box(1015), "100,200,96,195,120,180,121,178");
        replaceText(box(1013), "1000");
        clickButton(control<UpDownControl>(dlg, 1019)->upArrow());
        auto* vrSuffix = dlg->findChild<QCheckBox*>("vrSuffix");
        QVERIFY(vrSuffix);
        QTest::mouseClick(vrSuffix, Qt::LeftButton, {}, QPoint(6, vrSuffix->height() / 2));
        QVERIFY(QDir().mkpath("input/left") && QDir().mkpath("input/right"));
        writeNoise("input/left/a.jpg", 40, 30, 1);
        writeNoise("input/right/a.jpg", 40, 30, 2);
        ConversionRequest seen;
        std::string output;
        QVERIFY(duringModal<BatchDialog>([&] { clickButton(batch); }, [&](BatchDialog* window) {
            seen = window->choices();
            if (!window->pairs().empty()) output = window->pairs()[0].output.filename().string();
        }));
        QCOMPARE(output, std::string("a_180_LR.jpg"));  // the players' name, as the check box asks
        QCOMPARE(seen.lenses[0].name, std::string("Equisolid 180"));
        QCOMPARE(seen.lenses[1].name, std::string("Orthographic"));
        QCOMPARE(seen.outputHeight, 1000);
        QCOMPARE(seen.zenith.yaw, 1);
        QVERIFY(seen.points.ok());
        QCOMPARE(seen.points.points, PointSet::fromListOrder({100, 200, 96, 195, 120, 180, 121, 178}));
    }
};

QTEST_MAIN(BatchDialogTests)
#include "batch_dialog_tests.moc"
