#include "reports/ViewErrors.h"

#include <cmath>
#include <opencv2/calib3d.hpp>

namespace dotcal {

double ViewRms(const std::vector<cv::Point3d>& nominal, const std::vector<cv::Point2d>& observed,
               const cv::Mat& cameraMatrix, const cv::Mat& distortion) {
  cv::Mat rotation, translation;
  cv::solvePnP(nominal, observed, cameraMatrix, distortion, rotation, translation);
  std::vector<cv::Point2d> projected;
  cv::projectPoints(nominal, rotation, translation, cameraMatrix, distortion, projected);
  double sumSquares = 0.0;
  for (std::size_t i = 0; i < observed.size(); ++i) {
    const cv::Point2d d = projected[i] - observed[i];
    sumSquares += d.dot(d);
  }
  return std::sqrt(sumSquares / static_cast<double>(observed.size()));
}

ViewErrors ComputeViewErrors(const Oskelo::CV::Native64::Calibration& calibration) {
  const auto& nominal = calibration.nominalPattern.points;
  const auto& p = calibration.parameters;
  ViewErrors errors;
  for (std::size_t i = 0; i < calibration.leftTargets.size(); ++i) {
    const auto& left = calibration.leftTargets[i];
    const auto& right = calibration.rightTargets[i];
    if (left.size() != nominal.size() || right.size() != nominal.size()) continue;
    errors.pairs.push_back(static_cast<int>(i));
    errors.left.push_back(ViewRms(nominal, left, p.cameraMatrixLeft, p.distortionLeft));
    errors.right.push_back(ViewRms(nominal, right, p.cameraMatrixRight, p.distortionRight));
  }
  return errors;
}

}  // namespace dotcal
