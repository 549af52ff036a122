// Shared pieces of the dialog tests. Each test function (each data row) runs in a fresh working directory
// with message boxes collected in `messages_`.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "registry/lens_registry.h"
#include "ui/app.h"
#include "ui/message_box.h"

namespace vistereo::testing {

template <class T = QWidget>
T* control(QWidget* dialog, int id) {
    return dialog->findChild<T*>(QStringLiteral("id%1").arg(id));
}

class UiTest : public QObject {
    Q_OBJECT
protected:
    std::unique_ptr<CMyVistereoApp> app_;
    std::unique_ptr<QWidget> dialog_;  // the dialog under test, gone before app_
    QStringList messages_;

    // Makes `dialog` the dialog under test and shows it (with open() when `modal`); null when it never appears.
    template <class D>
    D* start(D* dialog, bool modal = false) {
        dialog_.reset(dialog);
        modal ? dialog->open() : dialog->show();
        return QTest::qWaitForWindowExposed(dialog) ? dialog : nullptr;
    }
    QLineEdit* box(int id) const { return control<QLineEdit>(dialog_.get(), id); }
    QPushButton* button(int id) const { return control<QPushButton>(dialog_.get(), id); }
    QListWidget* list(int id) const { return control<QListWidget>(dialog_.get(), id); }
    bool checked(int id) const { return control<QRadioButton>(dialog_.get(), id)->isChecked(); }

private slots:
    void init();
    void cleanup();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString previousDir_;
    MessageHook previousHook_;
};

LensRecord lensRecord(const std::string& name, int radiusMode = 0, int mappingKind = 1, int axisMode = 0);
void writeRegistry(const std::vector<LensRecord>& records);  // Vistereo.ini in the working directory
std::vector<LensRecord> readRegistry();
QStringList registryNames();
QStringList listNames(const QListWidget* list);
QStringList texts(QWidget* dialog, const QList<int>& boxes);
inline const QList<int> kPointBoxes = {1002, 1003, 1004, 1005, 1007, 1008, 1009, 1010};  // main dialog
inline int selectedRow(const QListWidget* list) { return list->selectionModel()->selectedRows().value(0).row(); }

void clickButton(QAbstractButton* button);
void clickRow(QListWidget* list, int row);
// Empties the box, then types: keys for ASCII, an input method commit otherwise.
void replaceText(QLineEdit* box, const QString& text);

// Calls `trigger`; while it runs, `act` gets the modal dialog of type T once it is active. A dialog still open
// after `act`, or any modal window after ten seconds, is closed. Returns whether a T appeared.
template <class T, class Trigger, class Act>
bool duringModal(Trigger trigger, Act act) {
    bool seen = false;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dlg = qobject_cast<T*>(modal); dlg && !seen) {
            seen = true;
            act(dlg);
            if (dlg->isVisible()) dlg->reject();
        } else if (modal && clock.elapsed() > 10000) {
            modal->close();
        }
    });
    poll.start(10);
    trigger();
    return seen;
}

}  // namespace vistereo::testing
