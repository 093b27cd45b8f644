#include "cone/PoseBasedPivot.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "cone/PivotMotion.h"

namespace Oskelo::CV::Native64 {
namespace detail {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Residuals below this share of the scene's size are rounding, never outliers: on exact poses the
// median itself is rounding, and a multiple of it would reject good frames.
constexpr double kRoundingShare = 1e-9;

// The fewest poses that can determine a pivot: two rotations always share an axis, along which
// the tip stays undetermined.
constexpr int kFewestPoses = 3;

struct PivotSolution {
  bool solved = false;
  cv::Vec3d tip;
  cv::Vec3d pivot;
};

int CountUsed(const std::vector<bool>& used) {
  return static_cast<int>(std::count(used.begin(), used.end(), true));
}

// Least-squares solve of [R_i  -I] [tip; pivot] = -t_i over the used frames, by the SVD of the
// 3N x 6 system; rank-deficient systems (one rotation, or rotations about one axis) are refused.
PivotSolution SolveUsed(const std::vector<RigidPose>& poses, const std::vector<bool>& used) {
  const int rows = 3 * CountUsed(used);
  if (rows < 6) return {};
  cv::Mat A(rows, 6, CV_64F);
  cv::Mat b(rows, 1, CV_64F);
  int r = 0;
  for (std::size_t i = 0; i < poses.size(); ++i) {
    if (!used[i]) continue;
    for (int k = 0; k < 3; ++k, ++r) {
      double* row = A.ptr<double>(r);
      for (int c = 0; c < 3; ++c) {
        row[c] = poses[i].R(k, c);
        row[3 + c] = k == c ? -1.0 : 0.0;
      }
      b.at<double>(r) = -poses[i].t[k];
    }
  }
  const cv::SVD svd(A);  // thin: u is rows x 6
  if (!(svd.w.at<double>(5) > kPivotSingularRatio * svd.w.at<double>(0))) return {};
  cv::Mat x;
  svd.backSubst(b, x);
  if (!cv::checkRange(x)) return {};
  PivotSolution solution;
  solution.solved = true;
  solution.tip = {x.at<double>(0), x.at<double>(1), x.at<double>(2)};
  solution.pivot = {x.at<double>(3), x.at<double>(4), x.at<double>(5)};
  return solution;
}

std::vector<double> Residuals(const std::vector<RigidPose>& poses, const PivotSolution& s) {
  std::vector<double> residuals;
  residuals.reserve(poses.size());
  for (const RigidPose& pose : poses) {
    residuals.push_back(cv::norm(pose.R * s.tip + pose.t - s.pivot));
  }
  return residuals;
}

double MedianUsed(const std::vector<double>& values, const std::vector<bool>& used) {
  std::vector<double> kept;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (used[i]) kept.push_back(values[i]);
  }
  const std::size_t middle = kept.size() / 2;
  std::nth_element(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(middle), kept.end());
  return kept[middle];
}

// The size of the scene: the largest of the translations, the tip and the pivot.
double SceneScale(const std::vector<RigidPose>& poses, const PivotSolution& s) {
  double scale = std::max(cv::norm(s.tip), cv::norm(s.pivot));
  for (const RigidPose& pose : poses) scale = std::max(scale, cv::norm(pose.t));
  return scale;
}

// Iterative rejection: solve, drop the used frames whose residual exceeds outlierFactor times the
// median of the used frames, and solve again, until no frame is dropped. A round that would leave
// fewer than minKeptShare of the frames, or a system without a unique solution, is not taken.
PivotSolution RejectOutliers(const std::vector<RigidPose>& poses, const PivotFitOptions& options,
                             std::vector<bool>& used, unsigned& warnings) {
  PivotSolution solution = SolveUsed(poses, used);
  if (!solution.solved || !(options.outlierFactor > 0.0)) return solution;
  const int total = static_cast<int>(poses.size());
  // A share above 1 or NaN keeps every frame; below 0, as 0.
  const double share = !(options.minKeptShare <= 1.0) ? 1.0 : std::max(options.minKeptShare, 0.0);
  const int fewestKept = std::max(kFewestPoses, static_cast<int>(std::ceil(share * total)));
  const double floor = kRoundingShare * SceneScale(poses, solution);
  // Every round drops a frame, so at most `total` rounds.
  for (int round = 0; round < total; ++round) {
    const std::vector<double> residuals = Residuals(poses, solution);
    const double limit = std::max(options.outlierFactor * MedianUsed(residuals, used), floor);
    std::vector<bool> next = used;
    for (std::size_t i = 0; i < poses.size(); ++i) {
      if (used[i] && residuals[i] > limit) next[i] = false;
    }
    const int kept = CountUsed(next);
    if (kept == CountUsed(used)) break;
    if (kept < fewestKept) {
      warnings |= kPivotManyRejected;
      break;
    }
    const PivotSolution candidate = SolveUsed(poses, next);
    if (!candidate.solved) break;
    used = next;
    solution = candidate;
  }
  return solution;
}

PivotFitResult Unsolved(std::size_t frames, const PivotFitOptions& options) {
  PivotFitResult result;
  result.tipInTool = result.pivot = {kNaN, kNaN, kNaN};
  result.rms = result.medianTiltDeg = result.maxTiltDeg = result.spinRangeDeg = kNaN;
  result.frameResiduals.assign(frames, kNaN);
  result.frameUsed.assign(frames, true);
  result.framesUsed = static_cast<int>(frames);
  if (result.framesUsed < options.minFrames) result.warnings |= kPivotFewFrames;
  // Enough poses but no unique pivot: the tool was not rocked (one rotation, or turned about one
  // axis only).
  if (frames >= 2) result.warnings |= kPivotLittleTilt;
  return result;
}

}  // namespace

PivotFitResult SolvePivot(const std::vector<RigidPose>& poses, const PivotFitOptions& options,
                          const cv::Vec3d& axisPoint) {
  std::vector<bool> used(poses.size(), true);
  unsigned warnings = 0;
  const PivotSolution solution = RejectOutliers(poses, options, used, warnings);
  if (!solution.solved) return Unsolved(poses.size(), options);

  PivotFitResult result;
  result.solved = true;
  result.tipInTool = cv::Point3d(solution.tip);
  result.pivot = cv::Point3d(solution.pivot);
  result.frameResiduals = Residuals(poses, solution);
  result.frameUsed = used;
  result.framesUsed = CountUsed(used);
  result.framesRejected = static_cast<int>(poses.size()) - result.framesUsed;
  double squares = 0.0;
  for (std::size_t i = 0; i < poses.size(); ++i) {
    if (used[i]) squares += result.frameResiduals[i] * result.frameResiduals[i];
  }
  result.rms = std::sqrt(squares / (3.0 * result.framesUsed));
  MeasurePivotMotion(poses, axisPoint, result);
  result.warnings = warnings | MotionWarnings(result, options);
  return result;
}

}  // namespace detail

namespace {

bool AllFinite(const std::vector<cv::Point3d>& points) {
  return std::all_of(points.begin(), points.end(), [](const cv::Point3d& p) {
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
  });
}

// Markers on one line (or all at one place) leave the rotation about that line undetermined.
// Ratio of the second to the largest eigenvalue of the model's scatter matrix below which that is
// taken to be so: a marker 1e-5 of the model's size off the line of the others.
constexpr double kCollinearRatio = 1e-10;

void RequireModel(const std::vector<cv::Point3d>& model) {
  if (model.size() < 3) {
    CV_Error(cv::Error::StsBadSize,
             cv::format("PivotFromMarkers: the model holds %zu markers; a pose needs at least 3",
                        model.size()));
  }
  if (!AllFinite(model)) {
    CV_Error(cv::Error::StsBadArg, "PivotFromMarkers: the model holds a marker that is not finite");
  }
  const cv::Point3d centroid = detail::Centroid(model, model.size());
  cv::Matx33d scatter = detail::CrossCovariance(model, model, model.size(), centroid, centroid);
  cv::Vec3d eigenvalues;
  cv::eigen(scatter, eigenvalues);
  if (eigenvalues[1] <= kCollinearRatio * eigenvalues[0]) {
    CV_Error(cv::Error::StsBadArg, "PivotFromMarkers: the model's markers lie on one line");
  }
}

cv::Mat PoseMatrix(const detail::RigidPose& pose) {
  cv::Mat m = cv::Mat::eye(4, 4, CV_64F);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m.at<double>(r, c) = pose.R(r, c);
    m.at<double>(r, 3) = pose.t[r];
  }
  return m;
}

}  // namespace

PivotFitResult PivotFromPoses(const std::vector<cv::Mat>& poses, const PivotFitOptions& options) {
  std::vector<detail::RigidPose> rigid(poses.size());
  for (std::size_t i = 0; i < poses.size(); ++i) {
    const cv::Mat& m = poses[i];
    if (m.dims != 2 || m.rows != 4 || m.cols != 4 || m.type() != CV_64FC1) {
      CV_Error(cv::Error::StsBadArg,
               cv::format("PivotFromPoses: pose %zu is not a 4x4 matrix of 64-bit floats", i));
    }
    if (!cv::checkRange(m)) {
      CV_Error(cv::Error::StsBadArg,
               cv::format("PivotFromPoses: pose %zu holds a value that is not finite", i));
    }
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) rigid[i].R(r, c) = m.at<double>(r, c);
      rigid[i].t[r] = m.at<double>(r, 3);
    }
  }
  return detail::SolvePivot(rigid, options);
}

PivotFitResult PivotFromMarkers(const std::vector<std::vector<cv::Point3d>>& frames,
                                const std::vector<cv::Point3d>& model,
                                const PivotFitOptions& options, std::vector<cv::Mat>* poses) {
  RequireModel(model);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].size() != model.size()) {
      CV_Error(cv::Error::StsUnmatchedSizes,
               cv::format("PivotFromMarkers: frame %zu holds %zu markers, the model %zu", i,
                          frames[i].size(), model.size()));
    }
    if (!AllFinite(frames[i])) {
      CV_Error(cv::Error::StsBadArg,
               cv::format("PivotFromMarkers: frame %zu holds a marker that is not finite", i));
    }
  }

  std::vector<detail::RigidPose> rigid;
  rigid.reserve(frames.size());
  for (const std::vector<cv::Point3d>& frame : frames) {
    rigid.push_back(detail::RegisterRigid(model, frame));
  }
  if (poses != nullptr) {
    poses->clear();
    for (const detail::RigidPose& pose : rigid) poses->push_back(PoseMatrix(pose));
  }
  // The axis from the tip to the markers' centroid: the tool's own axis, whatever the model's
  // frame (a mean model's origin is the tracker's).
  return detail::SolvePivot(rigid, options, cv::Vec3d(detail::Centroid(model, model.size())));
}

}  // namespace Oskelo::CV::Native64
