#include "engine/colour.h"

#include <algorithm>
#include <cmath>

namespace vistereo {

EyeColourCorrection::EyeColourCorrection() {
    for (auto& curve : tone)
        for (int level = 0; level < 256; ++level) curve[level] = static_cast<float>(level);
}

void EyeColourCorrection::setTone(int channel, const std::array<float, 256>& curve) {
    tone[channel] = curve;
    toneIsIdentity = true;
    for (const auto& c : tone)
        for (int level = 0; level < 256; ++level)
            if (c[level] != static_cast<float>(level)) toneIsIdentity = false;
}

void EyeColourCorrection::setFalloff(const Falloff& coefficients, double axisColumn, double axisRow, double rimDots) {
    falloff = coefficients;
    axisX = axisColumn, axisY = axisRow, rimRadius = rimDots;
    hasFalloff = false;
    for (const auto& c : falloff) hasFalloff = hasFalloff || c[0] != 0.0 || c[1] != 0.0 || c[2] != 0.0;
    hasFalloff = hasFalloff && rimDots > 0.0;
    for (int ch = 0; ch < 3; ++ch) {
        const auto& c = falloff[ch];
        for (int k = 0; k <= kFalloffSteps; ++k) {
            const double x = kFalloffRho2Max * k / kFalloffSteps;
            gainOverRho2[ch][k] = hasFalloff ? static_cast<float>(std::exp(-x * (c[0] + x * (c[1] + x * c[2])))) : 1.0f;
        }
    }
}

double EyeColourCorrection::falloffAt(int channel, double column, double row) const {
    if (!hasFalloff) return 1.0;
    const double dx = column - axisX, dy = row - axisY;
    const double x = std::min((dx * dx + dy * dy) / (rimRadius * rimRadius), kFalloffRho2Max);
    const auto& c = falloff[channel];
    return std::exp(x * (c[0] + x * (c[1] + x * c[2])));
}

void correctSample(const EyeColourCorrection& c, uint8_t* bgr, double column, double row) {
    if (c.isIdentity()) return;
    if (!c.hasFalloff) {
        for (int ch = 0; ch < 3; ++ch)
            bgr[ch] = static_cast<uint8_t>(std::clamp(std::lround(c.tone[ch][bgr[ch]]), 0L, 255L));
        return;
    }
    const double dx = column - c.axisX, dy = row - c.axisY;
    const double rho2 = (dx * dx + dy * dy) / (c.rimRadius * c.rimRadius);
    // NaN positions (never sampled) and those past the table's end take its last entry.
    const double at = rho2 < kFalloffRho2Max ? rho2 * (kFalloffSteps / kFalloffRho2Max) : double(kFalloffSteps);
    const int k = std::min(static_cast<int>(at), kFalloffSteps - 1);
    const float f = static_cast<float>(at - k);
    for (int ch = 0; ch < 3; ++ch) {
        const auto& gain = c.gainOverRho2[ch];
        const float g = gain[k] + (gain[k + 1] - gain[k]) * f;
        bgr[ch] = static_cast<uint8_t>(std::clamp(std::lround(c.tone[ch][bgr[ch]] * g), 0L, 255L));
    }
}

}  // namespace vistereo
