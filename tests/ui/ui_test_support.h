// Shared pieces of the dialog tests: a scratch working directory per test,
// the message boxes collected instead of shown, lens records and registry
// files, and a way to act on a dialog once it runs modally.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QPoint>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "registry/lens_registry.h"
#include "ui/message_box.h"

class QAbstractButton;
class QLineEdit;
class QListWidget;
class QWidget;

namespace vistereo::testing {

// Makes a fresh temporary directory the working directory; the previous one
// comes back when this object goes.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    bool ok() const { return ok_; }
    QString path() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
    QString previous_;
    bool ok_ = false;
};

// Collects the texts of every message box for as long as it lives.
class MessageCollector {
public:
    MessageCollector();
    ~MessageCollector();
    const QStringList& texts() const { return texts_; }
    void clear() { texts_.clear(); }

private:
    QStringList texts_;
    MessageHook previous_;
};

LensRecord lensRecord(const std::string& name, int32_t radiusMode = 0, int32_t mappingKind = 1,
                      int32_t axisMode = 0);

// Writes Vistereo.ini in the working directory with these records.
void writeRegistry(const std::vector<LensRecord>& records);
// Reads Vistereo.ini from the working directory.
LensRegistry readRegistry();
std::vector<std::string> registryNames();
QByteArray registryBytes();  // empty when there is no file
bool registryExists();

// The names shown in a list box, and the row it shows selected (-1: none).
QStringList listNames(const QListWidget* list);
int selectedRow(const QListWidget* list);

// User actions.
void clickButton(QAbstractButton* button);
void clickRow(QListWidget* list, int row);
void replaceText(QLineEdit* box, const QString& text);  // select all, then type
// Types `text`: plain keys for ASCII, the input method's commit for the rest
// (as a Japanese input method hands over its text).
void typeText(QWidget* widget, const QString& text);

// Runs `action` on the dialog of type T as soon as it is the active modal
// window. If none appears within a few seconds, every modal window is closed
// so the test cannot hang, and `*timedOut` is set.
void whenModal(const std::function<bool(QWidget*)>& isTarget, std::function<void(QWidget*)> action,
               bool* timedOut);

template <class T>
void whenModal(std::function<void(T*)> action, bool* timedOut) {
    whenModal([](QWidget* w) { return qobject_cast<T*>(w) != nullptr; },
              [action](QWidget* w) { action(qobject_cast<T*>(w)); }, timedOut);
}

// Looks a control up by its control id.
template <class T>
T* control(QWidget* dialog, int id) {
    return dialog->findChild<T*>(QStringLiteral("id%1").arg(id));
}

}  // namespace vistereo::testing
