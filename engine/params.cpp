#include "engine/params.h"

namespace vistereo {

PointSet PointSet::fromListOrder(const std::array<int32_t, 8>& v) {
    return {{v[0], v[4]}, {v[1], v[5]}, {v[2], v[6]}, {v[3], v[7]}};
}

std::array<int32_t, 8> PointSet::listOrder() const {
    return {leftA.x, leftB.x, rightA.x, rightB.x, leftA.y, leftB.y, rightA.y, rightB.y};
}

double zenithAngleFromTenths(int32_t tenths) {
    return static_cast<double>(tenths) / 1800.0 * kPi;
}

ZenithAngles zenithAngles(const ZenithTenths& t) {
    return {zenithAngleFromTenths(t.roll), zenithAngleFromTenths(t.pitch), zenithAngleFromTenths(t.yaw)};
}

}  // namespace vistereo
