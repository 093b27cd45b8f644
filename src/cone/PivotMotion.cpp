#include "cone/PivotMotion.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Oskelo::CV::Native64 {
namespace detail {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDegreesPerRadian = 180.0 / CV_PI;

double AngleBetween(const cv::Vec3d& a, const cv::Vec3d& b) {
  return std::atan2(cv::norm(a.cross(b)), a.dot(b));
}

double Median(std::vector<double> values) {
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                   values.end());
  return values[middle];
}

// The twist angle of the rotation R about the unit axis u (swing-twist decomposition,
// R = swing * twist with twist about u): with R's quaternion (w, v), w >= 0, it is
// 2 atan2(v . u, w). From the matrix, v . u = (s . u) / (2 w) with s the axis vector of the skew
// part (R - R^T) / 2, and 2 w^2 = (1 + trace R) / 2, so twist = 2 atan2(s . u, (1 + trace R) / 2),
// in [-pi, pi]. Defined for rotations short of a half turn, as a tool's frame to frame are.
double TwistAngle(const cv::Matx33d& R, const cv::Vec3d& u) {
  const cv::Vec3d s(0.5 * (R(2, 1) - R(1, 2)), 0.5 * (R(0, 2) - R(2, 0)),
                    0.5 * (R(1, 0) - R(0, 1)));
  return 2.0 * std::atan2(s.dot(u), 0.5 * (1.0 + cv::trace(R)));
}

// The length of the smallest arc of the circle that holds every angle (radians): the full turn
// less the widest gap between neighbouring angles, the gap across the wrap included.
double SmallestArc(std::vector<double> angles) {
  for (double& a : angles) a = std::fmod(std::fmod(a, 2.0 * CV_PI) + 2.0 * CV_PI, 2.0 * CV_PI);
  std::sort(angles.begin(), angles.end());
  double widestGap = angles.front() + 2.0 * CV_PI - angles.back();
  for (std::size_t i = 1; i < angles.size(); ++i) {
    widestGap = std::max(widestGap, angles[i] - angles[i - 1]);
  }
  return 2.0 * CV_PI - widestGap;
}

}  // namespace

// Tilt: the tool axis of frame i, R_i u with u = (axisPoint - tip) normalised (the direction from
// the pivot to the axis point), against the normalised mean of the axes. Spin: the twist about u
// of R_ref^T R_i, the rotation from the first used frame to frame i.
void MeasurePivotMotion(const std::vector<RigidPose>& poses, const cv::Vec3d& axisPoint,
                        PivotFitResult& result) {
  result.medianTiltDeg = result.maxTiltDeg = result.spinRangeDeg = kNaN;
  const cv::Vec3d toAxisPoint = axisPoint - cv::Vec3d(result.tipInTool);
  if (!(cv::norm(toAxisPoint) > 0.0)) return;
  const cv::Vec3d u = cv::normalize(toAxisPoint);

  std::vector<cv::Vec3d> axes;
  std::vector<double> twists;
  const RigidPose* reference = nullptr;
  cv::Vec3d sum(0.0, 0.0, 0.0);
  for (std::size_t i = 0; i < poses.size(); ++i) {
    if (!result.frameUsed[i]) continue;
    if (reference == nullptr) reference = &poses[i];
    axes.push_back(cv::normalize(poses[i].R * u));
    sum += axes.back();
    twists.push_back(TwistAngle(reference->R.t() * poses[i].R, u));
  }
  if (axes.empty() || !(cv::norm(sum) > 0.0)) return;
  const cv::Vec3d mean = cv::normalize(sum);
  std::vector<double> tilts;
  tilts.reserve(axes.size());
  for (const cv::Vec3d& axis : axes) tilts.push_back(AngleBetween(axis, mean) * kDegreesPerRadian);
  result.medianTiltDeg = Median(tilts);
  result.maxTiltDeg = *std::max_element(tilts.begin(), tilts.end());
  result.spinRangeDeg = SmallestArc(twists) * kDegreesPerRadian;
}

unsigned MotionWarnings(const PivotFitResult& result, const PivotFitOptions& options) {
  unsigned warnings = 0;
  if (result.framesUsed < options.minFrames) warnings |= kPivotFewFrames;
  if (result.maxTiltDeg < options.minTiltDeg) warnings |= kPivotLittleTilt;
  if (result.spinRangeDeg > options.spinToTiltRatio * result.maxTiltDeg) warnings |= kPivotSpinOnly;
  return warnings;
}

}  // namespace detail

std::vector<std::string> PivotWarningTexts(unsigned warnings, const PivotFitOptions& options) {
  std::vector<std::string> texts;
  if (warnings & kPivotFewFrames) {
    texts.push_back(cv::format(
        "fewer than %d frames were used for the pivot; record at least %d while rocking the tool "
        "about its tip",
        options.minFrames, options.minFrames));
  }
  if (warnings & kPivotLittleTilt) {
    texts.push_back(cv::format(
        "the tool was tilted less than %.1f degrees from its mean axis, or in one plane only; rock "
        "it further and in several directions (at least %.1f degrees) so that the tip along the "
        "tool axis is determined",
        options.minTiltDeg, options.minTiltDeg));
  }
  if (warnings & kPivotSpinOnly) {
    texts.push_back(
        "the tool was mostly turned about its own axis, which does not locate the tip along it; "
        "tilt it to and fro in several directions instead");
  }
  if (warnings & kPivotManyRejected) {
    texts.push_back(cv::format(
        "so many frames disagreed with the pivot that rejection stopped at %.0f %% of them; keep "
        "the tip still in its seat and the markers in view, and record again",
        options.minKeptShare * 100.0));
  }
  return texts;
}

}  // namespace Oskelo::CV::Native64
