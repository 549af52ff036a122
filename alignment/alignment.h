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
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "alignment/comfort.h"
#include "alignment/features.h"
#include "alignment/lens_refinement.h"
#include "alignment/relative_pose.h"
#include "alignment/rotation.h"
#include "alignment/subpixel.h"
#include "alignment/working_view.h"
#include "base/fallible.h"
#include "engine/lens.h"
#include "engine/params.h"

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

// One inlier: where it lies in the two halves it was matched on (working or
// image pixels, pixel centres at integers), its directions as shown (the
// right one turned by the fitted rotation when that is the alignment's),
// its angle off the epipolar plane of the fit and its vertical disparity
// taken apart (arcminutes).
struct StereoCorrespondence {
    cv::Point2d leftAt, rightAt;
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
