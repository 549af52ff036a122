// The application icon: two fisheye image circles side by side.
#pragma once

#include <QIcon>

namespace vistereo {

QIcon applicationIcon();

}  // namespace vistereo
