#include "registry/lens_registry.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/atomic_file.h"
#include "base/regular_file.h"
#include "registry/text_encoding.h"
#include "base/text_numbers.h"

namespace vistereo {

namespace {
#define VISTEREO_NUMBER(path) [](LensSettings& s) -> double& { return s.path; }
#define VISTEREO_CODE(path) [](LensSettings& s) -> int32_t& { return s.path; }
}  // namespace

const std::array<LensField, kLensFieldCount> kLensFields = {{
    {"name", &LensRecord::name, nullptr, nullptr, nullptr},
    {"magnification", &LensRecord::magnification, nullptr, VISTEREO_NUMBER(magnification), nullptr},
    {"sineK", &LensRecord::sineK, nullptr, VISTEREO_NUMBER(sineK), nullptr},
    {"theta1", &LensRecord::theta1, nullptr, VISTEREO_NUMBER(quadratic.theta1), nullptr},
    {"theta2", &LensRecord::theta2, nullptr, VISTEREO_NUMBER(quadratic.theta2), nullptr},
    {"theta3", &LensRecord::theta3, nullptr, VISTEREO_NUMBER(quadratic.theta3), nullptr},
    {"a1", &LensRecord::a1, nullptr, VISTEREO_NUMBER(quadratic.a1), nullptr},
    {"b1", &LensRecord::b1, nullptr, VISTEREO_NUMBER(quadratic.b1), nullptr},
    {"c1", &LensRecord::c1, nullptr, VISTEREO_NUMBER(quadratic.c1), nullptr},
    {"a2", &LensRecord::a2, nullptr, VISTEREO_NUMBER(quadratic.a2), nullptr},
    {"b2", &LensRecord::b2, nullptr, VISTEREO_NUMBER(quadratic.b2), nullptr},
    {"c2", &LensRecord::c2, nullptr, VISTEREO_NUMBER(quadratic.c2), nullptr},
    {"a3", &LensRecord::a3, nullptr, VISTEREO_NUMBER(quadratic.a3), nullptr},
    {"b3", &LensRecord::b3, nullptr, VISTEREO_NUMBER(quadratic.b3), nullptr},
    {"c3", &LensRecord::c3, nullptr, VISTEREO_NUMBER(quadratic.c3), nullptr},
    {"a4", &LensRecord::a4, nullptr, VISTEREO_NUMBER(quadratic.a4), nullptr},
    {"b4", &LensRecord::b4, nullptr, VISTEREO_NUMBER(quadratic.b4), nullptr},
    {"c4", &LensRecord::c4, nullptr, VISTEREO_NUMBER(quadratic.c4), nullptr},
    {"radiusMode", nullptr, &LensRecord::radiusMode, nullptr, VISTEREO_CODE(radiusMode)},
    {"radiusDots", nullptr, &LensRecord::radiusDots, nullptr, VISTEREO_CODE(radiusDots)},
    {"mappingKind", nullptr, &LensRecord::mappingKind, nullptr, VISTEREO_CODE(mappingKind)},
    {"axisX", nullptr, &LensRecord::axisX, nullptr, VISTEREO_CODE(axisX)},
    {"axisY", nullptr, &LensRecord::axisY, nullptr, VISTEREO_CODE(axisY)},
    {"axisMode", nullptr, &LensRecord::axisMode, nullptr, VISTEREO_CODE(axisMode)},
}};
#undef VISTEREO_NUMBER
#undef VISTEREO_CODE

namespace {

constexpr int kTextLines = kLensTextFieldCount;
constexpr int kLinesPerRecord = kLensFieldCount;
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Reading stops here: ten records never come near it, and a stray huge file
// must not take the machine's time.
constexpr uint64_t kMaxFileBytes = uint64_t{64} << 20;
// Of a longer line only this much is kept (a field is a name or a number).
constexpr size_t kMaxLineBytes = size_t{1} << 20;

// A file read in blocks, through a file descriptor. Only a regular file
// counts (a directory or a pipe by that name reads as no file), and it is
// refused by its type before it is opened.
class BlockReader {
public:
    explicit BlockReader(const std::filesystem::path& file) : file_(openRegularFile(file, "a lens registry file")) {
        if (file_.ok()) return;
        const FileLookup& lookup = file_.lookup();
        switch (lookup.kind) {
            case FileKind::Missing:
                failure_ = lookup.systemError == ENOENT ? "does not exist" : "cannot be opened: " + lookup.error;
                break;
            case FileKind::Unreadable: failure_ = std::string("cannot be opened: ") + std::strerror(lookup.systemError); break;
            default:  // "it is a FIFO (named pipe), not ...": said of the file
                failure_ = lookup.error.rfind("it ", 0) == 0 ? lookup.error.substr(3) : lookup.error;
                break;
        }
    }
    const std::string& failure() const { return failure_; }
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;
    bool open() const { return file_.ok(); }

    // The next block (empty at the end of the file or of the byte budget).
    std::string_view next() {
        while (file_.ok() && total_ < kMaxFileBytes) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buffer_, kMaxFileBytes - total_));
            const ssize_t got = ::read(file_.fd(), buffer_, want);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            total_ += static_cast<uint64_t>(got);
            return {buffer_, static_cast<size_t>(got)};
        }
        return {};
    }

private:
    FileForReading file_;
    std::string failure_;
    uint64_t total_ = 0;
    char buffer_[65536];
};

// UTF-8 validity of a text that arrives in pieces: an incomplete sequence at
// the end of a piece waits for the next one.
class Utf8Check {
public:
    void add(std::string_view piece) {
        if (!valid_) return;
        pending_.append(piece);
        size_t cut = pending_.size();
        // A lead byte in the last three whose sequence runs past the end.
        for (size_t back = 1; back <= 3 && back <= pending_.size(); ++back) {
            const auto c = static_cast<unsigned char>(pending_[pending_.size() - back]);
            if ((c & 0xC0) == 0x80) continue;
            const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (length > back) cut = pending_.size() - back;
            break;
        }
        valid_ = isValidUtf8(std::string_view(pending_).substr(0, cut));
        pending_.erase(0, cut);
    }
    bool finish() { return valid_ && isValidUtf8(pending_); }
    bool settled() const { return !valid_; }  // known not to be UTF-8

private:
    std::string pending_;
    bool valid_ = true;
};

// A text field as one line of the file: valid UTF-8, and without a line
// feed, which would split the field and shift every line after it.
std::string fieldLine(std::string_view text) {
    std::string line = toValidUtf8(text);
    for (char& c : line)
        if (c == '\n') c = ' ';
    return line;
}

}  // namespace

std::array<std::string, kLensFieldCount> recordLines(const LensRecord& record) {
    std::array<std::string, kLinesPerRecord> lines;
    for (int i = 0; i < kLinesPerRecord; ++i) {
        const LensField& field = kLensFields[i];
        lines[i] = field.text ? fieldLine(record.*field.text) : formatInt(record.*field.integer);
    }
    return lines;
}

std::vector<std::string> RegistryLoadReport::lines() const {
    std::vector<std::string> out;
    for (const RegistryLineProblem& p : problems)
        out.push_back(file.string() + (p.line > 0 ? " line " + std::to_string(p.line) : std::string()) + ": " + p.text);
    return out;
}

void LoadLensRegistry(LensRegistry& registry, const std::filesystem::path& file, RegistryLoadReport* report) {
    registry.count = 0;
    BlockReader reader(file);
    RegistryLoadReport ignored;
    RegistryLoadReport& said = report ? *report : ignored;
    said = RegistryLoadReport{file, reader.open(), {}};
    if (!reader.open()) {
        said.problems.push_back({0, reader.failure()});
        return;
    }

    // The records' lines are split off as the blocks arrive (LF ends a line
    // and a CR just before it is dropped; a last line without a line end
    // still counts). Their text waits for the encoding, which is decided for
    // the whole file: a file saved on a Japanese Windows system is Shift-JIS
    // throughout, even where a line happens to look like UTF-8.
    std::vector<std::string> texts;  // the kept records' text lines, raw
    LensRecord building;
    int lineInRecord = 0, records = 0, lineNumber = 0;
    bool collecting = true, first = true;
    std::string line;
    Utf8Check utf8;

    auto endLine = [&](bool byLineFeed) {
        if (byLineFeed && !line.empty() && line.back() == '\r') line.pop_back();
        ++lineNumber;
        if (records >= kMaxLensRecords) {
            collecting = false;  // records past the tenth are ignored
            said.problems.push_back({lineNumber, "a registry holds at most " + std::to_string(kMaxLensRecords) +
                                                     " records: the lines from here on were not read"});
            return;
        }
        const LensField& field = kLensFields[lineInRecord];
        if (field.text) {
            texts.push_back(line);
        } else {
            const IntParse parsed = parseLeadingInt(line);
            if (!parsed.ok()) {  // a damaged integer line ends the load; the records before it stay
                collecting = false;
                std::string shown = toValidUtf8(line.substr(0, 40));
                said.problems.push_back(
                    {lineNumber, std::string(field.key) + " of record " + std::to_string(records + 1) + " is \"" +
                                     shown + (line.size() > 40 ? "...\"" : "\"") +
                                     (parsed.error == IntParseError::OutOfRange ? ", outside the whole numbers a line can hold"
                                                                                 : ", not a whole number") +
                                     ": this record and every line after it were not read"});
                return;
            }
            building.*field.integer = parsed.value;
        }
        if (++lineInRecord == kLinesPerRecord) {
            lineInRecord = 0;
            registry.records[records] = building;
            ++records;
        }
    };

    for (std::string_view block = reader.next(); !block.empty(); block = reader.next()) {
        if (first) {
            first = false;
            if (block.substr(0, kUtf8Bom.size()) == kUtf8Bom) block.remove_prefix(kUtf8Bom.size());
        }
        utf8.add(block);
        while (collecting && !block.empty()) {
            const size_t lf = block.find('\n');
            const std::string_view piece = block.substr(0, lf);
            line.append(piece.substr(0, std::min(piece.size(), kMaxLineBytes - std::min(kMaxLineBytes, line.size()))));
            if (lf == std::string_view::npos) break;
            block.remove_prefix(lf + 1);
            endLine(true);
            line.clear();
        }
        if (!collecting && utf8.settled()) break;
    }
    if (collecting && !line.empty()) endLine(false);
    if (collecting && lineInRecord > 0)
        said.problems.push_back({lineNumber - lineInRecord + 1,
                                 "the last " + std::to_string(lineInRecord) + " lines do not make a whole record of " +
                                     std::to_string(kLinesPerRecord) + " lines and were not read"});
    const bool isUtf8 = utf8.finish();

    // Text fields into the kept records, decoded now that the encoding is known.
    size_t next = 0;
    for (int r = 0; r < records; ++r)
        for (int i = 0; i < kTextLines; ++i) {
            const std::string& raw = texts[next++];
            registry.records[r].*kLensFields[i].text = isUtf8 ? raw : cp932ToUtf8(raw);
        }
    registry.count = records;
}

bool SaveLensRegistry(const LensRegistry& registry, int slotCount, std::optional<int> leaveOut,
                      const std::filesystem::path& file) {
    const int slots = std::clamp(slotCount, 0, kMaxLensRecords);
    std::string bytes;
    for (int i = 0; i < slots; ++i) {
        if (leaveOut && *leaveOut == i) continue;
        for (const std::string& line : recordLines(registry.records[i])) {
            bytes += line;
            bytes += kLineEnd;
        }
    }
    return writeFileAtomically(file, bytes).ok();
}

}  // namespace vistereo
