#include "imgproc/DualConicFit.h"

#include <cmath>

namespace Oskelo::CV::Native64::detail {

DualConicAccumulator::DualConicAccumulator(const cv::Point2d& origin, double scale)
    : origin_(origin), scale_(scale) {}

void DualConicAccumulator::Add(const cv::Point2d& point, const cv::Point2d& gradient,
                               double weight) {
  const double norm = std::sqrt(gradient.x * gradient.x + gradient.y * gradient.y);
  if (!(norm > 0.0) || !(weight > 0.0)) return;
  const double a = gradient.x / norm, b = gradient.y / norm;
  const double u = (point.x - origin_.x) / scale_, v = (point.y - origin_.y) / scale_;
  const double c = -(a * u + b * v);
  // l^T C* l = A a^2 + B ab + C b^2 + D ac + E bc + F c^2 with F = 1: z . theta = -c^2.
  const cv::Vec<double, 5> z(a * a, a * b, b * b, a * c, b * c);
  const double c2 = c * c;
  for (int i = 0; i < 5; ++i) {
    const double wz = weight * z[i];
    for (int j = i; j < 5; ++j) normal_(i, j) += wz * z[j];
    rhs_[i] -= wz * c2;
  }
  sumWeightedC4_ += weight * c2 * c2;
  ++count_;
}

FittedEllipse DualConicAccumulator::Solve() const {
  FittedEllipse result;
  if (count_ < 6) return result;
  cv::Matx<double, 5, 5> m = normal_;
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < i; ++j) m(i, j) = m(j, i);
  cv::Matx<double, 5, 5> inverse;
  if (cv::invert(m, inverse, cv::DECOMP_CHOLESKY) == 0.0) return result;
  const cv::Vec<double, 5> theta = inverse * rhs_;
  for (int i = 0; i < 5; ++i)
    if (!std::isfinite(theta[i])) return result;

  // C* = [[x0 x0^T - Q^-1, x0], [x0^T, 1]] for the ellipse (x - x0)^T Q (x - x0) = 1.
  const double x0 = theta[3] / 2.0, y0 = theta[4] / 2.0;
  const double s11 = x0 * x0 - theta[0], s12 = x0 * y0 - theta[1] / 2.0, s22 = y0 * y0 - theta[2];
  const double trace = s11 + s22, det = s11 * s22 - s12 * s12;
  if (!(det > 0.0) || !(trace > 0.0)) return result;
  const double root = std::sqrt(std::max(0.0, trace * trace / 4.0 - det));
  const double major2 = trace / 2.0 + root, minor2 = trace / 2.0 - root;
  if (!(minor2 > 0.0)) return result;

  // Residual sum of squares at the optimum: sum w c^4 + theta . h, with rhs = -h = -sum w z c^2.
  const double residual = std::max(0.0, sumWeightedC4_ - theta.dot(rhs_));
  const double dof = static_cast<double>(count_ - 5);
  const double sigma2 = residual / dof;

  result.valid = true;
  result.centre = origin_ + scale_ * cv::Point2d(x0, y0);
  const double s2 = scale_ * scale_;
  // Q = (S * scale^2)^-1 in pixels.
  result.shape = cv::Matx22d(s22, -s12, -s12, s11) * (1.0 / (det * s2));
  result.semiMajor = std::sqrt(major2) * scale_;
  result.semiMinor = std::sqrt(minor2) * scale_;
  double angle = 0.5 * std::atan2(2.0 * s12, s11 - s22) * 180.0 / CV_PI;
  if (angle <= -90.0) angle += 180.0;
  result.angleDeg = angle;
  result.centreSigma = scale_ / 2.0 * std::sqrt(sigma2 * (inverse(3, 3) + inverse(4, 4)));
  return result;
}

}  // namespace Oskelo::CV::Native64::detail
