// The prepare step: from the lens the user chose for each eye and the size of
// each eye's image to the per-eye geometry the lens mapping and the renderers
// read. Done once per conversion (or once for many pairs of the same size);
// the result is never changed afterwards.
//
// Each quantity is derived for the left eye, then the right eye, before the
// next: the radius for 90 degrees from the radius mode, the sine factor or the
// quadratic law's bounds from the mapping kind, the optical-axis point from
// the axis mode. An unknown mode code stops the derivation where it is found.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "engine/params.h"

namespace vistereo {

struct ImageSize {
    int32_t width = 0;
    int32_t height = 0;
};

// Which lens code stopped the derivation.
struct LensCodeError {
    int eye = 0;             // 0 left, 1 right
    const char* field = "";  // "radiusMode", "mappingKind" or "axisMode"
    int32_t value = 0;
};

struct PreparedEyes {
    // What was derived; after an error, the eyes as far as they got (the
    // left eye's radius when the right eye's radius mode is unknown, say).
    std::array<EyeGeometry, 2> eye;
    // The unknown code, not a sentence: the conversion stops on it without
    // a message, as the desktop program does, and only the front ends word
    // it, from the lens settings they hold.
    std::optional<LensCodeError> lensCode;
    bool ok() const { return !lensCode; }
};

// Which mapping codes are known: the four classic laws (0 to 3) alone, as the
// desktop program's own conversion knows them unless asked for more, or also
// the equidistant, stereographic and polynomial laws (4 to 6).
enum class MappingKinds { Classic, All };

PreparedEyes prepareEyes(const std::array<LensSettings, 2>& lenses, const std::array<ImageSize, 2>& images,
                         MappingKinds kinds = MappingKinds::All);

// Double to int32 by truncation toward zero. Values that do not fit (and
// NaN) give INT32_MIN, as the processor's truncating conversion does.
int32_t truncateToInt32(double v);

}  // namespace vistereo
