// What the conversion tests share: a run nobody watches, a pair of lenses that every synthetic pair is taken
// with, pictures of noise, and the single run a batch's or a video's output is held against.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "batch/batch.h"
#include "conversion/run.h"
#include "tests/support/scratch.h"

namespace vistereo::conversiontest {

// Takes a run's messages and shows them to no one.
struct QuietSink : MessageSink {
    void showMessage(const std::string&) override {}
};

// Both eyes through an equisolid lens of that name, as the synthetic pairs are photographed.
inline void equisolidLenses(ConversionRequest& request, const std::string& name = "Test lens") {
    for (LensSettings& lens : request.lenses) {
        lens.name = name;
        lens.mappingKind = static_cast<int32_t>(MappingKind::Equisolid);
    }
}

// A picture of uniform noise: a pixel read from the wrong place shows.
inline cv::Mat noisePicture(int width, int height, int seed) {
    cv::Mat image(height, width, CV_8UC3);
    cv::setRNGSeed(seed);
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
    return image;
}
inline void writeNoise(const std::filesystem::path& file, int width, int height, int seed) {
    ASSERT_TRUE(cv::imwrite(file.string(), noisePicture(width, height, seed)));
}

// A picture as the image library encodes it in the format of `extension`.
inline std::string encoded(const cv::Mat& image, const char* extension, const std::vector<int>& parameters = {}) {
    std::vector<uchar> bytes;
    EXPECT_TRUE(cv::imencode(extension, image, bytes, parameters)) << extension;
    return std::string(bytes.begin(), bytes.end());
}

// The bytes one run of `request` writes for the two files, copied into `work`/input (input/ and output/ made
// there) as L and R with their own extensions, to `work`/output/`outputName`.
inline std::string singleRun(ConversionRequest request, const std::filesystem::path& work,
                             const std::filesystem::path& left, const std::filesystem::path& right,
                             const std::string& outputName, const RunOptions& run) {
    namespace fs = std::filesystem;
    fs::create_directories(work / "input"), fs::create_directories(work / "output");
    request.workingDirectory = work;
    request.leftName = "L" + left.extension().string(), request.rightName = "R" + right.extension().string();
    request.outputName = outputName;
    fs::copy_file(left, work / "input" / request.leftName, fs::copy_options::overwrite_existing);
    fs::copy_file(right, work / "input" / request.rightName, fs::copy_options::overwrite_existing);
    QuietSink quiet;
    const ConversionResult result = RunConversion(request, quiet, run);
    EXPECT_TRUE(result.written()) << result.detail;
    return testsupport::readFile(work / "output" / outputName);
}

// The same for two pictures, handed over as PNG: the picture written.
inline cv::Mat singleRun(const ConversionRequest& request, const std::filesystem::path& work, const cv::Mat& left,
                         const cv::Mat& right, const RunOptions& run) {
    std::filesystem::create_directories(work);
    EXPECT_TRUE(cv::imwrite((work / "left.png").string(), left) && cv::imwrite((work / "right.png").string(), right));
    const std::string bytes = singleRun(request, work, work / "left.png", work / "right.png", "pair.png", run);
    return cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data())),
                        cv::IMREAD_COLOR);
}

// Records what a batch reports, in the order reported, and stops it after `stopAfter` pairs when asked to.
class BatchRecorder : public BatchObserver {
public:
    void pairFinished(const BatchPair&, const PairOutcome& outcome, const BatchProgress& progress) override {
        std::lock_guard lock(mutex);
        outcomes.push_back(outcome);
        done.push_back(progress.done());
    }
    void pairWaiting(const BatchPair& pair) override {
        std::lock_guard lock(mutex);
        waited.push_back(pair.output.filename().string());
    }
    bool stopRequested() override {
        std::lock_guard lock(mutex);
        return stopAfter > 0 && outcomes.size() >= stopAfter;
    }
    std::mutex mutex;
    std::vector<PairOutcome> outcomes;
    std::vector<size_t> done;
    std::vector<std::string> waited;
    size_t stopAfter = 0;
};

}  // namespace vistereo::conversiontest
