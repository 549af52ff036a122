#include "lens/lens_selection.h"

#include <algorithm>

#include "base/text_numbers.h"
#include "lens/lens_precision.h"

namespace vistereo {

LensSettings lensSettingsOf(const LensRecord& record) {
    // The number texts are read only now, as typed in the registration dialog.
    LensSettings lens;
    lens.name = record.name;
    for (const LensField& field : kLensFields) {
        if (field.number) field.number(lens) = parseLeadingDouble(record.*field.text);
        if (field.code) field.code(lens) = record.*field.integer;
    }
    if (recordTakesPrecision(record)) lens.precision = readPrecisionText(record.*kPrecisionField);
    return lens;
}

bool SelectLensForEye(std::array<LensSettings, 2>& lenses, const LensRegistry& registry, int eyeIndex,
                      int recordIndex) {
    if (eyeIndex < 0 || eyeIndex > 1) return false;
    const int valid = std::min<int>(registry.count, kMaxLensRecords);
    if (recordIndex < 0 || recordIndex >= valid) return false;  // no selection
    lenses[eyeIndex] = lensSettingsOf(registry.records[recordIndex]);
    return true;
}

}  // namespace vistereo
