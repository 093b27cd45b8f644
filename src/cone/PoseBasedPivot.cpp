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

// Geometric refinement: the maximum-likelihood pivot under isotropic marker noise. The model
// x_im = q + R_i d_m (q the pivot, d_m marker m's offset from the tip in the tool frame, R_i frame
// i's rotation) is fitted by minimising sum |x_im - q - R_i d_m|^2 over q, the d_m and the R_i by
// alternating least squares (block coordinate descent), starting from the algebraic solution:
// - given q and the d_m, each R_i is the rotation-only orthogonal Procrustes fit (Kabsch, with the
//   reflection corrected) of the d_m onto the x_im - q;
// - given the R_i, the d_m solve in closed form, d_m = mean_i R_i^T (x_im - q) = a_m - B q with
//   a_m = mean_i R_i^T x_im and B = mean_i R_i^T, and substituting them leaves the 3x3 system
//   (I - B^T B) q = mean_i c_i - B^T mean_i R_i^T c_i in q, c_i the centroid of frame i.
// Each step minimises the objective over its block exactly, so it never grows. Unlike the
// algebraic solve, whose design matrix holds the rotations registered from noisy markers (an
// errors-in-variables bias along the tool axis on short arcs), it weighs every marker's
// coordinates alike.
constexpr int kMaxRefineIterations = 3000;
// The steps stop when neither q nor any d_m moves by more than this share of the scene's size.
constexpr double kRefineTolerance = 1e-12;

struct RefinedPivot {
  PivotSolution solution;
  int iterations = 0;
};

RefinedPivot RefineGeometric(const std::vector<RigidPose>& poses, const std::vector<bool>& used,
                             const PivotMarkers& markers, const PivotSolution& algebraic) {
  const std::size_t count = markers.model.size();
  std::vector<std::size_t> frames;
  for (std::size_t i = 0; i < poses.size(); ++i) {
    if (used[i]) frames.push_back(i);
  }
  const double n = static_cast<double>(frames.size());
  std::vector<cv::Vec3d> centroids(poses.size());
  for (std::size_t i : frames) centroids[i] = cv::Vec3d(Centroid(markers.frames[i], count));
  cv::Vec3d meanCentroid(0.0, 0.0, 0.0);
  for (std::size_t i : frames) meanCentroid += centroids[i] / n;

  std::vector<cv::Matx33d> R(poses.size());
  for (std::size_t i : frames) R[i] = poses[i].R;
  std::vector<cv::Vec3d> d(count);
  for (std::size_t m = 0; m < count; ++m) d[m] = cv::Vec3d(markers.model[m]) - algebraic.tip;
  cv::Vec3d q = algebraic.pivot;
  const double tolerance = kRefineTolerance * SceneScale(poses, algebraic);

  RefinedPivot refined{algebraic, 0};
  while (refined.iterations < kMaxRefineIterations) {
    ++refined.iterations;
    // The rotations for the current q and d_m.
    for (std::size_t i : frames) {
      cv::Matx33d H = cv::Matx33d::zeros();
      for (std::size_t m = 0; m < count; ++m) H += d[m] * (cv::Vec3d(markers.frames[i][m]) - q).t();
      R[i] = ProperRotation(H);
    }
    // q and the d_m for the current rotations.
    cv::Matx33d B = cv::Matx33d::zeros();
    cv::Vec3d turnedCentroids(0.0, 0.0, 0.0);
    std::vector<cv::Vec3d> a(count, cv::Vec3d(0.0, 0.0, 0.0));
    for (std::size_t i : frames) {
      const cv::Matx33d Rt = R[i].t();
      B += Rt * (1.0 / n);
      turnedCentroids += Rt * centroids[i] / n;
      for (std::size_t m = 0; m < count; ++m) a[m] += Rt * cv::Vec3d(markers.frames[i][m]) / n;
    }
    const cv::Matx33d normal = cv::Matx33d::eye() - B.t() * B;
    cv::Vec3d eigenvalues;
    cv::eigen(normal, eigenvalues);
    // Rotations about one axis leave q along it undetermined (I - B^T B singular): keep the last
    // determined solution.
    if (!(eigenvalues[2] > kPivotSingularRatio)) break;
    const cv::Vec3d nextQ =
        normal.solve(meanCentroid - B.t() * turnedCentroids, cv::DECOMP_CHOLESKY);
    double moved = cv::norm(nextQ - q);
    for (std::size_t m = 0; m < count; ++m) {
      const cv::Vec3d nextD = a[m] - B * nextQ;
      moved = std::max(moved, cv::norm(nextD - d[m]));
      d[m] = nextD;
    }
    q = nextQ;
    if (!std::isfinite(moved)) return {algebraic, 0};
    refined.solution.pivot = q;
    // The tip in the model's frame: the point that the rigid fit of the d_m onto the model
    // carries the tip (offset 0) to.
    std::vector<cv::Point3d> offsets(d.begin(), d.end());
    refined.solution.tip = RegisterRigid(offsets, markers.model).t;
    if (moved <= tolerance) break;
  }
  return refined;
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
                          const cv::Vec3d& axisPoint, const PivotMarkers* markers) {
  std::vector<bool> used(poses.size(), true);
  unsigned warnings = 0;
  PivotSolution solution = RejectOutliers(poses, options, used, warnings);
  if (!solution.solved) return Unsolved(poses.size(), options);

  PivotFitResult result;
  if (markers != nullptr && options.refineGeometric) {
    const RefinedPivot refined = RefineGeometric(poses, used, *markers, solution);
    solution = refined.solution;
    result.refineIterations = refined.iterations;
  }
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
  const detail::PivotMarkers markers{frames, model};
  return detail::SolvePivot(rigid, options, cv::Vec3d(detail::Centroid(model, model.size())),
                            &markers);
}

}  // namespace Oskelo::CV::Native64
