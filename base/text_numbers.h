// Text-to-number rules shared by the registry file, the lens selection and
// the front ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vistereo {

enum class IntParseError { None, Invalid, OutOfRange };

// A typed code, not a sentence: each front end words a bad number its own
// way (the registry file's and the dialogs' messages are fixed), so the
// parse says only which way it went wrong.
struct IntParse {
    int32_t value = 0;
    IntParseError error = IntParseError::None;
    bool ok() const { return error == IntParseError::None; }
};

// std::stoi in base 10: leading white space skipped, optional sign, digits up
// to the first other character, the rest ignored. No digit: Invalid; a value
// outside int32: OutOfRange. Never throws.
IntParse parseLeadingInt(std::string_view text);

// The rules of _wtof: leading blanks, optional sign, digits with "." as the
// decimal point, optional exponent, rest ignored; no number (empty text
// included) gives 0.0. No "inf", "nan" or hexadecimal forms.
double parseLeadingDouble(std::string_view text);

// A dialog box's signed whole number: optional blanks, optional "-", digits,
// optional blanks. Anything else, or a value outside int32, reads as 0.
int32_t parseBoxInt(std::string_view text);

// Plain decimal: optional "-", digits, no leading zeros.
std::string formatInt(int32_t value);

}  // namespace vistereo
