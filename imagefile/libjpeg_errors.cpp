#include "imagefile/libjpeg_errors.h"

namespace vistereo {

extern "C" void vistereoJpegExit(j_common_ptr cinfo) {
    JpegErrorManager& errors = *reinterpret_cast<JpegErrorManager*>(cinfo->err);
    errors.errorCode = errors.pub.msg_code;
    (*errors.pub.format_message)(cinfo, errors.error);
    std::longjmp(errors.jump, 1);
}

}  // namespace vistereo
