#include "workflows/ToolTracker.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace dotcal {
namespace {

// A wrong dot order moves some marker distance by at least one tracker spacing, while
// triangulation noise moves them by hundredths of it: dots whose distances differ from the
// model's by more than this share of the smallest marker distance are out of order (the rule of
// ToolSequence).
constexpr double kDistanceToleranceShare = 0.1;

}  // namespace

const char* StatusName(TrackStatus status) {
  switch (status) {
    case TrackStatus::kOk:
      return "OK";
    case TrackStatus::kMissing:
      return "MISSING";
    case TrackStatus::kOutOfOrder:
      return "OUT_OF_ORDER";
    case TrackStatus::kHighResidual:
      return "HIGH_RESIDUAL";
  }
  return "MISSING";
}

cv::Vec4d QuaternionFromRotation(const cv::Matx33d& R) {
  const double trace = R(0, 0) + R(1, 1) + R(2, 2);
  cv::Vec4d q;
  if (trace >= R(0, 0) && trace >= R(1, 1) && trace >= R(2, 2)) {
    const double s = 2.0 * std::sqrt(1.0 + trace);
    q = {0.25 * s, (R(2, 1) - R(1, 2)) / s, (R(0, 2) - R(2, 0)) / s, (R(1, 0) - R(0, 1)) / s};
  } else if (R(0, 0) >= R(1, 1) && R(0, 0) >= R(2, 2)) {
    const double s = 2.0 * std::sqrt(1.0 + R(0, 0) - R(1, 1) - R(2, 2));
    q = {(R(2, 1) - R(1, 2)) / s, 0.25 * s, (R(0, 1) + R(1, 0)) / s, (R(0, 2) + R(2, 0)) / s};
  } else if (R(1, 1) >= R(2, 2)) {
    const double s = 2.0 * std::sqrt(1.0 + R(1, 1) - R(0, 0) - R(2, 2));
    q = {(R(0, 2) - R(2, 0)) / s, (R(0, 1) + R(1, 0)) / s, 0.25 * s, (R(1, 2) + R(2, 1)) / s};
  } else {
    const double s = 2.0 * std::sqrt(1.0 + R(2, 2) - R(0, 0) - R(1, 1));
    q = {(R(1, 0) - R(0, 1)) / s, (R(0, 2) + R(2, 0)) / s, (R(1, 2) + R(2, 1)) / s, 0.25 * s};
  }
  q /= cv::norm(q);
  return q[0] < 0.0 ? -q : q;
}

ToolTracker::ToolTracker(const Oskelo::CV::Native64::Calibration& calibration, ToolDefinition tool,
                         const cv::Matx44d& outFromRectified, double maxResidual,
                         CentreMethod centres)
    : tool_(std::move(tool)),
      outR_(outFromRectified.get_minor<3, 3>(0, 0)),
      outT_(outFromRectified(0, 3), outFromRectified(1, 3), outFromRectified(2, 3)),
      maxResidual_(maxResidual),
      left_(tool_.tracker),
      right_(tool_.tracker),
      centres_(calibration, centres, tool_.tracker.diameter / 2.0) {
  double smallest = std::numeric_limits<double>::infinity();
  const std::vector<cv::Point3d>& m = tool_.markers;
  for (std::size_t i = 0; i < m.size(); ++i) {
    for (std::size_t j = i + 1; j < m.size(); ++j) {
      modelDistances_.push_back(cv::norm(m[i] - m[j]));
      smallest = std::min(smallest, modelDistances_.back());
    }
  }
  distanceTolerance_ = kDistanceToleranceShare * smallest;
}

bool ToolTracker::KeepsDistances(const std::vector<cv::Point3d>& points) const {
  std::size_t pair = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    for (std::size_t j = i + 1; j < points.size(); ++j, ++pair) {
      // Written so that a point that did not triangulate (NaN) fails the check.
      if (!(std::abs(cv::norm(points[i] - points[j]) - modelDistances_[pair]) <=
            distanceTolerance_)) {
        return false;
      }
    }
  }
  return true;
}

ToolPose ToolTracker::Track(const cv::Mat& left, const cv::Mat& right) {
  ToolPose pose;
  // Both followers see every frame, so that each keeps its search region moving.
  const bool foundLeft = left_.Next(left, leftDots_);
  const bool foundRight = right_.Next(right, rightDots_);
  if (!foundLeft || !foundRight || leftDots_.size() != tool_.markers.size()) return pose;
  centres_.Triangulate(left, right, leftDots_, rightDots_, points_);
  for (cv::Point3d& p : points_) p = cv::Point3d(outR_ * cv::Vec3d(p) + outT_);
  pose.markers = static_cast<int>(points_.size());
  if (!KeepsDistances(points_)) {
    pose.status = TrackStatus::kOutOfOrder;
    return pose;
  }
  cv::Mat transform;
  double residual = 0.0;
  cone_.FindTransformation(points_, tool_.markers, transform, residual);
  pose.residual = residual;
  if (!(residual <= maxResidual_)) {
    pose.status = TrackStatus::kHighResidual;
    return pose;
  }
  const cv::Matx44d T(transform);
  const cv::Matx33d R = T.get_minor<3, 3>(0, 0);
  const cv::Vec3d t(T(0, 3), T(1, 3), T(2, 3));
  pose.status = TrackStatus::kOk;
  pose.position = cv::Point3d(t);
  pose.tip = cv::Point3d(R * cv::Vec3d(tool_.tip) + t);
  pose.rotation = QuaternionFromRotation(R);
  return pose;
}

cv::Matx44d CameraFromRectified(const Oskelo::CV::Native64::Calibration& calibration) {
  const cv::Matx33d R = cv::Matx33d(calibration.parameters.rectificationLeft).t();
  return {R(0, 0), R(0, 1), R(0, 2), 0, R(1, 0), R(1, 1), R(1, 2), 0,
          R(2, 0), R(2, 1), R(2, 2), 0, 0,       0,       0,       1};
}

}  // namespace dotcal
