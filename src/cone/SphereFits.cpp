#include "cone/SphereFits.h"

#include <cmath>
#include <limits>

#include "native64/Cone.h"

namespace Oskelo::CV::Native64::detail {
namespace {

// Fixed step count of the iterative fit; it has no convergence test.
constexpr int kIterativeSteps = 1000;

void RequireRows(const cv::Mat& deltaMag2, const cv::Mat& delta) {
  const int pnts = delta.rows;
  if (deltaMag2.rows != pnts) CV_Error(cv::Error::StsUnmatchedSizes, "deltaMag2.rows == pnts");
}

void RequireAtLeast(int points, int needed, const char* fit) {
  if (points < needed) {
    CV_Error(cv::Error::StsBadSize,
             cv::format("%s needs at least %d points, got %d", fit, needed, points));
  }
}

// The coefficients of no sphere: every centre and radius computed from them is NaN.
cv::Mat UndefinedCoefficients(int unknowns) {
  return cv::Mat(unknowns, 1, CV_64F, cv::Scalar(std::numeric_limits<double>::quiet_NaN()));
}

// Index of the smallest non-negative eigenvalue (NaN never qualifies); 0 if none does.
int SmallestNonNegative(const cv::Mat& values) {
  double best = std::numeric_limits<double>::max();
  int chosen = 0;
  for (int i = 0; i < values.rows; ++i) {
    const double value = values.at<double>(i);
    if (value < 0.0) continue;
    if (value < best) {
      best = value;
      chosen = i;
    }
  }
  return chosen;
}

// Minimises |M*A|^2 subject to A'*N*A = 1 for the design matrix M = [deltaMag2 | delta | 1], given
// the inverse of the constraint matrix N. With M = U*S*V', W = V*S*V' is the square root of M'*M;
// the solution is W^-1 times the eigenvector of W*N^-1*W with the smallest non-negative
// eigenvalue. Exact data (M singular to rounding) give M's null vector instead.
void FitWithConstraint(const cv::Mat& deltaMag2, const cv::Mat& delta, const cv::Mat& Ninv,
                       cv::Mat& coefficients, AlgebraicFitTrace* trace, const char* fit) {
  RequireRows(deltaMag2, delta);
  const int unknowns = delta.cols + 2;
  RequireAtLeast(delta.rows, unknowns, fit);

  cv::Mat M;
  cv::hconcat(deltaMag2, delta, M);
  cv::hconcat(M, cv::Mat::ones(delta.rows, 1, CV_64F), M);
  // Points with a NaN or infinite coordinate define no sphere; cv::eigen would leave its outputs
  // unwritten for them.
  if (!cv::checkRange(M)) {
    coefficients = UndefinedCoefficients(unknowns);
    if (trace) *trace = AlgebraicFitTrace{};
    return;
  }
  cv::Mat w, u, vt;
  cv::SVD::compute(M, w, u, vt, 0);

  const int last = unknowns - 1;
  if (w.at<double>(last) / w.at<double>(0) < kSingularRatio) {
    coefficients = vt.row(last).t();
    if (trace) *trace = AlgebraicFitTrace{true, cv::Mat(), -1};
    return;
  }

  cv::Mat wInv;
  cv::pow(w, -1.0, wInv);
  const cv::Mat W = vt.t() * cv::Mat::diag(w) * vt;
  const cv::Mat Winv = vt.t() * cv::Mat::diag(wInv) * vt;
  const cv::Mat E = W * Ninv * W;
  cv::Mat values, vectors;
  if (!cv::eigen(E, values, vectors)) {
    coefficients = UndefinedCoefficients(unknowns);
    if (trace) *trace = AlgebraicFitTrace{};
    return;
  }
  const int chosen = SmallestNonNegative(values);
  coefficients = Winv * vectors.row(chosen).t();
  if (trace) *trace = AlgebraicFitTrace{false, values, chosen};
}

// (D+2)x(D+2) identity whose entries (0,0), (0,D+1), (D+1,0) and (D+1,D+1) are replaced: the
// layout of the inverse constraint matrices, which couple only A0 and A(D+1).
cv::Mat InverseConstraint(int D, double first, double offDiagonal, double lastDiagonal) {
  cv::Mat N = cv::Mat::eye(D + 2, D + 2, CV_64F);
  N.at<double>(0, 0) = first;
  N.at<double>(0, D + 1) = offDiagonal;
  N.at<double>(D + 1, 0) = offDiagonal;
  N.at<double>(D + 1, D + 1) = lastDiagonal;
  return N;
}

}  // namespace

std::size_t MinimumSpherePoints(int fitMethod) {
  switch (fitMethod) {
    case kFitHyper:
    case kFitPratt:
      return 5;  // five unknown coefficients
    case kFitIterative:
    case kFitTaubin:
      return 4;  // four points fix a sphere
    default:
      CV_Error(cv::Error::StsOutOfRange,
               cv::format("fitMethod must be 0 (hyper), 1 (iterative), 2 (Pratt) or 3 (Taubin), "
                          "got %d",
                          fitMethod));
  }
}

void RequireSphereFitInput(int fitMethod, std::size_t count) {
  const std::size_t needed = MinimumSpherePoints(fitMethod);
  if (count < needed) {
    CV_Error(
        cv::Error::StsBadSize,
        cv::format("the sphere fit of fitMethod %d needs at least %zu points per track, got %zu",
                   fitMethod, needed, count));
  }
}

cv::Scalar CentrePoints(const cv::Mat& points, cv::Mat& delta, cv::Mat& deltaMag2) {
  CV_Assert(points.isContinuous() && points.depth() == CV_64F);
  const cv::Scalar mean = cv::mean(points);
  const int n = static_cast<int>(points.total());
  const int D = points.channels();
  delta.create(n, D, CV_64F);
  deltaMag2.create(n, 1, CV_64F);
  const double* p = points.ptr<double>();
  for (int i = 0; i < n; ++i) {
    double* row = delta.ptr<double>(i);
    double sum = 0.0;
    for (int k = 0; k < D; ++k) {
      row[k] = p[i * D + k] - mean[k];
      sum += row[k] * row[k];
    }
    deltaMag2.at<double>(i) = sum;
  }
  return mean;
}

void FitHyperCoefficients(const cv::Mat& deltaMag2, const cv::Mat& delta, cv::Mat& coefficients,
                          AlgebraicFitTrace* trace) {
  // Inverse of the hyper constraint [[8 Zmean, 0, 2], [0, I, 0], [2, 0, 0]], written directly.
  RequireRows(deltaMag2, delta);
  const double Zmean = cv::mean(deltaMag2)[0];
  const cv::Mat Ninv = InverseConstraint(delta.cols, 0.0, 0.5, -2.0 * Zmean);
  FitWithConstraint(deltaMag2, delta, Ninv, coefficients, trace, "the hyper fit");
}

void FitPrattCoefficients(const cv::Mat& deltaMag2, const cv::Mat& delta, cv::Mat& coefficients,
                          AlgebraicFitTrace* trace) {
  // Inverse of the Pratt constraint [[0, 0, -2], [0, I, 0], [-2, 0, 0]].
  const cv::Mat Ninv = InverseConstraint(delta.cols, 0.0, -0.5, 0.0);
  FitWithConstraint(deltaMag2, delta, Ninv, coefficients, trace, "the Pratt fit");
}

void FitTaubinCoefficients(const cv::Mat& deltaMag2, const cv::Mat& delta, cv::Mat& coefficients) {
  RequireRows(deltaMag2, delta);
  const int D = delta.cols;
  RequireAtLeast(delta.rows, D + 1, "the Taubin fit");

  const double Zmean = cv::mean(deltaMag2)[0];
  const double s = 2.0 * std::sqrt(Zmean);
  const cv::Mat Z0 = (deltaMag2 - Zmean) / s;
  cv::Mat M;
  cv::hconcat(Z0, delta, M);
  cv::Mat w, u, vt;
  cv::SVD::compute(M, w, u, vt, 0);

  // a0*Z0 + a.x = 0 rewritten in terms of |x|^2.
  const double* a = vt.ptr<double>(D);
  coefficients.create(D + 2, 1, CV_64F);
  coefficients.at<double>(0) = a[0] / s;
  for (int k = 1; k <= D; ++k) coefficients.at<double>(k) = a[k];
  coefficients.at<double>(D + 1) = -Zmean * a[0] / s;
}

void SphereFromCoefficients(const cv::Mat& coefficients, const cv::Scalar& mean, cv::Scalar& centre,
                            double& radius) {
  const int D = coefficients.rows - 2;
  const double A0 = coefficients.at<double>(0);
  double sum = 0.0;
  for (int k = 1; k <= D; ++k) sum += coefficients.at<double>(k) * coefficients.at<double>(k);
  radius = std::sqrt(sum - 4.0 * A0 * coefficients.at<double>(D + 1)) * 0.5 / std::abs(A0);
  centre = cv::Scalar::all(0.0);
  for (int k = 0; k < D; ++k) centre[k] = mean[k] - coefficients.at<double>(k + 1) * 0.5 / A0;
}

void FitIterativeSphere(const std::vector<cv::Point3_<double>>& points, cv::Point3_<double>& center,
                        double& radius) {
  const int n = static_cast<int>(points.size());
  if (n == 0) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    center = {nan, nan, nan};
    radius = nan;
    return;
  }

  // Raw moments up to third order.
  double Xn = 0, Yn = 0, Zn = 0, xx = 0, yy = 0, zz = 0, xy = 0, xz = 0, yz = 0;
  double xxx = 0, yyy = 0, zzz = 0, xxy = 0, xxz = 0, xyy = 0, yyz = 0, xzz = 0, yzz = 0;
  for (const cv::Point3_<double>& p : points) {
    const double x = p.x, y = p.y, z = p.z;
    Xn += x, Yn += y, Zn += z;
    xx += x * x, yy += y * y, zz += z * z, xy += x * y, xz += x * z, yz += y * z;
    xxx += x * x * x, yyy += y * y * y, zzz += z * z * z;
    xxy += x * x * y, xxz += x * x * z, xyy += x * y * y;
    yyz += y * y * z, xzz += x * z * z, yzz += y * z * z;
  }
  const double count = static_cast<double>(n);
  for (double* m : {&Xn, &Yn, &Zn, &xx, &yy, &zz, &xy, &xz, &yz, &xxx, &yyy, &zzz, &xxy, &xxz, &xyy,
                    &yyz, &xzz, &yzz}) {
    *m /= count;
  }

  const double F0 = xx + yy + zz;
  const double F1 = 0.5 * F0;
  const double F2 = -8.0 * (xxx + xyy + xzz);
  const double F3 = -8.0 * (xxy + yyy + yzz);
  const double F4 = -8.0 * (xxz + yyz + zzz);

  // The gradient below is linear in the centre with the constant Jacobian 16 * covariance of the
  // points, so each step is a full Newton step: the first lands on the minimum and the rest only
  // refine rounding. A pseudo-inverse keeps the steps finite for coplanar or repeated points.
  const cv::Matx33d hessian = 16.0 * cv::Matx33d(xx - Xn * Xn, xy - Xn * Yn, xz - Xn * Zn,  //
                                                 xy - Xn * Yn, yy - Yn * Yn, yz - Yn * Zn,  //
                                                 xz - Xn * Zn, yz - Yn * Zn, zz - Zn * Zn);
  const cv::Matx33d inverseHessian = hessian.inv(cv::DECOMP_SVD);

  double A = Xn, B = Yn, C = Zn;
  double Rsq = 0, Q0 = 0, Q1 = 0;
  // Squared radius (mean squared distance to the centre) and the gradient's terms.
  auto evaluate = [&]() {
    const double QS = A * A + B * B + C * C;
    const double QB = -2.0 * (A * Xn + B * Yn + C * Zn);
    Rsq = F0 + QB + QS;
    Q0 = 0.5 * (QS - Rsq);
    Q1 = F1 + Q0;
  };

  evaluate();
  for (int step = 0; step < kIterativeSteps; ++step) {
    const cv::Vec3d gradient(
        F2 + 16.0 * (B * xy + C * xz + (-A * A - Q0) * Xn + (Q1 + xx - B * Yn - C * Zn) * A),
        F3 + 16.0 * (A * xy + C * yz + (-B * B - Q0) * Yn + (Q1 + yy - A * Xn - C * Zn) * B),
        F4 + 16.0 * (A * xz + B * yz + (-C * C - Q0) * Zn + (Q1 + zz - A * Xn - B * Yn) * C));
    const cv::Vec3d stepVector = inverseHessian * gradient;
    A -= stepVector[0], B -= stepVector[1], C -= stepVector[2];
    evaluate();
  }
  center = {A, B, C};
  radius = std::sqrt(Rsq);
}

}  // namespace Oskelo::CV::Native64::detail

namespace Oskelo::CV::Native64 {

// Fits one sphere with the fit chosen by fitMethod. The algebraic fits work on coordinates centred
// on the points' mean, for conditioning; the centroid is added back to their centre.
void Cone::FitSphere(std::vector<cv::Point3_<double>>& points, cv::Point3_<double>& center,
                     double& radius) const {
  detail::RequireSphereFitInput(fitMethod, points.size());
  if (fitMethod == detail::kFitIterative) {
    FitIterative(points, center, radius);
    return;
  }

  cv::Mat delta, deltaMag2, coefficients;
  const cv::Scalar mean = detail::CentrePoints(cv::Mat(points), delta, deltaMag2);
  switch (fitMethod) {
    case detail::kFitHyper:
      FitHyper(deltaMag2, delta, coefficients);
      break;
    case detail::kFitPratt:
      FitPratt(deltaMag2, delta, coefficients);
      break;
    default:
      FitTaubin(deltaMag2, delta, coefficients);
      break;
  }
  cv::Scalar centre;
  detail::SphereFromCoefficients(coefficients, mean, centre, radius);
  center = {centre[0], centre[1], centre[2]};
}

void Cone::FitIterative(std::vector<cv::Point3_<double>>& points, cv::Point3_<double>& center,
                        double& radius) const {
  detail::FitIterativeSphere(points, center, radius);
}

void Cone::FitHyper(cv::Mat& deltaMag2, cv::Mat& delta, cv::Mat& coefficients) const {
  detail::FitHyperCoefficients(deltaMag2, delta, coefficients);
}

void Cone::FitPratt(cv::Mat& deltaMag2, cv::Mat& delta, cv::Mat& coefficients) const {
  detail::FitPrattCoefficients(deltaMag2, delta, coefficients);
}

void Cone::FitTaubin(cv::Mat& deltaMag2, cv::Mat& delta, cv::Mat& coefficients) const {
  detail::FitTaubinCoefficients(deltaMag2, delta, coefficients);
}

}  // namespace Oskelo::CV::Native64
