#pragma once

#include <vector>

#include "cone/Kabsch.h"
#include "native64/ToolPivot.h"

// The pose-based pivot on poses already checked, shared by PivotFromPoses and PivotFromMarkers.
namespace Oskelo::CV::Native64::detail {

// Ratio of the smallest to the largest singular value of a pivot or shared-sphere system below
// which it is taken as rank-deficient: exact degenerate motions give rounding-level ratios (1e-16),
// noisy but determined ones ratios many orders above.
constexpr double kPivotSingularRatio = 1e-10;

// The markers behind registered poses: frames[i][m] is marker m in frame i, model[m] the marker
// in the tool frame, poses[i] the model registered onto frame i.
struct PivotMarkers {
  const std::vector<std::vector<cv::Point3d>>& frames;
  const std::vector<cv::Point3d>& model;
};

// The one-step pivot with outlier rejection and the motion's measures and warnings; the tool axis
// points from the tip to `axisPoint` (tool coordinates). With `markers` and
// options.refineGeometric, the algebraic solution on the kept frames is refined to the geometric
// one (RefineGeometric in the source).
PivotFitResult SolvePivot(const std::vector<RigidPose>& poses, const PivotFitOptions& options,
                          const cv::Vec3d& axisPoint = cv::Vec3d(0.0, 0.0, 0.0),
                          const PivotMarkers* markers = nullptr);

}  // namespace Oskelo::CV::Native64::detail
