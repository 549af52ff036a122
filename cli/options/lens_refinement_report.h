// What --refine-lenses found, for the user: the corrections of each lens with
// their standard deviations, what stayed at the records' values, and the
// residual before and after, as JSON members and as lines of text.
#pragma once

#include <string>

#include "alignment/lens_refinement.h"

namespace vistereo::cli {

// ", \"lens_refinement\": {...}" (per eye axis_dx, axis_dy, scale and shape,
// each {"value", "sigma"}; residual_before_px, residual_after_px, held,
// projection, law_advice, applied, not_applied).
std::string lensRefinementJson(const alignment::LensRefinement& refinement);

// Lines of text, each ending in a newline.
std::string lensRefinementText(const alignment::LensRefinement& refinement);

}  // namespace vistereo::cli
