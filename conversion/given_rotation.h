// How far the pictures of a pair disagree with a rotation given for the rig
// (a calibration's): the angle between it and the rotation the pictures
// show, and the vertical disparity the pair's matched points would show
// with the right eye turned by it, the near points' natural parallax (along
// a +x baseline, as a viewer has the eyes) told apart.
#pragma once

#include "alignment/alignment.h"
#include "engine/rotation.h"

namespace vistereo {

struct RotationDisagreement {
    double angleDegrees = 0.0;          // between the given rotation and the pictures'
    YawPitchRoll given, found;          // the two, as yaw, pitch and roll of the right camera
    alignment::Spread vertical;         // the matched points' vertical disparity with the given rotation (arcmin)
    alignment::Spread misalignment;     // what of it no parallax explains (arcmin)
    alignment::Spread foundMisalignment;  // the same with the pictures' own rotation, for comparison
    int points = 0;                     // the alignment's inliers it is measured on
};

RotationDisagreement disagreementWith(const alignment::AlignmentResult& aligned, const RotationMatrix& given);

}  // namespace vistereo
