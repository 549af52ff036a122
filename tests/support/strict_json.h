// A strict reader of one JSON text (RFC 8259), for the tests of the commands'
// --json output: the whole text must be exactly one value with nothing but
// white space around it; strings hold valid UTF-8 and only JSON's escapes;
// numbers have JSON's form. A lone low surrogate escape (\udc80 to \udcff)
// reads back as the byte it stands for, the way the commands escape a byte
// that is not UTF-8, so a test can compare a name byte for byte.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vistereo::testsupport {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0.0;
    std::string text;                        // a string, decoded
    std::vector<JsonValue> items;            // an array
    std::map<std::string, JsonValue> members;  // an object
    std::vector<std::string> keys;           // an object's keys in order, repeats included

    bool isNull() const { return kind == Kind::Null; }
    const JsonValue* member(const std::string& key) const {
        const auto found = members.find(key);
        return found == members.end() ? nullptr : &found->second;
    }
};

class StrictJson {
public:
    // The value, or nothing with `error` saying where the text breaks the grammar.
    static std::optional<JsonValue> parse(std::string_view text, std::string& error) {
        StrictJson reader(text);
        std::optional<JsonValue> value = reader.value();
        if (value) {
            reader.space();
            if (reader.at_ != text.size()) value.reset(), reader.fail("text after the value");
        }
        error = reader.error_;
        return value;
    }

private:
    explicit StrictJson(std::string_view text) : text_(text) {}

    std::optional<JsonValue> fail(const std::string& why) {
        if (error_.empty()) error_ = why + " at byte " + std::to_string(at_);
        return std::nullopt;
    }
    void space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) ++at_;
    }
    bool take(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    std::optional<JsonValue> value() {
        space();
        if (at_ >= text_.size()) return fail("no value");
        JsonValue v;
        const char c = text_[at_];
        if (c == '{') return object();
        if (c == '[') return array();
        if (c == '"') {
            std::optional<std::string> s = string();
            if (!s) return std::nullopt;
            v.kind = JsonValue::Kind::String, v.text = *s;
            return v;
        }
        if (take("null")) return v;
        if (take("true")) return v.kind = JsonValue::Kind::Bool, v.boolean = true, v;
        if (take("false")) return v.kind = JsonValue::Kind::Bool, v;
        return number();
    }

    std::optional<JsonValue> number() {
        const size_t start = at_;
        auto digits = [&] {
            const size_t from = at_;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
            return at_ > from;
        };
        if (at_ < text_.size() && text_[at_] == '-') ++at_;
        if (at_ < text_.size() && text_[at_] == '0') ++at_;
        else if (!digits()) return fail("not a value");
        if (at_ < text_.size() && text_[at_] == '.' && (++at_, !digits())) return fail("no digits after the point");
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            if (!digits()) return fail("no digits in the exponent");
        }
        JsonValue v;
        v.kind = JsonValue::Kind::Number;
        v.number = std::stod(std::string(text_.substr(start, at_ - start)));
        return v;
    }

    std::optional<JsonValue> array() {
        JsonValue v;
        v.kind = JsonValue::Kind::Array;
        ++at_;
        space();
        if (take("]")) return v;
        for (;;) {
            std::optional<JsonValue> item = value();
            if (!item) return std::nullopt;
            v.items.push_back(std::move(*item));
            space();
            if (take("]")) return v;
            if (!take(",")) return fail("neither ',' nor ']' in an array");
        }
    }

    std::optional<JsonValue> object() {
        JsonValue v;
        v.kind = JsonValue::Kind::Object;
        ++at_;
        space();
        if (take("}")) return v;
        for (;;) {
            space();
            if (at_ >= text_.size() || text_[at_] != '"') return fail("a key that is not a string");
            std::optional<std::string> key = string();
            if (!key) return std::nullopt;
            space();
            if (!take(":")) return fail("no ':' after a key");
            std::optional<JsonValue> member = value();
            if (!member) return std::nullopt;
            v.keys.push_back(*key);
            v.members[*key] = std::move(*member);
            space();
            if (take("}")) return v;
            if (!take(",")) return fail("neither ',' nor '}' in an object");
        }
    }

    static void appendUtf8(std::string& out, uint32_t code) {
        if (code < 0x80) out += char(code);
        else if (code < 0x800) out += char(0xC0 | (code >> 6)), out += char(0x80 | (code & 0x3F));
        else if (code < 0x10000)
            out += char(0xE0 | (code >> 12)), out += char(0x80 | ((code >> 6) & 0x3F)), out += char(0x80 | (code & 0x3F));
        else
            out += char(0xF0 | (code >> 18)), out += char(0x80 | ((code >> 12) & 0x3F)),
                out += char(0x80 | ((code >> 6) & 0x3F)), out += char(0x80 | (code & 0x3F));
    }

    std::optional<uint32_t> hex4() {
        if (at_ + 4 > text_.size()) return std::nullopt;
        uint32_t code = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text_[at_++];
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) return std::nullopt;
            code = code * 16 + static_cast<uint32_t>(digit);
        }
        return code;
    }

    // A string's text; raw bytes must be valid UTF-8 and control characters escaped.
    std::optional<std::string> string() {
        ++at_;  // the opening quote
        std::string out;
        while (at_ < text_.size()) {
            const auto byte = static_cast<unsigned char>(text_[at_]);
            if (byte == '"') {
                ++at_;
                return out;
            }
            if (byte < 0x20) return fail("a control character not escaped"), std::nullopt;
            if (byte == '\\') {
                ++at_;
                if (at_ >= text_.size()) break;
                const char e = text_[at_++];
                const std::string_view simple = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
                if (const size_t k = simple.find(e); k != std::string_view::npos) {
                    out += meant[k];
                    continue;
                }
                if (e != 'u') return fail("an escape JSON does not have"), std::nullopt;
                std::optional<uint32_t> code = hex4();
                if (!code) return fail("a \\u escape without four hex digits"), std::nullopt;
                if (*code >= 0xD800 && *code < 0xDC00 && take("\\u")) {  // a surrogate pair
                    const std::optional<uint32_t> low = hex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF) return fail("a broken surrogate pair"), std::nullopt;
                    appendUtf8(out, 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00));
                } else if (*code >= 0xDC80 && *code <= 0xDCFF) {
                    out += char(*code - 0xDC00);  // an escaped byte that is not UTF-8
                } else {
                    appendUtf8(out, *code);
                }
                continue;
            }
            size_t length = byte < 0x80 ? 1 : byte >= 0xC2 && byte < 0xE0 ? 2 : byte >= 0xE0 && byte < 0xF0 ? 3 : byte >= 0xF0 && byte <= 0xF4 ? 4 : 0;
            if (length == 0 || at_ + length > text_.size()) return fail("bytes that are not UTF-8"), std::nullopt;
            for (size_t k = 1; k < length; ++k)
                if ((static_cast<unsigned char>(text_[at_ + k]) & 0xC0) != 0x80) return fail("bytes that are not UTF-8"), std::nullopt;
            out.append(text_.substr(at_, length));
            at_ += length;
        }
        return fail("a string without its closing quote"), std::nullopt;
    }

    std::string_view text_;
    size_t at_ = 0;
    std::string error_;
};

}  // namespace vistereo::testsupport
