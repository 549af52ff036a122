#include "tests/ui/ui_test_support.h"

#include <algorithm>

#include <QDir>
#include <QInputMethodEvent>

namespace vistereo::testing {

void UiTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    previousDir_ = QDir::currentPath();
    QVERIFY(dir_->isValid() && QDir::setCurrent(dir_->path()));
    messages_.clear();
    previousHook_ = setMessageHook([this](const QString& text) { messages_.append(text); });
    app_ = std::make_unique<CMyVistereoApp>();
}

void UiTest::cleanup() {
    dialog_.reset();
    app_.reset();
    setMessageHook(std::move(previousHook_));
    QDir::setCurrent(previousDir_);
    dir_.reset();
}

LensRecord lensRecord(const std::string& name, int radiusMode, int mappingKind, int axisMode) {
    LensRecord r;
    r.name = name, r.radiusMode = radiusMode, r.mappingKind = mappingKind, r.axisMode = axisMode;
    return r;
}

void writeRegistry(const std::vector<LensRecord>& records) {
    LensRegistry registry;
    std::copy(records.begin(), records.end(), registry.records.begin());
    QVERIFY(SaveLensRegistry(registry, static_cast<int>(records.size()), std::nullopt, kLensRegistryFileName));
}

std::vector<LensRecord> readRegistry() {
    LensRegistry registry;
    LoadLensRegistry(registry, kLensRegistryFileName);
    return {registry.records.begin(), registry.records.begin() + registry.count};
}

QStringList registryNames() {
    QStringList names;
    for (const LensRecord& r : readRegistry()) names << QString::fromStdString(r.name);
    return names;
}

QStringList listNames(const QListWidget* list) {
    QStringList names;
    for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
    return names;
}

QStringList texts(QWidget* dialog, const QList<int>& boxes) {
    QStringList texts;
    for (int id : boxes) texts << control<QLineEdit>(dialog, id)->text();
    return texts;
}

void clickButton(QAbstractButton* button) {
    QVERIFY(button);
    // A radio button takes clicks on its indicator, near the left edge.
    const bool radio = qobject_cast<QRadioButton*>(button);
    QTest::mouseClick(button, Qt::LeftButton, {}, radio ? QPoint(6, button->height() / 2) : button->rect().center());
}

void clickRow(QListWidget* list, int row) {
    QVERIFY(list && row >= 0 && row < list->count());
    list->scrollToItem(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
}

void replaceText(QLineEdit* box, const QString& text) {
    QVERIFY(box);
    box->setFocus();
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Backspace);
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; })) {
        QTest::keyClicks(box, text);
    } else {
        QInputMethodEvent commit;
        commit.setCommitString(text);
        QApplication::sendEvent(box, &commit);
    }
}

}  // namespace vistereo::testing
