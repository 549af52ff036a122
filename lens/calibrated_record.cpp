#include "lens/calibrated_record.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/lens.h"
#include "lens/lens_check.h"
#include "engine/prepare.h"
#include "lens/lens_precision.h"
#include "lens/lens_selection.h"

namespace vistereo {
namespace {

// The record's law with r = g(theta) in dots (radius 1, no scale), for
// asking the law's own values and angles.
EyeGeometry unitLaw(const LensRecord& record) {
    LensSettings lens = lensSettingsOf(record);
    lens.radiusMode = static_cast<int32_t>(RadiusMode::Dots), lens.radiusDots = 1;
    lens.quadratic.c1 = 0.0;
    lens.precision = {};
    EyeGeometry eye = prepareEyes({lens, lens}, {ImageSize{1, 1}, ImageSize{1, 1}}).eye[0];
    eye.mappingScale = 1.0;
    return eye;
}

std::string named(const char* name, double value) { return std::string(name) + " " + lensNumberText(value); }

}  // namespace

std::string fieldOfViewForFocalLength(const LensRecord& record, int32_t radiusDots, double focal) {
    const EyeGeometry law = unitLaw(record);
    const double rim = angleOffAxis(law, radiusDots / focal);
    if (!(rim > 0.0 && rim <= law.reachTheta)) return {};
    return exactNumberText(2.0 * rim * 180.0 / std::numbers::pi);
}

LensRecordBuild buildCalibratedRecord(const std::string& name, const CalibratedLens& c) {
    LensRecordBuild out;
    LensRecord& r = out.record;
    r.name = name;
    auto refuse = [&](const std::string& what, const std::string& why) {
        out.error = what + ": " + why;
        return out;
    };
    if (!(c.width > 0 && c.height > 0 && c.width <= kMaxLensRadiusDots && c.height <= kMaxLensRadiusDots))
        return refuse("image size " + std::to_string(c.width) + " x " + std::to_string(c.height),
                      "a calibration is for pictures of some size");
    for (const auto& [label, f] : {std::pair{"fx", c.fx}, std::pair{"fy", c.fy}})
        if (!(f > 0.0 && f <= kMaxLensRadiusDots)) return refuse(named(label, f), "a focal length is a positive number of dots");
    if (!(c.fx / c.fy >= 0.5 && c.fx / c.fy <= 2.0))
        return refuse("fx / fy " + lensNumberText(c.fx / c.fy), "a lens's dots are near square (fx / fy between 0.5 and 2)");
    if (!(c.cx >= -0.5 && c.cx <= c.width - 0.5) || !(c.cy >= -0.5 && c.cy <= c.height - 0.5))
        return refuse("centre (" + lensNumberText(c.cx) + ", " + lensNumberText(c.cy) + ")",
                      "lies outside the " + std::to_string(c.width) + " x " + std::to_string(c.height) + " picture");
    if (!isQuarterTurn(c.turnDegrees))
        return refuse("turn " + std::to_string(c.turnDegrees), "a picture stands upright after 0, 90, 180 or 270 degrees");

    // The record holds numbers as text, which has no NaN: a coefficient that is not a number is refused here.
    const bool polynomial = c.kind == MappingKind::Polynomial;
    const std::pair<const char*, double> coefficients[4] = {
        {polynomial ? "k1" : c.kind == MappingKind::DoubleSphere ? "xi" : "alpha", polynomial ? c.polynomial.k1 : c.sphere.first},
        {polynomial ? "k2" : c.kind == MappingKind::DoubleSphere ? "alpha" : "beta", polynomial ? c.polynomial.k2 : c.sphere.second},
        {"k3", polynomial ? c.polynomial.k3 : 0.0},
        {"k4", polynomial ? c.polynomial.k4 : 0.0}};
    for (const auto& [label, value] : coefficients)
        if (!std::isfinite(value)) return refuse(named(label, value), "a law's coefficient is a number");

    r.mappingKind = static_cast<int32_t>(c.kind);
    r.radiusMode = static_cast<int32_t>(RadiusMode::Dots);
    r.axisMode = static_cast<int32_t>(AxisMode::GivenAxis);
    r.axisX = static_cast<int32_t>(std::lround(c.cx));
    r.axisY = static_cast<int32_t>(std::lround(c.cy));
    if (c.kind == MappingKind::Polynomial) {
        r.a1 = exactNumberText(c.polynomial.k1), r.a2 = exactNumberText(c.polynomial.k2);
        r.a3 = exactNumberText(c.polynomial.k3), r.a4 = exactNumberText(c.polynomial.k4);
    } else {
        r.a1 = exactNumberText(c.sphere.first), r.a2 = exactNumberText(c.sphere.second);
    }
    // The law's own numbers first: a law that cannot describe a lens has no circle to find.
    LensRecord lawOnly = r;
    lawOnly.radiusDots = 1;
    if (const auto problems = lensSettingsProblems(lensSettingsOf(lawOnly)); !problems.empty())
        return refuse(problems.front().field + " " + problems.front().value, problems.front().reason);

    // The circle: the largest around the centre that the picture holds whole (in dots across), or the one at
    // the law's reach.
    const EyeGeometry law = unitLaw(r);
    const double aspect = c.fx / c.fy;
    const double nearest = std::min({c.cx + 0.5, c.width - 0.5 - c.cx, (c.cy + 0.5) * aspect, (c.height - 0.5 - c.cy) * aspect});
    double circle = angleOffAxis(law, std::max(nearest, 1.0) / c.fx);
    if (!(circle <= law.reachTheta)) circle = law.reachTheta;
    r.radiusDots = static_cast<int32_t>(std::floor(c.fx * lawRadius(law, circle)));
    if (!(r.radiusDots >= 1)) return refuse(named("fx", c.fx), "the lens's circle would be less than a dot across");
    r.c1 = fieldOfViewForFocalLength(r, r.radiusDots, c.fx);
    if (r.c1.empty()) return refuse(named("fx", c.fx), "the law does not reach the circle's rim");

    LensPrecision precision;
    precision.hasCentre = true, precision.centreX = c.cx, precision.centreY = c.cy;
    precision.aspect = aspect;
    precision.turnDegrees = c.turnDegrees;
    r.*kPrecisionField = precisionText(precision);

    // The record read back has the calibration's focal length.
    const LensSettings saved = lensSettingsOf(r);
    if (const auto problems = lensSettingsProblems(saved); !problems.empty())
        return refuse(problems.front().field + " " + problems.front().value, problems.front().reason);
    const EyeGeometry eye = prepareEyes({saved, saved}, {ImageSize{c.width, c.height}, {c.width, c.height}}).eye[0];
    const double focal = eye.radius180 * eye.mappingScale;
    if (!(std::abs(focal - c.fx) <= 1e-9 * c.fx))
        return refuse(named("fx", c.fx), "the record would hold a focal length of " + lensNumberText(focal));
    return out;
}

}  // namespace vistereo
