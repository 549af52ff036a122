// Placing controls the way the dialog templates describe them: positions and
// sizes in dialog units, turned into pixels from the dialog font's metrics
// (a quarter of the average letter width across, an eighth of the line height
// down), so the picture keeps its proportions whatever font the system gives.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>

class QButtonGroup;
class QFrame;
class QLabel;
class QWidget;

namespace vistereo {

// The dialogs' font: the family the dialog asks for first, then a Japanese
// font that is present on the system, so Japanese texts always render.
QFont dialogFont(int pointSize, const QString& preferredFamily = QStringLiteral("Meiryo"));

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int x(int units) const;  // horizontal dialog units to pixels
    int y(int units) const;  // vertical dialog units to pixels
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

    // Puts `widget` at the template rectangle and names it after its control
    // id ("id1002"), the name other code looks controls up by.
    void place(QWidget* widget, int id, int x, int y, int width, int height) const;

    // A fixed text whose top left corner is at (x, y); it takes the width its
    // text needs.
    QLabel* label(QWidget* parent, const QString& text, int x, int y) const;
    // A fixed text in a fixed-width field, aligned as asked.
    QLabel* label(QWidget* parent, const QString& text, int x, int y, int width,
                  Qt::Alignment alignment) const;
    // A heading in a sunken frame.
    QLabel* heading(QWidget* parent, const QString& text, int x, int y) const;

private:
    double baseX_ = 7.0;
    double baseY_ = 16.0;
};

// Radio group data exchange: the position of the checked button (-1 when
// none is checked), and checking the button at a position (none for a
// position the group does not have).
int checkedPosition(const QButtonGroup* group);
void checkPosition(QButtonGroup* group, int position);

// The name a control is looked up by: "id" followed by its control id.
QString controlName(int id);

}  // namespace vistereo
