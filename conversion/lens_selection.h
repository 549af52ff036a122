// Choosing a lens for an eye: the registry record is copied into the eye's
// parameters, its number texts read with the rules of parseLeadingDouble.
#pragma once

#include "engine/params.h"
#include "registry/lens_registry.h"

namespace vistereo {

// Copies `record` into `eye`: name, magnification, sineK, theta1..3, a1..c4
// (text to double), radiusMode, radiusDots (into radius180), mappingKind,
// axisX, axisY, axisMode. Other fields of the eye are left alone.
void copyLensRecordToEye(const LensRecord& record, EyeParams& eye);

// The list-box pick: copies slot `recordIndex` of `registry` into
// params.eye[eyeIndex]. Does nothing for an index outside 0 .. count-1
// (no selection) and returns false then.
bool SelectLensForEye(ConversionParams& params, const LensRegistry& registry, int eyeIndex,
                      int recordIndex);

}  // namespace vistereo
