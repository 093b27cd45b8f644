#pragma once

#include <vector>

#include "cone/Kabsch.h"
#include "native64/ToolPivot.h"

// The spread of a pivot motion (tilt of the tool axis, spin about it) and the warnings it gives.
namespace Oskelo::CV::Native64::detail {

// Writes medianTiltDeg, maxTiltDeg and spinRangeDeg of `result` from the used frames of `poses`,
// for the tool axis from result.tipInTool to `axisPoint` (tool coordinates). A tip at that point
// defines no axis: the measures are NaN.
void MeasurePivotMotion(const std::vector<RigidPose>& poses, const cv::Vec3d& axisPoint,
                        PivotFitResult& result);

// The warning bits for the frame count and the motion's spread of a measured result (the bit of
// rejection is the solver's). NaN measures raise no motion warning.
unsigned MotionWarnings(const PivotFitResult& result, const PivotFitOptions& options);

}  // namespace Oskelo::CV::Native64::detail
