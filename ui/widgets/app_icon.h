// The application icon: a stereo rig's two fisheye image circles side by
// side, the same picture the desktop shows for the program.
#pragma once

#include <QIcon>

namespace vistereo {

QIcon applicationIcon();

}  // namespace vistereo
