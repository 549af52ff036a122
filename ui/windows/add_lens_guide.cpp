#include "ui/windows/add_lens_guide.h"

#include <algorithm>
#include <cmath>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "imagefile/input.h"
#include "registry/lens_registry.h"
#include "registry/registry_writes.h"
#include "ui/widgets/background.h"
#include "ui/widgets/dialog_layout.h"
#include "ui/widgets/message_box.h"

namespace vistereo {

// What the circle finder read and found in the photos.
struct GuideCircleSearch {
    QImage firstPhoto;  // the first photo, to draw the circle on
    alignment::PooledCircle pooled;
    std::string error;  // a photo could not be read, or differs in size from the first
};

namespace {

QString qt(const std::string& text) { return QString::fromStdString(text); }

GuideCircleSearch searchPhotos(const std::vector<std::string>& paths) {
    GuideCircleSearch out;
    alignment::CircleOverFrames frames;
    for (const std::string& path : paths) {
        const InputImage image = readInput(path);
        if (!image.ok()) {
            out.error = "Cannot read the photo " + describeInputProblem(image) + ".";
            return out;
        }
        if (out.firstPhoto.isNull()) {
            const cv::Mat& p = image.pixels;
            out.firstPhoto = QImage(p.data, p.cols, p.rows, static_cast<qsizetype>(p.step), QImage::Format_BGR888).copy();
        }
        if (!frames.add(image.pixels)) {
            out.error = "\"" + path + "\" is not the size of the first photo: give photos of one camera only.";
            return out;
        }
    }
    out.pooled = frames.detect();
    return out;
}

QDoubleSpinBox* dotsBox(QWidget* parent, const char* name) {
    auto* box = new QDoubleSpinBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setRange(0.0, 100000.0);
    box->setDecimals(1);
    box->setSuffix(QStringLiteral(" dots"));
    return box;
}

}  // namespace

// --- the circle over the photo ---

CircleView::CircleView(QWidget* parent) : QWidget(parent) {
    setMinimumSize(320, 200);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setCursor(Qt::CrossCursor);
}

void CircleView::setPhoto(const QImage& photo) {
    m_photo = photo;
    update();
}

void CircleView::setCircle(const CircleOnSensor& circle) {
    m_circle = circle;
    m_hasCircle = true;
    update();
}

double CircleView::scale() const {
    if (m_photo.isNull()) return 1.0;
    return std::min(static_cast<double>(width()) / m_photo.width(), static_cast<double>(height()) / m_photo.height());
}

// Photo pixels have their centres at whole numbers; the picture is centred in the widget.
QPointF CircleView::toWidget(QPointF photo) const {
    const double s = scale();
    const QPointF origin((width() - m_photo.width() * s) / 2, (height() - m_photo.height() * s) / 2);
    return origin + (photo + QPointF(0.5, 0.5)) * s;
}

QPointF CircleView::toPhoto(QPointF widget) const {
    const double s = scale();
    const QPointF origin((width() - m_photo.width() * s) / 2, (height() - m_photo.height() * s) / 2);
    return (widget - origin) / s - QPointF(0.5, 0.5);
}

void CircleView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (m_photo.isNull()) {
        painter.setPen(Qt::lightGray);
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap,
                         QStringLiteral("Choose one or more photos taken with the lens:\nits image circle is drawn here."));
        return;
    }
    const double s = scale();
    const QRectF target(toWidget({-0.5, -0.5}), QSizeF(m_photo.width() * s, m_photo.height() * s));
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, m_photo);
    if (!m_hasCircle) return;
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre = toWidget({m_circle.centreX, m_circle.centreY});
    painter.setPen(QPen(QColor(255, 40, 40), 2));
    painter.drawEllipse(centre, m_circle.radius * s, m_circle.radius * s);
    painter.drawLine(centre - QPointF(10, 0), centre + QPointF(10, 0));
    painter.drawLine(centre - QPointF(0, 10), centre + QPointF(0, 10));
}

void CircleView::mousePressEvent(QMouseEvent* event) {
    if (!m_hasCircle || event->button() != Qt::LeftButton) return;
    const QPointF at = toPhoto(event->position());
    const QPointF offset = at - QPointF(m_circle.centreX, m_circle.centreY);
    // Near the centre (within a third of the radius) the centre moves; elsewhere the rim.
    if (std::hypot(offset.x(), offset.y()) < m_circle.radius / 3) {
        m_drag = Drag::Centre;
        m_grab = offset;
    } else {
        m_drag = Drag::Rim;
    }
    mouseMoveEvent(event);
}

void CircleView::mouseMoveEvent(QMouseEvent* event) {
    if (m_drag == Drag::None) return;
    const QPointF at = toPhoto(event->position());
    if (m_drag == Drag::Centre) {
        m_circle.centreX = at.x() - m_grab.x();
        m_circle.centreY = at.y() - m_grab.y();
    } else {
        m_circle.radius = std::max(1.0, std::hypot(at.x() - m_circle.centreX, at.y() - m_circle.centreY));
    }
    update();
    emit circleDragged(m_circle);
}

void CircleView::mouseReleaseEvent(QMouseEvent*) { m_drag = Drag::None; }

// --- the guide ---

AddLensGuide::AddLensGuide(std::filesystem::path folderFile, std::optional<std::filesystem::path> userFile,
                           QWidget* parent)
    : QDialog(parent), m_folderFile(std::move(folderFile)), m_userFile(std::move(userFile)) {
    setWindowTitle(QStringLiteral("Add my lens"));
    setFont(dialogFont(10));

    m_photosText = new QLabel(QStringLiteral("No photo chosen yet."), this);
    m_choose = new QPushButton(QStringLiteral("Choose photos..."), this);
    m_choose->setToolTip(QStringLiteral(
        "One or more photos taken with this lens on this camera, the brighter and more varied the better: the image "
        "circle is the edge of the lit disc they all share"));
    m_view = new CircleView(this);
    m_centreX = dotsBox(this, "centreX");
    m_centreY = dotsBox(this, "centreY");
    m_radius = dotsBox(this, "radius");
    m_circleText = new QLabel(this);
    m_projection = new QComboBox(this);
    for (const ProjectionOffer& offer : kProjectionOffers) m_projection->addItem(QString::fromUtf8(offer.words));
    m_projection->setToolTip(QStringLiteral(
        "How the lens spreads the view over the picture. Most fisheye lenses are equidistant; the lens's data sheet "
        "may say \"equisolid\" or \"stereographic\". If unsure, take equidistant: Auto A,B's lens refinement and lens "
        "calibrate tell how well the record fits your photos"));
    m_fov = new QDoubleSpinBox(this);
    m_fov->setRange(60.0, 300.0);
    m_fov->setDecimals(1);
    m_fov->setValue(180.0);
    m_fov->setSuffix(QStringLiteral("°"));
    m_fov->setToolTip(QStringLiteral(
        "How many degrees the lens sees from one edge of its image circle to the other: 180 for most circular "
        "fisheyes, more for some (the lens's data sheet gives it)"));
    m_name = new QLineEdit(this);
    m_name->setPlaceholderText(QStringLiteral("for example: My fisheye"));
    m_inFolder = new QCheckBox(QStringLiteral("This folder's Vistereo.ini — the main window's lens lists"), this);
    m_inFolder->setChecked(true);
    m_inUserFile = new QCheckBox(this);
    m_inUserFile->setText(m_userFile ? QStringLiteral("Your lens file (%1) — the batch window and the command line, in "
                                                      "every folder")
                                           .arg(qt(m_userFile->string()))
                                     : QStringLiteral("Your lens file — none: neither XDG_CONFIG_HOME nor HOME is set"));
    m_inUserFile->setChecked(m_userFile.has_value());
    m_inUserFile->setEnabled(m_userFile.has_value());
    m_status = new QLabel(this);
    m_status->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(this);
    m_register = buttons->addButton(QStringLiteral("Register"), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    nameParts({{m_photosText, "photos"},     {m_choose, "choosePhotos"},  {m_view, "circleView"},
               {m_circleText, "circleText"}, {m_projection, "projection"}, {m_fov, "fieldOfView"},
               {m_name, "lensName"},         {m_inFolder, "inFolder"},    {m_inUserFile, "inUserFile"},
               {m_status, "guideStatus"},    {m_register, "registerLens"}, {cancel, "cancelGuide"}});

    // Texts that change keep their height, so nothing moves as the circle is found.
    const int line = fontMetrics().lineSpacing();
    m_circleText->setWordWrap(true);
    m_circleText->setFixedHeight(3 * line);
    m_circleText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_status->setFixedHeight(2 * line);
    m_status->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* photos = new QHBoxLayout;
    photos->addWidget(new QLabel(QStringLiteral("1. Photos taken with the lens:"), this));
    photos->addWidget(m_photosText, 1);
    photos->addWidget(m_choose);
    auto* circle = new QHBoxLayout;
    circle->addWidget(new QLabel(QStringLiteral("Centre"), this));
    circle->addWidget(m_centreX);
    circle->addWidget(m_centreY);
    circle->addSpacing(12);
    circle->addWidget(new QLabel(QStringLiteral("Radius"), this));
    circle->addWidget(m_radius);
    circle->addStretch(1);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("3. Projection"), m_projection);
    form->addRow(QStringLiteral("    Field of view across the circle"), m_fov);
    form->addRow(QStringLiteral("4. Name"), m_name);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(photos);
    layout->addWidget(new QLabel(QStringLiteral("2. The image circle (red) should follow the edge of the lit disc: "
                                                "drag its middle to move it, its rim to resize it."),
                                 this));
    layout->addWidget(m_view, 1);
    layout->addLayout(circle);
    layout->addWidget(m_circleText);
    layout->addLayout(form);
    layout->addWidget(new QLabel(QStringLiteral("5. Keep it in"), this));
    layout->addWidget(m_inFolder);
    layout->addWidget(m_inUserFile);
    layout->addWidget(m_status);
    layout->addWidget(buttons);

    // Fits a 1366 × 768 screen with its title bar; the photo takes what room there is.
    resize(760, 690);
    m_fov->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("300.0°")) + 48);

    connect(m_choose, &QPushButton::clicked, this, &AddLensGuide::chooseFiles);
    connect(m_view, &CircleView::circleDragged, this, [this](const CircleOnSensor& c) {
        const QSignalBlocker bx(m_centreX), by(m_centreY), br(m_radius);
        m_centreX->setValue(c.centreX), m_centreY->setValue(c.centreY), m_radius->setValue(c.radius);
        showCircleFigures();
        refreshState();
    });
    for (QDoubleSpinBox* box : {m_centreX, m_centreY, m_radius})
        connect(box, &QDoubleSpinBox::valueChanged, this, [this] {
            m_view->setCircle({m_centreX->value(), m_centreY->value(), m_radius->value()});
            showCircleFigures();
            refreshState();
        });
    connect(m_name, &QLineEdit::textChanged, this, &AddLensGuide::refreshState);
    connect(m_fov, &QDoubleSpinBox::valueChanged, this, &AddLensGuide::refreshState);
    connect(m_projection, &QComboBox::currentIndexChanged, this, &AddLensGuide::refreshState);
    connect(m_inFolder, &QCheckBox::toggled, this, &AddLensGuide::refreshState);
    connect(m_inUserFile, &QCheckBox::toggled, this, &AddLensGuide::refreshState);
    connect(m_register, &QPushButton::clicked, this, &AddLensGuide::registerLens);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    showCircleFigures();
    refreshState();
}

AddLensGuide::~AddLensGuide() = default;

void AddLensGuide::chooseFiles() {
    const QStringList chosen = QFileDialog::getOpenFileNames(
        this, QStringLiteral("Photos taken with this lens"), QStringLiteral("input"),
        QStringLiteral("Images (*.jpg *.jpeg *.JPG *.png *.tif *.tiff *.bmp *.webp);;All files (*)"));
    if (!chosen.isEmpty()) usePhotos(chosen);
}

void AddLensGuide::usePhotos(const QStringList& paths) {
    if (m_searching || paths.isEmpty()) return;
    m_photos = paths;
    m_searching = true;
    m_found.reset();
    m_photosText->setText(paths.size() == 1 ? QFileInfo(paths[0]).fileName()
                                            : QStringLiteral("%1 photos").arg(paths.size()));
    m_photosText->setToolTip(paths.join('\n'));
    m_circleText->setText(QStringLiteral("Looking for the image circle…"));
    m_choose->setEnabled(false);
    refreshState();
    std::vector<std::string> files;
    for (const QString& path : paths) files.push_back(path.toStdString());
    runInBackground(this, nullptr, [files] { return searchPhotos(files); },
                    [this](const GuideCircleSearch& found) { onCircleFound(found); });
}

void AddLensGuide::onCircleFound(const GuideCircleSearch& found) {
    m_searching = false;
    m_choose->setEnabled(true);
    if (!found.firstPhoto.isNull()) m_view->setPhoto(found.firstPhoto);
    if (!found.error.empty()) {
        m_circleText->setText(qt(found.error));
    } else if (!found.pooled.circle.ok()) {
        // No circle to confirm: one the user draws from the middle of the photo instead.
        m_circleText->setText(QStringLiteral("No image circle found (%1). Drag the red circle onto the edge of the "
                                             "lit disc, or type its centre and radius.")
                                  .arg(qt(found.pooled.circle.error)));
        const QImage& p = found.firstPhoto;
        if (!p.isNull()) {
            const QSignalBlocker bx(m_centreX), by(m_centreY), br(m_radius);
            m_centreX->setValue((p.width() - 1) / 2.0), m_centreY->setValue((p.height() - 1) / 2.0);
            m_radius->setValue(std::min(p.width(), p.height()) / 2.0);
            m_view->setCircle({m_centreX->value(), m_centreY->value(), m_radius->value()});
        }
    } else {
        m_found = found.pooled.circle;
        const QSignalBlocker bx(m_centreX), by(m_centreY), br(m_radius);
        m_centreX->setValue(m_found->centreX), m_centreY->setValue(m_found->centreY), m_radius->setValue(m_found->radius);
        m_view->setCircle({m_found->centreX, m_found->centreY, m_found->radius});
        showCircleFigures();
    }
    refreshState();
    emit circleSearched();
}

void AddLensGuide::showCircleFigures() {
    if (m_searching) return;
    if (!m_found) {
        if (m_photos.isEmpty()) m_circleText->setText(QStringLiteral("Choose photos to find the circle."));
        return;
    }
    const double moved = std::hypot(m_centreX->value() - m_found->centreX, m_centreY->value() - m_found->centreY);
    const double resized = m_radius->value() - m_found->radius;
    // The finder's own figures say how sure it is; they have no fixed limit,
    // so they are told with what they mean.
    QString text = QStringLiteral("Found: the rim seen on %1 % of the circle, its points %2 px from it on average "
                                  "(more of the rim and nearer points: a surer circle). ")
                       .arg(100.0 * m_found->rimSeen, 0, 'f', 0)
                       .arg(m_found->residualPx, 0, 'f', 2);
    text += moved < 0.05 && std::abs(resized) < 0.05
                ? QStringLiteral("Check that the red line follows the disc's edge all round.")
                : QStringLiteral("Moved by hand: centre %1 px, radius %2 px from what was found.")
                      .arg(moved, 0, 'f', 1)
                      .arg(resized, 0, 'f', 1);
    m_circleText->setText(text);
}

bool AddLensGuide::nameTaken(const std::string& name, std::string& where) const {
    const std::pair<const QCheckBox*, std::optional<std::filesystem::path>> files[] = {{m_inFolder, m_folderFile},
                                                                                        {m_inUserFile, m_userFile}};
    for (const auto& [box, file] : files) {
        if (!box->isChecked() || !file) continue;
        LensRegistry registry;
        LoadLensRegistry(registry, *file);
        for (int i = 0; i < registry.count; ++i)
            if (registry.records[i].name == name) {
                where = file->string();
                return true;
            }
    }
    return false;
}

QString AddLensGuide::missing() const {
    if (m_searching) return QStringLiteral("Looking for the image circle…");
    if (m_photos.isEmpty()) return QStringLiteral("Choose one or more photos taken with the lens (step 1).");
    if (m_radius->value() <= 0.0) return QStringLiteral("The circle needs a radius (step 2).");
    const std::string name = m_name->text().toStdString();
    if (name.empty()) return QStringLiteral("Give the lens a name (step 4).");
    if (const std::string problem = lensNameProblem(name); !problem.empty())
        return QStringLiteral("That name cannot be used: %1.").arg(qt(problem));
    if (std::string where; nameTaken(name, where))
        return QStringLiteral("%1 already holds a lens named \"%2\": choose another name.").arg(qt(where), m_name->text());
    if (!m_inFolder->isChecked() && !m_inUserFile->isChecked()) return QStringLiteral("Choose where to keep it (step 5).");
    return {};
}

void AddLensGuide::refreshState() {
    const QString why = missing();
    m_register->setEnabled(why.isEmpty());
    m_status->setText(why.isEmpty() ? QStringLiteral("Ready: Register writes the lens and fills the lens lists.") : why);
}

bool AddLensGuide::registerLens() {
    if (!missing().isEmpty()) return false;
    const ProjectionRead projection = parseProjection(kProjectionOffers[m_projection->currentIndex()].projection);
    const std::string name = m_name->text().toStdString();
    const LensRecordBuild built = buildLensRecord(
        name, projection.choice, m_fov->value(), {m_centreX->value(), m_centreY->value(), m_radius->value()});
    if (!built.error.empty()) {
        m_status->setText(QStringLiteral("Not registered: %1").arg(qt(built.error)));
        return false;
    }
    // Each file is written under its own lock; one that refuses (another
    // program took the name meanwhile, the file is full or cannot be
    // written) leaves the other as written.
    QStringList written, refused;
    const std::pair<QCheckBox*, std::optional<std::filesystem::path>> files[] = {{m_inFolder, m_folderFile},
                                                                                  {m_inUserFile, m_userFile}};
    for (const auto& [box, file] : files) {
        if (!box->isChecked() || !file) continue;
        if (file == m_userFile) {  // the user's lens file is made with its folder when missing
            std::error_code made;
            std::filesystem::create_directories(file->parent_path(), made);
            if (made) {
                refused << QStringLiteral("%1: cannot make its folder: %2").arg(qt(file->string()), qt(made.message()));
                continue;
            }
        }
        const RegistryAddition added = addLensRecord(*file, built.record);
        if (!added.ok()) {
            refused << QStringLiteral("%1: %2").arg(qt(file->string()), qt(added.error));
            continue;
        }
        written << qt(file->string());
        if (file == m_folderFile) m_savedInFolder = true;
    }
    if (written.isEmpty()) {
        m_status->setText(QStringLiteral("Not registered. %1").arg(refused.join(QStringLiteral("; "))));
        return false;
    }
    m_registered = name;
    if (!refused.isEmpty())
        ShowMessage(this, QStringLiteral("\"%1\" was registered in %2, but not in %3.")
                              .arg(m_name->text(), written.join(QStringLiteral(", ")), refused.join(QStringLiteral("; "))));
    accept();
    return refused.isEmpty();
}

}  // namespace vistereo
