#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "native64/Native64Export.h"

// Pivot calibration of a tool from its poses. Cone::Calibrate fits a sphere to every marker's
// track on its own; on the short arcs of a real pivot (a tool rocked 10 to 20 degrees) each of
// those fits is badly conditioned along the tool axis. The methods here use every marker of every
// frame at once:
// - PivotFromPoses: the algebraic one-step pivot. Each frame i gives the tool's rigid pose
//   (R_i, t_i), mapping tool coordinates into measurement coordinates; one linear least-squares
//   solve of R_i * tipInTool + t_i = pivot over all frames gives the tip in the tool frame and the
//   pivot in the measurement frame (the standard pose-based pivot calibration, as in Yaniv,
//   "Which pivot calibration?", SPIE Medical Imaging 2015).
// - PivotFromMarkers: the poses from a marker model registered onto each frame's markers
//   (the least-squares rigid fit of Cone::GetRigidTransform), then PivotFromPoses.
// - FitSharedSphere: one sphere centre shared by every marker's track, each marker with its own
//   radius (the algebraic Kasa objective summed over the markers).
// Outlying frames are rejected and reported frame by frame; the motion's spread is measured so
// that a host can warn about a pivot that cannot determine the tip well.
namespace Oskelo::CV::Native64 {

struct PivotFitOptions {
  // A frame whose residual (the distance |R_i * tipInTool + t_i - pivot|) exceeds this multiple of
  // the median residual of the frames in use is rejected, and the solve repeated without it until
  // no frame is rejected. Larger keeps more frames; 0 or less keeps every frame. The residuals of
  // good frames are nearly one-dimensional (their spread lies along the tool axis), so about
  // half-normal: their median is 0.67 sigma, and 3 medians (2 sigma) reject 2 to 4 % of good
  // frames (measured 1.2 to 1.9 % on simulated pivots). 5 medians (3.4 sigma) reject well under
  // 1 % of them and still catch a slipped frame, whose residual is the slip itself.
  double outlierFactor = 5.0;
  // Rejection never leaves fewer than this share of the frames: beyond it the data hold no single
  // pivot, and the remaining frames are kept and the result flagged with kPivotManyRejected.
  double minKeptShare = 0.5;
  // PivotFromMarkers only: true refines the algebraic pivot of the kept frames to the geometric
  // one, the maximum-likelihood fit under isotropic marker noise (every marker x_im = pivot +
  // R_i d_m, over the pivot, the markers' offsets d_m from the tip and the frames' rotations R_i).
  // The algebraic solve takes the rotations registered from noisy markers as exact, which biases
  // the tip along the tool axis on short arcs; the refinement removes that bias and costs some
  // tens of rotation fits per frame. false keeps the algebraic solution (faster, less accurate on
  // noisy short arcs). Either way the outliers are rejected on the algebraic solve first.
  bool refineGeometric = true;
  // Warning thresholds. Fewer used frames than minFrames give kPivotFewFrames.
  int minFrames = 20;
  // A largest tilt of the tool axis from its mean direction below minTiltDeg (degrees) gives
  // kPivotLittleTilt: the tip along the axis is then poorly determined.
  double minTiltDeg = 15.0;
  // A spin about the tool axis (range, degrees) more than spinToTiltRatio times the largest tilt
  // gives kPivotSpinOnly: the tool was turned about its axis rather than rocked.
  double spinToTiltRatio = 3.0;
};

// Conditions of a pivot calibration a user can act on (bits of PivotFitResult::warnings).
enum PivotWarning : unsigned {
  kPivotFewFrames = 1u << 0,     // fewer used frames than PivotFitOptions::minFrames
  kPivotLittleTilt = 1u << 1,    // the tool was tilted less than PivotFitOptions::minTiltDeg
  kPivotSpinOnly = 1u << 2,      // mostly spun about its axis
  kPivotManyRejected = 1u << 3,  // rejection stopped at PivotFitOptions::minKeptShare
};

struct PivotFitResult {
  // false: too few frames (fewer than 3 poses determine a pivot) or a degenerate motion (no
  // rotation, or turning about one axis only). Then tipInTool, pivot, rms, the residuals and the
  // motion's measures are NaN, every frame counts as used, and the warnings say why.
  bool solved = false;
  cv::Point3d tipInTool;  // the tip in the tool frame
  cv::Point3d pivot;      // the pivot point in the measurement frame
  // RMS of the 3N coordinate residuals R_i * tipInTool + t_i - pivot over the N used frames
  // (the figure pivot calibration tools report), in the unit of the poses.
  double rms = 0.0;
  std::vector<double> frameResiduals;  // per input frame: |R_i * tipInTool + t_i - pivot|
  std::vector<bool> frameUsed;         // per input frame: false when rejected as an outlier
  int framesUsed = 0;
  int framesRejected = 0;
  // Rounds of the geometric refinement taken (0: not refined, as by PivotFromPoses or with
  // refineGeometric false).
  int refineIterations = 0;
  // Spread of the motion over the used frames. The tool axis of a frame is the direction from
  // the pivot to the tool frame's origin (PivotFromMarkers: to the model's centroid, so that the
  // measures do not depend on the model's frame); tilt is its angle from the mean axis, spin the
  // rotation about the axis relative to the first used frame. Degrees.
  double medianTiltDeg = 0.0;
  double maxTiltDeg = 0.0;
  double spinRangeDeg = 0.0;
  unsigned warnings = 0;  // PivotWarning bits
};

// The algebraic one-step pivot from rigid poses, each a 4x4 transform (R | t; 0 0 0 1) from tool
// to measurement coordinates, solved by SVD. Throws cv::Exception for a pose that is not 4x4 of
// 64-bit floats or holds a value that is not finite.
NATIVE64_API PivotFitResult PivotFromPoses(const std::vector<cv::Mat>& poses,
                                           const PivotFitOptions& options = PivotFitOptions());

// The tool's pose in every frame from `model` (the markers in the tool frame) registered onto the
// frame's markers (`frames[i][m]`: marker m in frame i, in the model's order), then
// PivotFromPoses, then (with options.refineGeometric) the geometric refinement on the kept frames:
// alternating least squares (block coordinate descent) of sum |x_im - pivot - R_i d_m|^2, each
// R_i by a rotation-only Kabsch fit, then the pivot and the d_m in closed form, until neither
// moves by 1e-12 of the scene's size or 3000 rounds. tipInTool is then the point that the rigid
// fit of the d_m onto the model carries the tip to; frameResiduals and rms stay those of the
// registered poses, |R_i * tipInTool + t_i - pivot|. `poses`, when given, receives the registered
// poses. Throws cv::Exception when
// the model has fewer than 3 markers or all of them on one line, a frame holds another number of
// markers than the model, or a marker that is not finite.
NATIVE64_API PivotFitResult PivotFromMarkers(const std::vector<std::vector<cv::Point3d>>& frames,
                                             const std::vector<cv::Point3d>& model,
                                             const PivotFitOptions& options = PivotFitOptions(),
                                             std::vector<cv::Mat>* poses = nullptr);

// A marker model from tracked frames: the markers' mean shape, found by registering every frame
// onto the first and averaging (one round of generalised Procrustes analysis), in the first
// frame's coordinates. Throws cv::Exception for no frames, fewer than 3 markers, or frames of
// different marker counts.
NATIVE64_API std::vector<cv::Point3d> MeanMarkerModel(
    const std::vector<std::vector<cv::Point3d>>& frames);

struct SharedSphereFit {
  // false: too few points (fewer than 4, or than 3 plus the number of tracks), an empty track, a
  // point that is not finite, or tracks that do not determine one centre (all in one plane, or
  // circles about one axis).
  bool solved = false;
  cv::Point3d centre;         // the common centre
  std::vector<double> radii;  // one per track
  double rms = 0.0;           // RMS of the distances from each point to its track's sphere
};

// One sphere centre for every track (`tracks[m]`: marker m's positions), each track with its own
// radius: the linear least-squares solve of |p|^2 = 2 c . p + d_m (d_m = r_m^2 - |c|^2) over all
// points, the Kasa objective summed over the tracks.
NATIVE64_API SharedSphereFit FitSharedSphere(const std::vector<std::vector<cv::Point3d>>& tracks);

// One sentence per warning bit set in `warnings`, for a user who can act on it.
NATIVE64_API std::vector<std::string> PivotWarningTexts(unsigned warnings,
                                                        const PivotFitOptions& options);

}  // namespace Oskelo::CV::Native64
