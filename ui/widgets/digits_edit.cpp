#include "ui/widgets/digits_edit.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>

namespace vistereo {
namespace {

// True for text that would put something other than digits into the box.
bool typesNonDigit(const QString& text) {
    for (const QChar c : text)
        if (c.isPrint() && !(c >= QLatin1Char('0') && c <= QLatin1Char('9'))) return true;
    return false;
}

}  // namespace

DigitsOnlyEdit::DigitsOnlyEdit(QWidget* parent) : QLineEdit(parent) {}

void DigitsOnlyEdit::keyPressEvent(QKeyEvent* event) {
    // Shortcuts (copy, paste, select all) and editing keys pass; a printable
    // character that is not a digit is refused with a beep.
    const bool shortcut = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (!shortcut && typesNonDigit(event->text())) {
        QApplication::beep();
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void DigitsOnlyEdit::inputMethodEvent(QInputMethodEvent* event) {
    if (typesNonDigit(event->commitString()) || typesNonDigit(event->preeditString())) {
        event->accept();
        return;
    }
    QLineEdit::inputMethodEvent(event);
}

}  // namespace vistereo
