#include "ui/widgets/message_box.h"

#include <QMessageBox>

#include "ui/widgets/dialog_layout.h"

namespace vistereo {
namespace {

MessageHook& hookSlot() {
    static MessageHook hook;
    return hook;
}

}  // namespace

void ShowMessage(QWidget* parent, const QString& text) {
    if (const MessageHook& hook = hookSlot()) {
        hook(text);
        return;
    }
    makeMessageBox(parent, text)->exec();
}

std::unique_ptr<QMessageBox> makeMessageBox(QWidget* parent, const QString& text) {
    // The title is the program's name and there is no icon, as for any plain
    // message of the program.
    auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, QStringLiteral("Vistereo"), text, QMessageBox::Ok, parent);
    box->setFont(dialogFont(10));
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

MessageHook setMessageHook(MessageHook hook) {
    MessageHook previous = std::move(hookSlot());
    hookSlot() = std::move(hook);
    return previous;
}

}  // namespace vistereo
