#include "cli/options/lens_refinement_report.h"

#include <cstdio>

#include "cli/options/common.h"

namespace vistereo::cli {
namespace {

std::string fixed(double v, int decimals) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string term(const char* key, double value, double sigma, int decimals) {
    return std::string("\"") + key + "\": {\"value\": " + fixed(value, decimals) + ", \"sigma\": " +
           fixed(sigma, decimals) + "}";
}

std::string eyeJson(const LensCorrection& c, const LensCorrection& sigma) {
    return "{" + term("axis_dx", c.axisDx, sigma.axisDx, 3) + ", " + term("axis_dy", c.axisDy, sigma.axisDy, 3) + ", " +
           term("scale", c.scale, sigma.scale, 6) + ", " + term("shape", c.shape, sigma.shape, 6) + "}";
}

std::string plusMinus(double value, double sigma, int decimals) {
    return fixed(value, decimals) + " +/- " + fixed(sigma, decimals);
}

}  // namespace

std::string lensRefinementJson(const alignment::LensRefinement& r) {
    std::string held = "[";
    for (size_t k = 0; k < r.held.size(); ++k) held += (k ? ", " : "") + jsonString(r.held[k]);
    held += "]";
    return ", \"lens_refinement\": {\"left\": " + eyeJson(r.correction[0], r.sigma[0]) +
           ", \"right\": " + eyeJson(r.correction[1], r.sigma[1]) +
           ", \"residual_before_px\": " + fixed(r.residualBeforePixels, 4) +
           ", \"residual_after_px\": " + fixed(r.residualAfterPixels, 4) + ", \"inliers\": " +
           std::to_string(r.inliers) + ", \"held\": " + held + ", \"projection\": " +
           (r.lawReplaced ? jsonString(alignment::mappingName(r.rightMapping)) : std::string("null")) +
           ", \"law_advice\": " + (r.lawAdvice.empty() ? std::string("null") : jsonString(r.lawAdvice)) +
           ", \"applied\": " + (r.applied ? "true" : "false") +
           ", \"not_applied\": " + (r.applied ? std::string("null") : jsonString(r.notApplied)) + "}";
}

std::string lensRefinementText(const alignment::LensRefinement& r) {
    const LensCorrection &c = r.correction[1], &s = r.sigma[1];
    std::string text;
    if (r.applied) {
        text = "right lens refined against the left: axis point moved by " + plusMinus(c.axisDx, s.axisDx, 2) + ", " +
               plusMinus(c.axisDy, s.axisDy, 2) + " dots (right, down); scale " + plusMinus(c.scale, s.scale, 5);
        text += s.shape > 0.0 ? "; shape " + plusMinus(c.shape, s.shape, 5) : std::string();
        if (r.lawReplaced) text += std::string("; projection taken as ") + alignment::mappingName(r.rightMapping);
    } else {
        text = r.notApplied;
    }
    text += "\nresidual off the epipolar planes: " + fixed(r.residualBeforePixels, 3) + " px with the records, " +
            fixed(r.residualAfterPixels, 3) + " px refined (RMS over " + std::to_string(r.inliers) +
            " matches; pixels of a 1024-dot half)\n";
    text += "held at the records' values:";
    for (size_t k = 0; k < r.held.size(); ++k) text += (k ? "; " : " ") + r.held[k];
    return text + "\n";
}

}  // namespace vistereo::cli
