#include "workflows/CalibrationCheck.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>

namespace dotcal {
namespace {

using Oskelo::CV::Native64::CalibrationParameters;

cv::Matx33d Matx33(const cv::Mat& m) {
  cv::Mat d;
  m.convertTo(d, CV_64F);
  return cv::Matx33d(d.reshape(1, 3));
}

// RMS vertical disparity after rectification: both images' centres undistorted and carried into
// the rectified images (R1/P1, R2/P2), where matched dots share a row.
double EpipolarRms(const CalibrationParameters& p, const std::vector<cv::Point2d>& left,
                   const std::vector<cv::Point2d>& right) {
  std::vector<cv::Point2d> rectifiedLeft, rectifiedRight;
  cv::undistortPoints(left, rectifiedLeft, p.cameraMatrixLeft, p.distortionLeft,
                      p.rectificationLeft, p.projectionLeft);
  cv::undistortPoints(right, rectifiedRight, p.cameraMatrixRight, p.distortionRight,
                      p.rectificationRight, p.projectionRight);
  double sumSquares = 0.0;
  for (std::size_t i = 0; i < left.size(); ++i) {
    const double dy = rectifiedLeft[i].y - rectifiedRight[i].y;
    sumSquares += dy * dy;
  }
  return std::sqrt(sumSquares / static_cast<double>(left.size()));
}

// Sum of squared distances between `measured` and `points` projected through a camera whose pose
// of the rectified left camera frame is x_camera = R x + t.
double ReprojectionSumSquares(const std::vector<cv::Point3d>& points, const cv::Matx33d& R,
                              const cv::Vec3d& t, const cv::Mat& K, const cv::Mat& D,
                              const std::vector<cv::Point2d>& measured) {
  cv::Vec3d rvec;
  cv::Rodrigues(R, rvec);
  std::vector<cv::Point2d> projected;
  cv::projectPoints(points, rvec, t, K, D, projected);
  double sumSquares = 0.0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const cv::Point2d d = projected[i] - measured[i];
    sumSquares += d.dot(d);
  }
  return sumSquares;
}

double ReprojectionRms(const CalibrationParameters& p, const std::vector<cv::Point2d>& left,
                       const std::vector<cv::Point2d>& right,
                       const std::vector<cv::Point3d>& points) {
  // The points lie in the rectified left camera frame, x_rectified = R1 x_left; the right camera
  // sees x_right = R x_left + T.
  const cv::Matx33d leftR = Matx33(p.rectificationLeft).t();
  const cv::Matx33d rightR = Matx33(p.rotation) * leftR;
  cv::Mat T;
  p.translation.convertTo(T, CV_64F);
  const double sumSquares = ReprojectionSumSquares(points, leftR, cv::Vec3d(0, 0, 0),
                                                   p.cameraMatrixLeft, p.distortionLeft, left) +
                            ReprojectionSumSquares(points, rightR, cv::Vec3d(T.reshape(1, 3)),
                                                   p.cameraMatrixRight, p.distortionRight, right);
  return std::sqrt(sumSquares / (2.0 * static_cast<double>(points.size())));
}

// sqrt(sum of rms^2 * count / sum of count): the RMS over every item measured.
template <typename Item, typename Rms, typename Count>
double PooledRms(const std::vector<Item>& items, Rms rms, Count count) {
  double sumSquares = 0.0, total = 0.0;
  for (const Item& item : items) {
    sumSquares += rms(item) * rms(item) * count(item);
    total += count(item);
  }
  return total > 0 ? std::sqrt(sumSquares / total) : 0.0;
}

}  // namespace

SpacingErrors NeighbourSpacing(const std::vector<cv::Point3d>& points, int columns,
                               double spacing) {
  SpacingErrors errors;
  double sumSquares = 0.0;
  const auto add = [&](std::size_t a, std::size_t b) {
    const double error = std::abs(cv::norm(points[a] - points[b]) - spacing);
    sumSquares += error * error;
    errors.max = std::max(errors.max, error);
    ++errors.count;
  };
  const std::size_t step = static_cast<std::size_t>(columns);
  for (std::size_t i = 0; i < points.size(); ++i) {
    if ((i + 1) % step != 0) add(i, i + 1);          // next in the row
    if (i + step < points.size()) add(i, i + step);  // next in the column
  }
  if (errors.count > 0) errors.rms = std::sqrt(sumSquares / errors.count);
  return errors;
}

SpacingErrors PooledSpacing(const std::vector<SpacingErrors>& views) {
  SpacingErrors pooled;
  pooled.rms = PooledRms(
      views, [](const SpacingErrors& v) { return v.rms; },
      [](const SpacingErrors& v) { return static_cast<double>(v.count); });
  for (const SpacingErrors& view : views) {
    pooled.max = std::max(pooled.max, view.max);
    pooled.count += view.count;
  }
  return pooled;
}

CheckFigures CheckPair(const CalibrationParameters& parameters,
                       const std::vector<cv::Point2d>& left, const std::vector<cv::Point2d>& right,
                       const std::vector<cv::Point3d>& points, int columns, double spacing) {
  CV_Assert(!points.empty() && left.size() == points.size() && right.size() == points.size());
  CheckFigures figures;
  figures.spacing = NeighbourSpacing(points, columns, spacing);
  figures.epipolarRms = EpipolarRms(parameters, left, right);
  figures.reprojectionRms = ReprojectionRms(parameters, left, right, points);
  figures.dots = static_cast<int>(points.size());
  return figures;
}

CheckFigures PooledFigures(const std::vector<CheckFigures>& pairs) {
  CheckFigures pooled;
  std::vector<SpacingErrors> spacings;
  for (const CheckFigures& pair : pairs) {
    spacings.push_back(pair.spacing);
    pooled.dots += pair.dots;
  }
  pooled.spacing = PooledSpacing(spacings);
  const auto dots = [](const CheckFigures& f) { return static_cast<double>(f.dots); };
  pooled.epipolarRms = PooledRms(
      pairs, [](const CheckFigures& f) { return f.epipolarRms; }, dots);
  pooled.reprojectionRms = PooledRms(
      pairs, [](const CheckFigures& f) { return f.reprojectionRms; }, dots);
  return pooled;
}

CheckVerdict JudgeFigures(const CheckFigures& figures, const CheckLimits& limits) {
  if (!(figures.epipolarRms <= limits.maxEpipolarRms)) return CheckVerdict::kRigMoved;
  if (!(figures.spacing.rms <= limits.maxSpacingRms)) return CheckVerdict::kIntrinsicsChanged;
  return CheckVerdict::kFits;
}

}  // namespace dotcal
