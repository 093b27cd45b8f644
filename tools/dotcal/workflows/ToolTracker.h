#pragma once

#include <cmath>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "detection/TargetDetection.h"
#include "inputs/ToolFile.h"
#include "native64/Native64.h"
#include "workflows/DotCentres.h"

namespace dotcal {

// What became of a tool in one stereo frame.
enum class TrackStatus {
  kOk,            // found, registered, residual within bounds
  kMissing,       // not found in one image or both (or the frame could not be read)
  kOutOfOrder,    // found, but the dots do not keep the model's distances: a wrong dot order
  kHighResidual,  // registered, but the markers fit the model worse than allowed
};

// "OK", "MISSING", "OUT_OF_ORDER", "HIGH_RESIDUAL".
const char* StatusName(TrackStatus status);

// A tool's pose in one frame, in the output frame. Only an OK pose carries a tip, position and
// rotation; the residual is known once the markers were registered (OK and HIGH_RESIDUAL).
struct ToolPose {
  TrackStatus status = TrackStatus::kMissing;
  cv::Point3d tip;                 // the tool's tip
  cv::Point3d position;            // the tool frame's origin
  cv::Vec4d rotation{1, 0, 0, 0};  // output from tool, unit quaternion w, x, y, z (w >= 0)
  double residual = std::nan("");  // RMS of the 3N coordinate residuals, tool's unit
  int markers = 0;                 // markers triangulated and used
};

// The quaternion (w, x, y, z; w >= 0) of a rotation matrix, by Shepperd's method (largest
// diagonal term first, so that no square root of a small number is taken).
cv::Vec4d QuaternionFromRotation(const cv::Matx33d& R);

// The left camera's own frame from the rectified left camera frame, where the calibration
// triangulates: x_rectified = R1 x_camera, so the transform is (R1^T | 0).
cv::Matx44d CameraFromRectified(const Oskelo::CV::Native64::Calibration& calibration);

// Follows one tool through a stereo sequence: in each frame its tracker is found in both images
// (TargetFollower: the search region and threshold carry over, a lost target is searched for
// over the whole frame), the dots are triangulated (rectified left camera frame) and mapped into
// the output frame, their distances are checked against the tool's markers, and the marker model
// is registered onto them (Cone::FindTransformation: least-squares rigid fit, Kabsch).
class ToolTracker {
 public:
  // `outFromRectified`: 4x4 rigid transform from the rectified left camera frame to the output
  // frame. `maxResidual`: the largest registration residual of an OK pose, in the tool's unit.
  // `centres`: how the dot centres are measured.
  ToolTracker(const Oskelo::CV::Native64::Calibration& calibration, ToolDefinition tool,
              const cv::Matx44d& outFromRectified, double maxResidual,
              CentreMethod centres = CentreMethod::kConic);

  // Tracks the tool in the next frame pair (8-bit grey, the calibration's size).
  ToolPose Track(const cv::Mat& left, const cv::Mat& right);

  const ToolDefinition& Tool() const { return tool_; }

 private:
  bool KeepsDistances(const std::vector<cv::Point3d>& points) const;

  ToolDefinition tool_;
  cv::Matx33d outR_;
  cv::Vec3d outT_;
  double maxResidual_;
  double distanceTolerance_;            // largest change of a marker distance in a rigid tool
  std::vector<double> modelDistances_;  // every pair of markers, i < j, in row order
  TargetFollower left_, right_;
  StereoCentres centres_;
  Oskelo::CV::Native64::Cone cone_;
  // Per-frame buffers, kept to avoid allocations.
  std::vector<cv::Point2d> leftDots_, rightDots_;
  std::vector<cv::Point3d> points_;
};

}  // namespace dotcal
