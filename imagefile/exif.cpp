#include "imagefile/exif.h"

#include <cstring>
#include <exception>
#include <mutex>
#include <new>

// Exiv2 0.27 still names std::auto_ptr in its interface.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include "imagefile/jpeg_segments.h"

namespace vistereo::media {
namespace {

// Exiv2 reports damaged metadata through its log, not by failing; while one of
// our calls runs on a thread, its warnings go to that call's note.
thread_local std::string* tLog = nullptr;

void logHandler(int level, const char* message) {
    if (!tLog || level < Exiv2::LogMsg::warn || !message) return;
    std::string text(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty()) return;
    if (!tLog->empty()) *tLog += "; ";
    *tLog += text;
}

// Exiv2 has one log handler and one log level for the whole process, and no
// way to give a call its own. Swapping them around each call would race with
// the calls of other threads (one call's restore undoing another's handler),
// so both are set once, before the first call: the handler speaks only for
// the thread whose call opened a LogCapture and drops every other line, so
// what a call hears is its own whichever threads parse at the same time.
void setUpExiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::XmpParser::initialize();  // before any thread parses XMP
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::warn);
        Exiv2::LogMsg::setHandler(logHandler);
    });
}

class LogCapture {
public:
    LogCapture() : previous_(tLog) { tLog = &text_; }
    ~LogCapture() { tLog = previous_; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    const std::string& text() const { return text_; }

private:
    std::string text_;
    std::string* previous_;
};

std::string withLog(std::string note, const LogCapture& log) {
    if (!log.text().empty()) note += " (" + log.text() + ")";
    return note;
}

SourceExif fromImage(Exiv2::Image& image, const LogCapture& log) {
    SourceExif result;
    image.readMetadata();
    const Exiv2::ExifData& data = image.exifData();
    if (data.empty()) {
        result.error = log.text().empty() ? "no EXIF" : "EXIF not readable: " + log.text();
        return result;
    }
    Exiv2::ByteOrder order = image.byteOrder();
    if (order == Exiv2::invalidByteOrder) order = Exiv2::littleEndian;
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, order, data);
    if (blob.empty()) {
        result.error = withLog("EXIF not readable", log);
        return result;
    }
    result.tiff.assign(blob.begin(), blob.end());
    result.note = log.text();  // warnings about parts left behind, if any
    return result;
}

template <typename Open>
SourceExif readWith(Open open) {
    SourceExif result;
    try {
        setUpExiv2();
        LogCapture log;
        try {
            Exiv2::Image::AutoPtr image = open();
            if (!image.get()) {
                result.error = withLog("no EXIF (not an image file Exiv2 reads)", log);
                return result;
            }
            return fromImage(*image, log);
        } catch (const Exiv2::AnyError& e) {
            result.error = withLog(std::string("EXIF not readable: ") + e.what(), log);
        }
    } catch (const std::bad_alloc&) {
        result.error = "EXIF not readable: not enough memory";
    } catch (const std::exception& e) {
        result.error = std::string("EXIF not readable: ") + e.what();
    } catch (...) {
        result.error = "EXIF not readable";
    }
    result.note.clear();
    result.tiff.clear();
    return result;
}

// IFD0 tags that describe how the input stored its pixels, not the output.
const char* const kStorageTags[] = {
    "Exif.Image.NewSubfileType",  "Exif.Image.SubfileType",     "Exif.Image.ImageWidth",
    "Exif.Image.ImageLength",     "Exif.Image.BitsPerSample",   "Exif.Image.Compression",
    "Exif.Image.PhotometricInterpretation", "Exif.Image.StripOffsets", "Exif.Image.SamplesPerPixel",
    "Exif.Image.RowsPerStrip",    "Exif.Image.StripByteCounts", "Exif.Image.PlanarConfiguration",
    "Exif.Image.TileWidth",       "Exif.Image.TileLength",      "Exif.Image.TileOffsets",
    "Exif.Image.TileByteCounts",  "Exif.Image.SubIFDs",         "Exif.Image.JPEGInterchangeFormat",
    "Exif.Image.JPEGInterchangeFormatLength", "Exif.Image.YCbCrSubSampling"};

void eraseWhere(Exiv2::ExifData& data, bool (*drop)(const Exiv2::Exifdatum&)) {
    for (auto it = data.begin(); it != data.end();) {
        if (drop(*it)) it = data.erase(it);
        else ++it;
    }
}

std::vector<uint8_t> app1Payload(const Exiv2::ExifData& data, Exiv2::ByteOrder order) {
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, order, data);
    // Copied by hand: g++ 12 warns falsely about vector::insert here (GCC bug 107852).
    std::vector<uint8_t> payload(kExifSignature.size() + blob.size());
    std::memcpy(payload.data(), kExifSignature.data(), kExifSignature.size());
    if (!blob.empty()) std::memcpy(payload.data() + kExifSignature.size(), blob.data(), blob.size());
    return payload;
}

ExifForOutput makePayload(const SourceExif& exif, uint32_t width, uint32_t height, std::string_view software) {
    ExifForOutput result;
    if (!exif.ok() || exif.tiff.empty()) {
        result.error = exif.error.empty() ? "no EXIF" : exif.error;
        return result;
    }
    setUpExiv2();
    LogCapture log;
    Exiv2::ExifData data;
    Exiv2::ByteOrder order;
    try {
        order = Exiv2::ExifParser::decode(data, exif.tiff.data(), static_cast<uint32_t>(exif.tiff.size()));
    } catch (const Exiv2::AnyError& e) {
        result.error = withLog(std::string("EXIF not readable: ") + e.what(), log);
        return result;
    }
    if (data.empty() || order == Exiv2::invalidByteOrder) {
        result.error = withLog("EXIF not readable", log);
        return result;
    }

    Exiv2::ExifThumb(data).erase();
    for (const char* key : kStorageTags) {
        const auto it = data.findKey(Exiv2::ExifKey(key));
        if (it != data.end()) data.erase(it);
    }
    data["Exif.Image.Orientation"] = uint16_t(1);
    data["Exif.Photo.PixelXDimension"] = width;
    data["Exif.Photo.PixelYDimension"] = height;
    if (!software.empty()) data["Exif.Image.Software"] = std::string(software);

    result.app1 = app1Payload(data, order);
    if (result.app1.size() > kMaxSegmentPayload) {
        eraseWhere(data, [](const Exiv2::Exifdatum& d) {
            return d.key() == "Exif.Photo.MakerNote" || d.groupName() == "MakerNote" ||
                   Exiv2::ExifTags::isMakerGroup(d.groupName());
        });
        result.app1 = app1Payload(data, order);
        result.note = "maker note left out: the EXIF did not fit one JPEG APP1 segment";
    }
    if (result.app1.size() > kMaxSegmentPayload) {
        result.error = "EXIF left out: " + std::to_string(result.app1.size()) +
                      " bytes do not fit one JPEG APP1 segment even without the maker note";
        result.app1.clear();
        return result;
    }
    return result;
}

}  // namespace

SourceExif readExifFromFile(const std::string& utf8Path) {
    // On POSIX systems the UTF-8 name is the file's name as it is.
    return readWith([&] { return Exiv2::ImageFactory::open(utf8Path); });
}

SourceExif readExifFromBytes(std::span<const uint8_t> image) {
    if (image.empty()) {
        SourceExif result;
        result.error = "no EXIF (no image bytes)";
        return result;
    }
    return readWith([&] { return Exiv2::ImageFactory::open(image.data(), static_cast<long>(image.size())); });
}

ExifForOutput makeExifApp1Payload(const SourceExif& exif, uint32_t width, uint32_t height, std::string_view software) {
    try {
        return makePayload(exif, width, height, software);
    } catch (const std::bad_alloc&) {
        ExifForOutput r;
        r.error = "EXIF left out: not enough memory";
        return r;
    } catch (const std::exception& e) {
        ExifForOutput r;
        r.error = std::string("EXIF left out: ") + e.what();
        return r;
    } catch (...) {
        ExifForOutput r;
        r.error = "EXIF left out";
        return r;
    }
}

JpegWithExif addExifToJpeg(std::span<const uint8_t> jpeg, const SourceExif& exif, std::string_view software) {
    JpegWithExif result;
    try {
        result.jpeg.assign(jpeg.begin(), jpeg.end());
        const JpegLayout layout = parseJpegLayout(jpeg);
        if (!layout.ok()) {
            result.error = "EXIF left out: the output is not a readable JPEG (" + layout.error + ")";
            return result;
        }
        const std::optional<FrameSize> size = jpegFrameSize(jpeg, layout);
        if (!size) {
            result.error = "EXIF left out: the output JPEG has no frame header";
            return result;
        }
        const ExifForOutput payload =
            makeExifApp1Payload(exif, static_cast<uint32_t>(size->width), static_cast<uint32_t>(size->height), software);
        if (!payload.ok()) {
            result.error = payload.error;
            return result;
        }
        result.note = payload.note;
        result.jpeg = rebuildJpeg(jpeg, layout, {makeSegment(kMarkerApp1, payload.app1)},
                                  [&](const JpegSegment& s) { return !isApp1With(jpeg, s, kExifSignature); });
    } catch (...) {
        result.note.clear();
        result.error = "EXIF left out: not enough memory";
        try {
            result.jpeg.assign(jpeg.begin(), jpeg.end());
        } catch (...) {
            result.jpeg.clear();  // not even the plain output fits: the caller sees an empty result
            result.error = "not enough memory for the output JPEG";
        }
    }
    return result;
}

}  // namespace vistereo::media

#pragma GCC diagnostic pop
