// Placing controls the way the dialog templates describe them: positions and
// sizes in dialog units, turned into pixels from the dialog font's metrics
// (a quarter of the average letter width across, an eighth of the line height
// down), so the picture keeps its proportions whatever font the system gives.
#pragma once

#include <initializer_list>
#include <utility>

#include <QFont>
#include <QRect>
#include <QString>

class QButtonGroup;
class QFrame;
class QHBoxLayout;
class QLabel;
class QPlainTextEdit;
class QPushButton;
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

// The windows that run work in the background (batch, video) share these.
// Names each part, the name the tests and other code look it up by.
void nameParts(std::initializer_list<std::pair<QWidget*, const char*>> parts);
// A text that changes as the work goes on: wrapped, from the top left,
// selectable with the mouse.
void makeStatusText(QLabel* text);
// The box of what a run reported: read-only but selectable and copyable,
// wrapped at the window's width, with `placeholder` while it is empty.
void makeReportBox(QPlainTextEdit* box, const QString& placeholder);
// Start and Cancel at the left, Close at the right, all three of one fixed
// width that holds "Stopping…", so none moves when Cancel says it.
QHBoxLayout* runButtonRow(QPushButton* start, QPushButton* cancel, QPushButton* close);

}  // namespace vistereo
