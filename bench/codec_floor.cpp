// codec_floor: the time no conversion of these files can beat - decoding the
// two input JPEGs and encoding one output-sized JPEG, nothing in between.
//
//   codec_floor LEFT RIGHT OUTPUT [RUNS]
//
// OUTPUT is an image of the output's size and content (a finished conversion)
// so that the encoder sees realistic pixels.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <opencv2/imgcodecs.hpp>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: codec_floor LEFT RIGHT OUTPUT [RUNS]\n");
        return 2;
    }
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    const cv::Mat output = cv::imread(argv[3], cv::IMREAD_COLOR);
    if (output.empty()) {
        std::fprintf(stderr, "codec_floor: cannot read %s\n", argv[3]);
        return 1;
    }
    using Clock = std::chrono::steady_clock;
    std::vector<double> decode, encode;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        const cv::Mat l = cv::imread(argv[1], cv::IMREAD_COLOR), r = cv::imread(argv[2], cv::IMREAD_COLOR);
        auto t1 = Clock::now();
        std::vector<uchar> bytes;
        cv::imencode(".jpg", output, bytes);
        auto t2 = Clock::now();
        if (l.empty() || r.empty() || bytes.empty()) return 1;
        decode.push_back(std::chrono::duration<double>(t1 - t0).count());
        encode.push_back(std::chrono::duration<double>(t2 - t1).count());
    }
    std::sort(decode.begin(), decode.end());
    std::sort(encode.begin(), encode.end());
    const double d = decode[decode.size() / 2], e = encode[encode.size() / 2];
    std::printf("decode both %.3f s, encode %dx%d %.3f s, floor %.3f s (median of %d)\n", d, output.cols,
                output.rows, e, d + e, runs);
    return 0;
}
