#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "detection/TargetDetection.h"
#include "detection/TargetShape.h"
#include "inputs/ToolFile.h"
#include "native64/Native64.h"
#include "native64/ToolPivot.h"
#include "workflows/DotCentres.h"

namespace dotcal {

// Sphere fit of the pivot calibration by name: "hyper" (0), "iterative" (1), "pratt" (2),
// "taubin" (3). Throws UsageError for another name.
int FitMethodCode(const std::string& name);

// Points each marker track needs for the fit (the fit's minimum).
int MinimumFrames(int fitMethod);

// The pivot methods of `dotcal pivot --method`: "pose" (the default), "shared-sphere", and the
// Cone sphere fits. Throws UsageError for another name.
void CheckPivotMethod(const std::string& name);

// True for the Cone sphere fits (hyper, iterative, pratt, taubin).
bool IsConeMethod(const std::string& name);

// What became of one frame pair of a tool sequence.
enum class FrameOutcome {
  kUsed,      // the target was found in both images and triangulated
  kLost,      // the target was not found in one image or both
  kNotRigid,  // found, but its dots do not keep their distances: a different dot order
};

// The pivot calibration of a tool and how well its frames agree with it.
struct PivotResult {
  cv::Point3d tip;                          // pivot point, rectified left camera frame
  std::vector<cv::Point3d> markerOffsets;   // each marker in the first used frame minus the tip
  std::vector<cv::Point3d> framePositions;  // the tip located in every used frame
  double tipRms = 0.0;                      // RMS distance of those from the tip
  int framesUsed = 0;
};

// Cone's pivot calibration of tracked frames (`frames[i][m]`: marker m in frame i): a sphere
// fitted to each marker's track, the tip the mean of the sphere centres, and each frame's tip
// position from registering the calibrated marker model onto the frame (FindTransformation_old).
// Throws WorkFailed when there are fewer frames than the fit needs or the tip is not finite.
PivotResult ConePivot(const std::vector<std::vector<cv::Point3d>>& frames, int fitMethod);

// A pivot calibration by any method, in the terms of a tool definition.
struct ToolPivot {
  std::string method;
  cv::Point3d pivot;       // the pivot point in the measurement frame
  cv::Point3d tipInModel;  // the tip in the coordinates of `model` (of the poses' tool frame)
  // The marker model: the markers' mean shape in the first frame's coordinates for the pose
  // method, the first frame for the sphere methods; empty for poses without markers.
  std::vector<cv::Point3d> model;
  std::vector<cv::Point3d> markerOffsets;  // each marker in the first used frame less the pivot
  // RMS distance of the per-frame tip positions from the pivot over the used frames; the RMS of
  // the 3N coordinate residuals is this over sqrt(3).
  double tipRms = 0.0;
  // The pose fit's frames used and rejected, per-frame residuals and the motion's tilt, spin and
  // warnings. For the sphere methods, the pose fit of the same frames with every frame kept: it
  // measures the motion, and its tip is not the one reported.
  Oskelo::CV::Native64::PivotFitResult motion;
};

// The fewest frames the pose method takes.
constexpr int kPoseMinimumFrames = 3;

// Pivot calibration of tracked frames with `method` (CheckPivotMethod's names). Throws WorkFailed
// when the frames cannot give a tip: too few for the method, fewer than 3 markers, or a motion
// that does not determine one.
ToolPivot CalibrateToolPivot(
    const std::vector<std::vector<cv::Point3d>>& frames, const std::string& method,
    const Oskelo::CV::Native64::PivotFitOptions& options = Oskelo::CV::Native64::PivotFitOptions());

// The pose method on rigid poses (4x4, tool to measurement). Throws WorkFailed as above.
ToolPivot CalibratePosePivot(
    const std::vector<cv::Mat>& poses,
    const Oskelo::CV::Native64::PivotFitOptions& options = Oskelo::CV::Native64::PivotFitOptions());

// The tool definition of a pivot calibration of a tool with `tracker`: markers and tip in the tool
// frame (ToolFrameFromMarkers of the model), residual, frames used and rejected (`frames`, the
// frames the sphere methods used, which reject none), tilt, method and creation time. The name and
// the calibration file are the caller's to fill. Throws WorkFailed when the pivot holds no markers
// or its motion's tilt could not be measured.
ToolDefinition DefineTool(const ToolPivot& pivot, const TargetShape& tracker, int frames);

// Follows a tool's target through a stereo sequence, triangulates its dots in every frame in
// which both cameras found it, and pivot-calibrates the tool with Cone: a sphere is fitted to each
// dot's track, the tip is the mean of the sphere centres, and each frame's tip position comes from
// registering the calibrated marker model onto the frame's dots (FindTransformation_old).
class ToolSequence {
 public:
  // `calibration`: a calibrated object (it triangulates); the images of a sequence have one size.
  // `centres`: how the dot centres are measured.
  ToolSequence(const Oskelo::CV::Native64::Calibration& calibration, const TargetShape& shape,
               CentreMethod centres = CentreMethod::kConic);

  // Searches one frame pair (8-bit grey). `leftDots` receives the dots found in the
  // left image (empty when not found).
  FrameOutcome AddFrame(const cv::Mat& left, const cv::Mat& right,
                        std::vector<cv::Point2d>& leftDots);

  // The dots of every used frame, in the rectified left camera frame, in detection order.
  const std::vector<std::vector<cv::Point3d>>& Frames() const { return frames_; }

  // Pivot calibration from the used frames with the given sphere fit. Throws WorkFailed when
  // there are fewer used frames than the fit needs.
  PivotResult Calibrate(int fitMethod) const;

 private:
  bool KeepsShape(const std::vector<cv::Point3d>& points) const;

  TargetFollower left_;
  TargetFollower right_;
  StereoCentres centres_;
  std::vector<std::vector<cv::Point3d>> frames_;
};

}  // namespace dotcal
