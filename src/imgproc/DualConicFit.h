#pragma once

#include <opencv2/core.hpp>

// The dual-conic ellipse fit of Ouellet and Hebert ("Precise ellipse estimation without contour
// point extraction", Machine Vision and Applications 2009): lines that should touch an ellipse,
// each given by a point and a normal, are fitted by the dual conic C* with l^T C* l = 0 in
// weighted linear least squares, C*_33 fixed at 1.
namespace Oskelo::CV::Native64::detail {

// An ellipse {x : (x - centre)^T Q (x - centre) = 1}, with its axes and their angle.
struct FittedEllipse {
  bool valid = false;        // false: the fit was singular or the conic is not a real ellipse
  cv::Point2d centre;        // pixels
  cv::Matx22d shape;         // Q, 1 / px^2
  double semiMajor = 0.0;    // pixels
  double semiMinor = 0.0;    // pixels
  double angleDeg = 0.0;     // major axis from the x axis toward y, in (-90, 90]
  double centreSigma = 0.0;  // root of the trace of the centre's covariance estimate, pixels
};

// Sums the normal equations of the fit. Coordinates are normalised, (x - origin) / scale, so that
// the lines' terms are of order 1 for an ellipse of radius about `scale` around `origin`.
class DualConicAccumulator {
 public:
  DualConicAccumulator(const cv::Point2d& origin, double scale);

  // Adds the line through pixel `point` with normal `gradient` (need not be unit length), weighted
  // by `weight` (the paper's choice is the squared gradient magnitude).
  void Add(const cv::Point2d& point, const cv::Point2d& gradient, double weight);

  int count() const { return count_; }

  // Solves the normal equations; `valid` false for fewer than 6 lines, a singular system or a
  // conic that is not an ellipse.
  FittedEllipse Solve() const;

 private:
  cv::Point2d origin_;
  double scale_;
  cv::Matx<double, 5, 5> normal_ = cv::Matx<double, 5, 5>::zeros();
  cv::Vec<double, 5> rhs_ = cv::Vec<double, 5>::all(0.0);
  double sumWeightedC4_ = 0.0;
  int count_ = 0;
};

}  // namespace Oskelo::CV::Native64::detail
