// One pair of photographs of a shoot and where its result goes: what the
// batch converts one by one and what a shoot's shared alignment and colour
// match are taken from.
#pragma once

#include <filesystem>

namespace vistereo {

struct BatchPair {
    std::filesystem::path left, right, output;
    int line = 0;  // the pairs file's line; 0 for paired folders
};

}  // namespace vistereo
