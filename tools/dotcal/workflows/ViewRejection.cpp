#include "workflows/ViewRejection.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <tuple>

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

StereoViewError StereoViewErrorOf(const Calibration& calibration,
                                  const std::vector<cv::Point2d>& left,
                                  const std::vector<cv::Point2d>& right,
                                  std::vector<cv::Point2d>* leftResiduals,
                                  std::vector<cv::Point2d>* rightResiduals) {
  const std::vector<cv::Point3d>& nominal = calibration.nominalPattern.points;
  const auto& p = calibration.parameters;
  std::vector<cv::Point3d> points;
  calibration.Triangulate(left, right, points);
  cv::Mat transform;
  Tarnwell::Native::CV::GetRigidTransform(nominal, points, transform, false, true);

  // The registered plate in each camera's frame (triangulated points lie in the rectified left
  // frame, x_rectified = R1 x_left), projected through its lens.
  const cv::Matx33d leftFromRectified = cv::Matx33d(p.rectificationLeft).t();
  const cv::Matx33d rightRotation(p.rotation);
  const cv::Vec3d rightTranslation(p.translation);
  std::vector<cv::Point3d> inLeft, inRight;
  for (const cv::Point3d& q : Moved(nominal, transform)) {
    const cv::Vec3d l = leftFromRectified * cv::Vec3d(q.x, q.y, q.z);
    inLeft.emplace_back(l);
    inRight.emplace_back(rightRotation * l + rightTranslation);
  }
  const cv::Vec3d zero(0, 0, 0);
  std::vector<cv::Point2d> projectedLeft, projectedRight;
  cv::projectPoints(inLeft, zero, zero, p.cameraMatrixLeft, p.distortionLeft, projectedLeft);
  cv::projectPoints(inRight, zero, zero, p.cameraMatrixRight, p.distortionRight, projectedRight);

  for (const auto& [residuals, projected, observed] :
       {std::tuple{leftResiduals, &projectedLeft, &left},
        std::tuple{rightResiduals, &projectedRight, &right}}) {
    if (residuals == nullptr) continue;
    residuals->clear();
    for (std::size_t i = 0; i < observed->size(); ++i)
      residuals->push_back((*projected)[i] - (*observed)[i]);
  }
  StereoViewError error;
  const double sum = SumSquares(projectedLeft, left, error.maxLeft) +
                     SumSquares(projectedRight, right, error.maxRight);
  error.rms = std::sqrt(sum / static_cast<double>(left.size() + right.size()));
  return error;
}

std::vector<StereoViewError> ComputeStereoViewErrors(const Calibration& calibration) {
  std::vector<StereoViewError> errors;
  for (std::size_t pair = 0; pair < calibration.leftTargets.size(); ++pair) {
    if (!PairComplete(calibration, pair)) continue;
    StereoViewError error = StereoViewErrorOf(calibration, calibration.leftTargets[pair],
                                              calibration.rightTargets[pair]);
    error.pair = static_cast<int>(pair);
    errors.push_back(error);
  }
  return errors;
}

std::vector<PlateTurn> PlateTurns(int columns, int rows) {
  // Label r * columns + c is the dot in row r, column c. Turned by 180 degrees, the dot labelled
  // (r, c) is the one first labelled (rows - 1 - r, columns - 1 - c); a square plate turned by 90
  // degrees labels the first labelling's (c, n - 1 - r) as (r, c).
  std::vector<PlateTurn> turns;
  const int dots = columns * rows;
  const auto turn = [&](int degrees, const auto& source) {
    PlateTurn t{degrees, std::vector<int>(static_cast<std::size_t>(dots))};
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < columns; ++c)
        t.order[static_cast<std::size_t>(r * columns + c)] = source(r, c);
    turns.push_back(t);
  };
  const int n = columns;
  if (columns == rows) turn(90, [&](int r, int c) { return c * n + (n - 1 - r); });
  turn(180, [&](int r, int c) { return (rows - 1 - r) * columns + (columns - 1 - c); });
  if (columns == rows) turn(270, [&](int r, int c) { return (n - 1 - c) * n + r; });
  return turns;
}

// How far a view lies beyond the bounds: the larger of its RMS over the bound and its worst dot
// over the bound; above 1 it breaks one. `dotBound` tells which is the larger.
double Excess(const StereoViewError& e, double medianRms, const ViewRejectionOptions& options,
              bool& dotBound) {
  const double rmsExcess = e.rms / (options.maxRmsOverMedian * std::max(medianRms, kMedianFloorPx));
  const double dotExcess = std::max(e.maxLeft, e.maxRight) / options.maxDotResidualPx;
  dotBound = dotExcess >= rmsExcess;
  return std::max(rmsExcess, dotExcess);
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
    bool dotBound = false;
    const double excess = Excess(e, medianRms, options, dotBound);
    if (!(excess > worstExcess)) continue;
    worst = static_cast<int>(v);
    worstExcess = excess;
    if (dotBound) {
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

ViewRejection CalibrateDroppingOutliers(
    Calibration& calibration, const std::function<void(Calibration&)>& calibrate,
    const std::function<void(int pair, const std::vector<int>& order)>& relabel,
    const ViewRejectionOptions& options) {
  ViewRejection rejection;
  std::vector<std::pair<std::vector<cv::Point2d>, std::vector<cv::Point2d>>> droppedLists;
  calibrate(calibration);
  double medianRms = 0.0;
  for (;;) {
    const std::vector<StereoViewError> errors = ComputeStereoViewErrors(calibration);
    DroppedView view;
    const int worst = WorstOutlier(errors, options, view.medianRms, view.reason);
    medianRms = view.medianRms;
    if (worst < 0) break;
    view.error = errors[static_cast<std::size_t>(worst)];
    view.pair = view.error.pair;
    auto& left = calibration.leftTargets[static_cast<std::size_t>(view.pair)];
    auto& right = calibration.rightTargets[static_cast<std::size_t>(view.pair)];
    droppedLists.emplace_back(left, right);
    left.clear();
    right.clear();
    rejection.dropped.push_back(view);
    calibrate(calibration);
  }

  // The dropped views relabelled: the turn that brings one within the bounds, if any.
  const std::vector<PlateTurn> turns =
      PlateTurns(calibration.nominalPattern.columns, calibration.nominalPattern.rows);
  std::vector<DroppedView> stillDropped;
  for (std::size_t d = 0; d < rejection.dropped.size(); ++d) {
    const DroppedView& view = rejection.dropped[d];
    const auto& [left, right] = droppedLists[d];
    const PlateTurn* best = nullptr;
    StereoViewError bestError;
    for (const PlateTurn& turn : turns) {
      std::vector<cv::Point2d> turned;
      for (int k : turn.order) turned.push_back(right[static_cast<std::size_t>(k)]);
      const StereoViewError e = StereoViewErrorOf(calibration, left, turned);
      bool dotBound = false;
      if (Excess(e, medianRms, options, dotBound) <= 1.0 &&
          (best == nullptr || e.rms < bestError.rms)) {
        best = &turn;
        bestError = e;
      }
    }
    if (best == nullptr) {
      stillDropped.push_back(view);
      continue;
    }
    calibration.leftTargets[static_cast<std::size_t>(view.pair)] = left;
    auto& restored = calibration.rightTargets[static_cast<std::size_t>(view.pair)];
    restored.clear();
    for (int k : best->order) restored.push_back(right[static_cast<std::size_t>(k)]);
    relabel(view.pair, best->order);
    bestError.pair = view.pair;
    rejection.relabelled.push_back({view.pair, best->degrees, view.error, bestError});
  }
  rejection.dropped = stillDropped;
  if (!rejection.relabelled.empty()) calibrate(calibration);
  return rejection;
}

}  // namespace dotcal
