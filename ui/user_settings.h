// What the desktop program remembers between runs, in the user's settings
// file ($XDG_CONFIG_HOME/Vistereo/vistereo.conf): the state of the controls
// that are its own additions (check boxes below the main window's controls,
// the batch window's folders and alignment), and window positions. The main
// window's own controls are not remembered: they start from their defaults.
#pragma once

#include <QSettings>

class QCheckBox;
class QDoubleSpinBox;
class QWidget;

namespace vistereo {

QSettings userSettings();

// The check box starts as it was left and is remembered whenever it changes,
// under its object name.
void rememberCheckBox(QCheckBox* box);
// The same for a spin box's value.
void rememberSpinBox(QDoubleSpinBox* box);

// The window's position and size are put back when it opens and remembered
// when it closes, under `key`. A position off every screen (a monitor gone)
// is not used.
void rememberGeometry(QWidget* window, const QString& key);

}  // namespace vistereo
