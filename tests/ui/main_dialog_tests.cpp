// The main dialog driven as a user would.
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>

#include "tests/ui/ui_test_support.h"
#include "ui/about_dialog.h"
#include "ui/camera_dialog.h"
#include "ui/main_dialog.h"
#include "ui/up_down_control.h"

using namespace vistereo;
using namespace vistereo::testing;

class MainDialogTests : public UiTest {
    Q_OBJECT
    CMyVistereoDlg* dlg = nullptr;

    bool open() { return (dlg = start(new CMyVistereoDlg(*app_))); }

private slots:
    void startsWithTheDefaults() {
        writeRegistry({lensRecord("Fisheye A"), lensRecord("Fisheye B")});
        QVERIFY(open());
        QCOMPARE(texts(dlg, {1012, 1016, 1017, 1013, 1011}), QStringList({"L.jpg", "R.jpg", "LROut.jpg", "4096", "8192"}));
        QCOMPARE(texts(dlg, kPointBoxes + QList<int>{1015, 1020, 1021, 1022}), QStringList(12, ""));
        for (int id : {1011, 1020, 1021, 1022}) QVERIFY(box(id)->isReadOnly());
        QCOMPARE(app_->conversionChoices.outputHeight, 4096);
        QVERIFY(checked(1023) && !checked(1024));
        QCOMPARE(dlg->pointEntryMode(), 0);
        for (int id : {1029, 1030}) {
            QCOMPARE(listNames(list(id)), QStringList({"Fisheye A", "Fisheye B"}));
            QCOMPARE(selectedRow(list(id)), -1);
        }
        QVERIFY(messages_.isEmpty());
    }

    void zenithSteps_data() {
        // p/r/y then + (upper arrow), - (lower arrow), U or D (arrow keys); c: "clear".
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QStringList>("shown");  // pitch, roll, yaw boxes
        QTest::newRow("pitch up") << "p+" << QStringList{"0.1", "", ""};
        QTest::newRow("roll down five times") << "r- r- r- r- r-" << QStringList{"", "-0.5", ""};
        QTest::newRow("yaw twelve up, keys") << QString("y+ ").repeated(12) + "yU yD yD" << QStringList{"", "", "1.1"};
        QTest::newRow("clear") << "p+ r- y+ c" << QStringList{"0", "0", "0"};
        QTest::newRow("up after clear") << "r- r- r- c r+" << QStringList{"0", "0.1", "0"};
    }
    void zenithSteps() {
        QFETCH(QString, steps);
        QFETCH(QStringList, shown);
        QVERIFY(open());
        for (const QString& s : steps.split(' ', Qt::SkipEmptyParts)) {
            auto* upDown = control<UpDownControl>(dlg, QList<int>{1014, 1018, 1019}.value(QString("pry").indexOf(s[0])));
            if (s == "c") clickButton(button(1056));
            else if (s[1] == '+' || s[1] == '-') clickButton(s[1] == '+' ? upDown->upArrow() : upDown->downArrow());
            else QTest::keyClick(upDown, s[1] == 'U' ? Qt::Key_Up : Qt::Key_Down);
        }
        const ZenithTenths& zenith = app_->conversionChoices.zenith;
        const int32_t tenths[] = {zenith.pitch, zenith.roll, zenith.yaw};
        for (int k = 0; k < 3; ++k) {
            QCOMPARE(box(1020 + k)->text(), shown[k]);
            QCOMPARE(tenths[k], qRound(shown[k].toDouble() * 10));
        }
    }

    void heightDrivesWidth_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("height");
        QTest::addColumn<QString>("width");
        QTest::newRow("2000") << "2000" << "2000" << "4000";
        QTest::newRow("emptied") << "" << "" << "0";
        QTest::newRow("digits only") << "-12ab3" << "123" << "246";
    }
    void heightDrivesWidth() {
        QFETCH(QString, typed);
        QFETCH(QString, height);
        QFETCH(QString, width);
        QVERIFY(open());
        replaceText(box(1013), typed);
        QCOMPARE(box(1013)->text(), height);
        QCOMPARE(box(1011)->text(), width);
        QCOMPARE(app_->conversionChoices.outputHeight, height.toInt());
    }

    void pointEntryMode_data() {
        QTest::addColumn<int>("startMode");
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("mode");
        QTest::newRow("comma line") << 0 << 1015 << "1, 2,-3" << "1, 2,-3" << 1;
        QTest::newRow("A Left x, digits only") << 1 << 1002 << "-1a2" << "12" << 0;
        QTest::newRow("A Left y") << 1 << 1003 << "12" << "12" << 1;
        QTest::newRow("B Right y") << 1 << 1010 << "12" << "12" << 1;
    }
    void pointEntryMode() {
        QFETCH(int, startMode);
        QFETCH(int, id);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(int, mode);
        QVERIFY(open());
        clickButton(control<QRadioButton>(dlg, 1023 + startMode));
        QCOMPARE(dlg->pointEntryMode(), startMode);
        QTest::keyClicks(box(id), typed);
        QCOMPARE(box(id)->text(), shown);
        QCOMPARE(dlg->pointEntryMode(), mode);
        QCOMPARE(checked(1023), mode == 0);
        QCOMPARE(checked(1024), mode == 1);
    }

    void clearPointsSelectsSeparateInput() {
        QVERIFY(open());
        QTest::keyClicks(box(1002), "0");  // already what "clear" writes
        QTest::keyClicks(box(1009), "55");
        QTest::keyClicks(box(1015), "1,2");
        QCOMPARE(dlg->pointEntryMode(), 1);
        clickButton(button(1055));
        QCOMPARE(texts(dlg, kPointBoxes), QStringList(8, "0"));
        QCOMPARE(dlg->pointEntryMode(), 0);
        QVERIFY(checked(1023));
        QCOMPARE(box(1015)->text(), QString("1,2"));
    }

    void registrationKeepsTheEyes_data() {
        QTest::addColumn<int>("closeWith");  // button of the registration dialog
        QTest::addColumn<QStringList>("names");
        QTest::newRow("Register") << 1 << QStringList({"Old lens", "Other", "New lens"});
        QTest::newRow("Return") << 2 << QStringList({"Old lens", "Other"});
    }
    void registrationKeepsTheEyes() {
        QFETCH(int, closeWith);
        QFETCH(QStringList, names);
        LensRecord old = lensRecord("Old lens", 3);
        old.radiusDots = 700;
        writeRegistry({old, lensRecord("Other")});
        QVERIFY(open());
        clickRow(list(1029), 0);
        clickRow(list(1030), 1);
        // The file changes behind the dialog: the lists follow it, the eyes do not.
        old.radiusDots = 900;
        writeRegistry({old, lensRecord("Other")});
        QVERIFY(duringModal<CameraDlg2>([&] { clickButton(button(1027)); }, [&](CameraDlg2* reg) {
            QTest::keyClicks(control<QLineEdit>(reg, 1049), "New lens");
            clickButton(control<QPushButton>(reg, closeWith));
        }));
        for (int id : {1029, 1030}) {
            QCOMPARE(listNames(list(id)), names);
            QCOMPARE(selectedRow(list(id)), -1);
        }
        const auto& lenses = app_->conversionChoices.lenses;
        QCOMPARE(lenses[0].name, std::string("Old lens"));
        QCOMPARE(lenses[0].radiusDots, 700);
        QCOMPARE(lenses[1].name, std::string("Other"));
        clickRow(list(1029), 0);
        QCOMPARE(lenses[0].radiusDots, 900);
    }

    void aboutBox_data() {
        QTest::addColumn<bool>("byMenu");
        QTest::newRow("right click, then A") << true;
        QTest::newRow("F1") << false;
    }
    void aboutBox() {
        QFETCH(bool, byMenu);
        QVERIFY(open());
        QString item, texts;
        const bool shown = duringModal<CAboutDlg>(
            [&] {
                if (!byMenu) return QTest::keyClick(box(1004), Qt::Key_F1);
                QTimer::singleShot(50, dlg, [&] {  // the window menu, opened by a click on the background
                    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                    if (!menu) return;
                    item = menu->actions().value(0)->text();
                    QTest::keyClick(menu, Qt::Key_A);
                });
                const QPoint background(dlg->width() - 4, 4);
                QContextMenuEvent click(QContextMenuEvent::Mouse, background, dlg->mapToGlobal(background));
                QApplication::sendEvent(dlg, &click);
            },
            [&](CAboutDlg* about) {
                texts = about->windowTitle() + "|" + about->findChild<QLabel*>("versionText")->text();
                clickButton(control<QPushButton>(about, 1));
            });
        QVERIFY(shown && dlg->isVisible());
        QCOMPARE(item, QString(byMenu ? "Vistereoについて(&A)..." : ""));
        QCOMPARE(texts, QString("About Vistereo|Vistereo、Version 1.3"));
    }
};

QTEST_MAIN(MainDialogTests)
#include "main_dialog_tests.moc"
