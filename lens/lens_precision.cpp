#include "lens/lens_precision.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string_view>

namespace vistereo {
namespace {

// The whole text as a finite decimal number.
std::optional<double> wholeNumber(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    const double v = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

bool startsWithKey(std::string_view text) {
    for (const std::string_view key : {"centre=", "aspect=", "turn="})
        if (text.substr(0, key.size()) == key) return true;
    return false;
}

}  // namespace

LensPrecision readPrecisionText(const std::string& text) {
    LensPrecision p;
    std::string_view rest(text);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (!startsWithKey(rest)) return p;  // a number typed in the box, or nothing: no precision
    bool seenCentre = false, seenAspect = false, seenTurn = false;
    auto fail = [&](std::string_view item, const std::string& why) {
        LensPrecision failed;
        failed.unreadableItem = item, failed.unreadableReason = why;
        return failed;
    };
    while (!rest.empty()) {
        const size_t blank = rest.find(' ');
        const std::string_view item = rest.substr(0, blank);
        rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank);
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        const size_t equals = item.find('=');
        const std::string_view key = item.substr(0, equals);
        const std::string_view value = equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
        if (key == "centre" && !seenCentre) {
            const size_t comma = value.find(',');
            const auto x = wholeNumber(value.substr(0, comma));
            const auto y = comma == std::string_view::npos ? std::nullopt : wholeNumber(value.substr(comma + 1));
            if (!x || !y) return fail(item, "centre=X,Y takes two numbers");
            p.hasCentre = true, p.centreX = *x, p.centreY = *y, seenCentre = true;
        } else if (key == "aspect" && !seenAspect) {
            const auto a = wholeNumber(value);
            if (!a) return fail(item, "aspect=A takes a number");
            p.aspect = *a, seenAspect = true;
        } else if (key == "turn" && !seenTurn) {
            const auto t = wholeNumber(value);
            if (!t || *t != std::floor(*t) || std::abs(*t) > 1e6) return fail(item, "turn=D takes whole degrees");
            p.turnDegrees = static_cast<int32_t>(*t), seenTurn = true;
        } else if (key == "centre" || key == "aspect" || key == "turn") {
            return fail(item, "is given twice");
        } else {
            return fail(item, "is none of centre=X,Y, aspect=A and turn=D");
        }
    }
    return p;
}

std::string exactNumberText(double value) {
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string("nan");
}

std::string precisionText(const LensPrecision& p) {
    std::string out;
    auto add = [&](const std::string& item) { out += (out.empty() ? "" : " ") + item; };
    if (p.hasCentre) add("centre=" + exactNumberText(p.centreX) + "," + exactNumberText(p.centreY));
    if (p.aspect != 1.0) add("aspect=" + exactNumberText(p.aspect));
    if (p.turnDegrees != 0) add("turn=" + std::to_string(p.turnDegrees));
    return out;
}

}  // namespace vistereo
