// The engine adapter of the alignment: working halves, grid directions, lens
// mapping both ways, the A/B route's rotation.
#include "alignment/working_view.h"
#include "alignment/cv_rotation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "base/parallel.h"
#include "engine/lens.h"
#include "engine/params.h"
#include "engine/render.h"

namespace vistereo::alignment {

// The eye as both eyes of a geometry with no zenith: the engine's left half
// then shows this camera unrotated.
struct CameraModel::Geometry {
    ConversionGeometry conversion;
    const EyeGeometry& eye() const { return conversion.eye[0]; }
};

namespace {

cv::Matx33d rodrigues(const Vec3& k, double c, double s) {
    const double v = 1.0 - c;
    return {c + k.x * k.x * v,       k.x * k.y * v - k.z * s, k.x * k.z * v + k.y * s,
            k.y * k.x * v + k.z * s, c + k.y * k.y * v,       k.y * k.z * v - k.x * s,
            k.z * k.x * v - k.y * s, k.z * k.y * v + k.x * s, c + k.z * k.z * v};
}

}  // namespace

CameraModel CameraModel::fromEyeGeometry(const EyeGeometry& eye) {
    auto geometry = std::make_shared<Geometry>();
    geometry->conversion.eye = {eye, eye};
    CameraModel camera;
    camera.geometry_ = std::move(geometry);
    return camera;
}

CameraModel CameraModel::withCorrection(const LensCorrection& correction) const {
    EyeGeometry e = eye();
    e.correction = correction;
    return fromEyeGeometry(e);
}

CameraModel CameraModel::withMapping(MappingKind kind) const {
    return fromEyeGeometry(withMappingAt90Degrees(eye(), kind));
}

const EyeGeometry& CameraModel::eye() const { return geometry_->eye(); }

int CameraModel::imageWidth() const { return geometry_ ? geometry_->eye().imageWidth : 0; }
int CameraModel::imageHeight() const { return geometry_ ? geometry_->eye().imageHeight : 0; }

std::string eyeImageProblem(const char* eye, const CameraModel& camera, const cv::Mat& image) {
    const std::string the = std::string("the ") + eye + " image";
    if (camera.empty()) return std::string("no lens model for the ") + eye + " eye";
    if (image.empty()) return the + " is empty";
    if (image.type() != CV_8UC3) return the + " is not 8-bit BGR";
    if (image.cols != camera.imageWidth() || image.rows != camera.imageHeight())
        return the + " is " + std::to_string(image.cols) + " x " + std::to_string(image.rows) +
               " but its lens model was derived for " + std::to_string(camera.imageWidth()) + " x " +
               std::to_string(camera.imageHeight());
    return {};
}

double axisDensity(const CameraModel& camera) {
    const EyeGeometry& e = camera.geometry().eye();
    const double step = 1e-3;
    const SourcePosition a = projectToImage(e, 0.0, 0.0), b = projectToImage(e, step, 0.0);
    return std::hypot(b.column - a.column, b.row - a.row) / step;
}

namespace {

// A source image reduced by the largest integer box factor that keeps it at
// least as dense as an n x n half at the lens axis, so that sampling it does
// not alias; whole blocks only, so that block k covers source pixels
// k f .. k f + f - 1.
struct ReducedSource {
    cv::Mat image;
    int factor = 1;
    double offset = 0.0, inverse = 1.0;  // reduced position = (source position - offset) * inverse
};

ReducedSource reduceSource(const CameraModel& camera, const cv::Mat& image, int n) {
    const int width = camera.imageWidth(), height = camera.imageHeight();
    ReducedSource r;
    r.factor = std::clamp(static_cast<int>(std::floor(axisDensity(camera) / (n / kPi))), 1, 16);
    const int f = r.factor;
    if (f > 1 && width >= f && height >= f) {
        cv::resize(image(cv::Rect(0, 0, width / f * f, height / f * f)), r.image, cv::Size(width / f, height / f), 0, 0,
                   cv::INTER_AREA);
    } else {
        r.factor = 1;
        r.image = image(cv::Rect(0, 0, width, height));
    }
    r.offset = (r.factor - 1) * 0.5, r.inverse = 1.0 / r.factor;
    return r;
}

// Bilinear blend of the reduced source at source position (c, r), which must
// lie within the source image; `channels` values of type T per pixel.
template <typename T, int channels>
void sampleReduced(const ReducedSource& s, double c, double r, double* out) {
    const int rw = s.image.cols, rh = s.image.rows;
    const double x = std::clamp((c - s.offset) * s.inverse, 0.0, rw - 1.0);
    const double y = std::clamp((r - s.offset) * s.inverse, 0.0, rh - 1.0);
    const int x0 = std::min(static_cast<int>(x), rw - 2 < 0 ? 0 : rw - 2);
    const int y0 = std::min(static_cast<int>(y), rh - 2 < 0 ? 0 : rh - 2);
    const int x1 = std::min(x0 + 1, rw - 1), y1 = std::min(y0 + 1, rh - 1);
    const double fx = x - x0, fy = y - y0;
    const T* p0 = s.image.ptr<T>(y0);
    const T* p1 = s.image.ptr<T>(y1);
    for (int k = 0; k < channels; ++k)
        out[k] = (p0[x0 * channels + k] * (1 - fx) + p0[x1 * channels + k] * fx) * (1 - fy) +
                 (p1[x0 * channels + k] * (1 - fx) + p1[x1 * channels + k] * fx) * fy;
}

// The black surround of a fisheye photograph is not scene: pixels whose
// brightest channel is 6 or less leave the mask, which then keeps a margin
// off every edge.
void trimMask(const cv::Mat& brightest, cv::Mat& valid, int n) {
    cv::Mat lit;
    cv::compare(brightest, 6, lit, cv::CMP_GT);
    cv::bitwise_and(valid, lit, valid);
    const int radius = std::max(2, n / 160);
    cv::erode(valid, valid, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1)),
              cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::Scalar(0));
}

bool insideSource(double c, double r, int width, int height) {
    return c >= 0.0 && r >= 0.0 && c <= width - 1.0 && r <= height - 1.0;
}

}  // namespace

WorkingHalf renderWorkingHalf(const CameraModel& camera, const cv::Mat& source, int n, int threads) {
    ConversionGeometry p = camera.geometry().conversion;
    p.outputHeight = n;
    const int width = p.eye[0].imageWidth, height = p.eye[0].imageHeight;
    const AlignmentRotation unused{};  // the left half has no alignment
    CV_Assert(n > 0 && source.type() == CV_8UC3 && source.cols >= width && source.rows >= height && width > 0 &&
              height > 0);

    WorkingHalf half;
    cv::Mat gray;
    cv::cvtColor(source(cv::Rect(0, 0, width, height)), gray, cv::COLOR_BGR2GRAY);
    const ReducedSource reduced = reduceSource(camera, gray, n);
    half.reduction = reduced.factor;
    half.gray.create(n, n, CV_8UC1);
    half.valid.create(n, n, CV_8UC1);
    parallelChunks(n, 16, threads, [&]() -> ChunkBody {
        return [&](int begin, int end) {
            for (int i = begin; i < end; ++i) {
                const std::vector<SourcePosition> positions = sourcePositionsOfRow(p, Half::Left, unused, i, false);
                uint8_t* out = half.gray.ptr<uint8_t>(i);
                uint8_t* ok = half.valid.ptr<uint8_t>(i);
                for (int j = 0; j < n; ++j) {
                    const double c = positions[j].column, r = positions[j].row;
                    if (!insideSource(c, r, width, height)) {
                        out[j] = 0, ok[j] = 0;
                        continue;
                    }
                    double v;
                    sampleReduced<uint8_t, 1>(reduced, c, r, &v);
                    out[j] = static_cast<uint8_t>(std::lround(v));
                    ok[j] = 255;
                }
            }
        };
    });
    trimMask(half.gray, half.valid, n);
    return half;
}

ColourHalf renderColourHalf(const CameraModel& camera, const cv::Mat& source, int n, const RotationMatrix& turn,
                            int threads) {
    const cv::Matx33d toCamera = toCv(turn);
    const int width = camera.imageWidth(), height = camera.imageHeight();
    CV_Assert(n > 0 && source.type() == CV_8UC3 && source.cols >= width && source.rows >= height && width > 0 &&
              height > 0);
    const ReducedSource reduced = reduceSource(camera, source, n);
    ColourHalf half;
    half.bgr.create(n, n, CV_32FC3);
    half.source.create(n, n, CV_32FC2);
    half.valid.create(n, n, CV_8UC1);
    cv::Mat brightest(n, n, CV_8UC1);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    parallelChunks(n, 16, threads, [&]() -> ChunkBody {
        return [&](int begin, int end) {
            for (int i = begin; i < end; ++i) {
                auto* out = half.bgr.ptr<cv::Vec3f>(i);
                auto* at = half.source.ptr<cv::Vec2f>(i);
                uint8_t* ok = half.valid.ptr<uint8_t>(i);
                uint8_t* top = brightest.ptr<uint8_t>(i);
                for (int j = 0; j < n; ++j) {
                    const cv::Vec3d d = toCamera * toCv(halfPixelDirection(n, {double(j), double(i)}));
                    const std::optional<SourcePosition> p = sourcePositionOfDirection(camera, fromCv(d));
                    if (!p || !insideSource(p->column, p->row, width, height)) {
                        out[j] = cv::Vec3f(0, 0, 0), at[j] = cv::Vec2f(nan, nan), ok[j] = 0, top[j] = 0;
                        continue;
                    }
                    double v[3];
                    sampleReduced<uint8_t, 3>(reduced, p->column, p->row, v);
                    out[j] = cv::Vec3f(float(v[0]), float(v[1]), float(v[2]));
                    at[j] = cv::Vec2f(float(p->column), float(p->row));
                    ok[j] = 255;
                    top[j] = static_cast<uint8_t>(std::lround(std::max({v[0], v[1], v[2]})));
                }
            }
        };
    });
    trimMask(brightest, half.valid, n);
    return half;
}

LensCircle lensCircle(const CameraModel& camera) {
    const EyeGeometry& e = camera.geometry().eye();
    const SourcePosition axis = projectToImage(e, 0.0, 0.0), rim = projectToImage(e, kHalfPi, 0.0);
    return {axis, std::hypot(rim.column - axis.column, rim.row - axis.row)};
}

Vec3 halfPixelDirection(int n, cv::Point2d position) {
    const double nd = n;
    const double lambda = (position.x * kPi) / nd;
    const double psi = (position.y * kPi) / nd;
    return {-std::sin(psi) * std::cos(lambda), std::sin(psi) * std::sin(lambda), std::cos(psi)};
}

cv::Point2d halfPositionOfDirection(int n, const Vec3& direction) {
    const cv::Vec3d d = toCv(direction);
    const double length = cv::norm(d);
    const double psi = std::acos(std::clamp(d[2] / length, -1.0, 1.0));
    const double lambda = std::atan2(d[1], -d[0]);
    return {lambda * n / kPi, psi * n / kPi};
}

std::optional<SourcePosition> sourcePositionOfDirection(const CameraModel& camera, const Vec3& direction) {
    const double length = cv::norm(toCv(direction));
    if (!(length > 0.0)) return std::nullopt;
    const cv::Vec3d d = toCv(direction) / length;
    const SourcePosition p =
        projectToImage(camera.geometry().eye(), std::acos(std::clamp(d[1], -1.0, 1.0)), std::atan2(d[2], d[0]));
    if (!std::isfinite(p.column) || !std::isfinite(p.row)) return std::nullopt;
    return p;
}

Vec3 directionOfSourcePosition(const CameraModel& camera, SourcePosition position) {
    return directionOfPosition(camera.geometry().eye(), position);
}

Vec3 directionOfSourcePixel(const CameraModel& camera, ImagePoint pixel) {
    return directionOfPoint(camera.geometry().eye(), pixel);
}

RotationMatrix pointRouteRotation(const CameraModel& left, const CameraModel& right, const PointSet& points) {
    const AlignmentRotation a = alignmentRotation(left.geometry().eye(), right.geometry().eye(), points);
    // The right half looks up R^T d for output direction d, R = (beta about aL) (alpha about n).
    return fromCv(rodrigues(a.aL, a.cosBeta, a.sinBeta) * rodrigues(a.n, a.cosAlpha, a.sinAlpha));
}

}  // namespace vistereo::alignment
