// The main dialog driven as a user would.
#include "tests/ui/ui_test_support.h"
#include "ui/camera_dialog.h"
#include "ui/main_dialog.h"
#include "ui/up_down_control.h"

using namespace vistereo;
using namespace vistereo::testing;

namespace {
struct ZenithCase { QString steps; QStringList shown; };  // shown: the pitch, roll and yaw boxes
struct TypingCase { int startMode, id; QString typed; QList<int> boxes; QStringList shown; int mode; };
struct RegistrationCase { int closeWith; QStringList names; };  // a button of the registration dialog
}  // namespace

class MainDialogTests : public UiTest {
    Q_OBJECT
    CMyVistereoDlg* dlg = nullptr;

    bool open() { return (dlg = start(new CMyVistereoDlg(*app_))); }

private slots:
    // Steps: p/r/y, then + (upper arrow), - (lower arrow), U or D (arrow keys); c: "clear".
    void zenithSteps_data() {
        QTest::addColumn<ZenithCase>("c");
        QTest::newRow("pitch up") << ZenithCase{"p+", {"0.1", "", ""}};
        QTest::newRow("roll down five times") << ZenithCase{"r- r- r- r- r-", {"", "-0.5", ""}};
        QTest::newRow("yaw twelve up, keys") << ZenithCase{QString("y+ ").repeated(12) + "yU yD yD", {"", "", "1.1"}};
        QTest::newRow("clear") << ZenithCase{"p+ r- y+ c", {"0", "0", "0"}};
        QTest::newRow("up after clear") << ZenithCase{"r- r- r- c r+", {"0", "0.1", "0"}};
    }
    void zenithSteps() {
        QFETCH(ZenithCase, c);
        QVERIFY(open());
        for (const QString& s : c.steps.split(' ', Qt::SkipEmptyParts)) {
            auto* upDown = control<UpDownControl>(dlg, QList<int>{1014, 1018, 1019}.value(QString("pry").indexOf(s[0])));
            if (s == "c") clickButton(button(1056));
            else if (s[1] == '+' || s[1] == '-') clickButton(s[1] == '+' ? upDown->upArrow() : upDown->downArrow());
            else QTest::keyClick(upDown, s[1] == 'U' ? Qt::Key_Up : Qt::Key_Down);
        }
        const ZenithTenths& zenith = app_->conversionChoices.zenith;
        const int32_t tenths[] = {zenith.pitch, zenith.roll, zenith.yaw};
        for (int k = 0; k < 3; ++k) {
            QCOMPARE(box(1020 + k)->text(), c.shown[k]);
            QCOMPARE(tenths[k], qRound(c.shown[k].toDouble() * 10));
        }
    }

    // The height box keeps digits only and drives the width and the run's height; only typing in the x of
    // "A Left" selects "Separately Input", typing in the comma line selects it.
    void typing_data() {
        QTest::addColumn<TypingCase>("c");
        QTest::newRow("height 2000") << TypingCase{0, 1013, "2000", {1013, 1011}, {"2000", "4000"}, 0};
        QTest::newRow("height emptied") << TypingCase{0, 1013, "", {1013, 1011}, {"", "0"}, 0};
        QTest::newRow("height, digits only") << TypingCase{0, 1013, "-12ab3", {1013, 1011}, {"123", "246"}, 0};
        QTest::newRow("comma line") << TypingCase{0, 1015, "1, 2,-3", {1015}, {"1, 2,-3"}, 1};
        QTest::newRow("A Left x, digits only") << TypingCase{1, 1002, "-1a2", {1002}, {"12"}, 0};
        QTest::newRow("A Left y") << TypingCase{1, 1003, "12", {1003}, {"12"}, 1};
        QTest::newRow("B Right y") << TypingCase{1, 1010, "12", {1010}, {"12"}, 1};
    }
    void typing() {
        QFETCH(TypingCase, c);
        QVERIFY(open());
        clickButton(control<QRadioButton>(dlg, 1023 + c.startMode));
        QCOMPARE(dlg->pointEntryMode(), c.startMode);
        replaceText(box(c.id), c.typed);
        QCOMPARE(texts(dlg, c.boxes), c.shown);
        QCOMPARE(app_->conversionChoices.outputHeight, box(1013)->text().toInt());
        QCOMPARE(dlg->pointEntryMode(), c.mode);
        QVERIFY(checked(1023) == (c.mode == 0) && checked(1024) == (c.mode == 1));
    }

    void registrationKeepsTheEyes_data() {
        QTest::addColumn<RegistrationCase>("c");
        QTest::newRow("Register") << RegistrationCase{1, {"Old lens", "Other", "New lens"}};
        QTest::newRow("Return") << RegistrationCase{2, {"Old lens", "Other"}};
    }
    void registrationKeepsTheEyes() {
        QFETCH(RegistrationCase, c);
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
            clickButton(control<QPushButton>(reg, c.closeWith));
        }));
        for (int id : {1029, 1030}) {
            QCOMPARE(listNames(list(id)), c.names);
            QCOMPARE(selectedRow(list(id)), -1);
        }
        const auto& lenses = app_->conversionChoices.lenses;
        QCOMPARE(lenses[0].name + "/" + lenses[1].name, std::string("Old lens/Other"));
        QCOMPARE(lenses[0].radiusDots, 700);
        clickRow(list(1029), 0);
        QCOMPARE(lenses[0].radiusDots, 900);
    }
};

QTEST_MAIN(MainDialogTests)
#include "main_dialog_tests.moc"
