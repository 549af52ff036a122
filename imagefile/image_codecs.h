// OpenCV's image codecs (libopencv_imgcodecs) opened on first use rather than
// linked: the conversion library calls cv::imdecode, cv::imencode, cv::imread
// and cv::haveImageWriter as declared in <opencv2/imgcodecs.hpp>, and
// image_codecs.cpp defines them, passing each call on to the library once
// opened. JPEG photographs, the usual input, never need it.
#pragma once

#include <string>

#include "base/fallible.h"

namespace vistereo {

// Opens the image codecs the first time it is asked; good when they are
// open, else the error "OpenCV's image codecs could not be loaded: <the
// loader's reason>". A codec function called when they cannot be opened
// throws std::runtime_error with that text.
const Fallible& loadImageCodecs();

// Whether an output image can be written under `outputName`'s extension:
// JPEG names always, without opening the codecs; any other as the codecs
// answer (false when they cannot be opened).
bool imageWriterExists(const std::string& outputName);

}  // namespace vistereo
