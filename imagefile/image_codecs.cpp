// Why the codecs are opened on first use: linked, libopencv_imgcodecs brings
// GDAL, GDCM, OpenEXR and the rest of 139 shared libraries, which the dynamic
// loader opened and relocated on every start of the programs: a program linked
// to the rest of our libraries started in 8 ms, and in 72 ms with the codecs
// added. Every start paid it, "vistereo-cli --version" and the desktop program
// included, though JPEG photos decode through libjpeg. With these and FFmpeg's
// libraries opened on first use, "vistereo-cli --version" went from 130 ms to
// 5 ms.
//
// The functions below are OpenCV's own, defined here with the header's
// signatures; each passes the call on to the library's definition, found by
// its C++ symbol name. A program that also links the codecs itself (the
// tests, which write their own images) still works: its calls land here and
// are passed on to the same, already loaded library.
#include "imagefile/image_codecs.h"

#include <opencv2/imgcodecs.hpp>

#include "base/shared_libraries.h"
#include "imagefile/image_header.h"

namespace vistereo {
namespace {

SharedLibraries& codecs() {
    static SharedLibraries group("OpenCV's image codecs", {VISTEREO_IMGCODECS_SONAME});
    return group;
}

// The function of the codec library whose symbol is `mangled`, typed as
// `Function`; looked up once per forwarding function.
template <typename Function>
Function codecFunction(const char* mangled) {
    return reinterpret_cast<Function>(codecs().function(0, mangled));
}

}  // namespace

const Fallible& loadImageCodecs() { return codecs().load(); }

bool imageWriterExists(const std::string& outputName) {
    if (isJpegName(outputName)) return true;
    return loadImageCodecs().ok() && cv::haveImageWriter(outputName);
}

}  // namespace vistereo

// The symbol names are those of the Itanium C++ ABI (g++ and clang on Linux)
// for the signatures beside them; a wrong one fails on its first call with
// "... has no function <name>", which the tests' PNG and TIFF round trips meet.
namespace cv {

Mat imdecode(InputArray buf, int flags) {
    using Function = Mat (*)(InputArray, int);
    static const auto real = vistereo::codecFunction<Function>("_ZN2cv8imdecodeERKNS_11_InputArrayEi");
    return real(buf, flags);
}

bool imencode(const String& ext, InputArray img, std::vector<uchar>& buf, const std::vector<int>& params) {
    using Function = bool (*)(const String&, InputArray, std::vector<uchar>&, const std::vector<int>&);
    static const auto real = vistereo::codecFunction<Function>(
        "_ZN2cv8imencodeERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKNS_11_InputArrayERSt6vectorIhSaIhEERKSB_"
        "IiSaIiEE");
    return real(ext, img, buf, params);
}

Mat imread(const String& filename, int flags) {
    using Function = Mat (*)(const String&, int);
    static const auto real =
        vistereo::codecFunction<Function>("_ZN2cv6imreadERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEi");
    return real(filename, flags);
}

bool haveImageWriter(const String& filename) {
    using Function = bool (*)(const String&);
    static const auto real = vistereo::codecFunction<Function>(
        "_ZN2cv15haveImageWriterERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
    return real(filename);
}

}  // namespace cv
