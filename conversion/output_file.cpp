// A conversion's output: the canvas, the encoding, the file.
#include "conversion/output_file.h"

#include <cstdint>
#include <exception>

#include "base/atomic_file.h"
#include "base/message_text.h"
#include "stereofile/output_formats.h"

namespace vistereo {

RunStep allocateCanvas(int32_t outputHeight, cv::Mat& canvas, int rows) {
    try {
        canvas.create(rows < 0 ? static_cast<int>(outputHeight) : rows, static_cast<int>(2 * int64_t{outputHeight}),
                      CV_8UC3);
    } catch (const std::exception&) {
        return refusalOf(ConversionStatus::OutputHeightInvalid, nullptr,
                       "There is not enough memory for an output image of height " + std::to_string(outputHeight) +
                           ".");
    }
    return {};
}

RunStep encodeOutput(const ConversionRequest& request, const std::string& outputName,
                     const std::filesystem::path& leftInput, const cv::Mat& canvas, std::vector<uchar>& encoded,
                     std::vector<std::string>& notes, const WaitForRows& rowsReady, int threads, const LentRows* lent) {
    // The format and the quality's use follow the output's own name.
    EncodedOutput output = outputFormatOf(outputName).encode(
        {outputName, request.jpegQuality, request.keepExif, leftInput, rowsReady, threads, lent}, canvas);
    notes.insert(notes.end(), output.notes.begin(), output.notes.end());
    encoded = std::move(output.bytes);
    const std::string extension = outputExtension(outputName);
    if (encoded.empty() && output.outOfMemory)
        return refusalOf(ConversionStatus::OutOfMemory, nullptr,
                       "There is not enough memory to encode the output as \"" + extension + "\".");
    if (encoded.empty())
        return refusalOf(ConversionStatus::OutputNameInvalid, nullptr,
                       "The image library could not encode the output as \"" + extension + "\".");
    return {};
}

RunStep writeOutput(const std::filesystem::path& target, const std::vector<uchar>& encoded, bool makeFolder) {
    // A write that fails ends the run silently: it still closes with its message.
    std::error_code ec;
    const std::filesystem::path folder = target.parent_path();
    if (makeFolder && !folder.empty() && !std::filesystem::is_directory(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        if (ec)
            return refusalOf(ConversionStatus::WriteFailed, nullptr,
                             "cannot make the folder " + shortenForMessage(folder.string()) + ": " + ec.message());
    }
    // An output that is a link is replaced by the new file: what the link
    // named, perhaps another photograph, is left as it was.
    const Fallible written = writeFileAtomically(
        target, std::string_view(reinterpret_cast<const char*>(encoded.data()), encoded.size()), AtLink::Replace);
    if (written.ok()) return {};
    return refusalOf(ConversionStatus::WriteFailed, nullptr,
                     "cannot write " + shortenForMessage(target.string()) + ": " + written.error);
}

}  // namespace vistereo
