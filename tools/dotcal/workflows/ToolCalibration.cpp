#include "workflows/ToolCalibration.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "CommandError.h"

namespace dotcal {
namespace {

using Oskelo::CV::Native64::Calibration;
using Oskelo::CV::Native64::Cone;

const char* const kFitNames[] = {"hyper", "iterative", "pratt", "taubin"};
// Points the fits need: the hyper and Pratt fits 5, the iterative and Taubin fits 4.
constexpr int kFitMinimum[] = {5, 4, 5, 4};
// Dots of a frame whose distances to one another differ from those of the first frame by more
// than this share of the smallest such distance belong to another dot order (a swap moves a
// distance by at least one dot spacing); triangulation noise stays far below it.
constexpr double kShapeToleranceShare = 0.1;

}  // namespace

int FitMethodCode(const std::string& name) {
  for (std::size_t code = 0; code < std::size(kFitNames); ++code) {
    if (name == kFitNames[code]) return static_cast<int>(code);
  }
  throw UsageError("--method takes hyper, iterative, pratt or taubin, not '" + name + "'");
}

int MinimumFrames(int fitMethod) { return kFitMinimum[fitMethod]; }

ToolSequence::ToolSequence(const Calibration& calibration, const TargetShape& shape)
    : calibration_(calibration), left_(shape), right_(shape) {}

FrameOutcome ToolSequence::AddFrame(const cv::Mat& left, const cv::Mat& right,
                                    std::vector<cv::Point2d>& leftDots) {
  std::vector<cv::Point2d> rightDots;
  // Both followers see every frame, so that each keeps its search region moving.
  const bool foundLeft = left_.Next(left, leftDots);
  const bool foundRight = right_.Next(right, rightDots);
  if (!foundLeft || !foundRight) return FrameOutcome::kLost;
  std::vector<cv::Point3d> points;
  calibration_.Triangulate(leftDots, rightDots, points);
  if (!KeepsShape(points)) return FrameOutcome::kNotRigid;
  frames_.push_back(std::move(points));
  return FrameOutcome::kUsed;
}

bool ToolSequence::KeepsShape(const std::vector<cv::Point3d>& points) const {
  if (frames_.empty()) return true;
  const std::vector<cv::Point3d>& reference = frames_.front();
  double smallest = std::numeric_limits<double>::infinity();
  double largestChange = 0.0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    for (std::size_t j = i + 1; j < points.size(); ++j) {
      const double distance = cv::norm(reference[i] - reference[j]);
      smallest = std::min(smallest, distance);
      largestChange = std::max(largestChange, std::abs(cv::norm(points[i] - points[j]) - distance));
    }
  }
  return largestChange <= kShapeToleranceShare * smallest;
}

PivotResult ToolSequence::Calibrate(int fitMethod) const {
  const int needed = MinimumFrames(fitMethod);
  if (static_cast<int>(frames_.size()) < needed) {
    throw WorkFailed("the target was triangulated in " + std::to_string(frames_.size()) +
                     " frames; the " + kFitNames[fitMethod] + " fit needs at least " +
                     std::to_string(needed));
  }
  Cone cone;
  cone.fitMethod = fitMethod;
  const std::size_t markers = frames_.front().size();
  cone.markerTracks.assign(markers, {});
  for (const std::vector<cv::Point3d>& frame : frames_) {
    for (std::size_t m = 0; m < markers; ++m) cone.markerTracks[m].push_back(frame[m]);
  }
  cone.Calibrate();

  PivotResult result;
  result.tip = cone.pivot;
  result.markerOffsets = cone.markerOffsets;
  result.framesUsed = static_cast<int>(frames_.size());
  double sumSquares = 0.0;
  for (const std::vector<cv::Point3d>& frame : frames_) {
    cv::Point3d position, angles;
    cv::Mat transform;
    cone.FindTransformation_old(frame, position, angles, transform, {0, 0, 0});
    result.framePositions.push_back(position);
    const cv::Point3d d = position - result.tip;
    sumSquares += d.dot(d);
  }
  result.tipRms = std::sqrt(sumSquares / static_cast<double>(frames_.size()));
  if (!std::isfinite(result.tip.x) || !std::isfinite(result.tip.y) ||
      !std::isfinite(result.tip.z)) {
    throw WorkFailed(
        "the pivot calibration gave no finite tip: the frames do not pivot about "
        "one point");
  }
  return result;
}

}  // namespace dotcal
