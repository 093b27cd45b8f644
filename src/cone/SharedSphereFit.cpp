#include <cmath>

#include "cone/PoseBasedPivot.h"
#include "native64/ToolPivot.h"

namespace Oskelo::CV::Native64 {
namespace {

bool Finite(const cv::Point3d& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

}  // namespace

// Kasa's linear sphere fit with the centre shared by every track: |p|^2 = 2 c . p + d_m for every
// point p of track m, in coordinates centred on the mean of all points (for conditioning), solved
// by the SVD of the design matrix with its columns scaled to unit length, so that the rank test
// compares like with like.
SharedSphereFit FitSharedSphere(const std::vector<std::vector<cv::Point3d>>& tracks) {
  SharedSphereFit fit;
  const int unknowns = 3 + static_cast<int>(tracks.size());
  int points = 0;
  cv::Vec3d mean(0.0, 0.0, 0.0);
  for (const std::vector<cv::Point3d>& track : tracks) {
    for (const cv::Point3d& p : track) {
      if (!Finite(p)) return fit;
      mean += cv::Vec3d(p);
      ++points;
    }
  }
  if (points < 4 || points < unknowns) return fit;
  mean /= static_cast<double>(points);

  cv::Mat A(points, unknowns, CV_64F, cv::Scalar(0.0));
  cv::Mat b(points, 1, CV_64F);
  int row = 0;
  for (std::size_t m = 0; m < tracks.size(); ++m) {
    for (const cv::Point3d& p : tracks[m]) {
      const cv::Vec3d q = cv::Vec3d(p) - mean;
      double* a = A.ptr<double>(row);
      a[0] = 2.0 * q[0], a[1] = 2.0 * q[1], a[2] = 2.0 * q[2];
      a[3 + m] = 1.0;
      b.at<double>(row++) = q.dot(q);
    }
  }
  cv::Mat scale(1, unknowns, CV_64F);
  for (int c = 0; c < unknowns; ++c) {
    const double length = cv::norm(A.col(c));
    if (!(length > 0.0)) return fit;  // an empty track, or all points at their mean
    scale.at<double>(c) = length;
    A.col(c) /= length;
  }
  const cv::SVD svd(A);
  if (!(svd.w.at<double>(unknowns - 1) > detail::kPivotSingularRatio * svd.w.at<double>(0))) {
    return fit;
  }
  cv::Mat x;
  svd.backSubst(b, x);
  x /= scale.t();

  const cv::Vec3d c(x.at<double>(0), x.at<double>(1), x.at<double>(2));
  std::vector<double> radii;
  for (std::size_t m = 0; m < tracks.size(); ++m) {
    const double squared = x.at<double>(3 + static_cast<int>(m)) + c.dot(c);
    if (!(squared > 0.0)) return fit;
    radii.push_back(std::sqrt(squared));
  }
  double squares = 0.0;
  for (std::size_t m = 0; m < tracks.size(); ++m) {
    for (const cv::Point3d& p : tracks[m]) {
      const double e = cv::norm(cv::Vec3d(p) - mean - c) - radii[m];
      squares += e * e;
    }
  }
  fit.solved = true;
  fit.centre = cv::Point3d(c + mean);
  fit.radii = radii;
  fit.rms = std::sqrt(squares / points);
  return fit;
}

}  // namespace Oskelo::CV::Native64
