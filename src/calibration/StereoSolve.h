#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "native64/CalibrationParameters.h"

namespace Oskelo::CV::Native64::detail {

// The outcome of one stereo calibration from target lists: the parameters and the three RMS
// reprojection errors (px), and which pairs took part.
struct StereoSolution {
  CalibrationParameters parameters;
  double rmsLeft = 0.0;
  double rmsRight = 0.0;
  double rmsStereo = 0.0;
  std::vector<bool> pairUsed;  // per input pair: both lists held every nominal point, finite
};

// Whether a pair's two lists each hold one point per nominal point, each finite and within 1e6 px
// of the origin: the pairs that SolveStereo uses.
bool PairUsable(std::size_t nominalCount, const std::vector<cv::Point_<double>>& left,
                const std::vector<cv::Point_<double>>& right);

// The calibration of Calibration::ComputeStereoCalibration: cv::calibrateCamera for each camera
// (five coefficients, no flags), cv::stereoCalibrate with CALIB_USE_INTRINSIC_GUESS and
// cv::stereoRectify with CALIB_ZERO_DISPARITY, from every usable pair. Throws cv::Exception
// (StsBadArg) when no pair is usable or the plate is empty; `caller` starts the message.
StereoSolution SolveStereo(const char* caller, const std::vector<cv::Point3_<double>>& nominal,
                           const std::vector<std::vector<cv::Point_<double>>>& leftTargets,
                           const std::vector<std::vector<cv::Point_<double>>>& rightTargets,
                           cv::Size imageSize);

}  // namespace Oskelo::CV::Native64::detail
