// The registration dialog driven as a user would, with the registry file
// checked on disk.
#include "tests/ui/ui_test_support.h"
#include "ui/camera_dialog.h"
#include "ui/up_down_control.h"

using namespace vistereo;
using namespace vistereo::testing;

namespace {

// Every field set, each to a different value.
LensRecord fullRecord(const std::string& name) {
    LensRecord r = lensRecord(name, 1, 2, 1);
    r.magnification = "1.05";
    r.sineK = "0.75";
    r.theta1 = "0.4";
    r.theta2 = "0.9";
    r.theta3 = "1.3";
    std::string* coefficients[12] = {&r.a1, &r.b1, &r.c1, &r.a2, &r.b2, &r.c2,
                                     &r.a3, &r.b3, &r.c3, &r.a4, &r.b4, &r.c4};
    for (int k = 0; k < 12; ++k) *coefficients[k] = "0." + std::to_string(11 + 10 * (k / 3) + k % 3);
    r.radiusDots = 812;
    r.axisX = 12;
    r.axisY = 605;
    return r;
}

}  // namespace

class CameraDialogTests : public UiTest {
    Q_OBJECT
    CameraDlg2* dlg = nullptr;

    bool open() { return (dlg = start(new CameraDlg2(*app_), true)); }
    void spin(const QString& arrows) {
        auto* k = control<UpDownControl>(dlg, 1019);
        for (const QChar a : arrows) clickButton(a == 'u' ? k->upArrow() : k->downArrow());
    }
    void checkModes(int radiusMode, int axisMode, int mappingKind) {
        QCOMPARE(QList<int>({dlg->radiusMode(), dlg->axisMode(), dlg->mappingKind()}),
                 QList<int>({radiusMode, axisMode, mappingKind}));
        QVERIFY(checked(1023 + radiusMode) && checked(1029 + axisMode) && checked(1032 + mappingKind));
    }

private slots:
    void registerCases_data() {
        QTest::addColumn<int>("existing");  // records in the file before
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("byEnter");
        QTest::addColumn<QString>("message");
        QTest::newRow("first record creates the file") << 0 << "Fisheye 8mm" << false << "";
        QTest::newRow("Japanese name appended last, by Enter") << 3 << "魚眼レンズ８ｍｍ" << true << "";
        QTest::newRow("empty name") << 2 << "" << false << "登録名を入力してください";
        QTest::newRow("nine plus one") << 9 << "Tenth" << false << "";
        QTest::newRow("registry full") << 10 << "Eleventh" << false
                                       << "The registry already holds 10 camera and lens records. Delete one "
                                          "before registering another.";
    }
    void registerCases() {
        QFETCH(int, existing);
        QFETCH(QString, name);
        QFETCH(bool, byEnter);
        QFETCH(QString, message);
        std::vector<LensRecord> records;
        for (int i = 0; i < existing; ++i) records.push_back(lensRecord("Lens " + std::to_string(i)));
        if (existing > 0) writeRegistry(records);
        QStringList names = registryNames();
        QVERIFY(open());
        replaceText(box(1049), name);
        int finished = -1;
        connect(dlg, &QDialog::finished, this, [&finished](int r) { finished = r; });
        if (byEnter) QTest::keyClick(box(1049), Qt::Key_Return);
        else clickButton(button(1));
        QCOMPARE(finished, int(QDialog::Accepted));  // refused or not
        QCOMPARE(messages_, message.isEmpty() ? QStringList() : QStringList{message});
        if (message.isEmpty()) names << name;
        QCOMPARE(registryNames(), names);
    }

    void kSpin_data() {
        QTest::addColumn<int>("counter");  // before opening
        QTest::addColumn<QString>("arrows");
        QTest::addColumn<QString>("shown");
        QTest::newRow("five up") << 100 << "uuuuu" << "1.05";
        QTest::newRow("one down") << 100 << "d" << "0.99";
        QTest::newRow("below zero") << 0 << "d" << "-0.01";
    }
    void kSpin() {
        QFETCH(int, counter);
        QFETCH(QString, arrows);
        QFETCH(QString, shown);
        app_->sineKHundredths = counter;
        QVERIFY(open());
        spin(arrows);
        QCOMPARE(box(1022)->text(), shown);
        checkModes(0, 0, 2);
        QVERIFY(open());  // the counter carries over to the next opening
        QVERIFY(box(1022)->text().isEmpty());
        spin("u");
        QCOMPARE(box(1022)->text(), QString::asprintf("%.2f", shown.toDouble() + 0.01));
    }

    void typingSwitchesRadios_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("radiusMode");
        QTest::addColumn<int>("axisMode");
        QTest::addColumn<int>("mappingKind");
        QTest::addColumn<int>("mirror");  // read-only lower bound that follows, 0: none
        QTest::newRow("magnification") << 1013 << 2 << 0 << 0 << 0;
        QTest::newRow("dots") << 1015 << 3 << 0 << 0 << 0;
        QTest::newRow("axis x") << 1006 << 0 << 1 << 0 << 0;
        QTest::newRow("axis y") << 1016 << 0 << 0 << 0 << 0;
        QTest::newRow("first upper bound") << 1017 << 0 << 0 << 3 << 1018;
        QTest::newRow("second upper bound") << 1020 << 0 << 0 << 0 << 1021;
        QTest::newRow("third upper bound") << 1031 << 0 << 0 << 0 << 1036;
    }
    void typingSwitchesRadios() {
        QFETCH(int, id);
        QFETCH(int, radiusMode);
        QFETCH(int, axisMode);
        QFETCH(int, mappingKind);
        QFETCH(int, mirror);
        QVERIFY(open());
        QTest::keyClicks(box(id), "12");
        checkModes(radiusMode, axisMode, mappingKind);
        if (mirror) QCOMPARE(box(mirror)->text(), QString("12"));
    }

    void pickFillsTheFields() {
        writeRegistry({lensRecord("Other", 2, 3, 0), fullRecord("Full")});
        QVERIFY(open());
        clickRow(list(1050), 1);
        QCOMPARE(app_->selectedLensIndex, 1);
        const std::pair<int, const char*> shown[] = {
            {1049, "Full"}, {1013, "1.05"}, {1022, "0.75"}, {1017, "0.4"}, {1018, "0.4"}, {1020, "0.9"},
            {1021, "0.9"},  {1031, "1.3"},  {1036, "1.3"},  {1037, "0.11"}, {1042, "0.23"}, {1048, "0.43"},
            {1015, "812"},  {1006, "12"},   {1016, "605"}};
        for (const auto& [id, text] : shown) QCOMPARE(box(id)->text(), QString(text));
        checkModes(1, 1, 2);  // the record's, whatever the filled boxes switched
        spin("u");  // the counter, not the record's k, goes on
        QCOMPARE(box(1022)->text(), QString("1.01"));
        clickRow(list(1050), 0);
        checkModes(2, 0, 3);
        QCOMPARE(box(1021)->text(), QString());
        QCOMPARE(app_->selectedLensIndex, 0);
    }

    void overwriteAndDelete_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("row");  // picked before, -1: none
        QTest::addColumn<QStringList>("names");
        QTest::newRow("delete the second") << 1028 << 1 << QStringList({"A", "C", "D"});
        QTest::newRow("overwrite the second") << 1027 << 1 << QStringList({"A", "Changed", "C", "D"});
        QTest::newRow("delete without a pick") << 1028 << -1 << QStringList({"A", "B", "C", "D"});
        QTest::newRow("overwrite without a pick") << 1027 << -1 << QStringList({"A", "B", "C", "D"});
    }
    void overwriteAndDelete() {
        QFETCH(int, id);
        QFETCH(int, row);
        QFETCH(QStringList, names);
        writeRegistry({lensRecord("A"), fullRecord("B"), lensRecord("C", 3, 2, 1), lensRecord("D")});
        std::vector<LensRecord> expected = readRegistry();
        app_->selectedLensIndex = 1;  // left over from an earlier opening
        QVERIFY(open());
        if (row >= 0) clickRow(list(1050), row);
        replaceText(box(1049), "Changed");
        replaceText(box(1016), "77");  // switches no radio
        clickButton(button(id));
        QVERIFY(dlg->isVisible());
        QCOMPARE(listNames(list(1050)), names);
        QCOMPARE(selectedRow(list(1050)), -1);
        if (row >= 0 && id == 1028) expected.erase(expected.begin() + row);
        if (row >= 0 && id == 1027) {
            expected[row].name = "Changed";
            expected[row].axisY = 77;
        }
        QCOMPARE(readRegistry(), expected);
    }
};

QTEST_MAIN(CameraDialogTests)
#include "camera_dialog_tests.moc"
