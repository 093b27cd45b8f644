#include "workflows/ToolCalibration.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "CommandError.h"
#include "inputs/CalibrationFile.h"

namespace dotcal {
namespace {

using Oskelo::CV::Native64::Calibration;
using Oskelo::CV::Native64::Cone;
using Oskelo::CV::Native64::PivotFitOptions;
using Oskelo::CV::Native64::PivotFitResult;

const char* const kFitNames[] = {"hyper", "iterative", "pratt", "taubin"};
const char* const kPoseMethod = "pose";
const char* const kSharedSphereMethod = "shared-sphere";

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

ToolSequence::ToolSequence(const Calibration& calibration, const TargetShape& shape,
                           CentreMethod centres)
    : left_(shape), right_(shape), centres_(calibration, centres, shape.diameter / 2.0) {}

FrameOutcome ToolSequence::AddFrame(const cv::Mat& left, const cv::Mat& right,
                                    std::vector<cv::Point2d>& leftDots) {
  std::vector<cv::Point2d> rightDots;
  // Both followers see every frame, so that each keeps its search region moving.
  const bool foundLeft = left_.Next(left, leftDots);
  const bool foundRight = right_.Next(right, rightDots);
  if (!foundLeft || !foundRight) return FrameOutcome::kLost;
  std::vector<cv::Point3d> points;
  centres_.Triangulate(left, right, leftDots, rightDots, points);
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

PivotResult ToolSequence::Calibrate(int fitMethod) const { return ConePivot(frames_, fitMethod); }

PivotResult ConePivot(const std::vector<std::vector<cv::Point3d>>& frames, int fitMethod) {
  const int needed = MinimumFrames(fitMethod);
  if (static_cast<int>(frames.size()) < needed) {
    throw WorkFailed("the target was triangulated in " + std::to_string(frames.size()) +
                     " frames; the " + kFitNames[fitMethod] + " fit needs at least " +
                     std::to_string(needed));
  }
  Cone cone;
  cone.fitMethod = fitMethod;
  const std::size_t markers = frames.front().size();
  cone.markerTracks.assign(markers, {});
  for (const std::vector<cv::Point3d>& frame : frames) {
    for (std::size_t m = 0; m < markers; ++m) cone.markerTracks[m].push_back(frame[m]);
  }
  cone.Calibrate();

  PivotResult result;
  result.tip = cone.pivot;
  result.markerOffsets = cone.markerOffsets;
  result.framesUsed = static_cast<int>(frames.size());
  double sumSquares = 0.0;
  for (const std::vector<cv::Point3d>& frame : frames) {
    cv::Point3d position, angles;
    cv::Mat transform;
    cone.FindTransformation_old(frame, position, angles, transform, {0, 0, 0});
    result.framePositions.push_back(position);
    const cv::Point3d d = position - result.tip;
    sumSquares += d.dot(d);
  }
  result.tipRms = std::sqrt(sumSquares / static_cast<double>(frames.size()));
  if (!std::isfinite(result.tip.x) || !std::isfinite(result.tip.y) ||
      !std::isfinite(result.tip.z)) {
    throw WorkFailed(
        "the pivot calibration gave no finite tip: the frames do not pivot about "
        "one point");
  }
  return result;
}

void CheckPivotMethod(const std::string& name) {
  if (name == kPoseMethod || name == kSharedSphereMethod || IsConeMethod(name)) return;
  throw UsageError("--method takes pose, shared-sphere, hyper, iterative, pratt or taubin, not '" +
                   name + "'");
}

bool IsConeMethod(const std::string& name) {
  return std::find(std::begin(kFitNames), std::end(kFitNames), name) != std::end(kFitNames);
}

namespace {

std::string WarningSentences(const PivotFitResult& fit, const PivotFitOptions& options) {
  std::string text;
  for (const std::string& sentence :
       Oskelo::CV::Native64::PivotWarningTexts(fit.warnings, options)) {
    text += "; " + sentence;
  }
  return text;
}

void RequireSolved(const PivotFitResult& fit, const PivotFitOptions& options) {
  if (!fit.solved) {
    throw WorkFailed("the pose fit found no pivot: the motion does not determine one" +
                     WarningSentences(fit, options));
  }
}

void RequireFrames(std::size_t frames, int needed, const std::string& method) {
  if (static_cast<int>(frames) < needed) {
    throw WorkFailed("the tool was located in " + std::to_string(frames) + " frames; the " +
                     method + " fit needs at least " + std::to_string(needed));
  }
}

// RMS distance of R_i * tip + t_i from the pivot over the poses.
double TipRms(const std::vector<cv::Mat>& poses, const cv::Point3d& tip, const cv::Point3d& pivot) {
  double sumSquares = 0.0;
  for (const cv::Mat& pose : poses) {
    const cv::Matx44d T(pose);
    const cv::Vec4d p = T * cv::Vec4d(tip.x, tip.y, tip.z, 1.0);
    const cv::Point3d d = cv::Point3d(p[0], p[1], p[2]) - pivot;
    sumSquares += d.dot(d);
  }
  return std::sqrt(sumSquares / static_cast<double>(poses.size()));
}

std::vector<cv::Point3d> Offsets(const std::vector<cv::Point3d>& frame, const cv::Point3d& pivot) {
  std::vector<cv::Point3d> offsets;
  for (const cv::Point3d& p : frame) offsets.push_back(p - pivot);
  return offsets;
}

}  // namespace

ToolPivot CalibrateToolPivot(const std::vector<std::vector<cv::Point3d>>& frames,
                             const std::string& method, const PivotFitOptions& options) {
  CheckPivotMethod(method);
  if (!frames.empty() && frames.front().size() < 3) {
    throw WorkFailed("the tool has " + std::to_string(frames.front().size()) +
                     " markers; a pivot calibration needs at least 3");
  }
  ToolPivot pivot;
  pivot.method = method;
  if (method == kPoseMethod) {
    RequireFrames(frames.size(), kPoseMinimumFrames, method);
    pivot.model = Oskelo::CV::Native64::MeanMarkerModel(frames);
    pivot.motion = Oskelo::CV::Native64::PivotFromMarkers(frames, pivot.model, options);
    RequireSolved(pivot.motion, options);
    pivot.pivot = pivot.motion.pivot;
    pivot.tipInModel = pivot.motion.tipInTool;
    const auto firstUsed =
        std::find(pivot.motion.frameUsed.begin(), pivot.motion.frameUsed.end(), true);
    pivot.markerOffsets = Offsets(frames[firstUsed - pivot.motion.frameUsed.begin()], pivot.pivot);
    // The 3N coordinate residuals' RMS is the tip distances' RMS over sqrt(3).
    pivot.tipRms = pivot.motion.rms * std::sqrt(3.0);
    return pivot;
  }

  // The sphere methods: the model is the first frame, the tip the sphere centre, in that frame's
  // coordinates; the motion comes from the pose fit with every frame kept.
  if (IsConeMethod(method)) {
    const PivotResult cone = ConePivot(frames, FitMethodCode(method));
    pivot.pivot = cone.tip;
    pivot.markerOffsets = cone.markerOffsets;
    pivot.tipRms = cone.tipRms;
  } else {
    std::vector<std::vector<cv::Point3d>> tracks(frames.empty() ? 0 : frames.front().size());
    for (const std::vector<cv::Point3d>& frame : frames) {
      for (std::size_t m = 0; m < tracks.size(); ++m) tracks[m].push_back(frame[m]);
    }
    const Oskelo::CV::Native64::SharedSphereFit sphere =
        Oskelo::CV::Native64::FitSharedSphere(tracks);
    if (!sphere.solved) {
      throw WorkFailed("the shared-sphere fit found no centre in " + std::to_string(frames.size()) +
                       " frames: too few, or tracks that do not determine one (a motion in one "
                       "plane or about one axis)");
    }
    pivot.pivot = sphere.centre;
    pivot.markerOffsets = Offsets(frames.front(), pivot.pivot);
  }
  pivot.model = frames.front();
  pivot.tipInModel = pivot.pivot;
  PivotFitOptions keepAll = options;
  keepAll.outlierFactor = 0.0;
  std::vector<cv::Mat> poses;
  pivot.motion = Oskelo::CV::Native64::PivotFromMarkers(frames, pivot.model, keepAll, &poses);
  if (method == kSharedSphereMethod) pivot.tipRms = TipRms(poses, pivot.tipInModel, pivot.pivot);
  return pivot;
}

ToolPivot CalibratePosePivot(const std::vector<cv::Mat>& poses, const PivotFitOptions& options) {
  RequireFrames(poses.size(), kPoseMinimumFrames, kPoseMethod);
  ToolPivot pivot;
  pivot.method = kPoseMethod;
  pivot.motion = Oskelo::CV::Native64::PivotFromPoses(poses, options);
  RequireSolved(pivot.motion, options);
  pivot.pivot = pivot.motion.pivot;
  pivot.tipInModel = pivot.motion.tipInTool;
  pivot.tipRms = pivot.motion.rms * std::sqrt(3.0);
  return pivot;
}

ToolDefinition DefineTool(const ToolPivot& pivot, const TargetShape& tracker, int frames) {
  if (pivot.model.empty()) throw WorkFailed("the pivot holds no markers: no tool to define");
  ToolDefinition tool;
  tool.unit = tracker.unit;
  tool.tracker = tracker;
  const cv::Matx44d toolFromModel(ToolFrameFromMarkers(pivot.model));
  const auto inTool = [&](const cv::Point3d& p) {
    const cv::Vec4d q = toolFromModel * cv::Vec4d(p.x, p.y, p.z, 1.0);
    return cv::Point3d(q[0], q[1], q[2]);
  };
  for (const cv::Point3d& p : pivot.model) tool.markers.push_back(inTool(p));
  tool.tip = inTool(pivot.tipInModel);
  tool.pivotResidual = pivot.tipRms / std::sqrt(3.0);
  const bool poseFit = pivot.method == "pose";
  tool.framesUsed = poseFit ? pivot.motion.framesUsed : frames;
  tool.framesRejected = poseFit ? pivot.motion.framesRejected : 0;
  tool.tiltMedianDeg = pivot.motion.medianTiltDeg;
  tool.tiltMaxDeg = pivot.motion.maxTiltDeg;
  if (!std::isfinite(tool.tiltMedianDeg) || !std::isfinite(tool.tiltMaxDeg)) {
    throw WorkFailed(
        "the tilt of the motion could not be measured (it does not determine a pivot by poses): "
        "no tool file written");
  }
  tool.method = pivot.method;
  tool.created = IsoTimeNow();
  return tool;
}

}  // namespace dotcal
