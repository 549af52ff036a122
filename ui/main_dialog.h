// The main dialog `CMyVistereoDlg`: the program's only main window. Its
// controls hold everything a conversion needs (file names, points A and B,
// output height, zenith correction, a lens for each eye); its handlers keep
// the user's choices current as the user edits, run the conversion in the
// background on a copy of them, and open the registration dialog, the point
// picker and the About box.
//
// Every control is named after its control id ("id1002", "id1029", ...) so
// other dialogs and the tests can look it up.
#pragma once

#include <QDialog>
#include <QFuture>
#include <QThreadPool>

#include <memory>
#include <string>
#include <vector>

#include "conversion/run.h"
#include "lens/lens_check.h"
#include "engine/params.h"

class QButtonGroup;
class QCheckBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;

namespace vistereo {

class AdditionsStrip;
class CMyVistereoApp;
class UpDownControl;
namespace alignment { struct AlignmentResult; }

// "Batch..." and "Video..." among the additions below the template's controls.
inline constexpr int kBatchButtonId = 1070;
inline constexpr int kVideoButtonId = 1071;

// The About command of the dialog's window menu.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;

class CMyVistereoDlg : public QDialog {
    Q_OBJECT
public:
    explicit CMyVistereoDlg(CMyVistereoApp& app, QWidget* parent = nullptr);
    ~CMyVistereoDlg() override;

    // 0: "Separately Input", 1: "comma separated input".
    int pointEntryMode() const { return m_pointEntryMode; }

    // The window menu: on this platform it opens with a right click on the
    // dialog's background; it holds "Vistereoについて(&A)...".
    QMenu* systemMenu() const { return m_systemMenu; }

    // True while a conversion is running (the dialog's controls are disabled then).
    bool conversionRunning() const { return m_running; }
    // The one thread conversions run on, apart from the renderers' own.
    QThreadPool& conversionPool() { return m_runPool; }

    // Command 1 ("Start Conversion !!!", Enter): the conversion run on the
    // dialog's current values, copied when it starts. The run goes on in the
    // background; conversionFinished() follows its last message.
    void RunConversion();
    // Command 1028 ("Get A,B"): the point picker.
    void OnGetAB();
    // "Batch...": the batch window, with the lenses, height, zenith and
    // points the dialog holds now.
    void OnBatch();
    // "Video...": the video window, with the lenses, zenith and points the
    // dialog holds now.
    void OnVideo();
    // Command 1027 ("Camera Lens Registration").
    void OnCameraLensRegistration();
    // Window menu commands; IDM_ABOUTBOX shows the About box.
    void OnSysCommand(unsigned id);

    // Empties both lens lists and adds the names of `mainLensRegistry` in
    // registry order, to the left list and then to the right list.
    void FillLensLists();

    // "Add my lens...": the guide that registers a lens from the user's
    // photos; the lens lists refilled afterwards.
    void OnAddMyLens();

    // "Auto A,B": points A and B from the pictures, in the background.
    void OnAutoAB();
    // "Preview": the last output (or the one the output box names).
    void OnPreview();

signals:
    void conversionFinished();
    void autoAlignFinished();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void buildControls();
    void OnInitDialog();
    // What a conversion started now would work with: a copy of the dialog's values.
    ConversionRequest CurrentRequest();
    // Data exchange of the point entry radio group: true reads the radios
    // into m_pointEntryMode, false checks the radio m_pointEntryMode names.
    void UpdateData(bool saveAndValidate);

    void OnChangeHeight();
    void OnChangeCommaLine();
    void OnChangeALeftX();
    void OnZenithStep(int32_t ZenithTenths::*axis, QLineEdit* box, int proposedDelta);
    // Disables (or re-enables) every control for the length of a run.
    void SetRunning(bool running);
    void OnConversionDone();
    // A lens value the run went on with, worded with the text its record holds.
    std::string DescribeLensFinding(const LensValueFinding& found, const std::array<LensSettings, 2>& lenses) const;
    // Sets point box k (in m_pointBoxes order) as the program does.
    void SetPointBox(int k, const QString& text);
    void OnClearPoints();
    void OnClearZenith();
    void OnSelchangeLensList(int eye);
    // Over the lens lists while the registry is empty: why, and what to press.
    void ShowLensHint();

    CMyVistereoApp& m_app;
    int m_pointEntryMode = 0;
    bool m_running = false;
    std::vector<QWidget*> m_disabledForRun;
    QThreadPool m_runPool;
    QFuture<void> m_runFuture;  // the conversion running off the window's thread
    struct RunState;
    std::shared_ptr<RunState> m_run;
    QMenu* m_systemMenu = nullptr;

    QPushButton* m_startButton = nullptr;
    QLineEdit* m_pointBoxes[8] = {};  // 1002, 1003, 1004, 1005, 1007, 1008, 1009, 1010
    QLineEdit* m_width = nullptr;     // 1011
    QLineEdit* m_leftName = nullptr;  // 1012
    QLineEdit* m_height = nullptr;    // 1013
    QLineEdit* m_commaLine = nullptr; // 1015
    QLineEdit* m_rightName = nullptr; // 1016
    QLineEdit* m_outputName = nullptr;// 1017
    QLineEdit* m_pitchBox = nullptr;  // 1020
    QLineEdit* m_rollBox = nullptr;   // 1021
    QLineEdit* m_yawBox = nullptr;    // 1022
    QListWidget* m_leftLenses = nullptr;   // 1029
    QListWidget* m_rightLenses = nullptr;  // 1030
    QButtonGroup* m_entryMode = nullptr;   // 1023, 1024
    QCheckBox* m_vrSuffix = nullptr;       // additions strip
    QCheckBox* m_keepExif = nullptr;
    QCheckBox* m_ignoreOrientation = nullptr;
    QCheckBox* m_newProjections = nullptr;
    QCheckBox* m_matchColour = nullptr;
    QDoubleSpinBox* m_convergence = nullptr;  // degrees; 0: the right eye as the points align it
    QLabel* m_leftHint = nullptr;   // over the left lens list while it is empty
    QLabel* m_rightHint = nullptr;
    QString m_lastOutput;
    // The stereo window and colour match the last output was written with
    // (the preview starts from them).
    double m_lastOutputConvergence = 0.0;
    bool m_lastOutputMatched = false;
    std::unique_ptr<AdditionsStrip> m_additions;
};

// The message after "Auto A,B" found the points: that they replaced the
// point boxes, the rotation, the residual with its verdict, and why the
// preview's figures differ.
QString describeAutoAB(const alignment::AlignmentResult& result);

}  // namespace vistereo
