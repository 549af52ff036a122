#include "ui/widgets/user_settings.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace vistereo {
namespace {

// Saves the window's geometry when it is hidden (closed, accepted or rejected).
class GeometryKeeper : public QObject {
public:
    GeometryKeeper(QWidget* window, QString key) : QObject(window), window_(window), key_(std::move(key)) {
        window->installEventFilter(this);
        const QByteArray saved = userSettings().value(key_).toByteArray();
        if (saved.isEmpty()) return;
        const QRect before = window->geometry();
        window->restoreGeometry(saved);
        // A window restored where no screen shows it goes back to where it was placed.
        bool visible = false;
        for (const QScreen* screen : QGuiApplication::screens())
            visible = visible || screen->availableGeometry().intersects(window->geometry());
        if (!visible) window->setGeometry(before);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_ && event->type() == QEvent::Hide) userSettings().setValue(key_, window_->saveGeometry());
        return false;
    }

private:
    QWidget* window_;
    QString key_;
};

}  // namespace

QSettings userSettings() { return QSettings(QStringLiteral("vistereo"), QStringLiteral("vistereo")); }

bool moveEarlierSettings() {
    QSettings current = userSettings();
    QSettings earlier(QStringLiteral("Vistereo"), QStringLiteral("vistereo"));
    // Where the file system does not tell the two folders apart, they are one.
    const QFileInfo earlierFile(earlier.fileName());
    if (!earlierFile.exists() || earlierFile.canonicalFilePath() == QFileInfo(current.fileName()).canonicalFilePath())
        return false;
    if (!current.allKeys().isEmpty()) return false;  // already moved, or remembered anew: the earlier file is stale
    for (const QString& key : earlier.allKeys()) current.setValue(key, earlier.value(key));
    current.sync();
    if (current.status() != QSettings::NoError) return false;  // keep the earlier file until its copy is written
    QFile::remove(earlier.fileName());
    QDir().rmdir(earlierFile.absolutePath());  // only when nothing else is in it
    return true;
}

void rememberCheckBox(QCheckBox* box) {
    const QString key = QStringLiteral("additions/") + box->objectName();
    box->setChecked(userSettings().value(key, box->isChecked()).toBool());
    QObject::connect(box, &QCheckBox::toggled, box, [key](bool on) { userSettings().setValue(key, on); });
}

void rememberSpinBox(QDoubleSpinBox* box) {
    const QString key = QStringLiteral("additions/") + box->objectName();
    box->setValue(userSettings().value(key, box->value()).toDouble());
    QObject::connect(box, &QDoubleSpinBox::valueChanged, box, [key](double value) { userSettings().setValue(key, value); });
}

void rememberGeometry(QWidget* window, const QString& key) { new GeometryKeeper(window, QStringLiteral("windows/") + key); }

}  // namespace vistereo
