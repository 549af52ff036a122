#include "ui/app.h"

#include <QApplication>

#include "ui/widgets/app_icon.h"
#include "ui/main_dialog.h"
#include "ui/widgets/user_settings.h"

namespace vistereo {
namespace {
CMyVistereoApp* theApp = nullptr;
}

CMyVistereoApp::CMyVistereoApp() { theApp = this; }

CMyVistereoApp::~CMyVistereoApp() {
    if (theApp == this) theApp = nullptr;
}

CMyVistereoApp* CMyVistereoApp::instance() { return theApp; }

int CMyVistereoApp::InitInstance() {
    // The main dialog's modal run is the whole life of the program: whichever
    // way it closes ("Finish", Escape, the close box), the program ends.
    QApplication::setApplicationName(QStringLiteral("Vistereo"));
    QApplication::setWindowIcon(applicationIcon());
    moveEarlierSettings();
    CMyVistereoDlg dlg(*this);
    dlg.exec();
    return 0;
}

}  // namespace vistereo
