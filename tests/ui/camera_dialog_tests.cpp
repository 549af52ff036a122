// The registration dialog driven as a user would, with the registry file checked on disk.
#include "tests/ui/ui_test_support.h"
#include "ui/camera_dialog.h"
#include "ui/up_down_control.h"

using namespace vistereo;
using namespace vistereo::testing;

namespace {

// Every field set, each to a different value; the coefficients a1 .. c4 are 0.11 .. 0.13, 0.21 .. 0.43.
LensRecord fullRecord(const std::string& name) {
    return {name, "1.05", "0.75", "0.4", "0.9", "1.3", "0.11", "0.12", "0.13", "0.21", "0.22", "0.23",
            "0.31", "0.32", "0.33", "0.41", "0.42", "0.43", 1, 812, 2, 12, 605, 1};
}

struct RegisterCase { int existing; QString name; bool byEnter; QString message; };  // records in the file before
struct EditCase { int id, row; QStringList names; };  // row picked before, -1: none

}  // namespace

class CameraDialogTests : public UiTest {
    Q_OBJECT
    CameraDlg2* dlg = nullptr;

    bool open() { return (dlg = start(new CameraDlg2(*app_), true)); }
    void checkModes(int radiusMode, int axisMode, int mappingKind) {
        QCOMPARE(QList<int>({dlg->radiusMode(), dlg->axisMode(), dlg->mappingKind()}), QList<int>({radiusMode, axisMode, mappingKind}));
        QVERIFY(checked(1023 + radiusMode) && checked(1029 + axisMode) && checked(1032 + mappingKind));
    }

private slots:
    void registerCases_data() {
        QTest::addColumn<RegisterCase>("c");
        QTest::newRow("Japanese name appended last, by Enter") << RegisterCase{3, "魚眼レンズ８ｍｍ", true, ""};
        QTest::newRow("empty name") << RegisterCase{2, "", false, "登録名を入力してください"};
        QTest::newRow("registry full") << RegisterCase{10, "Eleventh", false, "The registry already holds 10 camera and "
                                                                              "lens records. Delete one before registering another."};
    }
    void registerCases() {
        QFETCH(RegisterCase, c);
        std::vector<LensRecord> records;
        for (int i = 0; i < c.existing; ++i) records.push_back(lensRecord("Lens " + std::to_string(i)));
        if (c.existing > 0) writeRegistry(records);
        QStringList names = registryNames();
        QVERIFY(open());
        replaceText(box(1049), c.name);
        int finished = -1;
        connect(dlg, &QDialog::finished, this, [&finished](int r) { finished = r; });
        if (c.byEnter) QTest::keyClick(box(1049), Qt::Key_Return);
        else clickButton(button(1));
        QCOMPARE(finished, int(QDialog::Accepted));  // refused or not
        QCOMPARE(messages_, c.message.isEmpty() ? QStringList() : QStringList{c.message});
        if (c.message.isEmpty()) names << c.name;
        QCOMPARE(registryNames(), names);
    }

    void pickFillsTheFields() {
        writeRegistry({lensRecord("Other", 2, 3, 0), fullRecord("Full")});
        QVERIFY(open());
        clickRow(list(1050), 1);
        QCOMPARE(app_->selectedLensIndex, 1);
        QCOMPARE(texts(dlg, {1049, 1013, 1022, 1017, 1018, 1020, 1021, 1031, 1036, 1037, 1042, 1048, 1015, 1006, 1016}),
                 QStringList({"Full", "1.05", "0.75", "0.4", "0.4", "0.9", "0.9", "1.3", "1.3", "0.11", "0.23", "0.43",
                              "812", "12", "605"}));
        checkModes(1, 1, 2);  // the record's, whatever the filled boxes switched
        clickButton(control<UpDownControl>(dlg, 1019)->upArrow());  // the counter, not the record's k, goes on
        QCOMPARE(box(1022)->text(), QString("1.01"));
        clickRow(list(1050), 0);
        checkModes(2, 0, 3);
        QCOMPARE(box(1021)->text(), QString());
        QCOMPARE(app_->selectedLensIndex, 0);
    }

    void overwriteAndDelete_data() {
        QTest::addColumn<EditCase>("c");
        QTest::newRow("delete the second") << EditCase{1028, 1, {"A", "C", "D"}};
        QTest::newRow("overwrite the second") << EditCase{1027, 1, {"A", "Changed", "C", "D"}};
        QTest::newRow("delete without a pick") << EditCase{1028, -1, {"A", "B", "C", "D"}};
        QTest::newRow("overwrite without a pick") << EditCase{1027, -1, {"A", "B", "C", "D"}};
    }
    void overwriteAndDelete() {
        QFETCH(EditCase, c);
        writeRegistry({lensRecord("A"), fullRecord("B"), lensRecord("C", 3, 2, 1), lensRecord("D")});
        std::vector<LensRecord> expected = readRegistry();
        app_->selectedLensIndex = 1;  // left over from an earlier opening
        QVERIFY(open());
        if (c.row >= 0) clickRow(list(1050), c.row);
        replaceText(box(1049), "Changed");
        replaceText(box(1016), "77");  // switches no radio
        clickButton(button(c.id));
        QVERIFY(dlg->isVisible());
        QCOMPARE(listNames(list(1050)), c.names);
        QCOMPARE(selectedRow(list(1050)), -1);
        if (c.row >= 0 && c.id == 1028) expected.erase(expected.begin() + c.row);
        if (c.row >= 0 && c.id == 1027) expected[c.row].name = "Changed", expected[c.row].axisY = 77;
        QCOMPARE(readRegistry(), expected);
    }
};

QTEST_MAIN(CameraDialogTests)
#include "camera_dialog_tests.moc"
