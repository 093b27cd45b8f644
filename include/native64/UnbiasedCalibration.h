#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "native64/Calibration.h"
#include "native64/CalibrationParameters.h"
#include "native64/Native64Export.h"

// A stereo calibration that converges on unbiased dot centres. Measured centres are the centres
// of the dots' imaged outlines, which perspective and distortion move away from the projections
// of the dots' true centres (OutlineCentreBias, CentreBias.h); calibrating on them pulls focal
// lengths, principal points and baseline off. CalibrateUnbiased alternates: calibrate, estimate
// every view's plate pose in each camera, subtract each dot's bias from its measured centre,
// calibrate again, until the parameters settle.
namespace Oskelo::CV::Native64 {

struct UnbiasedCalibrationOptions {
  // Correction rounds at most (calibrations after the first); 0 gives the plain calibration.
  int maxRounds = 5;
  // The rounds stop once a round changes the parameters by less than this, in pixels (see
  // UnbiasedCalibrationResult::changePerRound). Smaller costs a round more; 0.001 px is a tenth
  // of what a 0.005 px centre noise leaves in a 15-view calibration, reached in 2 or 3 rounds.
  double tolerancePx = 0.001;
  // Radius of the plate's dots in plate units; 0 takes settings->dotDiameter / 2 of the
  // calibration. A wrong radius scales the corrections (the bias grows with the radius squared).
  double dotRadius = 0.0;
};

struct UnbiasedCalibrationResult {
  // The calibration from the corrected centres of the last round, in the form and layout
  // ComputeStereoCalibration writes, with its RMS reprojection errors (px).
  CalibrationParameters parameters;
  double rmsLeft = 0.0;
  double rmsRight = 0.0;
  double rmsStereo = 0.0;
  // The first calibration, from the measured centres as given (what ComputeStereoCalibration
  // gives on them), for comparison.
  CalibrationParameters measuredParameters;
  double measuredRmsStereo = 0.0;
  // Correction rounds done, and per round the change of the parameters it made against the
  // previous calibration: the largest change of fx, fy, cx and cy of either camera, and of the
  // translation between the cameras seen from the plate's mean distance (|change of T| * left fx /
  // mean distance of the left views), in pixels.
  int rounds = 0;
  std::vector<double> changePerRound;
  bool converged = false;  // the last round changed the parameters by less than tolerancePx
  // The corrected centres of the last round (measured minus bias), per pair and dot as given; a
  // view or dot that was not corrected keeps its measured centres.
  std::vector<std::vector<cv::Point2d>> leftTargets, rightTargets;
  // Per pair: whether it took part (both lists finite, as ComputeStereoCalibration requires).
  std::vector<bool> pairUsed;
  // Pairs (indices into the inputs) whose plate pose in that camera could not be estimated in the
  // last round (a non-finite pose, or a pose that puts a dot behind the camera): their centres in
  // that camera are left uncorrected.
  std::vector<int> uncorrectedLeft, uncorrectedRight;
};

// Calibrates `calibration`'s rig as ComputeStereoCalibration does (the same OpenCV calls, flags
// and termination criteria), from measured centres instead of its target lists, removing the
// perspective bias of the centres round by round: each round estimates every view's plate pose
// in each camera (cv::solvePnP with the current intrinsics on the current corrected centres),
// corrects the ORIGINAL measured centres by OutlineCentreBias of those poses (the plate's normal
// is z, the dots of the given radius) and calibrates again. `leftCentres[i][j]` is the measured
// centre of nominal point j in the left image of pair i, for every accepted pair of
// `calibration` in the order of its leftTargets; likewise right. The calibration's nominal
// pattern, image size and dot diameter are read; it is not modified.
//
// Throws cv::Exception for lists whose count differs from the calibration's pairs or whose
// lengths differ from its nominal points, for a dot radius that is not finite and positive (nor
// 0), when no pair is usable (as ComputeStereoCalibration), and when a calibration comes out
// non-finite: no NaN ever reaches the result.
NATIVE64_API UnbiasedCalibrationResult CalibrateUnbiased(
    const Calibration& calibration, const std::vector<std::vector<cv::Point2d>>& leftCentres,
    const std::vector<std::vector<cv::Point2d>>& rightCentres,
    const UnbiasedCalibrationOptions& options = UnbiasedCalibrationOptions());

}  // namespace Oskelo::CV::Native64
