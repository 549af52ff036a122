#include "tests/ui/ui_test_support.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QFile>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>

namespace vistereo::testing {

ScratchDirectory::ScratchDirectory() : previous_(QDir::currentPath()) {
    ok_ = dir_.isValid() && QDir::setCurrent(dir_.path());
}

ScratchDirectory::~ScratchDirectory() { QDir::setCurrent(previous_); }

MessageCollector::MessageCollector() {
    previous_ = setMessageHook([this](const QString& text) { texts_.append(text); });
}

MessageCollector::~MessageCollector() { setMessageHook(std::move(previous_)); }

LensRecord lensRecord(const std::string& name, int32_t radiusMode, int32_t mappingKind, int32_t axisMode) {
    LensRecord r;
    r.name = name;
    r.radiusMode = radiusMode;
    r.mappingKind = mappingKind;
    r.axisMode = axisMode;
    return r;
}

void writeRegistry(const std::vector<LensRecord>& records) {
    LensRegistry registry;
    for (size_t i = 0; i < records.size() && i < registry.records.size(); ++i) registry.records[i] = records[i];
    registry.count = static_cast<int32_t>(records.size());
    QVERIFY(SaveLensRegistry(registry, registry.count, std::nullopt, kLensRegistryFileName));
}

LensRegistry readRegistry() {
    LensRegistry registry;
    LoadLensRegistry(registry, kLensRegistryFileName);
    return registry;
}

std::vector<std::string> registryNames() {
    const LensRegistry registry = readRegistry();
    std::vector<std::string> names;
    for (int i = 0; i < registry.count; ++i) names.push_back(registry.records[i].name);
    return names;
}

QByteArray registryBytes() {
    QFile file(QString::fromUtf8(kLensRegistryFileName));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

bool registryExists() { return QFile::exists(QString::fromUtf8(kLensRegistryFileName)); }

QStringList listNames(const QListWidget* list) {
    QStringList names;
    for (int i = 0; i < list->count(); ++i) names.append(list->item(i)->text());
    return names;
}

int selectedRow(const QListWidget* list) {
    const QList<QListWidgetItem*> selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->row(selected.first());
}

void clickButton(QAbstractButton* button) {
    QVERIFY(button);
    // Radio buttons take clicks on their indicator and text, so click near
    // the left edge; push buttons anywhere.
    const QPoint at = qobject_cast<QRadioButton*>(button) ? QPoint(6, button->height() / 2) : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, at);
}

void clickRow(QListWidget* list, int row) {
    QVERIFY(list);
    QVERIFY(row >= 0 && row < list->count());
    list->scrollToItem(list->item(row));
    const QRect rect = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
}

void replaceText(QLineEdit* box, const QString& text) {
    QVERIFY(box);
    box->setFocus();
    box->selectAll();
    if (text.isEmpty()) {
        QTest::keyClick(box, Qt::Key_Backspace);
    } else {
        typeText(box, text);
    }
}

void typeText(QWidget* widget, const QString& text) {
    bool ascii = true;
    for (const QChar c : text) ascii = ascii && c.unicode() < 0x80;
    if (ascii) {
        QTest::keyClicks(widget, text);
        return;
    }
    QInputMethodEvent commit;
    commit.setCommitString(text);
    QApplication::sendEvent(widget, &commit);
}

void whenModal(const std::function<bool(QWidget*)>& isTarget, std::function<void(QWidget*)> action,
               bool* timedOut) {
    auto* timer = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    if (timedOut) *timedOut = false;
    QObject::connect(timer, &QTimer::timeout, [timer, clock, isTarget, action, timedOut] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && isTarget(modal)) {
            timer->stop();
            timer->deleteLater();
            delete clock;
            action(modal);
            return;
        }
        if (clock->elapsed() > 10000) {
            timer->stop();
            timer->deleteLater();
            delete clock;
            if (timedOut) *timedOut = true;
            for (int k = 0; k < 5; ++k)
                if (QWidget* w = QApplication::activeModalWidget()) w->close();
        }
    });
    timer->start(10);
}

}  // namespace vistereo::testing
