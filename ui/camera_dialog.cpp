#include "ui/camera_dialog.h"

#include <optional>
#include <string>
#include <string_view>

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <opencv2/imgproc.hpp>

#include "lens/image_circle.h"
#include "lens/lens_description.h"
#include "lens/lens_selection.h"
#include "conversion/request.h"
#include "registry/lens_registry.h"
#include "registry/registry_writes.h"
#include "base/text_numbers.h"
#include "ui/app.h"
#include "ui/widgets/background.h"
#include "ui/widgets/dialog_layout.h"
#include "ui/widgets/digits_edit.h"
#include "ui/widgets/message_box.h"
#include "ui/widgets/up_down_control.h"

namespace vistereo {
namespace {

constexpr const char* kMsgEnterName = "登録名を入力してください";
constexpr const char* kMsgRegistryFull =
    "The registry already holds 10 camera and lens records. Delete one before registering another.";

std::string narrow(const QLineEdit* box) { return box->text().toStdString(); }

// The edit box that shows each lens record field, by the field's name. The
// modes (radiusMode, mappingKind, axisMode) have none: radio buttons set them.
struct FieldBox {
    std::string_view field;
    int box;
};
constexpr FieldBox kFieldBoxes[] = {
    {"name", 1049},   {"magnification", 1013}, {"sineK", 1022},   {"theta1", 1017},     {"theta2", 1020},
    {"theta3", 1031}, {"a1", 1037},            {"b1", 1038},      {"c1", 1039},         {"a2", 1040},
    {"b2", 1041},     {"c2", 1042},            {"a3", 1043},      {"b3", 1044},         {"c3", 1045},
    {"a4", 1046},     {"b4", 1047},            {"c4", 1048},      {"radiusDots", 1015}, {"axisX", 1006},
    {"axisY", 1016},
};

int boxOf(const LensField& field) {
    for (const FieldBox& entry : kFieldBoxes)
        if (entry.field == field.key) return entry.box;
    return 0;
}

// Two boxes that show one record field: a change of either's text is the other's.
void mirror(QLineEdit* a, QLineEdit* b) {
    QObject::connect(a, &QLineEdit::textChanged, b, [b](const QString& text) {
        if (b->text() != text) b->setText(text);
    });
    QObject::connect(b, &QLineEdit::textChanged, a, [a](const QString& text) {
        if (a->text() != text) a->setText(text);
    });
}

// What the circle finder read and found in one photograph.
struct CircleSearch {
    cv::Mat photo;
    alignment::ImageCircle circle;
    std::string error;  // the photograph could not be read
};

CircleSearch searchCircle(const std::string& path) {
    CircleSearch out;
    const InputImage image = readInput(path);
    if (!image.ok()) {
        out.error = "Cannot read the image " + describeInputProblem(image) + ".";
        return out;
    }
    out.photo = image.pixels;
    alignment::BrightestFrame frame;
    frame.add(out.photo);
    out.circle = alignment::detectImageCircle(frame.brightness());
    return out;
}

void makeReadOnly(QLineEdit* box) {
    box->setReadOnly(true);
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    box->setPalette(palette);
}

}  // namespace

CameraDlg2::CameraDlg2(CMyVistereoApp& app, QWidget* parent) : QDialog(parent), m_app(app) {
    setWindowTitle(QStringLiteral("Camera and Lens"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFont(dialogFont(10));
    const DialogUnits du(font());
    // The template's 351 x 252 units, and a column to its right for the
    // projections and the circle finder added beside it.
    setFixedSize(du.size(481, 252));

    auto addRadio = [&](QButtonGroup* group, int position, const QString& text, int id, int x, int y, int w) {
        auto* radio = new QRadioButton(text, this);
        du.place(radio, id, x, y, w, 10);
        group->addButton(radio, position);
        // Every click on a radio reads the three groups into the members.
        connect(radio, &QRadioButton::clicked, this, [this] { UpdateData(true); });
        return radio;
    };

    // Image radius for 180 degrees.
    m_radiusGroup = new QButtonGroup(this);
    addRadio(m_radiusGroup, 0, QStringLiteral("Circular fisheye"), 1023, 14, 30, 92);
    addRadio(m_radiusGroup, 1, QStringLiteral("Diagonal fisheye"), 1024, 112, 30, 92);
    addRadio(m_radiusGroup, 2, QStringLiteral("Magnification input"), 1025, 14, 43, 96);
    addRadio(m_radiusGroup, 3, QStringLiteral("Dots Input"), 1026, 112, 43, 92);
    m_magnification = addEdit(1013, 14, 57, 36);
    m_magnification->setToolTip(QStringLiteral(
        "The radius of 180 degrees of view as a multiple of half the picture's height: 1.0 when that circle just "
        "touches the top and bottom edges, more when the picture cuts it"));
    m_magnification->setAlignment(Qt::AlignRight);
    m_radiusDots = new DigitsOnlyEdit(this);
    du.place(m_radiusDots, 1015, 138, 57, 36, 12);
    m_radiusDots->setAlignment(Qt::AlignRight);

    // Optical axis.
    m_axisGroup = new QButtonGroup(this);
    addRadio(m_axisGroup, 0, QStringLiteral("Center of the Image"), 1029, 233, 30, 106);
    addRadio(m_axisGroup, 1, QStringLiteral("Input the Coordinates"), 1030, 233, 43, 106);
    m_axisX = new DigitsOnlyEdit(this);
    du.place(m_axisX, 1006, 243, 57, 38, 12);
    m_axisY = new DigitsOnlyEdit(this);
    du.place(m_axisY, 1016, 298, 57, 38, 12);

    // Mapping function.
    m_mappingGroup = new QButtonGroup(this);
    addRadio(m_mappingGroup, 0, QStringLiteral("Orthographic sin(1.0θ)"), 1032, 14, 90, 98);
    addRadio(m_mappingGroup, 1, QStringLiteral("Equisolid angle sin(0.5θ)"), 1033, 114, 90, 106);
    addRadio(m_mappingGroup, 2, QStringLiteral("k of sin(kθ)"), 1034, 222, 90, 58);
    m_sineK = addEdit(1022, 292, 89, 30);
    makeReadOnly(m_sineK);
    m_sineK->setAlignment(Qt::AlignRight);
    auto* kSpin = new UpDownControl(this);
    du.place(kSpin, 1019, 322, 89, 8, 12);
    addRadio(m_mappingGroup, 3, QStringLiteral("Approximation by a quadratic function aθ^2+bθ+c, θ(rad)"), 1035,
             14, 103, 260);

    // The quadratic table: per segment lower bound, "<θ<", upper bound, a, b, c.
    const int upperIds[3] = {1017, 1020, 1031};
    const int lowerIds[3] = {1018, 1021, 1036};
    for (int row = 0; row < 4; ++row) {
        const int y = 116 + 14 * row;
        if (row > 0) {
            m_lower[row - 1] = addEdit(lowerIds[row - 1], 14, y, 32);
            makeReadOnly(m_lower[row - 1]);
        }
        if (row < 3) m_upper[row] = addEdit(upperIds[row], 76, y, 32);
        for (int c = 0; c < 3; ++c) m_coefficients[3 * row + c] = addEdit(1037 + 3 * row + c, 116 + 64 * c, y, 44);
    }

    // More projections, their values and the circle finder, right of the
    // template's controls.
    auto* projectionFrame = new QGroupBox(QStringLiteral("More projections"), this);
    projectionFrame->setGeometry(du.rect(351, 19, 123, 157));
    addRadio(m_mappingGroup, 4, QStringLiteral("Equidistant θ"), 1101, 358, 31, 112);
    addRadio(m_mappingGroup, 5, QStringLiteral("Stereographic 2tan(θ/2)"), 1102, 358, 44, 112);
    addRadio(m_mappingGroup, 6, QStringLiteral("Polynomial θ+k1θ³+…+k4θ⁹"), 1103, 358, 57, 112);
    addRadio(m_mappingGroup, 7, QStringLiteral("Double sphere ξ, α"), 1104, 358, 70, 112);
    addRadio(m_mappingGroup, 8, QStringLiteral("Extended unified α, β"), 1105, 358, 83, 112);
    QLabel* shapeLabel = du.label(this, QStringLiteral("Shape: k1 … k4, or ξ, α, or α, β"), 358, 97);
    shapeLabel->setToolTip(QStringLiteral(
        "The lens's shape numbers, from its calibration or from Auto A,B's lens refinement: the polynomial's k1 to k4, "
        "the double sphere's ξ and α, the extended unified model's α and β. They are kept in the a boxes of the "
        "quadratic table, which these projections leave unused"));
    QLineEdit* aBoxes[4] = {m_coefficients[0], m_coefficients[3], m_coefficients[6], m_coefficients[9]};
    for (int i = 0; i < 4; ++i) {
        m_polynomial[i] = addEdit(1111 + i, 358 + 28 * i, 108, 26);
        mirror(m_polynomial[i], aBoxes[i]);
        // Typing a k picks the polynomial (the a boxes themselves pick nothing); the two sphere laws keep
        // their numbers in the first two boxes and stay picked.
        connect(m_polynomial[i], &QLineEdit::textEdited, this, [this] {
            if (m_mappingKind != 7 && m_mappingKind != 8) m_mappingKind = 6;
            UpdateData(false);
        });
    }
    du.label(this, QStringLiteral("Field of view of the circle"), 358, 123);
    m_fieldOfView = addEdit(1115, 358, 134, 36);
    m_fieldOfView->setAlignment(Qt::AlignRight);
    mirror(m_fieldOfView, m_coefficients[2]);  // kept in the c box of the first row, which no law reads
    QLabel* fovUnit = du.label(this, QStringLiteral("degrees across"), 397, 136);
    QLabel* fovMeaning = du.label(this, QStringLiteral("Then \"dots\" is the circle's radius."), 358, 148);
    const QString fovTip = QStringLiteral(
        "How many degrees the lens sees from one edge of its image circle to the other (180 for most circular "
        "fisheyes, 190 or more for some). Given here, the radius in \"dots\" is the image circle's radius; left "
        "empty, it is the radius of 180 degrees. Kept in the first row's c box, which these projections leave unused");
    for (QWidget* w : std::initializer_list<QWidget*>{m_fieldOfView, fovUnit, fovMeaning}) w->setToolTip(fovTip);
    m_detect = new QPushButton(QStringLiteral("Detect from image..."), this);
    du.place(m_detect, 1116, 358, 160, 110, 14);
    projectionFrame->lower();

    // Name and registration.
    m_name = addEdit(1049, 7, 191, 200);
    m_name->setAlignment(Qt::AlignLeft);
    auto* registerButton = new QPushButton(QStringLiteral("Register"), this);
    du.place(registerButton, 1, 284, 190, 60, 14);
    registerButton->setDefault(true);

    auto* deleteButton = new QPushButton(QStringLiteral("Delete"), this);
    du.place(deleteButton, 1028, 7, 220, 48, 14);
    m_list = new QListWidget(this);
    du.place(m_list, 1050, 60, 218, 216, 32);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSortingEnabled(false);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* overwriteButton = new QPushButton(QStringLiteral("Overwrite"), this);
    du.place(overwriteButton, 1027, 284, 216, 60, 14);
    auto* returnButton = new QPushButton(QStringLiteral("Return"), this);
    du.place(returnButton, 2, 284, 234, 60, 14);

    // Fixed texts and frames.
    du.heading(this, QStringLiteral("Camera and Lens Settings"), 7, 5);
    auto* radiusFrame = new QGroupBox(QStringLiteral("Image Radius(180degrees)"), this);
    radiusFrame->setGeometry(du.rect(7, 19, 214, 56));
    auto* axisFrame = new QGroupBox(QStringLiteral("Optical axis Coordinates"), this);
    axisFrame->setGeometry(du.rect(227, 19, 117, 56));
    auto* mappingFrame = new QGroupBox(QStringLiteral("Mapping function"), this);
    mappingFrame->setGeometry(du.rect(7, 79, 337, 97));
    for (QGroupBox* frame : {radiusFrame, axisFrame, mappingFrame}) frame->lower();
    du.label(this, QStringLiteral("times of height/2"), 53, 59);
    du.label(this, QStringLiteral("dots"), 177, 59);
    du.label(this, QStringLiteral("x"), 236, 59);
    du.label(this, QStringLiteral("y"), 291, 59);
    du.label(this, QStringLiteral("k="), 282, 91);
    du.label(this, QStringLiteral("0  <θ<"), 14, 118, 60, Qt::AlignRight);
    du.label(this, QStringLiteral("<θ<"), 48, 132, 26, Qt::AlignHCenter);
    du.label(this, QStringLiteral("<θ<"), 48, 146, 26, Qt::AlignHCenter);
    du.label(this, QStringLiteral("<θ<  π/2"), 50, 160);
    for (int row = 0; row < 4; ++row) {
        du.label(this, QStringLiteral("θ^2+"), 161, 118 + 14 * row);
        du.label(this, QStringLiteral("θ+"), 225, 118 + 14 * row);
    }
    du.label(this, QStringLiteral("registered name(Camera Lens etc.)"), 7, 180);
    du.label(this, QStringLiteral(" Correction or Delete the registered content"), 7, 207);

    // The message map.
    connect(registerButton, &QPushButton::clicked, this, &CameraDlg2::OnRegister);
    connect(m_upper[0], &QLineEdit::textChanged, this, [this](const QString& text) {
        m_lower[0]->setText(text);
        m_mappingKind = 3;
        UpdateData(false);
    });
    connect(m_upper[1], &QLineEdit::textChanged, m_lower[1], &QLineEdit::setText);
    connect(m_upper[2], &QLineEdit::textChanged, m_lower[2], &QLineEdit::setText);
    connect(kSpin, &UpDownControl::deltaPos, this, &CameraDlg2::OnKSpin);
    connect(m_list, &QListWidget::itemSelectionChanged, this, &CameraDlg2::OnSelchangeList);
    connect(deleteButton, &QPushButton::clicked, this, &CameraDlg2::OnDelete);
    connect(overwriteButton, &QPushButton::clicked, this, &CameraDlg2::OnOverwrite);
    connect(m_magnification, &QLineEdit::textChanged, this, [this] {
        m_radiusMode = 2;
        UpdateData(false);
    });
    connect(m_radiusDots, &QLineEdit::textChanged, this, [this] {
        m_radiusMode = 3;
        UpdateData(false);
    });
    connect(m_axisX, &QLineEdit::textChanged, this, [this] {
        m_axisMode = 1;
        UpdateData(false);
    });
    connect(returnButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_detect, &QPushButton::clicked, this, &CameraDlg2::OnDetectFromImage);

    OnInitDialog();
}

CameraDlg2::~CameraDlg2() = default;

QLineEdit* CameraDlg2::addEdit(int id, int x, int y, int width, int height) {
    auto* edit = new QLineEdit(this);
    DialogUnits(font()).place(edit, id, x, y, width, height);
    return edit;
}

void CameraDlg2::OnInitDialog() {
    UpdateData(false);
    LoadLensRegistry(m_app.editLensRegistry, kLensRegistryFileName);
    m_asRead = m_app.editLensRegistry;
    FillList();  // no entry selected; selectedLensIndex keeps its value
    m_name->setFocus();
}

void CameraDlg2::UpdateData(bool saveAndValidate) {
    if (saveAndValidate) {
        m_radiusMode = checkedPosition(m_radiusGroup);
        m_axisMode = checkedPosition(m_axisGroup);
        m_mappingKind = checkedPosition(m_mappingGroup);
    } else {
        checkPosition(m_radiusGroup, m_radiusMode);
        checkPosition(m_axisGroup, m_axisMode);
        checkPosition(m_mappingGroup, m_mappingKind);
    }
}

void CameraDlg2::FillList() {
    m_list->clear();
    const LensRegistry& registry = m_app.editLensRegistry;
    for (int i = 0; i < registry.count; ++i) m_list->addItem(QString::fromStdString(registry.records[i].name));
}

bool CameraDlg2::listHasSelection() const { return !m_list->selectedItems().isEmpty(); }

void CameraDlg2::OnKSpin(int proposedDelta) {
    // The up arrow proposes a negative change and raises k by 0.01.
    if (proposedDelta > 0) --m_app.sineKHundredths;
    if (proposedDelta < 0) ++m_app.sineKHundredths;
    if (proposedDelta != 0) m_sineK->setText(QString::asprintf("%.2lf", m_app.sineKHundredths / 100.0));
    m_mappingKind = 2;
    UpdateData(false);
}

void CameraDlg2::OnSelchangeList() {
    const QList<QListWidgetItem*> selected = m_list->selectedItems();
    if (selected.isEmpty()) return;
    const int index = m_list->row(selected.first());
    m_app.selectedLensIndex = index;
    const LensRecord& r = m_app.editLensRegistry.records[index];
    // Box by box in record order.
    for (const LensField& field : kLensFields) {
        QLineEdit* box = editOf(field);
        if (!box) continue;  // a mode: set by the radios below
        box->setText(QString::fromStdString(field.text ? r.*field.text : formatInt(r.*field.integer)));
    }
    // The change handlers above moved the radios on the way; the record has
    // the last word.
    m_radiusMode = r.radiusMode;
    m_mappingKind = r.mappingKind;
    m_axisMode = r.axisMode;
    UpdateData(false);
}

QLineEdit* CameraDlg2::editOf(const LensField& field) const {
    const int box = boxOf(field);
    return box ? findChild<QLineEdit*>(controlName(box)) : nullptr;
}

LensRecord CameraDlg2::recordFromControls() const {
    LensRecord r;
    for (const LensField& field : kLensFields) {
        if (const QLineEdit* box = editOf(field)) {
            if (field.text) r.*field.text = narrow(box);
            else r.*field.integer = parseBoxInt(narrow(box));
        }
    }
    r.radiusMode = m_radiusMode;
    r.mappingKind = m_mappingKind;
    r.axisMode = m_axisMode;
    return r;
}

void CameraDlg2::OnRegister() {
    UpdateData(true);
    const LensRecord record = recordFromControls();
    // The file's current records are the base; the new record goes last.
    switch (RegisterLens(m_app.editLensRegistry, record, kLensRegistryFileName)) {
        case RegisterStatus::EmptyName: ShowMessage(this, QString::fromUtf8(kMsgEnterName)); break;
        case RegisterStatus::RegistryFull: ShowMessage(this, QString::fromUtf8(kMsgRegistryFull)); break;
        case RegisterStatus::Registered: ExplainSameName(record.name); break;
        case RegisterStatus::WriteFailed: break;  // a file that cannot be written stays as it was
    }
    // Register always closes the dialog, a refused record included.
    done(QDialog::Accepted);
}

void CameraDlg2::OnOverwrite() {
    if (!listHasSelection()) return;  // only a record the user has picked is replaced
    LensRegistry& registry = m_app.editLensRegistry;
    const int index = m_app.selectedLensIndex;
    if (index < 0 || index >= kMaxLensRecords) return;
    registry.records[index] = recordFromControls();
    const CopyRewrite rewrite =
        rewriteLensRegistryFromCopy(registry, registry.count, std::nullopt, kLensRegistryFileName, m_asRead);
    LoadLensRegistry(registry, kLensRegistryFileName);
    m_asRead = registry;
    FillList();
    ExplainRewrite(rewrite);
}

void CameraDlg2::OnDelete() {
    if (!listHasSelection()) return;  // only a record the user has picked is deleted
    LensRegistry& registry = m_app.editLensRegistry;
    const CopyRewrite rewrite = rewriteLensRegistryFromCopy(registry, registry.count, m_app.selectedLensIndex,
                                                            kLensRegistryFileName, m_asRead);
    LoadLensRegistry(registry, kLensRegistryFileName);
    m_asRead = registry;
    FillList();
    ExplainRewrite(rewrite);
}

void CameraDlg2::ExplainSameName(const std::string& name) {
    // The file keeps records of one name apart by their place, as the lists
    // do; the batch window and the command line find a lens by name, and
    // only the first of that name.
    const LensRegistry& registry = m_app.editLensRegistry;
    int first = -1;
    for (int i = 0; i + 1 < registry.count && first < 0; ++i)
        if (registry.records[i].name == name) first = i;
    if (first < 0) return;
    ShowMessage(this, QStringLiteral("\"%1\" was registered as record %2, but record %3 already has that name. The "
                                     "lists show both; the command line and the batch window find a lens by name "
                                     "and so reach record %3 only (the new one as #%2). Give the new record a name "
                                     "of its own with Overwrite, or delete the one you no longer use.")
                          .arg(QString::fromStdString(name))
                          .arg(registry.count)
                          .arg(first + 1));
}

void CameraDlg2::ExplainRewrite(const CopyRewrite& rewrite) {
    // After the prescribed flow, which rewrites the file from this window's
    // copy: what that did to another program's records, or why it wrote nothing.
    if (!rewrite.error.empty()) {
        ShowMessage(this, QStringLiteral("Vistereo.ini was not written: %1.").arg(QString::fromStdString(rewrite.error)));
        return;
    }
    if (rewrite.lost.empty()) return;
    QStringList names;
    for (const std::string& name : rewrite.lost) names << QStringLiteral("\"%1\"").arg(QString::fromStdString(name));
    ShowMessage(this, QStringLiteral("Vistereo.ini had been changed by another program since this window read it. "
                                     "This window writes the file from its own copy, so %1 %2 no longer in it; "
                                     "register %3 again if %4 still wanted.")
                          .arg(names.join(QStringLiteral(", ")),
                               rewrite.lost.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"),
                               rewrite.lost.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"),
                               rewrite.lost.size() == 1 ? QStringLiteral("it is") : QStringLiteral("they are")));
}

void CameraDlg2::OnDetectFromImage() {
    if (m_detecting) return;
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("A photograph taken with this lens"), QStringLiteral("input"),
        QStringLiteral("Images (*.jpg *.jpeg *.JPG *.png *.tif *.tiff *.bmp *.webp);;All files (*)"));
    if (!path.isEmpty()) DetectFromImage(path);
}

void CameraDlg2::DetectFromImage(const QString& path) {
    if (m_detecting) return;
    m_detecting = true;
    m_detect->setEnabled(false);
    auto* busy = new QProgressDialog(QStringLiteral("Looking for the image circle…"), QString(), 0, 0, this);
    busy->setWindowTitle(QStringLiteral("Detect from image"));
    busy->setMinimumDuration(300);
    runInBackground(this, nullptr, [file = path.toStdString()] { return searchCircle(file); },
                    [this, busy, path](const CircleSearch& found) {
        busy->deleteLater();
        m_detecting = false;
        m_detect->setEnabled(true);
        if (!found.error.empty()) {
            ShowMessage(this, QString::fromStdString(found.error));
        } else if (!found.circle.ok()) {
            ShowMessage(this, QStringLiteral("No image circle found in \"%1\": %2")
                                  .arg(path, QString::fromStdString(found.circle.error)));
        } else {
            CircleConfirmDialog confirm(found.photo, found.circle, path, this);
            if (confirm.exec() == QDialog::Accepted) ApplyDetectedCircle(found.circle);
        }
    });
}

void CameraDlg2::ApplyDetectedCircle(const alignment::ImageCircle& circle) {
    UpdateData(true);
    double radius = circle.radius;
    const double fov = parseLeadingDouble(narrow(m_fieldOfView));
    if (m_mappingKind >= 0 && m_mappingKind <= 2 && fov > 0.0) {
        // The sine laws' record holds the radius at 90 degrees off the axis.
        ProjectionChoice law;
        law.kind = static_cast<MappingKind>(m_mappingKind);
        law.sineKText = narrow(m_sineK);
        const LensRecordBuild built = buildLensRecord("circle", law, fov, {circle.centreX, circle.centreY, circle.radius});
        if (!built.error.empty()) {
            ShowMessage(this, QString::fromStdString("The circle does not fit this lens: " + built.error));
            return;
        }
        radius = built.record.radiusDots;
    }
    m_axisX->setText(QString::number(std::lround(circle.centreX)));
    m_axisY->setText(QString::number(std::lround(circle.centreY)));
    m_radiusDots->setText(QString::number(std::lround(radius)));
}

CircleConfirmDialog::CircleConfirmDialog(const cv::Mat& photo, const alignment::ImageCircle& circle,
                                         const QString& path, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Image circle"));
    // The photograph scaled to fit a small screen, the circle and its centre drawn over it.
    const double scale = std::min({1.0, 640.0 / photo.cols, 440.0 / photo.rows});
    cv::Mat shown;
    cv::resize(photo, shown, cv::Size(), scale, scale, cv::INTER_AREA);
    m_picture = QImage(shown.data, shown.cols, shown.rows, static_cast<int>(shown.step), QImage::Format_BGR888).copy();
    {
        QPainter painter(&m_picture);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Qt::red, 2));
        const QPointF centre((circle.centreX + 0.5) * scale, (circle.centreY + 0.5) * scale);
        painter.drawEllipse(centre, circle.radius * scale, circle.radius * scale);
        painter.drawLine(centre - QPointF(8, 0), centre + QPointF(8, 0));
        painter.drawLine(centre - QPointF(0, 8), centre + QPointF(0, 8));
    }
    auto* picture = new QLabel(this);
    picture->setPixmap(QPixmap::fromImage(m_picture));
    auto* figures = new QLabel(
        QStringLiteral("%1\nCentre %2, %3; radius %4 dots. Rim seen on %5 % of the circle, %6 px from it on average.\n"
                       "Use this circle for the axis point and the radius?")
            .arg(path)
            .arg(circle.centreX, 0, 'f', 1)
            .arg(circle.centreY, 0, 'f', 1)
            .arg(circle.radius, 0, 'f', 1)
            .arg(100.0 * circle.rimSeen, 0, 'f', 0)
            .arg(circle.residualPx, 0, 'f', 2),
        this);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(picture);
    layout->addWidget(figures);
    layout->addWidget(buttons);
}

}  // namespace vistereo
