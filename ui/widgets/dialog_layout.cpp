#include "ui/widgets/dialog_layout.h"

#include <algorithm>
#include <cmath>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

namespace vistereo {

QFont dialogFont(int pointSize, const QString& preferredFamily) {
    QFont font;
    font.setFamilies({preferredFamily, QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Noto Sans JP"),
                      QStringLiteral("IPAGothic"), QStringLiteral("VL Gothic"), QStringLiteral("Sans Serif")});
    font.setPointSize(pointSize);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = std::max(4.0, metrics.horizontalAdvance(letters) / letters.size());
    baseY_ = std::max(8.0, metrics.height());
}

int DialogUnits::x(int units) const { return static_cast<int>(std::lround(units * baseX_ / 4.0)); }
int DialogUnits::y(int units) const { return static_cast<int>(std::lround(units * baseY_ / 8.0)); }

QRect DialogUnits::rect(int left, int top, int width, int height) const {
    const int l = x(left), t = y(top);
    return QRect(l, t, x(left + width) - l, y(top + height) - t);
}

QSize DialogUnits::size(int width, int height) const { return QSize(x(width), y(height)); }

void DialogUnits::place(QWidget* widget, int id, int left, int top, int width, int height) const {
    if (id != 0) widget->setObjectName(controlName(id));
    widget->setGeometry(rect(left, top, width, height));
}

QLabel* DialogUnits::label(QWidget* parent, const QString& text, int left, int top) const {
    auto* l = new QLabel(text, parent);
    l->adjustSize();
    l->move(x(left), y(top));
    return l;
}

QLabel* DialogUnits::label(QWidget* parent, const QString& text, int left, int top, int width,
                           Qt::Alignment alignment) const {
    auto* l = new QLabel(text, parent);
    l->setAlignment(alignment | Qt::AlignVCenter);
    l->adjustSize();
    l->setGeometry(x(left), y(top), std::max(x(width), l->width()), l->height());
    return l;
}

QLabel* DialogUnits::heading(QWidget* parent, const QString& text, int left, int top) const {
    auto* l = new QLabel(text, parent);
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    l->setMargin(1);
    l->adjustSize();
    l->move(x(left), y(top));
    return l;
}

int checkedPosition(const QButtonGroup* group) { return group->checkedId(); }

void checkPosition(QButtonGroup* group, int position) {
    if (QAbstractButton* button = group->button(position)) {
        button->setChecked(true);
        return;
    }
    group->setExclusive(false);
    for (QAbstractButton* b : group->buttons()) b->setChecked(false);
    group->setExclusive(true);
}

QString controlName(int id) { return QStringLiteral("id%1").arg(id); }

void nameParts(std::initializer_list<std::pair<QWidget*, const char*>> parts) {
    for (const auto& [widget, name] : parts) widget->setObjectName(QString::fromLatin1(name));
}

void makeStatusText(QLabel* text) {
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
}

void makeReportBox(QPlainTextEdit* box, const QString& placeholder) {
    box->setReadOnly(true);
    box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    box->setPlaceholderText(placeholder);
}

QHBoxLayout* runButtonRow(QPushButton* start, QPushButton* cancel, QPushButton* close) {
    const int width = std::max({start->sizeHint().width(), close->sizeHint().width(),
                                cancel->fontMetrics().horizontalAdvance(QStringLiteral("Stopping…")) + 24});
    auto* row = new QHBoxLayout;
    for (QPushButton* b : {start, cancel, close}) {
        b->setFixedWidth(width);
        if (b == close) row->addStretch();
        row->addWidget(b);
    }
    return row;
}

}  // namespace vistereo
