#include "stereofile/stereo_image.h"

#include <exception>

#include "stereofile/vr180.h"

namespace vistereo {
namespace {

StereoImage refused(std::string reason) {
    StereoImage image;
    image.error = std::move(reason);
    return image;
}

// Why an image (or one eye of a VR180 photo) was not decoded, as a clause.
std::string causeOf(const InputImage& image) {
    return image.tooLarge() ? "it " + image.error + "; it was not decoded" : image.error;
}

std::string sizeOf(const cv::Mat& image) { return std::to_string(image.cols) + " x " + std::to_string(image.rows); }

void warnAboutDamage(const InputImage& image, const std::string& what, std::vector<std::string>& warnings) {
    if (!image.damage.empty())
        warnings.push_back(what + " is damaged (" + image.damage + "); it was read as far as it decodes");
}

// A picture its orientation tag turned before it was measured, said as such.
void noteTurn(const InputImage& image, const std::string& what, StereoImage& read) {
    if (!image.turned) return;
    const std::string clause = what + " carries the EXIF orientation " + describeOrientation(image.orientationTag) +
                               " and was read turned as the tag says" +
                               (image.turnedAnyway ? " (a TIFF is turned by its tag even when it is to be ignored)"
                                                   : "; --ignore-orientation reads it as stored");
    read.turned += (read.turned.empty() ? "" : "; ") + clause;
    read.warnings.push_back(clause);
}

StereoImage readVr180Eyes(const std::filesystem::path& path, media::Vr180ReadResult& vr,
                          const InputReadOptions& options) {
    const InputImage left = decodeInput(path, vr.leftJpeg, options);
    if (!left.ok()) return refused("the left eye of the VR180 photo: " + causeOf(left));
    vr.leftJpeg = {};
    const InputImage right = decodeInput(path, vr.rightJpeg, options);
    if (!right.ok()) return refused("the right eye in the VR180 photo's XMP: " + causeOf(right));
    vr.rightJpeg = {};
    if (left.pixels.cols != left.pixels.rows || left.pixels.size() != right.pixels.size())
        return refused("the VR180 photo's eyes are " + sizeOf(left.pixels) + " (left) and " + sizeOf(right.pixels) +
                       " (right), not two squares of one size");
    StereoImage image;
    image.vr180 = true;
    cv::hconcat(left.pixels, right.pixels, image.sideBySide);
    image.warnings = vr.warnings;
    warnAboutDamage(left, "the left eye", image.warnings);
    warnAboutDamage(right, "the right eye", image.warnings);
    noteTurn(left, "the left eye", image);
    noteTurn(right, "the right eye in the XMP", image);
    return image;
}

}  // namespace

StereoImage readStereoImage(const std::filesystem::path& path, const InputReadOptions& options) {
    try {
        InputFile file = readInputFile(path, maximumInputBytes(options.limits));
        if (!file.ok()) return refused(file.status == InputStatus::TooLarge ? "it " + file.error : file.error);
        const bool jpeg = file.bytes.size() >= 2 && file.bytes[0] == 0xFF && file.bytes[1] == 0xD8;
        media::Vr180ReadResult vr;
        if (jpeg) vr = media::readVr180Jpeg(file.bytes);
        if (jpeg && vr.ok()) return readVr180Eyes(path, vr, options);
        if (vr.declaresRightEye) return refused("it is a damaged VR180 photo: " + vr.error);

        const InputImage whole = decodeInput(path, file.bytes, options);
        file.bytes = {};
        if (!whole.ok()) return refused(causeOf(whole));
        if (whole.pixels.cols != 2 * whole.pixels.rows) {
            std::string reason = "the image is " + sizeOf(whole.pixels) + ", not a side-by-side pair (twice as wide as high)";
            if (whole.turned)
                reason += "; its EXIF orientation " + describeOrientation(whole.orientationTag) +
                          " turned it, and ignoring the tag reads it as stored";
            return refused(reason);
        }
        StereoImage image;
        image.sideBySide = whole.pixels;
        warnAboutDamage(whole, "the image", image.warnings);
        noteTurn(whole, "the image", image);
        return image;
    } catch (const std::exception& e) {
        return refused(isOutOfMemory(e) ? "there is not enough memory to read it" : e.what());
    }
}

}  // namespace vistereo
