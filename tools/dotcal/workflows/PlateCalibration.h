#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "detection/TargetShape.h"
#include "native64/ImageDetection.h"
#include "native64/Native64.h"
#include "native64/UnbiasedCalibration.h"
#include "workflows/DotCentres.h"

namespace dotcal {

// What became of one image pair of the plate.
enum class PairOutcome {
  kUsed,        // the whole plate was found in both images
  kIncomplete,  // found, but with dots missing in one image: kept out of the calibration
  kRejected,    // the plate was not found in both images
};

struct PairResult {
  PairOutcome outcome = PairOutcome::kRejected;
  double sizeScale = 1.0;  // the detector's sizeScale chosen for the pair
  std::string reason;      // for a rejected pair: why, image by image
};

// Finds the plate `shape` (the calibration is configured for it) in one pair of 8-bit grey images
// of one size: chooses the detector's sizeScale from the plate's outline in both images, then runs
// the calibration's pair extraction. For a rejected pair, each image that shows no plate is
// searched again on its own to say why.
PairResult ExtractPlatePair(Oskelo::CV::Native64::Calibration& calibration,
                            const TargetShape& shape, const cv::Mat& left, const cv::Mat& right);

// One pair's plate found on its own: the outcome, the dot lists the calibration appended (empty
// for a rejected pair) and, for refined centres, their refined centres.
struct ExtractedPair {
  PairResult result;
  std::vector<cv::Point2d> left, right;
  std::vector<cv::Point2d> refinedLeft, refinedRight;
  int keptGrey = 0;  // dots whose fit was poor and that kept their grey centre
};

// ExtractPlatePair on `calibration`, then the dots refined for conic `centres`.
ExtractedPair ExtractPair(Oskelo::CV::Native64::Calibration& calibration, const TargetShape& shape,
                          CentreMethod centres, const cv::Mat& left, const cv::Mat& right);

// Text for a pair's result, e.g. "used" or "rejected: left image: ...".
std::string OutcomeText(const PairResult& result);

// Pairs of the calibration data that show every plate dot in both images.
int UsablePairs(const Oskelo::CV::Native64::Calibration& calibration);

// Whether pair `pair` of the calibration data shows every plate dot in both images.
bool PairComplete(const Oskelo::CV::Native64::Calibration& calibration, std::size_t pair);

// Calibrates from the accumulated pairs. Throws WorkFailed when no pair is usable or OpenCV
// refuses the data.
void ComputeCalibration(Oskelo::CV::Native64::Calibration& calibration);

// The refined dot centres of the pairs a calibration accumulated, pair by pair as in its
// target lists.
struct RefinedCentres {
  std::vector<std::vector<cv::Point2d>> left, right;
  int keptGrey = 0;  // dots whose fit was poor and that kept their grey centre
};

// Refines the dots of every pair the calibration accumulated since `centres` was last brought up
// to date, in the images of the last pair (call it after each pair's extraction).
void AddRefinedCentres(const Oskelo::CV::Native64::Calibration& calibration, const cv::Mat& left,
                       const cv::Mat& right, CentreMethod method, RefinedCentres& centres);

// Calibrates from the refined centres, corrected for the outline bias over rounds of calibration
// (CalibrateUnbiased), and stores the result in the calibration: its parameters, RMS values and
// the corrected centres as its target lists. Throws WorkFailed as ComputeCalibration does.
Oskelo::CV::Native64::UnbiasedCalibrationResult ComputeUnbiasedCalibration(
    Oskelo::CV::Native64::Calibration& calibration, const RefinedCentres& centres,
    double dotRadius);

}  // namespace dotcal
