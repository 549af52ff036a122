// What the JPEG decoder and encoder share of libjpeg's error handling: an
// error manager whose error_exit keeps the message and jumps back with
// longjmp to the setjmp of the call that went wrong (it must not return, and
// no C++ exception may cross libjpeg's frames).
#pragma once

#include <csetjmp>

#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>

namespace vistereo {

struct JpegErrorManager {
    jpeg_error_mgr pub;  // first: libjpeg sees only this part
    std::jmp_buf jump;
    int errorCode = 0;
    char error[JMSG_LENGTH_MAX] = {};
};

// The error_exit: keeps the code and the message, then jumps back.
extern "C" void vistereoJpegExit(j_common_ptr cinfo);

}  // namespace vistereo
