// VR180 stereo photographs in one JPEG file (Google's VR photo layout): the
// left eye is the primary image every viewer shows; the right eye's JPEG
// travels base64-encoded as GImage:Data in extended XMP (Adobe XMP,
// part 3, 1.1.3.1), split over APP1 segments that the standard XMP points to
// by the packet's MD5 (xmpNote:HasExtendedXMP). GPano tells panorama viewers
// that each eye covers the middle 180 degrees of a 360 x 180 degree
// equirectangular panorama.
//
// File layout written:
//   SOI, the primary's leading APP0 (JFIF) segments, EXIF APP1 (if any),
//   standard XMP APP1, extended XMP APP1 chunks in offset order, the
//   primary's other segments, and the primary's image data from SOS on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/fallible.h"

namespace vistereo::media {

inline constexpr std::string_view kXmpSignature{"http://ns.adobe.com/xap/1.0/\0", 29};
inline constexpr std::string_view kExtendedXmpSignature{"http://ns.adobe.com/xmp/extension/\0", 35};
inline constexpr std::string_view kGPanoNamespace = "http://ns.google.com/photos/1.0/panorama/";
inline constexpr std::string_view kGImageNamespace = "http://ns.google.com/photos/1.0/image/";
inline constexpr std::string_view kXmpNoteNamespace = "http://ns.adobe.com/xmp/note/";

// Most bytes of the standard XMP packet (after its 29-byte signature), as the
// Adobe XMP rules allow for it.
inline constexpr size_t kMaxStandardXmpPacket = 65502;
// Most bytes of the extended packet in one APP1 chunk (after the 75-byte
// chunk header: signature, GUID, full length, offset).
inline constexpr size_t kMaxExtendedXmpChunkData = 65400;
inline constexpr size_t kExtendedXmpChunkHeader = 35 + 32 + 4 + 4;

// The GPano values of a VR180 photo whose eyes are N x N.
struct Vr180Pano {
    std::string projectionType;         // "equirectangular"
    bool usePanoramaViewer = false;     // GPano:UsePanoramaViewer="True"
    int64_t croppedAreaImageWidthPixels = 0;   // N
    int64_t croppedAreaImageHeightPixels = 0;  // N
    int64_t fullPanoWidthPixels = 0;           // 2N
    int64_t fullPanoHeightPixels = 0;          // N
    int64_t croppedAreaLeftPixels = 0;         // N/2
    int64_t croppedAreaTopPixels = 0;          // 0
    double initialViewHeadingDegrees = 0;      // 180 as written; 0 when absent
    double poseHeadingDegrees = 0;             // as given; 0 when absent
};

// `error`: why nothing was written.
struct Vr180WriteResult : Fallible {
    bool outOfMemory = false;   // nothing was written for want of memory
    std::vector<uint8_t> jpeg;  // the whole file
};

// The APP1 payloads (without marker and length) that carry `packet` as
// extended XMP, in offset order: each is the 35-byte signature, the packet's
// upper-case hex MD5 (the GUID the standard XMP names), the packet's full
// length and this chunk's offset (4 bytes each, big-endian), then at most
// kMaxExtendedXmpChunkData bytes of the packet. The packet must stay below
// 4 GiB.
std::vector<std::vector<uint8_t>> extendedXmpPayloads(std::string_view packet);

// One VR180 JPEG from the two eyes' JPEG files, each `eyeSize` x `eyeSize`
// (checked against their SOF). `exifApp1Payload` is an EXIF APP1 segment's
// payload ("Exif\0\0" and the TIFF structure, as makeExifApp1Payload in
// imagefile/exif.h gives), or empty: then an EXIF APP1 the left JPEG already has
// is kept (moved to the front), otherwise it is replaced. Earlier XMP and
// extended XMP segments of the left JPEG are dropped. `poseHeadingDegrees`
// must be in [0, 360). Refused (an `error`): eye size not in 1..65535, either
// JPEG not readable up to SOS or of another size, an EXIF payload without the
// "Exif\0\0" start or over 65533 bytes, a right eye too large for extended XMP
// (its packet must stay below 4 GiB).
Vr180WriteResult writeVr180Jpeg(std::span<const uint8_t> leftJpeg, std::span<const uint8_t> rightJpeg, int eyeSize,
                                std::span<const uint8_t> exifApp1Payload = {}, double poseHeadingDegrees = 0.0);

// `error`: why it could not be read, e.g. "no standard XMP", "extended XMP
// chunk out of range".
struct Vr180ReadResult : Fallible {
    // The file declares an embedded right eye (xmpNote:HasExtendedXMP, or
    // extended XMP chunks): when the reading fails, it is a damaged VR180
    // photo, not a plain picture.
    bool declaresRightEye = false;
    // Read, but with a fault other readers overlook (a GUID that is not the
    // packet's MD5).
    std::vector<std::string> warnings;
    Vr180Pano pano;
    std::string mime;   // GImage:Mime ("image/jpeg"); empty when absent
    std::string guid;   // xmpNote:HasExtendedXMP
    size_t extendedChunks = 0;        // APP1 chunks that made up the extended packet
    std::vector<uint8_t> leftJpeg;    // the file without its standard and extended XMP segments
    std::vector<uint8_t> rightJpeg;   // GImage:Data decoded
};

// Reads a file writeVr180Jpeg wrote, or another writer's file of the same
// layout: GPano as attributes or as elements, in one rdf:Description or
// several; extended chunks in any order, interleaved with chunks of other
// GUIDs (ignored). A GUID that is not the MD5 of the packet it names is read
// all the same, with a warning, as Google Photos reads it (the chunks still
// have to agree on it). Never throws and never reads outside `jpeg`.
Vr180ReadResult readVr180Jpeg(std::span<const uint8_t> jpeg);

}  // namespace vistereo::media
