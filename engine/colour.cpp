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

void EyeColourCorrection::setFalloff(const std::array<double, 3>& coefficients, double axisColumn, double axisRow,
                                     double rimDots) {
    falloff = coefficients;
    axisX = axisColumn, axisY = axisRow, rimRadius = rimDots;
    hasFalloff = rimDots > 0.0 && (coefficients[0] != 0.0 || coefficients[1] != 0.0 || coefficients[2] != 0.0);
    for (int k = 0; k <= kFalloffSteps; ++k) {
        const double x = kFalloffRho2Max * k / kFalloffSteps;
        gainOverRho2[k] = hasFalloff ? static_cast<float>(std::exp(-x * (falloff[0] + x * (falloff[1] + x * falloff[2]))))
                                     : 1.0f;
    }
}

double EyeColourCorrection::falloffAt(double column, double row) const {
    if (!hasFalloff) return 1.0;
    const double dx = column - axisX, dy = row - axisY;
    const double x = std::min((dx * dx + dy * dy) / (rimRadius * rimRadius), kFalloffRho2Max);
    return std::exp(x * (falloff[0] + x * (falloff[1] + x * falloff[2])));
}

void correctSample(const EyeColourCorrection& c, uint8_t* bgr, double column, double row) {
    if (c.isIdentity()) return;
    float gain = 1.0f;
    if (c.hasFalloff) {
        const double dx = column - c.axisX, dy = row - c.axisY;
        const double rho2 = (dx * dx + dy * dy) / (c.rimRadius * c.rimRadius);
        // NaN positions (never sampled) and those past the table's end take its last entry.
        const double at = rho2 < kFalloffRho2Max ? rho2 * (kFalloffSteps / kFalloffRho2Max) : double(kFalloffSteps);
        const int k = std::min(static_cast<int>(at), kFalloffSteps - 1);
        const float f = static_cast<float>(at - k);
        gain = c.gainOverRho2[k] + (c.gainOverRho2[k + 1] - c.gainOverRho2[k]) * f;
    }
    for (int ch = 0; ch < 3; ++ch)
        bgr[ch] = static_cast<uint8_t>(std::clamp(std::lround(c.tone[ch][bgr[ch]] * gain), 0L, 255L));
}

}  // namespace vistereo
