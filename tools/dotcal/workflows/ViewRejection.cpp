#include "workflows/ViewRejection.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>

#include "native64/GeometryFunctions.h"
#include "reports/TextFormat.h"
#include "workflows/PlateCalibration.h"

namespace dotcal {
namespace {

using Oskelo::CV::Native64::Calibration;

// The nominal plate carried by the 4 x 4 rigid `transform` into 3-D points.
std::vector<cv::Point3d> Moved(const std::vector<cv::Point3d>& nominal, const cv::Mat& transform) {
  const cv::Matx44d m(transform);
  std::vector<cv::Point3d> moved;
  moved.reserve(nominal.size());
  for (const cv::Point3d& p : nominal) {
    const cv::Vec4d q = m * cv::Vec4d(p.x, p.y, p.z, 1.0);
    moved.emplace_back(q[0], q[1], q[2]);
  }
  return moved;
}

// The median view RMS is taken as at least this, in pixels, so that views of exact or all but
// noise-free centres are not dropped for errors far below any camera's: real centres scatter by
// 0.01 px at the very best.
constexpr double kMedianFloorPx = 0.005;

// Sum of squared distances between `projected` and `observed`, and the largest distance.
double SumSquares(const std::vector<cv::Point2d>& projected,
                  const std::vector<cv::Point2d>& observed, double& largest) {
  double sum = 0.0;
  largest = 0.0;
  for (std::size_t i = 0; i < observed.size(); ++i) {
    const cv::Point2d d = projected[i] - observed[i];
    sum += d.dot(d);
    largest = std::max(largest, std::sqrt(d.dot(d)));
  }
  return sum;
}

double Median(std::vector<double> values) {
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                   values.end());
  if (values.size() % 2 == 1) return values[middle];
  return 0.5 *
         (values[middle] +
          *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle)));
}

}  // namespace

std::vector<StereoViewError> ComputeStereoViewErrors(const Calibration& calibration) {
  const std::vector<cv::Point3d>& nominal = calibration.nominalPattern.points;
  const auto& p = calibration.parameters;
  // Triangulated points lie in the rectified left frame, x_rectified = R1 x_left.
  const cv::Matx33d leftFromRectified = cv::Matx33d(p.rectificationLeft).t();
  const cv::Matx33d rightRotation(p.rotation);
  const cv::Vec3d rightTranslation(p.translation);
  const cv::Vec3d zero(0, 0, 0);
  std::vector<StereoViewError> errors;
  for (std::size_t pair = 0; pair < calibration.leftTargets.size(); ++pair) {
    if (!PairComplete(calibration, pair)) continue;
    const auto& left = calibration.leftTargets[pair];
    const auto& right = calibration.rightTargets[pair];
    std::vector<cv::Point3d> points;
    calibration.Triangulate(left, right, points);
    cv::Mat transform;
    Tarnwell::Native::CV::GetRigidTransform(nominal, points, transform, false, true);

    // The registered plate in each camera's frame, projected through its lens.
    std::vector<cv::Point3d> inLeft, inRight;
    for (const cv::Point3d& q : Moved(nominal, transform)) {
      const cv::Vec3d l = leftFromRectified * cv::Vec3d(q.x, q.y, q.z);
      inLeft.emplace_back(l);
      inRight.emplace_back(rightRotation * l + rightTranslation);
    }
    std::vector<cv::Point2d> projectedLeft, projectedRight;
    cv::projectPoints(inLeft, zero, zero, p.cameraMatrixLeft, p.distortionLeft, projectedLeft);
    cv::projectPoints(inRight, zero, zero, p.cameraMatrixRight, p.distortionRight, projectedRight);

    StereoViewError error;
    error.pair = static_cast<int>(pair);
    const double sum = SumSquares(projectedLeft, left, error.maxLeft) +
                       SumSquares(projectedRight, right, error.maxRight);
    error.rms = std::sqrt(sum / static_cast<double>(left.size() + right.size()));
    errors.push_back(error);
  }
  return errors;
}

int WorstOutlier(const std::vector<StereoViewError>& errors, const ViewRejectionOptions& options,
                 double& medianRms, std::string& reason) {
  medianRms = 0.0;
  if (static_cast<int>(errors.size()) <= std::max(options.minViews, 1)) return -1;
  std::vector<double> rms;
  for (const StereoViewError& e : errors) rms.push_back(e.rms);
  medianRms = Median(rms);

  // The view that breaks a bound by the largest factor.
  int worst = -1;
  double worstExcess = 1.0;
  for (std::size_t v = 0; v < errors.size(); ++v) {
    const StereoViewError& e = errors[v];
    const double rmsExcess =
        e.rms / (options.maxRmsOverMedian * std::max(medianRms, kMedianFloorPx));
    const double dotExcess = std::max(e.maxLeft, e.maxRight) / options.maxDotResidualPx;
    const double excess = std::max(rmsExcess, dotExcess);
    if (!(excess > worstExcess)) continue;
    worst = static_cast<int>(v);
    worstExcess = excess;
    if (dotExcess >= rmsExcess) {
      const bool leftWorse = e.maxLeft >= e.maxRight;
      reason = Format(
          "a dot %.3f px from the plate fitted in both images (%s image; bound %g px): the plate "
          "is probably labelled differently in the two images, or a dot is misplaced",
          leftWorse ? e.maxLeft : e.maxRight, leftWorse ? "left" : "right",
          options.maxDotResidualPx);
    } else {
      reason = Format(
          "reprojection RMS %.4f px, %.1f times the median view's %.4f px (bound %g times): "
          "blurred, shaken or badly lit",
          e.rms, e.rms / medianRms, medianRms, options.maxRmsOverMedian);
    }
  }
  return worst;
}

std::vector<DroppedView> CalibrateDroppingOutliers(
    Calibration& calibration, const std::function<void(Calibration&)>& calibrate,
    const ViewRejectionOptions& options) {
  std::vector<DroppedView> dropped;
  calibrate(calibration);
  for (;;) {
    const std::vector<StereoViewError> errors = ComputeStereoViewErrors(calibration);
    DroppedView view;
    const int worst = WorstOutlier(errors, options, view.medianRms, view.reason);
    if (worst < 0) return dropped;
    view.error = errors[static_cast<std::size_t>(worst)];
    view.pair = view.error.pair;
    calibration.leftTargets[static_cast<std::size_t>(view.pair)].clear();
    calibration.rightTargets[static_cast<std::size_t>(view.pair)].clear();
    dropped.push_back(view);
    calibrate(calibration);
  }
}

}  // namespace dotcal
