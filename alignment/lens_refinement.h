// Lens calibration from the pair itself.
//
// Every match of a pair is two source pixels, one per eye. The alignment
// turns them into camera directions through the lens records; when a record
// is a little wrong (its axis point a few pixels off, its radius a percent or
// two off, or the wrong law), the directions are bent and no rotation lines
// the far field up. Here the source pixels stay fixed and the right eye's
// lens is corrected, jointly with the rotation R, until the matches fit the
// pose the alignment decided (relative_pose.h) best: the right eye's axis
// point (axisDx, axisDy), its scale and, when asked, the first shape term
// (LensCorrection).
//
// The pose keeps what the evidence decided: the baseline t stays on the
// near points' side of the rig's line, held near it by the pose's own prior
// (a few degrees of tilt and toe), or is the nominal +x when their parallax
// was too weak to tell, so the lens cannot trade its axis point against a
// turned baseline. The matches fitted are those the pose's roles take
// at the current estimate (far: within the far limit of their place;
// near: on their epipolar plane, on the near side), each by its residual
// across its epipolar plane.
//
// What one pair cannot tell stays at the record's value: the left eye is the
// reference and is held entirely (a common scale error of both eyes changes
// next to no residual, and the left axis trades against the rotation), so
// only the right eye's corrections relative to the left are fitted; each is
// pulled weakly towards the record by a prior (axis 2 % of the radius for 90
// degrees, scale 0.05, shape 0.05, one sigma) that keeps an unobservable
// combination where the record put it.
//
// The fit: Levenberg-Marquardt with Huber weights and numeric derivatives of
// the lens terms, on inliers chosen first with a loose threshold (a wrong
// record bends the matches by several pixels) and then again, twice, with
// the alignment's own threshold on the corrected directions. Each correction
// comes with its standard deviation: the inverse of the normal equations,
// scaled by the residual's variance. When the record's law, corrected, still
// leaves a large residual, the other laws are tried at the same radius for 90
// degrees (a law only changes how the radius grows with theta: its misfit is
// radial), and one that fits at least twice as well is named and taken.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "alignment/alignment.h"
#include "base/fallible.h"
#include "engine/lens.h"
#include "engine/rotation.h"

namespace vistereo::alignment {

struct LensRefinementOptions {
    bool shape = false;               // fit the first shape term of the right lens too
    double pixelRadians = 3.14159265358979323846 / 1024;  // a working pixel, the unit of the residuals reported
    double inlierPixels = 1.5;        // the alignment's threshold off the epipolar plane, working pixels
    double looseInlierPixels = 12.0;  // the first choice of inliers, before any correction
    double farPixels = 1.0;           // the alignment's far limit along the epipolar plane, working pixels
    double maxParallaxRadians = 0.21;
    double misfitPixels = 0.5;        // an RMS residual above this (working pixels) after the fit is a misfit
};

// A match as two source positions (SourceMatch) and the refinement
// (LensRefinement) are in alignment.h, which the alignment's result holds them in.

// Refines the right lens against the left on `matches`.
LensRefinement refineLenses(const CameraModel& left, const CameraModel& right, const std::vector<SourceMatch>& matches,
                            const LensRefinementOptions& options = {});

// How one pair's matches fit a refinement made on several pairs of one rig
// (its rotation, baseline and lenses): those within the inlier threshold
// of their epipolar planes and the largest parallax, and their RMS
// coplanarity residual in working pixels.
struct PairFit {
    int matches = 0, inliers = 0;
    double rmsPixels = 0.0;
};
PairFit fitOfPair(const LensRefinement& refinement, const std::vector<SourceMatch>& matches,
                  const LensRefinementOptions& options = {});

// The projection's name as the lens command spells it ("equidistant", ...).
const char* mappingName(MappingKind kind);

}  // namespace vistereo::alignment
