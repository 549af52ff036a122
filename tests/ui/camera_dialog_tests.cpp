// The registration dialog as its user meets it: opening, Register with its
// refusals, the k spin, radios switched by typing, the mirrored segment
// bounds, a list pick filling the fields, Overwrite, Delete and Return, with
// the registry file checked on disk.
#include <memory>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include "tests/ui/ui_test_support.h"
#include "ui/app.h"
#include "ui/camera_dialog.h"
#include "ui/up_down_control.h"

using namespace vistereo;
using namespace vistereo::testing;

namespace {

const char* kEnterName = "登録名を入力してください";
const char* kRegistryFull =
    "The registry already holds 10 camera and lens records. Delete one before registering another.";

// A record with every field set, different from field to field.
LensRecord fullRecord(const std::string& name) {
    LensRecord r;
    r.name = name;
    r.magnification = "1.05";
    r.sineK = "0.75";
    r.theta1 = "0.4";
    r.theta2 = "0.9";
    r.theta3 = "1.3";
    r.a1 = "0.11"; r.b1 = "0.12"; r.c1 = "0.13";
    r.a2 = "0.21"; r.b2 = "0.22"; r.c2 = "0.23";
    r.a3 = "0.31"; r.b3 = "0.32"; r.c3 = "0.33";
    r.a4 = "0.41"; r.b4 = "0.42"; r.c4 = "0.43";
    r.radiusMode = 1;
    r.radiusDots = 812;
    r.mappingKind = 2;
    r.axisX = -12;
    r.axisY = 605;
    r.axisMode = 1;
    return r;
}

}  // namespace

class CameraDialogTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScratchDirectory> scratch_;
    std::unique_ptr<MessageCollector> messages_;
    std::unique_ptr<CMyVistereoApp> app_;

    std::unique_ptr<CameraDlg2> openDialog() {
        auto dlg = std::make_unique<CameraDlg2>(*app_);
        dlg->open();
        if (!QTest::qWaitForWindowExposed(dlg.get())) return nullptr;
        return dlg;
    }
    static QLineEdit* box(CameraDlg2* dlg, int id) { return control<QLineEdit>(dlg, id); }
    static QListWidget* list(CameraDlg2* dlg) { return control<QListWidget>(dlg, 1050); }
    static bool checked(CameraDlg2* dlg, int id) { return control<QRadioButton>(dlg, id)->isChecked(); }
    static void spin(CameraDlg2* dlg, const QString& arrows) {
        auto* k = control<UpDownControl>(dlg, 1019);
        for (const QChar a : arrows) clickButton(a == QLatin1Char('u') ? k->upArrow() : k->downArrow());
    }

private slots:
    void init() {
        scratch_ = std::make_unique<ScratchDirectory>();
        QVERIFY(scratch_->ok());
        messages_ = std::make_unique<MessageCollector>();
        app_ = std::make_unique<CMyVistereoApp>();
    }
    void cleanup() {
        app_.reset();
        messages_.reset();
        scratch_.reset();
    }

    void opensWithDefaults() {
        writeRegistry({lensRecord("One"), lensRecord("Two"), lensRecord("Three")});
        app_->selectedLensIndex = 2;
        auto dlg = openDialog();
        QVERIFY(dlg);
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Camera and Lens"));
        QCOMPARE(listNames(list(dlg.get())), QStringList({"One", "Two", "Three"}));
        QCOMPARE(selectedRow(list(dlg.get())), -1);
        QCOMPARE(app_->selectedLensIndex, 2);
        for (int id : {1023, 1029, 1032}) QVERIFY(checked(dlg.get(), id));
        for (int id : {1024, 1025, 1026, 1030, 1033, 1034, 1035}) QVERIFY(!checked(dlg.get(), id));
        for (int id = 1037; id <= 1049; ++id) QVERIFY(box(dlg.get(), id)->text().isEmpty());
        for (int id : {1013, 1015, 1006, 1016, 1022, 1017, 1018}) QVERIFY(box(dlg.get(), id)->text().isEmpty());
        for (int id : {1022, 1018, 1021, 1036}) QVERIFY(box(dlg.get(), id)->isReadOnly());
        QVERIFY(control<QPushButton>(dlg.get(), 1)->isDefault());
        QCOMPARE(control<QPushButton>(dlg.get(), 1)->text(), QStringLiteral("Register"));
        QCOMPARE(control<QPushButton>(dlg.get(), 1027)->text(), QStringLiteral("Overwrite"));
        QCOMPARE(control<QPushButton>(dlg.get(), 1028)->text(), QStringLiteral("Delete"));
        QCOMPARE(control<QPushButton>(dlg.get(), 2)->text(), QStringLiteral("Return"));
    }

    void registerCases_data() {
        QTest::addColumn<int>("existing");  // records in the file before
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("expectedMessages");
        QTest::addColumn<int>("expectedCount");  // records in the file after
        QTest::newRow("first record creates the file") << 0 << "Fisheye 8mm" << QStringList() << 1;
        QTest::newRow("appended last") << 3 << "Fisheye 8mm" << QStringList() << 4;
        QTest::newRow("name already registered") << 2 << "Lens 1" << QStringList() << 3;
        QTest::newRow("Japanese name") << 1 << "魚眼レンズ８ｍｍ" << QStringList() << 2;
        QTest::newRow("blank name is a name") << 1 << " " << QStringList() << 2;
        QTest::newRow("empty name, no file") << 0 << "" << QStringList{kEnterName} << 0;
        QTest::newRow("empty name") << 2 << "" << QStringList{kEnterName} << 2;
        QTest::newRow("registry full") << 10 << "Eleventh" << QStringList{kRegistryFull} << 10;
        QTest::newRow("nine plus one") << 9 << "Tenth" << QStringList() << 10;
    }
    void registerCases() {
        QFETCH(int, existing);
        QFETCH(QString, name);
        QFETCH(QStringList, expectedMessages);
        QFETCH(int, expectedCount);
        std::vector<LensRecord> records;
        for (int i = 0; i < existing; ++i) records.push_back(lensRecord("Lens " + std::to_string(i)));
        if (existing > 0) writeRegistry(records);
        const QByteArray before = registryBytes();
        auto dlg = openDialog();
        QVERIFY(dlg);
        typeText(box(dlg.get(), 1049), name);
        int finished = -1;
        connect(dlg.get(), &QDialog::finished, this, [&finished](int r) { finished = r; });
        clickButton(control<QPushButton>(dlg.get(), 1));
        // Register closes the dialog in every case.
        QCOMPARE(finished, int(QDialog::Accepted));
        QVERIFY(!dlg->isVisible());
        QCOMPARE(messages_->texts(), expectedMessages);
        std::vector<std::string> names = registryNames();
        QCOMPARE(int(names.size()), expectedCount);
        if (expectedCount == existing) {
            QCOMPARE(registryBytes(), before);
            QCOMPARE(registryExists(), existing > 0);
        } else {
            QCOMPARE(QString::fromStdString(names.back()), name);
            for (int i = 0; i < existing; ++i) QCOMPARE(names[i], records[i].name);
        }
    }

    void registerStoresEveryField() {
        auto dlg = openDialog();
        QVERIFY(dlg);
        CameraDlg2* d = dlg.get();
        clickButton(control<QRadioButton>(d, 1024));  // diagonal fisheye
        QTest::keyClicks(box(d, 1013), QStringLiteral("1.05"));  // switches to magnification
        QTest::keyClicks(box(d, 1015), QStringLiteral("812"));   // switches to dots
        clickButton(control<QRadioButton>(d, 1024));  // and back to diagonal
        QTest::keyClicks(box(d, 1006), QStringLiteral("-12"));   // digits only: 12
        QTest::keyClicks(box(d, 1016), QStringLiteral("605"));
        QTest::keyClicks(box(d, 1017), QStringLiteral("0.4"));
        QTest::keyClicks(box(d, 1020), QStringLiteral("0.9"));
        QTest::keyClicks(box(d, 1031), QStringLiteral("1.3"));
        const char* coefficients[12] = {"0.11", "0.12", "0.13", "0.21", "0.22", "0.23",
                                        "0.31", "0.32", "0.33", "0.41", "0.42", "0.43"};
        for (int k = 0; k < 12; ++k) QTest::keyClicks(box(d, 1037 + k), QString::fromLatin1(coefficients[k]));
        spin(d, QStringLiteral("uuuuu"));  // k 1.05, "k of sin(kθ)"
        QTest::keyClicks(box(d, 1049), QStringLiteral("Full record"));
        clickButton(control<QPushButton>(d, 1));
        QVERIFY(messages_->texts().isEmpty());

        const LensRegistry registry = readRegistry();
        QCOMPARE(registry.count, 1);
        LensRecord expected = fullRecord("Full record");
        expected.sineK = "1.05";
        expected.axisX = 12;
        QCOMPARE(registry.records[0], expected);
        // One record is 24 lines, each ended by CR LF.
        QCOMPARE(registryBytes().count("\r\n"), 24);
    }

    void kSpin_data() {
        QTest::addColumn<int>("counter");  // sineKHundredths before
        QTest::addColumn<QString>("arrows");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("counterAfter");
        QTest::newRow("five up from the start") << 100 << "uuuuu" << "1.05" << 105;
        QTest::newRow("one down") << 100 << "d" << "0.99" << 99;
        QTest::newRow("below zero") << 0 << "d" << "-0.01" << -1;
        QTest::newRow("up and down") << 100 << "uudu" << "1.02" << 102;
        QTest::newRow("no limit above 100 steps") << 199 << "uu" << "2.01" << 201;
    }
    void kSpin() {
        QFETCH(int, counter);
        QFETCH(QString, arrows);
        QFETCH(QString, shown);
        QFETCH(int, counterAfter);
        app_->sineKHundredths = counter;
        auto dlg = openDialog();
        QVERIFY(dlg);
        spin(dlg.get(), arrows);
        QCOMPARE(box(dlg.get(), 1022)->text(), shown);
        QCOMPARE(app_->sineKHundredths, counterAfter);
        QVERIFY(checked(dlg.get(), 1034));
        QCOMPARE(dlg->mappingKind(), 2);
    }

    void kSpinCarriesOverToTheNextOpening() {
        {
            auto first = openDialog();
            QVERIFY(first);
            spin(first.get(), QStringLiteral("uuuuu"));
            QCOMPARE(box(first.get(), 1022)->text(), QStringLiteral("1.05"));
            clickButton(control<QPushButton>(first.get(), 2));
        }
        auto second = openDialog();
        QVERIFY(second);
        QVERIFY(box(second.get(), 1022)->text().isEmpty());
        QVERIFY(checked(second.get(), 1032));
        spin(second.get(), QStringLiteral("u"));
        QCOMPARE(box(second.get(), 1022)->text(), QStringLiteral("1.06"));
    }

    void kSpinContinuesFromItsCounterAfterAPick() {
        writeRegistry({fullRecord("k 0.75")});
        auto dlg = openDialog();
        QVERIFY(dlg);
        clickRow(list(dlg.get()), 0);
        QCOMPARE(box(dlg.get(), 1022)->text(), QStringLiteral("0.75"));
        spin(dlg.get(), QStringLiteral("u"));
        QCOMPARE(box(dlg.get(), 1022)->text(), QStringLiteral("1.01"));
    }

    void typingSwitchesRadios_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("radiusMode");
        QTest::addColumn<int>("axisMode");
        QTest::addColumn<int>("mappingKind");
        QTest::addColumn<int>("mirror");  // read-only box that follows, 0: none
        QTest::newRow("magnification") << 1013 << "1.05" << 2 << 0 << 0 << 0;
        QTest::newRow("dots") << 1015 << "800" << 3 << 0 << 0 << 0;
        QTest::newRow("axis x") << 1006 << "640" << 0 << 1 << 0 << 0;
        QTest::newRow("axis y") << 1016 << "480" << 0 << 0 << 0 << 0;
        QTest::newRow("first upper bound") << 1017 << "0.5" << 0 << 0 << 3 << 1018;
        QTest::newRow("second upper bound") << 1020 << "0.9" << 0 << 0 << 0 << 1021;
        QTest::newRow("third upper bound") << 1031 << "1.2" << 0 << 0 << 0 << 1036;
        QTest::newRow("a coefficient") << 1037 << "0.3" << 0 << 0 << 0 << 0;
        QTest::newRow("name") << 1049 << "Lens" << 0 << 0 << 0 << 0;
    }
    void typingSwitchesRadios() {
        QFETCH(int, id);
        QFETCH(QString, typed);
        QFETCH(int, radiusMode);
        QFETCH(int, axisMode);
        QFETCH(int, mappingKind);
        QFETCH(int, mirror);
        auto dlg = openDialog();
        QVERIFY(dlg);
        QTest::keyClicks(box(dlg.get(), id), typed);
        QCOMPARE(dlg->radiusMode(), radiusMode);
        QCOMPARE(dlg->axisMode(), axisMode);
        QCOMPARE(dlg->mappingKind(), mappingKind);
        QVERIFY(checked(dlg.get(), 1023 + radiusMode));
        QVERIFY(checked(dlg.get(), 1029 + axisMode));
        QVERIFY(checked(dlg.get(), 1032 + mappingKind));
        if (mirror) QCOMPARE(box(dlg.get(), mirror)->text(), typed);
    }

    void radioClicksAreRead() {
        auto dlg = openDialog();
        QVERIFY(dlg);
        clickButton(control<QRadioButton>(dlg.get(), 1026));
        clickButton(control<QRadioButton>(dlg.get(), 1030));
        clickButton(control<QRadioButton>(dlg.get(), 1035));
        QCOMPARE(dlg->radiusMode(), 3);
        QCOMPARE(dlg->axisMode(), 1);
        QCOMPARE(dlg->mappingKind(), 3);
        clickButton(control<QRadioButton>(dlg.get(), 1033));
        QCOMPARE(dlg->mappingKind(), 1);
        QVERIFY(!checked(dlg.get(), 1035));
    }

    void pickFillsEveryField() {
        LensRecord other = lensRecord("Other", 2, 3, 0);
        writeRegistry({other, fullRecord("Full")});
        auto dlg = openDialog();
        QVERIFY(dlg);
        CameraDlg2* d = dlg.get();
        clickRow(list(d), 1);
        QCOMPARE(app_->selectedLensIndex, 1);
        const std::pair<int, const char*> shown[] = {
            {1049, "Full"}, {1013, "1.05"}, {1022, "0.75"}, {1017, "0.4"},  {1018, "0.4"},  {1020, "0.9"},
            {1021, "0.9"},  {1031, "1.3"},  {1036, "1.3"},  {1037, "0.11"}, {1042, "0.23"}, {1048, "0.43"},
            {1015, "812"},  {1006, "-12"},  {1016, "605"}};
        for (const auto& [id, text] : shown) QCOMPARE(box(d, id)->text(), QString::fromUtf8(text));
        // The record decides the radios, whatever the filled boxes switched.
        QCOMPARE(d->radiusMode(), 1);
        QCOMPARE(d->mappingKind(), 2);
        QCOMPARE(d->axisMode(), 1);
        QVERIFY(checked(d, 1024));
        QVERIFY(checked(d, 1034));
        QVERIFY(checked(d, 1030));
        clickRow(list(d), 0);
        QCOMPARE(d->radiusMode(), 2);
        QCOMPARE(d->mappingKind(), 3);
        QCOMPARE(d->axisMode(), 0);
        QCOMPARE(box(d, 1021)->text(), QString());
        QCOMPARE(box(d, 1006)->text(), QStringLiteral("0"));
        QCOMPARE(app_->selectedLensIndex, 0);
    }

    void deleteAndOverwrite_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("newName");  // typed over the name for Overwrite
        QTest::addColumn<QStringList>("namesAfter");
        QTest::newRow("delete second of four") << "delete" << 1 << "" << QStringList({"A", "C", "D"});
        QTest::newRow("delete first") << "delete" << 0 << "" << QStringList({"B", "C", "D"});
        QTest::newRow("delete last") << "delete" << 3 << "" << QStringList({"A", "B", "C"});
        QTest::newRow("overwrite third") << "overwrite" << 2 << "C2" << QStringList({"A", "B", "C2", "D"});
        QTest::newRow("overwrite with empty name") << "overwrite" << 0 << "" << QStringList({"", "B", "C", "D"});
    }
    void deleteAndOverwrite() {
        QFETCH(QString, button);
        QFETCH(int, row);
        QFETCH(QString, newName);
        QFETCH(QStringList, namesAfter);
        writeRegistry({lensRecord("A"), fullRecord("B"), lensRecord("C", 3, 2, 1), lensRecord("D")});
        const LensRegistry before = readRegistry();
        auto dlg = openDialog();
        QVERIFY(dlg);
        CameraDlg2* d = dlg.get();
        clickRow(list(d), row);
        const bool overwrite = button == QLatin1String("overwrite");
        if (overwrite) {
            replaceText(box(d, 1049), newName);
            replaceText(box(d, 1016), QStringLiteral("77"));
        }
        clickButton(control<QPushButton>(d, overwrite ? 1027 : 1028));
        QVERIFY(d->isVisible());
        QVERIFY(messages_->texts().isEmpty());
        QCOMPARE(listNames(list(d)), namesAfter);
        QCOMPARE(selectedRow(list(d)), -1);
        std::vector<std::string> names = registryNames();
        QStringList onDisk;
        for (const std::string& n : names) onDisk.append(QString::fromStdString(n));
        QCOMPARE(onDisk, namesAfter);
        const LensRegistry after = readRegistry();
        if (overwrite) {
            LensRecord expected = before.records[row];
            expected.name = newName.toStdString();
            expected.axisY = 77;
            // Typing y switches no radio: the modes stay those of the pick.
            QCOMPARE(after.records[row], expected);
            for (int i = 0; i < after.count; ++i)
                if (i != row) QCOMPARE(after.records[i], before.records[i]);
        } else {
            for (int i = 0, j = 0; i < before.count; ++i)
                if (i != row) QCOMPARE(after.records[j++], before.records[i]);
        }
        // Fields stay as they were.
        QCOMPARE(box(d, 1049)->text(), overwrite ? newName : QString::fromStdString(before.records[row].name));
    }

    void overwriteAndDeleteNeedASelection_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("before");  // what happened before the press
        QTest::newRow("overwrite after opening") << "overwrite" << "open";
        QTest::newRow("delete after opening") << "delete" << "open";
        QTest::newRow("delete after a delete") << "delete" << "delete";
        QTest::newRow("overwrite after an overwrite") << "overwrite" << "overwrite";
    }
    void overwriteAndDeleteNeedASelection() {
        QFETCH(QString, button);
        QFETCH(QString, before);
        writeRegistry({lensRecord("A"), lensRecord("B"), lensRecord("C")});
        app_->selectedLensIndex = 1;  // left over from an earlier opening
        auto dlg = openDialog();
        QVERIFY(dlg);
        CameraDlg2* d = dlg.get();
        if (before == QLatin1String("delete")) {
            clickRow(list(d), 0);
            clickButton(control<QPushButton>(d, 1028));
        } else if (before == QLatin1String("overwrite")) {
            clickRow(list(d), 2);
            replaceText(box(d, 1049), QStringLiteral("C2"));
            clickButton(control<QPushButton>(d, 1027));
        }
        const QByteArray bytes = registryBytes();
        const QStringList shown = listNames(list(d));
        replaceText(box(d, 1049), QStringLiteral("Changed"));
        clickButton(control<QPushButton>(d, button == QLatin1String("overwrite") ? 1027 : 1028));
        QCOMPARE(registryBytes(), bytes);
        QCOMPARE(listNames(list(d)), shown);
        QVERIFY(d->isVisible());
    }

    void returnWritesNothing_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Return") << "return";
        QTest::newRow("Escape") << "escape";
        QTest::newRow("close box") << "close";
    }
    void returnWritesNothing() {
        QFETCH(QString, how);
        writeRegistry({lensRecord("A")});
        const QByteArray bytes = registryBytes();
        auto dlg = openDialog();
        QVERIFY(dlg);
        QTest::keyClicks(box(dlg.get(), 1049), QStringLiteral("Not registered"));
        int finished = -1;
        connect(dlg.get(), &QDialog::finished, this, [&finished](int r) { finished = r; });
        if (how == QLatin1String("return")) clickButton(control<QPushButton>(dlg.get(), 2));
        if (how == QLatin1String("escape")) QTest::keyClick(box(dlg.get(), 1049), Qt::Key_Escape);
        if (how == QLatin1String("close")) dlg->close();
        QCOMPARE(finished, int(QDialog::Rejected));
        QCOMPARE(registryBytes(), bytes);
        QVERIFY(messages_->texts().isEmpty());
    }

    void enterRegisters() {
        auto dlg = openDialog();
        QVERIFY(dlg);
        QTest::keyClicks(box(dlg.get(), 1049), QStringLiteral("By Enter"));
        QTest::keyClick(box(dlg.get(), 1049), Qt::Key_Return);
        QVERIFY(!dlg->isVisible());
        QCOMPARE(registryNames(), std::vector<std::string>{"By Enter"});
    }
};

QTEST_MAIN(CameraDialogTests)
#include "camera_dialog_tests.moc"
