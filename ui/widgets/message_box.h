// The program's message boxes: modal, one OK button, a fixed text.
//
// Every message of the desktop program goes through ShowMessage, so a single
// hook can take the boxes over (the dialog tests collect the texts instead of
// showing boxes that would wait for a click).
#pragma once

#include <functional>
#include <memory>

#include <QString>

class QMessageBox;
class QWidget;

namespace vistereo {

using MessageHook = std::function<void(const QString& text)>;

// Shows `text` in a modal box with an OK button over `parent` and returns when
// the user has closed it; with a hook installed, hands the text to the hook.
void ShowMessage(QWidget* parent, const QString& text);

// The box ShowMessage shows, made but not shown (for a look at one).
std::unique_ptr<QMessageBox> makeMessageBox(QWidget* parent, const QString& text);

// Replaces the message hook (an empty function restores the real boxes) and
// returns the previous one.
MessageHook setMessageHook(MessageHook hook);

}  // namespace vistereo
