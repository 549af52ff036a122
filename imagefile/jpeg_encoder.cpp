// libjpeg's errors jump back with longjmp (imagefile/libjpeg_errors.h):
// every call into libjpeg sits in a function of its own whose locals are
// plain values, and the waiting for rows (which may throw) happens between
// those calls, in ordinary C++.
#include "imagefile/jpeg_encoder.h"

#include <algorithm>
#include <exception>
#include <memory>

#include <jerror.h>

#include "imagefile/libjpeg_errors.h"

namespace vistereo {
namespace {

// An encoder writes nothing worth hearing below an error.
extern "C" void dropMessage(j_common_ptr, int) {}

// The compressed bytes go straight into a growing vector.
struct VectorDestination {
    jpeg_destination_mgr pub;  // first: libjpeg sees only this part
    std::vector<uint8_t>* bytes;
};

extern "C" void startBuffer(j_compress_ptr cinfo) {
    auto& dest = *reinterpret_cast<VectorDestination*>(cinfo->dest);
    dest.pub.next_output_byte = dest.bytes->data();
    dest.pub.free_in_buffer = dest.bytes->size();
}

// libjpeg calls this with the whole buffer full; it is doubled. A failed
// allocation becomes libjpeg's own out-of-memory error (no exception may
// cross libjpeg's frames).
extern "C" boolean growBuffer(j_compress_ptr cinfo) {
    auto& dest = *reinterpret_cast<VectorDestination*>(cinfo->dest);
    const size_t used = dest.bytes->size();
    bool grown = true;
    try {
        dest.bytes->resize(2 * used);
    } catch (const std::exception&) {
        grown = false;
    }
    if (!grown) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    dest.pub.next_output_byte = dest.bytes->data() + used;
    dest.pub.free_in_buffer = dest.bytes->size() - used;
    return TRUE;
}

extern "C" void endBuffer(j_compress_ptr cinfo) {
    auto& dest = *reinterpret_cast<VectorDestination*>(cinfo->dest);
    dest.bytes->resize(dest.bytes->size() - dest.pub.free_in_buffer);
}

struct Compressor {
    jpeg_compress_struct cinfo{};
    JpegErrorManager errors;
    VectorDestination destination{};
    Compressor() {
        cinfo.err = jpeg_std_error(&errors.pub);
        errors.pub.error_exit = vistereoJpegExit;
        errors.pub.emit_message = dropMessage;
        jpeg_create_compress(&cinfo);
    }
    ~Compressor() { jpeg_destroy_compress(&cinfo); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
};

// The image library's writer's settings: libjpeg's defaults, no restart
// markers, the quality's tables limited to baseline values. Its rows are
// RGB; libjpeg takes BGR as it is, through the same colour conversion.
bool startEncoding(Compressor& c, int width, int height, int quality) {
    if (setjmp(c.errors.jump)) return false;
    jpeg_compress_struct& cinfo = c.cinfo;
    cinfo.dest = &c.destination.pub;
    c.destination.pub.init_destination = startBuffer;
    c.destination.pub.empty_output_buffer = growBuffer;
    c.destination.pub.term_destination = endBuffer;
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    cinfo.restart_interval = 0;
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    return true;
}

bool writeRows(Compressor& c, JSAMPARRAY rows, JDIMENSION count, JDIMENSION& written) {
    if (setjmp(c.errors.jump)) return false;
    written = jpeg_write_scanlines(&c.cinfo, rows, count);
    return true;
}

bool finishEncoding(Compressor& c) {
    if (setjmp(c.errors.jump)) return false;
    jpeg_finish_compress(&c.cinfo);
    return true;
}

}  // namespace

JpegEncoding encodeJpeg(const LentRows& picture, int quality) {
    JpegEncoding out;
    // Whatever happens below, the rows are not needed any more.
    struct LetGo {
        const LentRows& picture;
        ~LetGo() {
            if (picture.release) picture.release(picture.height);
        }
    } letGo{picture};
    const auto fail = [&](const Compressor& c) {
        out.bytes.clear();
        out.error = c.errors.error;
        out.outOfMemory = c.errors.errorCode == JERR_OUT_OF_MEMORY;
        return out;
    };
    auto compressor = std::make_unique<Compressor>();
    // A first guess of two bits a pixel; the buffer doubles when outgrown.
    out.bytes.resize(std::max<size_t>(size_t{1} << 16, static_cast<size_t>(picture.width) * picture.height / 4));
    compressor->destination.bytes = &out.bytes;
    if (!startEncoding(*compressor, picture.width, picture.height, std::clamp(quality, 0, 100)))
        return fail(*compressor);

    // Rows are handed over in groups as they become final; 16 rows is one
    // row of 4:2:0 blocks, the most libjpeg takes in at a time. libjpeg
    // copies what it is handed, so the rows it took can be let go at once.
    constexpr int kGroup = 16;
    JSAMPROW group[kGroup];
    int ready = picture.waitFor ? 0 : picture.height;
    for (int y = 0; y < picture.height;) {
        if (y >= ready) ready = std::min(picture.height, picture.waitFor(std::min(picture.height, y + kGroup)));
        CV_Assert(ready > y);  // the wait returns only once more rows are final
        const int count = std::min(kGroup, ready - y);
        for (int k = 0; k < count; ++k) group[k] = const_cast<JSAMPROW>(picture.row(y + k));
        JDIMENSION written = 0;
        if (!writeRows(*compressor, group, static_cast<JDIMENSION>(count), written)) return fail(*compressor);
        y += static_cast<int>(written);
        if (picture.release) picture.release(y);
    }
    if (!finishEncoding(*compressor)) return fail(*compressor);
    return out;
}

JpegEncoding encodeJpeg(const cv::Mat& picture, int quality, const WaitForRows& waitForRows) {
    CV_Assert(picture.type() == CV_8UC3);
    LentRows rows;
    rows.width = picture.cols, rows.height = picture.rows;
    rows.waitFor = waitForRows;
    rows.row = [&](int y) { return picture.ptr<uint8_t>(y); };
    return encodeJpeg(rows, quality);
}

}  // namespace vistereo
