// The main dialog as its user meets it: defaults at start, the zenith
// up-down controls, the Height box, point entry modes, the two "clear"
// buttons, the lens lists, the window menu with the About box, closing, and
// the run's refusals as message boxes.
#include <memory>

#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include "conversion/run.h"
#include "tests/ui/ui_test_support.h"
#include "ui/about_dialog.h"
#include "ui/app.h"
#include "ui/camera_dialog.h"
#include "ui/main_dialog.h"
#include "ui/up_down_control.h"

using namespace vistereo;
using namespace vistereo::testing;

class MainDialogTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScratchDirectory> scratch_;
    std::unique_ptr<MessageCollector> messages_;
    std::unique_ptr<CMyVistereoApp> app_;

    // Opens the main dialog on the current working directory.
    std::unique_ptr<CMyVistereoDlg> openDialog() {
        auto dlg = std::make_unique<CMyVistereoDlg>(*app_);
        dlg->show();
        if (!QTest::qWaitForWindowExposed(dlg.get())) return nullptr;
        return dlg;
    }
    QLineEdit* box(CMyVistereoDlg* dlg, int id) { return control<QLineEdit>(dlg, id); }

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

    void startsWithTheDefaults() {
        writeRegistry({lensRecord("Fisheye A"), lensRecord("Fisheye B")});
        auto dlg = openDialog();
        QVERIFY(dlg);
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Vistereo"));
        QCOMPARE(box(dlg.get(), 1012)->text(), QStringLiteral("L.jpg"));
        QCOMPARE(box(dlg.get(), 1016)->text(), QStringLiteral("R.jpg"));
        QCOMPARE(box(dlg.get(), 1017)->text(), QStringLiteral("LROut.jpg"));
        QCOMPARE(box(dlg.get(), 1013)->text(), QStringLiteral("4096"));
        QCOMPARE(box(dlg.get(), 1011)->text(), QStringLiteral("8192"));
        QCOMPARE(app_->conversionParams.outputHeight, 4096);
        QVERIFY(control<QRadioButton>(dlg.get(), 1023)->isChecked());
        QVERIFY(!control<QRadioButton>(dlg.get(), 1024)->isChecked());
        QCOMPARE(dlg->pointEntryMode(), 0);
        for (int id : {1029, 1030}) {
            auto* list = control<QListWidget>(dlg.get(), id);
            QCOMPARE(listNames(list), QStringList({"Fisheye A", "Fisheye B"}));
            QCOMPARE(selectedRow(list), -1);
        }
        for (int id : {1020, 1021, 1022, 1002, 1003, 1004, 1005, 1007, 1008, 1009, 1010, 1015})
            QVERIFY2(box(dlg.get(), id)->text().isEmpty(), qPrintable(QString::number(id)));
        for (int id : {1011, 1020, 1021, 1022}) QVERIFY(box(dlg.get(), id)->isReadOnly());
        QVERIFY(control<QPushButton>(dlg.get(), 1)->isDefault());
        QVERIFY(control<QPushButton>(dlg.get(), 1028));  // "Get A,B"
        QVERIFY(app_->conversionParams.eye[0].lensName.empty());
        QVERIFY(app_->conversionParams.eye[1].lensName.empty());
        QVERIFY(messages_->texts().isEmpty());
    }

    void missingRegistryGivesEmptyLists() {
        auto dlg = openDialog();
        QVERIFY(dlg);
        QCOMPARE(control<QListWidget>(dlg.get(), 1029)->count(), 0);
        QCOMPARE(control<QListWidget>(dlg.get(), 1030)->count(), 0);
    }

    void tabOrderFollowsTheTemplate() {
        auto dlg = openDialog();
        QVERIFY(dlg);
        const QList<int> templateOrder = {1,    2,    1002, 1003, 1004, 1005, 1007, 1008, 1009, 1010, 1011,
                                          1012, 1014, 1018, 1019, 1020, 1021, 1022, 1027, 1029, 1030, 1023,
                                          1024, 1013, 1015, 1016, 1017, 1028, 1055, 1056};
        QList<int> chain;
        QWidget* w = dlg.get();
        do {
            w = w->nextInFocusChain();
            const QString name = w->objectName();
            if (name.startsWith(QLatin1String("id")) && w->parentWidget() == dlg.get() &&
                w->focusPolicy() != Qt::NoFocus)
                chain.append(name.mid(2).toInt());
        } while (w != dlg.get());
        QCOMPARE(chain, templateOrder);
    }

    void zenithSteps_data() {
        QTest::addColumn<int>("control");
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("arrows");  // u: upper arrow, d: lower arrow, c: "clear"
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("tenths");
        QTest::newRow("pitch up once") << 1014 << 1020 << "u" << "0.1" << 1;
        QTest::newRow("pitch up three times") << 1014 << 1020 << "uuu" << "0.3" << 3;
        QTest::newRow("pitch down from zero") << 1014 << 1020 << "d" << "-0.1" << -1;
        QTest::newRow("pitch up then down") << 1014 << 1020 << "uud" << "0.1" << 1;
        QTest::newRow("roll down five times") << 1018 << 1021 << "ddddd" << "-0.5" << -5;
        QTest::newRow("yaw up twelve times") << 1019 << 1022 << "uuuuuuuuuuuu" << "1.2" << 12;
        QTest::newRow("clear shows 0") << 1014 << 1020 << "uuc" << "0" << 0;
        QTest::newRow("up after clear") << 1018 << 1021 << "dddcu" << "0.1" << 1;
    }
    void zenithSteps() {
        QFETCH(int, control);
        QFETCH(int, box);
        QFETCH(QString, arrows);
        QFETCH(QString, shown);
        QFETCH(int, tenths);
        auto dlg = openDialog();
        QVERIFY(dlg);
        auto* upDown = testing::control<UpDownControl>(dlg.get(), control);
        QVERIFY(upDown);
        for (const QChar a : arrows) {
            if (a == QLatin1Char('u')) clickButton(upDown->upArrow());
            if (a == QLatin1Char('d')) clickButton(upDown->downArrow());
            if (a == QLatin1Char('c')) clickButton(testing::control<QPushButton>(dlg.get(), 1056));
        }
        QCOMPARE(this->box(dlg.get(), box)->text(), shown);
        const ConversionParams& p = app_->conversionParams;
        const ZenithAxis axis = control == 1014 ? ZenithAxis::Pitch : control == 1018 ? ZenithAxis::Roll : ZenithAxis::Yaw;
        const double angle = axis == ZenithAxis::Pitch ? p.pitch : axis == ZenithAxis::Roll ? p.roll : p.yaw;
        QCOMPARE(zenithTenths(p, axis), tenths);
        QCOMPARE(angle, tenths / 1800.0 * 3.14159265);
        // The other two angles are untouched.
        int others = 0;
        for (ZenithAxis a : {ZenithAxis::Pitch, ZenithAxis::Roll, ZenithAxis::Yaw})
            if (a != axis) others += std::abs(zenithTenths(p, a));
        QCOMPARE(others, 0);
    }

    void zenithArrowKeys() {
        auto dlg = openDialog();
        QVERIFY(dlg);
        auto* yaw = control<UpDownControl>(dlg.get(), 1019);
        yaw->setFocus();
        QTest::keyClick(yaw, Qt::Key_Up);
        QTest::keyClick(yaw, Qt::Key_Up);
        QTest::keyClick(yaw, Qt::Key_Down);
        QCOMPARE(box(dlg.get(), 1022)->text(), QStringLiteral("0.1"));
        QCOMPARE(app_->conversionParams.yawTenths, 1);
    }

    void clearZenithResetsAllThree() {
        auto dlg = openDialog();
        QVERIFY(dlg);
        clickButton(control<UpDownControl>(dlg.get(), 1014)->upArrow());
        clickButton(control<UpDownControl>(dlg.get(), 1018)->downArrow());
        clickButton(control<UpDownControl>(dlg.get(), 1019)->upArrow());
        clickButton(control<QPushButton>(dlg.get(), 1056));
        for (int id : {1020, 1021, 1022}) QCOMPARE(box(dlg.get(), id)->text(), QStringLiteral("0"));
        const ConversionParams& p = app_->conversionParams;
        QCOMPARE(p.pitchTenths + p.rollTenths * 7 + p.yawTenths * 13, 0);
        QCOMPARE(p.pitch, 0.0);
        QCOMPARE(p.roll, 0.0);
        QCOMPARE(p.yaw, 0.0);
    }

    void heightDrivesWidth_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("height");
        QTest::addColumn<QString>("width");
        QTest::addColumn<int>("outputHeight");
        QTest::newRow("2000") << "2000" << "2000" << "4000" << 2000;
        QTest::newRow("emptied") << "" << "" << "0" << 0;
        QTest::newRow("letters and minus are refused") << "-12ab3" << "123" << "246" << 123;
        QTest::newRow("one") << "1" << "1" << "2" << 1;
        QTest::newRow("beyond 32 bits reads as 0") << "99999999999" << "99999999999" << "0" << 0;
    }
    void heightDrivesWidth() {
        QFETCH(QString, typed);
        QFETCH(QString, height);
        QFETCH(QString, width);
        QFETCH(int, outputHeight);
        auto dlg = openDialog();
        QVERIFY(dlg);
        replaceText(box(dlg.get(), 1013), typed);
        QCOMPARE(box(dlg.get(), 1013)->text(), height);
        QCOMPARE(box(dlg.get(), 1011)->text(), width);
        QCOMPARE(app_->conversionParams.outputHeight, outputHeight);
    }

    void digitsOnlyBoxes_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::newRow("A Left x") << 1002 << "-12.5" << "125";
        QTest::newRow("B Right y") << 1010 << "4 0x0" << "400";
        QTest::newRow("comma line takes anything") << 1015 << "1, 2,-3" << "1, 2,-3";
        QTest::newRow("file name takes anything") << 1017 << "out-1.png" << "LROut.jpgout-1.png";
    }
    void digitsOnlyBoxes() {
        QFETCH(int, id);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        auto dlg = openDialog();
        QVERIFY(dlg);
        QLineEdit* b = box(dlg.get(), id);
        b->setFocus();
        b->end(false);
        QTest::keyClicks(b, typed);
        QCOMPARE(b->text(), shown);
    }

    void pointEntryMode_data() {
        QTest::addColumn<int>("startRadio");
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("mode");
        QTest::newRow("comma line selects comma input") << 1023 << 1015 << 1;
        QTest::newRow("A Left x selects separate input") << 1024 << 1002 << 0;
        QTest::newRow("A Left y leaves comma input") << 1024 << 1003 << 1;
        QTest::newRow("A Right x leaves comma input") << 1024 << 1004 << 1;
        QTest::newRow("B Left x leaves comma input") << 1024 << 1007 << 1;
        QTest::newRow("B Right y leaves comma input") << 1024 << 1010 << 1;
        QTest::newRow("B Right x leaves separate input") << 1023 << 1009 << 0;
    }
    void pointEntryMode() {
        QFETCH(int, startRadio);
        QFETCH(int, id);
        QFETCH(int, mode);
        auto dlg = openDialog();
        QVERIFY(dlg);
        clickButton(control<QRadioButton>(dlg.get(), startRadio));
        QCOMPARE(dlg->pointEntryMode(), startRadio == 1023 ? 0 : 1);
        QTest::keyClicks(box(dlg.get(), id), QStringLiteral("12"));
        QCOMPARE(dlg->pointEntryMode(), mode);
        QCOMPARE(control<QRadioButton>(dlg.get(), 1023)->isChecked(), mode == 0);
        QCOMPARE(control<QRadioButton>(dlg.get(), 1024)->isChecked(), mode == 1);
    }

    void settingALeftXFromTheProgramSelectsSeparateInput() {
        auto dlg = openDialog();
        QVERIFY(dlg);
        clickButton(control<QRadioButton>(dlg.get(), 1024));
        QCOMPARE(dlg->pointEntryMode(), 1);
        box(dlg.get(), 1002)->setText(QStringLiteral("321"));  // as the point picker writes back
        QCOMPARE(dlg->pointEntryMode(), 0);
        QVERIFY(control<QRadioButton>(dlg.get(), 1023)->isChecked());
    }

    void clearPoints_data() {
        QTest::addColumn<QString>("aLeftX");  // what the x of "A Left" shows before
        QTest::newRow("after typing") << "77";
        QTest::newRow("already 0") << "0";
    }
    void clearPoints() {
        QFETCH(QString, aLeftX);
        auto dlg = openDialog();
        QVERIFY(dlg);
        QTest::keyClicks(box(dlg.get(), 1002), aLeftX);
        QTest::keyClicks(box(dlg.get(), 1009), QStringLiteral("55"));
        QTest::keyClicks(box(dlg.get(), 1015), QStringLiteral("1,2,3,4,5,6,7,8"));
        QCOMPARE(dlg->pointEntryMode(), 1);
        const ImagePoint leftA = app_->conversionParams.leftA;
        clickButton(control<QPushButton>(dlg.get(), 1055));
        for (int id : {1002, 1003, 1004, 1005, 1007, 1008, 1009, 1010})
            QCOMPARE(box(dlg.get(), id)->text(), QStringLiteral("0"));
        QCOMPARE(dlg->pointEntryMode(), 0);
        QVERIFY(control<QRadioButton>(dlg.get(), 1023)->isChecked());
        QCOMPARE(box(dlg.get(), 1015)->text(), QStringLiteral("1,2,3,4,5,6,7,8"));
        QCOMPARE(app_->conversionParams.leftA, leftA);
    }

    void lensSelection_data() {
        QTest::addColumn<int>("list");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("magnification");
        QTest::addColumn<double>("sineK");
        QTest::addColumn<int>("radius180");
        QTest::newRow("left list, first") << 1029 << 0 << "Plain" << 1.05 << 0.75 << 800;
        QTest::newRow("left list, trailing letters") << 1029 << 1 << "Suffixed" << 1.05 << 0.0 << 0;
        QTest::newRow("right list, second") << 1030 << 1 << "Suffixed" << 1.05 << 0.0 << 0;
        QTest::newRow("right list, same name twice") << 1030 << 2 << "Plain" << 2.5 << 1.5 << -12;
    }
    void lensSelection() {
        QFETCH(int, list);
        QFETCH(int, row);
        QFETCH(QString, name);
        QFETCH(double, magnification);
        QFETCH(double, sineK);
        QFETCH(int, radius180);
        LensRecord plain = lensRecord("Plain", 3, 2, 1);
        plain.magnification = "1.05";
        plain.sineK = "0.75";
        plain.radiusDots = 800;
        plain.axisX = 640;
        plain.axisY = 480;
        LensRecord suffixed = lensRecord("Suffixed", 2, 3, 0);
        suffixed.magnification = "1.05x";
        suffixed.theta1 = "0.5";
        LensRecord second = lensRecord("Plain", 3, 2, 1);
        second.magnification = " 2.5";
        second.sineK = "1.5e0";
        second.radiusDots = -12;
        writeRegistry({plain, suffixed, second});
        auto dlg = openDialog();
        QVERIFY(dlg);
        clickRow(control<QListWidget>(dlg.get(), list), row);
        const int eye = list == 1029 ? 0 : 1;
        const EyeParams& chosen = app_->conversionParams.eye[eye];
        const EyeParams& other = app_->conversionParams.eye[1 - eye];
        QCOMPARE(QString::fromStdString(chosen.lensName), name);
        QCOMPARE(chosen.magnification, magnification);
        QCOMPARE(chosen.sineK, sineK);
        QCOMPARE(chosen.radius180, radius180);
        const LensRecord& source = app_->mainLensRegistry.records[row];
        QCOMPARE(chosen.radiusMode, source.radiusMode);
        QCOMPARE(chosen.mappingKind, source.mappingKind);
        QCOMPARE(chosen.axisMode, source.axisMode);
        QCOMPARE(chosen.axisX, source.axisX);
        QVERIFY(other.lensName.empty());
        QCOMPARE(other.magnification, 0.0);
        QVERIFY(messages_->texts().isEmpty());
    }

    void sameRecordForBothEyes() {
        LensRecord r = lensRecord("Shared", 1, 0, 0);
        r.magnification = "1.2";
        writeRegistry({lensRecord("First"), r});
        auto dlg = openDialog();
        QVERIFY(dlg);
        clickRow(control<QListWidget>(dlg.get(), 1029), 1);
        clickRow(control<QListWidget>(dlg.get(), 1030), 1);
        QCOMPARE(app_->conversionParams.eye[0].lensName, std::string("Shared"));
        QCOMPARE(app_->conversionParams.eye[1].lensName, std::string("Shared"));
        QCOMPARE(app_->conversionParams.eye[0].magnification, app_->conversionParams.eye[1].magnification);
        QCOMPARE(selectedRow(control<QListWidget>(dlg.get(), 1029)), 1);
        QCOMPARE(selectedRow(control<QListWidget>(dlg.get(), 1030)), 1);
    }

    void registrationRefillsListsAndKeepsEyes_data() {
        QTest::addColumn<QString>("how");  // how the registration dialog closes
        QTest::addColumn<QStringList>("names");
        QTest::newRow("Register") << "register" << QStringList({"Old lens", "Other", "New lens"});
        QTest::newRow("Return") << "return" << QStringList({"Old lens", "Other"});
        QTest::newRow("Escape") << "escape" << QStringList({"Old lens", "Other"});
        QTest::newRow("close box") << "close" << QStringList({"Old lens", "Other"});
    }
    void registrationRefillsListsAndKeepsEyes() {
        QFETCH(QString, how);
        QFETCH(QStringList, names);
        LensRecord old = lensRecord("Old lens", 3);
        old.radiusDots = 700;
        writeRegistry({old, lensRecord("Other")});
        auto dlg = openDialog();
        QVERIFY(dlg);
        clickRow(control<QListWidget>(dlg.get(), 1029), 0);
        clickRow(control<QListWidget>(dlg.get(), 1030), 1);
        // Someone else changes the file while the dialog is open: the lists
        // show it after the registration dialog, the eyes do not.
        LensRecord changed = old;
        changed.radiusDots = 900;
        writeRegistry({changed, lensRecord("Other")});

        bool timedOut = false;
        whenModal<CameraDlg2>(
            [how](CameraDlg2* reg) {
                if (how == QLatin1String("register")) {
                    QTest::keyClicks(control<QLineEdit>(reg, 1049), QStringLiteral("New lens"));
                    clickButton(control<QPushButton>(reg, 1));
                } else if (how == QLatin1String("return")) {
                    clickButton(control<QPushButton>(reg, 2));
                } else if (how == QLatin1String("escape")) {
                    QTest::keyClick(reg, Qt::Key_Escape);
                } else {
                    reg->close();
                }
            },
            &timedOut);
        clickButton(control<QPushButton>(dlg.get(), 1027));
        QVERIFY(!timedOut);
        for (int id : {1029, 1030}) {
            QCOMPARE(listNames(control<QListWidget>(dlg.get(), id)), names);
            QCOMPARE(selectedRow(control<QListWidget>(dlg.get(), id)), -1);
        }
        QCOMPARE(app_->mainLensRegistry.count, names.size());
        QCOMPARE(app_->conversionParams.eye[0].lensName, std::string("Old lens"));
        QCOMPARE(app_->conversionParams.eye[0].radius180, 700);
        QCOMPARE(app_->conversionParams.eye[1].lensName, std::string("Other"));
        // A new pick takes the changed record over.
        clickRow(control<QListWidget>(dlg.get(), 1029), 0);
        QCOMPARE(app_->conversionParams.eye[0].radius180, 900);
    }

    void aboutBox_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("window menu") << "menu";
        QTest::newRow("F1") << "f1";
        QTest::newRow("right click, then A") << "right click";
    }
    void aboutBox() {
        QFETCH(QString, how);
        auto dlg = openDialog();
        QVERIFY(dlg);
        QTest::keyClicks(box(dlg.get(), 1004), QStringLiteral("42"));
        QString title, version;
        bool timedOut = false;
        whenModal<CAboutDlg>(
            [&](CAboutDlg* about) {
                title = about->windowTitle();
                if (auto* text = about->findChild<QLabel*>(QStringLiteral("versionText"))) version = text->text();
                clickButton(control<QPushButton>(about, 1));
            },
            &timedOut);
        if (how == QLatin1String("menu")) {
            QAction* item = nullptr;
            for (QAction* a : dlg->systemMenu()->actions())
                if (a->text() == QStringLiteral("Vistereoについて(&A)...")) item = a;
            QVERIFY(item);
            item->trigger();
        } else if (how == QLatin1String("f1")) {
            QTest::keyClick(box(dlg.get(), 1004), Qt::Key_F1);
        } else {
            // A right click on the dialog's background opens the window menu;
            // its mnemonic A chooses the About item.
            bool menuShown = false;
            QTimer::singleShot(50, this, [&menuShown, &dlg] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                menuShown = menu && menu == dlg->systemMenu();
                if (menu) QTest::keyClick(menu, Qt::Key_A);
            });
            const QPoint background(dlg->width() - 4, 4);
            QVERIFY(dlg->childAt(background) == nullptr);
            QContextMenuEvent click(QContextMenuEvent::Mouse, background, dlg->mapToGlobal(background));
            QApplication::sendEvent(dlg.get(), &click);
            QVERIFY(menuShown);
        }
        QVERIFY(!timedOut);
        QCOMPARE(title, QStringLiteral("About Vistereo"));
        QCOMPARE(version, QStringLiteral("Vistereo、Version 1.3"));
        QVERIFY(dlg->isVisible());
        QCOMPARE(box(dlg.get(), 1004)->text(), QStringLiteral("42"));
        QCOMPARE(box(dlg.get(), 1013)->text(), QStringLiteral("4096"));
    }

    void closing_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Finish") << "finish";
        QTest::newRow("Escape") << "escape";
        QTest::newRow("close box") << "close";
        QTest::newRow("Enter on a focused Finish") << "enter on finish";
    }
    void closing() {
        QFETCH(QString, how);
        auto dlg = openDialog();
        QVERIFY(dlg);
        int finished = -1;
        connect(dlg.get(), &QDialog::finished, this, [&finished](int result) { finished = result; });
        if (how == QLatin1String("finish")) clickButton(control<QPushButton>(dlg.get(), 2));
        if (how == QLatin1String("escape")) QTest::keyClick(box(dlg.get(), 1012), Qt::Key_Escape);
        if (how == QLatin1String("close")) dlg->close();
        if (how == QLatin1String("enter on finish")) {
            auto* finish = control<QPushButton>(dlg.get(), 2);
            finish->setFocus();
            QTest::keyClick(finish, Qt::Key_Return);
        }
        QCOMPARE(finished, int(QDialog::Rejected));
        QVERIFY(!dlg->isVisible());
        QVERIFY(messages_->texts().isEmpty());
    }

    void runRefusals_data() {
        QTest::addColumn<int>("leftLens");   // row picked in the left list, -1: none
        QTest::addColumn<int>("rightLens");
        QTest::addColumn<QString>("commaLine");  // empty: the eight boxes as typed below
        QTest::addColumn<QStringList>("boxes");  // 1002, 1003, 1004, 1005, 1007, 1008, 1009, 1010
        QTest::addColumn<QStringList>("expected");
        const QStringList none;
        const QStringList distinct = {"100", "200", "110", "205", "300", "400", "310", "395"};
        QTest::newRow("no lens at all") << -1 << -1 << "" << distinct << QStringList{kMsgSelectLens};
        QTest::newRow("right lens missing") << 0 << -1 << "" << distinct << QStringList{kMsgSelectLens};
        QTest::newRow("left lens missing") << -1 << 0 << "" << distinct << QStringList{kMsgSelectLens};
        QTest::newRow("untouched boxes") << 0 << 1 << "" << none << QStringList{kMsgBadPoints};
        QTest::newRow("same points in both images")
            << 0 << 0 << "" << QStringList{"100", "200", "100", "200", "300", "400", "300", "400"}
            << QStringList{kMsgBadPoints};
        QTest::newRow("one value differs, no images")
            << 0 << 0 << "" << QStringList{"100", "200", "100", "201", "300", "400", "300", "400"}
            << QStringList{kMsgBadLeftImage};
        QTest::newRow("comma line, no images")
            << 1 << 0 << "1,2,3,4,5,6,7,8" << none << QStringList{kMsgBadLeftImage};
    }
    void runRefusals() {
        QFETCH(int, leftLens);
        QFETCH(int, rightLens);
        QFETCH(QString, commaLine);
        QFETCH(QStringList, boxes);
        QFETCH(QStringList, expected);
        writeRegistry({lensRecord("Lens one"), lensRecord("Lens two")});
        auto dlg = openDialog();
        QVERIFY(dlg);
        if (leftLens >= 0) clickRow(control<QListWidget>(dlg.get(), 1029), leftLens);
        if (rightLens >= 0) clickRow(control<QListWidget>(dlg.get(), 1030), rightLens);
        const int ids[8] = {1002, 1003, 1004, 1005, 1007, 1008, 1009, 1010};
        for (int k = 0; k < boxes.size(); ++k) QTest::keyClicks(box(dlg.get(), ids[k]), boxes[k]);
        if (!commaLine.isEmpty()) QTest::keyClicks(box(dlg.get(), 1015), commaLine);
        clickButton(control<QPushButton>(dlg.get(), 1));
        QCOMPARE(messages_->texts(), expected);
        QVERIFY(!dlg->conversionRunning());
        QVERIFY(dlg->isVisible());
        QVERIFY(!QFile::exists(QStringLiteral("output/LROut.jpg")));
    }

    void commaLinePointsReachTheParameters() {
        writeRegistry({lensRecord("Lens")});
        auto dlg = openDialog();
        QVERIFY(dlg);
        clickRow(control<QListWidget>(dlg.get(), 1029), 0);
        clickRow(control<QListWidget>(dlg.get(), 1030), 0);
        QTest::keyClicks(box(dlg.get(), 1002), QStringLiteral("999"));  // ignored in comma mode
        QTest::keyClicks(box(dlg.get(), 1015), QStringLiteral(" 1, 2 ,3,4,5,6,7,20px,"));
        clickButton(control<QPushButton>(dlg.get(), 1));
        QCOMPARE(messages_->texts(), QStringList{kMsgBadLeftImage});
        const ConversionParams& p = app_->conversionParams;
        QCOMPARE(p.leftA, (ImagePoint{1, 5}));
        QCOMPARE(p.leftB, (ImagePoint{2, 6}));
        QCOMPARE(p.rightA, (ImagePoint{3, 7}));
        QCOMPARE(p.rightB, (ImagePoint{4, 20}));
        QCOMPARE(box(dlg.get(), 1002)->text(), QStringLiteral("999"));
    }

    void shortCommaLineShowsTheRunsMessage() {
        writeRegistry({lensRecord("Lens")});
        auto dlg = openDialog();
        QVERIFY(dlg);
        clickRow(control<QListWidget>(dlg.get(), 1029), 0);
        clickRow(control<QListWidget>(dlg.get(), 1030), 0);
        QTest::keyClicks(box(dlg.get(), 1015), QStringLiteral("1,2,3"));
        clickButton(control<QPushButton>(dlg.get(), 1));
        QCOMPARE(messages_->texts().size(), 1);
        QCOMPARE(messages_->texts().first().toStdString(), parseCommaLine("1,2,3").error);
    }

    void enterStartsTheConversion() {
        auto dlg = openDialog();
        QVERIFY(dlg);
        QLineEdit* name = box(dlg.get(), 1017);
        name->setFocus();
        QTest::keyClick(name, Qt::Key_Return);
        QCOMPARE(messages_->texts(), QStringList{kMsgSelectLens});
        QVERIFY(dlg->isVisible());
    }
};

QTEST_MAIN(MainDialogTests)
#include "main_dialog_tests.moc"
