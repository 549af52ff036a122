#include "base/text_numbers.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace vistereo {

namespace {

// White space as the C library's isspace sees it in the "C" locale.
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Accumulates the decimal digits starting at `pos` into a magnitude that is
// capped just above what int32 can hold, so very long digit runs cannot wrap.
// Returns the position after the last digit.
size_t readDigits(std::string_view text, size_t pos, int64_t& magnitude) {
    constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 2;
    magnitude = 0;
    while (pos < text.size() && isDigit(text[pos])) {
        if (magnitude < kCap) magnitude = magnitude * 10 + (text[pos] - '0');
        ++pos;
    }
    return pos;
}

bool fitsInt32(int64_t value) {
    return value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max();
}

// Skips leading white space and an optional sign; returns the position of
// what follows and whether the sign was "-".
size_t skipSpaceAndSign(std::string_view text, bool& negative) {
    size_t pos = 0;
    while (pos < text.size() && isSpace(text[pos])) ++pos;
    negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    return pos;
}

}  // namespace

IntParse parseLeadingInt(std::string_view text) {
    IntParse result;
    bool negative = false;
    size_t pos = skipSpaceAndSign(text, negative);
    if (pos >= text.size() || !isDigit(text[pos])) {
        result.error = IntParseError::Invalid;
        return result;
    }
    int64_t magnitude = 0;
    readDigits(text, pos, magnitude);
    const int64_t value = negative ? -magnitude : magnitude;
    if (!fitsInt32(value)) {
        result.error = IntParseError::OutOfRange;
        return result;
    }
    result.value = static_cast<int32_t>(value);
    return result;
}

double parseLeadingDouble(std::string_view text) {
    bool negative = false;
    size_t pos = skipSpaceAndSign(text, negative);

    // Mantissa: digits, optionally a "." and more digits; at least one digit
    // on either side of the point.
    const size_t mantissaStart = pos;
    size_t digitCount = 0;
    // Enough to tell an overflow from an underflow: the significant integer
    // digits, or the zeros between the point and the first significant digit.
    bool seenNonZero = false;
    int64_t significantIntegerDigits = 0;
    while (pos < text.size() && isDigit(text[pos])) {
        if (text[pos] != '0') seenNonZero = true;
        if (seenNonZero) ++significantIntegerDigits;
        ++digitCount;
        ++pos;
    }
    int64_t zerosAfterPoint = 0;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        while (pos < text.size() && isDigit(text[pos])) {
            if (!seenNonZero) {
                if (text[pos] != '0')
                    seenNonZero = true;
                else
                    ++zerosAfterPoint;
            }
            ++digitCount;
            ++pos;
        }
    }
    if (digitCount == 0) return 0.0;

    // Exponent: only taken when at least one digit follows the "e" and its sign.
    int64_t exponent = 0;
    size_t end = pos;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        size_t p = pos + 1;
        bool negativeExponent = false;
        if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
            negativeExponent = text[p] == '-';
            ++p;
        }
        if (p < text.size() && isDigit(text[p])) {
            int64_t magnitude = 0;
            end = readDigits(text, p, magnitude);
            exponent = negativeExponent ? -magnitude : magnitude;
        }
    }

    // from_chars reads the same grammar apart from the leading sign, and does
    // not depend on the locale's decimal point.
    const std::string_view number = text.substr(mantissaStart, end - mantissaStart);
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value,
                                           std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: like the C library, give the
        // largest value (infinity) or zero.
        const int64_t order = significantIntegerDigits > 0 ? significantIntegerDigits : -zerosAfterPoint;
        value = (seenNonZero && order + exponent > 0) ? HUGE_VAL : 0.0;
    } else if (ec != std::errc() || ptr != number.data() + number.size()) {
        return 0.0;
    }
    return negative ? -value : value;
}

int32_t parseBoxInt(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size() && isBlank(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && text[pos] == '-') {
        negative = true;
        ++pos;
    }
    if (pos >= text.size() || !isDigit(text[pos])) return 0;
    int64_t magnitude = 0;
    pos = readDigits(text, pos, magnitude);
    while (pos < text.size() && isBlank(text[pos])) ++pos;
    if (pos != text.size()) return 0;
    const int64_t value = negative ? -magnitude : magnitude;
    return fitsInt32(value) ? static_cast<int32_t>(value) : 0;
}

std::string formatInt(int32_t value) {
    char buffer[16];
    const auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;  // 16 characters always hold an int32
    return std::string(buffer, ptr);
}

}  // namespace vistereo
