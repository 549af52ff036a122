#include "lens/lens_description.h"

#include <cmath>
#include <cstdio>
#include <numbers>

#include "base/text_numbers.h"
#include "lens/calibrated_record.h"
#include "lens/lens_precision.h"
#include "lens/lens_selection.h"
#include "engine/lens.h"
#include "lens/lens_check.h"
#include "engine/prepare.h"

namespace vistereo {
namespace {

// A number typed on the command line: the whole text must be a finite number.
std::optional<double> strictNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::vector<std::string> splitAtCommas(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        pieces.push_back(text.substr(start, comma - start));
    pieces.push_back(text.substr(start));
    return pieces;
}

const char* projectionWords(int32_t kind) {
    switch (kind) {
        case 0: return "orthographic, r = R sin(theta)";
        case 1: return "equisolid angle, r = R 1.41421 sin(theta/2)";
        case 2: return "sine law, r = R m sin(k theta)";
        case 3: return "four-segment quadratic, r = R (a theta^2 + b theta + c)";
        case 4: return "equidistant, r proportional to theta";
        case 5: return "stereographic, r proportional to tan(theta/2)";
        case 6: return "polynomial, r proportional to theta + k1 theta^3 + k2 theta^5 + k3 theta^7 + k4 theta^9";
        case 7: return "double sphere, r proportional to sin(theta) / (alpha d2 + (1 - alpha)(xi + cos(theta)))";
        case 8: return "extended unified, r proportional to sin(theta) / (alpha sqrt(beta sin^2 + cos^2) + (1 - alpha) cos)";
        default: return nullptr;
    }
}

std::string radiusWords(const LensRecord& r) {
    switch (r.radiusMode) {
        case 0: return "half the image height (radius code 0: circular fisheye)";
        case 1: return "half the image diagonal (radius code 1: diagonal fisheye)";
        case 2: return r.magnification + " times half the image height (radius code 2: magnification)";
        case 3: return std::to_string(r.radiusDots) + " dots (radius code 3: given in dots)";
        default: return "unknown radius code " + std::to_string(r.radiusMode);
    }
}

}  // namespace

ProjectionRead parseProjection(const std::string& text) {
    ProjectionRead read;
    ProjectionChoice& p = read.choice;
    // A refusal chooses nothing: its choice stays the default one.
    const auto refuse = [](std::string why) {
        ProjectionRead refused;
        refused.error = std::move(why);
        return refused;
    };
    const std::string head = text.substr(0, text.find(':'));
    const std::string tail = text.find(':') == std::string::npos ? "" : text.substr(text.find(':') + 1);
    if (text == "equidistant") return read;
    if (text == "stereographic") return p.kind = MappingKind::Stereographic, read;
    if (text == "equisolid") return p.kind = MappingKind::Equisolid, p.sineK = 0.5, read;
    if (text == "orthographic") return p.kind = MappingKind::Orthographic, p.sineK = 1.0, read;
    if (head == "sine") {
        const auto k = strictNumber(tail);
        if (!k || !(*k > 0.0 && *k <= 1.0))
            return refuse("sine:K takes a k above 0 and at most 1 (sin(k theta) must still rise at 90 degrees), not '" +
                          tail + "'");
        p.kind = MappingKind::SineK, p.sineK = *k, p.sineKText = tail;
        return read;
    }
    if (head == "poly") {
        const std::vector<std::string> pieces = splitAtCommas(tail);
        double k[4] = {};
        for (size_t i = 0; i < pieces.size() && i < 4; ++i) {
            const auto v = strictNumber(pieces[i]);
            if (!v) break;
            k[i] = *v, p.polynomialText[i] = pieces[i];
        }
        if (pieces.size() != 4 || p.polynomialText[3].empty())
            return refuse("poly:K1,K2,K3,K4 takes four numbers, not '" + tail + "'");
        p.kind = MappingKind::Polynomial, p.polynomial = {k[0], k[1], k[2], k[3]};
        return read;
    }
    if (head == "ds" || head == "eucm") {
        const std::vector<std::string> pieces = splitAtCommas(tail);
        const auto first = pieces.size() == 2 ? strictNumber(pieces[0]) : std::nullopt;
        const auto second = pieces.size() == 2 ? strictNumber(pieces[1]) : std::nullopt;
        if (!first || !second)
            return refuse(head == "ds" ? "ds:XI,ALPHA takes two numbers, not '" + tail + "'"
                                       : "eucm:ALPHA,BETA takes two numbers, not '" + tail + "'");
        p.kind = head == "ds" ? MappingKind::DoubleSphere : MappingKind::ExtendedUnified;
        p.sphere = {*first, *second};
        p.polynomialText[0] = pieces[0], p.polynomialText[1] = pieces[1];
        return read;
    }
    return refuse("unknown projection '" + text +
                  "' (equidistant, equisolid, stereographic, orthographic, sine:K, poly:K1,K2,K3,K4, ds:XI,ALPHA or "
                  "eucm:ALPHA,BETA)");
}

LensRecordBuild buildLensRecord(const std::string& name, const ProjectionChoice& projection, double fovDegrees,
                                const CircleOnSensor& circle, int32_t turnDegrees) {
    LensRecordBuild out;
    LensRecord& r = out.record;
    r.name = name;
    if (!(fovDegrees >= 1.0 && fovDegrees <= 360.0)) {
        out.error = "the field of view must lie between 1 and 360 degrees, not " + lensNumberText(fovDegrees);
        return out;
    }
    // Each number judged on its own, so that the reason names the one that is wrong.
    const auto within = [](double v, double low, double high) { return v >= low && v <= high; };
    const std::string most = lensNumberText(kMaxLensRadiusDots);
    const std::string wrong =
        !within(circle.centreX, -kMaxLensRadiusDots, kMaxLensRadiusDots)
            ? "the centre's x must be a number of dots between -" + most + " and " + most
        : !within(circle.centreY, -kMaxLensRadiusDots, kMaxLensRadiusDots)
            ? "the centre's y must be a number of dots between -" + most + " and " + most
        : !within(circle.radius, 1.0, kMaxLensRadiusDots) ? "the radius must be at least 1 and at most " + most + " dots"
                                                          : std::string();
    if (!wrong.empty()) {
        out.error = "the circle (" + lensNumberText(circle.centreX) + ", " + lensNumberText(circle.centreY) +
                    ") with radius " + lensNumberText(circle.radius) + " cannot be a lens's image circle: " + wrong;
        return out;
    }
    r.mappingKind = static_cast<int32_t>(projection.kind);
    r.radiusMode = static_cast<int32_t>(RadiusMode::Dots);
    r.axisMode = static_cast<int32_t>(AxisMode::GivenAxis);
    r.axisX = static_cast<int32_t>(std::lround(circle.centreX));
    r.axisY = static_cast<int32_t>(std::lround(circle.centreY));
    if (!isQuarterTurn(turnDegrees)) {
        out.error = "the turn must be 0, 90, 180 or 270 degrees, not " + std::to_string(turnDegrees);
        return out;
    }
    r.c1 = lensNumberText(fovDegrees);
    if (projection.kind == MappingKind::Polynomial)
        r.a1 = projection.polynomialText[0], r.a2 = projection.polynomialText[1], r.a3 = projection.polynomialText[2],
        r.a4 = projection.polynomialText[3];
    if (projection.kind == MappingKind::DoubleSphere || projection.kind == MappingKind::ExtendedUnified)
        r.a1 = projection.polynomialText[0], r.a2 = projection.polynomialText[1];
    // The centre to its fraction of a dot, and the turn, beside the whole dots.
    LensPrecision precision;
    precision.hasCentre = circle.centreX != r.axisX || circle.centreY != r.axisY;
    precision.centreX = circle.centreX, precision.centreY = circle.centreY;
    precision.turnDegrees = turnDegrees;
    r.*kPrecisionField = precisionText(precision);
    if (isSineOrQuadratic(projection.kind)) {
        // The record holds the radius at 90 degrees off the axis: the circle's
        // radius divided by what the law gives at the circle's rim.
        r.sineK = projection.kind == MappingKind::SineK ? projection.sineKText : "";
        LensSettings lens = lensSettingsOf(r);
        lens.radiusDots = 1;
        const EyeGeometry eye = prepareEyes({lens, lens}, {ImageSize{1, 1}, ImageSize{1, 1}}).eye[0];
        const double rim = fovDegrees * std::numbers::pi / 360.0;
        if (rim > eye.reachTheta) {
            out.error = std::string("a lens of this projection sees at most ") +
                        lensNumberText(2.0 * eye.reachTheta * 180.0 / std::numbers::pi) + " degrees, not " +
                        lensNumberText(fovDegrees) + ": its image radius stops growing there";
            return out;
        }
        r.radiusDots = static_cast<int32_t>(std::lround(circle.radius / radialDistance(eye, rim)));
    } else {
        // The whole-dot radius with the field of view that keeps the scale of the fractional one.
        r.radiusDots = static_cast<int32_t>(std::lround(circle.radius));
        LensRecord stated = r;
        stated.radiusDots = 1;
        if (lensSettingsProblems(lensSettingsOf(stated)).empty()) {
            LensSettings lens = lensSettingsOf(stated);
            const EyeGeometry eye = prepareEyes({lens, lens}, {ImageSize{1, 1}, ImageSize{1, 1}}).eye[0];
            const double focal = circle.radius * eye.mappingScale;  // circle radius over the law at its rim
            if (r.radiusDots != circle.radius) {
                const std::string fov = fieldOfViewForFocalLength(r, r.radiusDots, focal);
                if (!fov.empty()) {
                    r.c1 = fov;
                    out.notes.push_back("field of view " + lensNumberText(parseLeadingDouble(fov)) +
                                        " degrees at the whole radius " + std::to_string(r.radiusDots) +
                                        " dots: the same lens as " + lensNumberText(fovDegrees) + " degrees at " +
                                        lensNumberText(circle.radius) + " dots");
                }
            }
        }
    }
    if (const auto problems = lensSettingsProblems(lensSettingsOf(r)); !problems.empty())
        out.error = problems.front().field + " would be " + problems.front().value + ": " + problems.front().reason;
    return out;
}

std::vector<std::string> describeLensRecord(const LensRecord& r) {
    std::vector<std::string> lines;
    lines.push_back("name: " + r.name);
    const char* projection = projectionWords(r.mappingKind);
    lines.push_back("projection: " + std::string(projection ? projection : "unknown") + " (mapping code " +
                    std::to_string(r.mappingKind) + ")");
    const LensSettings lens = lensSettingsOf(r);
    const double fov = fieldOfViewDegrees(lens);
    if (r.mappingKind == 2) lines.push_back("k: " + r.sineK + " (record field sineK)");
    if (r.mappingKind == 3)
        lines.push_back("segments: theta bounds " + r.theta1 + ", " + r.theta2 + ", " + r.theta3 +
                        " rad; a, b, c per segment: " + r.a1 + " " + r.b1 + " (c1 unused), " + r.a2 + " " + r.b2 +
                        " " + r.c2 + ", " + r.a3 + " " + r.b3 + " " + r.c3 + ", " + r.a4 + " " + r.b4 + " " + r.c4);
    if (r.mappingKind == 6)
        lines.push_back("k1 .. k4: " + r.a1 + ", " + r.a2 + ", " + r.a3 + ", " + r.a4 + " (record fields a1 .. a4)");
    if (r.mappingKind == 7) lines.push_back("xi, alpha: " + r.a1 + ", " + r.a2 + " (record fields a1, a2)");
    if (r.mappingKind == 8) lines.push_back("alpha, beta: " + r.a1 + ", " + r.a2 + " (record fields a1, a2)");
    const bool newer = r.mappingKind >= 4 && r.mappingKind <= kLastMappingKind;
    if (newer) {
        lines.push_back("field of view: " + (fov > 0 ? lensNumberText(fov) + " degrees across the image circle"
                                                     : std::string("not stated: the radius is the one at 90 degrees")) +
                        " (record field c1)");
        lines.push_back(std::string(fov > 0 ? "image circle radius: " : "radius at 90 degrees off the axis: ") +
                        radiusWords(r));
        if (r.radiusMode == static_cast<int32_t>(RadiusMode::Dots) && lensSettingsProblems(lens).empty()) {
            // r = f g(theta): the scale a calibration calls the focal length.
            const EyeGeometry eye = prepareEyes({lens, lens}, {ImageSize{1, 1}, ImageSize{1, 1}}).eye[0];
            const double focal = eye.radius180 * eye.mappingScale;
            lines.push_back("focal length: " + lensNumberText(focal) + " dots across" +
                            (lens.precision.aspect != 1.0
                                 ? ", " + lensNumberText(focal / lens.precision.aspect) + " down (aspect fx / fy " +
                                       lensNumberText(lens.precision.aspect) + ")"
                                 : std::string()));
        }
    } else {
        lines.push_back("radius at 90 degrees off the axis: " + radiusWords(r));
        if (r.mappingKind != 3 && fov > 0) lines.push_back("field of view: " + lensNumberText(fov) + " degrees (noted in record field c1)");
    }
    const LensPrecision& precision = lens.precision;
    if (r.axisMode == 1 && precision.hasCentre)
        lines.push_back("optical axis: (" + lensNumberText(precision.centreX) + ", " + lensNumberText(precision.centreY) +
                        ") (axis code 1: given coordinates; whole dots " + std::to_string(r.axisX) + ", " +
                        std::to_string(r.axisY) + " in axisX, axisY, the centre between dots in field " +
                        kPrecisionFieldName + ")");
    else
        lines.push_back(r.axisMode == 0   ? "optical axis: the image centre (axis code 0)"
                        : r.axisMode == 1 ? "optical axis: (" + std::to_string(r.axisX) + ", " + std::to_string(r.axisY) +
                                                ") (axis code 1: given coordinates)"
                                          : "optical axis: unknown axis code " + std::to_string(r.axisMode));
    if (!newer && precision.aspect != 1.0)
        lines.push_back("aspect fx / fy: " + lensNumberText(precision.aspect) + " (field " + kPrecisionFieldName + ")");
    if (precision.turnDegrees != 0)
        lines.push_back("turn: the picture stands upright once turned " + std::to_string(precision.turnDegrees) +
                        " degrees clockwise (field " + kPrecisionFieldName + ")");
    const auto problems = lensSettingsProblems(lens);
    if (problems.empty()) lines.push_back("values: can describe a lens");
    for (const LensValueProblem& p : problems)
        lines.push_back("values: cannot describe a lens: " + p.field + " is " + p.value + ": " + p.reason);
    return lines;
}

}  // namespace vistereo
