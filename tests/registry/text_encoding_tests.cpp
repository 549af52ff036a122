// Narrow text at the registry file's boundary: UTF-8 kept, Shift-JIS (CP932)
// from Japanese Windows systems read into UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "registry/text_encoding.h"

using namespace vistereo;

namespace {

const std::string kGyoganUtf8 = "\xE9\xAD\x9A\xE7\x9C\xBC";  // 魚眼
const std::string kGyoganCp932 = "\x8B\x9B\x8A\xE1";
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(IsValidUtf8, AcceptsWellFormedAndRejectsTheRest) {
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"", true},
        {"Fisheye 8mm", true},
        {kGyoganUtf8, true},
        {"\xC2\xA0", true},              // U+00A0, smallest two-byte form
        {"\xF0\x9F\x93\xB7", true},      // U+1F4F7, a four-byte form
        {"\xF4\x8F\xBF\xBF", true},      // U+10FFFF
        {kGyoganCp932, false},
        {"\xC3\xDE", false},             // ﾃﾞ in CP932
        {"\x80", false},                 // continuation byte alone
        {"\xC0\xAF", false},             // overlong "/"
        {"\xE0\x80\xAF", false},         // overlong three-byte form
        {"\xED\xA0\x80", false},         // UTF-16 surrogate
        {"\xF4\x90\x80\x80", false},     // above U+10FFFF
        {"\xE9\xAD", false},             // cut short
        {"\xFF", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidUtf8(c.text), c.valid) << testing::PrintToString(c.text);
}

TEST(FileTextToUtf8, ReadsShiftJisAndKeepsUtf8) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {kGyoganUtf8, kGyoganUtf8},
        {"Lens 1", "Lens 1"},
        {kGyoganCp932, kGyoganUtf8},
        {"A" + kGyoganCp932 + " 8mm", "A" + kGyoganUtf8 + " 8mm"},
        {"\xC3\xDE", "\xEF\xBE\x83\xEF\xBE\x9E"},  // half-width ﾃﾞ
        {"\x81\x60", "\xEF\xBD\x9E"},                // CP932's wave dash is U+FF5E
        // Bytes CP932 cannot decode become U+FFFD; the text around them stays.
        {"a\x80" "b", "a" + kReplacement + "b"},
        {"\xFF\xFF", kReplacement + kReplacement},
        {"x\x8B", "x" + kReplacement},               // lead byte cut off at the end
    };
    for (const auto& c : cases) EXPECT_EQ(fileTextToUtf8(c.in), c.out) << testing::PrintToString(c.in);
}

TEST(FileTextToUtf8, AnyByteSoupComesOutValid) {
    std::string soup;
    for (int i = 0; i < 256; ++i) soup += static_cast<char>(255 - i);
    for (size_t start = 0; start < soup.size(); start += 7)
        EXPECT_TRUE(isValidUtf8(fileTextToUtf8(soup.substr(start, 13)))) << start;
}

}  // namespace
