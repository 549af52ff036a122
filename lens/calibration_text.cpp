#include "lens/calibration_text.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace vistereo {

const CalibrationNode* CalibrationNode::find(std::string_view key) const {
    if (kind != Kind::Mapping) return nullptr;
    for (const CalibrationNode& entry : entries)
        if (entry.key == key) return &entry;
    return nullptr;
}

namespace {

// Thrown inside the readers only, caught at their door: the line and what is wrong.
struct Refusal {
    int line;
    std::string what;
};

[[noreturn]] void refuse(int line, std::string what) { throw Refusal{line, std::move(what)}; }

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && (isBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Without white space of any kind (line ends too) at either end.
std::string_view withoutSpace(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// Counts the nodes made, against kMaxCalibrationNodes.
struct NodeBudget {
    size_t made = 0;
    void take(int line) {
        if (++made > kMaxCalibrationNodes) refuse(line, "more than " + std::to_string(kMaxCalibrationNodes) + " values");
    }
};

// ---- YAML -------------------------------------------------------------------------------------------------------

struct Line {
    int number = 0;  // 1-based
    int indent = 0;  // leading spaces
    std::string text;  // without the indent, the comment and trailing blanks
};

// The text without a comment: a '#' that starts the text or follows a blank, outside quotes.
std::string_view withoutComment(std::string_view s, int number) {
    char quote = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (quote) {
            if (c == quote) {
                if (quote == '\'' && i + 1 < s.size() && s[i + 1] == '\'') ++i;  // '' inside single quotes
                else quote = 0;
            } else if (quote == '"' && c == '\\') {
                ++i;
            }
        } else if (c == '"' || c == '\'') {
            // A quote opens a quoted scalar only where a scalar can start.
            if (i == 0 || isBlank(s[i - 1]) || s[i - 1] == '[' || s[i - 1] == '{' || s[i - 1] == ',' || s[i - 1] == ':' ||
                s[i - 1] == '-')
                quote = c;
        } else if (c == '#' && (i == 0 || isBlank(s[i - 1]))) {
            return s.substr(0, i);
        } else if (c == '\t' && trimmed(s.substr(0, i)).empty()) {
            refuse(number, "a tab in the indentation (YAML indents with spaces)");
        }
    }
    return s;
}

std::vector<Line> logicalLines(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::vector<Line> lines;
    bool started = false, ended = false;
    int number = 0;
    size_t start = 0;
    while (start < text.size() && !ended) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (raw.find('\0') != std::string_view::npos) refuse(number, "a NUL byte: this is no text file");
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        if (raw.substr(0, 1) == "%") {
            if (started) refuse(number, "a directive after the document began");
            continue;
        }
        if (raw.substr(0, 3) == "---" && trimmed(raw.substr(3)).empty()) {
            if (started) refuse(number, "a second document ('---'): give one calibration a file");
            started = true;
            continue;
        }
        if (raw.substr(0, 3) == "..." && trimmed(raw.substr(3)).empty()) {
            ended = true;
            continue;
        }
        const std::string_view content = trimmed(withoutComment(raw, number));
        if (content.empty()) continue;
        started = true;
        Line line;
        line.number = number;
        line.indent = static_cast<int>(raw.find_first_not_of(' '));
        line.text = std::string(content);
        lines.push_back(std::move(line));
    }
    return lines;
}

// A quoted scalar starting at s[pos] (which is the quote): its text, and pos past the closing quote.
std::string quotedScalar(std::string_view s, size_t& pos, int line) {
    const char quote = s[pos++];
    std::string out;
    while (pos < s.size()) {
        const char c = s[pos++];
        if (c == quote) {
            if (quote == '\'' && pos < s.size() && s[pos] == '\'') {
                out += '\'', ++pos;
                continue;
            }
            return out;
        }
        if (quote == '"' && c == '\\') {
            if (pos >= s.size()) break;
            const char e = s[pos++];
            switch (e) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                default: refuse(line, std::string("the escape \\") + e + " in a quoted text is not read");
            }
            continue;
        }
        out += c;
    }
    refuse(line, std::string("a quoted text without its closing ") + quote);
}

void refuseUnread(std::string_view value, int line) {
    if (value.empty()) return;
    switch (value.front()) {
        case '&': refuse(line, "an anchor ('&'): calibration files have none, and it is not read");
        case '*': refuse(line, "an alias ('*'): calibration files have none, and it is not read");
        case '|':
        case '>': refuse(line, "a block scalar ('|' or '>'): calibration files have none, and it is not read");
        case '@':
        case '`': refuse(line, std::string("'") + value.front() + "' cannot start a value");
        default: break;
    }
}

// Flow collections ("[...]", "{...}") over one text, which may join several lines.
class FlowReader {
public:
    FlowReader(std::string_view text, int line, NodeBudget& budget) : s_(text), line_(line), budget_(budget) {}

    CalibrationNode readAll(int depth) {
        CalibrationNode node = value(depth);
        skip();
        if (pos_ != s_.size()) refuse(line_, "'" + std::string(s_.substr(pos_, 20)) + "' after a closed list");
        return node;
    }

private:
    void skip() {
        while (pos_ < s_.size() && (isBlank(s_[pos_]) || s_[pos_] == '\n')) ++pos_;
    }

    CalibrationNode value(int depth) {
        if (depth > kMaxCalibrationDepth) refuse(line_, "lists nested deeper than " + std::to_string(kMaxCalibrationDepth));
        budget_.take(line_);
        skip();
        CalibrationNode node;
        node.line = line_;
        if (pos_ >= s_.size()) refuse(line_, "a list ends where a value should be");
        refuseUnread(s_.substr(pos_), line_);
        const char c = s_[pos_];
        if (c == '[' || c == '{') {
            const bool mapping = c == '{';
            const char close = mapping ? '}' : ']';
            node.kind = mapping ? CalibrationNode::Kind::Mapping : CalibrationNode::Kind::Sequence;
            ++pos_;
            skip();
            if (pos_ < s_.size() && s_[pos_] == close) return ++pos_, node;
            for (;;) {
                if (mapping) {
                    skip();
                    std::string key = scalarText(true);
                    skip();
                    if (pos_ >= s_.size() || s_[pos_] != ':') refuse(line_, "'" + key + "' in {...} has no ':'");
                    ++pos_;
                    if (node.find(key)) refuse(line_, "the key '" + key + "' twice");
                    node.entries.push_back(value(depth + 1));
                    node.entries.back().key = std::move(key);
                } else {
                    node.items.push_back(value(depth + 1));
                }
                skip();
                if (pos_ >= s_.size()) refuse(line_, std::string("a list without its closing '") + close + "'");
                if (s_[pos_] == close) return ++pos_, node;
                if (s_[pos_] != ',') refuse(line_, std::string("expected ',' or '") + close + "' in a list, not '" + s_[pos_] + "'");
                ++pos_;
                skip();
                if (pos_ < s_.size() && s_[pos_] == close) return ++pos_, node;  // a final comma
            }
        }
        if (c == ']' || c == '}' || c == ',') refuse(line_, std::string("'") + c + "' where a value should be");
        node.quoted = c == '"' || c == '\'';
        node.text = scalarText(false);
        return node;
    }

    // A quoted or plain scalar; a plain one ends at ',', ']', '}' (and, as a key, ':').
    std::string scalarText(bool key) {
        if (pos_ < s_.size() && (s_[pos_] == '"' || s_[pos_] == '\'')) return quotedScalar(s_, pos_, line_);
        const size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] != ',' && s_[pos_] != ']' && s_[pos_] != '}' && s_[pos_] != '[' &&
               s_[pos_] != '{' && !(key && s_[pos_] == ':'))
            ++pos_;
        return std::string(trimmed(s_.substr(start, pos_ - start)));
    }

    std::string_view s_;
    size_t pos_ = 0;
    int line_;
    NodeBudget& budget_;
};

// Where a block mapping's key ends: the first ':' followed by a blank or the end, outside quotes; npos if none.
size_t keyEnd(std::string_view s) {
    if (s.empty() || s.front() == '[' || s.front() == '{') return std::string_view::npos;
    size_t i = 0;
    if (s.front() == '"' || s.front() == '\'') {
        const char quote = s.front();
        for (i = 1; i < s.size() && s[i] != quote; ++i)
            if (quote == '"' && s[i] == '\\') ++i;
        ++i;
    }
    for (; i < s.size(); ++i)
        if (s[i] == ':' && (i + 1 == s.size() || isBlank(s[i + 1]))) return i;
    return std::string_view::npos;
}

class BlockReader {
public:
    explicit BlockReader(std::vector<Line> lines) : lines_(std::move(lines)) {}

    CalibrationNode document() {
        if (lines_.empty()) refuse(1, "the file holds nothing");
        CalibrationNode root = block(lines_.front().indent, 0);
        if (at_ < lines_.size()) refuse(lines_[at_].number, "this line is indented less than the document began");
        return root;
    }

private:
    bool isSequenceItem(const Line& l) const { return l.text == "-" || l.text.rfind("- ", 0) == 0; }

    // The node whose lines start at at_ with exactly `indent`.
    CalibrationNode block(int indent, int depth) {
        if (depth > kMaxCalibrationDepth) refuse(lines_[at_].number, "nested deeper than " + std::to_string(kMaxCalibrationDepth));
        const Line& first = lines_[at_];
        if (isSequenceItem(first)) return sequence(indent, depth);
        if (keyEnd(first.text) != std::string_view::npos) return mapping(indent, depth);
        // A value on a line of its own.
        ++at_;
        return inlineValue(first.text, first.number, depth);
    }

    CalibrationNode mapping(int indent, int depth) {
        CalibrationNode node;
        node.kind = CalibrationNode::Kind::Mapping;
        node.line = lines_[at_].number;
        budget_.take(node.line);
        while (at_ < lines_.size() && lines_[at_].indent == indent) {
            const Line& l = lines_[at_];
            if (isSequenceItem(l)) refuse(l.number, "a list item among the keys of a mapping");
            const size_t colon = keyEnd(l.text);
            if (colon == std::string_view::npos) refuse(l.number, "'" + l.text + "' is not 'key: value'");
            std::string key(trimmed(std::string_view(l.text).substr(0, colon)));
            if (!key.empty() && (key.front() == '"' || key.front() == '\'')) {
                size_t p = 0;
                key = quotedScalar(key, p, l.number);
            }
            if (key.empty()) refuse(l.number, "a key that is empty");
            if (node.find(key)) refuse(l.number, "the key '" + key + "' twice");
            std::string rest(trimmed(std::string_view(l.text).substr(colon + 1)));
            const int number = l.number;
            ++at_;
            std::string tag;
            if (rest.rfind("!", 0) == 0) {  // a tag, then perhaps the value
                const size_t blank = rest.find(' ');
                tag = rest.substr(0, blank);
                rest = blank == std::string::npos ? "" : std::string(trimmed(std::string_view(rest).substr(blank)));
            }
            CalibrationNode value;
            if (!rest.empty()) {
                value = inlineValue(rest, number, depth + 1);
            } else if (at_ < lines_.size() && (lines_[at_].indent > indent ||
                                               (lines_[at_].indent == indent && isSequenceItem(lines_[at_])))) {
                // The value below: more indented, or a list at the key's own indent (as Kalibr writes T_cn_cnm1).
                value = block(lines_[at_].indent, depth + 1);
            } else {
                value.line = number;  // "key:" with nothing: an empty value
                budget_.take(number);
            }
            value.tag = tag;
            value.key = std::move(key);
            node.entries.push_back(std::move(value));
        }
        if (at_ < lines_.size() && lines_[at_].indent > indent)
            refuse(lines_[at_].number, "this line is indented more than the keys before it");
        return node;
    }

    CalibrationNode sequence(int indent, int depth) {
        CalibrationNode node;
        node.kind = CalibrationNode::Kind::Sequence;
        node.line = lines_[at_].number;
        budget_.take(node.line);
        while (at_ < lines_.size() && lines_[at_].indent == indent && isSequenceItem(lines_[at_])) {
            const Line& l = lines_[at_];
            const std::string rest(trimmed(std::string_view(l.text).substr(1)));
            const int number = l.number;
            ++at_;
            if (rest.empty()) {
                if (at_ < lines_.size() && lines_[at_].indent > indent) node.items.push_back(block(lines_[at_].indent, depth + 1));
                else refuse(number, "a list item without a value");
            } else if (keyEnd(rest) != std::string_view::npos) {
                refuse(number, "a mapping inside a list item: calibration files have none, and it is not read");
            } else {
                node.items.push_back(inlineValue(rest, number, depth + 1));
            }
        }
        if (at_ < lines_.size() && lines_[at_].indent > indent)
            refuse(lines_[at_].number, "this line is indented more than the list before it");
        return node;
    }

    // A value given on its key's line (or a list item's): a flow collection, which may run on over the lines
    // below until its brackets close, or a scalar.
    CalibrationNode inlineValue(std::string text, int number, int depth) {
        refuseUnread(text, number);
        if (text.front() == '[' || text.front() == '{') {
            while (!closes(text)) {
                if (at_ >= lines_.size()) refuse(number, "a list that is never closed");
                text += '\n' + lines_[at_++].text;
            }
            return FlowReader(text, number, budget_).readAll(depth);
        }
        budget_.take(number);
        CalibrationNode node;
        node.line = number;
        if (text.front() == '"' || text.front() == '\'') {
            size_t p = 0;
            node.text = quotedScalar(text, p, number);
            node.quoted = true;
            if (!trimmed(std::string_view(text).substr(p)).empty())
                refuse(number, "'" + text.substr(p) + "' after a quoted text");
        } else {
            if (keyEnd(text) != std::string_view::npos)
                refuse(number, "'" + text + "': a mapping cannot start on its key's line");
            node.text = text;
        }
        return node;
    }

    // Whether the brackets of a flow collection balance (outside quotes).
    static bool closes(const std::string& text) {
        int open = 0;
        char quote = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (quote) {
                if (c == '\\' && quote == '"') ++i;
                else if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[' || c == '{') {
                ++open;
            } else if (c == ']' || c == '}') {
                if (--open == 0) return true;
            }
        }
        return false;
    }

    std::vector<Line> lines_;
    size_t at_ = 0;
    NodeBudget budget_;
};

// ---- XML ----------------------------------------------------------------------------------------------------------

class XmlReader {
public:
    explicit XmlReader(std::string_view text) : s_(text) {
        if (s_.substr(0, 3) == "\xEF\xBB\xBF") s_.remove_prefix(3);
    }

    CalibrationNode document() {
        skipMisc();
        if (s_.substr(pos_, 5) == "<?xml") {
            const size_t end = s_.find("?>", pos_);
            if (end == std::string_view::npos) refuse(line(), "the XML declaration is not closed");
            pos_ = end + 2;
        }
        skipMisc();
        std::string name;
        std::vector<std::pair<std::string, std::string>> attributes;
        bool empty = false;
        if (!startTag(name, attributes, empty)) refuse(line(), "no XML element: the file holds no calibration");
        if (name != "opencv_storage") refuse(line(), "the outer element is <" + name + ">, not <opencv_storage>");
        CalibrationNode root = empty ? CalibrationNode{} : content(name, 1);
        root.kind = CalibrationNode::Kind::Mapping;  // an empty storage is an empty mapping
        skipMisc();
        if (pos_ != s_.size()) refuse(line(), "something after </opencv_storage>");
        return root;
    }

private:
    // The line of pos_, counted on from where it was last asked (the reader only moves forward).
    int line() {
        const size_t to = std::min(pos_, s_.size());
        if (to > counted_) lineAtCounted_ += static_cast<int>(std::count(s_.begin() + counted_, s_.begin() + to, '\n'));
        counted_ = std::max(counted_, to);
        return lineAtCounted_;
    }

    void skipSpace() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    // Blanks and comments.
    void skipMisc() {
        for (;;) {
            skipSpace();
            if (s_.substr(pos_, 4) != "<!--") return;
            const size_t end = s_.find("-->", pos_ + 4);
            if (end == std::string_view::npos) refuse(line(), "a comment that is never closed");
            pos_ = end + 3;
        }
    }

    std::string nameAt() {
        const size_t start = pos_;
        while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_' ||
                                    s_[pos_] == '-' || s_[pos_] == '.' || s_[pos_] == ':'))
            ++pos_;
        if (pos_ == start) refuse(line(), "an element without a name");
        return std::string(s_.substr(start, pos_ - start));
    }

    // "<name a="v" ...>" or "<name/>" at pos_; false when pos_ holds no start tag.
    bool startTag(std::string& name, std::vector<std::pair<std::string, std::string>>& attributes, bool& empty) {
        if (pos_ >= s_.size() || s_[pos_] != '<' || s_.substr(pos_, 2) == "</") return false;
        if (s_.substr(pos_, 2) == "<!" || s_.substr(pos_, 2) == "<?")
            refuse(line(), "a DOCTYPE, CDATA or processing instruction: a calibration file has none");
        ++pos_;
        name = nameAt();
        for (;;) {
            skipSpace();
            if (pos_ >= s_.size()) refuse(line(), "the element <" + name + "> is not closed");
            if (s_[pos_] == '>') return ++pos_, empty = false, true;
            if (s_.substr(pos_, 2) == "/>") return pos_ += 2, empty = true, true;
            std::string attribute = nameAt();
            skipSpace();
            if (pos_ >= s_.size() || s_[pos_] != '=') refuse(line(), "the attribute " + attribute + " has no value");
            ++pos_;
            skipSpace();
            if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\'')) refuse(line(), "the attribute " + attribute + "'s value is not quoted");
            const char quote = s_[pos_++];
            const size_t end = s_.find(quote, pos_);
            if (end == std::string_view::npos) refuse(line(), "the attribute " + attribute + "'s value is not closed");
            attributes.emplace_back(std::move(attribute), decoded(s_.substr(pos_, end - pos_)));
            pos_ = end + 1;
        }
    }

    std::string decoded(std::string_view raw) {
        std::string out;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '&') {
                out += raw[i];
                continue;
            }
            const size_t semi = raw.find(';', i);
            const std::string_view entity = semi == std::string_view::npos ? raw.substr(i) : raw.substr(i, semi - i + 1);
            if (entity == "&lt;") out += '<';
            else if (entity == "&gt;") out += '>';
            else if (entity == "&amp;") out += '&';
            else if (entity == "&quot;") out += '"';
            else if (entity == "&apos;") out += '\'';
            else refuse(line(), "the entity " + std::string(entity.substr(0, 12)) + " is not read");
            i += entity.size() - 1;
        }
        return out;
    }

    // What lies between <name ...> and </name>.
    CalibrationNode content(const std::string& name, int depth) {
        if (depth > kMaxCalibrationDepth) refuse(line(), "elements nested deeper than " + std::to_string(kMaxCalibrationDepth));
        budget_.take(line());
        CalibrationNode node;
        node.line = line();
        std::string text;
        bool children = false, allUnderscores = true;
        for (;;) {
            const size_t textEnd = s_.find('<', pos_);
            if (textEnd == std::string_view::npos) refuse(node.line, "the element <" + name + "> is never closed");
            text += decoded(s_.substr(pos_, textEnd - pos_));
            pos_ = textEnd;
            if (s_.substr(pos_, 4) == "<!--") {
                skipMisc();
                continue;
            }
            if (s_.substr(pos_, 2) == "</") {
                pos_ += 2;
                const std::string closing = nameAt();
                skipSpace();
                if (pos_ >= s_.size() || s_[pos_] != '>') refuse(line(), "the closing tag </" + closing + " is not closed");
                ++pos_;
                if (closing != name) refuse(line(), "</" + closing + "> closes <" + name + ">");
                break;
            }
            std::string child;
            std::vector<std::pair<std::string, std::string>> attributes;
            bool empty = false;
            startTag(child, attributes, empty);
            CalibrationNode value = empty ? CalibrationNode{} : content(child, depth + 1);
            if (empty) value.line = line();
            for (const auto& [a, v] : attributes)
                if (a == "type_id") value.tag = v;
            children = true;
            allUnderscores = allUnderscores && child == "_";
            if (child != "_") {
                if (node.find(child)) refuse(value.line, "the element <" + child + "> twice in <" + name + ">");
                node.kind = CalibrationNode::Kind::Mapping;
                value.key = std::move(child);
                node.entries.push_back(std::move(value));
            } else {
                node.items.push_back(std::move(value));
            }
        }
        if (children) {
            if (!withoutSpace(text).empty()) refuse(node.line, "<" + name + "> holds both text and elements");
            if (!allUnderscores && !node.items.empty()) refuse(node.line, "<" + name + "> mixes <_> items with named elements");
            if (allUnderscores) node.kind = CalibrationNode::Kind::Sequence;
            return node;
        }
        // Text: a quoted string, one word, or the words of a sequence.
        const std::string_view words = withoutSpace(text);
        if (words.size() >= 2 && words.front() == '"' && words.back() == '"') {
            node.text = std::string(words.substr(1, words.size() - 2)), node.quoted = true;
            return node;
        }
        std::vector<std::string> split;
        size_t i = 0;
        while (i < words.size()) {
            while (i < words.size() && std::isspace(static_cast<unsigned char>(words[i]))) ++i;
            const size_t start = i;
            while (i < words.size() && !std::isspace(static_cast<unsigned char>(words[i]))) ++i;
            if (i > start) split.emplace_back(words.substr(start, i - start));
        }
        if (split.size() <= 1) {
            node.text = split.empty() ? "" : split.front();
            return node;
        }
        node.kind = CalibrationNode::Kind::Sequence;
        for (std::string& w : split) {
            budget_.take(node.line);
            CalibrationNode item;
            item.line = node.line, item.text = std::move(w);
            node.items.push_back(std::move(item));
        }
        return node;
    }

    std::string_view s_;
    size_t pos_ = 0;
    size_t counted_ = 0;
    int lineAtCounted_ = 1;
    NodeBudget budget_;
};

}  // namespace

CalibrationText readCalibrationYaml(std::string_view text) {
    CalibrationText out;
    try {
        out.root = BlockReader(logicalLines(text)).document();
    } catch (const Refusal& r) {
        out.error = "line " + std::to_string(r.line) + ": " + r.what;
    }
    return out;
}

CalibrationText readCalibrationXml(std::string_view text) {
    CalibrationText out;
    try {
        out.root = XmlReader(text).document();
    } catch (const Refusal& r) {
        out.error = "line " + std::to_string(r.line) + ": " + r.what;
    }
    return out;
}

}  // namespace vistereo
