#include "registry/lens_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

#include "registry/atomic_file.h"
#include "registry/text_encoding.h"
#include "registry/text_numbers.h"

namespace vistereo {

namespace {

constexpr int kTextLines = 18;
constexpr int kLinesPerRecord = 24;
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The 18 text fields in file order.
std::array<std::string*, kTextLines> textFields(LensRecord& r) {
    return {&r.name, &r.magnification, &r.sineK, &r.theta1, &r.theta2, &r.theta3,
            &r.a1,   &r.b1,            &r.c1,    &r.a2,     &r.b2,     &r.c2,
            &r.a3,   &r.b3,            &r.c3,    &r.a4,     &r.b4,     &r.c4};
}

std::array<const std::string*, kTextLines> textFields(const LensRecord& r) {
    return {&r.name, &r.magnification, &r.sineK, &r.theta1, &r.theta2, &r.theta3,
            &r.a1,   &r.b1,            &r.c1,    &r.a2,     &r.b2,     &r.c2,
            &r.a3,   &r.b3,            &r.c3,    &r.a4,     &r.b4,     &r.c4};
}

// The 6 integer fields in file order.
std::array<int32_t*, 6> integerFields(LensRecord& r) {
    return {&r.radiusMode, &r.radiusDots, &r.mappingKind, &r.axisX, &r.axisY, &r.axisMode};
}

std::array<int32_t, 6> integerValues(const LensRecord& r) {
    return {r.radiusMode, r.radiusDots, r.mappingKind, r.axisX, r.axisY, r.axisMode};
}

// Splits the file into lines: LF ends a line and a CR just before it is
// dropped (files from Windows end their lines with CR LF); a last line
// without a line end still counts.
std::vector<std::string_view> splitLines(std::string_view bytes) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t lf = bytes.find('\n', start);
        if (lf == std::string_view::npos) {
            lines.push_back(bytes.substr(start));
            break;
        }
        size_t end = lf;
        if (end > start && bytes[end - 1] == '\r') --end;
        lines.push_back(bytes.substr(start, end - start));
        start = lf + 1;
    }
    return lines;
}

// Reads the file into `bytes`. Only a regular file counts (a directory or a
// pipe by that name reads as no file), and reading stops after kMaxFileBytes:
// ten records never come near that, and a stray huge file must not exhaust
// memory.
bool readWholeFile(const std::filesystem::path& file, std::string& bytes) {
    constexpr size_t kMaxFileBytes = size_t{64} << 20;
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    char buffer[65536];
    while (bytes.size() < kMaxFileBytes) {
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, kMaxFileBytes - bytes.size()));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return true;
}

// A text field as one line of the file: valid UTF-8, and without a line
// feed, which would split the field and shift every line after it.
std::string fieldLine(std::string_view text) {
    std::string line = toValidUtf8(text);
    for (char& c : line)
        if (c == '\n') c = ' ';
    return line;
}

}  // namespace

std::array<std::string, 24> recordLines(const LensRecord& record) {
    std::array<std::string, kLinesPerRecord> lines;
    const auto texts = textFields(record);
    for (int i = 0; i < kTextLines; ++i) lines[i] = fieldLine(*texts[i]);
    const auto integers = integerValues(record);
    for (int i = 0; i < 6; ++i) lines[kTextLines + i] = formatInt(integers[i]);
    return lines;
}

void LoadLensRegistry(LensRegistry& registry, const std::filesystem::path& file) {
    registry.count = 0;
    std::string bytes;
    if (!readWholeFile(file, bytes)) return;

    std::string_view content = bytes;
    if (content.substr(0, kUtf8Bom.size()) == kUtf8Bom) content.remove_prefix(kUtf8Bom.size());
    // The encoding is decided for the whole file: a file saved on a Japanese
    // Windows system is Shift-JIS throughout, even where a line happens to
    // look like UTF-8.
    const bool utf8 = isValidUtf8(content);

    int lineInRecord = 0;
    for (const std::string_view line : splitLines(content)) {
        if (registry.count >= kMaxLensRecords) break;  // records past the tenth are ignored
        LensRecord& slot = registry.records[registry.count];
        if (lineInRecord < kTextLines) {
            *textFields(slot)[lineInRecord] = utf8 ? std::string(line) : cp932ToUtf8(line);
        } else {
            const IntParse parsed = parseLeadingInt(line);
            // A damaged integer line ends the load; the records before it stay.
            if (!parsed.ok()) return;
            *integerFields(slot)[lineInRecord - kTextLines] = parsed.value;
        }
        if (++lineInRecord == kLinesPerRecord) {
            lineInRecord = 0;
            ++registry.count;
        }
    }
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
    return writeFileAtomically(file, bytes);
}

RegisterStatus RegisterLens(LensRegistry& registry, const LensRecord& record,
                            const std::filesystem::path& file) {
    LoadLensRegistry(registry, file);
    if (record.name.empty()) return RegisterStatus::EmptyName;
    if (registry.count >= kMaxLensRecords) return RegisterStatus::RegistryFull;
    registry.records[registry.count] = record;
    if (!SaveLensRegistry(registry, registry.count + 1, std::nullopt, file)) return RegisterStatus::WriteFailed;
    ++registry.count;
    return RegisterStatus::Registered;
}

}  // namespace vistereo
