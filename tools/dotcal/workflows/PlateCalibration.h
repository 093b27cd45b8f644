#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "native64/Native64.h"

namespace dotcal {

// What became of one image pair of the plate.
enum class PairOutcome {
  kUsed,        // the whole plate was found in both images
  kIncomplete,  // found, but with dots missing in one image: kept out of the calibration
  kRejected,    // the plate was not found in both images
};

// Runs ExtractPair on one pair (8-bit grey images of the calibration's image size).
PairOutcome ExtractPlatePair(Oskelo::CV::Native64::Calibration& calibration, const cv::Mat& left,
                             const cv::Mat& right);

// Text for a pair outcome, e.g. "used".
std::string OutcomeText(PairOutcome outcome);

// Pairs of the calibration data that show every plate dot in both images.
int UsablePairs(const Oskelo::CV::Native64::Calibration& calibration);

// Calibrates from the accumulated pairs. Throws WorkFailed when no pair is usable or OpenCV
// refuses the data.
void ComputeCalibration(Oskelo::CV::Native64::Calibration& calibration);

}  // namespace dotcal
