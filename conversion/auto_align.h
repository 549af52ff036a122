// Automatic alignment of the pair a conversion request names: both images
// read as the run reads them, each eye prepared from its lens, the rotation
// estimated from the pictures themselves.
#pragma once

#include <string>

#include "alignment/alignment.h"
#include "conversion/run.h"

namespace vistereo {

struct PairAlignment {
    // Empty when the pair could be aligned; otherwise why not, in the run's
    // own words for a lens or image problem, or the alignment's reason.
    std::string error;
    alignment::AlignmentResult result;
    double seconds = 0.0;  // reading, preparing and aligning
    bool ok() const { return error.empty(); }
};

// Aligns the images `request` names with its lenses (points, zenith and
// output are not used).
PairAlignment alignRequestPair(const ConversionRequest& request, int threads = 0);

// The estimated rotation in the form the right eye's renderer takes.
RotationMatrix rotationOf(const alignment::AlignmentResult& result);

}  // namespace vistereo
