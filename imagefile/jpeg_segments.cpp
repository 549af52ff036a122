#include "imagefile/jpeg_segments.h"

#include <cstring>

namespace vistereo::media {
namespace {

std::string at(const char* what, size_t offset) { return std::string(what) + " at offset " + std::to_string(offset); }

bool isStandalone(uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

bool isStartOfFrame(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

}  // namespace

JpegLayout parseJpegLayout(std::span<const uint8_t> jpeg) {
    JpegLayout layout;
    const size_t size = jpeg.size();
    if (size < 2 || jpeg[0] != 0xFF || jpeg[1] != kMarkerSoi) {
        layout.error = "not a JPEG (no SOI marker at the start)";
        return layout;
    }
    size_t pos = 2;
    for (;;) {
        const size_t begin = pos;
        if (pos >= size) {
            layout.error = "JPEG ends before the image data (no SOS marker)";
            return layout;
        }
        if (jpeg[pos] != 0xFF) {
            layout.error = at("JPEG marker expected", pos);
            return layout;
        }
        while (pos < size && jpeg[pos] == 0xFF) ++pos;  // fill bytes
        if (pos >= size) {
            layout.error = "JPEG ends before the image data (no SOS marker)";
            return layout;
        }
        const uint8_t marker = jpeg[pos++];
        if (marker == 0x00) {
            layout.error = at("invalid JPEG marker 0xFF00", begin);
            return layout;
        }
        if (marker == kMarkerSoi) {
            layout.error = at("second SOI marker", begin);
            return layout;
        }
        if (marker == kMarkerEoi) {
            layout.error = at("JPEG ends (EOI) before the image data", begin);
            return layout;
        }
        if (isStandalone(marker)) {
            layout.segments.push_back({marker, begin, pos, pos});
            continue;
        }
        if (size - pos < 2) {
            layout.error = at("JPEG segment length cut off", pos);
            return layout;
        }
        const size_t length = size_t(jpeg[pos]) << 8 | jpeg[pos + 1];
        if (length < 2) {
            layout.error = at("JPEG segment length below 2", pos);
            return layout;
        }
        if (length > size - pos) {
            layout.error = at("JPEG segment runs past the end of the file", begin);
            return layout;
        }
        if (marker == kMarkerSos) {
            layout.scanBegin = begin;
            return layout;
        }
        layout.segments.push_back({marker, begin, pos + 2, pos + length});
        pos += length;
    }
}

std::span<const uint8_t> segmentPayload(std::span<const uint8_t> jpeg, const JpegSegment& segment) {
    return jpeg.subspan(segment.payloadBegin, segment.payloadSize());
}

bool isApp1With(std::span<const uint8_t> jpeg, const JpegSegment& segment, std::string_view signature) {
    if (segment.marker != kMarkerApp1 || segment.payloadSize() < signature.size()) return false;
    return std::memcmp(jpeg.data() + segment.payloadBegin, signature.data(), signature.size()) == 0;
}

std::optional<FrameSize> jpegFrameSize(std::span<const uint8_t> jpeg, const JpegLayout& layout) {
    for (const JpegSegment& s : layout.segments) {
        if (!isStartOfFrame(s.marker)) continue;
        if (s.payloadSize() < 5) return std::nullopt;
        const uint8_t* p = jpeg.data() + s.payloadBegin;  // precision, height, width
        return FrameSize{int(p[3]) << 8 | p[4], int(p[1]) << 8 | p[2]};
    }
    return std::nullopt;
}

std::vector<uint8_t> makeSegment(uint8_t marker, std::span<const uint8_t> payload) {
    const size_t length = payload.size() + 2;
    std::vector<uint8_t> out;
    out.reserve(length + 2);
    out.push_back(0xFF);
    out.push_back(marker);
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> rebuildJpeg(std::span<const uint8_t> jpeg, const JpegLayout& layout,
                                 const std::vector<std::vector<uint8_t>>& inserted,
                                 const std::function<bool(const JpegSegment&)>& keep) {
    size_t size = jpeg.size();
    for (const auto& segment : inserted) size += segment.size();
    std::vector<uint8_t> out;
    out.reserve(size);
    out.push_back(0xFF);
    out.push_back(kMarkerSoi);
    const auto copy = [&](const JpegSegment& s) {
        out.insert(out.end(), jpeg.begin() + static_cast<ptrdiff_t>(s.begin), jpeg.begin() + static_cast<ptrdiff_t>(s.end));
    };
    size_t i = 0;
    for (; i < layout.segments.size() && layout.segments[i].marker == kMarkerApp0; ++i)
        if (keep(layout.segments[i])) copy(layout.segments[i]);
    for (const auto& segment : inserted) out.insert(out.end(), segment.begin(), segment.end());
    for (; i < layout.segments.size(); ++i)
        if (keep(layout.segments[i])) copy(layout.segments[i]);
    out.insert(out.end(), jpeg.begin() + static_cast<ptrdiff_t>(layout.scanBegin), jpeg.end());
    return out;
}

}  // namespace vistereo::media
