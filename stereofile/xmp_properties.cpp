#include "stereofile/xmp_properties.h"

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

namespace vistereo::media {
namespace {

constexpr size_t kMaxDepth = 512;
constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isNameChar(char c) {
    return !isSpace(c) && c != '<' && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' && c != '&' &&
           c != '?' && c != '!';
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Appends `raw` with its references decoded; false on a bad reference.
bool decodeText(std::string_view raw, std::string& out) {
    size_t i = 0;
    while (i < raw.size()) {
        const size_t amp = raw.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(raw.substr(i));
            return true;
        }
        out.append(raw.substr(i, amp - i));
        const size_t semi = raw.substr(0, amp + 13).find(';', amp);  // references are short: look no further
        if (semi == std::string_view::npos) return false;
        const std::string_view ref = raw.substr(amp + 1, semi - amp - 1);
        if (ref == "lt") out.push_back('<');
        else if (ref == "gt") out.push_back('>');
        else if (ref == "amp") out.push_back('&');
        else if (ref == "quot") out.push_back('"');
        else if (ref == "apos") out.push_back('\'');
        else if (ref.size() >= 2 && ref[0] == '#') {
            const bool hex = ref[1] == 'x';
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            if (digits.empty()) return false;
            uint32_t cp = 0;
            for (const char c : digits) {
                uint32_t d;
                if (c >= '0' && c <= '9') d = uint32_t(c - '0');
                else if (hex && c >= 'a' && c <= 'f') d = uint32_t(c - 'a' + 10);
                else if (hex && c >= 'A' && c <= 'F') d = uint32_t(c - 'A' + 10);
                else return false;
                cp = cp * (hex ? 16 : 10) + d;
                if (cp > 0x10FFFF) return false;
            }
            if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
            appendUtf8(out, cp);
        } else {
            return false;
        }
        i = semi + 1;
    }
    return true;
}

struct QName {
    std::string_view prefix, local;
};

QName splitName(std::string_view name) {
    const size_t colon = name.find(':');
    if (colon == std::string_view::npos) return {{}, name};
    return {name.substr(0, colon), name.substr(colon + 1)};
}

// At most this much of a name from the input goes into an error message.
std::string quoted(std::string_view name) { return "\"" + std::string(name.substr(0, 40)) + "\""; }

struct Element {
    std::string_view name;                   // as written, for the end tag
    std::vector<std::string_view> declared;  // prefixes given an xmlns declaration here
    enum class Role { Other, Rdf, Description, Property } role = Role::Other;
    bool hasChildElements = false;
    XmpProperty property;  // Role::Property: its name and text so far
};

class Reader {
public:
    explicit Reader(std::string_view xml) : xml_(xml) {}

    XmpProperties run() {
        while (pos_ < xml_.size() && result_.error.empty()) step();
        if (result_.error.empty() && !stack_.empty()) fail("unterminated element " + quoted(stack_.back().name));
        if (!result_.ok()) result_.properties.clear();
        return std::move(result_);
    }

private:
    void fail(std::string why) {
        if (result_.error.empty()) result_.error = "XMP is not well-formed XML: " + std::move(why);
    }

    bool startsWith(std::string_view s) const { return xml_.substr(pos_, s.size()) == s; }

    // Skips past `terminator`, or fails.
    bool skipPast(std::string_view terminator, const char* what) {
        const size_t end = xml_.find(terminator, pos_);
        if (end == std::string_view::npos) {
            fail(std::string("unterminated ") + what);
            return false;
        }
        pos_ = end + terminator.size();
        return true;
    }

    // The namespace a prefix stands for where the reader is, in constant time.
    std::optional<std::string_view> resolve(std::string_view prefix) const {
        if (prefix == "xml") return kXmlNamespace;
        const auto it = namespaces_.find(prefix);
        if (it == namespaces_.end() || it->second.empty()) return std::nullopt;
        return std::string_view(it->second.back());
    }

    void text(std::string_view raw) {
        if (stack_.empty() || stack_.back().role != Element::Role::Property) {
            // Outside property values only white space matters; still check references.
            std::string ignored;
            if (raw.find('&') != std::string_view::npos && !decodeText(raw, ignored)) fail("bad character reference");
            return;
        }
        if (!decodeText(raw, stack_.back().property.value)) fail("bad character reference");
    }

    void step() {
        if (xml_[pos_] != '<') {
            const size_t lt = xml_.find('<', pos_);
            const size_t end = lt == std::string_view::npos ? xml_.size() : lt;
            text(xml_.substr(pos_, end - pos_));
            pos_ = end;
            return;
        }
        if (startsWith("<?")) { skipPast("?>", "processing instruction"); return; }
        if (startsWith("<!--")) { skipPast("-->", "comment"); return; }
        if (startsWith("<![CDATA[")) {
            const size_t start = pos_ + 9;
            const size_t end = xml_.find("]]>", start);
            if (end == std::string_view::npos) { fail("unterminated CDATA section"); return; }
            if (!stack_.empty() && stack_.back().role == Element::Role::Property)
                stack_.back().property.value.append(xml_.substr(start, end - start));
            pos_ = end + 3;
            return;
        }
        if (startsWith("<!")) { fail("DOCTYPE or declaration not allowed"); return; }
        if (startsWith("</")) { endTag(); return; }
        startTag();
    }

    std::string_view name() {
        const size_t start = pos_;
        while (pos_ < xml_.size() && isNameChar(xml_[pos_])) ++pos_;
        return xml_.substr(start, pos_ - start);
    }

    void skipSpace() {
        while (pos_ < xml_.size() && isSpace(xml_[pos_])) ++pos_;
    }

    void endTag() {
        pos_ += 2;
        const std::string_view n = name();
        skipSpace();
        if (pos_ >= xml_.size() || xml_[pos_] != '>') { fail("bad end tag"); return; }
        ++pos_;
        if (stack_.empty() || stack_.back().name != n) { fail("mismatched end tag " + quoted(n)); return; }
        closeElement();
    }

    void closeElement() {
        Element& e = stack_.back();
        if (e.role == Element::Role::Property && !e.hasChildElements)
            result_.properties.push_back(std::move(e.property));
        for (const std::string_view prefix : e.declared) namespaces_[prefix].pop_back();
        stack_.pop_back();
    }

    void startTag() {
        ++pos_;
        Element e;
        e.name = name();
        if (e.name.empty()) { fail("bad start tag"); return; }
        std::vector<std::pair<std::string_view, std::string>> attributes;
        bool selfClosing = false;
        for (;;) {
            const size_t before = pos_;
            skipSpace();
            if (pos_ >= xml_.size()) { fail("unterminated start tag"); return; }
            if (xml_[pos_] == '>') { ++pos_; break; }
            if (startsWith("/>")) { pos_ += 2; selfClosing = true; break; }
            if (pos_ == before) { fail("attributes must be separated by white space"); return; }
            const std::string_view attrName = name();
            if (attrName.empty()) { fail("bad attribute"); return; }
            skipSpace();
            if (pos_ >= xml_.size() || xml_[pos_] != '=') { fail("attribute without value"); return; }
            ++pos_;
            skipSpace();
            if (pos_ >= xml_.size() || (xml_[pos_] != '"' && xml_[pos_] != '\'')) { fail("attribute value not quoted"); return; }
            const char quote = xml_[pos_++];
            const size_t close = xml_.find(quote, pos_);
            if (close == std::string_view::npos) { fail("unterminated attribute value"); return; }
            const std::string_view raw = xml_.substr(pos_, close - pos_);
            if (raw.find('<') != std::string_view::npos) { fail("'<' in attribute value"); return; }
            pos_ = close + 1;
            std::string value;
            if (!decodeText(raw, value)) { fail("bad character reference"); return; }
            attributes.emplace_back(attrName, std::move(value));
        }
        if (stack_.size() >= kMaxDepth) { fail("elements nested too deeply"); return; }
        // The element's own declarations are in force for its name and attributes.
        size_t declarations = 0;
        for (const auto& [attrName, value] : attributes) {
            if (attrName != "xmlns" && attrName.substr(0, 6) != "xmlns:") continue;
            const std::string_view prefix = attrName == "xmlns" ? std::string_view() : attrName.substr(6);
            namespaces_[prefix].push_back(value);
            e.declared.push_back(prefix);
            ++declarations;
        }

        // The element's role, by its parent's and its own resolved name.
        const Element::Role parentRole = stack_.empty() ? Element::Role::Other : stack_.back().role;
        if (!stack_.empty()) stack_.back().hasChildElements = true;
        stack_.push_back(std::move(e));
        Element& self = stack_.back();
        const QName q = splitName(self.name);
        const std::optional<std::string_view> ns = resolve(q.prefix);
        const bool inRdf = ns && *ns == kRdfNamespace;
        if (inRdf && q.local == "RDF") self.role = Element::Role::Rdf;
        else if (parentRole == Element::Role::Rdf && inRdf && q.local == "Description") self.role = Element::Role::Description;
        else if (parentRole == Element::Role::Description && ns) {
            self.role = Element::Role::Property;
            self.property.ns = std::string(*ns);
            self.property.name = std::string(q.local);
        }

        if (self.role == Element::Role::Description) {
            for (auto& [attrName, value] : attributes) {
                const QName a = splitName(attrName);
                if (a.prefix.empty() || a.prefix == "xmlns") continue;
                const std::optional<std::string_view> ans = resolve(a.prefix);
                if (!ans || *ans == kRdfNamespace || *ans == kXmlNamespace) continue;
                result_.properties.push_back({std::string(*ans), std::string(a.local), std::move(value)});
            }
        }
        if (selfClosing) {
            // <GPano:X/> is an empty value; <GPano:X rdf:resource="..."/> is not simple text.
            if (self.role == Element::Role::Property && attributes.size() > declarations) self.hasChildElements = true;
            closeElement();
        }
    }

    std::string_view xml_;
    size_t pos_ = 0;
    std::vector<Element> stack_;
    std::unordered_map<std::string_view, std::vector<std::string>> namespaces_;  // prefix -> URIs, innermost last
    XmpProperties result_;
};

}  // namespace

const std::string* XmpProperties::find(std::string_view ns, std::string_view name) const {
    for (const XmpProperty& p : properties)
        if (p.ns == ns && p.name == name) return &p.value;
    return nullptr;
}

XmpProperties readXmpProperties(std::string_view xml) { return Reader(xml).run(); }

std::string escapeXmlAttribute(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\t': out += "&#x9;"; break;
            case '\n': out += "&#xA;"; break;
            case '\r': out += "&#xD;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

}  // namespace vistereo::media
