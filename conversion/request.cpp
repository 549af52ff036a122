// The request's own rules: the dialog's point fields read into numbers, the
// alignment choice's parts, the files a request names, and how its pictures
// are read.
#include "conversion/request.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/text_numbers.h"
#include "registry/lens_registry.h"

namespace vistereo {
namespace {

// "./<dir>/" + name: the name is appended as typed, so a name with a
// directory part stays below that folder.
std::filesystem::path inDirectory(const std::filesystem::path& workingDirectory, const char* dir,
                                  const std::string& name) {
    return std::filesystem::path(workingDirectory.string() + "/" + dir + "/" + name);
}

}  // namespace

CommaLineParse parseCommaLine(std::string_view line) {
    CommaLineParse result;
    std::vector<std::string_view> pieces;
    if (!line.empty()) {
        size_t start = 0;
        for (;;) {
            const size_t comma = line.find(',', start);
            pieces.push_back(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
            if (comma == std::string_view::npos) break;
            start = comma + 1;
        }
        if (pieces.back().empty() && line.back() == ',') pieces.pop_back();  // a final comma adds nothing
    }
    if (pieces.size() != 8) {
        result.error = "The comma separated line must hold eight integers (A Left x, B Left x, A Right x, "
                       "B Right x, then the four y values); it holds " +
                       std::to_string(pieces.size()) + ".";
        return result;
    }
    for (size_t k = 0; k < pieces.size(); ++k) {
        const IntParse parsed = parseLeadingInt(pieces[k]);
        if (parsed.error == IntParseError::Invalid) {
            result.error = "Value " + std::to_string(k + 1) + " of the comma separated line (\"" +
                           std::string(pieces[k]) + "\") is not an integer.";
            return result;
        }
        if (parsed.error == IntParseError::OutOfRange) {
            result.error = "Value " + std::to_string(k + 1) + " of the comma separated line (\"" +
                           std::string(pieces[k]) + "\") is outside the 32-bit integer range.";
            return result;
        }
        result.values[k] = parsed.value;
    }
    return result;
}

InputReadOptions readOptionsOf(const ConversionRequest& request, int threads, cv::MatAllocator* pixels) {
    InputReadOptions reading(request.limits, request.ignoreOrientation);
    reading.threads = threads;
    reading.pixelAllocator = pixels;
    return reading;
}

InputImages readInputImages(const ConversionRequest& request, int threads, cv::MatAllocator* pixels) {
    return readInputPair(leftImagePath(request), rightImagePath(request), readOptionsOf(request, threads, pixels));
}

std::filesystem::path leftImagePath(const ConversionRequest& request) {
    return request.leftPath.empty() ? inDirectory(request.workingDirectory, "input", request.leftName) : request.leftPath;
}

std::filesystem::path rightImagePath(const ConversionRequest& request) {
    return request.rightPath.empty() ? inDirectory(request.workingDirectory, "input", request.rightName)
                                     : request.rightPath;
}

std::filesystem::path outputImagePath(const ConversionRequest& request) {
    return request.outputPath.empty() ? inDirectory(request.workingDirectory, "output", request.outputName)
                                      : request.outputPath;
}

Fallible outputClash(const ConversionRequest& request) {
    OutputRoom room;
    room.protect(leftImagePath(request), "the left image");
    room.protect(rightImagePath(request), "the right image");
    room.protect(request.workingDirectory / kLensRegistryFileName, "the lens registry");
    for (const ProtectedFile& file : request.otherInputs) room.protect(file.path, file.role);
    return room.clash(outputImagePath(request));
}

PointsInput readPointEntry(const PointEntry& entry) {
    PointsInput input;
    std::array<int32_t, 8> values{};
    if (entry.mode == kSeparateInput) {
        for (size_t k = 0; k < values.size(); ++k) values[k] = parseBoxInt(entry.boxes[k]);
    } else {
        const CommaLineParse parsed = parseCommaLine(entry.commaLine);
        if (!parsed.ok()) {
            input.error = parsed.error;
            return input;
        }
        values = parsed.values;
    }
    input.points = PointSet::fromListOrder(values);
    return input;
}

PointsInput readPoints(const PointsAB& points) {
    if (const PointEntry* typed = std::get_if<PointEntry>(&points.given)) return readPointEntry(*typed);
    return PointsInput{{}, std::get<PointSet>(points.given)};
}

PointsAB givenPoints(const AlignmentChoice& choice) {
    const PointsAB* points = std::get_if<PointsAB>(&choice);
    return points ? *points : PointsAB{};
}

PointSet alignmentPoints(const AlignmentChoice& choice) { return readPoints(givenPoints(choice)).points; }

std::optional<RotationMatrix> givenRotation(const AlignmentChoice& choice) {
    const GivenRotation* given = std::get_if<GivenRotation>(&choice);
    return given ? std::optional(given->rotation) : std::nullopt;
}

RefinedLenses givenLenses(const AlignmentChoice& choice) {
    const GivenRotation* given = std::get_if<GivenRotation>(&choice);
    return given ? given->lenses : RefinedLenses{};
}

AlignmentChoice chooseAlignment(std::optional<AlignmentScope> automatic, PointsAB points, LensRefining refining) {
    if (automatic) return AutomaticAlignment{refining, *automatic};
    return points;
}

}  // namespace vistereo
