// PNG files judged whole before the image library decodes them. Its reader
// lets libpng print its complaint about a damaged file ("libpng error: Not
// enough image data") on the process's standard error, in a line that names
// no file, and then gives up; a file this check finds damaged is refused in
// our own words instead, naming the file and the fault, and never handed to
// the library. The same check tells a finished PNG output from a damaged one.
#pragma once

#include <string>
#include <string_view>

namespace vistereo {

// Why a PNG stream would not decode, or "": the signature, the chunks
// (lengths within the file, the critical chunks' CRCs, IHDR first with a
// size and a bit depth that go together, IEND at the end) and the picture
// data, inflated without being kept, to exactly the bytes the rows of the
// header's size need (interlaced or not). Not a PNG: "".
std::string pngStreamDamage(std::string_view bytes);

}  // namespace vistereo
