// The text-to-number rules: std::stoi for integer lines and the comma line,
// _wtof for the lens record's number texts, the dialog box's whole number.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "registry/text_numbers.h"

using namespace vistereo;

namespace {

struct IntCase {
    const char* text;
    IntParseError error;
    int32_t value;  // meaningful only without error
};

TEST(ParseLeadingInt, FollowsStoiRules) {
    const IntCase cases[] = {
        {"0", IntParseError::None, 0},
        {"42", IntParseError::None, 42},
        {" 42abc", IntParseError::None, 42},
        {" 7 ", IntParseError::None, 7},
        {"12px", IntParseError::None, 12},
        {"\t\n\v\f\r 5", IntParseError::None, 5},
        {"+7", IntParseError::None, 7},
        {"-12", IntParseError::None, -12},
        {"007", IntParseError::None, 7},
        {"3.9", IntParseError::None, 3},
        {"1e5", IntParseError::None, 1},
        {"2147483647", IntParseError::None, 2147483647},
        {"-2147483648", IntParseError::None, std::numeric_limits<int32_t>::min()},
        {"00000000000000000000012", IntParseError::None, 12},
        {"", IntParseError::Invalid, 0},
        {"   ", IntParseError::Invalid, 0},
        {"-", IntParseError::Invalid, 0},
        {"+", IntParseError::Invalid, 0},
        {"abc", IntParseError::Invalid, 0},
        {"- 5", IntParseError::Invalid, 0},
        {"+-5", IntParseError::Invalid, 0},
        {"0x10", IntParseError::None, 0},
        {"2147483648", IntParseError::OutOfRange, 0},
        {"-2147483649", IntParseError::OutOfRange, 0},
        {"99999999999", IntParseError::OutOfRange, 0},
        {"123456789012345678901234567890", IntParseError::OutOfRange, 0},
    };
    for (const auto& c : cases) {
        const IntParse parsed = parseLeadingInt(c.text);
        EXPECT_EQ(parsed.error, c.error) << '"' << c.text << '"';
        EXPECT_EQ(parsed.ok(), c.error == IntParseError::None) << '"' << c.text << '"';
        if (c.error == IntParseError::None) {
            EXPECT_EQ(parsed.value, c.value) << '"' << c.text << '"';
        }
    }
}

struct DoubleCase {
    const char* text;
    double value;
};

TEST(ParseLeadingDouble, FollowsWtofRules) {
    const DoubleCase cases[] = {
        {"1.05", 1.05},
        {"1.05x", 1.05},
        {"", 0.0},
        {"   ", 0.0},
        {"abc", 0.0},
        {"  -2.5e3z", -2500.0},
        {"1e", 1.0},
        {"1e+", 1.0},
        {"1E-2", 0.01},
        {"2e+3", 2000.0},
        {".5", 0.5},
        {"5.", 5.0},
        {".", 0.0},
        {"-.25", -0.25},
        {"+7", 7.0},
        {"-", 0.0},
        {"inf", 0.0},
        {"nan", 0.0},
        {"infinity", 0.0},
        {"0x1A", 0.0},
        {"1,5", 1.0},
        {"\t0.75", 0.75},
        {"1.5.2", 1.5},
        {"3e2.5", 300.0},
        {"-0.0", 0.0},
        {"1e-400", 0.0},
        {"0.0000000000000000000000000000000001", 1e-34},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(parseLeadingDouble(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseLeadingDouble, OverflowGivesInfinityOfTheSign) {
    EXPECT_EQ(parseLeadingDouble("1e400"), HUGE_VAL);
    EXPECT_EQ(parseLeadingDouble("-1e400"), -HUGE_VAL);
    EXPECT_EQ(parseLeadingDouble("0.001e99999999999999"), HUGE_VAL);
}

TEST(ParseBoxInt, ReadsAWholeSignedNumberOrZero) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"12", 12},
        {" 12 ", 12},
        {"-12", -12},
        {"  -2147483648  ", std::numeric_limits<int32_t>::min()},
        {"2147483647", 2147483647},
        {"12a", 0},
        {"a12", 0},
        {"", 0},
        {"-", 0},
        {"+12", 0},
        {"1 2", 0},
        {"1.5", 0},
        {"- 12", 0},
        {"2147483648", 0},
        {"-2147483649", 0},
        {"99999999999999999999", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(parseBoxInt(c.text), c.value) << '"' << c.text << '"';
}

TEST(FormatInt, PlainDecimal) {
    const struct {
        int32_t value;
        const char* text;
    } cases[] = {
        {0, "0"},
        {7, "7"},
        {-12, "-12"},
        {4096, "4096"},
        {2147483647, "2147483647"},
        {std::numeric_limits<int32_t>::min(), "-2147483648"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatInt(c.value), c.text);
        // What is written reads back as the same number.
        EXPECT_EQ(parseLeadingInt(formatInt(c.value)).value, c.value);
    }
}

}  // namespace
