#include "conversion/auto_align.h"

#include <chrono>

namespace vistereo {

PairAlignment alignRequestPair(const ConversionRequest& request, int threads) {
    const auto start = std::chrono::steady_clock::now();
    PairAlignment out;
    if (request.lenses[0].name.empty() || request.lenses[1].name.empty()) {
        out.error = kMsgSelectLens;
        return out;
    }
    const InputImages images =
        readInputImages(request.workingDirectory, request.leftName, request.rightName, request.limits);
    const InputImage* eyes[2] = {&images.left, &images.right};
    const char* unreadable[2] = {kMsgBadLeftImage, kMsgBadRightImage};
    for (int i = 0; i < 2; ++i) {
        if (eyes[i]->tooLarge) out.error = describeTooLarge(*eyes[i], request.limits);
        else if (eyes[i]->pixels.empty()) out.error = unreadable[i];
        if (!out.ok()) return out;
    }
    const cv::Mat& left = images.left.pixels;
    const cv::Mat& right = images.right.pixels;
    const PreparedEyes prepared =
        prepareEyes(request.lenses, {ImageSize{left.cols, left.rows}, ImageSize{right.cols, right.rows}});
    if (const auto& bad = prepared.error) {
        out.error = std::string(bad->eye == 0 ? "left" : "right") + " lens \"" + request.lenses[bad->eye].name +
                    "\" has " + bad->field + " " + std::to_string(bad->value) + ", which is not a known code";
        return out;
    }
    alignment::AlignmentOptions options;
    options.threads = threads;
    out.result = alignment::estimateAlignment(alignment::CameraModel::fromEyeGeometry(prepared.eye[0]), left,
                                              alignment::CameraModel::fromEyeGeometry(prepared.eye[1]), right, options);
    if (!out.result.ok) out.error = "automatic alignment failed: " + out.result.reason;
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return out;
}

RotationMatrix rotationOf(const alignment::AlignmentResult& result) {
    RotationMatrix m;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m.m[r][c] = result.rotation[3 * r + c];
    return m;
}

}  // namespace vistereo
