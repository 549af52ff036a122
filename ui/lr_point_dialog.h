// The point picking dialog `LRPointDlg` ("Left and Right Point"): shows the
// left input image (longer side 1024 pixels) and the right one (512 pixels),
// takes presses in the left picture for the points A and B, finds the
// matching right points by template matching, marks the last pair in both
// pictures and shows the four numbers in the selected row.
//
// Where the screen cannot hold the window at one screen pixel per view
// pixel, the views are shown smaller (presses are measured back in view
// pixels), so that both views and every box fit; both A and B are then
// marked in both pictures, each with its letter.
//
// It takes the two input names and the eight numbers from the application
// object (`m_leftImageName`, `m_rightImageName`, `m_exchangePoints`) and, on
// "OK", puts the eight numbers of its rows back into `m_exchangePoints`.
#pragma once

#include <opencv2/core.hpp>

#include <QDialog>

#include <utility>
#include <vector>

#include "engine/params.h"
#include "picking/display.h"
#include "picking/matching.h"

class QButtonGroup;
class QLabel;
class QLineEdit;

namespace vistereo {

class CMyVistereoApp;

class LRPointDlg : public QDialog {
    Q_OBJECT
public:
    explicit LRPointDlg(CMyVistereoApp& app, QWidget* parent = nullptr);
    ~LRPointDlg() override;

    // Both read the images and fill the dialog first. When an image cannot be
    // read, its message is shown and the dialog closes as cancelled without
    // ever appearing (exec() returns Rejected at once).
    int exec() override;
    void open() override;

    // The selected row: 0 "A Left", 1 "B Left". Every dialog starts at 0.
    int m_pointRow = 0;

    // The last accepted pair, full resolution.
    ImagePoint leftPoint;
    ImagePoint rightPoint;

    // Screen pixels per view pixel: 1 at the template's size, less when the
    // window was fitted to a small screen.
    double displayScale() const { return m_displayScale; }

protected:
    // A left-button press that no button, radio button or edit took: the
    // position in the left view picks a point.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void buildControls();
    // Reads both images and fills the dialog; false when an image is missing.
    bool OnInitDialog();
    void OnLButtonDown(QPoint leftViewPosition);
    void OnOK();
    // Data exchange of the row radios: true reads them into m_pointRow,
    // false checks the radio m_pointRow names.
    void UpdateData(bool saveAndValidate);
    // Hands both display bitmaps to their pictures; each picture takes the
    // size of its bitmap, one screen pixel per view pixel.
    void ShowBitmaps();
    void fitToContents();
    // Places the controls beside the left view for views shown at `scale`.
    void arrange(double scale);
    // The window's size with the views at `scale` (arranged and shown so).
    QSize sizeAtScale(double scale);
    void fitToScreen();

    CMyVistereoApp& m_app;

    QLabel* m_leftPicture = nullptr;   // 1054
    QLabel* m_rightPicture = nullptr;  // 1055
    QButtonGroup* m_rowGroup = nullptr;  // 1023, 1024
    QLineEdit* m_edits[8] = {};          // 1002 .. 1009, in id order

    // State of one opening.
    PickingImages m_images;  // leftImage, rightImage and both view geometries
    cv::Mat leftView;
    cv::Mat rightView;
    DisplayBitmap leftBitmap;
    DisplayBitmap rightBitmap;
    MarkerState m_markers;   // leftMarker, rightMarker, markersShown
    double m_displayScale = 1.0;
    std::vector<std::pair<QWidget*, QPoint>> m_besideTheView;  // with their template positions
};

}  // namespace vistereo
