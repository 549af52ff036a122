#include "stereofile/vr180.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "stereofile/base64.h"
#include "imagefile/jpeg_segments.h"
#include "stereofile/md5.h"
#include "stereofile/xmp_properties.h"

namespace vistereo::media {
namespace {

using Bytes = std::vector<uint8_t>;

std::span<const uint8_t> asBytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string_view asText(std::span<const uint8_t> b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

void append(Bytes& out, std::span<const uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

void appendBigEndian32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t readBigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

bool isXmpSegment(std::span<const uint8_t> jpeg, const JpegSegment& s) {
    return isApp1With(jpeg, s, kXmpSignature) || isApp1With(jpeg, s, kExtendedXmpSignature);
}

std::string formatReal(double v) {
    if (v == 0) v = 0;  // no "-0"
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, r.ptr);
}

std::string attribute(std::string_view name, std::string_view value) {
    return "\n    " + std::string(name) + "=\"" + escapeXmlAttribute(value) + "\"";
}

std::string standardXmp(int64_t n, double poseHeading, const std::string& guid) {
    std::string x =
        "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
        " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
        "  <rdf:Description rdf:about=\"\"";
    x += attribute("xmlns:GPano", kGPanoNamespace);
    x += attribute("xmlns:GImage", kGImageNamespace);
    x += attribute("xmlns:xmpNote", kXmpNoteNamespace);
    x += attribute("GPano:ProjectionType", "equirectangular");
    x += attribute("GPano:UsePanoramaViewer", "True");
    x += attribute("GPano:CroppedAreaImageWidthPixels", std::to_string(n));
    x += attribute("GPano:CroppedAreaImageHeightPixels", std::to_string(n));
    x += attribute("GPano:FullPanoWidthPixels", std::to_string(2 * n));
    x += attribute("GPano:FullPanoHeightPixels", std::to_string(n));
    x += attribute("GPano:CroppedAreaLeftPixels", std::to_string(n / 2));
    x += attribute("GPano:CroppedAreaTopPixels", "0");
    x += attribute("GPano:InitialViewHeadingDegrees", "180");
    x += attribute("GPano:PoseHeadingDegrees", formatReal(poseHeading));
    x += attribute("GImage:Mime", "image/jpeg");
    x += attribute("xmpNote:HasExtendedXMP", guid);
    x += "/>\n </rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"w\"?>";
    return x;
}

// The extended packet: a full XMP packet without the xpacket wrapper (Adobe
// XMP part 3, 1.1.3.1), holding GImage:Data alone.
std::string extendedXmp(std::span<const uint8_t> rightJpeg) {
    std::string x =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
        "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
        "<rdf:Description rdf:about=\"\" xmlns:GImage=\"";
    x += kGImageNamespace;
    x += "\" GImage:Data=\"";
    x += base64Encode(rightJpeg);  // the base64 alphabet needs no escaping
    x += "\"/></rdf:RDF></x:xmpmeta>";
    return x;
}

// The extended XMP chunks of `packet`, whose MD5 the caller has at hand as `guid`.
std::vector<Bytes> chunkPayloads(std::string_view packet, const std::string& guid) {
    std::vector<Bytes> chunks;
    for (size_t offset = 0; offset < packet.size(); offset += kMaxExtendedXmpChunkData) {
        const size_t size = std::min(kMaxExtendedXmpChunkData, packet.size() - offset);
        Bytes& payload = chunks.emplace_back(kExtendedXmpSignature.begin(), kExtendedXmpSignature.end());
        append(payload, asBytes(guid));
        appendBigEndian32(payload, static_cast<uint32_t>(packet.size()));
        appendBigEndian32(payload, static_cast<uint32_t>(offset));
        append(payload, asBytes(packet.substr(offset, size)));
    }
    return chunks;
}

Vr180WriteResult refuse(std::string why) {
    Vr180WriteResult r;
    r.error = std::move(why);
    return r;
}

// "left JPEG" or "right JPEG" checked: readable up to SOS and n x n.
std::optional<std::string> checkEye(const char* which, std::span<const uint8_t> jpeg, const JpegLayout& layout,
                                    int n) {
    if (!layout.ok()) return std::string(which) + ": " + layout.error;
    const std::optional<FrameSize> size = jpegFrameSize(jpeg, layout);
    if (!size) return std::string(which) + ": no frame header (SOF)";
    if (size->width != n || size->height != n)
        return std::string(which) + " is " + std::to_string(size->width) + " x " + std::to_string(size->height) +
               ", not " + std::to_string(n) + " x " + std::to_string(n);
    return std::nullopt;
}

Vr180WriteResult write(std::span<const uint8_t> left, std::span<const uint8_t> right, int n,
                       std::span<const uint8_t> exif, double poseHeading) {
    if (n < 1 || n > 65535) return refuse("eye size " + std::to_string(n) + " is not in 1..65535");
    const JpegLayout leftLayout = parseJpegLayout(left);
    if (auto why = checkEye("left JPEG", left, leftLayout, n)) return refuse(*why);
    const JpegLayout rightLayout = parseJpegLayout(right);
    if (auto why = checkEye("right JPEG", right, rightLayout, n)) return refuse(*why);
    if (!exif.empty()) {
        if (exif.size() < kExifSignature.size() || asText(exif.first(kExifSignature.size())) != kExifSignature)
            return refuse("EXIF payload does not begin with \"Exif\\0\\0\"");
        if (exif.size() > kMaxSegmentPayload)
            return refuse("EXIF payload of " + std::to_string(exif.size()) + " bytes does not fit one APP1 segment");
    }
    if (!(poseHeading >= 0.0 && poseHeading < 360.0))
        return refuse("GPano:PoseHeadingDegrees must be at least 0 and below 360");

    const std::string extended = extendedXmp(right);
    if (extended.size() > 0xFFFFFFFFu) return refuse("right JPEG too large for extended XMP");
    const std::string guid = md5HexUpper(extended);
    const std::string standard = standardXmp(n, poseHeading, guid);
    if (standard.size() > kMaxStandardXmpPacket) return refuse("standard XMP too large");  // cannot happen

    // Segments in file order: EXIF, standard XMP, the extended chunks.
    std::vector<Bytes> inserted;
    if (!exif.empty()) inserted.push_back(makeSegment(kMarkerApp1, exif));
    else
        for (const JpegSegment& s : leftLayout.segments)
            if (isApp1With(left, s, kExifSignature)) inserted.emplace_back(left.begin() + s.begin, left.begin() + s.end);
    Bytes payload(kXmpSignature.begin(), kXmpSignature.end());
    append(payload, asBytes(standard));
    inserted.push_back(makeSegment(kMarkerApp1, payload));
    for (const Bytes& chunk : chunkPayloads(extended, guid)) inserted.push_back(makeSegment(kMarkerApp1, chunk));
    Vr180WriteResult result;
    result.jpeg = rebuildJpeg(left, leftLayout, inserted, [&](const JpegSegment& s) {
        return !isApp1With(left, s, kExifSignature) && !isXmpSegment(left, s);
    });
    return result;
}

// ---- reading ----

struct Refusal {
    std::string why;
};

std::optional<int64_t> parseInteger(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    int64_t v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<double> parseReal(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    double v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

void readPano(const XmpProperties& xmp, Vr180ReadResult& r) {
    const auto gpano = [&](const char* name) { return xmp.find(kGPanoNamespace, name); };
    const std::string* projection = gpano("ProjectionType");
    if (!projection) throw Refusal{"GPano:ProjectionType missing"};
    if (*projection != "equirectangular")
        throw Refusal{"GPano:ProjectionType is \"" + projection->substr(0, 40) + "\", not equirectangular"};
    r.pano.projectionType = *projection;

    r.pano.usePanoramaViewer = true;  // the GPano default
    if (const std::string* use = gpano("UsePanoramaViewer")) {
        if (equalsIgnoringCase(*use, "True")) r.pano.usePanoramaViewer = true;
        else if (equalsIgnoringCase(*use, "False")) r.pano.usePanoramaViewer = false;
        else throw Refusal{"GPano:UsePanoramaViewer is neither True nor False"};
    }

    const struct { const char* name; int64_t Vr180Pano::*field; } integers[] = {
        {"CroppedAreaImageWidthPixels", &Vr180Pano::croppedAreaImageWidthPixels},
        {"CroppedAreaImageHeightPixels", &Vr180Pano::croppedAreaImageHeightPixels},
        {"FullPanoWidthPixels", &Vr180Pano::fullPanoWidthPixels},
        {"FullPanoHeightPixels", &Vr180Pano::fullPanoHeightPixels},
        {"CroppedAreaLeftPixels", &Vr180Pano::croppedAreaLeftPixels},
        {"CroppedAreaTopPixels", &Vr180Pano::croppedAreaTopPixels}};
    for (const auto& f : integers) {
        const std::string* text = gpano(f.name);
        if (!text) throw Refusal{std::string("GPano:") + f.name + " missing"};
        const std::optional<int64_t> v = parseInteger(*text);
        if (!v) throw Refusal{std::string("GPano:") + f.name + " is not an integer"};
        r.pano.*f.field = *v;
    }
    const struct { const char* name; double Vr180Pano::*field; } reals[] = {
        {"InitialViewHeadingDegrees", &Vr180Pano::initialViewHeadingDegrees},
        {"PoseHeadingDegrees", &Vr180Pano::poseHeadingDegrees}};
    for (const auto& f : reals) {
        const std::string* text = gpano(f.name);
        if (!text) continue;
        const std::optional<double> v = parseReal(*text);
        if (!v) throw Refusal{std::string("GPano:") + f.name + " is not a number"};
        r.pano.*f.field = *v;
    }
    if (const std::string* mime = xmp.find(kGImageNamespace, "Mime")) r.mime = *mime;
}

bool isGuid(std::string_view s) {
    if (s.size() != 32) return false;
    for (const char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

struct Chunk {
    uint32_t offset;
    std::span<const uint8_t> data;
};

// The extended packet from the chunks of `guid`, checked for one full length,
// every chunk inside it, no overlap and no gap.
std::string assembleExtended(std::span<const uint8_t> jpeg, const JpegLayout& layout, const std::string& guid,
                             size_t& chunkCount) {
    std::vector<Chunk> chunks;
    uint32_t fullLength = 0;
    for (const JpegSegment& s : layout.segments) {
        if (!isApp1With(jpeg, s, kExtendedXmpSignature)) continue;
        const std::span<const uint8_t> p = segmentPayload(jpeg, s);
        if (p.size() < kExtendedXmpChunkHeader) throw Refusal{"extended XMP chunk too short"};
        if (asText(p.subspan(35, 32)) != guid) continue;  // another packet's chunk
        const uint32_t length = readBigEndian32(p.data() + 67), offset = readBigEndian32(p.data() + 71);
        if (chunks.empty()) fullLength = length;
        else if (length != fullLength) throw Refusal{"extended XMP chunks disagree on the full length"};
        const std::span<const uint8_t> data = p.subspan(kExtendedXmpChunkHeader);
        if (data.empty()) throw Refusal{"extended XMP chunk holds no data"};
        if (offset > fullLength || data.size() > fullLength - offset) throw Refusal{"extended XMP chunk out of range"};
        chunks.push_back({offset, data});
    }
    if (chunks.empty()) throw Refusal{"no extended XMP chunk with GUID " + guid};
    std::sort(chunks.begin(), chunks.end(), [](const Chunk& a, const Chunk& b) { return a.offset < b.offset; });
    size_t covered = 0;
    for (const Chunk& c : chunks) {
        if (c.offset < covered) throw Refusal{"extended XMP chunks overlap at offset " + std::to_string(c.offset)};
        if (c.offset > covered) throw Refusal{"extended XMP incomplete: bytes " + std::to_string(covered) + " to " +
                                              std::to_string(c.offset) + " missing"};
        covered += c.data.size();
    }
    if (covered != fullLength)
        throw Refusal{"extended XMP incomplete: " + std::to_string(covered) + " of " + std::to_string(fullLength) +
                      " bytes"};
    std::string packet(fullLength, '\0');  // no larger than the chunks there are
    for (const Chunk& c : chunks) std::memcpy(packet.data() + c.offset, c.data.data(), c.data.size());
    chunkCount = chunks.size();
    return packet;
}

void read(std::span<const uint8_t> jpeg, Vr180ReadResult& r) {
    const JpegLayout layout = parseJpegLayout(jpeg);
    if (!layout.ok()) throw Refusal{layout.error};
    for (const JpegSegment& s : layout.segments)
        if (isApp1With(jpeg, s, kExtendedXmpSignature)) r.declaresRightEye = true;

    const JpegSegment* standardSegment = nullptr;
    for (const JpegSegment& s : layout.segments)
        if (isApp1With(jpeg, s, kXmpSignature)) {
            standardSegment = &s;
            break;
        }
    if (!standardSegment) throw Refusal{"no standard XMP"};
    const XmpProperties standard =
        readXmpProperties(asText(segmentPayload(jpeg, *standardSegment).subspan(kXmpSignature.size())));
    if (!standard.ok()) throw Refusal{"standard " + standard.error};
    const std::string* guid = standard.find(kXmpNoteNamespace, "HasExtendedXMP");
    if (guid) r.declaresRightEye = true;
    readPano(standard, r);

    if (!guid) throw Refusal{"no extended XMP (xmpNote:HasExtendedXMP missing)"};
    if (!isGuid(*guid)) throw Refusal{"xmpNote:HasExtendedXMP is not a GUID of 32 upper-case hex digits"};
    r.guid = *guid;

    const std::string packet = assembleExtended(jpeg, layout, r.guid, r.extendedChunks);
    if (const std::string md5 = md5HexUpper(packet); md5 != r.guid)
        r.warnings.push_back("the extended XMP's GUID " + r.guid + " is not the MD5 of its packet (" + md5 +
                             "); it was read all the same, as Google Photos reads it");
    const XmpProperties extended = readXmpProperties(packet);
    if (!extended.ok()) throw Refusal{"extended " + extended.error};
    const std::string* data = extended.find(kGImageNamespace, "Data");
    if (!data) throw Refusal{"no GImage:Data in the extended XMP"};
    std::optional<Bytes> right = base64Decode(*data);
    if (!right) throw Refusal{"GImage:Data is not valid base64"};
    if (right->size() < 2 || (*right)[0] != 0xFF || (*right)[1] != kMarkerSoi) throw Refusal{"GImage:Data is not a JPEG"};
    r.rightJpeg = std::move(*right);

    r.leftJpeg = rebuildJpeg(jpeg, layout, {}, [&](const JpegSegment& s) { return !isXmpSegment(jpeg, s); });
}

}  // namespace

std::vector<Bytes> extendedXmpPayloads(std::string_view packet) { return chunkPayloads(packet, md5HexUpper(packet)); }

Vr180WriteResult writeVr180Jpeg(std::span<const uint8_t> leftJpeg, std::span<const uint8_t> rightJpeg, int eyeSize,
                                std::span<const uint8_t> exifApp1Payload, double poseHeadingDegrees) {
    try {
        return write(leftJpeg, rightJpeg, eyeSize, exifApp1Payload, poseHeadingDegrees);
    } catch (const std::bad_alloc&) {
        Vr180WriteResult r = refuse("not enough memory for the VR180 file");
        r.outOfMemory = true;
        return r;
    } catch (const std::exception& e) {
        return refuse(std::string("VR180 writer failed: ") + e.what());
    } catch (...) {
        return refuse("VR180 writer failed");
    }
}

Vr180ReadResult readVr180Jpeg(std::span<const uint8_t> jpeg) {
    Vr180ReadResult r;
    try {
        read(jpeg, r);
        return r;
    } catch (const Refusal& refusal) {
        r.error = refusal.why;
    } catch (const std::bad_alloc&) {
        r.error = "not enough memory to read the VR180 file";
    } catch (const std::exception& e) {
        r.error = std::string("VR180 reader failed: ") + e.what();
    } catch (...) {
        r.error = "VR180 reader failed";
    }
    // A refused read returns no half results but the numbers read so far, for diagnosis.
    r.leftJpeg.clear();
    r.rightJpeg.clear();
    return r;
}

}  // namespace vistereo::media
