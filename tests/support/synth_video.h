// The synthesised video takes of tools/synth under the tests' own namespace.
#pragma once

#include "tests/support/synth.h"
#include "tools/synth/synth_video.h"
