// The dialogs driven as a user would, headless: the main dialog, the registration dialog (the registry file checked
// on disk), the point picker and "Get A,B", whole conversions started from the main dialog, the batch window and the
// video window.
// Each test function (each data row) runs in a fresh working directory with message boxes collected in `messages_`.
#include <algorithm>
#include <cmath>
#include <memory>
#include <type_traits>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QProgressDialog>
#include <QScreen>
#include <QSettings>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "conversion/auto_align.h"
#include "lens/lens_selection.h"
#include "conversion/run.h"
#include "videofile/video_reader.h"
#include "registry/lens_registry.h"
#include "registry/registry_writes.h"
#include "tests/support/crafted_images.h"
#include "tests/support/scratch.h"
#include "tests/support/synth.h"
#include "tests/support/synth_video.h"
#include "ui/about_dialog.h"
#include "ui/windows/add_lens_guide.h"
#include "ui/app.h"
#include "ui/windows/batch_dialog.h"
#include "ui/camera_dialog.h"
#include "ui/widgets/dialog_layout.h"
#include "ui/widgets/figure_verdicts.h"
#include "ui/lr_point_dialog.h"
#include "ui/main_dialog.h"
#include "ui/widgets/message_box.h"
#include "ui/windows/preview_dialog.h"
#include "ui/widgets/up_down_control.h"
#include "ui/widgets/user_settings.h"
#include "ui/windows/video_dialog.h"

using namespace vistereo;

namespace {

template <class T = QWidget>
T* control(QWidget* dialog, int id) {
    return dialog->findChild<T*>(QStringLiteral("id%1").arg(id));
}

LensRecord lensRecord(const std::string& name, int radiusMode = 0, int mappingKind = 1, int axisMode = 0) {
    LensRecord r;
    r.name = name, r.radiusMode = radiusMode, r.mappingKind = mappingKind, r.axisMode = axisMode;
    return r;
}

void writeRegistry(const std::vector<LensRecord>& records) {  // Vistereo.ini in the working directory
    LensRegistry registry;
    std::copy(records.begin(), records.end(), registry.records.begin());
    QVERIFY(SaveLensRegistry(registry, static_cast<int>(records.size()), std::nullopt, kLensRegistryFileName));
}

std::vector<LensRecord> readRegistry() {
    LensRegistry registry;
    LoadLensRegistry(registry, kLensRegistryFileName);
    return {registry.records.begin(), registry.records.begin() + registry.count};
}

QStringList registryNames() {
    QStringList names;
    for (const LensRecord& r : readRegistry()) names << QString::fromStdString(r.name);
    return names;
}

QStringList listNames(const QListWidget* list) {
    QStringList names;
    for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
    return names;
}

QStringList texts(QWidget* dialog, const QList<int>& boxes) {
    QStringList texts;
    for (int id : boxes) texts << control<QLineEdit>(dialog, id)->text();
    return texts;
}

const QList<int> kPointBoxes = {1002, 1003, 1004, 1005, 1007, 1008, 1009, 1010};  // main dialog
int selectedRow(const QListWidget* list) { return list->selectionModel()->selectedRows().value(0).row(); }

cv::Mat noiseImage(int width, int height, int seed) {  // uniform noise, the same for the same seed
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG(static_cast<uint64>(seed)).fill(image, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    return image;
}

QByteArray readAll(const QString& name) {  // empty when it cannot be read
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The bytes a run of `request` alone writes to output/, without messages; empty when it writes nothing.
QByteArray runAlone(const ConversionRequest& request) {
    struct : MessageSink {
        void showMessage(const std::string&) override {}
    } quiet;
    return RunConversion(request, quiet).written() ? readAll(QString::fromStdString("output/" + request.outputName)) : QByteArray();
}

void clickButton(QAbstractButton* button) {
    QVERIFY(button);
    // A radio button takes clicks on its indicator, near the left edge.
    const bool radio = qobject_cast<QRadioButton*>(button);
    QTest::mouseClick(button, Qt::LeftButton, {}, radio ? QPoint(6, button->height() / 2) : button->rect().center());
}

void clickRow(QListWidget* list, int row) {
    QVERIFY(list && row >= 0 && row < list->count());
    list->scrollToItem(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
}

// Empties the box, then types: keys for ASCII, an input method commit otherwise.
void replaceText(QLineEdit* box, const QString& text) {
    QVERIFY(box);
    box->setFocus();
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Backspace);
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; })) {
        QTest::keyClicks(box, text);
    } else {
        QInputMethodEvent commit;
        commit.setCommitString(text);
        QApplication::sendEvent(box, &commit);
    }
}

// Calls `trigger`; while it runs, `act` gets the modal dialog of type T once it is active. A dialog still open
// after `act`, or any modal window after ten seconds, is closed. Returns whether a T appeared.
template <class T, class Trigger, class Act>
bool duringModal(Trigger trigger, Act act) {
    bool seen = false;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dlg = qobject_cast<T*>(modal); dlg && !seen) {
            seen = true;
            act(dlg);
            if (dlg->isVisible()) dlg->reject();
        } else if (modal && clock.elapsed() > 10000) {
            modal->close();
        }
    });
    poll.start(10);
    trigger();
    return seen;
}

struct ZenithCase { QString steps; QStringList shown; };  // shown: the pitch, roll and yaw boxes
struct TypingCase { int startMode, id; QString typed; QList<int> boxes; QStringList shown; int mode; };
struct RegistrationCase { int closeWith; QStringList names; };  // a button of the registration dialog
// existing: records in the file before; row: picked before, -1: none; press: a button, 0: Return in the name box.
// `meanwhile`: a record another program adds to the file after the dialog has read it.
struct RegistryEditCase { int existing, row; QString name; int press; QStringList names; QString message; QString meanwhile = {}; };
struct RefusedCase { int target; QPoint at; };  // the left view, the right picture or the group box, in its coordinates
struct HandOverCase { QString names; bool commaMode; int pressRow, closeWith; QStringList messages; int pressX = 640; };

// Every field set, each to a different value; the coefficients a1 .. c4 are 0.11 .. 0.13, 0.21 .. 0.43.
LensRecord fullRecord(const std::string& name) {
    return {name, "1.05", "0.75", "0.4", "0.9", "1.3", "0.11", "0.12", "0.13", "0.21", "0.22", "0.23",
            "0.31", "0.32", "0.33", "0.41", "0.42", "0.43", 1, 812, 2, 12, 605, 1};
}

// The left image, 1200 x 900 noise (view 1024 x 768), sits at this offset in the right one, 2400 x 1800 noise
// (view 512 x 384): every match is exact.
constexpr double kLeftScale = 1024.0 / 1200.0;
const cv::Point kOffset(600, 450);
const QList<int> kPickerEdits = {1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009};

void writePair() {
    QVERIFY(QDir().mkpath("input"));
    const cv::Mat left = noiseImage(1200, 900, 1);
    cv::Mat right = noiseImage(2400, 1800, 2);
    left.copyTo(right(cv::Rect(kOffset, left.size())));
    QVERIFY(cv::imwrite("input/L.png", left) && cv::imwrite("input/R.png", right));
}

// A left press at `at` in `target`'s coordinates, as the window system hands it over.
void press(QWidget* dialog, QWidget* target, QPoint at) {
    QTest::mouseClick(dialog->windowHandle(), Qt::LeftButton, {}, target->mapTo(dialog, at));
}

QImage picture(QWidget* dialog, int id) { return control<QLabel>(dialog, id)->pixmap().toImage(); }

QStringList failureLines(QWidget* batch) {  // the batch window's failures, a line each
    return batch->findChild<QPlainTextEdit*>("failures")->toPlainText().split('\n', Qt::SkipEmptyParts);
}

// The 1366 x 768 screen of the test platform (beside a large primary one).
QScreen* laptopScreen() {
    for (QScreen* screen : QGuiApplication::screens())
        if (screen->size() == QSize(1366, 768)) return screen;
    return nullptr;
}

// Whether `window`, with room for a title bar and borders, and all its visible parts lie on `screen`.
bool fitsOn(QWidget* window, QScreen* screen, QString& why) {
    // Without a window manager the test platform draws no frame: the window must leave room for one.
    const QRect room = screen->availableGeometry();
    const QSize framed = window->size() + QSize(16, 48);
    if (!room.contains(window->geometry()) || framed.width() > room.width() || framed.height() > room.height()) {
        why = QStringLiteral("at %1,%2 size %3x%4").arg(window->x()).arg(window->y()).arg(window->width()).arg(window->height());
        return false;
    }
    for (QWidget* part : window->findChildren<QWidget*>())
        if (part->isVisible() && !part->isWindow() &&
            !window->rect().contains(QRect(part->mapTo(window, QPoint(0, 0)), part->size()))) {
            why = part->objectName() + " " + part->metaObject()->className() + " outside the window";
            return false;
        }
    return true;
}

// A fisheye camera of 1200 x 900 in the panorama, the right one of a rig turned by 2, -1 and 1.5 degrees.
cv::Mat rigCamera(bool right) {
    using namespace testsupport;
    return renderFisheye(panorama(), SynthLens::equisolid(1200, 900), right ? rotationFromYawPitchRoll(2, -1, 1.5) : RotationMatrix{});
}

// boxes: 1002 .. 1005, 1007 .. 1010; byEnter: Return in a box instead of "Start Conversion !!!", players' name too.
struct StartCase { QStringList boxes; QString commaLine, outputName; int height; bool byEnter; };

// Noise pictures NAME in input/left and PREFIX NAME in input/right, each of its own seed.
void writePairs(const QStringList& names, int width, int height, const QString& rightPrefix = "") {
    QVERIFY(QDir().mkpath("input/left") && QDir().mkpath("input/right"));
    static int seed = 0;
    for (const QString& name : names) {
        QVERIFY(cv::imwrite(("input/left/" + name).toStdString(), noiseImage(width, height, ++seed)));
        QVERIFY(cv::imwrite(("input/right/" + rightPrefix + name).toStdString(), noiseImage(width, height, ++seed)));
    }
}

ConversionRequest choices(int height) {
    ConversionRequest request;
    request.lenses = {lensSettingsOf(lensRecord("Equisolid", 0, 1, 0)), lensSettingsOf(lensRecord("Equisolid", 0, 1, 0))};
    request.alignment = PointsAB{PointSet::fromListOrder({20, 50, 22, 53, 30, 40, 31, 44})};
    request.outputHeight = height;
    return request;
}

// Whether a single run of `request` on the pair NAME of input/left and input/right writes what the batch wrote
// for it (in output/, the name's stem with .jpg).
bool sameAsSingleRun(ConversionRequest request, const QString& name) {
    request.leftName = "left/" + name.toStdString();
    request.rightName = "right/" + name.toStdString();
    request.outputName = "single.jpg";
    const QByteArray single = runAlone(request);
    return !single.isEmpty() && single == readAll("output/" + name.section('.', 0, 0) + ".jpg");
}

// The right camera of a rig whose levels differ from the left's: gains of red 0.85, green 1.0, blue 1.12 and an
// offset of +6 levels (saturating).
cv::Mat withRightCameraColours(const cv::Mat& image) {
    cv::Mat out;
    image.convertTo(out, CV_32FC3);
    cv::multiply(out, cv::Scalar(1.12, 1.0, 0.85), out);
    out.convertTo(out, CV_8UC3, 1.0, 6.0);
    return out;
}

// The line of `text` that starts with `start`; empty when there is none.
QString lineStarting(const QString& text, const QString& start) {
    for (const QString& line : text.split('\n'))
        if (line.startsWith(start)) return line;
    return {};
}

// The three figures "a / b / c" after `label` in `line` (red, green, blue); empty when they are not there.
QList<double> figuresAfter(const QString& line, const QString& label) {
    static const QString number = QStringLiteral("(-?[0-9]+(?:\\.[0-9]+)?)");
    const QRegularExpressionMatch m =
        QRegularExpression(QRegularExpression::escape(label) + " " + number + " / " + number + " / " + number).match(line);
    if (!m.hasMatch()) return {};
    return {m.captured(1).toDouble(), m.captured(2).toDouble(), m.captured(3).toDouble()};
}

// The columns of `image` (rows x from .. to) that hold a bright pixel in row `row`.
QList<int> brightColumns(const QImage& image, int row, int from, int to) {
    QList<int> columns;
    for (int x = from; x < to; ++x)
        if (qGray(image.pixel(x, row)) > 128) columns << x - from;
    return columns;
}

// The files in output/, hidden ones (a temporary) included.
QStringList outputFiles() { return QDir("output").entryList(QDir::Files | QDir::Hidden | QDir::System); }

// Frames in a video file as the library's reader counts them; -1 when it cannot be read.
int64_t frameCount(const QString& file) {
    const media::VideoReader reader(file.toStdString());
    return reader.opened().ok() ? reader.facts().frameCount : -1;
}

// A video window case: whether the left camera has sound, what is typed into its boxes (by object name), what
// "Find offset" shows (empty: not pressed; the first: how it begins), the offset then typed, what the outcome
// holds and whether output/LROut.mp4 is written.
struct VideoCase {
    bool leftSound;
    QList<QPair<QString, QString>> typed;
    QStringList offsetShows;
    QString offset;
    QStringList reportHolds;
    bool written;
};

}  // namespace

class DialogTests : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir_;
    QString previousDir_;
    MessageHook previousHook_;
    std::unique_ptr<CMyVistereoApp> app_;
    std::unique_ptr<QWidget> dialog_;  // the dialog under test, gone before app_
    QStringList messages_;

    // Makes `dialog` the dialog under test and shows it (with open() when `modal`); null when it never appears.
    template <class D>
    D* start(D* dialog, bool modal = false) {
        dialog_.reset(dialog);
        if constexpr (std::is_base_of_v<QDialog, D>) modal ? dialog->open() : dialog->show();
        else dialog->show();
        return QTest::qWaitForWindowExposed(dialog) ? dialog : nullptr;
    }
    QLineEdit* box(int id) const { return control<QLineEdit>(dialog_.get(), id); }
    QPushButton* button(int id) const { return control<QPushButton>(dialog_.get(), id); }
    QListWidget* list(int id) const { return control<QListWidget>(dialog_.get(), id); }
    bool checked(int id) const { return control<QRadioButton>(dialog_.get(), id)->isChecked(); }
    template <class T>
    T* part(const char* name) const {  // a named part of the batch window
        return dialog_->findChild<T*>(QString::fromLatin1(name));
    }
    QString status() const { return part<QLabel>("pairingStatus")->text(); }
    QString progress() const { return part<QLabel>("progressText")->text(); }

    CMyVistereoDlg* openMain() { return start(new CMyVistereoDlg(*app_)); }
    // The pair of writePair in input/, named as the point picker's photos, the left one `left`.
    void pickerPhotos(const char* left = "L.png") {
        writePair();
        app_->m_leftImageName = left;
        app_->m_rightImageName = "R.png";
    }
    // The take's files as input/L.mp4 and input/R.mp4, and the video window with the rig's lenses and points.
    VideoDialog* openVideo(const testsupport::SynthTake& take) {
        media::silenceVideoLibraries();
        if (!QDir().mkpath("input")) return nullptr;
        testsupport::writeSynthTake(take, "input/L.mp4", "input/R.mp4");
        ConversionRequest request = choices(0);
        request.alignment = PointsAB{PointSet::fromListOrder(parseCommaLine(testsupport::synthTakePoints(take)).values)};
        return start(new VideoDialog(request));
    }
    QString report() const { return part<QPlainTextEdit>("report")->toPlainText(); }
    QString offsetText() const { return part<QLabel>("offsetText")->text(); }
    CameraDlg2* openRegistration() { return start(new CameraDlg2(*app_), true); }
    void checkModes(CameraDlg2* dlg, int radiusMode, int axisMode, int mappingKind) {
        QCOMPARE(QList<int>({dlg->radiusMode(), dlg->axisMode(), dlg->mappingKind()}), QList<int>({radiusMode, axisMode, mappingKind}));
        QVERIFY(checked(1023 + radiusMode) && checked(1029 + axisMode) && checked(1032 + mappingKind));
    }
    // The pair in input/, the lenses "Orthographic" and "Equisolid 180" registered, the second picked for both eyes.
    CMyVistereoDlg* openWith(const cv::Mat& left, const cv::Mat& right) {
        if (!QDir().mkpath("input") || !QDir().mkpath("output") || !cv::imwrite("input/L.jpg", left) ||
            !cv::imwrite("input/R.jpg", right))
            return nullptr;
        writeRegistry({lensRecord("Orthographic", 0, 0, 0), lensRecord("Equisolid 180", 0, 1, 0)});
        CMyVistereoDlg* dlg = openMain();
        if (dlg) clickRow(list(1029), 1), clickRow(list(1030), 1);
        return dlg;
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        previousDir_ = QDir::currentPath();
        QVERIFY(dir_->isValid() && QDir::setCurrent(dir_->path()));
        messages_.clear();
        previousHook_ = setMessageHook([this](const QString& text) {
            messages_.append(text);
            // A progress window still up behind a message is one too many.
            for (QWidget* w : QApplication::topLevelWidgets())
                if (qobject_cast<QProgressDialog*>(w) && w->isVisible()) messages_.append("(progress window still shown)");
        });
        // What the program remembers goes to this test's directory, not the user's.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_->path() + "/settings");
        // So does the user's lens file.
        qputenv("XDG_CONFIG_HOME", (dir_->path() + "/config").toUtf8());
        app_ = std::make_unique<CMyVistereoApp>();
    }
    void cleanup() {
        dialog_.reset();
        app_.reset();
        setMessageHook(std::move(previousHook_));
        QDir::setCurrent(previousDir_);
        dir_.reset();
    }

    // The main dialog. Steps: p/r/y, then + (upper arrow), - (lower arrow), U or D (arrow keys); c: "clear".
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
        auto* dlg = openMain();
        QVERIFY(dlg);
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
        auto* dlg = openMain();
        QVERIFY(dlg);
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
        QVERIFY(openMain());
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

    // "Detect from image..." in the column beside the template: the new kinds and the field of view fill the record
    // fields those kinds use; a synthetic circle's centre and radius reach the axis and dots boxes once the user
    // confirms the circle drawn over the photograph; for a sine law the dots radius is the one at 90 degrees; a
    // picture without a circle is refused with the reason.
    void detectFromImageFillsTheCircle() {
        writeRegistry({});
        testsupport::CircleShot shot;
        shot.width = 640, shot.height = 480, shot.centreX = 330.4, shot.centreY = 238.6, shot.radius = 200, shot.noise = 1;
        QVERIFY(cv::imwrite("circle.png", testsupport::renderCircleShot(testsupport::panorama(), shot)));
        QVERIFY(cv::imwrite("noise.png", noiseImage(400, 300, 7)));
        auto* dlg = openRegistration();
        QVERIFY(dlg);
        // The new column lies right of every control of the template.
        const int templateRight = dlg->findChild<QLineEdit*>(controlName(1016))->geometry().right();
        for (int id : {1101, 1102, 1103, 1104, 1105, 1111, 1115, 1116})
            QVERIFY(control<QWidget>(dlg, id)->geometry().left() > templateRight);
        QVERIFY(dlg->width() <= 1366 && dlg->height() <= 768);

        auto confirmCircle = [&](QImage* shown) {
            bool confirmed = false;
            const bool seen = duringModal<CircleConfirmDialog>(
                [&] {
                    dlg->DetectFromImage("circle.png");
                    (void)QTest::qWaitFor([&] { return confirmed; }, 30000);
                },
                [&](CircleConfirmDialog* confirm) {
                    *shown = confirm->picture();
                    confirmed = true;
                    confirm->accept();
                });
            return seen && confirmed;
        };
        // A sine law with a 180-degree circle: the circle is the 90-degree radius.
        clickButton(control<QRadioButton>(dlg, 1033));
        replaceText(box(1115), "180");
        QImage shown;
        QVERIFY(confirmCircle(&shown));
        QCOMPARE(texts(dlg, {1006, 1016, 1015}), QStringList({"330", "239", "200"}));
        checkModes(dlg, 3, 1, 1);
        // The circle is drawn over the photograph where it was found: red on its rim, not at its centre.
        const double s = shown.height() / 480.0;
        const QColor rim = shown.pixelColor(int((330.9 + 200) * s), int(239.1 * s)), inside = shown.pixelColor(int(330.9 * s + 40), int(239.1 * s));
        QVERIFY(rim.red() > 200 && rim.green() < 80);
        QVERIFY(!(inside.red() > 200 && inside.green() < 80));

        // Equidistant with 190 degrees: the circle's own radius, the field of view kept in c1.
        clickButton(control<QRadioButton>(dlg, 1101));
        replaceText(box(1115), "190");
        QCOMPARE(box(1039)->text(), QString("190"));
        QVERIFY(confirmCircle(&shown));
        QCOMPARE(box(1015)->text(), QString("200"));
        QCOMPARE(dlg->mappingKind(), 4);

        // Typing a k picks the polynomial and fills the a box of its row; the a box itself picks nothing.
        QTest::keyClicks(box(1112), "0.01");
        QCOMPARE(box(1040)->text(), QString("0.01"));
        QCOMPARE(dlg->mappingKind(), 6);
        clickButton(control<QRadioButton>(dlg, 1101));
        QTest::keyClicks(box(1046), "5");
        QCOMPARE(box(1114)->text(), QString("5"));
        QCOMPARE(dlg->mappingKind(), 4);
        replaceText(box(1046), "");

        dlg->DetectFromImage("noise.png");
        QVERIFY(QTest::qWaitFor([&] { return !messages_.isEmpty(); }, 30000));
        QVERIFY2(messages_.first().startsWith("No image circle found in \"noise.png\": "), qPrintable(messages_.first()));
        QCOMPARE(box(1015)->text(), QString("200"));  // unchanged

        replaceText(box(1049), "Found");
        clickButton(button(1));
        const std::vector<LensRecord> saved = readRegistry();
        QCOMPARE(int(saved.size()), 1);
        QCOMPARE(QList<int>({saved[0].mappingKind, saved[0].radiusMode, saved[0].radiusDots, saved[0].axisMode,
                             saved[0].axisX, saved[0].axisY}),
                 QList<int>({4, 3, 200, 1, 330, 239}));
        QCOMPARE(saved[0].c1 + "/" + saved[0].a2, std::string("190/0.01"));
    }

    // The registration dialog. Register appends and closes the dialog, refused or not; Overwrite and Delete change
    // the picked record only, not the one an earlier opening left picked, and keep the dialog open, nothing picked.
    void registryEdits_data() {
        QTest::addColumn<RegistryEditCase>("c");
        const QStringList abcd = {"A", "B", "C", "D"};
        QTest::newRow("Japanese name appended last, by Enter")
            << RegistryEditCase{3, -1, "魚眼レンズ８ｍｍ", 0, {"A", "B", "C", "魚眼レンズ８ｍｍ"}, ""};
        QTest::newRow("empty name") << RegistryEditCase{2, -1, "", 1, {"A", "B"}, "登録名を入力してください"};
        QTest::newRow("registry full")
            << RegistryEditCase{10, -1, "Eleventh", 1, abcd + QStringList{"Lens 4", "Lens 5", "Lens 6", "Lens 7", "Lens 8", "Lens 9"},
                                "The registry already holds 10 camera and lens records. Delete one before registering another."};
        // A second record of a name is kept, as prescribed, and which of the two a name reaches is said.
        QTest::newRow("a name the file holds")
            << RegistryEditCase{4, -1, "B", 1, abcd + QStringList{"B"},
                                "\"B\" was registered as record 5, but record 2 already has that name. The lists show "
                                "both; the command line and the batch window find a lens by name and so reach record 2 "
                                "only (the new one as #5). Give the new record a name of its own with Overwrite, or "
                                "delete the one you no longer use."};
        QTest::newRow("delete the second") << RegistryEditCase{4, 1, "Changed", 1028, {"A", "C", "D"}, ""};
        QTest::newRow("overwrite the second") << RegistryEditCase{4, 1, "Changed", 1027, {"A", "Changed", "C", "D"}, ""};
        QTest::newRow("delete without a pick") << RegistryEditCase{4, -1, "Changed", 1028, abcd, ""};
        QTest::newRow("overwrite without a pick") << RegistryEditCase{4, -1, "Changed", 1027, abcd, ""};
        // Another program writes the file while the dialog is open: Register builds on the file as it is now;
        // Overwrite and Delete write the dialog's copy, as prescribed, and then say whose record that dropped.
        const QString dropped = "Vistereo.ini had been changed by another program since this window read it. This "
                                "window writes the file from its own copy, so \"Theirs\" is no longer in it; register "
                                "it again if it is still wanted.";
        QTest::newRow("register while another program adds")
            << RegistryEditCase{4, -1, "Mine", 1, abcd + QStringList{"Theirs", "Mine"}, "", "Theirs"};
        QTest::newRow("delete while another program adds")
            << RegistryEditCase{4, 1, "Changed", 1028, {"A", "C", "D"}, dropped, "Theirs"};
        QTest::newRow("overwrite while another program adds")
            << RegistryEditCase{4, 2, "Changed", 1027, {"A", "B", "Changed", "D"}, dropped, "Theirs"};
    }
    void registryEdits() {
        QFETCH(RegistryEditCase, c);
        std::vector<LensRecord> records = {lensRecord("A"), fullRecord("B"), lensRecord("C", 3, 2, 1), lensRecord("D")};
        for (int i = 4; i < 10; ++i) records.push_back(lensRecord("Lens " + std::to_string(i)));
        records.resize(c.existing);
        writeRegistry(records);
        std::vector<LensRecord> expected = readRegistry();
        app_->selectedLensIndex = 1;  // left over from an earlier opening
        auto* dlg = openRegistration();
        QVERIFY(dlg);
        if (c.row >= 0) clickRow(list(1050), c.row);
        replaceText(box(1049), c.name);
        replaceText(box(1016), "77");  // switches no radio
        if (!c.meanwhile.isEmpty()) QVERIFY(addLensRecord(kLensRegistryFileName, lensRecord(c.meanwhile.toStdString())).ok());
        int finished = -1;
        connect(dlg, &QDialog::finished, this, [&finished](int r) { finished = r; });
        if (c.press == 0) QTest::keyClick(box(1049), Qt::Key_Return);
        else clickButton(button(c.press));
        QCOMPARE(messages_, c.message.isEmpty() ? QStringList() : QStringList{c.message});
        QCOMPARE(registryNames(), c.names);
        const bool registering = c.press <= 1;
        QCOMPARE(finished, registering ? int(QDialog::Accepted) : -1);
        QCOMPARE(dlg->isVisible(), !registering);
        if (registering) return;
        QCOMPARE(listNames(list(1050)), c.names);
        QCOMPARE(selectedRow(list(1050)), -1);
        if (c.row >= 0 && c.press == 1028) expected.erase(expected.begin() + c.row);
        if (c.row >= 0 && c.press == 1027) expected[c.row].name = "Changed", expected[c.row].axisY = 77;
        QCOMPARE(readRegistry(), expected);
    }

    void pickFillsTheFields() {
        writeRegistry({lensRecord("Other", 2, 3, 0), fullRecord("Full")});
        auto* dlg = openRegistration();
        QVERIFY(dlg);
        clickRow(list(1050), 1);
        QCOMPARE(app_->selectedLensIndex, 1);
        QCOMPARE(texts(dlg, {1049, 1013, 1022, 1017, 1018, 1020, 1021, 1031, 1036, 1037, 1042, 1048, 1015, 1006, 1016}),
                 QStringList({"Full", "1.05", "0.75", "0.4", "0.4", "0.9", "0.9", "1.3", "1.3", "0.11", "0.23", "0.43",
                              "812", "12", "605"}));
        checkModes(dlg, 1, 1, 2);  // the record's, whatever the filled boxes switched
        clickButton(control<UpDownControl>(dlg, 1019)->upArrow());  // the counter, not the record's k, goes on
        QCOMPARE(box(1022)->text(), QString("1.01"));
        clickRow(list(1050), 0);
        checkModes(dlg, 2, 0, 3);
        QCOMPARE(box(1021)->text(), QString());
        QCOMPARE(app_->selectedLensIndex, 0);
    }

    // A calibrated lens's record (the double sphere, with its centre between dots and its turn as text in the b box
    // of the first row) comes back byte for byte from a pick and an Overwrite, its own radio checked; typing its
    // numbers beside the template keeps it picked.
    void calibratedRecordSurvivesPickAndOverwrite() {
        LensRecord ds = lensRecord("T265 right", 3, 7, 1);
        ds.a1 = "-0.2", ds.a2 = "0.6", ds.c1 = "201.08124030291842", ds.b1 = "centre=423.142,393.321 turn=90";
        ds.radiusDots = 587, ds.axisX = 423, ds.axisY = 393;
        writeRegistry({lensRecord("Other"), ds});
        auto* dlg = openRegistration();
        QVERIFY(dlg);
        clickRow(list(1050), 1);
        QCOMPARE(dlg->mappingKind(), 7);
        QVERIFY(control<QRadioButton>(dlg, 1104)->isChecked());
        QCOMPARE(texts(dlg, {1111, 1112, 1038}), QStringList({"-0.2", "0.6", "centre=423.142,393.321 turn=90"}));
        clickButton(button(1027));
        QCOMPARE(readRegistry()[1], ds);
        clickRow(list(1050), 1);
        clickButton(control<QRadioButton>(dlg, 1105));
        replaceText(box(1112), "1.05");
        QTest::keyClick(box(1112), Qt::Key_End);
        QTest::keyClicks(box(1112), "1");
        QCOMPARE(dlg->mappingKind(), 8);
        QCOMPARE(box(1040)->text(), QString("1.051"));
    }

    // The point picker.
    void refusedPressChangesNothing_data() {
        QTest::addColumn<RefusedCase>("c");
        QTest::newRow("left view, x 9") << RefusedCase{0, {9, 10}};
        QTest::newRow("left view, past the bottom margin") << RefusedCase{0, {500, 759}};
        QTest::newRow("right picture") << RefusedCase{1, {100, 100}};
        QTest::newRow("group box") << RefusedCase{2, {4, 40}};
    }
    void refusedPressChangesNothing() {
        QFETCH(RefusedCase, c);
        pickerPhotos();
        app_->m_exchangePoints = {1, 2, 3, 4, 5, 6, 7, 8};
        auto* dlg = start(new LRPointDlg(*app_), true);
        QVERIFY(dlg);
        press(dlg, control<QLabel>(dlg, 1054), QPoint(300, 300));
        const QImage leftBefore = picture(dlg, 1054), rightBefore = picture(dlg, 1055);
        const QStringList editsBefore = texts(dlg, kPickerEdits);
        QWidget* targets[] = {control<QLabel>(dlg, 1054), control<QLabel>(dlg, 1055), dlg->findChild<QGroupBox*>()};
        press(dlg, targets[c.target], c.at);
        QCOMPARE(messages_, QStringList({"Click again"}));
        QCOMPARE(texts(dlg, kPickerEdits), editsBefore);
        QVERIFY(picture(dlg, 1054) == leftBefore && picture(dlg, 1055) == rightBefore);
    }

    void getABHandsTheNumbersOver_data() {
        QTest::addColumn<HandOverCase>("c");  // names: left and right image; messages: any, the picker never shows
        QTest::newRow("OK without a press") << HandOverCase{"L.png R.png", false, -1, 1, {}};
        QTest::newRow("OK after a press in row B, comma mode") << HandOverCase{"L.png R.png", true, 1, 1, {}};
        QTest::newRow("cancel after a press") << HandOverCase{"L.png R.png", false, 0, 2, {}};
        // A Left's x handed back as it was (view x 103 is picture x 120), its y not: the x counts as set all the same.
        QTest::newRow("OK after a press in row A keeping its x, comma mode") << HandOverCase{"L.png R.png", true, 0, 1, {}, 103};
        // After the prescribed messages, one more for each image names the file and the cause.
        QTest::newRow("left beside input/, not in it")
            << HandOverCase{"top.png R.png", false, -1, 1,
                            {"Enter the valid left image file name", "Left image \"./input/top.png\": no such file."}};
        QTest::newRow("both missing") << HandOverCase{"none.png none.jpg", true, -1, 1,
                                                      {"Enter the valid left image file name", "Enter the valid right image file name",
                                                       "Left image \"./input/none.png\": no such file.",
                                                       "Right image \"./input/none.jpg\": no such file."}};
    }
    void getABHandsTheNumbersOver() {
        QFETCH(HandOverCase, c);
        writePair();
        QVERIFY(QFile::copy("input/L.png", "top.png"));
        auto* main = openMain();
        QVERIFY(main);
        replaceText(box(1012), c.names.section(' ', 0, 0));
        replaceText(box(1016), c.names.section(' ', 1));
        const QStringList boxes = {"120", "80", "-7", "abc", "", "33", " 44 ", "2147483648"};
        for (int k = 0; k < 8; ++k) box(kPointBoxes[k])->setText(boxes[k]);
        if (c.commaMode) replaceText(box(1015), "1,2,3,4,5,6,7,8");
        QCOMPARE(main->pointEntryMode(), c.commaMode ? 1 : 0);

        QStringList atOpening;
        const bool shown = duringModal<LRPointDlg>([&] { clickButton(button(1028)); }, [&](LRPointDlg* picker) {
            atOpening = texts(picker, kPickerEdits);
            if (c.pressRow == 1) clickButton(control<QRadioButton>(picker, 1024));
            if (c.pressRow >= 0) press(picker, control<QLabel>(picker, 1054), QPoint(c.pressX, 320));
            clickButton(control<QPushButton>(picker, c.closeWith));
        });
        QCOMPARE(shown, c.messages.isEmpty());
        QCOMPARE(messages_, c.messages);
        // Both take the A row, then the B row, each as left x, left y, right x, right y.
        QStringList numbers = {"120", "80", "-7", "0", "0", "33", "44", "0"};
        if (shown) QCOMPARE(atOpening, numbers);
        if (c.pressRow >= 0 && c.closeWith == 1) {  // the pair picked at view (pressX, 320)
            const int x = int(c.pressX / kLeftScale), y = int(320 / kLeftScale);
            const QStringList pair = {QString::number(x), QString::number(y), QString::number(x + kOffset.x),
                                      QString::number(y + kOffset.y)};
            std::copy(pair.begin(), pair.end(), numbers.begin() + c.pressRow * 4);
        }
        QCOMPARE(texts(main, kPointBoxes), numbers);
        QCOMPARE(main->pointEntryMode(), 0);
    }

    void convertsThePairWithTheValuesOfStart_data() {
        QTest::addColumn<StartCase>("c");
        QTest::newRow("boxes, jpg") << StartCase{{"100", "120", "96", "121", "200", "180", "195", "178"}, "", "LROut.jpg", 300, false};
        QTest::newRow("comma line, png, Enter, players' name")
            << StartCase{{"", "5", "", "", "", "", "", ""}, "100,200,96,195,120,180,121,178", "pair.png", 90, true};
    }
    // While the run goes on, the user changes the height (by an input-method commit, which reaches even a disabled
    // box), steps a zenith angle and picks another lens: the file still has the dimensions and the bytes of the
    // values at Start.
    void convertsThePairWithTheValuesOfStart() {
        QFETCH(StartCase, c);
        auto* dlg = openWith(noiseImage(300, 300, 1), noiseImage(300, 300, 2));
        QVERIFY(dlg);
        for (int k = 0; k < 8; ++k) QTest::keyClicks(box(kPointBoxes[k]), c.boxes[k]);
        QTest::keyClicks(box(1015), c.commaLine);
        replaceText(box(1017), c.outputName);
        replaceText(box(1013), QString::number(c.height));
        auto* vr = dlg->findChild<QCheckBox*>("vrSuffix");
        QVERIFY(vr && vr->isVisible() && !vr->isChecked());
        if (c.byEnter) clickButton(vr);
        const int mode = dlg->pointEntryMode();

        // The conversion thread is held until the changes are made, so the run can only start after them and must
        // work from what Start copied.
        QThreadPool* pool = &dlg->conversionPool();
        // The gate outlives this function: a failed check below returns at once, maybe before a held thread has
        // reached it, and the guard still opens it.
        const auto gate = std::make_shared<QSemaphore>();
        const int held = pool->maxThreadCount();
        for (int t = 0; t < held; ++t) pool->start([gate] { gate->acquire(); });
        auto release = qScopeGuard([gate, held] { gate->release(held); });
        QSignalSpy finished(dlg, &CMyVistereoDlg::conversionFinished);
        if (c.byEnter) QTest::keyClick(box(1017), Qt::Key_Return);
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
        release.dismiss();
        gate->release(held);
        QVERIFY(finished.wait(30000));

        QCOMPARE(messages_, QStringList{kMsgFinished});
        QVERIFY(dlg->isVisible() && !dlg->conversionRunning() && box(1013)->isEnabled());
        QCOMPARE(dlg->pointEntryMode(), mode);
        QCOMPARE(texts(dlg, kPointBoxes), c.boxes);
        const QString written = c.byEnter ? c.outputName.replace(".", "_180_LR.") : c.outputName;
        QCOMPARE(QDir("output").entryList(QDir::Files), QStringList{written});
        const cv::Mat image = cv::imread("output/" + written.toStdString(), cv::IMREAD_COLOR);
        QCOMPARE(image.rows, c.height);
        QCOMPARE(image.cols, 2 * c.height);

        // The same run from the values at Start, without the dialog.
        ConversionRequest request;
        request.lenses.fill(lensSettingsOf(lensRecord("Equisolid 180", 0, 1, 0)));
        request.alignment = PointsAB{PointSet::fromListOrder({100, 200, 96, 195, 120, 180, 121, 178})};
        request.outputHeight = c.height;
        request.outputName = "expected" + written.mid(written.lastIndexOf('.')).toStdString();
        QCOMPARE(readAll("output/" + written), runAlone(request));
    }

    // "Read pixels as recorded": the conversion and the point picker read the photos as the check box says. A left
    // photo tagged with orientation 6 converts turned, the warnings following the closing message, and the picker
    // shows it turned (portrait); checked, neither. A missing photo: the prescribed message, then file and cause. An
    // output name that leads onto an input: the run closes as after a write that did not happen, then says which
    // file it left alone and why. The right photo keeps its bytes whatever happens.
    void readsThePhotosAsTheCheckBoxSays_data() {
        QTest::addColumn<QString>("left");  // "tagged", "missing" or "plain"
        QTest::addColumn<bool>("recorded");
        QTest::addColumn<QString>("output");        // the output name typed
        QTest::addColumn<QStringList>("messages");  // how each message begins
        QTest::newRow("turned by its tag") << "tagged" << false << "LROut.jpg"
            << QStringList{kMsgFinished, "The left image \"./input/L.jpg\" carries the EXIF orientation 6",
                           "WARNING: the two eyes were read turned differently"};
        QTest::newRow("read as recorded") << "tagged" << true << "LROut.jpg" << QStringList{kMsgFinished};
        QTest::newRow("missing") << "missing" << false << "LROut.jpg"
                                 << QStringList{kMsgBadLeftImage, "Left image \"./input/L.jpg\": no such file."};
        QTest::newRow("output onto the right photo, spelt otherwise") << "plain" << false << ".././input/./R.jpg"
            << QStringList{kMsgFinished, "The output was not written: the output \"./output/.././input/./R.jpg\" is the "
                                         "right image \"./input/R.jpg\""};
    }
    void readsThePhotosAsTheCheckBoxSays() {
        QFETCH(QString, left);
        QFETCH(bool, recorded);
        QFETCH(QString, output);
        QFETCH(QStringList, messages);
        auto* dlg = openWith(noiseImage(300, 200, 1), noiseImage(300, 200, 2));
        QVERIFY(dlg);
        const QByteArray right = readAll("input/R.jpg");
        if (left == "missing") QVERIFY(QFile::remove("input/L.jpg"));
        if (left == "tagged") testsupport::writeFile("input/L.jpg", testsupport::jpegWithOrientation(testsupport::readFile("input/L.jpg"), 6));
        auto* asRecorded = dlg->findChild<QCheckBox*>("ignoreOrientation");
        QVERIFY(asRecorded && asRecorded->isVisible() && !asRecorded->isChecked());
        if (recorded) clickButton(asRecorded);
        // Points within the picture and the lens circle whichever way the left photo is read.
        const QStringList points = {"110", "110", "112", "111", "120", "130", "121", "131"};
        for (int k = 0; k < 8; ++k) QTest::keyClicks(box(kPointBoxes[k]), points[k]);
        replaceText(box(1013), "32");
        replaceText(box(1017), output);
        QSignalSpy finished(dlg, &CMyVistereoDlg::conversionFinished);
        clickButton(button(1));
        QVERIFY(finished.wait(30000));
        QCOMPARE(messages_.size(), messages.size());
        for (int k = 0; k < messages.size(); ++k) QVERIFY2(messages_[k].startsWith(messages[k]), qPrintable(messages_[k]));
        QCOMPARE(readAll("input/R.jpg"), right);
        QCOMPARE(QDir("output").entryList(QDir::Files), left == "tagged" ? QStringList{output} : QStringList());
        if (left != "tagged") return;
        QSize view;
        QVERIFY(duringModal<LRPointDlg>([&] { clickButton(button(1028)); },
                                        [&](LRPointDlg* picker) { view = picture(picker, 1054).size(); }));
        QCOMPARE(view, recorded ? QSize(1024, 682) : QSize(682, 1024));
    }

    // Values no lens or picture can have: the prescribed run renders them and closes with its own message, as it
    // always did; then one message each says what cannot work, naming the record and the value as its record holds
    // it, or the point and the picture. The batch window refuses the same points for each pair, as the command line.
    void explainsImpossibleValuesAfterTheClosingMessage_data() {
        QTest::addColumn<QString>("right");      // the lens picked for the right eye
        QTest::addColumn<QStringList>("points");  // the eight boxes in control order
        QTest::addColumn<QStringList>("messages");  // how each message begins
        const QStringList inside = {"110", "110", "112", "111", "120", "130", "121", "131"};
        const QString cannot = "The output cannot show the pictures as they are: ";
        QTest::newRow("a point far outside the left picture")
            << "Equisolid 180" << QStringList{"5000", "110", "112", "111", "120", "130", "121", "131"}
            << QStringList{kMsgFinished, cannot + "point A of the left picture (5000, 110) lies outside that picture (300 x 200)."};
        QTest::newRow("a point on the right lens's axis")
            << "Equisolid 180" << QStringList{"110", "110", "150", "100", "120", "130", "121", "131"}
            << QStringList{kMsgFinished, cannot + "point A of the right picture (150, 100) lies exactly on the optical axis "
                                                  "of the right lens \"Equisolid 180\""};
        QTest::newRow("a magnification typed as abc")
            << "Typed" << inside
            << QStringList{kMsgFinished, cannot + "the right lens \"Typed\": magnification is 0: ",
                           cannot + "point A of the right picture (112, 111) lies outside the image circle",
                           cannot + "point B of the right picture (121, 131) lies outside the image circle"};
        QTest::newRow("nothing that cannot work") << "Equisolid 180" << inside << QStringList{kMsgFinished};
    }
    void explainsImpossibleValuesAfterTheClosingMessage() {
        QFETCH(QString, right);
        QFETCH(QStringList, points);
        QFETCH(QStringList, messages);
        auto* dlg = openWith(noiseImage(300, 200, 1), noiseImage(300, 200, 2));
        QVERIFY(dlg);
        LensRecord typed = lensRecord("Typed", 2, 1, 0);
        typed.magnification = "abc";  // the registration dialog stores the text as typed
        writeRegistry({lensRecord("Orthographic", 0, 0, 0), lensRecord("Equisolid 180", 0, 1, 0), typed});
        // The main dialog reloads its lists when the registration dialog closes.
        QVERIFY(duringModal<CameraDlg2>([&] { clickButton(button(1027)); }, [](CameraDlg2* reg) { reg->reject(); }));
        clickRow(list(1029), 1);
        clickRow(list(1030), right == "Typed" ? 2 : 1);
        for (int k = 0; k < 8; ++k) replaceText(box(kPointBoxes[k]), points[k]);
        replaceText(box(1013), "32");
        QSignalSpy finished(dlg, &CMyVistereoDlg::conversionFinished);
        clickButton(button(1));
        QVERIFY(finished.wait(30000));
        QCOMPARE(messages_.size(), messages.size());
        for (int k = 0; k < messages.size(); ++k) QVERIFY2(messages_[k].startsWith(messages[k]), qPrintable(messages_[k]));
        if (right == "Typed") QVERIFY2(messages_[1].endsWith("(its record holds \"abc\")."), qPrintable(messages_[1]));
        QCOMPARE(QDir("output").entryList(QDir::Files), QStringList{"LROut.jpg"});  // rendered, as prescribed
    }

    void batchWindowRefusesImpossiblePointsAsTheCommandLineDoes() {
        writePairs({"p0.png"}, 90, 60);
        ConversionRequest request = choices(32);
        request.alignment = PointsAB{PointSet::fromListOrder({20, 5000, 22, 53, 30, 40, 31, 44})};
        auto* dlg = start(new BatchDialog(request));
        QVERIFY(dlg);
        QSignalSpy finished(dlg, &BatchDialog::batchFinished);
        clickButton(part<QPushButton>("startButton"));
        QVERIFY(finished.wait(60000));
        QCOMPARE(failureLines(dlg), QStringList{"input/left/p0.png, input/right/p0.png: point B of the left picture (5000, 40) "
                                                "lies outside that picture (90 x 60)"});
        QVERIFY(QDir("output").entryList(QDir::Files).isEmpty());
    }

    // "Auto A,B" on a turned rig fills the points and reports the residual; the converted pair previews as
    // comfortable in every mode. On a pair without texture it says why and leaves the boxes alone.
    // Every outcome closes the progress window before its message (the hook notes one still shown).
    void autoABThenPreview_data() {
        QTest::addColumn<QString>("pair");
        QTest::addColumn<QString>("refusal");  // the message of a refusal; empty: the points are found
        QTest::newRow("turned rig") << "rig" << "";
        QTest::newRow("flat pictures") << "flat" << "automatic alignment failed";
        QTest::newRow("no lens picked") << "no lens" << kMsgSelectLens;
    }
    void autoABThenPreview() {
        QFETCH(QString, pair);
        QFETCH(QString, refusal);
        const bool textured = refusal.isEmpty();
        const cv::Mat flat(900, 1200, CV_8UC3, cv::Scalar::all(128));
        auto* dlg = pair == "flat" ? openWith(flat, flat) : openWith(rigCamera(false), rigCamera(true));
        QVERIFY(dlg);
        if (pair == "no lens") {  // the program started anew: the lists unpicked
            dialog_.reset();
            app_ = std::make_unique<CMyVistereoApp>();
            QVERIFY(dlg = openMain());
        }
        QTest::keyClicks(box(1015), "1,2,3,4,5,6,7,8");  // comma entry selected, boxes empty
        QSignalSpy aligned(dlg, &CMyVistereoDlg::autoAlignFinished);
        clickButton(dlg->findChild<QPushButton*>("autoAB"));
        QVERIFY(dlg->conversionRunning() && !box(1013)->isEnabled());
        QVERIFY(aligned.wait(60000));
        QCOMPARE(messages_.size(), 1);
        if (!textured) {
            QVERIFY2(messages_[0].contains(refusal), qPrintable(messages_[0]));
            QCOMPARE(texts(dlg, kPointBoxes), QStringList(8, ""));
            QCOMPARE(dlg->pointEntryMode(), 1);
            return;
        }
        // It says that it replaced the points, judges the residual as `check` does, and why the preview differs.
        for (const char* said : {"replaced the points A and B", "Vertical disparity after alignment", ": comfortable (within",
                                 "\"Preview\" measures the written image at its full size"})
            QVERIFY2(messages_[0].contains(said), qPrintable(messages_[0]));
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

    // The preview's difference view: |left - right| per channel, times the stated factor, saturating.
    void previewDifferenceView_data() {
        QTest::addColumn<int>("offset");  // added to every level of the right half
        QTest::addColumn<int>("shown");   // the level the difference view shows everywhere
        QTest::newRow("identical halves") << 0 << 0;
        QTest::newRow("right 5 levels brighter") << 5 << 5 * PreviewDialog::kDifferenceGain;
        QTest::newRow("right 3 levels darker") << -3 << 3 * PreviewDialog::kDifferenceGain;
        QTest::newRow("beyond the range") << 90 << 255;
    }
    void previewDifferenceView() {
        QFETCH(int, offset);
        QFETCH(int, shown);
        cv::Mat left = noiseImage(128, 128, 5), right;
        left.convertTo(left, CV_8UC3, 120.0 / 255.0, 40.0);  // levels 40 .. 160: no offset saturates
        left.convertTo(right, CV_8UC3, 1.0, offset);
        cv::Mat pair;
        cv::hconcat(left, right, pair);
        PreviewDialog preview(pair, "x");
        QVERIFY(preview.findChild<QComboBox*>("previewMode")->itemText(PreviewDialog::Difference)
                    .endsWith(QStringLiteral("× %1").arg(PreviewDialog::kDifferenceGain)));
        preview.setMode(PreviewDialog::Difference);
        QImage expected(128, 128, QImage::Format_RGB888);  // every channel of every pixel at `shown`
        expected.fill(QColor(shown, shown, shown));
        QCOMPARE(preview.shownImage().convertToFormat(QImage::Format_RGB888), expected);
    }

    // The preview's convergence box shifts the shown right half by the change from what the image was written
    // with, degrees / 180 * N pixels (positive: to the right); the left half stays.
    void previewConvergenceShiftsTheRightHalf_data() {
        QTest::addColumn<double>("written");
        QTest::addColumn<double>("degrees");
        QTest::addColumn<int>("shift");
        QTest::newRow("9 degrees") << 0.0 << 9.0 << 18;
        QTest::newRow("-4.5 degrees") << 0.0 << -4.5 << -9;
        QTest::newRow("written at 2, shown at 5") << 2.0 << 5.0 << 6;
        QTest::newRow("as written") << 1.5 << 1.5 << 0;
    }
    void previewConvergenceShiftsTheRightHalf() {
        QFETCH(double, written);
        QFETCH(double, degrees);
        QFETCH(int, shift);
        const int n = 360;
        cv::Mat pair(n, 2 * n, CV_8UC3, cv::Scalar::all(0));
        pair.colRange(100, 104).setTo(cv::Scalar::all(255));          // a bar in the left half
        pair.colRange(n + 170, n + 174).setTo(cv::Scalar::all(255));  // and one in the right half
        PreviewDialog preview(pair, "x", nullptr, {written, false});
        auto* box = preview.findChild<QDoubleSpinBox*>("previewConvergence");
        QVERIFY(box);
        QCOMPARE(box->value(), written);
        box->setValue(degrees);
        const QImage& shown = preview.shownImage();
        QCOMPARE(brightColumns(shown, n / 2, 0, n), QList<int>({100, 101, 102, 103}));
        QCOMPARE(brightColumns(shown, n / 2, n, 2 * n), QList<int>({170 + shift, 171 + shift, 172 + shift, 173 + shift}));
        QCOMPARE(preview.choices().convergenceDegrees, degrees);
    }

    // "Match colour" on a pair whose right camera has known gains and an offset: the window fits them on the pair,
    // and the far-field difference it then measures on the shown halves falls to a level and a half or less.
    void previewMatchColourBringsTheFarFieldTogether() {
        const cv::Mat left = testsupport::frontHemisphere(testsupport::panorama(), 384);
        cv::Mat pair;
        cv::hconcat(left, withRightCameraColours(left), pair);
        PreviewDialog preview(pair, "x");
        QSignalSpy measured(&preview, &PreviewDialog::measured);
        QVERIFY(measured.wait(60000));
        const QString asWritten = lineStarting(preview.measurementText(), "Colour as written");
        const QList<double> before = figuresAfter(asWritten, "mean absolute difference");
        const QList<double> gains = figuresAfter(asWritten, "with gain");
        QVERIFY2(before.size() == 3 && gains.size() == 3, qPrintable(preview.measurementText()));
        for (double d : before) QVERIFY2(d > 3.0, qPrintable(asWritten));
        const double expected[3] = {1 / 0.85, 1.0, 1 / 1.12};  // left = gain x right + offset
        for (int k = 0; k < 3; ++k) QVERIFY2(std::abs(gains[k] - expected[k]) < 0.03, qPrintable(asWritten));

        QSignalSpy matched(&preview, &PreviewDialog::colourMeasured);
        clickButton(preview.findChild<QCheckBox*>("previewMatchColour"));
        QVERIFY(matched.wait(60000));
        const QString withMatch = lineStarting(preview.measurementText(), "Colour with Match colour");
        const QList<double> after = figuresAfter(withMatch, "mean absolute difference");
        QVERIFY2(after.size() == 3, qPrintable(preview.measurementText()));
        for (double d : after) QVERIFY2(d <= 1.5, qPrintable(withMatch));
        // Unchecked, the pair is shown as written again.
        preview.setMode(PreviewDialog::Difference);
        const QImage matchedDifference = preview.shownImage();
        clickButton(preview.findChild<QCheckBox*>("previewMatchColour"));
        QVERIFY(preview.shownImage() != matchedDifference);
        QVERIFY(lineStarting(preview.measurementText(), "Colour as written") == asWritten);
    }

    // Zoom with the wheel about the cursor, pan by dragging, 1 for the picture's own pixels, F to fit again.
    void previewZoomsPansAndShowsActualPixels() {
        auto* preview = start(new PreviewDialog(noiseImage(3000, 1500, 6), "x"));
        QVERIFY(preview);
        PreviewView* view = preview->view();
        const QRectF whole(0, 0, 3000, 1500);
        QCOMPARE(view->visibleRegion(), whole);
        QVERIFY(view->fitted() && view->scale() < 1.0);

        QTest::keyClick(view, Qt::Key_1);
        QCOMPARE(view->scale(), 1.0);
        QCOMPARE(view->visibleRegion().size(), QSizeF(view->size()));
        QVERIFY(std::abs(view->visibleRegion().center().x() - 1500) < 1 && std::abs(view->visibleRegion().center().y() - 750) < 1);

        // One notch up at a point: the picture's point under the cursor stays there.
        const QPointF at(100, 80);
        const QPointF under = view->visibleRegion().topLeft() + at;
        QWheelEvent wheel(at, view->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(view, &wheel);
        QCOMPARE(view->scale(), 1.25);
        const QPointF stays = view->visibleRegion().topLeft() + at / 1.25;
        QVERIFY(std::abs(stays.x() - under.x()) < 1e-6 && std::abs(stays.y() - under.y()) < 1e-6);

        // A drag by (40, 30) view pixels moves the region the other way by as many picture pixels over the scale.
        const QPointF before = view->visibleRegion().topLeft();
        QTest::mousePress(view, Qt::LeftButton, {}, QPoint(300, 300));
        QTest::mouseMove(view, QPoint(340, 330));
        QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(340, 330));
        const QPointF moved = view->visibleRegion().topLeft() - before;
        QVERIFY2(std::abs(moved.x() + 32) < 1e-6 && std::abs(moved.y() + 24) < 1e-6,
                 qPrintable(QStringLiteral("%1, %2").arg(moved.x()).arg(moved.y())));
        QVERIFY(!view->fitted());

        QTest::keyClick(view, Qt::Key_F);
        QCOMPARE(view->visibleRegion(), whole);
        QVERIFY(view->fitted());
    }

    // The main window's Convergence and Match colour convert what the command line's --convergence and
    // --match-colour convert, byte for byte; the preview starts from them, and "Use for conversion" hands its own
    // back.
    void stereoWindowAndColourConvertAsTheCommandLine_data() {
        QTest::addColumn<double>("convergence");
        QTest::addColumn<bool>("match");
        QTest::addColumn<QStringList>("options");
        QTest::newRow("convergence 1.5") << 1.5 << false << QStringList{"--convergence", "1.5"};
        QTest::newRow("match colour") << 0.0 << true << QStringList{"--match-colour"};
        QTest::newRow("both, converging outwards") << -2.25 << true
                                                   << QStringList{"--convergence", "-2.25", "--match-colour"};
    }
    void stereoWindowAndColourConvertAsTheCommandLine() {
        QFETCH(double, convergence);
        QFETCH(bool, match);
        QFETCH(QStringList, options);
        testsupport::SynthTake rig;  // the lens and the turn of rigCamera's rig, for its points A and B
        rig.width = 1200, rig.height = 900;
        const QString points = QString::fromStdString(testsupport::synthTakePoints(rig));
        auto* dlg = openWith(rigCamera(false), withRightCameraColours(rigCamera(true)));
        QVERIFY(dlg);
        auto* convergenceBox = dlg->findChild<QDoubleSpinBox*>("convergence");
        auto* matchBox = dlg->findChild<QCheckBox*>("matchColour");
        QVERIFY(convergenceBox && convergenceBox->isVisible() && convergenceBox->value() == 0.0);
        QVERIFY(matchBox && matchBox->isVisible() && !matchBox->isChecked());
        convergenceBox->setValue(convergence);
        if (match) clickButton(matchBox);
        QTest::keyClicks(box(1015), points);
        replaceText(box(1013), "300");
        QSignalSpy finished(dlg, &CMyVistereoDlg::conversionFinished);
        clickButton(button(1));
        QVERIFY(finished.wait(60000));
        QCOMPARE(messages_, QStringList{kMsgFinished});  // a colour match that failed would warn

        QProcess cli;
        cli.start(VISTEREO_CLI, QStringList{"convert", "-C", ".", "--left-lens", "Equisolid 180", "--right-lens",
                                            "Equisolid 180", "--points", points, "--height", "300", "-o", "cli.jpg", "-q"} +
                                    options);
        QVERIFY(cli.waitForFinished(60000));
        QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());
        const QByteArray written = readAll("output/LROut.jpg");
        QVERIFY(!written.isEmpty());
        QVERIFY(written == readAll("output/cli.jpg"));

        clickButton(dlg->findChild<QPushButton*>("preview"));
        auto* preview = dlg->findChild<PreviewDialog*>();
        QVERIFY(preview);
        QCOMPARE(preview->choices().convergenceDegrees, convergence);
        QCOMPARE(preview->choices().matchColour, match);
        preview->findChild<QDoubleSpinBox*>("previewConvergence")->setValue(0.75);
        clickButton(preview->findChild<QCheckBox*>("previewMatchColour"));
        clickButton(preview->findChild<QPushButton*>("useForConversion"));
        QCOMPARE(convergenceBox->value(), 0.75);
        QCOMPARE(matchBox->isChecked(), !match);
    }

    // The batch window.
    void showsThePairingOfTheFolders() {
        writePairs({"a.jpg", "b.jpg"}, 40, 30, "r");
        // A complete output of the batch's size is skipped.
        QVERIFY(QDir().mkpath("output") && cv::imwrite("output/a.jpg", noiseImage(32, 16, 9)));
        QVERIFY(start(new BatchDialog(choices(16))));
        auto* pairs = part<QListWidget>("pairList");
        QCOMPARE(listNames(pairs), QStringList({"a.jpg + ra.jpg  →  a.jpg  (exists: skipped)", "b.jpg + rb.jpg  →  b.jpg"}));
        QCOMPARE(status(), QString("2 pairs, 1 to convert"));
        QVERIFY(part<QPushButton>("startButton")->isEnabled());
        auto* overwrite = part<QCheckBox>("overwrite");
        QTest::mouseClick(overwrite, Qt::LeftButton, {}, QPoint(6, overwrite->height() / 2));  // its box
        QCOMPARE(status(), QString("2 pairs, 2 to convert"));

        QVERIFY(cv::imwrite("input/left/c.jpg", noiseImage(40, 30, 3)));
        replaceText(part<QLineEdit>("leftFolder"), "input/left");  // the pairing follows the typed folder
        QVERIFY2(status().contains("no partner: input/left/c.jpg"), qPrintable(status()));
        QCOMPARE(pairs->count(), 0);
        QVERIFY(!part<QPushButton>("startButton")->isEnabled());
        replaceText(part<QLineEdit>("leftFolder"), "nowhere");
        QVERIFY2(status().contains("no folder"), qPrintable(status()));

        // The folders and the alignment come back in the next opening.
        part<QComboBox>("alignment")->setCurrentIndex(2);
        clickButton(part<QPushButton>("closeButton"));
        QVERIFY(start(new BatchDialog(choices(16))));
        QCOMPARE(part<QLineEdit>("leftFolder")->text() + " " + part<QLineEdit>("rightFolder")->text(), QString("nowhere input/right"));
        QCOMPARE(part<QComboBox>("alignment")->currentIndex(), 2);
        QVERIFY2(part<QLabel>("choices")->text().contains("Alignment: automatic, once"), qPrintable(part<QLabel>("choices")->text()));
    }

    // Three pairs, the second unreadable: the others are written with the bytes of single runs, the failure is listed.
    void convertsThePairsAndListsTheFailures() {
        writePairs({"p0.png", "p1.png", "p2.png"}, 90, 60);
        QVERIFY(QFile("input/right/p1.png").open(QIODevice::WriteOnly | QIODevice::Truncate));  // now empty, unreadable
        auto* dlg = start(new BatchDialog(choices(32)));
        QVERIFY(dlg);
        QSignalSpy finished(dlg, &BatchDialog::batchFinished);
        clickButton(part<QPushButton>("startButton"));
        QVERIFY(finished.wait(60000));

        QVERIFY(!dlg->running() && part<QPushButton>("closeButton")->isEnabled());
        QCOMPARE(part<QProgressBar>("progress")->value(), 3);
        QVERIFY2(progress().startsWith("Converted 2, skipped 0, failed 1 in "), qPrintable(progress()));
        QCOMPARE(failureLines(dlg), QStringList{"input/left/p1.png, input/right/p1.png: " + QString(kMsgBadRightImage) +
                                                ": Right image \"input/right/p1.png\": the file is empty."});
        QVERIFY(messages_.isEmpty());
        QCOMPARE(status(), QString("3 pairs, 1 to convert"));  // the written ones are skipped next time

        QVERIFY(sameAsSingleRun(choices(32), "p2.png"));
    }

    // Aligned once: the unreadable first pair is named as not aligned (and
    // fails), the second is converted.
    void alignsOnceFromTheFirstPairsThatAlign() {
        QVERIFY(QDir().mkpath("input/left") && QDir().mkpath("input/right"));
        QVERIFY(cv::imwrite("input/left/p1.jpg", rigCamera(false)) && cv::imwrite("input/right/p1.jpg", rigCamera(true)));
        QVERIFY(QFile("input/left/p0.jpg").open(QIODevice::WriteOnly));
        QVERIFY(QFile::copy("input/right/p1.jpg", "input/right/p0.jpg"));
        ConversionRequest request = choices(32);
        request.alignment = PointsAB{};  // not needed, not checked
        auto* dlg = start(new BatchDialog(request));
        QVERIFY(dlg);
        auto* alignment = part<QComboBox>("alignment");
        QCOMPARE(alignment->count(), 3);
        alignment->setCurrentIndex(static_cast<int>(BatchDialog::Alignment::Once));
        QSignalSpy finished(dlg, &BatchDialog::batchFinished);
        clickButton(part<QPushButton>("startButton"));
        QVERIFY(!alignment->isEnabled());
        QVERIFY(finished.wait(120000));
        QVERIFY2(progress().startsWith("Converted 1, skipped 0, failed 1 in ") && progress().contains("\nAligned once on pair 2: yaw ") &&
                     progress().contains("\nThe pairs' own rotations lie within 0.0′ of the shared one — good (good up to 9.6′"),
                 qPrintable(progress()));
        QCOMPARE(failureLines(dlg),
                 QStringList({"Not aligned: pair 1: " + QString(kMsgBadLeftImage) + ": Left image \"input/left/p0.jpg\": the file is empty.",
                              "input/left/p0.jpg, input/right/p0.jpg: " + QString(kMsgBadLeftImage) +
                                  ": Left image \"input/left/p0.jpg\": the file is empty."}));
    }

    // Cancel after the first pair: the pairs under way are finished, the rest not started. While it runs the window
    // is locked but for Cancel. The window's buttons, lists and texts stay where they are from idle through running
    // and stopping to finished, while the texts change and a failure comes in; a file added while the window is open
    // joins the pairing.
    void cancelStopsAfterThePairsUnderWayAndTheLayoutStaysStill() {
        const int count = 10;
        QStringList names;
        for (int k = 0; k < count - 1; ++k) names << QString("c%1.png").arg(k, 2, 10, QChar('0'));
        writePairs(names, 480, 360);
        QVERIFY(QFile("input/right/c00.png").open(QIODevice::WriteOnly | QIODevice::Truncate));  // a failure to list
        auto* dlg = start(new BatchDialog(choices(400)));
        QVERIFY(dlg);
        writePairs({"c09.png"}, 480, 360);
        QTRY_COMPARE_WITH_TIMEOUT(part<QListWidget>("pairList")->count(), count, 3000);
        auto geometries = [this] {
            QList<QRect> g;
            for (const char* name : {"startButton", "cancelButton", "closeButton", "pairList", "progress", "progressText", "failures"})
                g << part<QWidget>(name)->geometry();
            return g;
        };
        const QList<QRect> idle = geometries();
        QList<QList<QRect>> whileRunning;
        QSignalSpy finished(dlg, &BatchDialog::batchFinished);
        connect(part<QProgressBar>("progress"), &QProgressBar::valueChanged, dlg, [&](int value) {
            whileRunning << geometries();
            if (value != 1) return;
            clickButton(part<QPushButton>("cancelButton"));  // "Stopping…" in the same place
            whileRunning << geometries();
        });
        clickButton(part<QPushButton>("startButton"));
        QVERIFY(dlg->running());
        for (const char* name : {"leftFolder", "rightFolder", "browseLeft", "overwrite", "startButton", "closeButton"})
            QVERIFY2(!part<QWidget>(name)->isEnabled(), name);
        QVERIFY(part<QPushButton>("cancelButton")->isEnabled());
        QCOMPARE(geometries(), idle);
        QVERIFY(finished.wait(120000));
        const int written = QDir("output").entryList(QDir::Files).size(), failed = failureLines(dlg).size();
        QVERIFY2(written + failed >= 1 && written + failed <= 5, qPrintable(QString::number(written)));  // 1 + at most 4 under way
        QVERIFY2(progress().contains(QString("stopped, %1 not started").arg(count - written - failed)), qPrintable(progress()));
        QCOMPARE(part<QPushButton>("cancelButton")->text(), QString("Cancel"));
        QVERIFY(!part<QPushButton>("cancelButton")->isEnabled());
        QCOMPARE(geometries(), idle);
        QVERIFY(whileRunning.size() >= 2);
        for (const QList<QRect>& g : whileRunning) QCOMPARE(g, idle);
    }

    // "Batch..." sits in the strip below the template's controls, overlapping none, Tab reaching the additions after
    // the template's controls in reading order, and hands the window the dialog's current choices. A lens only in
    // the user's lens file: the main dialog's lists, bound to the working folder's Vistereo.ini, do not show it; the
    // batch window offers it after the main window's pick.
    void batchButtonOpensTheWindowWithTheDialogsChoices() {
        QVERIFY(QDir().mkpath("config/vistereo"));
        LensRegistry user;
        user.records[0] = lensRecord("Travel lens", 0, 1, 0);
        user.records[1] = lensRecord("Equisolid 180", 5, 1, 0);  // hidden by the working folder's record of that name
        QVERIFY(SaveLensRegistry(user, 2, std::nullopt, "config/vistereo/Vistereo.ini"));
        auto* dlg = openWith(noiseImage(40, 30, 1), noiseImage(40, 30, 2));  // both eyes on "Equisolid 180"
        QVERIFY(dlg);
        QCOMPARE(listNames(list(1029)), QStringList({"Orthographic", "Equisolid 180"}));
        QPushButton* batch = button(kBatchButtonId);
        QVERIFY(batch);
        QCOMPARE(batch->text(), QString("Batch..."));
        QVERIFY(dlg->rect().contains(batch->geometry()));
        // The additions stand in rows below the template's controls: buttons, then check boxes, each row aligned.
        const int templateBottom = DialogUnits(dlg->font()).y(238);
        auto* autoAB = dlg->findChild<QPushButton*>("autoAB");
        auto* preview = dlg->findChild<QPushButton*>("preview");
        auto* vr = dlg->findChild<QCheckBox*>("vrSuffix");
        auto* exif = dlg->findChild<QCheckBox*>("keepExif");
        for (QWidget* w : std::initializer_list<QWidget*>{autoAB, preview, batch, vr, exif})
            QVERIFY2(w->y() > templateBottom && dlg->rect().contains(w->geometry()), qPrintable(w->objectName()));
        QCOMPARE(QList<int>({preview->y(), batch->y(), preview->height(), batch->height()}),
                 QList<int>({autoAB->y(), autoAB->y(), autoAB->height(), autoAB->height()}));
        QCOMPARE(exif->geometry().center().y(), vr->geometry().center().y());
        QVERIFY(autoAB->x() < preview->x() && preview->x() < batch->x() && vr->x() < exif->x() && vr->y() > batch->y());
        QPushButton* video = button(kVideoButtonId);
        QVERIFY(video);
        QCOMPARE(video->text(), QString("Video..."));
        QVERIFY(batch->geometry().right() < video->x() && video->y() == batch->y() && dlg->rect().contains(video->geometry()));
        for (QPushButton* added : {batch, video})
            for (QWidget* other : dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                if (other != added && !other->isWindow() && !qobject_cast<QGroupBox*>(other))
                    QVERIFY2(!other->geometry().intersects(added->geometry()), qPrintable(other->objectName()));
        // The template's controls where the template puts them, whatever was added below.
        const DialogUnits du(dlg->font());
        const struct { int id, x, y, width, height; } placed[] = {
            {1, 160, 225, 85, 13},     {2, 256, 226, 44, 11},     {1002, 59, 55, 28, 12},   {1003, 91, 55, 28, 12},
            {1004, 152, 55, 28, 12},   {1005, 184, 55, 28, 12},   {1007, 59, 70, 28, 12},   {1008, 91, 70, 28, 12},
            {1009, 152, 70, 28, 12},   {1010, 184, 70, 28, 12},   {1011, 108, 131, 28, 12}, {1012, 106, 19, 65, 12},
            {1014, 244, 138, 7, 12},   {1018, 193, 138, 7, 12},   {1019, 295, 138, 7, 12},  {1020, 208, 138, 37, 12},
            {1021, 157, 138, 37, 12},  {1022, 259, 138, 37, 12},  {1027, 25, 225, 105, 13}, {1029, 16, 187, 145, 35},
            {1030, 167, 187, 145, 35}, {1023, 21, 42, 79, 10},    {1024, 20, 86, 92, 10},   {1013, 42, 130, 35, 12},
            {1015, 25, 96, 232, 12},   {1016, 212, 19, 65, 12},   {1017, 93, 163, 65, 12},  {1028, 225, 61, 58, 13},
            {1055, 104, 42, 40, 11},   {1056, 265, 119, 40, 11}};
        for (const auto& c : placed) {
            QWidget* w = control(dlg, c.id);
            QVERIFY2(w && w->geometry() == du.rect(c.x, c.y, c.width, c.height), qPrintable(QString::number(c.id)));
        }
        QStringList order;
        QWidget* w = control(dlg, 1056);  // the template's last control
        while (order.size() < 12) {
            w = w->nextInFocusChain();
            // A part that hands its focus on (a spin box's edit line) is no stop of its own.
            const bool proxy = w->focusProxy() != nullptr;
            if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled() && !proxy) order << w->objectName();
        }
        QCOMPARE(order, QStringList({"autoAB", "preview", "id1070", "id1071", "addMyLens", "vrSuffix", "keepExif", "ignoreOrientation",
                                      "newProjections", "matchColour", "convergence", "id1"}));

        clickRow(list(1030), 0);
        QTest::keyClicks(box(1015), "100,200,96,195,120,180,121,178");
        replaceText(box(1013), "1000");
        clickButton(control<UpDownControl>(dlg, 1019)->upArrow());
        clickButton(dlg->findChild<QCheckBox*>("vrSuffix"));
        writePairs({"a.jpg"}, 40, 30);
        ConversionRequest seen, chosen, back;
        std::string output;
        QStringList offered;
        QString shownChoices;
        QVERIFY(duringModal<BatchDialog>([&] { clickButton(batch); }, [&](BatchDialog* window) {
            seen = window->choices();
            if (!window->pairs().empty()) output = window->pairs()[0].output.filename().string();
            auto* left = window->findChild<QComboBox*>("leftLens");
            for (int k = 0; k < left->count(); ++k) offered << left->itemText(k);
            left->setCurrentIndex(offered.indexOf(QString::fromUtf8("Travel lens — user file")));
            chosen = window->choices();
            shownChoices = window->findChild<QLabel*>("choices")->text();
            left->setCurrentIndex(0);
            back = window->choices();
        }));
        QCOMPARE(output, std::string("a_180_LR.jpg"));  // the players' name, as the check box asks
        QCOMPARE(seen.lenses[0].name + "/" + seen.lenses[1].name, std::string("Equisolid 180/Orthographic"));
        QCOMPARE(seen.outputHeight, 1000);
        QCOMPARE(seen.zenith.yaw, 1);
        QVERIFY(readPoints(givenPoints(seen.alignment)).ok());
        QCOMPARE(alignmentPoints(seen.alignment), PointSet::fromListOrder({100, 200, 96, 195, 120, 180, 121, 178}));
        QCOMPARE(offered, QStringList({"Main window's (Equisolid 180)", QString::fromUtf8("Orthographic — working folder"),
                                       QString::fromUtf8("Equisolid 180 — working folder"),
                                       QString::fromUtf8("Travel lens — user file"),
                                       QString::fromUtf8("Equisolid 180 — user file")}));
        QCOMPARE(chosen.lenses[0].name + "/" + chosen.lenses[1].name, std::string("Travel lens/Orthographic"));
        QVERIFY2(shownChoices.contains(QString::fromUtf8("left “Travel lens”")), qPrintable(shownChoices));
        QCOMPARE(back.lenses[0].name, std::string("Equisolid 180"));

        // The video window gets the same choices, and the players' name for its output.
        VideoDialog::Built built;
        QVERIFY(duringModal<VideoDialog>([&] { clickButton(video); }, [&](VideoDialog* window) { built = window->buildRequest(); }));
        QCOMPARE(built.error, std::string());
        const ConversionRequest& frames = built.request.frames;
        QCOMPARE(frames.lenses[0].name + "/" + frames.lenses[1].name, std::string("Equisolid 180/Orthographic"));
        QCOMPARE(alignmentPoints(frames.alignment), PointSet::fromListOrder({100, 200, 96, 195, 120, 180, 121, 178}));
        QCOMPARE(frames.zenith.yaw, 1);
        QCOMPARE(built.request.output.generic_string(), std::string("./output/LROut_180_LR.mp4"));
        QCOMPARE(built.request.left.generic_string(), std::string("./input/L.mp4"));
        QVERIFY(!std::holds_alternative<AutomaticAlignment>(frames.alignment) && !built.request.offsetSeconds);
    }

    // The program's own choices come back in the next run; the template's controls start from their defaults.
    void remembersItsOwnChoicesOnly() {
        // What an earlier version remembered in the folder that differs from the lens file's by case moves over once.
        QSettings(QStringLiteral("Vistereo"), QStringLiteral("vistereo")).setValue("windows/earlier", 7);
        QVERIFY(moveEarlierSettings() && !moveEarlierSettings());
        QCOMPARE(userSettings().value("windows/earlier").toInt(), 7);
        QVERIFY(!QDir(dir_->path() + "/settings/Vistereo").exists());
        QCOMPARE(QFileInfo(userSettings().fileName()).dir().dirName(), QStringLiteral("vistereo"));
        auto* dlg = openMain();
        QVERIFY(dlg);
        clickButton(dlg->findChild<QCheckBox*>("vrSuffix"));
        dlg->findChild<QDoubleSpinBox*>("convergence")->setValue(1.25);
        replaceText(box(1013), "2000");
        clickButton(control<UpDownControl>(dlg, 1014)->upArrow());
        dlg->move(dlg->pos() + QPoint(30, 20));
        const QRect placed = dlg->geometry();
        dlg->close();
        QVERIFY(dlg = openMain());
        QVERIFY(dlg->findChild<QCheckBox*>("vrSuffix")->isChecked() && !dlg->findChild<QCheckBox*>("keepExif")->isChecked());
        QCOMPARE(dlg->findChild<QDoubleSpinBox*>("convergence")->value(), 1.25);
        QCOMPARE(dlg->geometry(), placed);
        QCOMPARE(texts(dlg, {1013, 1011, 1020}), QStringList({"4096", "8192", ""}));
    }

    // On a 1366 x 768 screen every window, with room for its frame, and every part of it is on the screen.
    void windowsFitALaptopScreen_data() {
        QTest::addColumn<QString>("window");
        for (const char* w : {"main", "registration", "picker", "portrait picker", "batch", "video", "preview", "about",
                              "add my lens"})
            QTest::newRow(w) << w;
    }
    void windowsFitALaptopScreen() {
        QFETCH(QString, window);
        QScreen* laptop = laptopScreen();
        QVERIFY2(laptop, "the test platform has no 1366 x 768 screen");
        pickerPhotos(window == "picker" ? "L.png" : "P.png");
        QVERIFY(cv::imwrite("input/P.png", noiseImage(1000, 1500, 3)));
        writePairs({"a.jpg"}, 40, 30);
        auto* main = new CMyVistereoDlg(*app_);
        main->setScreen(laptop);
        main->move(laptop->geometry().topLeft() + QPoint(200, 60));
        QVERIFY(start(main));
        QWidget* shown = main;
        if (window == "registration") shown = new CameraDlg2(*app_, main);
        if (window == "batch") shown = new BatchDialog(choices(16), false, main);
        if (window == "about") shown = new CAboutDlg(main);
        if (window == "add my lens") shown = new AddLensGuide(kLensRegistryFileName, std::nullopt, main);
        if (window == "video") shown = new VideoDialog(choices(0), false, main);
        if (window == "preview") shown = new PreviewDialog(noiseImage(4096, 2048, 4), "x", main);
        if (window.endsWith("picker")) {
            auto* picker = new LRPointDlg(*app_, main);
            picker->open();
            QVERIFY(picker->displayScale() < 1.0);
            shown = picker;
        }
        shown->show();
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        QString why;
        QVERIFY2(fitsOn(shown, laptop, why), qPrintable(why));
    }

    // On the laptop screen the picker's views are shown smaller: presses are measured back in view pixels, and
    // both A and B are marked in both pictures.
    void fittedPickerMeasuresPressesInViewPixelsAndMarksBothPoints() {
        pickerPhotos();
        auto* host = new QWidget;
        host->setScreen(laptopScreen());
        host->setGeometry(laptopScreen()->geometry().adjusted(100, 100, -100, -100));
        QVERIFY(start(host));
        auto* dlg = new LRPointDlg(*app_, host);
        dlg->open();
        QVERIFY(QTest::qWaitForWindowExposed(dlg));
        const double scale = dlg->displayScale();
        QVERIFY2(scale > 0.5 && scale < 1.0, qPrintable(QString::number(scale)));
        const QPoint pressed[2] = {{250, 180}, {520, 400}};  // in the picture as shown, rows A and B
        QStringList expected;
        for (int row = 0; row < 2; ++row) {
            clickButton(control<QRadioButton>(dlg, 1023 + row));
            press(dlg, control<QLabel>(dlg, 1054), pressed[row]);
            const int x = int(std::floor(pressed[row].x() / scale) / kLeftScale), y = int(std::floor(pressed[row].y() / scale) / kLeftScale);
            expected << QString::number(x) << QString::number(y) << QString::number(x + kOffset.x) << QString::number(y + kOffset.y);
        }
        QCOMPARE(messages_, QStringList());
        QCOMPARE(texts(dlg, kPickerEdits), expected);
        // A red outline around each point, in each picture: a run of red pixels down its left side.
        const struct { int id; double viewScale; int xIndex; } pictures[2] = {{1054, kLeftScale, 0}, {1055, 512.0 / 2400, 2}};
        for (const auto& p : pictures) {
            const QImage image = picture(dlg, p.id);
            for (int row = 0; row < 2; ++row) {
                const int vx = int(expected[4 * row + p.xIndex].toInt() * p.viewScale), vy = int(expected[4 * row + p.xIndex + 1].toInt() * p.viewScale);
                const QPoint centre(qRound(vx * scale), qRound(vy * scale));
                for (int dy = -3; dy <= 3; ++dy) {
                    bool red = false;  // somewhere on the outline's left side, whatever the rounding
                    for (int dx = -8; dx <= -4; ++dx) {
                        const QColor c = image.pixelColor(centre + QPoint(dx, dy));
                        red = red || (c.red() > 200 && c.green() < 60 && c.blue() < 60);
                    }
                    QVERIFY2(red, qPrintable(QString("picture %1 row %2 at %3,%4").arg(p.id).arg(row).arg(centre.x()).arg(centre.y() + dy)));
                }
            }
        }
    }

    // The video window: the offset the cameras' sound gives (the take's right camera starts 0.25 s and 37 samples
    // after the left) or, when the left camera has no sound, "Find offset" says why and opens the offset box, and the
    // offset typed there is used; then a VR180 file of the 30 frames both cameras filmed, and nothing else in output/.
    // A refusal writes nothing and gives the reason in the window's words (no command-line option); the inputs stay.
    void videoWindow_data() {
        QTest::addColumn<VideoCase>("c");
        const QString byPoints = "Alignment: by points A and B.";
        QTest::newRow("offset found from the sound")
            << VideoCase{true, {{"height", "64"}},
                         {"", "runs -0.2508 s (-6 frames -0.8 ms), confidence ", "\nSound match: its peak stands ",
                          " — good (good from 4", "30 frames at 24 fps from 0:00.250"}, "",
                         {"Wrote ./output/LROut.mp4 (128 × 64, 30 frames, 1.250 s at 24 fps, h264 crf 20) in ", byPoints,
                          "\nSound match: its peak stands ", "\nFrame size: 128 × 64 needs H.264 level 1",
                          "\nEncoding: h264 at CRF 20 — good (good up to 23", "\nSpeed: "}, true};
        QTest::newRow("offset typed by hand")
            << VideoCase{false, {{"height", "32"}}, {"No offset: ", "set the offset by hand"}, "-0.25",
                         {"Offset: -0.250 s as given (-6 frames).", byPoints, "\nFrame size: 64 × 32"}, true};
        QTest::newRow("no video stream")
            << VideoCase{true, {{"leftVideo", "sound.wav"}},
                         {"", "cannot read the left video \"./input/sound.wav\": it has no video stream"}, "",
                         {"Not written: cannot read the left video \"./input/sound.wav\": it has no video stream"}, false};
        QTest::newRow("a range beyond the end")
            << VideoCase{true, {{"duration", "10"}}, {"", "reaches beyond the end"}, "",
                         {"Not written: the range 0:00.000 to 0:10.000 reaches beyond the end of the left video, which ends "
                          "at 0:01.500"}, false};
        QTest::newRow("a start that is no time")
            << VideoCase{true, {{"startTime", "1:7x"}}, {}, "", {"Not started: The start takes seconds, M:SS or H:MM:SS"}, false};
        QTest::newRow("an output that is no MP4")
            << VideoCase{true, {{"output", "out.mkv"}}, {}, "", {"Not started: The output must be an .mp4 file"}, false};
        QTest::newRow("an output onto a camera's file")
            << VideoCase{true, {{"output", "input/R.mp4"}}, {}, "", {"Not started: ", "the right video"}, false};
    }
    void videoWindow() {
        QFETCH(VideoCase, c);
        testsupport::SynthTake take;  // 36 frames at 24 fps from each camera
        take.leftSound = c.leftSound;
        auto* dlg = openVideo(take);
        QVERIFY(dlg);
        testsupport::writeWav("input/sound.wav", testsupport::clickTrack(0, 1.0, 48000, 1), 48000);
        for (const auto& [name, text] : c.typed) replaceText(part<QLineEdit>(qPrintable(name)), text);
        if (!c.offsetShows.isEmpty()) {
            QSignalSpy shown(dlg, &VideoDialog::offsetShown);
            clickButton(part<QPushButton>("findOffset"));
            QVERIFY(!part<QPushButton>("startButton")->isEnabled());
            QVERIFY(shown.wait(60000));
            QVERIFY2(offsetText().startsWith(c.offsetShows[0]) && !offsetText().contains("--"), qPrintable(offsetText()));
            for (const QString& said : c.offsetShows) QVERIFY2(offsetText().contains(said), qPrintable(offsetText()));
            // Only a missing sound opens the offset box.
            QCOMPARE(part<QCheckBox>("manualOffset")->isChecked(), !c.leftSound);
            QCOMPARE(part<QLineEdit>("offset")->isEnabled(), !c.leftSound);
            if (!c.offset.isEmpty()) replaceText(part<QLineEdit>("offset"), c.offset);
        }
        QSignalSpy finished(dlg, &VideoDialog::videoFinished);
        clickButton(part<QPushButton>("startButton"));
        if (c.written) {
            QVERIFY(dlg->running() && part<QPushButton>("cancelButton")->isEnabled());
            for (const char* name : {"leftVideo", "findOffset", "startButton", "closeButton", "alignment"})
                QVERIFY2(!part<QWidget>(name)->isEnabled(), name);
        }
        QVERIFY(finished.count() == 1 || finished.wait(120000));
        QVERIFY2(!report().contains("--"), qPrintable(report()));
        for (const QString& said : c.reportHolds) QVERIFY2(report().contains(said), qPrintable(report()));
        QCOMPARE(outputFiles(), c.written ? QStringList{"LROut.mp4"} : QStringList());
        QCOMPARE(frameCount("output/LROut.mp4"), c.written ? 30 : -1);
        QCOMPARE(frameCount("input/R.mp4"), 36);
        if (c.written) QCOMPARE(part<QProgressBar>("progress")->value(), 30);
        QVERIFY(part<QPushButton>("startButton")->isEnabled() && !part<QPushButton>("cancelButton")->isEnabled());
    }

    void videoWindowStopsAndLeavesNothing_data() {
        QTest::addColumn<bool>("closing");  // false: by Cancel; true: by closing the window and answering Yes
        QTest::newRow("Cancel") << false;
        QTest::newRow("closing the window") << true;
    }
    // Stopped while its frames are converted: the window says so, and output/ holds no file, not even a temporary.
    // Closing asks first, then the window closes once the conversion has stopped.
    void videoWindowStopsAndLeavesNothing() {
        QFETCH(bool, closing);
        testsupport::SynthTake take;
        take.frames = 96;
        auto* dlg = openVideo(take);
        QVERIFY(dlg);
        replaceText(part<QLineEdit>("height"), "1024");  // slow enough to be stopped on the way
        QSignalSpy finished(dlg, &VideoDialog::videoFinished);
        bool stopped = false;
        connect(part<QProgressBar>("progress"), &QProgressBar::valueChanged, dlg, [&](int value) {
            if (value < 2 || stopped) return;
            stopped = true;
            if (!closing) clickButton(part<QPushButton>("cancelButton"));
            else QTimer::singleShot(0, dlg, [dlg] { dlg->close(); });
        });
        const bool asked = duringModal<QMessageBox>([&] { clickButton(part<QPushButton>("startButton")); finished.wait(120000); },
                                                    [](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        QCOMPARE(finished.count(), 1);
        QVERIFY(stopped);
        QCOMPARE(asked, closing);
        QVERIFY2(report().contains(QRegularExpression("^Stopped after \\d+ frames: nothing was written.\nSynchronised: ")), qPrintable(report()));
        QVERIFY(part<QProgressBar>("progress")->value() < 90);
        QCOMPARE(outputFiles(), QStringList());
        QCOMPARE(dlg->isVisible(), !closing);
    }

    // "Add my lens": the circle found in a rendered fisheye shot whose circle is known (its lens law as imperfect as
    // a real one: a field of view of 190 degrees called 180), optionally dragged, and the record written where asked;
    // a name a file holds, one the command line reads as a number, or no file refuses Register with the reason.
    void addMyLensGuide_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("inFolder");
        QTest::addColumn<bool>("inUserFile");
        QTest::addColumn<double>("dragRim");  // dots the rim is dragged outward along image-right
        QTest::addColumn<QString>("refusal");  // empty: registered
        QTest::newRow("both files") << "My fisheye" << true << true << 0.0 << "";
        QTest::newRow("the user's file only") << "Travel" << false << true << 0.0 << "";
        QTest::newRow("rim dragged out") << "Dragged" << true << false << 40.0 << "";
        QTest::newRow("a name the folder holds") << "Equisolid" << true << false << 0.0 << "already holds a lens named";
        QTest::newRow("a record number") << "#2" << true << true << 0.0 << "cannot be used";
        QTest::newRow("no file") << "Nowhere" << false << false << 0.0 << "Choose where to keep it";
    }
    void addMyLensGuide() {
        QFETCH(QString, name);
        QFETCH(bool, inFolder);
        QFETCH(bool, inUserFile);
        QFETCH(double, dragRim);
        QFETCH(QString, refusal);
        writeRegistry({lensRecord("Equisolid")});
        testsupport::CircleShot shot;
        shot.width = 900, shot.height = 600, shot.centreX = 452.5, shot.centreY = 297.0, shot.radius = 280.0;
        shot.noise = 2.0, shot.rimLight = 0.5;
        QVERIFY(QDir().mkpath("input"));
        QVERIFY(cv::imwrite("input/fisheye.png", testsupport::renderCircleShot(testsupport::panorama(), shot)));
        const std::filesystem::path userFile = (dir_->path() + "/config/vistereo/Vistereo.ini").toStdString();
        auto* guide = start(new AddLensGuide(kLensRegistryFileName, userFile));
        QVERIFY(guide);
        QVERIFY(!guide->findChild<QPushButton*>("registerLens")->isEnabled());
        QSignalSpy searched(guide, &AddLensGuide::circleSearched);
        guide->usePhotos({"input/fisheye.png"});
        QVERIFY(searched.wait(60000));
        auto value = [&](const char* box) { return guide->findChild<QDoubleSpinBox*>(box)->value(); };
        QVERIFY2(std::hypot(value("centreX") - shot.centreX, value("centreY") - shot.centreY) < 1.5,
                 qPrintable(QString("%1, %2").arg(value("centreX")).arg(value("centreY"))));
        QVERIFY(std::abs(value("radius") - shot.radius) < 2.0);
        if (dragRim != 0.0) {
            auto* view = guide->findChild<CircleView*>("circleView");
            const QPointF rim = view->toWidget({value("centreX") + value("radius"), value("centreY")});
            const QPointF out = view->toWidget({value("centreX") + value("radius") + dragRim, value("centreY")});
            QTest::mousePress(view, Qt::LeftButton, {}, rim.toPoint());
            QMouseEvent move(QEvent::MouseMove, out, view->mapToGlobal(out), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(view, &move);
            QTest::mouseRelease(view, Qt::LeftButton, {}, out.toPoint());
            QVERIFY2(std::abs(value("radius") - (shot.radius + dragRim)) < 3.0, qPrintable(QString::number(value("radius"))));
            QVERIFY(guide->findChild<QLabel*>("circleText")->text().contains("Moved by hand"));
        }
        guide->findChild<QCheckBox*>("inFolder")->setChecked(inFolder);
        guide->findChild<QCheckBox*>("inUserFile")->setChecked(inUserFile);
        guide->findChild<QLineEdit*>("lensName")->setText(name);
        const QString status = guide->findChild<QLabel*>("guideStatus")->text();
        QCOMPARE(guide->findChild<QPushButton*>("registerLens")->isEnabled(), refusal.isEmpty());
        if (!refusal.isEmpty()) {
            QVERIFY2(status.contains(refusal), qPrintable(status));
            QVERIFY(!guide->registerLens());
            QCOMPARE(registryNames(), QStringList({"Equisolid"}));
            QVERIFY(!QFile::exists(QString::fromStdString(userFile.string())));
            return;
        }
        QVERIFY(guide->registerLens());
        QCOMPARE(guide->result(), int(QDialog::Accepted));
        QCOMPARE(guide->savedInFolder(), inFolder);
        LensRegistry user;
        LoadLensRegistry(user, userFile);
        QCOMPARE(registryNames(), inFolder ? QStringList({"Equisolid", name}) : QStringList({"Equisolid"}));
        QCOMPARE(user.count, inUserFile ? 1 : 0);
        const LensRecord written = inFolder ? readRegistry().back() : user.records[0];
        // The record's axis is the circle's centre and, for the equidistant law, its radius the circle's.
        QCOMPARE(written.mappingKind, int(MappingKind::Equidistant));
        QCOMPARE(written.axisMode, 1);
        QVERIFY(std::abs(written.axisX - shot.centreX) <= 2 && std::abs(written.axisY - shot.centreY) <= 2);
        QVERIFY2(std::abs(written.radiusDots - (shot.radius + dragRim)) <= 4, qPrintable(QString::number(written.radiusDots)));
    }

    // The main window's lens lists say why they are empty and what to press, and only while they are.
    void lensListsExplainAnEmptyRegistry_data() {
        QTest::addColumn<bool>("registered");
        QTest::newRow("no Vistereo.ini") << false;
        QTest::newRow("one lens") << true;
    }
    void lensListsExplainAnEmptyRegistry() {
        QFETCH(bool, registered);
        if (registered) writeRegistry({lensRecord("Equisolid")});
        auto* dlg = openMain();
        QVERIFY(dlg);
        auto* hint = dlg->findChild<QLabel*>("rightLensHint");
        QVERIFY(hint);
        QCOMPARE(hint->isVisible(), !registered);
        QVERIFY(hint->text().contains("Add my lens..."));
        QVERIFY(dlg->findChild<QPushButton*>("addMyLens")->isVisible());
        QCOMPARE(list(1029)->count(), registered ? 1 : 0);

        // Through the guide: the lens lands in the lists, picked for both eyes, and the hint goes.
        testsupport::CircleShot shot;
        shot.width = 600, shot.height = 400, shot.centreX = 300.0, shot.centreY = 199.5, shot.radius = 190.0;
        QVERIFY(QDir().mkpath("input"));
        QVERIFY(cv::imwrite("input/mine.png", testsupport::renderCircleShot(testsupport::panorama(), shot)));
        const bool shown = duringModal<AddLensGuide>([&] { clickButton(dlg->findChild<QPushButton*>("addMyLens")); },
                                                     [](AddLensGuide* guide) {
            QSignalSpy searched(guide, &AddLensGuide::circleSearched);
            guide->usePhotos({"input/mine.png"});
            if (!searched.wait(30000)) return;
            guide->findChild<QLineEdit*>("lensName")->setText("Mine");
            guide->registerLens();
        });
        QVERIFY(shown);
        const QStringList names = registered ? QStringList({"Equisolid", "Mine"}) : QStringList({"Mine"});
        QCOMPARE(listNames(list(1029)), names);
        QCOMPARE(listNames(list(1030)), names);
        QCOMPARE(selectedRow(list(1029)), names.size() - 1);
        QCOMPARE(selectedRow(list(1030)), names.size() - 1);
        QCOMPARE(app_->conversionChoices.lenses[0].name, std::string("Mine"));
        QCOMPARE(app_->conversionChoices.lenses[1].name, std::string("Mine"));
        QVERIFY(!hint->isVisible());
        // An equidistant lens converts on the main window's own route only with the newer projections.
        QVERIFY(dlg->findChild<QCheckBox*>("newProjections")->isChecked());
    }

    // The batch window's summary names the colour match, the stereo window and the JPEG quality it applies (the
    // encoder's default when none is chosen), its bar counts the pairs
    // Start would convert, and it says why Start waits when an eye has no lens.
    void batchSummaryAndStartReasons_data() {
        QTest::addColumn<bool>("lenses");
        QTest::addColumn<bool>("matched");
        QTest::addColumn<double>("convergence");
        QTest::addColumn<int>("quality");
        QTest::newRow("lenses, matched, turned") << true << true << 1.2 << 80;
        QTest::newRow("lenses, as photographed") << true << false << 0.0 << 0;
        QTest::newRow("no lens picked") << false << false << 0.0 << 0;
    }
    void batchSummaryAndStartReasons() {
        QFETCH(bool, lenses);
        QFETCH(bool, matched);
        QFETCH(double, convergence);
        QFETCH(int, quality);
        writePairs({"a.jpg", "b.jpg", "c.jpg"}, 64, 48);
        ConversionRequest request = choices(16);
        request.jpegQuality = quality;
        if (!lenses) request.lenses = {};
        request.matchColour = matched ? ColourMatching::Tone : ColourMatching::Off;
        request.convergenceDegrees = convergence;
        auto* dlg = start(new BatchDialog(request));
        QVERIFY(dlg);
        const QString summary = part<QLabel>("choices")->text();
        QVERIFY2(summary.contains(matched ? "right eye matched to the left" : "as photographed (Match colour is off)"),
                 qPrintable(summary));
        QVERIFY2(summary.contains(convergence != 0.0 ? "right eye turned 1.20°" : "Convergence 0"), qPrintable(summary));
        QVERIFY2(summary.contains(QString("JPEG files of quality %1 in output/").arg(quality ? quality : 95)), qPrintable(summary));
        QCOMPARE(part<QPushButton>("startButton")->isEnabled(), lenses);
        QCOMPARE(status().contains("Start waits for a lens for each eye"), !lenses);
        QCOMPARE(part<QProgressBar>("progress")->maximum(), 3);
        QCOMPARE(part<QProgressBar>("progress")->text(), QString("0 of 3 pairs"));
    }

    // The batch and video windows' figures against their limits: each grade on the right side of its limit, the
    // limits named in the text, and a way forward for all but a good figure.
    void figureVerdicts_data() {
        QTest::addColumn<JudgedFigure>("figure");
        QTest::addColumn<int>("grade");
        QTest::addColumn<QStringList>("says");
        using media::VideoCodec;
        const int good = int(alignment::Grade::Good), fair = int(alignment::Grade::Acceptable),
                  poor = int(alignment::Grade::Poor);
        const QStringList crf = {"(good up to 23, acceptable up to 28)"}, hevc = {"(good up to 28, acceptable up to 33)"};
        QTest::newRow("sound: a clear peak") << judgeSyncConfidence(8.3) << good << QStringList{"8.3 times", "good from 4"};
        QTest::newRow("sound: twice the refusal, just") << judgeSyncConfidence(4.0) << good << QStringList{"4.0 times"};
        QTest::newRow("sound: just sure") << judgeSyncConfidence(2.3) << fair << QStringList{"2.3 times", "below 2"};
        QTest::newRow("sound: chance") << judgeSyncConfidence(1.4) << poor << QStringList{"1.4 times"};
        QTest::newRow("crf: the default") << judgeCrf(VideoCodec::H264, 20) << good << crf;
        QTest::newRow("crf: x264's own default") << judgeCrf(VideoCodec::H264, 23) << good << crf;
        QTest::newRow("crf: coarse") << judgeCrf(VideoCodec::H264, 26) << fair << crf;
        QTest::newRow("crf: blocks") << judgeCrf(VideoCodec::H264, 35) << poor << crf;
        QTest::newRow("crf: hevc's scale sits higher") << judgeCrf(VideoCodec::Hevc, 28) << good << hevc;
        QTest::newRow("crf: lossless") << judgeCrf(VideoCodec::H264, 0) << good << QStringList{"h264 at CRF 0, lossless"};
        QTest::newRow("speed: real time") << judgeSpeed(30.0, 30.0) << good << QStringList{"30.0 frames a second, 1.00×"};
        QTest::newRow("speed: a tenth") << judgeSpeed(3.0, 30.0) << fair << QStringList{"0.10×"};
        QTest::newRow("speed: slower") << judgeSpeed(2.9, 30.0) << poor << QStringList{"0.10×"};
        QTest::newRow("size: 4K for every player") << judgeFrameSize(VideoCodec::H264, 2048, 30.0) << good
                                                   << QStringList{"4096 × 2048 needs H.264 level 5"};
        QTest::newRow("size: 4K in hevc") << judgeFrameSize(VideoCodec::Hevc, 2048, 30.0) << good
                                          << QStringList{"needs HEVC Main level 5"};
        QTest::newRow("size: 5.7K for 8K players") << judgeFrameSize(VideoCodec::Hevc, 2880, 30.0) << fair
                                                   << QStringList{"5760 × 2880 needs HEVC Main level 6"};
        QTest::newRow("size: beyond every level") << judgeFrameSize(VideoCodec::H264, 8192, 30.0) << poor
                                                  << QStringList{"no h264 level takes it"};
        QTest::newRow("shoot: one rotation fits") << judgeSharedRotationSpread(0.1) << good
                                                  << QStringList{"within 6.0′", "(good up to 9.6′, acceptable up to 19.2′)"};
        QTest::newRow("shoot: fits at the fusion limit") << judgeSharedRotationSpread(0.32) << fair
                                                         << QStringList{"within 19.2′"};
        QTest::newRow("shoot: the rig moved") << judgeSharedRotationSpread(0.5) << poor
                                              << QStringList{"within 30.0′"};
    }
    void figureVerdicts() {
        QFETCH(JudgedFigure, figure);
        QFETCH(int, grade);
        QFETCH(QStringList, says);
        QCOMPARE(int(figure.grade), grade);
        const QString word = QString::fromUtf8(alignment::gradeName(figure.grade));
        QVERIFY2(figure.text.contains(QStringLiteral(" — ") + word + " "), qPrintable(figure.text));
        for (const QString& said : says) QVERIFY2(figure.text.contains(said), qPrintable(figure.text));
        if (figure.grade != alignment::Grade::Good) QVERIFY2(!figure.advice.isEmpty(), qPrintable(figure.text));
    }

    // The video window's summary names the colour match, the stereo window and the encoder; a refusal of names
    // that no longer stand is cleared when they change.
    void videoSummaryAndStaleRefusal() {
        testsupport::SynthTake take;
        take.frames = 8;
        media::silenceVideoLibraries();
        QVERIFY(QDir().mkpath("input"));
        ConversionRequest request = choices(0);
        request.matchColour = ColourMatching::Tone;
        request.convergenceDegrees = 0.5;
        auto* dlg = start(new VideoDialog(request));
        QVERIFY(dlg);
        part<QSpinBox>("crf")->setValue(18);
        const QString summary = part<QLabel>("choices")->text();
        for (const char* says : {"right eye matched to the left", "right eye turned 0.50°",
                                 "Encoding: h264 (preset fast) at CRF 18 — good (good up to 23, acceptable up to 28)"})
            QVERIFY2(summary.contains(says), qPrintable(summary));
        QVERIFY(part<QProgressBar>("progress")->isTextVisible());
        // A coarse setting says so, and what to do, where the summary is pointed at.
        part<QSpinBox>("crf")->setValue(30);
        QVERIFY2(part<QLabel>("choices")->text().contains("Encoding: h264 (preset fast) at CRF 30 — poor"),
                 qPrintable(part<QLabel>("choices")->text()));
        QVERIFY(part<QLabel>("choices")->toolTip().contains("lower Quality (CRF) to 23"));
        replaceText(part<QLineEdit>("leftVideo"), "L.mp4");
        replaceText(part<QLineEdit>("rightVideo"), "R.mp4");
        replaceText(part<QLineEdit>("output"), "out.mp4");
        clickButton(part<QPushButton>("startButton"));
        QVERIFY(QTest::qWaitFor([&] { return !dlg->running() && !report().isEmpty(); }, 60000));
        QVERIFY2(report().contains("L.mp4"), qPrintable(report()));  // no such video yet
        testsupport::writeSynthTake(take, "input/L2.mp4", "input/R2.mp4");
        replaceText(part<QLineEdit>("leftVideo"), "L2.mp4");
        QCOMPARE(report(), QString());
    }

    // "Cancel" on Auto A,B's box gives the window back at once; the alignment that ends afterwards changes nothing.
    void autoABCancelGivesTheWindowBack() {
        auto* dlg = openWith(rigCamera(false), rigCamera(true));
        QVERIFY(dlg);
        QTest::keyClicks(box(1015), "1,2,3,4,5,6,7,8");
        QSignalSpy aligned(dlg, &CMyVistereoDlg::autoAlignFinished);
        clickButton(dlg->findChild<QPushButton*>("autoAB"));
        QVERIFY(dlg->conversionRunning());
        QPushButton* cancel = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* progress = qobject_cast<QProgressDialog*>(w); progress && progress->isVisible())
                cancel = progress->findChild<QPushButton*>("cancelWait");
        QVERIFY(cancel);
        clickButton(cancel);
        QVERIFY(!dlg->conversionRunning() && box(1013)->isEnabled());
        QCOMPARE(aligned.count(), 1);
        dlg->conversionPool().waitForDone();
        QTest::qWait(200);  // the alignment's end, delivered to the window
        QCOMPARE(messages_, QStringList());
        QCOMPARE(texts(dlg, kPointBoxes), QStringList(8, ""));
    }
};

QTEST_MAIN(DialogTests)
#include "dialog_tests.moc"
