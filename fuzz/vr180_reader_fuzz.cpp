// libFuzzer target: the VR180 reader and the parsers under it on any bytes.
// The reader takes a GUID that is not the packet's MD5 with a warning, so
// mutated extended packets reach the XML and base64 decoding behind it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "stereofile/base64.h"
#include "imagefile/jpeg_segments.h"
#include "stereofile/vr180.h"
#include "stereofile/xmp_properties.h"

using namespace vistereo::media;

namespace {

// A broken promise of the reader is a finding too.
void require(bool condition) {
    if (!condition) std::abort();
}

void checkResult(const Vr180ReadResult& r) {
    if (!r.ok()) {
        require(!r.error.empty());
        require(r.leftJpeg.empty() && r.rightJpeg.empty());
        return;
    }
    require(r.error.empty());
    require(r.rightJpeg.size() >= 2 && r.rightJpeg[0] == 0xFF && r.rightJpeg[1] == 0xD8);
    require(r.guid.size() == 32);
    require(r.extendedChunks >= 1);
    // The primary without its XMP is still a JPEG up to its image data, with no XMP left.
    const JpegLayout left = parseJpegLayout(r.leftJpeg);
    require(left.ok());
    for (const JpegSegment& s : left.segments)
        require(!isApp1With(r.leftJpeg, s, kXmpSignature) && !isApp1With(r.leftJpeg, s, kExtendedXmpSignature));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    checkResult(readVr180Jpeg(bytes));

    // The pieces on their own, on the same bytes.
    const XmpProperties xmp = readXmpProperties(text);
    require(xmp.ok() || xmp.properties.empty());
    if (const auto decoded = base64Decode(text)) require(decoded->size() <= size / 4 * 3);
    const JpegLayout layout = parseJpegLayout(bytes);
    if (layout.ok()) {
        for (const JpegSegment& s : layout.segments) require(s.begin < s.payloadBegin + 1 && s.end <= layout.scanBegin);
        const auto rebuilt = rebuildJpeg(bytes, layout, {}, [](const JpegSegment&) { return true; });
        require(rebuilt.size() <= size);
        (void)jpegFrameSize(bytes, layout);
    }
    return 0;
}
