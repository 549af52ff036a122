// The choices a run applies beyond lenses, points and zenith, told the same
// way in every window's "converted with" summary: the eyes' colour match and
// the stereo window (convergence), which the main window remembers between
// runs and the batch and video windows apply unseen otherwise.
#pragma once

#include <QString>

#include "conversion/request.h"

namespace vistereo {

// "Colour: right eye matched to the left (gain and offset per channel)" or
// "Colour: as photographed (Match colour is off)".
QString describeColourChoice(ColourMatching matching);

// "Stereo window: right eye turned 1.20° (Convergence)" or "Stereo window: as
// the alignment leaves it (Convergence 0)".
QString describeConvergenceChoice(double degrees);

}  // namespace vistereo
