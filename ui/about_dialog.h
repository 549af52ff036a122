// The About box: the program's name and version, and OK.
#pragma once

#include <QDialog>

namespace vistereo {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace vistereo
