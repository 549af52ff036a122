#include "ui/main_dialog.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDoubleSpinBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "alignment/alignment.h"
#include "measure/measure.h"
#include "conversion/auto_align.h"
#include "lens/lens_selection.h"
#include "stereofile/output_formats.h"
#include "conversion/run.h"
#include "stereofile/stereo_image.h"
#include "registry/lens_registry.h"
#include "registry/lens_sources.h"
#include "lens/lens_check.h"
#include "base/text_numbers.h"
#include "ui/about_dialog.h"
#include "ui/windows/add_lens_guide.h"
#include "ui/additions_strip.h"
#include "ui/app.h"
#include "ui/widgets/app_icon.h"
#include "ui/widgets/background.h"
#include "ui/windows/batch_dialog.h"
#include "ui/camera_dialog.h"
#include "ui/widgets/dialog_layout.h"
#include "ui/widgets/digits_edit.h"
#include "ui/lr_point_dialog.h"
#include "ui/widgets/message_box.h"
#include "ui/windows/preview_dialog.h"
#include "ui/widgets/up_down_control.h"
#include "ui/widgets/user_settings.h"
#include "ui/windows/video_dialog.h"

namespace vistereo {
namespace {

// Where the strip of additions starts, below the window's own controls (in dialog units).
constexpr int kAdditionsTop = 243;

std::string narrow(const QString& text) { return text.toStdString(); }

// Read-only boxes show the dialog's own background, as the system draws them.
void makeReadOnly(QLineEdit* box) {
    box->setReadOnly(true);
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    box->setPalette(palette);
}

// The progress of a running conversion. It cannot be cancelled or closed:
// the run ends by itself, and only then does the dialog take input again.
class ConversionProgress : public QProgressDialog {
public:
    explicit ConversionProgress(QWidget* parent) : QProgressDialog(parent) {
        setWindowTitle(QStringLiteral("Vistereo"));
        setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
        setFont(dialogFont(10));
        setWindowModality(Qt::ApplicationModal);
        setCancelButton(nullptr);
        setLabelText(QStringLiteral("Converting…"));
        setRange(0, 100);
        setMinimumDuration(0);
        setAutoClose(false);
        setAutoReset(false);
        setMinimumWidth(320);
    }
    void reject() override {}  // Escape does not end a conversion

    // A wait the user may stop waiting for: a Cancel button that calls `stop`.
    void offerCancel(std::function<void()> stop) {
        auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
        cancel->setObjectName(QStringLiteral("cancelWait"));
        setCancelButton(cancel);
        connect(this, &QProgressDialog::canceled, this, std::move(stop));
    }

protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

// The run's messages, shown on the user-interface thread one at a time: the
// worker waits until the user has closed each box, as the run expects.
class DialogMessages : public MessageSink {
public:
    DialogMessages(QWidget* dialog, std::function<void()> beforeMessage)
        : dialog_(dialog), beforeMessage_(std::move(beforeMessage)) {}

    void showMessage(const std::string& text) override {
        const QString message = QString::fromStdString(text);
        auto show = [this, message] {
            beforeMessage_();
            ShowMessage(dialog_, message);
        };
        if (QThread::currentThread() == dialog_->thread()) {
            show();
        } else {
            QMetaObject::invokeMethod(dialog_, show, Qt::BlockingQueuedConnection);
        }
    }

private:
    QWidget* dialog_;
    std::function<void()> beforeMessage_;
};

}  // namespace

CMyVistereoDlg::CMyVistereoDlg(CMyVistereoApp& app, QWidget* parent) : QDialog(parent), m_app(app) {
    setWindowTitle(QStringLiteral("Vistereo"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(applicationIcon());
    setFont(dialogFont(10));
    setSizeGripEnabled(false);
    m_runPool.setMaxThreadCount(1);
    buildControls();
    OnInitDialog();
}

CMyVistereoDlg::~CMyVistereoDlg() {
    // A run still going shows its messages through this thread (blocking queued calls), and the pool's destructor
    // waits for the run: serve those calls until it ends, or each would wait on the other for ever.
    while (!m_runFuture.isFinished()) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

void CMyVistereoDlg::buildControls() {
    const DialogUnits du(font());

    // Controls in template order, which is also the tab order.
    m_startButton = new QPushButton(QStringLiteral("Start Conversion !!!"), this);
    du.place(m_startButton, 1, 160, 225, 85, 13);
    // Enter presses the default button, or the push button that has the focus.
    m_startButton->setDefault(true);

    auto* finish = new QPushButton(QStringLiteral("Finish"), this);
    du.place(finish, 2, 256, 226, 44, 11);

    // The eight point boxes in control-id order; m_pointBoxes keeps that order.
    struct PointBox { int id, x, y; };
    const PointBox pointBoxes[8] = {{1002, 59, 55}, {1003, 91, 55}, {1004, 152, 55}, {1005, 184, 55},
                                    {1007, 59, 70}, {1008, 91, 70}, {1009, 152, 70}, {1010, 184, 70}};
    for (int k = 0; k < 8; ++k) {
        m_pointBoxes[k] = new DigitsOnlyEdit(this);
        du.place(m_pointBoxes[k], pointBoxes[k].id, pointBoxes[k].x, pointBoxes[k].y, 28, 12);
    }

    m_width = new QLineEdit(this);
    du.place(m_width, 1011, 108, 131, 28, 12);
    makeReadOnly(m_width);
    m_width->setFrame(false);

    m_leftName = new QLineEdit(this);
    du.place(m_leftName, 1012, 106, 19, 65, 12);

    auto* pitchStep = new UpDownControl(this);
    du.place(pitchStep, 1014, 244, 138, 7, 12);
    auto* rollStep = new UpDownControl(this);
    du.place(rollStep, 1018, 193, 138, 7, 12);
    auto* yawStep = new UpDownControl(this);
    du.place(yawStep, 1019, 295, 138, 7, 12);

    m_pitchBox = new QLineEdit(this);
    du.place(m_pitchBox, 1020, 208, 138, 37, 12);
    m_rollBox = new QLineEdit(this);
    du.place(m_rollBox, 1021, 157, 138, 37, 12);
    m_yawBox = new QLineEdit(this);
    du.place(m_yawBox, 1022, 259, 138, 37, 12);
    for (QLineEdit* box : {m_pitchBox, m_rollBox, m_yawBox}) makeReadOnly(box);

    auto* registration = new QPushButton(QStringLiteral("Camera Lens Registration"), this);
    du.place(registration, 1027, 25, 225, 105, 13);

    m_leftLenses = new QListWidget(this);
    du.place(m_leftLenses, 1029, 16, 187, 145, 35);
    m_rightLenses = new QListWidget(this);
    du.place(m_rightLenses, 1030, 167, 187, 145, 35);
    for (QListWidget* list : {m_leftLenses, m_rightLenses}) {
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        list->setSortingEnabled(false);
    }

    auto* separately = new QRadioButton(QStringLiteral("Separately Input"), this);
    du.place(separately, 1023, 21, 42, 79, 10);
    auto* commaSeparated = new QRadioButton(QStringLiteral("comma separated input"), this);
    du.place(commaSeparated, 1024, 20, 86, 92, 10);
    m_entryMode = new QButtonGroup(this);
    m_entryMode->addButton(separately, 0);
    m_entryMode->addButton(commaSeparated, 1);

    m_height = new DigitsOnlyEdit(this);
    du.place(m_height, 1013, 42, 130, 35, 12);
    m_commaLine = new QLineEdit(this);
    du.place(m_commaLine, 1015, 25, 96, 232, 12);
    m_rightName = new QLineEdit(this);
    du.place(m_rightName, 1016, 212, 19, 65, 12);
    m_outputName = new QLineEdit(this);
    du.place(m_outputName, 1017, 93, 163, 65, 12);

    auto* getAB = new QPushButton(QStringLiteral("Get A,B"), this);
    du.place(getAB, 1028, 225, 61, 58, 13);
    auto* clearPoints = new QPushButton(QStringLiteral("clear"), this);
    du.place(clearPoints, 1055, 104, 42, 40, 11);
    auto* clearZenith = new QPushButton(QStringLiteral("clear"), this);
    du.place(clearZenith, 1056, 265, 119, 40, 11);

    // Fixed texts.
    du.heading(this, QStringLiteral("Input Settings"), 10, 9);
    du.heading(this, QStringLiteral("Output Settings（dots）"), 10, 120);
    du.heading(this, QStringLiteral("Zenith correction(degree)"), 154, 120);
    du.heading(this, QStringLiteral("Camera and Lens Settings"), 10, 151);
    du.label(this, QStringLiteral("Input Image File"), 15, 20);
    du.label(this, QStringLiteral("Left"), 87, 20);
    du.label(this, QStringLiteral("Right"), 188, 20);
    du.label(this, QStringLiteral("A Left"), 39, 56);
    du.label(this, QStringLiteral("A Right"), 126, 56);
    du.label(this, QStringLiteral("B Left"), 39, 71);
    du.label(this, QStringLiteral("B Right"), 126, 71);
    du.label(this, QStringLiteral("Height"), 14, 131);
    du.label(this, QStringLiteral("×Width"), 78, 131);
    du.label(this, QStringLiteral("Roll"), 159, 130);
    du.label(this, QStringLiteral("Pitch"), 210, 130);
    du.label(this, QStringLiteral("Yaw"), 261, 130);
    du.label(this, QStringLiteral("Output Image File"), 16, 165);
    du.label(this, QStringLiteral("Camera and Lens of the Left Image"), 28, 179);
    du.label(this, QStringLiteral("Camera and Lens of the Right Image"), 180, 179);
    auto* pointsGroup = new QGroupBox(QStringLiteral("Corresponding coordinates Settings"), this);
    pointsGroup->setGeometry(du.rect(12, 33, 280, 81));
    pointsGroup->lower();  // a frame behind the controls it surrounds

    // Additions, in the strip below: buttons, then check boxes.
    m_additions = std::make_unique<AdditionsStrip>(this, du, kAdditionsTop, clearZenith);
    auto* autoAB = new QPushButton(QStringLiteral("Auto A,B"), this);
    autoAB->setObjectName(QStringLiteral("autoAB"));
    autoAB->setToolTip(QStringLiteral("Finds A and B from the two pictures and reports how well the eyes line up"));
    m_additions->addButton(autoAB);
    auto* preview = new QPushButton(QStringLiteral("Preview"), this);
    preview->setObjectName(QStringLiteral("preview"));
    preview->setToolTip(QStringLiteral("Shows the last output side by side, as an anaglyph or overlaid, with its "
                                       "measured vertical disparity"));
    m_additions->addButton(preview);
    auto* batch = new QPushButton(QStringLiteral("Batch..."), this);
    batch->setObjectName(controlName(kBatchButtonId));
    batch->setToolTip(QStringLiteral("Converts every pair of two folders with these settings"));
    m_additions->addButton(batch);
    auto* video = new QPushButton(QStringLiteral("Video..."), this);
    video->setObjectName(controlName(kVideoButtonId));
    video->setToolTip(QStringLiteral("Converts two cameras' videos of one take into a VR180 video with these lenses"));
    m_additions->addButton(video);
    auto* addLens = new QPushButton(QStringLiteral("Add my lens..."), this);
    addLens->setObjectName(QStringLiteral("addMyLens"));
    addLens->setToolTip(QStringLiteral("Registers your lens from one or more of your photos: finds its image circle, "
                                       "asks its field of view and projection, and fills the lens lists"));
    m_additions->addButton(addLens);
    // Over each empty lens list: why it is empty and the way forward.
    for (QListWidget* list : {m_leftLenses, m_rightLenses}) {
        auto* hint = new QLabel(list->viewport());
        hint->setObjectName(list == m_leftLenses ? QStringLiteral("leftLensHint") : QStringLiteral("rightLensHint"));
        hint->setWordWrap(true);
        hint->setAlignment(Qt::AlignCenter);
        hint->setAttribute(Qt::WA_TransparentForMouseEvents);
        hint->setEnabled(false);  // drawn greyed, as a placeholder
        auto* fill = new QVBoxLayout(list->viewport());
        fill->setContentsMargins(4, 0, 4, 0);
        fill->addWidget(hint);
        (list == m_leftLenses ? m_leftHint : m_rightHint) = hint;
    }

    m_vrSuffix = new QCheckBox(QStringLiteral("Name for VR players (_180_LR)"), this);
    m_vrSuffix->setObjectName(QStringLiteral("vrSuffix"));
    m_vrSuffix->setToolTip(QStringLiteral("Adds _180_LR before the output file's extension, the name headset "
                                          "players recognise as a 180-degree left-right stereo image"));

    m_keepExif = new QCheckBox(QStringLiteral("Keep the camera's EXIF"), this);
    m_keepExif->setObjectName(QStringLiteral("keepExif"));
    m_keepExif->setToolTip(QStringLiteral("A JPEG output carries the left image's EXIF (maker, model, date, GPS); "
                                          "an output named *.vr.jpg is a VR180 photo and always does"));
    m_ignoreOrientation = new QCheckBox(QStringLiteral("Read pixels as recorded"), this);
    m_ignoreOrientation->setObjectName(QStringLiteral("ignoreOrientation"));
    m_ignoreOrientation->setToolTip(QStringLiteral(
        "Reads both photos as their sensors recorded them, not turned by their EXIF orientation tags: what a "
        "calibrated rig wants, whose lens records describe the sensor. The point picker and Auto A,B read them "
        "the same way"));
    m_additions->addCheckBox(m_vrSuffix);
    m_additions->addCheckBox(m_keepExif);
    m_newProjections = new QCheckBox(QStringLiteral("Newer projections"), this);
    m_newProjections->setObjectName(QStringLiteral("newProjections"));
    m_newProjections->setToolTip(QStringLiteral(
        "Lets \"Start Conversion !!!\" use lenses registered with the equidistant, stereographic or polynomial "
        "projection. Without it, the conversion knows the four classic laws only and ends without a message on "
        "any other, as it always did; the batch window and Auto A,B know them all"));
    m_additions->addCheckBox(m_ignoreOrientation);
    m_additions->addCheckBox(m_newProjections);
    m_matchColour = new QCheckBox(QStringLiteral("Match colour"), this);
    m_matchColour->setObjectName(QStringLiteral("matchColour"));
    m_matchColour->setToolTip(QStringLiteral(
        "Matches the right eye's colours onto the left's as the halves are rendered: a gain and offset per channel "
        "fitted on the far field of the pair"));
    m_additions->addCheckBox(m_matchColour);
    m_convergence = newConvergenceBox(this, QStringLiteral("convergence"));
    m_convergence->setToolTip(QStringLiteral(
        "The stereo window: turns the right eye's view about the vertical axis by this many degrees, so that "
        "nearer objects lie on the plane of the frame (0: as the points align it)"));
    m_additions->addField(QStringLiteral("Convergence"), m_convergence);

    // The window: the template's size, grown by the strip.
    const QSize windowSize(du.x(328), std::max(du.y(252), du.y(kAdditionsTop) + m_additions->height()));
    resize(windowSize);
    setMinimumSize(windowSize);
    rememberGeometry(this, QStringLiteral("main"));

    connect(autoAB, &QPushButton::clicked, this, &CMyVistereoDlg::OnAutoAB);
    connect(preview, &QPushButton::clicked, this, &CMyVistereoDlg::OnPreview);

    // The window menu with the About item.
    m_systemMenu = new QMenu(this);
    m_systemMenu->setObjectName(QStringLiteral("systemMenu"));
    m_systemMenu->setFont(font());
    QAction* about = m_systemMenu->addAction(QStringLiteral("Vistereoについて(&A)..."));
    connect(about, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, [this] { OnSysCommand(IDM_ABOUTBOX); });

    // The message map.
    connect(m_startButton, &QPushButton::clicked, this, &CMyVistereoDlg::RunConversion);
    connect(finish, &QPushButton::clicked, this, &QDialog::reject);
    connect(pitchStep, &UpDownControl::deltaPos, this,
            [this](int delta) { OnZenithStep(&ZenithTenths::pitch, m_pitchBox, delta); });
    connect(rollStep, &UpDownControl::deltaPos, this,
            [this](int delta) { OnZenithStep(&ZenithTenths::roll, m_rollBox, delta); });
    connect(yawStep, &UpDownControl::deltaPos, this,
            [this](int delta) { OnZenithStep(&ZenithTenths::yaw, m_yawBox, delta); });
    connect(m_height, &QLineEdit::textChanged, this, &CMyVistereoDlg::OnChangeHeight);
    connect(m_commaLine, &QLineEdit::textChanged, this, &CMyVistereoDlg::OnChangeCommaLine);
    connect(m_pointBoxes[0], &QLineEdit::textChanged, this, &CMyVistereoDlg::OnChangeALeftX);
    connect(separately, &QRadioButton::clicked, this, [this] { UpdateData(true); });
    connect(commaSeparated, &QRadioButton::clicked, this, [this] { UpdateData(true); });
    connect(m_leftLenses, &QListWidget::itemSelectionChanged, this, [this] { OnSelchangeLensList(0); });
    connect(m_rightLenses, &QListWidget::itemSelectionChanged, this, [this] { OnSelchangeLensList(1); });
    connect(registration, &QPushButton::clicked, this, &CMyVistereoDlg::OnCameraLensRegistration);
    connect(getAB, &QPushButton::clicked, this, &CMyVistereoDlg::OnGetAB);
    connect(clearPoints, &QPushButton::clicked, this, &CMyVistereoDlg::OnClearPoints);
    connect(clearZenith, &QPushButton::clicked, this, &CMyVistereoDlg::OnClearZenith);
    connect(batch, &QPushButton::clicked, this, &CMyVistereoDlg::OnBatch);
    connect(video, &QPushButton::clicked, this, &CMyVistereoDlg::OnVideo);
    connect(addLens, &QPushButton::clicked, this, &CMyVistereoDlg::OnAddMyLens);
}

void CMyVistereoDlg::OnInitDialog() {
    UpdateData(false);  // "Separately Input"
    LoadLensRegistry(m_app.mainLensRegistry, kLensRegistryFileName);
    FillLensLists();
    m_leftName->setText(QStringLiteral("L.jpg"));
    m_rightName->setText(QStringLiteral("R.jpg"));
    m_outputName->setText(QStringLiteral("LROut.jpg"));
    // Its change handler sets outputHeight and the Width box.
    m_height->setText(QString::number(kDefaultOutputHeight));
    m_startButton->setFocus();
}

void CMyVistereoDlg::UpdateData(bool saveAndValidate) {
    if (saveAndValidate) {
        m_pointEntryMode = checkedPosition(m_entryMode);
    } else {
        checkPosition(m_entryMode, m_pointEntryMode);
    }
}

void CMyVistereoDlg::FillLensLists() {
    m_leftLenses->clear();
    m_rightLenses->clear();
    const LensRegistry& registry = m_app.mainLensRegistry;
    for (int i = 0; i < registry.count; ++i) {
        const QString name = QString::fromStdString(registry.records[i].name);
        m_leftLenses->addItem(name);
        m_rightLenses->addItem(name);
    }
    ShowLensHint();
}

void CMyVistereoDlg::ShowLensHint() {
    const bool empty = m_app.mainLensRegistry.count == 0;
    m_leftHint->setText(QStringLiteral("No camera and lens registered in this folder's Vistereo.ini yet."));
    m_rightHint->setText(QStringLiteral("Press \"Add my lens...\" below to register yours from one of your photos."));
    for (QLabel* hint : {m_leftHint, m_rightHint}) hint->setVisible(empty);
}

void CMyVistereoDlg::OnAddMyLens() {
    if (m_running) return;
    AddLensGuide guide(kLensRegistryFileName, userLensFile(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")), this);
    guide.exec();
    if (guide.registeredName().empty()) return;
    // The lists follow the file, and a lens registered here is picked for both eyes.
    LoadLensRegistry(m_app.mainLensRegistry, kLensRegistryFileName);
    FillLensLists();
    if (!guide.savedInFolder()) return;
    for (int i = m_app.mainLensRegistry.count - 1; i >= 0; --i)
        if (m_app.mainLensRegistry.records[i].name == guide.registeredName()) {
            m_leftLenses->setCurrentRow(i);
            m_rightLenses->setCurrentRow(i);
            // "Start Conversion !!!" knows the classic four laws only unless asked for the newer ones.
            if (m_app.mainLensRegistry.records[i].mappingKind > 3) m_newProjections->setChecked(true);
            break;
        }
}

void CMyVistereoDlg::OnChangeHeight() {
    const int32_t height = parseBoxInt(narrow(m_height->text()));
    m_app.conversionChoices.outputHeight = height;
    // Twice the height as a 32-bit integer, wrapping like the machine's arithmetic.
    const auto width = static_cast<int32_t>(static_cast<uint32_t>(height) * 2u);
    m_width->setText(QString::fromStdString(formatInt(width)));
}

void CMyVistereoDlg::OnChangeCommaLine() {
    m_pointEntryMode = kCommaSeparatedInput;
    UpdateData(false);
}

void CMyVistereoDlg::OnChangeALeftX() {
    m_pointEntryMode = kSeparateInput;
    UpdateData(false);
}

void CMyVistereoDlg::OnZenithStep(int32_t ZenithTenths::*axis, QLineEdit* box, int proposedDelta) {
    if (proposedDelta == 0) return;
    // The up arrow of an up-down control proposes a negative change; a step
    // up raises the counter. The counters have no limit: at the ends of the
    // int32 range they wrap as the machine's integer arithmetic does.
    int32_t& counter = m_app.conversionChoices.zenith.*axis;
    const auto current = static_cast<uint32_t>(counter);
    counter = static_cast<int32_t>(proposedDelta > 0 ? current - 1u : current + 1u);
    box->setText(QString::asprintf("%.1lf", counter / 10.0));
}

void CMyVistereoDlg::SetPointBox(int k, const QString& text) {
    QLineEdit* box = m_pointBoxes[k];
    const bool unchanged = box->text() == text;
    box->setText(text);
    // Setting the x of "A Left" always counts as a change of that box, even
    // when it already shows the text: it selects "Separately Input".
    if (unchanged && k == 0) OnChangeALeftX();
}

void CMyVistereoDlg::OnClearPoints() {
    for (int k = 0; k < 8; ++k) SetPointBox(k, QStringLiteral("0"));
}

void CMyVistereoDlg::OnClearZenith() {
    m_app.conversionChoices.zenith = {};
    for (QLineEdit* box : {m_pitchBox, m_rollBox, m_yawBox}) box->setText(QStringLiteral("0"));
}

void CMyVistereoDlg::OnSelchangeLensList(int eye) {
    QListWidget* list = eye == 0 ? m_leftLenses : m_rightLenses;
    const QList<QListWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty()) return;  // no selection: nothing to copy
    vistereo::SelectLensForEye(m_app.conversionChoices.lenses, m_app.mainLensRegistry, eye,
                               list->row(selected.first()));
}

void CMyVistereoDlg::OnCameraLensRegistration() {
    CameraDlg2 dlg(m_app, this);
    const int result = dlg.exec();
    if (result != QDialog::Accepted && result != QDialog::Rejected) return;
    // The eyes keep the records picked before; only the lists follow the file.
    LoadLensRegistry(m_app.mainLensRegistry, kLensRegistryFileName);
    FillLensLists();
}

void CMyVistereoDlg::OnGetAB() {
    m_app.m_leftImageName = narrow(m_leftName->text());
    m_app.m_rightImageName = narrow(m_rightName->text());
    m_app.m_ignoreOrientation = m_ignoreOrientation->isChecked();
    // Always the eight boxes, whichever entry mode is selected.
    for (int index = 0; index < 8; ++index)
        m_app.m_exchangePoints[index] = parseBoxInt(narrow(m_pointBoxes[kRowOrderOfListIndex[index]]->text()));

    {
        LRPointDlg picker(m_app, this);
        picker.exec();
    }

    // Whatever the picker's result: after a cancel the boxes get their own
    // numbers back, in integer form. The write into 1002 selects "Separately
    // Input".
    for (int k = 0; k < 8; ++k)
        SetPointBox(k, QString::fromStdString(formatInt(m_app.m_exchangePoints[kRowOrderOfListIndex[k]])));
}

void CMyVistereoDlg::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CMyVistereoDlg::contextMenuEvent(QContextMenuEvent* event) {
    // Only the dialog's background and its fixed texts open the window menu;
    // the edit boxes keep their own menus.
    QWidget* child = childAt(event->pos());
    if (child && !qobject_cast<QLabel*>(child) && !qobject_cast<QGroupBox*>(child)) {
        event->ignore();
        return;
    }
    m_systemMenu->exec(event->globalPos());
}

void CMyVistereoDlg::closeEvent(QCloseEvent* event) {
    if (m_running) {  // a running conversion ends by itself, and only then may the dialog close
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void CMyVistereoDlg::reject() {
    if (!m_running) QDialog::reject();
}

void CMyVistereoDlg::SetRunning(bool running) {
    m_running = running;
    if (running) {
        m_disabledForRun.clear();
        for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!child->isWindow() && child->isEnabled()) {
                child->setEnabled(false);
                m_disabledForRun.push_back(child);
            }
        QApplication::setOverrideCursor(Qt::BusyCursor);
    } else {
        for (QWidget* child : m_disabledForRun) child->setEnabled(true);
        m_disabledForRun.clear();
        QApplication::restoreOverrideCursor();
    }
}

// What a running conversion shares with the dialog: its progress box, the
// timer that shows it, and the outcome.
struct CMyVistereoDlg::RunState {
    // The progress box is the dialog's child: the dialog owns it, and the
    // run's end deletes it (a QPointer, as the dialog may go first).
    explicit RunState(QWidget* dialog) : progress(new ConversionProgress(dialog)) {}
    QPointer<ConversionProgress> progress;
    QTimer showProgress;
    std::atomic<int> rowsDone[2] = {0, 0};
    std::atomic<int> shownPercent{0};
    std::string failure;
    std::string notWritten;  // why the output was left unwritten, when it would have replaced an input
    // Lens values and points the run went on with that no lens or picture can have.
    std::vector<LensValueFinding> impossibleLenses;
    std::vector<std::string> impossiblePoints;
    std::array<LensSettings, 2> lenses;  // the eyes' lenses as the run had them
    std::vector<std::string> warnings;
    std::filesystem::path written;  // the output, when the run wrote it
    double convergence = 0.0;       // the request's stereo window and colour match
    bool matched = false;
};

ConversionRequest CMyVistereoDlg::CurrentRequest() {
    UpdateData(true);
    PointEntry entry;
    entry.mode = m_pointEntryMode;
    for (int k = 0; k < 8; ++k) entry.boxes[k] = narrow(m_pointBoxes[kRowOrderOfListIndex[k]]->text());
    entry.commaLine = narrow(m_commaLine->text());
    ConversionRequest request;
    request.lenses = m_app.conversionChoices.lenses;
    request.alignment = PointsAB{entry};
    request.outputHeight = m_app.conversionChoices.outputHeight;
    request.zenith = m_app.conversionChoices.zenith;
    request.leftName = narrow(m_leftName->text());
    request.rightName = narrow(m_rightName->text());
    request.outputName = narrow(m_outputName->text());
    if (m_vrSuffix->isChecked()) request.outputName = withVrSuffix(request.outputName);
    request.keepExif = m_keepExif->isChecked();
    request.ignoreOrientation = m_ignoreOrientation->isChecked();
    request.mappingKinds = m_newProjections->isChecked() ? MappingKinds::All : MappingKinds::Classic;
    request.matchColour = m_matchColour->isChecked() ? ColourMatching::Tone : ColourMatching::Off;
    request.convergenceDegrees = m_convergence->value();
    request.workingDirectory = ".";
    return request;
}

void CMyVistereoDlg::OnBatch() {
    if (m_running) return;
    ConversionRequest request = CurrentRequest();
    request.mappingKinds = MappingKinds::All;  // the batch window is a route of its own: every projection
    BatchDialog batch(request, m_vrSuffix->isChecked(), this);
    batch.exec();
}

void CMyVistereoDlg::OnVideo() {
    if (m_running) return;
    VideoDialog video(CurrentRequest(), m_vrSuffix->isChecked(), this);
    video.exec();
}

void CMyVistereoDlg::RunConversion() {
    if (m_running) return;

    // Everything the run reads, copied now: what the user does while it runs
    // does not reach it.
    ConversionRequest request = CurrentRequest();

    auto run = std::make_shared<RunState>(this);
    m_run = run;
    run->convergence = request.convergenceDegrees;
    run->lenses = request.lenses;
    run->matched = request.matchColour != ColourMatching::Off;
    // The progress box appears only when the run takes a moment; a refusal
    // shows its message without it.
    run->showProgress.setSingleShot(true);
    connect(&run->showProgress, &QTimer::timeout, run->progress.data(), &QWidget::show);

    RunOptions options;
    options.threads = 0;
    RunState* state = run.get();
    options.progress = [this, state](Half half, int done, int total) {
        state->rowsDone[static_cast<int>(half)] = done;
        if (total <= 0) return;
        const int percent = static_cast<int>(
            (static_cast<int64_t>(state->rowsDone[0] + state->rowsDone[1]) * 100) / (2 * int64_t{total}));
        int previous = state->shownPercent.load();
        while (percent > previous && !state->shownPercent.compare_exchange_weak(previous, percent)) {
        }
        if (percent > previous)
            QMetaObject::invokeMethod(this, [state, percent] {
                if (state->showProgress.isActive()) {
                    state->showProgress.stop();
                    if (state->progress) state->progress->show();
                }
                if (state->progress) state->progress->setValue(percent);
            }, Qt::QueuedConnection);
    };
    auto messages = std::make_shared<DialogMessages>(this, [state] {
        state->showProgress.stop();
        if (state->progress) state->progress->hide();
    });

    SetRunning(true);
    run->showProgress.start(250);
    m_runFuture = runInBackground(this, &m_runPool, [request = std::move(request), options, messages, run] {
        try {
            const ConversionResult result = vistereo::RunConversion(request, *messages, options);
            // After "Enter the valid ... image file name", which file and why.
            if (result.status == ConversionStatus::LeftImageInvalid || result.status == ConversionStatus::RightImageInvalid)
                run->warnings.push_back(result.detail);
            run->warnings.insert(run->warnings.end(), result.warnings.begin(), result.warnings.end());
            if (result.written()) run->written = result.outputPath;
            if (result.status == ConversionStatus::OutputRefused) run->notWritten = result.detail;
            run->impossibleLenses = result.impossibleLenses;
            run->impossiblePoints = result.impossiblePoints;
        } catch (const std::exception& e) {
            run->failure = describeException(e);
        }
    }, [this] { OnConversionDone(); });
}

std::string CMyVistereoDlg::DescribeLensFinding(const LensValueFinding& found,
                                                const std::array<LensSettings, 2>& lenses) const {
    const LensSettings& lens = lenses[found.eye];
    std::string text = describeLensProblem(found.eye, lens, found.problem);
    // The field as its record holds it, when that is not the number it reads
    // as (a magnification typed as "abc" reads as 0).
    for (int i = 0; i < m_app.mainLensRegistry.count; ++i) {
        const LensRecord& record = m_app.mainLensRegistry.records[i];
        if (record.name != lens.name) continue;
        for (const LensField& field : kLensFields)
            if (field.text && field.key == found.problem.field) {
                const std::string& typed = record.*field.text;
                if (typed != found.problem.value) text += " (its record holds \"" + typed + "\")";
            }
        break;
    }
    return text;
}

void CMyVistereoDlg::OnConversionDone() {
    const std::shared_ptr<RunState> run = std::move(m_run);
    run->showProgress.stop();
    // Gone before any message: a box's own event loop would keep a deferred deletion waiting behind it.
    delete run->progress.data();
    SetRunning(false);
    if (!run->written.empty()) {
        m_lastOutput = QString::fromStdString(run->written.string());
        m_lastOutputConvergence = run->convergence;
        m_lastOutputMatched = run->matched;
    }
    if (!run->failure.empty())
        ShowMessage(this, QStringLiteral("The conversion stopped: %1").arg(QString::fromStdString(run->failure)));
    // After the run's own closing message, the reason its output was not written.
    if (!run->notWritten.empty())
        ShowMessage(this, QStringLiteral("The output was not written: %1.").arg(QString::fromStdString(run->notWritten)));
    // Then the values it converted with that no lens or picture can have
    // (the prescribed run renders what the numbers say): which, and why.
    for (const LensValueFinding& found : run->impossibleLenses)
        ShowMessage(this, QStringLiteral("The output cannot show the pictures as they are: %1.")
                              .arg(QString::fromStdString(DescribeLensFinding(found, run->lenses))));
    for (const std::string& problem : run->impossiblePoints)
        ShowMessage(this, QStringLiteral("The output cannot show the pictures as they are: %1.")
                              .arg(QString::fromStdString(problem)));
    for (const std::string& warning : run->warnings) ShowMessage(this, QString::fromStdString(warning));
    emit conversionFinished();
}

}  // namespace vistereo

namespace vistereo {

QString describeAutoAB(const alignment::AlignmentResult& r) {
    using alignment::Verdict;
    // Judged as `check` judges: by the misalignment, not by the near field's natural parallax.
    const double p95 = r.disparity.misalignment.p95;
    const Verdict verdict = alignment::verticalDisparityVerdict(p95);
    const QString comfort = QString::number(alignment::kVerticalComfortLimitArcmin, 'f', 1);
    const QString fusion = QString::number(alignment::kVerticalFusionLimitArcmin, 'f', 1);
    const QString judged = verdict == Verdict::Comfortable ? QStringLiteral("within the comfort limit of %1′").arg(comfort)
                           : verdict == Verdict::Marginal
                               ? QStringLiteral("beyond the comfort limit of %1′, within the fusion limit of %2′").arg(comfort, fusion)
                               : QStringLiteral("beyond the fusion limit of %1′").arg(fusion);
    return QStringLiteral("Auto A,B replaced the points A and B with two found in the pictures (%1 of %2 matches agree).\n"
                          "Right camera against the left: yaw %3°, pitch %4°, roll %5°.\n"
                          "Vertical disparity after alignment: RMS %6′; misalignment RMS %10′, 95th percentile %7′: "
                          "%8 (%9 at the 95th percentile). The rest is the near field's natural parallax.\n"
                          "These figures come from the features matched in the two input pictures; \"Preview\" "
                          "measures the written image at its full size, so its figures differ.")
        .arg(r.inliers)
        .arg(r.matches)
        .arg(r.yawDegrees, 0, 'f', 2)
        .arg(r.pitchDegrees, 0, 'f', 2)
        .arg(r.rollDegrees, 0, 'f', 2)
        .arg(r.verticalDisparityArcmin.rms, 0, 'f', 1)
        .arg(p95, 0, 'f', 1)
        .arg(QString::fromUtf8(alignment::verdictName(verdict)), judged)
        .arg(r.disparity.misalignment.rms, 0, 'f', 1);
}

void CMyVistereoDlg::OnAutoAB() {
    if (m_running) return;
    ConversionRequest request;
    request.lenses = m_app.conversionChoices.lenses;
    request.leftName = narrow(m_leftName->text());
    request.rightName = narrow(m_rightName->text());
    request.workingDirectory = ".";
    request.refuseImpossibleLenses = true;  // aligning with a lens no lens can be tells the user which value
    request.ignoreOrientation = m_ignoreOrientation->isChecked();

    QPointer<ConversionProgress> progress = new ConversionProgress(this);
    progress->setLabelText(QStringLiteral("Aligning…"));
    progress->setRange(0, 0);  // no steps to count: a busy bar
    // Cancel gives the window back at once; the alignment under way ends by
    // itself in the background and its points are not used.
    auto cancelled = std::make_shared<bool>(false);
    progress->offerCancel([this, progress, cancelled] {
        *cancelled = true;
        progress->deleteLater();
        SetRunning(false);
        emit autoAlignFinished();
    });
    progress->show();
    SetRunning(true);
    runInBackground(this, &m_runPool, [request] { return alignRequestPair(request); },
                    [this, progress, cancelled](const PairAlignment& aligned) {
        if (*cancelled) return;
        delete progress.data();  // before any message, whatever the outcome
        SetRunning(false);
        for (const std::string& warning : aligned.warnings) ShowMessage(this, QString::fromStdString(warning));
        if (!aligned.ok()) {
            ShowMessage(this, QString::fromStdString(aligned.error));
        } else if (!aligned.result.suggested.ok()) {
            ShowMessage(this, QStringLiteral("The pictures were aligned, but no two points suit the A/B route: %1")
                                  .arg(QString::fromStdString(aligned.result.suggested.error)));
        } else {
            const std::array<int32_t, 8> points = aligned.result.suggested.listOrder();
            for (int k = 0; k < 8; ++k)
                SetPointBox(k, QString::fromStdString(formatInt(points[kRowOrderOfListIndex[k]])));
            ShowMessage(this, describeAutoAB(aligned.result));
        }
        emit autoAlignFinished();
    });
}

void CMyVistereoDlg::OnPreview() {
    const QString path =
        m_lastOutput.isEmpty() ? QStringLiteral("./output/") + m_outputName->text() : m_lastOutput;
    const StereoImage read = readStereoImage(path.toStdString());
    if (!read.ok()) {
        ShowMessage(this, QStringLiteral("There is no side-by-side image to preview at %1: %2.")
                              .arg(path, QString::fromStdString(read.error)));
        return;
    }
    for (const std::string& warning : read.warnings) ShowMessage(this, QString::fromStdString(warning));
    // An image named in the output box rather than written now: as converted by default.
    const bool lastRun = !m_lastOutput.isEmpty();
    const PreviewChoices written{lastRun ? m_lastOutputConvergence : 0.0, lastRun && m_lastOutputMatched};
    auto* preview = new PreviewDialog(read.sideBySide, path, this, written);
    preview->setAttribute(Qt::WA_DeleteOnClose);
    connect(preview, &PreviewDialog::useForConversion, this, [this](PreviewChoices chosen) {
        m_convergence->setValue(chosen.convergenceDegrees);
        m_matchColour->setChecked(chosen.matchColour);
    });
    preview->show();
}

}  // namespace vistereo
