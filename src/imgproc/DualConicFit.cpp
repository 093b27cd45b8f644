#include "imgproc/DualConicFit.h"

#include <cmath>
#include <limits>

namespace Oskelo::CV::Native64::detail {
namespace {

using Matx55 = cv::Matx<double, 5, 5>;
using Vec5 = cv::Vec<double, 5>;

// The Cholesky factor L (lower, L L^T = a) of a symmetric 5 x 5 matrix, of which the lower
// triangle is read; false when a pivot falls below the machine epsilon (not positive definite),
// the test cv::invert and cv::solve make with DECOMP_CHOLESKY. Written out because those calls
// cost more than the rest of a small dot's fit.
bool CholeskyFactor(const Matx55& a, Matx55& l) {
  l = Matx55::zeros();
  for (int j = 0; j < 5; ++j) {
    double pivot = a(j, j);
    for (int k = 0; k < j; ++k) pivot -= l(j, k) * l(j, k);
    if (!(pivot >= std::numeric_limits<double>::epsilon())) return false;
    l(j, j) = std::sqrt(pivot);
    for (int i = j + 1; i < 5; ++i) {
      double sum = a(i, j);
      for (int k = 0; k < j; ++k) sum -= l(i, k) * l(j, k);
      l(i, j) = sum / l(j, j);
    }
  }
  return true;
}

// Solves L L^T x = b.
Vec5 CholeskySolve(const Matx55& l, const Vec5& b) {
  Vec5 y;
  for (int i = 0; i < 5; ++i) {
    double sum = b[i];
    for (int k = 0; k < i; ++k) sum -= l(i, k) * y[k];
    y[i] = sum / l(i, i);
  }
  Vec5 x;
  for (int i = 4; i >= 0; --i) {
    double sum = y[i];
    for (int k = i + 1; k < 5; ++k) sum -= l(k, i) * x[k];
    x[i] = sum / l(i, i);
  }
  return x;
}

}  // namespace

FittedEllipse DualConicAccumulator::Solve() const {
  FittedEllipse result;
  if (count_ < 6) return result;
  // l^T C* l = A a^2 + B ab + C b^2 + D ac + E bc + F c^2 with F = 1: z . theta = -c^2 for
  // z = (a^2, ab, b^2, ac, bc); the normal equations sum z z^T and -z c^2.
  const cv::Matx<double, 5, 5> m({xxxx_, xxxy_, xxyy_, xxxc_, xxyc_,  //
                                  xxxy_, xxyy_, xyyy_, xxyc_, xyyc_,  //
                                  xxyy_, xyyy_, yyyy_, xyyc_, yyyc_,  //
                                  xxxc_, xxyc_, xyyc_, xxcc_, xycc_,  //
                                  xxyc_, xyyc_, yyyc_, xycc_, yycc_});
  const cv::Vec<double, 5> rhs(-xxcc_, -xycc_, -yycc_, -xccc_, -yccc_);
  Matx55 factor;
  if (!CholeskyFactor(m, factor)) return result;
  const Vec5 theta = CholeskySolve(factor, rhs);
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
  const double residual = std::max(0.0, cccc_ - theta.dot(rhs));
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
  // The centre's variance from the inverse's last two diagonal entries, columns of m^-1.
  const double inverse33 = CholeskySolve(factor, Vec5(0, 0, 0, 1, 0))[3];
  const double inverse44 = CholeskySolve(factor, Vec5(0, 0, 0, 0, 1))[4];
  result.centreSigma = scale_ / 2.0 * std::sqrt(sigma2 * (inverse33 + inverse44));
  return result;
}

FittedEllipse EllipseThroughPoints(const cv::Point2d* points, int count, double scale) {
  FittedEllipse result;
  if (count < 5 || !(scale > 0.0)) return result;
  // The normal equations' lower triangle (the Cholesky factor reads no more) and right side.
  Matx55 normal = Matx55::zeros();
  Vec5 rhs = Vec5::all(0.0);
  for (int k = 0; k < count; ++k) {
    const double u = points[k].x / scale, v = points[k].y / scale;
    const double z[5] = {u * u, u * v, v * v, u, v};
    for (int i = 0; i < 5; ++i) {
      for (int j = 0; j <= i; ++j) normal(i, j) += z[i] * z[j];
      rhs[i] += z[i];
    }
  }
  Matx55 factor;
  if (!CholeskyFactor(normal, factor)) return result;
  const Vec5 theta = CholeskySolve(factor, rhs);
  for (int i = 0; i < 5; ++i)
    if (!std::isfinite(theta[i])) return result;

  // u^T M u + d . u = 1 is (u - u0)^T M (u - u0) = 1 + u0^T M u0 with u0 = -M^-1 d / 2.
  const double a = theta[0], b = theta[1] / 2.0, c = theta[2];
  const double det = a * c - b * b;
  if (!(det > 0.0) || !(a > 0.0)) return result;
  const double u0 = -(c * theta[3] - b * theta[4]) / (2.0 * det);
  const double v0 = -(a * theta[4] - b * theta[3]) / (2.0 * det);
  const double level = 1.0 + a * u0 * u0 + 2.0 * b * u0 * v0 + c * v0 * v0;
  if (!(level > 0.0)) return result;

  const double s2 = scale * scale;
  return EllipseFromShape(scale * cv::Point2d(u0, v0),
                          cv::Matx22d(a, b, b, c) * (1.0 / (level * s2)));
}

FittedEllipse EllipseFromShape(const cv::Point2d& centre, const cv::Matx22d& shape) {
  FittedEllipse result;
  // The axes from Q's eigenvalues: the larger one gives the minor axis.
  const double mean = 0.5 * (shape(0, 0) + shape(1, 1));
  const double half = std::sqrt(0.25 * (shape(0, 0) - shape(1, 1)) * (shape(0, 0) - shape(1, 1)) +
                                shape(0, 1) * shape(0, 1));
  if (!(mean - half > 0.0) || !std::isfinite(centre.x) || !std::isfinite(centre.y)) return result;
  result.valid = true;
  result.centre = centre;
  result.shape = shape;
  result.semiMajor = 1.0 / std::sqrt(mean - half);
  result.semiMinor = 1.0 / std::sqrt(mean + half);
  double angle = 0.5 * std::atan2(-2.0 * shape(0, 1), shape(1, 1) - shape(0, 0)) * 180.0 / CV_PI;
  if (angle <= -90.0) angle += 180.0;
  result.angleDeg = angle;
  return result;
}

}  // namespace Oskelo::CV::Native64::detail
