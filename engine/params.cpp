// Zenith counters and their angles.
#include "engine/params.h"

namespace vistereo {
namespace {

int32_t& counterOf(ConversionParams& params, ZenithAxis axis) {
    switch (axis) {
        case ZenithAxis::Roll: return params.rollTenths;
        case ZenithAxis::Pitch: return params.pitchTenths;
        case ZenithAxis::Yaw: break;
    }
    return params.yawTenths;
}

double& angleOf(ConversionParams& params, ZenithAxis axis) {
    switch (axis) {
        case ZenithAxis::Roll: return params.roll;
        case ZenithAxis::Pitch: return params.pitch;
        case ZenithAxis::Yaw: break;
    }
    return params.yaw;
}

}  // namespace

double zenithAngleFromTenths(int32_t tenths) {
    return static_cast<double>(tenths) / 1800.0 * kPi;
}

void setZenithTenths(ConversionParams& params, ZenithAxis axis, int32_t tenths) {
    counterOf(params, axis) = tenths;
    angleOf(params, axis) = zenithAngleFromTenths(tenths);
}

bool stepZenith(ConversionParams& params, ZenithAxis axis, int proposedDelta) {
    if (proposedDelta == 0) return false;
    // The up arrow of an up-down control proposes a negative change; a step
    // up raises the counter.
    // The counters have no limit: at the ends of the int32 range they wrap
    // as the machine's integer arithmetic does.
    const uint32_t current = static_cast<uint32_t>(counterOf(params, axis));
    setZenithTenths(params, axis, static_cast<int32_t>(proposedDelta > 0 ? current - 1u : current + 1u));
    return true;
}

void clearZenith(ConversionParams& params) {
    for (ZenithAxis axis : {ZenithAxis::Roll, ZenithAxis::Pitch, ZenithAxis::Yaw}) {
        counterOf(params, axis) = 0;
        angleOf(params, axis) = 0.0;
    }
}

int32_t zenithTenths(const ConversionParams& params, ZenithAxis axis) {
    return counterOf(const_cast<ConversionParams&>(params), axis);
}

}  // namespace vistereo
