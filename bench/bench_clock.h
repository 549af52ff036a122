// What every benchmark prints beside its figures: wall seconds of a stage
// and how busy the machine was.
#pragma once

#include <chrono>
#include <fstream>
#include <string>

namespace vistereo::bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The 1- and 5-minute load averages, as /proc/loadavg gives them.
inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " " + five;
}

}  // namespace vistereo::bench
