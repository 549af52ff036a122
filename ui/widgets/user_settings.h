// What the desktop program remembers between runs, in the user's settings
// file ($XDG_CONFIG_HOME/vistereo/vistereo.conf, beside the user's lens file): the state of the controls
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

// Earlier versions kept the settings in $XDG_CONFIG_HOME/Vistereo/, a folder
// that differs from the lens file's only by case: when the settings file has
// nothing yet, what the earlier one remembered is copied over and the earlier
// file removed (its folder too, when empty). True when something was moved.
bool moveEarlierSettings();

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
