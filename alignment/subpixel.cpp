#include "alignment/subpixel.h"

#include <atomic>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "base/parallel.h"

namespace vistereo::alignment {
namespace {

// Bilinear value of a float image at a continuous position inside it.
inline float sample(const cv::Mat& image, double x, double y) {
    const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    const float fx = static_cast<float>(x - x0), fy = static_cast<float>(y - y0);
    const float* a = image.ptr<float>(y0) + x0;
    const float* b = image.ptr<float>(y0 + 1) + x0;
    return (a[0] * (1 - fx) + a[1] * fx) * (1 - fy) + (b[0] * (1 - fx) + b[1] * fx) * fy;
}

// True when the whole patch of `radius` around (x, y) can be sampled.
inline bool patchInside(const cv::Mat& image, double x, double y, int radius) {
    return x - radius >= 0.0 && y - radius >= 0.0 && x + radius < image.cols - 1.0 && y + radius < image.rows - 1.0;
}

class PatchRefiner {
public:
    PatchRefiner(const RefinementImage& left, const RefinementImage& right, const SubpixelOptions& options)
        : left_(left), right_(right), options_(options) {
        const int r = options.radius, side = 2 * r + 1;
        const double sigma = 0.6 * r;
        weight_.resize(side * side);
        for (int v = -r; v <= r; ++v)
            for (int u = -r; u <= r; ++u) weight_[(v + r) * side + (u + r)] = std::exp(-(u * u + v * v) / (2 * sigma * sigma));
        patch_.resize(side * side);
    }

    // The refined right position, or false.
    bool refine(cv::Point2d l, cv::Point2d& at) {
        const int r = options_.radius;
        if (!patchInside(left_.value, l.x, l.y, r)) return false;
        // The left patch and how well it pins a position down (the window's gradient tensor).
        double gxx = 0.0, gxy = 0.0, gyy = 0.0, total = 0.0;
        for (int v = -r, k = 0; v <= r; ++v)
            for (int u = -r; u <= r; ++u, ++k) {
                patch_[k] = sample(left_.value, l.x + u, l.y + v);
                const double gx = sample(left_.dx, l.x + u, l.y + v), gy = sample(left_.dy, l.x + u, l.y + v);
                const double w = weight_[k];
                gxx += w * gx * gx, gxy += w * gx * gy, gyy += w * gy * gy, total += w;
            }
        gxx /= total, gxy /= total, gyy /= total;
        const double smallest = 0.5 * (gxx + gyy) - std::sqrt(0.25 * (gxx - gyy) * (gxx - gyy) + gxy * gxy);
        if (!(smallest >= options_.minTexture)) return false;

        const cv::Point2d start = at;
        cv::Point2d p = at;
        double gain = 1.0, offset = 0.0;
        for (int iteration = 0; iteration < options_.iterations; ++iteration) {
            if (!patchInside(right_.value, p.x, p.y, r)) return false;
            cv::Matx44d h = cv::Matx44d::zeros();
            cv::Vec4d g(0, 0, 0, 0);
            for (int v = -r, k = 0; v <= r; ++v)
                for (int u = -r; u <= r; ++u, ++k) {
                    const double x = p.x + u, y = p.y + v;
                    const double value = sample(right_.value, x, y);
                    const cv::Vec4d j(gain * sample(right_.dx, x, y), gain * sample(right_.dy, x, y), value, 1.0);
                    const double e = gain * value + offset - patch_[k];
                    const double w = weight_[k];
                    h += w * (j * j.t());
                    g += w * e * j;
                }
            cv::Vec4d step;
            if (!cv::solve(h, -g, step, cv::DECOMP_CHOLESKY)) return false;
            p.x += step[0], p.y += step[1], gain += step[2], offset += step[3];
            if (!(gain > 0.25 && gain < 4.0) || std::hypot(p.x - start.x, p.y - start.y) > options_.maxShift) return false;
            if (std::hypot(step[0], step[1]) < options_.converged) {
                at = p;
                return true;
            }
        }
        return false;
    }

private:
    const RefinementImage& left_;
    const RefinementImage& right_;
    const SubpixelOptions& options_;
    std::vector<double> weight_;
    std::vector<double> patch_;
};

}  // namespace

RefinementImage prepareForRefinement(const cv::Mat& gray8) {
    RefinementImage out;
    gray8.convertTo(out.value, CV_32F);
    // A little smoothing: the Gauss-Newton steps need gradients that vary
    // smoothly over a pixel, and 8-bit steps and sampling noise fall.
    cv::GaussianBlur(out.value, out.value, cv::Size(0, 0), 1.0);
    cv::Sobel(out.value, out.dx, CV_32F, 1, 0, 3, 0.125);
    cv::Sobel(out.value, out.dy, CV_32F, 0, 1, 3, 0.125);
    return out;
}

int refineMatchedPositions(const RefinementImage& left, const RefinementImage& right, const cv::Mat& rightValid,
                           const std::vector<cv::Point2d>& leftAt, std::vector<cv::Point2d>& rightAt,
                           const SubpixelOptions& options, int threads) {
    CV_Assert(leftAt.size() == rightAt.size());
    std::atomic<int> refined{0};
    parallelChunks(static_cast<int>(leftAt.size()), 64, threads, [&]() -> ChunkBody {
        auto refiner = std::make_shared<PatchRefiner>(left, right, options);
        return [&, refiner](int begin, int end) {
            for (int k = begin; k < end; ++k) {
                cv::Point2d at = rightAt[k];
                if (!refiner->refine(leftAt[k], at)) continue;
                if (!rightValid.empty()) {
                    const int x = static_cast<int>(std::lround(at.x)), y = static_cast<int>(std::lround(at.y));
                    if (x < 0 || y < 0 || x >= rightValid.cols || y >= rightValid.rows || !rightValid.at<uint8_t>(y, x))
                        continue;
                }
                rightAt[k] = at;
                ++refined;
            }
        };
    });
    return refined.load();
}

}  // namespace vistereo::alignment
