// An edit box that takes only the digits 0 to 9 from the keyboard. Text the
// program sets is shown as given (a registered axis of -12 shows as -12);
// only typing is filtered, so what the user types is never negative.
#pragma once

#include <QLineEdit>

namespace vistereo {

class DigitsOnlyEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit DigitsOnlyEdit(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
};

}  // namespace vistereo
