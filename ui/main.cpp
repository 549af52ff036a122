// vistereo: the desktop program. It takes no arguments and works in the
// current directory (input/, output/, Vistereo.ini); it runs the main dialog
// and ends when that dialog closes.
#include <QApplication>

#include "ui/app.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    vistereo::CMyVistereoApp app;
    return app.InitInstance();
}
