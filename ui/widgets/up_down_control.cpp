#include "ui/widgets/up_down_control.h"

#include <QKeyEvent>
#include <QToolButton>

namespace vistereo {

UpDownControl::UpDownControl(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::TabFocus);
    up_ = new QToolButton(this);
    up_->setObjectName(QStringLiteral("up"));
    up_->setArrowType(Qt::UpArrow);
    down_ = new QToolButton(this);
    down_->setObjectName(QStringLiteral("down"));
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up_, down_}) {
        b->setFocusPolicy(Qt::NoFocus);
        b->setAutoRepeat(true);  // holding an arrow keeps stepping
        b->setAutoRepeatDelay(400);
        b->setAutoRepeatInterval(80);
    }
    connect(up_, &QToolButton::clicked, this, [this] { emit deltaPos(-1); });
    connect(down_, &QToolButton::clicked, this, [this] { emit deltaPos(+1); });
}

void UpDownControl::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Up) {
        emit deltaPos(-1);
    } else if (event->key() == Qt::Key_Down) {
        emit deltaPos(+1);
    } else {
        QWidget::keyPressEvent(event);
    }
}

void UpDownControl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int half = height() / 2;
    up_->setGeometry(0, 0, width(), half);
    down_->setGeometry(0, half, width(), height() - half);
}

}  // namespace vistereo
