// "Add my lens": a lens registered from the photographer's own photos. The
// image circle is found in one or more photos taken with the lens (the same
// finder `lens add --detect` uses) and drawn over the first of them, where
// the user confirms it or drags its centre and its rim; the field of view
// and the projection are asked in a photographer's words; the name is
// checked against the records the lens files hold and against what the
// command line would read as a record number. The record is written under
// the registry's lock, crash-safely, into this folder's Vistereo.ini (what
// the main window's lens lists show), the user's lens file (what the batch
// window and the command line read in every folder), or both.
#pragma once

#include <QDialog>
#include <QImage>
#include <QStringList>

#include <filesystem>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "lens/image_circle.h"
#include "lens/lens_description.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vistereo {

struct GuideCircleSearch;

// The photo with the image circle drawn over it. A drag that starts near
// the centre moves the centre; one that starts elsewhere moves the rim
// (the radius follows the pointer's distance from the centre).
class CircleView : public QWidget {
    Q_OBJECT
public:
    explicit CircleView(QWidget* parent = nullptr);
    void setPhoto(const QImage& photo);  // full size; shown scaled to the widget
    void setCircle(const CircleOnSensor& circle);
    const CircleOnSensor& circle() const { return m_circle; }
    QSize sizeHint() const override { return {480, 320}; }
    // Where a photo pixel is drawn, and back (for the tests' drags).
    QPointF toWidget(QPointF photo) const;
    QPointF toPhoto(QPointF widget) const;

signals:
    void circleDragged(const CircleOnSensor& circle);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    double scale() const;
    QImage m_photo;
    CircleOnSensor m_circle;
    bool m_hasCircle = false;
    enum class Drag { None, Centre, Rim } m_drag = Drag::None;
    QPointF m_grab;  // the pointer's offset from the centre when a centre drag began (photo pixels)
};

// The projections a photographer is offered, in the order shown: the words,
// and the projection as `lens add --projection` takes it.
struct ProjectionOffer {
    const char* words;
    const char* projection;
};
inline constexpr ProjectionOffer kProjectionOffers[] = {
    {"Fisheye, equidistant — most fisheye lenses", "equidistant"},
    {"Fisheye, equisolid — keeps areas in proportion", "equisolid"},
    {"Fisheye, stereographic — keeps shapes round towards the rim", "stereographic"},
    {"Orthographic — squeezes the rim the most", "orthographic"},
};

class AddLensGuide : public QDialog {
    Q_OBJECT
public:
    // `folderFile`: this folder's Vistereo.ini; `userFile`: the user's lens
    // file (none when the environment gives no home).
    AddLensGuide(std::filesystem::path folderFile, std::optional<std::filesystem::path> userFile,
                 QWidget* parent = nullptr);
    ~AddLensGuide() override;

    // Reads the photos and looks for their circle in the background;
    // circleSearched() follows.
    void usePhotos(const QStringList& paths);
    // Why "Register" cannot be pressed yet, or "" when it can.
    QString missing() const;
    // Writes the record; true when every chosen file took it (the window
    // then closes as accepted). What went wrong is shown in the window.
    bool registerLens();

    // After an accepted run: the name registered and whether this folder's
    // Vistereo.ini holds it.
    const std::string& registeredName() const { return m_registered; }
    bool savedInFolder() const { return m_savedInFolder; }

signals:
    void circleSearched();

private:
    void chooseFiles();
    void onCircleFound(const GuideCircleSearch& found);
    void showCircleFigures();
    void refreshState();
    // The names the chosen files hold now.
    bool nameTaken(const std::string& name, std::string& where) const;

    std::filesystem::path m_folderFile;
    std::optional<std::filesystem::path> m_userFile;
    QStringList m_photos;
    bool m_searching = false;
    std::optional<alignment::ImageCircle> m_found;  // as the finder gave it
    std::string m_registered;
    bool m_savedInFolder = false;

    QLabel* m_photosText = nullptr;
    QPushButton* m_choose = nullptr;
    CircleView* m_view = nullptr;
    QDoubleSpinBox* m_centreX = nullptr;
    QDoubleSpinBox* m_centreY = nullptr;
    QDoubleSpinBox* m_radius = nullptr;
    QLabel* m_circleText = nullptr;
    QComboBox* m_projection = nullptr;
    QDoubleSpinBox* m_fov = nullptr;
    QLineEdit* m_name = nullptr;
    QCheckBox* m_inFolder = nullptr;
    QCheckBox* m_inUserFile = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_register = nullptr;
};

}  // namespace vistereo
