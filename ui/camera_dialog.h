// The camera-and-lens registration dialog `CameraDlg2` ("Camera and Lens"):
// describes a lens model and registers it under a name, overwrites a
// registered model or deletes one. It works on `editLensRegistry` and rewrites
// Vistereo.ini in the working directory, under the registry's lock; the main
// dialog reloads its own copy when this dialog has closed.
#pragma once

#include <QDialog>
#include <QImage>

#include "registry/lens_registry.h"
#include "registry/registry_writes.h"

class QButtonGroup;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace cv {
class Mat;
}

namespace vistereo {

class CMyVistereoApp;
struct LensRecord;
struct LensField;
namespace alignment {
struct ImageCircle;
}

// Shows a photograph with the image circle found in it drawn over it, and the
// figures, so the user can confirm the circle before it fills the record.
class CircleConfirmDialog : public QDialog {
    Q_OBJECT
public:
    CircleConfirmDialog(const cv::Mat& photo, const alignment::ImageCircle& circle, const QString& path,
                        QWidget* parent = nullptr);
    const QImage& picture() const { return m_picture; }  // the photograph as shown, with the circle

private:
    QImage m_picture;
};

class CameraDlg2 : public QDialog {
    Q_OBJECT
public:
    explicit CameraDlg2(CMyVistereoApp& app, QWidget* parent = nullptr);
    ~CameraDlg2() override;

    // The radio selections (positions within their groups).
    int radiusMode() const { return m_radiusMode; }
    int axisMode() const { return m_axisMode; }
    int mappingKind() const { return m_mappingKind; }

    // Command 1 ("Register", Enter): closes the dialog; appends the record
    // the controls describe unless its name is empty or the registry is full.
    void OnRegister();
    // Command 1027 ("Overwrite"): replaces the selected record.
    void OnOverwrite();
    // Command 1028 ("Delete"): removes the selected record.
    void OnDelete();

    // "Detect from image...": finds the image circle in a photograph chosen
    // by the user (in the background), shows it for confirmation and then
    // fills the axis point and the dots radius.
    void OnDetectFromImage();
    void DetectFromImage(const QString& path);
    // The confirmed circle into the boxes: its centre as the given axis point;
    // as the dots radius the circle's radius for the equidistant,
    // stereographic and polynomial kinds, and for the sine laws the radius at
    // 90 degrees that a circle of the stated field of view gives (the
    // circle's own radius when no field of view is stated).
    void ApplyDetectedCircle(const alignment::ImageCircle& circle);

private:
    QLineEdit* addEdit(int id, int x, int y, int width, int height = 12);
    // The edit box of a record field (nullptr for the modes, which are radios).
    QLineEdit* editOf(const LensField& field) const;
    void OnInitDialog();
    // Radio data exchange: true reads the three groups into the members,
    // false checks the buttons the members name.
    void UpdateData(bool saveAndValidate);
    void FillList();
    void OnKSpin(int proposedDelta);
    // After a Register: when an earlier record has the same name, that a
    // lookup by name finds that one, and what to do.
    void ExplainSameName(const std::string& name);
    void ExplainRewrite(const CopyRewrite& rewrite);
    void OnSelchangeList();
    LensRecord recordFromControls() const;
    bool listHasSelection() const;

    CMyVistereoApp& m_app;
    // editLensRegistry as it was last read from the file: what Overwrite and
    // Delete tell another program's records by.
    LensRegistry m_asRead;
    int m_radiusMode = 0;
    int m_axisMode = 0;
    int m_mappingKind = 0;

    QButtonGroup* m_radiusGroup = nullptr;   // 1023 .. 1026
    QButtonGroup* m_axisGroup = nullptr;     // 1029, 1030
    QButtonGroup* m_mappingGroup = nullptr;  // 1032 .. 1035
    QLineEdit* m_magnification = nullptr;    // 1013
    QLineEdit* m_radiusDots = nullptr;       // 1015
    QLineEdit* m_axisX = nullptr;            // 1006
    QLineEdit* m_axisY = nullptr;            // 1016
    QLineEdit* m_sineK = nullptr;            // 1022
    QLineEdit* m_upper[3] = {};              // 1017, 1020, 1031
    QLineEdit* m_lower[3] = {};              // 1018, 1021, 1036
    QLineEdit* m_coefficients[12] = {};      // 1037 .. 1048: a1 b1 c1 .. a4 b4 c4
    QLineEdit* m_name = nullptr;             // 1049
    QListWidget* m_list = nullptr;           // 1050

    // Beside the template's controls: the equidistant, stereographic,
    // polynomial, double-sphere and extended unified kinds (positions 4 to 8
    // of the mapping group), the polynomial's k1 .. k4 or the sphere laws'
    // two numbers (the same texts as the a boxes of the quadratic's four
    // rows, which the record keeps them in), the field of view of the image
    // circle (the same text as the c box of the first row) and the circle
    // finder. A calibrated lens's centre between dots, aspect and turn show
    // as their text in the b box of the first row (lens/lens_precision.h).
    QLineEdit* m_polynomial[4] = {};         // 1111 .. 1114
    QLineEdit* m_fieldOfView = nullptr;      // 1115
    QPushButton* m_detect = nullptr;         // 1116
    bool m_detecting = false;
};

}  // namespace vistereo
