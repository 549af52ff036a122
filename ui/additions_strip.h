// The strip below the main window's own controls, where the program's
// additions live: a row of buttons ("Auto A,B", "Preview", "Batch...", ...)
// and under it rows of check boxes ("Name for VR players (_180_LR)", ...)
// and labelled fields ("Convergence" with its spin box).
//
// Each addition is placed when it is added, after the ones before it in its
// row (a check box that does not fit starts a new row below), and never moves
// again, so a new button, check box or field joins without disturbing the
// others. The window grows to hold the rows. Tab moves through the additions
// in reading order after the window's own controls; check boxes and fields
// are remembered between runs.
#pragma once

#include <QList>
#include <QString>

class QAbstractButton;
class QCheckBox;
class QDoubleSpinBox;
class QPushButton;
class QWidget;

namespace vistereo {

class DialogUnits;

class AdditionsStrip {
public:
    // `window`: the dialog; `top`: where the strip starts, in dialog units;
    // `lastOwnControl`: the window's own control Tab reaches last.
    AdditionsStrip(QWidget* window, const DialogUnits& units, int top, QWidget* lastOwnControl);

    void addButton(QPushButton* button);
    // Also remembers its state between runs (under its object name, which it must have).
    void addCheckBox(QCheckBox* box);
    // A field with its label before it, in the rows of the check boxes;
    // remembered between runs under its object name, which it must have.
    void addField(const QString& label, QDoubleSpinBox* field);

    // The strip's height in pixels as it stands.
    int height() const;

private:
    void place(QWidget* control, int row, int& x);
    // Places `control` in the rows of the check boxes, on a new row when it does not fit.
    void placeInRows(QWidget* control);
    void chainTabOrder();

    QWidget* window_;
    int left_, right_, top_, rowHeight_, rowGap_, gap_, bottomMargin_;
    int buttonX_ = 0;
    int checkRow_ = 1;  // row 0 holds the buttons
    int checkX_ = 0;
    QWidget* lastOwnControl_;
    QList<QWidget*> buttons_, checkBoxes_;  // checkBoxes_: the tab stops of the rows, fields too
};

}  // namespace vistereo
