#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "native64/Native64.h"

namespace dotcal {

// RMS reprojection error of every usable view of a calibration, per camera (pixels). For each
// view the plate's pose is found from its dots with the calibrated camera (cv::solvePnP), the
// nominal dots are projected with it (cv::projectPoints), and the RMS of the image distances is
// taken. A view lies far above the rest when its dots were misplaced.
struct ViewErrors {
  std::vector<int> pairs;     // index of the view's pair in the calibration data
  std::vector<double> left;   // pixels, one per view
  std::vector<double> right;  // pixels, one per view
};

ViewErrors ComputeViewErrors(const Oskelo::CV::Native64::Calibration& calibration);

// RMS distance between the nominal points projected through a camera and the observed image
// points, with the pose that fits them best.
double ViewRms(const std::vector<cv::Point3d>& nominal, const std::vector<cv::Point2d>& observed,
               const cv::Mat& cameraMatrix, const cv::Mat& distortion);

}  // namespace dotcal
