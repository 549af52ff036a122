#include "ui/additions_strip.h"

#include <algorithm>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include "ui/widgets/dialog_layout.h"
#include "ui/widgets/user_settings.h"

namespace vistereo {

AdditionsStrip::AdditionsStrip(QWidget* window, const DialogUnits& units, int top, QWidget* lastOwnControl)
    : window_(window),
      left_(units.x(10)),
      right_(units.x(318)),
      top_(units.y(top)),
      rowHeight_(units.y(13)),
      rowGap_(units.y(4)),
      gap_(units.x(6)),
      bottomMargin_(units.y(7)),
      lastOwnControl_(lastOwnControl) {
    buttonX_ = checkX_ = left_;
}

void AdditionsStrip::place(QWidget* control, int row, int& x) {
    control->setParent(window_);
    // Buttons keep at least the width of the window's own small buttons.
    const int width = qobject_cast<QPushButton*>(control) ? std::max(control->sizeHint().width(), right_ / 6)
                                                           : control->sizeHint().width();
    control->setGeometry(x, top_ + row * (rowHeight_ + rowGap_), width, rowHeight_);
    control->show();
    x += width + gap_;
}

void AdditionsStrip::addButton(QPushButton* button) {
    place(button, 0, buttonX_);
    buttons_ << button;
    chainTabOrder();
}

void AdditionsStrip::placeInRows(QWidget* control) {
    if (checkX_ > left_ && checkX_ + control->sizeHint().width() > right_) {
        ++checkRow_;
        checkX_ = left_;
    }
    place(control, checkRow_, checkX_);
}

void AdditionsStrip::addCheckBox(QCheckBox* box) {
    placeInRows(box);
    checkBoxes_ << box;
    rememberCheckBox(box);
    chainTabOrder();
}

void AdditionsStrip::addField(const QString& label, QDoubleSpinBox* field) {
    auto* holder = new QWidget(window_);
    holder->setObjectName(field->objectName() + QStringLiteral("Row"));
    auto* text = new QLabel(label, holder);
    text->setBuddy(field);
    field->setParent(holder);
    auto* row = new QHBoxLayout(holder);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(text);
    row->addWidget(field);
    placeInRows(holder);
    checkBoxes_ << field;
    rememberSpinBox(field);
    chainTabOrder();
}

int AdditionsStrip::height() const { return (checkRow_ + 1) * (rowHeight_ + rowGap_) - rowGap_ + bottomMargin_; }

void AdditionsStrip::chainTabOrder() {
    // The rows in reading order: the buttons, then the check boxes row by row.
    QWidget* previous = lastOwnControl_;
    for (QWidget* w : buttons_ + checkBoxes_) {
        QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

}  // namespace vistereo
