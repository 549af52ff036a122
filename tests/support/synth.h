// The synthesised fisheye pairs of tools/synth under the tests' own namespace.
#pragma once

#include "tools/synth/synth.h"

namespace vistereo::testsupport {
using namespace vistereo::synth;
}  // namespace vistereo::testsupport
