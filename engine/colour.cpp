#include "engine/colour.h"

#include <algorithm>
#include <cmath>

namespace vistereo {

namespace {

uint8_t toLevel(float v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

}  // namespace

EyeColourCorrection::EyeColourCorrection() {
    for (int ch = 0; ch < 3; ++ch)
        for (int level = 0; level < 256; ++level) {
            tone[ch][level] = static_cast<float>(level);
            toneLevels[ch][level] = static_cast<uint8_t>(level);
        }
}

void EyeColourCorrection::setTone(int channel, const std::array<float, 256>& curve) {
    tone[channel] = curve;
    for (int level = 0; level < 256; ++level) toneLevels[channel][level] = toLevel(curve[level]);
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

void correctRow(const EyeColourCorrection& c, uint8_t* bgr, const double* columns, const double* rows, int n) {
    if (c.isIdentity()) return;
    if (!c.hasFalloff) {
        const auto& t = c.toneLevels;
        for (int j = 0; j < n; ++j, bgr += 3) bgr[0] = t[0][bgr[0]], bgr[1] = t[1][bgr[1]], bgr[2] = t[2][bgr[2]];
        return;
    }
    const double rim2 = c.rimRadius * c.rimRadius;
    for (int j = 0; j < n; ++j, bgr += 3) {
        const double dx = columns[j] - c.axisX, dy = rows[j] - c.axisY;
        const double rho2 = (dx * dx + dy * dy) / rim2;
        // NaN positions (never sampled) and those past the table's end take its last entry.
        const double at = rho2 < kFalloffRho2Max ? rho2 * (kFalloffSteps / kFalloffRho2Max) : double(kFalloffSteps);
        const int k = std::min(static_cast<int>(at), kFalloffSteps - 1);
        const float f = static_cast<float>(at - k);
        for (int ch = 0; ch < 3; ++ch) {
            const auto& gain = c.gainOverRho2[ch];
            const float g = gain[k] + (gain[k + 1] - gain[k]) * f;
            bgr[ch] = toLevel(c.tone[ch][bgr[ch]] * g);
        }
    }
}

void correctSample(const EyeColourCorrection& c, uint8_t* bgr, double column, double row) {
    correctRow(c, bgr, &column, &row, 1);
}

}  // namespace vistereo
