#include "batch/batch_pairs.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "base/message_text.h"
#include "base/regular_file.h"
#include "stereofile/output_formats.h"

namespace vistereo {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The extensions of the formats cv::imread decodes.
bool isImageName(const std::string& name) {
    static const std::set<std::string> extensions = {".jpg", ".jpeg", ".jpe", ".png",  ".tif", ".tiff", ".bmp",
                                                     ".dib", ".webp", ".jp2", ".pbm",  ".pgm", ".ppm",  ".pnm",
                                                     ".pxm", ".pfm",  ".sr",  ".ras",  ".exr", ".hdr",  ".pic"};
    return extensions.count(lower(fs::path(name).extension().string())) > 0;
}

std::string trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return "";
    const size_t last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

// The fields of one line, or why it cannot be split.
struct LineFields : Fallible {
    std::vector<std::string> fields;
};
LineFields splitFields(std::string_view line) {
    LineFields out;
    std::vector<std::string>& fields = out.fields;
    size_t i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::string field;
        if (i < line.size() && line[i] == '"') {
            ++i;
            for (;;) {
                if (i >= line.size()) {
                    out.error = "a quoted field has no closing quote";
                    return out;
                }
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += line[i++];
            }
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
            if (i < line.size() && line[i] != ',') {
                out.error = "text after a quoted field";
                return out;
            }
        } else {
            const size_t comma = line.find(',', i);
            field = trim(line.substr(i, comma == std::string_view::npos ? std::string_view::npos : comma - i));
            i = comma == std::string_view::npos ? line.size() : comma;
        }
        fields.push_back(field);
        if (i >= line.size()) break;
        ++i;  // the comma
    }
    return out;
}

// A stream's lines, one at a time, none longer than a limit: a line that
// would be longer stops the reading there, so no more of it is held.
class BoundedLines {
public:
    enum class Result { Line, End, TooLong };
    explicit BoundedLines(std::istream& in) : in_(in) {}

    Result next(std::string& line, size_t maxBytes) {
        line.clear();
        bool any = false;
        for (;;) {
            if (pos_ == len_ && !refill()) return any ? Result::Line : Result::End;
            any = true;
            const char* start = buffer_.data() + pos_;
            const void* found = std::memchr(start, '\n', len_ - pos_);
            const size_t take = found ? static_cast<size_t>(static_cast<const char*>(found) - start) : len_ - pos_;
            if (line.size() + take > maxBytes) return Result::TooLong;
            line.append(start, take);
            pos_ += take;
            if (found) {
                ++pos_;
                return Result::Line;
            }
        }
    }

private:
    bool refill() {
        if (!in_) return false;
        in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        len_ = static_cast<size_t>(in_.gcount());
        pos_ = 0;
        return len_ > 0;
    }

    std::istream& in_;
    std::array<char, 65536> buffer_{};
    size_t pos_ = 0, len_ = 0;
};

}  // namespace

ImageFileList listImageFiles(const fs::path& folder) {
    ImageFileList list;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        list.error = "there is no folder " + folder.string();
        return list;
    }
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        if (name.empty() || name[0] == '.' || !it->is_regular_file(typeError) || !isImageName(name)) continue;
        list.names.push_back(name);
    }
    if (ec) list.error = "cannot read the folder " + folder.string() + ": " + ec.message();
    std::sort(list.names.begin(), list.names.end());
    return list;
}

std::string outputNameFor(const fs::path& leftImage, bool vrSuffix) {
    const std::string name = leftImage.stem().string() + ".jpg";
    return vrSuffix ? withVrSuffix(name) : name;
}

PairingResult pairFolders(const fs::path& leftFolder, const fs::path& rightFolder, const fs::path& outputFolder,
                          bool vrSuffix) {
    PairingResult result;
    const ImageFileList leftList = listImageFiles(leftFolder);
    if (!leftList.ok()) {
        result.error = leftList.error;
        return result;
    }
    const ImageFileList rightList = listImageFiles(rightFolder);
    if (!rightList.ok()) {
        result.error = rightList.error;
        return result;
    }
    const std::vector<std::string>& left = leftList.names;
    const std::vector<std::string>& right = rightList.names;
    if (left.size() != right.size()) {
        const bool moreLeft = left.size() > right.size();
        const std::vector<std::string>& longer = moreLeft ? left : right;
        const fs::path& folder = moreLeft ? leftFolder : rightFolder;
        result.error = leftFolder.string() + " holds " + std::to_string(left.size()) + " images and " +
                       rightFolder.string() + " " + std::to_string(right.size()) +
                       "; paired in name order, these have no partner:";
        const size_t shorter = std::min(left.size(), right.size()), shown = std::min<size_t>(longer.size(), shorter + 10);
        for (size_t k = shorter; k < shown; ++k) result.error += " " + (folder / longer[k]).string();
        if (shown < longer.size()) result.error += " and " + std::to_string(longer.size() - shown) + " more";
        return result;
    }
    for (size_t k = 0; k < left.size(); ++k)
        result.pairs.push_back({leftFolder / left[k], rightFolder / right[k],
                                outputFolder / outputNameFor(left[k], vrSuffix), 0});
    return result;
}

PairingResult readPairsStream(std::istream& in, const std::string& fileName, const fs::path& inputFolder,
                              const fs::path& outputFolder, bool vrSuffix, const PairsFileLimits& limits) {
    PairingResult result;
    const std::string shownName = shortenForMessage(fileName);
    BoundedLines lines(in);
    std::string line;
    bool first = true;
    size_t number = 0;
    auto fail = [&](const std::string& why) {
        result.pairs.clear();
        result.pairs.shrink_to_fit();
        result.error = shownName + " line " + std::to_string(number) + ": " + why;
        return result;
    };
    for (;;) {
        // One byte more than the limit, for the CR of a line that ends in CR LF.
        const BoundedLines::Result read = lines.next(line, limits.maxLineBytes + 1);
        if (read == BoundedLines::Result::End) break;
        ++number;
        if (read == BoundedLines::Result::TooLong || (line.size() > limits.maxLineBytes && line.back() != '\r'))
            return fail("longer than " + std::to_string(limits.maxLineBytes) + " bytes, the limit for one line");
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);  // a byte-order mark
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\0') != std::string::npos) return fail("the line holds a NUL byte");
        const std::string content = trim(line);
        if (content.empty() || content[0] == '#') continue;
        const LineFields split = splitFields(line);
        if (!split.ok()) return fail(split.error);
        const std::vector<std::string>* fields = &split.fields;
        const bool header = first && fields->size() >= 2 && lower((*fields)[0]) == "left" &&
                            lower((*fields)[1]) == "right" && (fields->size() == 2 || lower((*fields)[2]) == "output");
        first = false;
        if (header && fields->size() <= 3) continue;
        if (fields->size() < 2 || fields->size() > 3)
            return fail("expected left,right or left,right,output; found " + std::to_string(fields->size()) +
                        (fields->size() == 1 ? " field" : " fields"));
        if ((*fields)[0].empty()) return fail("the left image is empty");
        if ((*fields)[1].empty()) return fail("the right image is empty");
        if (result.pairs.size() == limits.maxPairs)
            return fail("more than " + std::to_string(limits.maxPairs) + " pairs, the limit for one batch");
        const std::string output = fields->size() == 3 && !(*fields)[2].empty()
                                       ? (vrSuffix ? withVrSuffix((*fields)[2]) : (*fields)[2])
                                       : outputNameFor((*fields)[0], vrSuffix);
        result.pairs.push_back({inputFolder / (*fields)[0], inputFolder / (*fields)[1], outputFolder / output,
                                static_cast<int>(std::min<size_t>(number, INT_MAX))});
    }
    if (in.bad()) {
        result.pairs.clear();
        result.error = "cannot read the pairs file " + shownName + " to its end";
    }
    return result;
}

PairingResult parsePairsText(std::string_view text, const std::string& fileName, const fs::path& inputFolder,
                             const fs::path& outputFolder, bool vrSuffix, const PairsFileLimits& limits) {
    std::istringstream in{std::string(text)};
    return readPairsStream(in, fileName, inputFolder, outputFolder, vrSuffix, limits);
}

PairingResult readPairsFile(const fs::path& file, const fs::path& inputFolder, const fs::path& outputFolder,
                            bool vrSuffix, const PairsFileLimits& limits) {
    PairingResult result;
    const FileForReading opened = openRegularFile(file, "a pairs file");
    if (!opened.ok()) {
        result.error = "cannot read the pairs file " + shortenForMessage(file.string()) + ": " + opened.error();
        return result;
    }
    FileReadBuffer buffer(opened);
    std::istream in(&buffer);
    result = readPairsStream(in, file.string(), inputFolder, outputFolder, vrSuffix, limits);
    if (!buffer.error().empty()) {
        result.pairs.clear();
        result.error = "cannot read the pairs file " + shortenForMessage(file.string()) + ": " + buffer.error();
    }
    return result;
}

}  // namespace vistereo
