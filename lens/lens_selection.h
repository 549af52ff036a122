// Choosing a lens for an eye: the registry record is copied into the eye's
// lens settings, its number texts read with the rules of parseLeadingDouble.
#pragma once

#include <array>

#include "engine/params.h"
#include "registry/lens_registry.h"

namespace vistereo {

// The record as lens settings, field by field in record order, with a
// calibrated lens's precision read from its text (lens/lens_precision.h).
LensSettings lensSettingsOf(const LensRecord& record);

// The list-box pick: the settings of slot `recordIndex` of `registry` into
// lenses[eyeIndex]. Does nothing for an index outside 0 .. count-1 (no
// selection) and returns false then.
bool SelectLensForEye(std::array<LensSettings, 2>& lenses, const LensRegistry& registry, int eyeIndex,
                      int recordIndex);

}  // namespace vistereo
