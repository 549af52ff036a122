#include "lens/refined_record.h"

#include <cmath>
#include <cstdio>
#include <numbers>

#include "alignment/lens_refinement.h"
#include "lens/lens_precision.h"
#include "lens/lens_selection.h"
#include "engine/lens.h"
#include "lens/lens_check.h"

namespace vistereo {
namespace {

std::string printed(const char* format, double a, double b = 0.0, double c = 0.0, double d = 0.0) {
    char text[240];
    std::snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}

// The angle off the axis at which `eye`'s law (without its scale) reaches
// `target`: the first crossing on a fine grid, then halving the step. NaN
// when the law does not reach it within 180 degrees.
double angleOfLawValue(const EyeGeometry& eye, double target) {
    constexpr int kSteps = 4096;
    const double step = std::numbers::pi / kSteps;
    for (int i = 1; i <= kSteps; ++i) {
        if (!(lawRadius(eye, i * step) >= target)) continue;
        double lo = (i - 1) * step, hi = i * step;
        for (int k = 0; k < 60; ++k) {
            const double mid = 0.5 * (lo + hi);
            (lawRadius(eye, mid) >= target ? hi : lo) = mid;
        }
        return 0.5 * (lo + hi);
    }
    return std::nan("");
}

void clearLawFields(LensRecord& r) {
    for (std::string* field : {&r.sineK, &r.theta1, &r.theta2, &r.theta3, &r.a1, &r.b1, &r.c1, &r.a2, &r.b2, &r.c2,
                               &r.a3, &r.b3, &r.c3, &r.a4, &r.b4, &r.c4})
        field->clear();
}

}  // namespace

RefinedRecord refinedLensRecord(const LensRecord& record, ImageSize image, const LensCorrection& correction,
                                std::optional<MappingKind> law, const std::string& name) {
    RefinedRecord out;
    LensRecord& r = out.record;
    r = record;
    r.name = name;
    const LensSettings lens = lensSettingsOf(record);
    const PreparedEyes prepared = prepareEyes({lens, lens}, {image, image});
    if (prepared.lensCode) {
        out.error = "the record \"" + record.name + "\" does not describe a lens (a mode code is unknown)";
        return out;
    }
    EyeGeometry eye = prepared.eye[1];
    // A calibrated lens's precision (its centre between dots, aspect and turn) stays with the refined record.
    LensPrecision precision = recordTakesPrecision(record) ? lens.precision : LensPrecision{};
    const bool precise = !(precision == LensPrecision{});
    if (law && *law != eye.mapping) {
        // The law the refinement took instead, at the record's radius for 90 degrees.
        eye = withMappingAt90Degrees(eye, *law);
        clearLawFields(r);
        r.mappingKind = static_cast<int32_t>(*law);
        r.radiusMode = static_cast<int32_t>(RadiusMode::Dots);
        r.radiusDots = eye.radius180;
        out.notes.push_back(std::string("projection: ") + alignment::mappingName(*law) + " instead of " +
                            alignment::mappingName(prepared.eye[1].mapping));
    }
    const LensCorrection& c = correction;

    // The shape term, where the law is a polynomial in theta.
    EyeGeometry folded = eye;
    folded.correction = {};
    if (c.shape != 0.0) {
        const PolynomialLaw& k = eye.polynomial;
        if (eye.mapping == MappingKind::Equidistant) {
            folded.mapping = MappingKind::Polynomial;
            folded.polynomial = {c.shape, 0.0, 0.0, 0.0};
            out.notes.push_back(printed("shape term %+.6f: the equidistant law becomes the polynomial theta %+.6f theta^3",
                                        c.shape, c.shape));
        } else if (eye.mapping == MappingKind::Polynomial) {
            folded.polynomial = {k.k1 + c.shape, k.k2 + c.shape * k.k1, k.k3 + c.shape * k.k2, k.k4 + c.shape * k.k3};
            out.notes.push_back(
                k.k4 == 0.0 ? printed("shape term %+.6f: multiplied into the polynomial's terms", c.shape)
                            : printed("shape term %+.6f: multiplied into the polynomial's terms, its theta^11 term "
                                      "(%+.3g) left out",
                                      c.shape, c.shape * k.k4));
        } else {
            out.notes.push_back(printed("shape term %+.6f not kept: the ", c.shape) +
                                alignment::mappingName(eye.mapping) + " law has none");
        }
    }

    if (!isSineOrQuadratic(eye.mapping)) {
        // r = R g(theta) / g(rim): the scale moves the rim to where the
        // (folded) law gives g(rim) / scale.
        const double target = lawRadius(eye, eye.circleTheta) / c.scale;
        const double rim = angleOfLawValue(folded, target);
        if (!std::isfinite(rim)) {
            out.error = printed("with the scale %.5f the image circle would lie past 180 degrees off the axis", c.scale);
            return out;
        }
        r.mappingKind = static_cast<int32_t>(folded.mapping);
        r.c1 = lensNumberText(2.0 * rim * 180.0 / std::numbers::pi);
        if (folded.mapping == MappingKind::Polynomial) {
            r.a1 = lensNumberText(folded.polynomial.k1), r.a2 = lensNumberText(folded.polynomial.k2);
            r.a3 = lensNumberText(folded.polynomial.k3), r.a4 = lensNumberText(folded.polynomial.k4);
        }
        out.notes.push_back(printed("scale %.5f: field of view %.4f degrees (was %.4f)", c.scale, 2.0 * rim * 180.0 / std::numbers::pi,
                                    2.0 * eye.circleTheta * 180.0 / std::numbers::pi));
    } else {
        const double radius = eye.radius180 * c.scale;
        r.radiusMode = static_cast<int32_t>(RadiusMode::Dots);
        r.radiusDots = static_cast<int32_t>(std::lround(radius));
        out.notes.push_back(printed("scale %.5f: radius for 90 degrees %.2f dots, rounded to whole dots %.0f ", c.scale,
                                    radius, double(r.radiusDots)) +
                            printed("(moved %+.2f dots, %+.3f %% of the radius)", r.radiusDots - radius,
                                    100.0 * (r.radiusDots - radius) / radius));
    }

    const double x = eye.axisX + eye.axisFractionX + c.axisDx, y = eye.axisY + eye.axisFractionY + c.axisDy;
    r.axisMode = static_cast<int32_t>(AxisMode::GivenAxis);
    r.axisX = static_cast<int32_t>(std::lround(x));
    r.axisY = static_cast<int32_t>(std::lround(y));
    if (precise && r.mappingKind != static_cast<int32_t>(MappingKind::Quadratic)) {
        precision.hasCentre = true, precision.centreX = x, precision.centreY = y;
        r.*kPrecisionField = precisionText(precision);
        out.notes.push_back(printed("axis point %.2f, %.2f, kept between dots", x, y));
    } else {
        out.notes.push_back(printed("axis point %.2f, %.2f, rounded to whole dots %.0f, ", x, y, double(r.axisX)) +
                            printed("%.0f (moved %+.2f, %+.2f dots)", double(r.axisY), r.axisX - x, r.axisY - y));
    }

    const LensSettings saved = lensSettingsOf(r);
    if (const auto problems = lensSettingsProblems(saved); !problems.empty()) {
        out.error = problems.front().field + " would be " + problems.front().value + ": " + problems.front().reason;
        return out;
    }
    const PreparedEyes check = prepareEyes({saved, saved}, {image, image});
    if (const auto problems = eyeGeometryProblems(saved, check.eye[1]); !problems.empty())
        out.error = problems.front().field + " would be " + problems.front().value + ": " + problems.front().reason;
    return out;
}

}  // namespace vistereo
