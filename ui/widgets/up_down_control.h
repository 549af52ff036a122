// An up-down control: a pair of small arrow buttons, stacked, that propose a
// step and hold no value of their own. Like the system's up-down control in
// its default range (100 down to 0), the upper arrow proposes a change of -1
// and the lower arrow +1; the owner decides what a step means. With the focus
// on the control, the Up and Down keys act as the arrows.
#pragma once

#include <QWidget>

class QToolButton;

namespace vistereo {

class UpDownControl : public QWidget {
    Q_OBJECT
public:
    explicit UpDownControl(QWidget* parent = nullptr);

    QToolButton* upArrow() const { return up_; }
    QToolButton* downArrow() const { return down_; }

signals:
    // The change of position the control proposes with one step.
    void deltaPos(int proposedDelta);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* up_;
    QToolButton* down_;
};

}  // namespace vistereo
