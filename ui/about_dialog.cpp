#include "ui/about_dialog.h"

#include "base/version.h"

#include <QLabel>
#include <QPushButton>

#include "ui/widgets/app_icon.h"
#include "ui/widgets/dialog_layout.h"

namespace vistereo {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Vistereo"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFont(dialogFont(9, QStringLiteral("MS UI Gothic")));
    const DialogUnits du(font());
    setFixedSize(du.size(170, 62));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    du.place(ok, 1, 113, 41, 50, 14);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* icon = new QLabel(this);
    icon->setPixmap(applicationIcon().pixmap(32, 32));
    icon->setGeometry(du.x(14), du.y(14), 32, 32);

    QLabel* version = du.label(this, QStringLiteral("Vistereo、Version %1").arg(QString::fromUtf8(kVersion)), 42, 16);
    version->setObjectName(QStringLiteral("versionText"));
}

}  // namespace vistereo
