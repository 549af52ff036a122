// The zenith correction as one turn of output directions: pitch about x,
// then roll about the viewing axis y, then yaw about z. Its sines and cosines
// are worked out once; the reference renderer and the remap plans both turn
// directions through it, term for term, so the two agree to the bit.
#pragma once

#include <cmath>

#include "engine/lens.h"
#include "engine/params.h"

namespace vistereo {

struct ZenithTurn {
    explicit ZenithTurn(const ZenithAngles& z)
        : cp(std::cos(z.pitch)), sp(std::sin(z.pitch)), cr(std::cos(z.roll)), sr(std::sin(z.roll)),
          cw(std::cos(z.yaw)), sw(std::sin(z.yaw)) {}

    // (x, y, z) turned, given cos(pitch) z and sin(pitch) z, which the
    // directions of one output row share.
    Vec3 turn(double x, double y, double cpZ, double spZ) const {
        const double y1 = cp * y - spZ;
        const double z1 = cpZ + sp * y;
        const double x2 = cr * x - sr * z1;
        const double z2 = cr * z1 + sr * x;
        const double y3 = cw * y1 - sw * x2;
        const double x3 = cw * x2 + sw * y1;
        return {x3, y3, z2};
    }
    Vec3 turn(const Vec3& d) const { return turn(d.x, d.y, cp * d.z, sp * d.z); }

    double cp, sp, cr, sr, cw, sw;  // cosines and sines of pitch, roll and yaw
};

}  // namespace vistereo
