// The marker segments of a JPEG file from SOI up to the first SOS (start of
// scan), read with every length checked against the bytes there are; and the
// rebuilding of a file with some segments left out and others added. The
// entropy-coded data from SOS on is never looked into: it is copied as is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/fallible.h"

namespace vistereo::media {

inline constexpr uint8_t kMarkerSoi = 0xD8, kMarkerEoi = 0xD9, kMarkerSos = 0xDA, kMarkerApp0 = 0xE0,
                         kMarkerApp1 = 0xE1;

// The most bytes a marker segment's payload can hold: its 16-bit length field
// counts itself too.
inline constexpr size_t kMaxSegmentPayload = 65533;
// The signature that opens the APP1 segment holding EXIF.
inline constexpr std::string_view kExifSignature{"Exif\0\0", 6};

struct JpegSegment {
    uint8_t marker = 0;       // the byte after 0xFF: 0xE1 for APP1, 0xC0 for SOF0, ...
    size_t begin = 0;         // offset of the segment's first byte (a fill 0xFF before the marker counts)
    size_t payloadBegin = 0;  // offset of the first byte after the length field
    size_t end = 0;           // one past the payload
    size_t payloadSize() const { return end - payloadBegin; }
};

// `error`: what is wrong and at which offset.
struct JpegLayout : Fallible {
    std::vector<JpegSegment> segments;  // between SOI and SOS, in file order
    size_t scanBegin = 0;               // offset of the SOS segment (its first 0xFF)
};

// Never reads outside `jpeg`. Refused: no SOI at the start, a byte other than
// 0xFF where a marker must be, a length field below 2 or past the end, a second
// SOI, EOI before SOS, the end of the bytes before SOS. Markers without a
// length (TEM, RST0-7) are taken as segments with an empty payload.
JpegLayout parseJpegLayout(std::span<const uint8_t> jpeg);

std::span<const uint8_t> segmentPayload(std::span<const uint8_t> jpeg, const JpegSegment& segment);

// Whether the segment is an APP1 whose payload begins with `signature`
// (which may hold NUL bytes: pass it with its length).
bool isApp1With(std::span<const uint8_t> jpeg, const JpegSegment& segment, std::string_view signature);

// Width and height from the first SOFn segment (SOF0-3, 5-7, 9-11, 13-15);
// nullopt when there is none or it is too short.
struct FrameSize {
    int width = 0, height = 0;
};
std::optional<FrameSize> jpegFrameSize(std::span<const uint8_t> jpeg, const JpegLayout& layout);

// A whole marker segment: 0xFF, marker, big-endian length, payload (at most
// kMaxSegmentPayload bytes; the caller checks).
std::vector<uint8_t> makeSegment(uint8_t marker, std::span<const uint8_t> payload);

// The file rebuilt: SOI; the leading APP0 segments (JFIF) that `keep`
// accepts; `inserted` (whole segments, in order); the other segments that
// `keep` accepts, in file order; the bytes from SOS to the end. `layout` must
// be an ok layout of `jpeg`.
std::vector<uint8_t> rebuildJpeg(std::span<const uint8_t> jpeg, const JpegLayout& layout,
                                 const std::vector<std::vector<uint8_t>>& inserted,
                                 const std::function<bool(const JpegSegment&)>& keep);

}  // namespace vistereo::media
