// Conversion parameters, split by who decides them.
//
// The user chooses a lens for each eye (LensSettings, as its registry record
// says it), the points A and B (PointSet), the output height and the zenith
// correction (ZenithTenths). prepareEyes (engine/prepare.h) turns the lens
// settings and the two image sizes into the per-eye geometry (EyeGeometry)
// once; the lens mapping and the renderers only read that geometry. Nothing
// here is shared or changed while a conversion runs: every front end hands
// the engine its own values.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vistereo {

// The photographic constants the whole geometry is built on. They are the
// eight- and nine-decimal values, not the full double-precision pi: every
// stored output depends on them.
inline constexpr double kPi = 3.14159265;
inline constexpr double kHalfPi = 1.570796325;

// Default output height in dots (the width is twice the height).
inline constexpr int32_t kDefaultOutputHeight = 4096;

// A pixel position in whole dots: x = column from the left edge, y = row
// from the top edge; of a source image, or of its view in the point picker.
struct ImagePoint {
    int32_t x = 0;
    int32_t y = 0;
    friend bool operator==(const ImagePoint&, const ImagePoint&) = default;
};

// How the radius for 90 degrees off the axis is found, which law the lens
// follows, and where its optical axis is. The registry file stores these as
// the integer codes given here.
enum class RadiusMode : int32_t { CircularFisheye = 0, DiagonalFisheye = 1, Magnification = 2, Dots = 3 };
//
// Mapping kinds 0 to 3 are the sine laws and the four-segment quadratic; 4 to 6
// are the projections fisheye makers state: equidistant (r proportional to
// theta), stereographic (r proportional to tan(theta / 2)) and the calibrated
// polynomial theta + k1 theta^3 + k2 theta^5 + k3 theta^7 + k4 theta^9
// (Kannala-Brandt); 7 and 8 are the calibrated double-sphere and extended
// unified camera models (Usenko et al. 2018; Khomenko et al. 2016), as
// calibration tools such as Kalibr state them. Those five keep their values in
// record fields the other kinds leave alone: see fieldOfViewDegrees,
// polynomialLawOf and sphereLawOf.
enum class MappingKind : int32_t {
    Orthographic = 0,
    Equisolid = 1,
    SineK = 2,
    Quadratic = 3,
    Equidistant = 4,
    Stereographic = 5,
    Polynomial = 6,
    DoubleSphere = 7,
    ExtendedUnified = 8,
};
inline constexpr int32_t kLastMappingKind = static_cast<int32_t>(MappingKind::ExtendedUnified);

// The sine laws and the quadratic, whose arithmetic is fixed to the last
// single-precision narrowing; the newer kinds are plain double precision.
inline bool isSineOrQuadratic(MappingKind kind) { return static_cast<int32_t>(kind) <= 3; }
enum class AxisMode : int32_t { ImageCentre = 0, GivenAxis = 1 };

// The four-segment quadratic lens law: r = a*theta^2 + b*theta + c on
// [0, theta1), [theta1, theta2), [theta2, theta3) and [theta3, ...), with the
// first segment through the origin (c1 is not used).
struct QuadraticLaw {
    double theta1 = 0.0, theta2 = 0.0, theta3 = 0.0;
    double a1 = 0.0, b1 = 0.0, c1 = 0.0;
    double a2 = 0.0, b2 = 0.0, c2 = 0.0;
    double a3 = 0.0, b3 = 0.0, c3 = 0.0;
    double a4 = 0.0, b4 = 0.0, c4 = 0.0;
    friend bool operator==(const QuadraticLaw&, const QuadraticLaw&) = default;
};

// The polynomial projection's odd-power terms beyond theta.
struct PolynomialLaw {
    double k1 = 0.0, k2 = 0.0, k3 = 0.0, k4 = 0.0;
    friend bool operator==(const PolynomialLaw&, const PolynomialLaw&) = default;
};

// The two shape numbers of the double-sphere model (xi, alpha) or of the
// extended unified model (alpha, beta), in the order calibration files give
// them. A direction (x, y, z), z along the axis, lands at f (x, y) / d with
//   double sphere:     d = alpha d2 + (1 - alpha) (xi |p| + z), d2 = |(x, y, xi |p| + z)|
//   extended unified:  d = alpha sqrt(beta (x^2 + y^2) + z^2) + (1 - alpha) z
struct SphereLaw {
    double first = 0.0, second = 0.0;
    friend bool operator==(const SphereLaw&, const SphereLaw&) = default;
};

// Small corrections of an eye's lens found from the pictures: the axis point moved by (axisDx, axisDy)
// dots, the image scale multiplied by `scale`, and a first shape term: r becomes r * scale * (1 + shape * theta^2).
// The defaults leave the lens exactly as its record describes it (the same bytes).
struct LensCorrection {
    double axisDx = 0.0, axisDy = 0.0, scale = 1.0, shape = 0.0;
    bool isIdentity() const { return axisDx == 0.0 && axisDy == 0.0 && scale == 1.0 && shape == 0.0; }
    friend bool operator==(const LensCorrection&, const LensCorrection&) = default;
};

// What a calibration knows of a lens beyond the record's whole dots, and
// how its picture stands: the optical axis to a fraction of a dot, the
// aspect of the lens's scale across to its scale down (fx / fy; 1 when its
// dots are square), and how far the picture as read must be turned
// clockwise to stand upright (0, 90, 180 or 270 degrees). Records of the
// classic dialog have none of these: the defaults leave a lens exactly as
// its whole-dot fields describe it.
struct LensPrecision {
    bool hasCentre = false;
    double centreX = 0.0, centreY = 0.0;  // the optical axis, when hasCentre (axis code 1 only)
    double aspect = 1.0;
    int32_t turnDegrees = 0;
    // An item of the record's text that cannot be read, and why (empty: none).
    std::string unreadableItem, unreadableReason;
    friend bool operator==(const LensPrecision&, const LensPrecision&) = default;
};

// A lens as the user chose it: its registry record with the number texts
// read. The three mode codes are kept as the record holds them; prepareEyes
// decides whether they are known codes.
struct LensSettings {
    std::string name;  // empty: no lens chosen yet
    double magnification = 0.0;
    double sineK = 0.0;
    QuadraticLaw quadratic;
    int32_t radiusMode = 0;
    int32_t radiusDots = 0;  // radius for 90 degrees in dots (radius mode "dots")
    int32_t mappingKind = 0;
    int32_t axisX = 0;
    int32_t axisY = 0;
    int32_t axisMode = 0;
    LensPrecision precision;
};

// For the equidistant, stereographic and polynomial kinds: the field of view
// of the image circle in degrees, kept in the quadratic's c1 (which no law
// reads). The radius modes then give the radius of that circle; 0 (or no
// value) means the radius is the one at 90 degrees off the axis, as for the
// sine laws.
inline double fieldOfViewDegrees(const LensSettings& lens) { return lens.quadratic.c1; }

// For the polynomial kind: k1 .. k4, kept in the quadratic's a1 .. a4.
inline PolynomialLaw polynomialLawOf(const LensSettings& lens) {
    const QuadraticLaw& q = lens.quadratic;
    return {q.a1, q.a2, q.a3, q.a4};
}

// For the double-sphere and extended unified kinds: their two numbers, kept
// in the quadratic's a1 and a2 as the polynomial keeps its terms.
inline SphereLaw sphereLawOf(const LensSettings& lens) { return {lens.quadratic.a1, lens.quadratic.a2}; }

// The turns a picture may need to stand upright, in degrees clockwise.
inline bool isQuarterTurn(int32_t degrees) { return degrees == 0 || degrees == 90 || degrees == 180 || degrees == 270; }

// Points A and B in both images.
struct PointSet {
    ImagePoint leftA, leftB, rightA, rightB;
    friend bool operator==(const PointSet&, const PointSet&) = default;

    // The point-list order of the comma line and of the point picker's
    // hand-over: A-left x, B-left x, A-right x, B-right x, then the four y.
    static PointSet fromListOrder(const std::array<int32_t, 8>& values);
    std::array<int32_t, 8> listOrder() const;
};

// The zenith correction as the up-down controls count it: tenths of a degree.
struct ZenithTenths {
    int32_t roll = 0, pitch = 0, yaw = 0;
    friend bool operator==(const ZenithTenths&, const ZenithTenths&) = default;
};

// The same three angles in radians.
struct ZenithAngles {
    double roll = 0.0, pitch = 0.0, yaw = 0.0;
    friend bool operator==(const ZenithAngles&, const ZenithAngles&) = default;
};

// angle = tenths / 1800.0 * 3.14159265, in that order.
double zenithAngleFromTenths(int32_t tenths);
ZenithAngles zenithAngles(const ZenithTenths& tenths);

// The geometry of one eye, derived once from its lens settings and the size
// of its image: everything the lens mapping reads.
struct EyeGeometry {
    int32_t imageWidth = 0;
    int32_t imageHeight = 0;
    MappingKind mapping = MappingKind::Orthographic;
    double sineK = 0.0;         // k of the sine law
    double mappingScale = 0.0;  // m in r = radius180 * m * g(theta)
    int32_t radius180 = 0;      // image radius in dots for 90 degrees off the axis
    int32_t axisX = 0;
    int32_t axisY = 0;
    QuadraticLaw quadratic;
    double radius1 = 0.0, radius2 = 0.0, radius3 = 0.0;  // the quadratic law's bounds, normalised
    PolynomialLaw polynomial;     // the polynomial kind's k1 .. k4
    SphereLaw sphere;             // the double-sphere or extended unified kind's two numbers
    double circleTheta = kHalfPi;  // angle off the axis of the image circle's rim (half its field of view)
    double reachTheta = kHalfPi;   // widest angle off the axis the law maps one to one
    // A calibrated lens's precision (LensPrecision): the axis point's fraction
    // of a dot beyond axisX, axisY, the aspect fx / fy (the radius is in
    // column dots; a row offset is the column offset over the aspect), and
    // how far the picture must be turned clockwise to stand upright, in
    // quarter turns. The camera frame is the upright picture's: a direction
    // at azimuth phi in it lies at azimuth phi + turn in the picture as read.
    double axisFractionX = 0.0, axisFractionY = 0.0;
    double aspect = 1.0;
    int32_t quarterTurns = 0;
    LensCorrection correction;
    // Member by member: a member added here takes part in every comparison,
    // so a remap plan made for other lens values is never taken for this one.
    friend bool operator==(const EyeGeometry&, const EyeGeometry&) = default;
};

// What both renderers read: the two eyes, the output height and the zenith.
struct ConversionGeometry {
    std::array<EyeGeometry, 2> eye;  // 0 = left image and lens, 1 = right
    int32_t outputHeight = 0;
    ZenithAngles zenith;
};

}  // namespace vistereo
