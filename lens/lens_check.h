// Lens values that cannot describe a lens.
//
// A record's numbers are typed by hand: a radius of 0 or 2147483647, a
// magnification that is not a number, a k of 5 or a quadratic that falls
// back towards the axis render black, upside-down or folded pictures without
// complaint. These checks name such a value before anything is rendered: the
// field of the record, its value and why no lens has it. They check only the
// fields the record's modes use, and judge the derived radius and axis point
// against the image they are for.
#pragma once

#include <string>
#include <vector>

#include "engine/params.h"

namespace vistereo {

// No sensor has an image circle this large; far beyond it lies a value typed
// wrongly (2147483647, a magnification of 1e308).
inline constexpr double kMaxLensRadiusDots = 1000000.0;
inline constexpr double kMaxLensMagnification = 100.0;

// A list of findings, not a result that fails: a record may have several
// bad values, each named by its field so that the registry's check and the
// refusals can word them (describeLensProblem) in their own fixed forms.
struct LensValueProblem {
    std::string field;   // as the record names it: "radiusDots", "sineK", "theta2", "c1", "axisX, axisY", ...
    std::string value;   // the value the field holds (or the derived value)
    std::string reason;  // what a lens needs instead
};

// A problem found in the lens of eye 0 (left) or 1 (right).
struct LensValueFinding {
    int eye = 0;
    LensValueProblem problem;
};

// The record's own values, whatever the image: the mode codes, the radius of
// the radius mode, the law of the mapping kind.
std::vector<LensValueProblem> lensSettingsProblems(const LensSettings& lens);

// The record's values and those derived for one image: the radius in dots
// and the axis point, which must not lie farther outside the image than the
// radius (the circle would miss the picture).
std::vector<LensValueProblem> eyeGeometryProblems(const LensSettings& lens, const EyeGeometry& eye);

// "the left lens "Name": radiusDots is 0: ..." for eye 0 or 1.
std::string describeLensProblem(int eye, const LensSettings& lens, const LensValueProblem& problem);

// A number as the checks show it: up to 10 significant digits, "nan", "inf".
std::string lensNumberText(double value);

}  // namespace vistereo
