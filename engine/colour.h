// The photometric correction of an eye: what turns the levels one camera
// recorded into the levels the other eye shows for the same scene.
//
// Two cameras of a stereo rig never see alike: white balance and exposure
// differ (a gain and an offset per channel, or more generally a monotone
// tone curve), and each lens lets less light through towards the rim of its
// image circle (fall-off, vignetting). The correction of an eye undoes both
// for one sampled pixel at a time, given where in the eye's source image the
// pixel was sampled:
//
//   level = tone[channel](sampled) / falloff(rho)
//
// The tone curve maps the levels this camera records onto the levels the
// other camera would record for the same light; the fall-off is then undone
// on those levels. rho is the distance of the source position from the lens
// axis in units of the image radius at 90 degrees off the axis; falloff(rho)
// is the share of the axis brightness the lens lets through there,
// exp(c1 rho^2 + c2 rho^4 + c3 rho^6), per channel: lenses commonly let the
// colours fall off unequally (a rim that turns blue). Both parts work on the
// recorded 8-bit levels as they are, not on linear light: a fall-off that is
// a factor in linear light is a factor (another one) in gamma-encoded levels
// too.
//
// The curve keeps 0 at 0 (black is the program's "not mapped", and a lens's
// black surround stays black) and 255 at 255 (a clipped highlight is at
// least as bright as the sensor could record: it stays clipped).
//
// Nothing here allocates per pixel; correctSample is pure and cheap enough
// to run for every output pixel as the renderer samples it, so that a
// corrected conversion needs no extra pass over the output. The renderer
// corrects each output row with correctRow as soon as the row is blended,
// while it is still in the cache: without fall-off a table of 256 levels
// per channel, with it one gain per pixel from its source position.
#pragma once

#include <array>
#include <cstdint>

#include "engine/lens.h"

namespace vistereo {

// Number of samples of the fall-off's gain table over rho^2 in [0, kFalloffRho2Max].
inline constexpr int kFalloffSteps = 1024;
inline constexpr double kFalloffRho2Max = 1.5625;  // rho up to 1.25: positions a little past the rim stay bounded

struct EyeColourCorrection {
    // Corrected level of every recorded level, per channel in the image's
    // order (blue, green, red).
    std::array<std::array<float, 256>, 3> tone;
    bool toneIsIdentity = true;
    // The tone curve rounded to levels within 0 .. 255: what a pixel
    // becomes when there is no fall-off to undo. Filled by setTone.
    std::array<std::array<uint8_t, 256>, 3> toneLevels;

    // The lens's fall-off per channel: log of the brightness let through at
    // rho is c1 rho^2 + c2 rho^4 + c3 rho^6 (all zero: none).
    using Falloff = std::array<std::array<double, 3>, 3>;  // [channel][c1, c2, c3]
    Falloff falloff{};
    double axisX = 0.0, axisY = 0.0;  // the lens axis in the source image (column, row)
    double rimRadius = 0.0;           // dots from the axis at 90 degrees off it
    // 1 / falloff per channel, tabulated over rho^2 (kFalloffSteps + 1
    // entries). Filled by setFalloff.
    std::array<std::array<float, kFalloffSteps + 1>, 3> gainOverRho2{};
    bool hasFalloff = false;

    EyeColourCorrection();  // the identity

    // The tone curve of channel c as levels (the identity when never set).
    void setTone(int channel, const std::array<float, 256>& curve);
    // The fall-off to undo and where the lens's circle lies; all-zero
    // coefficients or a rim radius that is not positive undo nothing.
    void setFalloff(const Falloff& coefficients, double axisColumn, double axisRow, double rimDots);

    bool isIdentity() const { return toneIsIdentity && !hasFalloff; }
    // The brightness the lens lets through in a channel at a source
    // position, as a share of the axis brightness (1 without fall-off).
    double falloffAt(int channel, double column, double row) const;
};

// Both eyes: 0 the left, 1 the right (the engine's eye index).
struct ColourCorrection {
    std::array<EyeColourCorrection, 2> eye;
    bool isIdentity() const { return eye[0].isIdentity() && eye[1].isIdentity(); }
};

// Corrects one sampled pixel in place (three bytes, blue, green, red),
// sampled at (column, row) of the eye's source image. The result is rounded
// to the nearest level and kept within 0 .. 255. With the identity
// correction every byte stays as it is.
void correctSample(const EyeColourCorrection& correction, uint8_t* bgr, double column, double row);

// The same for n pixels of an output row (3 bytes each), sampled at
// (columns[j], rows[j]), j = 0 .. n-1; a pixel that came out black where nothing was
// sampled (NaN position) stays black.
void correctRow(const EyeColourCorrection& correction, uint8_t* bgr, const double* columns, const double* rows, int n);

}  // namespace vistereo
