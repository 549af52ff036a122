#include "ui/app_icon.h"

#include <QPainter>
#include <QPixmap>

namespace vistereo {
namespace {

QPixmap drawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 32.0;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 60, 90));
    p.drawRoundedRect(QRectF(1 * s, 6 * s, 30 * s, 20 * s), 4 * s, 4 * s);
    for (double cx : {9.0, 23.0}) {
        QRadialGradient lens(QPointF(cx * s, 16 * s), 6.5 * s, QPointF((cx - 2) * s, 13 * s));
        lens.setColorAt(0.0, QColor(180, 220, 255));
        lens.setColorAt(0.6, QColor(60, 120, 200));
        lens.setColorAt(1.0, QColor(15, 30, 60));
        p.setBrush(lens);
        p.drawEllipse(QPointF(cx * s, 16 * s), 6.5 * s, 6.5 * s);
    }
    return pixmap;
}

}  // namespace

QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64}) icon.addPixmap(drawIcon(size));
    return icon;
}

}  // namespace vistereo
