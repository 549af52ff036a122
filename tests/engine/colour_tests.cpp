// The photometric correction of one sampled pixel: the tone curve, then the
// lens's fall-off undone at the sampled source position.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "engine/colour.h"

namespace vistereo {
namespace {

// A lens centred at (600, 450) with its rim 400 dots away, letting 70 % of
// the axis brightness through there (`blueRim`: that share in blue); `tone`:
// each channel darker by 20, 30 and 40 levels (blue, green, red), never
// below 0.
EyeColourCorrection correction(bool falloff, bool tone, double blueRim = 0.7) {
    EyeColourCorrection c;
    if (tone)
        for (int ch = 0; ch < 3; ++ch) {
            std::array<float, 256> curve;
            for (int v = 0; v < 256; ++v) curve[v] = std::max(0.0f, v - 20.0f - 10.0f * ch);
            c.setTone(ch, curve);
        }
    if (falloff) c.setFalloff({{{std::log(blueRim), 0, 0}, {std::log(0.7), 0, 0}, {std::log(0.7), 0, 0}}}, 600.0, 450.0, 400.0);
    return c;
}

TEST(ColourCorrection, TonesThenUndoesTheFalloffAtTheSourcePosition) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    using Levels = std::array<int, 3>;
    const struct { const char* name; bool falloff, tone; double column, row; int level; Levels expected; } cases[] = {
        {"identity, anywhere", false, false, 1000.0, 10.0, 137, {137, 137, 137}},
        {"identity, not a position", false, false, nan, nan, 200, {200, 200, 200}},
        {"tone only", false, true, 1000.0, 10.0, 100, {80, 70, 60}},
        {"tone keeps its floor", false, true, 600.0, 450.0, 25, {5, 0, 0}},
        {"fall-off, on the axis", true, false, 600.0, 450.0, 100, {100, 100, 100}},
        {"fall-off, at the rim", true, false, 1000.0, 450.0, 70, {100, 100, 100}},
        {"fall-off, half way up", true, false, 600.0, 250.0, 100, {109, 109, 109}},        // 100 / 0.7^0.25
        {"fall-off, beyond the table", true, false, 600.0, 1450.0, 100, {175, 175, 175}},  // as at 1.25 rims: 100 / 0.7^1.5625
        {"fall-off, not a position", true, false, nan, 450.0, 100, {175, 175, 175}},
        {"fall-off keeps a clipped level", true, false, 1000.0, 450.0, 255, {255, 255, 255}},
        {"fall-off keeps black", true, false, 1000.0, 450.0, 0, {0, 0, 0}},
        // Tone first: (100 - 20) / 0.7 = 114; the fall-off first would give 100 / 0.7 - 20 = 123.
        {"tone, then fall-off", true, true, 1000.0, 450.0, 100, {114, 100, 86}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const EyeColourCorrection e = correction(c.falloff, c.tone);
        uint8_t bgr[3] = {uint8_t(c.level), uint8_t(c.level), uint8_t(c.level)};
        correctSample(e, bgr, c.column, c.row);
        EXPECT_EQ((Levels{bgr[0], bgr[1], bgr[2]}), c.expected);
        if (!c.tone && std::isfinite(c.column) && c.level > 0 && c.level < 255) {
            const double share = e.falloffAt(0, c.column, c.row);
            EXPECT_NEAR(c.level / share, c.expected[0], 0.5) << "falloffAt " << share;
        }
    }
    // The channels fall off each their own way: a rim that turns blue.
    uint8_t bgr[3] = {90, 70, 70};
    correctSample(correction(true, false, 0.9), bgr, 1000.0, 450.0);
    EXPECT_EQ((Levels{bgr[0], bgr[1], bgr[2]}), (Levels{100, 100, 100}));
}

}  // namespace
}  // namespace vistereo
