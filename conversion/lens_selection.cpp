#include "conversion/lens_selection.h"

#include <algorithm>

#include "registry/text_numbers.h"

namespace vistereo {

void copyLensRecordToEye(const LensRecord& record, EyeParams& eye) {
    // Field by field in record order; the number texts are read only now,
    // as typed in the registration dialog.
    eye.lensName = record.name;
    eye.magnification = parseLeadingDouble(record.magnification);
    eye.sineK = parseLeadingDouble(record.sineK);
    eye.theta1 = parseLeadingDouble(record.theta1);
    eye.theta2 = parseLeadingDouble(record.theta2);
    eye.theta3 = parseLeadingDouble(record.theta3);
    eye.a1 = parseLeadingDouble(record.a1);
    eye.b1 = parseLeadingDouble(record.b1);
    eye.c1 = parseLeadingDouble(record.c1);
    eye.a2 = parseLeadingDouble(record.a2);
    eye.b2 = parseLeadingDouble(record.b2);
    eye.c2 = parseLeadingDouble(record.c2);
    eye.a3 = parseLeadingDouble(record.a3);
    eye.b3 = parseLeadingDouble(record.b3);
    eye.c3 = parseLeadingDouble(record.c3);
    eye.a4 = parseLeadingDouble(record.a4);
    eye.b4 = parseLeadingDouble(record.b4);
    eye.c4 = parseLeadingDouble(record.c4);
    eye.radiusMode = record.radiusMode;
    eye.radius180 = record.radiusDots;
    eye.mappingKind = record.mappingKind;
    eye.axisX = record.axisX;
    eye.axisY = record.axisY;
    eye.axisMode = record.axisMode;
    // imageWidth, imageHeight, mappingScale and radius1..3 belong to the
    // conversion run and stay as they are.
}

bool SelectLensForEye(ConversionParams& params, const LensRegistry& registry, int eyeIndex,
                      int recordIndex) {
    if (eyeIndex < 0 || eyeIndex > 1) return false;
    const int valid = std::min<int>(registry.count, kMaxLensRecords);
    if (recordIndex < 0 || recordIndex >= valid) return false;  // no selection
    copyLensRecordToEye(registry.records[recordIndex], params.eye[eyeIndex]);
    return true;
}

}  // namespace vistereo
