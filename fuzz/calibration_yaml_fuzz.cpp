// Arbitrary bytes as a calibration YAML (OpenCV FileStorage, ROS
// camera_info, Kalibr camchain), read as lens import and --rotation-from
// read it: no crash, no undefined behaviour, no runaway, and what it reads
// passes the checks of fuzz/calibration_fuzz_checks.h.
#include <cstdint>
#include <string>

#include "fuzz/calibration_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // A text that opens with '<' goes to the XML reader, which has its own target.
    if (text.find_first_not_of(" \t\r\n") != std::string::npos && text[text.find_first_not_of(" \t\r\n")] == '<') return 0;
    vistereo::fuzzing::checkCalibrationText(text);
    return 0;
}
