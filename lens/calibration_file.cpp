#include "lens/calibration_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <span>

#include "lens/lens_check.h"
#include "lens/calibration_text.h"

namespace vistereo {
namespace {

using Matrix3 = std::array<std::array<double, 3>, 3>;

// A calibration is a few kilobytes; this much is read before a file is refused as too large.
constexpr int64_t kMaxCalibrationBytes = 4 << 20;

// Where a value sits, for the messages: "cam1.intrinsics[2]".
std::string child(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }
std::string item(const std::string& path, size_t index) { return path + "[" + std::to_string(index) + "]"; }

// Thrown inside this file only, caught where a camera or the file is read: the node and what is wrong.
struct NodeProblem {
    std::string node, what;
};
[[noreturn]] void refuse(const std::string& node, const std::string& what) { throw NodeProblem{node, what}; }

const CalibrationNode& required(const CalibrationNode& parent, const std::string& path, const char* key) {
    const CalibrationNode* found = parent.find(key);
    if (!found) refuse(child(path, key), "missing");
    return *found;
}

// The first of several names a file may give a node (nullptr when it has none of them).
const CalibrationNode* firstOf(const CalibrationNode& parent, std::initializer_list<const char*> keys, std::string& key) {
    for (const char* k : keys)
        if (const CalibrationNode* found = parent.find(k)) return key = k, found;
    return nullptr;
}

std::string scalarOf(const CalibrationNode& node, const std::string& path) {
    if (node.kind != CalibrationNode::Kind::Scalar) refuse(path, "is a list or a mapping, not one value");
    return node.text;
}

double numberOf(const CalibrationNode& node, const std::string& path) {
    const std::string text = scalarOf(node, path);
    std::string lower;
    for (const char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == ".nan" || lower == "nan" || lower == "+nan" || lower == "-nan") refuse(path, "is NaN, not a number");
    if (lower == ".inf" || lower == "+.inf" || lower == "-.inf" || lower == "inf" || lower == "-inf")
        refuse(path, "is infinite");
    char* end = nullptr;
    const double v = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size()) refuse(path, "'" + text.substr(0, 40) + "' is not a number");
    if (!std::isfinite(v)) refuse(path, "'" + text.substr(0, 40) + "' is out of range");
    return v;
}

int wholeNumberOf(const CalibrationNode& node, const std::string& path) {
    const double v = numberOf(node, path);
    if (v != std::floor(v) || v < 0 || v > 1e6) refuse(path, lensNumberText(v) + " is not a whole number of dots");
    return static_cast<int>(v);
}

// A matrix or a list of numbers: an OpenCV or ROS matrix (rows, cols, data), a flat list, or a list of rows.
struct Numbers {
    std::vector<double> values;
    std::string path;  // of the values themselves, for the messages about them
};
Numbers numbersOf(const CalibrationNode& node, const std::string& path) {
    Numbers out;
    if (node.kind == CalibrationNode::Kind::Mapping) {
        const CalibrationNode& data = required(node, path, "data");
        out = numbersOf(data, child(path, "data"));
        if (node.find("rows") && node.find("cols")) {
            const int rows = wholeNumberOf(*node.find("rows"), child(path, "rows"));
            const int cols = wholeNumberOf(*node.find("cols"), child(path, "cols"));
            if (static_cast<size_t>(rows) * cols != out.values.size())
                refuse(child(path, "data"), "holds " + std::to_string(out.values.size()) + " numbers, not rows x cols = " +
                                                std::to_string(rows) + " x " + std::to_string(cols));
        }
        return out;
    }
    if (node.kind == CalibrationNode::Kind::Scalar) {
        if (node.text.empty()) return {{}, path};  // "key:" with nothing, or "[]": no numbers
        return {{numberOf(node, path)}, path};
    }
    out.path = path;
    size_t width = 0;
    for (size_t i = 0; i < node.items.size(); ++i) {
        const CalibrationNode& v = node.items[i];
        if (v.kind == CalibrationNode::Kind::Sequence) {
            if (i > 0 && v.items.size() != width) refuse(item(path, i), "a row of another length than the first");
            width = v.items.size();
            for (size_t j = 0; j < v.items.size(); ++j) out.values.push_back(numberOf(v.items[j], item(item(path, i), j)));
        } else {
            out.values.push_back(numberOf(v, item(path, i)));
        }
    }
    return out;
}

Numbers exactly(const CalibrationNode& node, const std::string& path, size_t count, const std::string& what) {
    Numbers n = numbersOf(node, path);
    if (n.values.size() != count)
        refuse(path, "holds " + std::to_string(n.values.size()) + " numbers; " + what + " has " + std::to_string(count));
    return n;
}

// A camera matrix [fx s cx; 0 fy cy; 0 0 1] into the lens.
void takeCameraMatrix(const CalibrationNode& node, const std::string& path, CalibratedLens& lens) {
    const Numbers k = exactly(node, path, 9, "a camera matrix");
    if (k.values[1] != 0.0) refuse(k.path, "has a skew of " + lensNumberText(k.values[1]) + ": a lens with skewed dots is not read");
    if (k.values[3] != 0.0 || k.values[6] != 0.0 || k.values[7] != 0.0 || k.values[8] != 1.0)
        refuse(k.path, "is not a camera matrix [fx 0 cx; 0 fy cy; 0 0 1]");
    lens.fx = k.values[0], lens.cx = k.values[2], lens.fy = k.values[4], lens.cy = k.values[5];
}

// Kannala-Brandt's k1 .. k4 from a distortion list that must hold exactly four.
void takeFisheyeCoefficients(const CalibrationNode& node, const std::string& path, CalibratedLens& lens) {
    const Numbers d = numbersOf(node, path);
    if (d.values.size() != 4)
        refuse(d.path, "holds " + std::to_string(d.values.size()) +
                           " coefficients: a fisheye (Kannala-Brandt) calibration has 4, k1 .. k4" +
                           (d.values.size() == 5 || d.values.size() == 8 || d.values.size() >= 12
                                ? " (this looks like a calibration of the pinhole model with radial-tangential "
                                  "distortion, which is another model)"
                                : ""));
    lens.kind = MappingKind::Polynomial;
    lens.polynomial = {d.values[0], d.values[1], d.values[2], d.values[3]};
}

// A distortion model's name, as ROS and OpenCV-based tools write it.
bool isFisheyeModel(const std::string& name) {
    return name == "equidistant" || name == "fisheye" || name == "kannala_brandt" || name == "kannala-brandt" ||
           name == "equi" || name == "KB4";
}

// A 3 x 3 rotation, or a rotation vector (Rodrigues), checked to be one.
Matrix3 rotationOf(const Numbers& n) {
    Matrix3 r{};
    if (n.values.size() == 3) {
        const double x = n.values[0], y = n.values[1], z = n.values[2], angle = std::sqrt(x * x + y * y + z * z);
        const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
        const double u[3] = {angle > 0 ? x / angle : 1, angle > 0 ? y / angle : 0, angle > 0 ? z / angle : 0};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) r[i][j] = t * u[i] * u[j] + (i == j ? c : 0.0);
        r[0][1] -= s * u[2], r[1][0] += s * u[2], r[0][2] += s * u[1], r[2][0] -= s * u[1], r[1][2] -= s * u[0],
            r[2][1] += s * u[0];
        return r;
    }
    if (n.values.size() != 9 && n.values.size() != 16 && n.values.size() != 12)
        refuse(n.path, "holds " + std::to_string(n.values.size()) + " numbers: a rotation has 9 (or 3 as a rotation vector)");
    const size_t stride = n.values.size() == 9 ? 3 : 4;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = n.values[i * stride + j];
    double worst = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double dot = 0.0;
            for (int k = 0; k < 3; ++k) dot += r[k][i] * r[k][j];
            worst = std::max(worst, std::abs(dot - (i == j ? 1.0 : 0.0)));
        }
    const double det = r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) - r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
                       r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
    if (!(worst < 1e-3) || !(det > 0.0)) refuse(n.path, "is not a rotation (its columns are not unit and at right angles)");
    return r;
}

// ---- OpenCV FileStorage and ROS camera_info --------------------------------------------------------------------

CalibrationFile readOpenCvOrRos(const CalibrationNode& root, CalibrationModel model) {
    CalibrationFile out;
    std::string modelKey;
    const CalibrationNode* modelNode = firstOf(root, {"distortion_model"}, modelKey);
    out.format = modelNode || root.find("camera_name") ? "ROS camera_info" : "OpenCV FileStorage";

    // The picture's size, shared by both cameras of a stereo calibration.
    std::string widthKey, heightKey;
    const CalibrationNode* width = firstOf(root, {"image_width", "width"}, widthKey);
    const CalibrationNode* height = firstOf(root, {"image_height", "height"}, heightKey);
    std::string sizeError;
    int w = 0, h = 0;
    try {
        if (!width) refuse("image_width", "missing: the calibrated pictures' size is needed");
        if (!height) refuse("image_height", "missing: the calibrated pictures' size is needed");
        w = wholeNumberOf(*width, widthKey), h = wholeNumberOf(*height, heightKey);
    } catch (const NodeProblem& p) {
        sizeError = p.node + ": " + p.what;
    }

    // The names a camera's matrix and coefficients go by: one camera's, or a stereo calibration's two.
    struct CameraKeys {
        const char* matrix[2];
        const char* coefficients[2];
    };
    static constexpr CameraKeys kSingle[] = {{{"K", "camera_matrix"}, {"D", "distortion_coefficients"}}};
    static constexpr CameraKeys kStereo[] = {{{"K1", "M1"}, {"D1", "D1"}}, {{"K2", "M2"}, {"D2", "D2"}}};
    std::string stereoKey;
    const bool stereo = firstOf(root, {"K1", "M1"}, stereoKey) != nullptr;
    for (const CameraKeys& keys : stereo ? std::span<const CameraKeys>(kStereo) : std::span<const CameraKeys>(kSingle)) {
        CalibrationCamera camera;
        camera.node = stereo ? keys.matrix[0] : "";
        try {
            std::string kKey, dKey;
            const CalibrationNode* k = firstOf(root, {keys.matrix[0], keys.matrix[1]}, kKey);
            const CalibrationNode* d = firstOf(root, {keys.coefficients[0], keys.coefficients[1]}, dKey);
            if (!k) refuse(keys.matrix[0], "missing: the camera matrix (fx, fy, cx, cy) is needed");
            if (!d) refuse(keys.coefficients[0], "missing: the distortion coefficients k1 .. k4 are needed");
            if (modelNode) {
                const std::string name = scalarOf(*modelNode, modelKey);
                if (!isFisheyeModel(name)) {
                    const size_t count = numbersOf(*d, dKey).values.size();
                    if (model != CalibrationModel::KannalaBrandt)
                        refuse(modelKey, "is '" + name + "', another model than the fisheye's (equidistant)" +
                                             (count == 4 ? "; if its 4 coefficients are a fisheye's k1 .. k4, say so with "
                                                           "--model kannala-brandt"
                                                         : ""));
                    if (count != 4)
                        refuse(dKey, "holds " + std::to_string(count) + " coefficients under '" + name +
                                         "': --model kannala-brandt reads 4 (k1 .. k4)");
                }
            }
            takeCameraMatrix(*k, kKey, camera.lens);
            camera.valuesNode = kKey;
            takeFisheyeCoefficients(*d, dKey, camera.lens);
            if (!sizeError.empty()) refuse("", sizeError);
            camera.lens.width = w, camera.lens.height = h;
        } catch (const NodeProblem& p) {
            camera.error = p.node.empty() ? p.what : p.node + ": " + p.what;
        }
        out.cameras.push_back(std::move(camera));
    }
    if (stereo) {
        try {
            out.rotation = rotationOf(numbersOf(required(root, "", "R"), "R"));
            if (const CalibrationNode* t = root.find("T")) {
                const Numbers n = exactly(*t, "T", 3, "a translation");
                out.translation = std::array<double, 3>{n.values[0], n.values[1], n.values[2]};
            }
        } catch (const NodeProblem& p) {
            out.rotation.reset();
            out.rotationError = p.node + ": " + p.what;
        }
    } else {
        out.rotationError = "holds one camera, so no rotation between two";
    }
    return out;
}

// ---- Kalibr camchain ----------------------------------------------------------------------------------------------

CalibrationCamera kalibrCamera(const CalibrationNode& cam, const std::string& path, CalibrationModel model) {
    CalibrationCamera camera;
    camera.node = path;
    try {
        if (cam.kind != CalibrationNode::Kind::Mapping) refuse(path, "is not a mapping of the camera's values");
        const std::string cameraModel = scalarOf(required(cam, path, "camera_model"), child(path, "camera_model"));
        const CalibrationNode* distortionNode = cam.find("distortion_model");
        const std::string distortion =
            distortionNode ? scalarOf(*distortionNode, child(path, "distortion_model")) : std::string("none");
        const Numbers intrinsics = numbersOf(required(cam, path, "intrinsics"), child(path, "intrinsics"));
        const Numbers coefficients = cam.find("distortion_coeffs")
                                         ? numbersOf(*cam.find("distortion_coeffs"), child(path, "distortion_coeffs"))
                                         : Numbers{{}, child(path, "distortion_coeffs")};
        const Numbers resolution = exactly(required(cam, path, "resolution"), child(path, "resolution"), 2,
                                           "a resolution (width, height)");
        CalibratedLens& lens = camera.lens;
        size_t focalAt = 0;
        if (cameraModel == "pinhole") {
            const bool fisheye = isFisheyeModel(distortion) ||
                                 (model == CalibrationModel::KannalaBrandt && coefficients.values.size() == 4);
            if (!fisheye)
                refuse(child(path, "distortion_model"),
                       "is '" + distortion + "' with a pinhole camera: another model than the fisheye's (equidistant)");
            if (intrinsics.values.size() != 4)
                refuse(intrinsics.path, "holds " + std::to_string(intrinsics.values.size()) +
                                            " numbers; a pinhole camera has 4 (fu, fv, pu, pv)");
            if (coefficients.values.size() != 4)
                refuse(coefficients.path, "holds " + std::to_string(coefficients.values.size()) +
                                              " coefficients; the equidistant model has 4 (k1 .. k4)");
            lens.kind = MappingKind::Polynomial;
            const std::vector<double>& d = coefficients.values;
            lens.polynomial = {d[0], d[1], d[2], d[3]};
        } else if (cameraModel == "ds" || cameraModel == "eucm") {
            if (distortion != "none" || !coefficients.values.empty())
                refuse(child(path, "distortion_model"), "is '" + distortion + "' with a " + cameraModel +
                                                            " camera: its own two numbers are its distortion (none)");
            if (intrinsics.values.size() != 6)
                refuse(intrinsics.path, "holds " + std::to_string(intrinsics.values.size()) + " numbers; a " + cameraModel +
                                            " camera has 6 (" + (cameraModel == "ds" ? "xi, alpha" : "alpha, beta") +
                                            ", fu, fv, pu, pv)");
            lens.kind = cameraModel == "ds" ? MappingKind::DoubleSphere : MappingKind::ExtendedUnified;
            lens.sphere = {intrinsics.values[0], intrinsics.values[1]};
            focalAt = 2;
        } else {
            refuse(child(path, "camera_model"), "is '" + cameraModel + "': another model (pinhole with equidistant "
                                                                         "distortion, ds and eucm are read)");
        }
        camera.valuesNode = intrinsics.path;
        lens.fx = intrinsics.values[focalAt], lens.fy = intrinsics.values[focalAt + 1];
        lens.cx = intrinsics.values[focalAt + 2], lens.cy = intrinsics.values[focalAt + 3];
        for (size_t i = 0; i < 2; ++i)
            if (resolution.values[i] != std::floor(resolution.values[i]) || !(resolution.values[i] > 0 && resolution.values[i] <= 1e6))
                refuse(item(resolution.path, i), lensNumberText(resolution.values[i]) + " is not a whole number of dots");
        lens.width = static_cast<int>(resolution.values[0]), lens.height = static_cast<int>(resolution.values[1]);
    } catch (const NodeProblem& p) {
        camera.error = p.node + ": " + p.what;
    }
    return camera;
}

CalibrationFile readKalibr(const CalibrationNode& root, CalibrationModel model) {
    CalibrationFile out;
    out.format = "Kalibr camchain";
    for (size_t n = 0;; ++n) {
        const std::string key = "cam" + std::to_string(n);
        const CalibrationNode* cam = root.find(key);
        if (!cam) break;
        out.cameras.push_back(kalibrCamera(*cam, key, model));
    }
    const CalibrationNode* second = root.find("cam1");
    if (!second) {
        out.rotationError = "holds one camera, so no rotation between two";
        return out;
    }
    try {
        const Numbers t = exactly(required(*second, "cam1", "T_cn_cnm1"), "cam1.T_cn_cnm1", 16, "a 4 x 4 transform");
        out.rotation = rotationOf(t);
        out.translation = std::array<double, 3>{t.values[3], t.values[7], t.values[11]};
    } catch (const NodeProblem& p) {
        out.rotationError = p.node + ": " + p.what;
    }
    return out;
}

}  // namespace

CalibrationFile readCalibrationText(std::string_view text, const std::string& fileName, CalibrationModel model) {
    size_t first = 0;
    while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
    const bool xml = text.substr(first, 1) == "<" || text.substr(first, 4) == "\xEF\xBB\xBF<";
    const CalibrationText tree = xml ? readCalibrationXml(text) : readCalibrationYaml(text);
    CalibrationFile out;
    if (!tree.ok()) {
        out.error = fileName + " " + tree.error;
        return out;
    }
    const CalibrationNode& root = tree.root;
    if (root.kind != CalibrationNode::Kind::Mapping) {
        out.error = fileName + ": holds " + (root.kind == CalibrationNode::Kind::Sequence ? "a list" : "one value") +
                    ", not a calibration's mapping of names to values";
        return out;
    }
    out = root.find("cam0") ? readKalibr(root, model) : readOpenCvOrRos(root, model);
    for (CalibrationCamera& camera : out.cameras)
        if (!camera.ok()) camera.error = fileName + ": " + camera.error;
    if (!out.rotationError.empty()) out.rotationError = fileName + ": " + out.rotationError;
    if (out.cameras.empty()) out.error = fileName + ": cam0: missing";
    return out;
}

CalibrationFile readCalibrationFile(const std::filesystem::path& file, CalibrationModel model) {
    CalibrationFile out;
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        out.error = file.string() + ": " + (errno == ENOENT ? "does not exist" : std::string("cannot be opened: ") + std::strerror(errno));
        return out;
    }
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        out.error = file.string() + (S_ISDIR(info.st_mode) ? ": is a folder, not a file" : ": is not a regular file");
    } else if (info.st_size > kMaxCalibrationBytes) {
        out.error = file.string() + ": is " + std::to_string(info.st_size / 1024) + " KiB, larger than any calibration";
    } else {
        char block[65536];
        for (ssize_t got; (got = ::read(fd, block, sizeof block)) != 0;) {
            if (got < 0) {
                if (errno == EINTR) continue;
                out.error = file.string() + ": cannot be read: " + std::strerror(errno);
                break;
            }
            text.append(block, static_cast<size_t>(got));
            if (text.size() > static_cast<size_t>(kMaxCalibrationBytes)) {
                out.error = file.string() + ": is larger than any calibration";
                break;
            }
        }
    }
    ::close(fd);
    if (!out.error.empty()) return out;
    return readCalibrationText(text, file.string(), model);
}

RotationMatrix rightToLeftOfCalibration(const Matrix3& r, int32_t leftTurnDegrees, int32_t rightTurnDegrees) {
    // The calibration's frames (x right, y down, z forward) as the engine's (x right, y forward, z up): P.
    // Directions: d_right = R d_left there, so d_left = R^T d_right, and in the engine's frames P R^T P^T.
    const double p[3][3] = {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}};
    RotationMatrix sensors;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) sum += p[i][a] * r[b][a] * p[j][b];
            sensors.m[i][j] = sum;
        }
    // Each eye's upright frame: its sensor's azimuths less its turn (a turn about the optical axis, +y).
    auto about = [](int32_t degrees) {
        const int quarters = ((degrees / 90) % 4 + 4) % 4;  // a quarter turn's sine and cosine, exactly
        const double c = quarters == 0 ? 1.0 : quarters == 2 ? -1.0 : 0.0;
        const double s = quarters == 1 ? 1.0 : quarters == 3 ? -1.0 : 0.0;
        RotationMatrix m;
        m.m[0][0] = c, m.m[0][2] = -s, m.m[2][0] = s, m.m[2][2] = c;
        return m;
    };
    return about(-leftTurnDegrees) * sensors * about(rightTurnDegrees);
}

}  // namespace vistereo
