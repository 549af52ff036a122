// Pictures encoded as JPEG through libjpeg directly, with the settings of the
// image library's JPEG writer (baseline, the standard's Huffman tables, 4:2:0
// chroma, a JFIF header, quality 95 unless told): the same file byte for
// byte. Unlike that writer it can start before the picture is finished: it
// takes the rows as they become final, so that the encoding of an output
// runs beside the render that is still producing its lower rows. libjpeg's
// complaints stay on the result, and the image library's codecs (with their
// long chain of shared libraries) are not needed for a JPEG.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "base/fallible.h"

namespace vistereo {

struct JpegEncoding : Fallible {
    std::vector<uint8_t> bytes;  // the whole file; empty when it failed
    bool outOfMemory = false;    // it failed for want of memory
};

// Waits until at least `rows` rows of the picture (from the top) are final
// and returns how many are. May throw when the rows will never come (a render
// that failed or was cancelled): the encoding is then dropped and the
// exception reaches encodeJpeg's caller.
using WaitForRows = std::function<int(int rows)>;

// `picture`: 8-bit BGR, 3 channels, of any row step (a half of a wider
// image does). `quality`: 0 .. 100 (clamped). Without `waitForRows` every
// row is taken as final.
JpegEncoding encodeJpeg(const cv::Mat& picture, int quality, const WaitForRows& waitForRows = {});

// A picture whose rows are lent rather than held: each final row is read
// where `row` says, and once the encoder has taken the rows above a line it
// lets them go (`release`), so that their memory can take later rows.
struct LentRows {
    int width = 0, height = 0;
    WaitForRows waitFor;                               // as above; none: every row is final
    std::function<const uint8_t*(int y)> row;          // 8-bit BGR, `width` pixels
    std::function<void(int rowsTaken)> release;        // none: nothing to let go
};

// The same bytes as encodeJpeg of the whole picture. Every row is let go by
// the time it returns or throws, also when the encoding fails.
JpegEncoding encodeJpeg(const LentRows& picture, int quality);

}  // namespace vistereo
