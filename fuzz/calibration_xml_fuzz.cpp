// Arbitrary bytes after "<" as an OpenCV FileStorage XML calibration, read
// as lens import and --rotation-from read it: no crash, no undefined
// behaviour, no runaway, and what it reads passes the checks of
// fuzz/calibration_fuzz_checks.h.
#include <cstdint>
#include <string>

#include "fuzz/calibration_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Always the XML reader: the text starts with '<' (the seeds' own first byte is kept when it is one).
    std::string text(reinterpret_cast<const char*>(data), size);
    if (text.empty() || text.front() != '<') text.insert(0, "<");
    vistereo::fuzzing::checkCalibrationText(text);
    return 0;
}
