// Automatic alignment of a side-by-side fisheye pair (the measurement of a
// finished side-by-side image, which shares its matching, is measure/measure.h).
//
// estimateAlignment finds the rotation R that carries right-camera
// directions onto left-camera directions (u_L = R u_R for a point at
// infinity), the rotation the right half of the conversion has to undo. Both
// eyes are first rendered into equirectangular working halves on the
// engine's grid (no alignment rotation, no zenith), features are detected
// and matched there (ratio test and mutual check), every matched position is
// turned into an exact unit direction of its camera, and R is estimated
// together with the baseline direction t, near the rig's +x line, on the side
// the near points' parallax shows (relative_pose.h), so that near points,
// whose directions differ by parallax along the baseline, do not bias R.
// The misalignment it reports is the one `check` will measure on the image
// it leads to: the matches' right directions turned by R, measured by the
// viewer's model (misalignment.h).
//
// Camera frames: +y the optical axis (forward), +x image-right, +z image-up.
//
// Yaw, pitch and roll describe the right camera relative to the left one:
// R = Yaw(yaw) * Pitch(pitch) * Roll(roll) (matrices in engine/rotation.h).
// Positive yaw: the right camera looks further to the right; positive pitch:
// further up; positive roll: turned about its optical axis so that its
// image-up direction leans towards image-right (clockwise as the
// photographer sees it). The test pairs are turned the same way, so the
// example pair (right camera turned by 2 degrees of yaw, -1 of pitch, 1.5 of
// roll) reads back as 2, -1, 1.5.
//
// Nothing here prints or throws: failures come back as a Failure code and a
// sentence saying why (base/fallible.h).
//
// This is the one header a caller outside alignment/ includes to align a
// pair and read the result: it holds every type the result is made of, in
// the project's own vocabulary (RotationMatrix, YawPitchRoll and Vec3 from
// engine/rotation.h and engine/lens.h, positions as SourcePosition), and
// includes none of the alignment's other headers; those include this one.
// The one OpenCV type it shows is cv::Mat, the project's image buffer. A
// caller that needs one of the alignment's tools itself (the working halves,
// the lens refinement, the rotation mean, the comfort grades) includes that
// header by name.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "base/fallible.h"
#include "engine/lens.h"
#include "engine/params.h"
#include "engine/rotation.h"

namespace vistereo::alignment {

enum class Failure {
    None,
    InvalidInput,   // empty or non-BGR image, image size not the one the camera model was derived for
    TextureLess,    // an eye shows too few features (blank, flat or black image)
    Unrelated,      // features, but too few consistent correspondences: not one scene seen by a stereo rig
    TooFewInliers,  // a consistent geometry, but supported by too few correspondences to be trusted
    Internal,       // the image library failed (out of memory, say)
};
const char* failureName(Failure failure);

// The comfort verdict on the misalignment a pair shows (its limits and the
// grades every figure is told by: comfort.h).
enum class Verdict {
    Unknown,        // the measurement failed
    Comfortable,    // 95th percentile of the misalignment <= comfort limit
    Marginal,       // <= fusion limit
    Uncomfortable,  // beyond the fusion limit
};
const char* verdictName(Verdict verdict);

// The default is AKAZE on 1024 x 1024 working halves, chosen by measurement
// (bench/align_bench on this two-core machine while other jobs ran, load
// 3 to 6; accuracy over 18 synthetic pairs at 1600 x 1200, six scenes with
// three turns each; time for a 6000 x 4000 pair, wall seconds, two threads,
// the spread over separate runs):
//
//   detector, N    rotation error RMS / max   time, 6000 x 4000
//   SIFT    768      0.0058 / 0.0109 deg        0.55 - 0.60 s
//   SIFT    896      0.0048 / 0.0085 deg        0.87 - 1.71 s
//   SIFT   1024      0.0035 / 0.0057 deg        1.56 - 1.93 s
//   AKAZE   768      0.0104 / 0.0204 deg        0.22 s
//   AKAZE  1024      0.0052 / 0.0125 deg        0.42 - 0.72 s
//   AKAZE  1280      0.0031 / 0.0057 deg        1.86 s (one thread)
//
// At about the same cost (SIFT at 768, AKAZE at 1024) the two are equally
// accurate overall; AKAZE is the better of the two on the mixed-lens pairs
// (largest error 0.0041 against 0.0109 degrees), its binary descriptors
// match in a quarter of SIFT's time at the same N, and it works on the
// finer grid, which the suggested points and the disparity figures are
// measured on. OpenCV's SIFT works on a twice-upsampled first octave and
// grows steeply with N; SIFT at 1024 is the most accurate choice when time
// does not matter.
enum class FeatureDetector {
    Sift,   // difference-of-Gaussian blobs, 128 float descriptors, L2 distance
    Akaze,  // nonlinear-scale-space blobs, 486-bit MLDB descriptors, Hamming distance
};

// How a matched right position is refined to sub-pixel accuracy (subpixel.h).
struct SubpixelOptions {
    int radius = 6;            // the patch is (2 radius + 1) squared pixels
    int iterations = 20;       // Gauss-Newton steps at most
    double maxShift = 1.5;     // pixels from the detector's position; further means the match is not this patch
    double converged = 0.002;  // a step shorter than this (pixels) ends the iterations
    double minTexture = 4.0;   // smallest eigenvalue of the window's mean gradient tensor (gray levels squared per pixel squared)
};

// One camera: the lens mapping of its source image, as the engine applies it.
class CameraModel {
public:
    CameraModel() = default;
    // An eye's geometry as the prepare step derives it (image size, radius
    // for 180 degrees, mapping scale, axis point; for the quadratic law its
    // bounds).
    static CameraModel fromEyeGeometry(const EyeGeometry& eye);

    // The same camera with the lens's law, radius or axis corrected (the
    // record's own values untouched, see LensCorrection); and with the law
    // of another mapping kind at the same radius for 90 degrees.
    CameraModel withCorrection(const LensCorrection& correction) const;
    CameraModel withMapping(MappingKind kind) const;
    // The eye as the conversion's renderers take it.
    const EyeGeometry& eye() const;

    bool empty() const { return !geometry_; }
    int imageWidth() const;
    int imageHeight() const;

    struct Geometry;  // defined in working_view.cpp
    const Geometry& geometry() const { return *geometry_; }

private:
    std::shared_ptr<const Geometry> geometry_;
};

// A correspondence as two unit camera directions (relative_pose.h).
struct DirectionPair {
    Vec3 left;   // unit, left-camera frame
    Vec3 right;  // unit, right-camera frame
};

// Why the baseline is what it is, in figures: each hypothesis's cost (in
// far limits squared: a far point at the far limit costs 1), and the
// parallax beyond three far limits the strongly near points show on either
// side of the nominal line (radians, summed), with their numbers.
struct BaselineEvidence {
    double rotationOnlyCost = 0.0, nominalSideCost = 0.0, otherSideCost = 0.0;
    double nominalSideParallax = 0.0, otherSideParallax = 0.0;
    int nominalSidePoints = 0, otherSidePoints = 0;
    bool otherSide = false;  // the evidence puts the right camera on the other side (-t0)
    // Empty when the parallax decided the baseline; otherwise why the
    // nominal one was taken, in the user's words.
    std::string nominalBecause;
};

// One match as two continuous source positions (column, row).
struct SourceMatch {
    SourcePosition left, right;
};

// The right lens refined against the left (lens_refinement.h says how).
// `error`: why not (too few matches, no geometry fits).
struct LensRefinement : Fallible {
    // The eyes as refined: the left one as its record has it; the right one
    // with its correction (and, when the record's law did not fit and another
    // did, that law).
    CameraModel left, right;
    std::array<LensCorrection, 2> correction;  // per eye; the left one the identity
    std::array<LensCorrection, 2> sigma;       // standard deviations; zero where held
    std::vector<std::string> held;              // what stayed at the record's value, in words
    double residualBeforePixels = 0.0;          // RMS residual with the records (R fitted, t as the pose holds it)
    double residualAfterPixels = 0.0;           // the same with the corrected lens
    int inliers = 0;
    RotationMatrix rotation;
    Vec3 baseline{1.0, 0.0, 0.0};
    // The record's law left a radial misfit: "the right lens's projection
    // does not fit: try equidistant (0.08 px; 2.31 px as registered)".
    std::string lawAdvice;
    bool lawReplaced = false;  // the right eye was refined with the law the advice names first
    MappingKind rightMapping = MappingKind::Orthographic;  // the law of the right eye as refined
    // False when the refined lenses lined the pair up no better than the
    // records and the records were kept; `notApplied` says why and what the
    // fit had found ("not used: with them the misalignment is ...").
    bool applied = true;
    std::string notApplied;

    // Keeps the records `left` and `right` instead of the refined lenses:
    // the corrections back to the identity, every term held, `why` told.
    void setAside(const CameraModel& recordLeft, const CameraModel& recordRight, const std::string& why);
};

// Magnitudes of a set of signed values: root mean square, 95th percentile
// and largest of the absolute values; mean of the signed values.
struct Spread {
    double rms = 0.0, p95 = 0.0, max = 0.0, mean = 0.0;
};

// Points A and B for the existing A/B route: two far inliers well apart,
// as integer positions in the left and the right fisheye image, chosen so
// that the route's rotation (pointRouteRotation) comes out close to R.
// `error`: why there is no suggestion.
struct SuggestedPoints : Fallible {
    ImagePoint leftA, rightA, leftB, rightB;  // column, row of the source images
    double separationDegrees = 0.0;  // angle between A and B
    double parallaxDegrees = 0.0;    // the larger parallax of the two (how far from infinity they are)
    double routeErrorDegrees = 0.0;  // angle between the route's rotation and R
    // The conversion's point-list order (the comma line's order, see
    // conversion/run.h): A-left x, B-left x, A-right x, B-right x, A-left y,
    // B-left y, A-right y, B-right y.
    std::array<int32_t, 8> listOrder() const;
    std::string commaLine() const;  // listOrder() joined by commas
};

struct StageSeconds {
    double render = 0.0, features = 0.0, matching = 0.0, refinement = 0.0, estimation = 0.0, suggestion = 0.0,
           total = 0.0;
};

// One inlier: where it lies in the two halves it was matched on (column and
// row of working or image pixels, pixel centres at integers), its directions as shown (the
// right one turned by the fitted rotation when that is the alignment's),
// its angle off the epipolar plane of the fit and its vertical disparity
// taken apart (arcminutes).
struct StereoCorrespondence {
    SourcePosition leftAt, rightAt;
    DirectionPair shown;
    double epipolarArcmin = 0.0;
    double verticalArcmin = 0.0, parallaxArcmin = 0.0, misalignmentArcmin = 0.0, alongArcmin = 0.0;
    bool far = false;  // its parallax along the baseline is within the far limit
};

// The vertical disparity of a set of inliers taken apart (arcminutes).
struct DisparitySummary {
    Spread misalignment;      // over every inlier: what a turn of the right eye (or the lenses) is to blame for
    Spread parallaxVertical;  // over the near inliers: their natural vertical parallax
    Spread farVertical;       // over the far inliers: their vertical disparity as shown
    int farCount = 0, nearCount = 0;
};

struct AlignmentOptions {
    int workingSize = 1024;  // N of each working half (N x N for 180 x 180 degrees)
    FeatureDetector detector = FeatureDetector::Akaze;  // see features.h for why
    int maxFeatures = 4000;  // per eye
    double ratio = 0.8;      // Lowe's ratio test
    double inlierPixels = 1.5;           // RANSAC threshold, working pixels off the epipolar plane
    double maxParallaxDegrees = 12.0;    // correspondences further apart than this are outliers
    int minFeatures = 60;                // per eye, else TextureLess
    int minMatches = 30;                 // else Unrelated
    int minInliers = 40;                 // else TooFewInliers (or Unrelated when the share is low too)
    double minInlierShare = 0.3;         // inliers / matches, else Unrelated
    double baselineSuspectDegrees = 20.0;  // a baseline further than this from +x is flagged
    bool refinePositions = true;           // matched positions refined to sub-pixel accuracy (subpixel.h)
    SubpixelOptions subpixel;
    double farParallaxPixels = 1.0;  // inliers whose parallax along the baseline is within this are far
    // Threads of the alignment's own loops (0: every hardware thread). The
    // feature detector's own parallelism is OpenCV's, as the program set it up.
    int threads = 0;
    // The right lens refined against the left together with R and t
    // (lens_refinement.h); the first shape term too when refineShape. When a
    // correction moves the matches by more than refitPixels working pixels,
    // the halves are rendered again through the corrected lens and matched
    // anew, and the lens refined once more from there.
    bool refineLenses = false;
    bool refineShape = false;
    // With refineLenses: the refinement is the alignment's own attempt, not
    // the user's request: its lenses are used only when they cut the
    // misalignment clearly (by a tenth and by half an arcminute), and a
    // refinement that finds no fit leaves the records instead of failing.
    // Otherwise they are used unless they line the pair up worse.
    bool refineOnlyWhenClearlyBetter = false;
    double refitPixels = 0.5;
};

// `error`: why it failed, with `failure` saying which way.
struct AlignmentResult : Fallible {
    Failure failure = Failure::None;
    std::string warning;  // ok but suspect: the baseline points far from +x (images swapped? not a side-by-side rig?)

    RotationMatrix rotation;  // R: u_L = R u_R
    double yawDegrees = 0.0, pitchDegrees = 0.0, rollDegrees = 0.0;
    Vec3 baseline{1, 0, 0};  // unit, left-camera frame, from the left camera to the right one
    bool baselineObserved = false;  // the scene's parallax decides t (else t is the nominal one, +x)
    // Why the nominal baseline was taken (the parallax was too weak to tell
    // it), empty when the parallax decided it; and the figures behind it.
    std::string baselineNote;
    BaselineEvidence baselineEvidence;
    double baselineSigmaDegrees = 0.0;      // spread of t's direction from the data alone
    double baselineOffAxisDegrees = 0.0;    // angle between t and +x
    bool baselineSuspect = false;

    int leftFeatures = 0, rightFeatures = 0, matches = 0, inliers = 0;
    int nearInliers = 0;  // inliers with visible parallax
    // How far a rotation-only fit of the same inliers (which takes parallax
    // for misalignment) lies from R: what the baseline model saves here.
    double rotationOnlyOffsetDegrees = 0.0;

    // After alignment (the right directions turned by R), over the inliers,
    // in arcminutes: the difference of the output rows (polar angle from
    // image-up, right minus left), i.e. the vertical disparity a converted
    // image shows; and the angle to the epipolar plane (the fit's residual).
    Spread verticalDisparityArcmin;
    Spread epipolarResidualArcmin;
    // The same vertical disparity taken apart as `check` takes it apart on
    // the converted image (misalignment.h): the misalignment that is left
    // (what no parallax along the viewer's baseline explains), the near
    // inliers' natural vertical parallax, the far inliers' vertical
    // disparity; the turn that measurement still finds (next to none: it
    // fits the same way), and its verdict.
    DisparitySummary disparity;
    YawPitchRoll remainingTurn;
    double remainingTurnDegrees = 0.0;
    Verdict verdict = Verdict::Unknown;
    std::string verdictText;
    int refinedMatches = 0;  // matches whose right position was refined to sub-pixel accuracy
    std::vector<StereoCorrespondence> correspondences;  // the inliers, on the working halves
    int workingSize = 0;  // N of those working halves

    SuggestedPoints suggested;
    StageSeconds seconds;

    // With refineLenses: the lenses as refined (their cameras are the ones
    // the rotation and the suggested points hold for), the corrections with
    // their uncertainties, and the residual with the records before (on the
    // first matching's inliers) and with the corrected lens after.
    bool lensesRefined = false;
    LensRefinement lenses;
    // With refineLenses: every match as two source positions, as the last
    // matching found them (what a calibration over several pairs pools).
    std::vector<SourceMatch> lensMatches;
};

// The rotation between the two cameras of a pair. leftImage and rightImage
// are 8-bit BGR, of the sizes the camera models were derived for.
AlignmentResult estimateAlignment(const CameraModel& leftCamera, const cv::Mat& leftImage,
                                  const CameraModel& rightCamera, const cv::Mat& rightImage,
                                  const AlignmentOptions& options = {});

}  // namespace vistereo::alignment
