#include "imgproc/GreyLevelFit.h"

#include <algorithm>
#include <cmath>

namespace Oskelo::CV::Native64::detail {
namespace {

// The parameters: the centre's offset from the origin (2), Q (q00, q01, q11), the dark and bright
// levels and the edge's deviation.
constexpr int kParameters = 8;
using Vec8 = cv::Vec<double, kParameters>;
using Matx88 = cv::Matx<double, kParameters, kParameters>;

constexpr int kLeastPixels = 24;
constexpr int kMaxIterations = 8;
// Step halvings tried when a step raises the sum of squares.
constexpr int kMaxHalvings = 4;
// The fitted pixels lie within kReachSigmas edge deviations of the outline, and at least
// kLeastReachPx (on rendered plates 2.5 px fits centres as well as 3.5 px, with 30 % fewer pixels).
constexpr double kReachSigmas = 3.0, kLeastReachPx = 2.5;
// Converged when the centre moves by less than this in one step, pixels.
constexpr double kCentreTolerancePx = 1e-3;
// Pixels this close to the centre (F = q^T Q q below it) are left out: there d is 0 / 0, and so
// deep inside the dot the model is flat.
constexpr double kLeastF = 0.01;
// The dark (bright) level starts as the mean of the pixels farther inside (outside) the outline
// than this share of the band's half-width.
constexpr double kLevelShare = 0.5;
// Farthest the centre may move from the start, pixels: the start is the dual-conic fit, good to
// a few hundredths of a pixel; a larger move means the fit ran off.
constexpr double kMaxMovePx = 1.0;

struct Pixel {
  double x, y;  // offset from the origin
  double grey;
};

// The signed distance from q to the outline, to first order: (F - sqrt F) / |Q q|, and its
// derivatives by the centre (moving the centre by dc moves q by -dc) and by Q's three entries.
struct OutlineDistance {
  double d;
  double by[5];
};

bool DistanceTo(const double* p, double qx, double qy, OutlineDistance& out) {
  const double q00 = p[2], q01 = p[3], q11 = p[4];
  const double nx = q00 * qx + q01 * qy, ny = q01 * qx + q11 * qy;
  const double f = qx * nx + qy * ny;
  if (!(f >= kLeastF)) return false;
  const double rho = std::sqrt(f);
  const double m = std::sqrt(nx * nx + ny * ny);
  const double d = (f - rho) / m;
  // dd = (dF (1 - 1 / (2 rho)) - d dm) / m with dm = n . dn / m.
  const double byF = (1.0 - 0.5 / rho) / m, byM = -d / (m * m);
  out.d = d;
  out.by[0] = byF * (-2.0 * nx) + byM * -(nx * q00 + ny * q01);
  out.by[1] = byF * (-2.0 * ny) + byM * -(nx * q01 + ny * q11);
  out.by[2] = byF * (qx * qx) + byM * (nx * qx);
  out.by[3] = byF * (2.0 * qx * qy) + byM * (nx * qy + ny * qx);
  out.by[4] = byF * (qy * qy) + byM * (ny * qy);
  return true;
}

// The standard normal distribution Phi(t) and density phi(t) from one exponential: Phi by the
// rational approximation of erfc of Abramowitz and Stegun, "Handbook of Mathematical Functions",
// 7.1.26 (absolute error below 1.5e-7, 2e-5 grey levels on an 8-bit edge).
void NormalDistribution(double t, double& phi, double& density) {
  constexpr double kP = 0.3275911;
  constexpr double kA[5] = {0.254829592, -0.284496736, 1.421413741, -1.453152027, 1.061405429};
  const double x = std::abs(t) * (1.0 / std::sqrt(2.0));
  const double e = std::exp(-x * x);
  const double u = 1.0 / (1.0 + kP * x);
  const double erfc = u * (kA[0] + u * (kA[1] + u * (kA[2] + u * (kA[3] + u * kA[4])))) * e;
  phi = t >= 0.0 ? 1.0 - 0.5 * erfc : 0.5 * erfc;
  density = e * (1.0 / std::sqrt(2.0 * CV_PI));
}

// The model's value at pixel `px`, and its derivatives by the parameters when `jacobian` is set.
// False where the model is not defined (the pixel at the centre, or Q not positive there).
bool Model(const double* p, const Pixel& px, double& value, double* jacobian) {
  OutlineDistance dist;
  if (!DistanceTo(p, px.x - p[0], px.y - p[1], dist)) return false;
  const double dark = p[5], bright = p[6], s = p[7];
  const double t = dist.d / s;
  double phi = 0.0, density = 0.0;
  NormalDistribution(t, phi, density);
  value = dark + (bright - dark) * phi;
  if (jacobian) {
    const double byD = (bright - dark) * density / s;
    for (int k = 0; k < 5; ++k) jacobian[k] = byD * dist.by[k];
    jacobian[5] = 1.0 - phi;
    jacobian[6] = phi;
    jacobian[7] = -byD * t;
  }
  return true;
}

// The Gauss-Newton normal equations J^T J and J^T r at p, and the sum of squared residuals;
// false where the model is undefined at a pixel.
bool NormalEquations(const double* p, const std::vector<Pixel>& pixels, Matx88& normal, Vec8& rhs,
                     double& cost) {
  // Local sums, the lower triangle row by row, which the compiler need not write back per pixel.
  double lower[kParameters * (kParameters + 1) / 2] = {};
  double right[kParameters] = {};
  double squares = 0.0;
  for (const Pixel& px : pixels) {
    double value = 0.0, j[kParameters];
    if (!Model(p, px, value, j)) return false;
    const double r = px.grey - value;
    squares += r * r;
    int k = 0;
    for (int a = 0; a < kParameters; ++a) {
      right[a] += j[a] * r;
      for (int b = 0; b <= a; ++b) lower[k++] += j[a] * j[b];
    }
  }
  int k = 0;
  for (int a = 0; a < kParameters; ++a) {
    rhs[a] = right[a];
    for (int b = 0; b <= a; ++b) normal(a, b) = normal(b, a) = lower[k++];
  }
  cost = squares;
  return true;
}

// Solves normal x = rhs after scaling to a unit diagonal (the parameters differ in scale by
// four orders of magnitude); the inverse's diagonal into `inverseDiagonal` when asked.
bool Solve(const Matx88& normal, const Vec8& rhs, Vec8& x, Vec8* inverseDiagonal = nullptr) {
  Vec8 scale;
  for (int a = 0; a < kParameters; ++a) {
    if (!(normal(a, a) > 0.0)) return false;
    scale[a] = 1.0 / std::sqrt(normal(a, a));
  }
  cv::Mat scaled(kParameters, kParameters, CV_64F), b(kParameters, 1, CV_64F), y;
  for (int a = 0; a < kParameters; ++a) {
    b.at<double>(a) = rhs[a] * scale[a];
    for (int c = 0; c < kParameters; ++c)
      scaled.at<double>(a, c) = normal(a, c) * scale[a] * scale[c];
  }
  if (!cv::solve(scaled, b, y, cv::DECOMP_CHOLESKY)) return false;
  for (int a = 0; a < kParameters; ++a) x[a] = y.at<double>(a) * scale[a];
  if (inverseDiagonal) {
    cv::Mat inverse;
    if (!(cv::invert(scaled, inverse, cv::DECOMP_CHOLESKY) > 0.0)) return false;
    for (int a = 0; a < kParameters; ++a)
      (*inverseDiagonal)[a] = inverse.at<double>(a, a) * scale[a] * scale[a];
  }
  for (int a = 0; a < kParameters; ++a)
    if (!std::isfinite(x[a])) return false;
  return true;
}

// The window's pixels within halfWidth of the start's outline and nearer its centre than every
// neighbour, as offsets from `origin`.
std::vector<Pixel> BandPixels(const GreyWindow& window, const double* p, const cv::Point2d& origin,
                              double halfWidth, const std::vector<cv::Point2d>& neighbours) {
  std::vector<Pixel> pixels;
  const cv::Point2d centre = origin + cv::Point2d(p[0], p[1]);
  // Q's larger eigenvalue gives the semi-minor axis.
  const double mean = 0.5 * (p[2] + p[4]);
  const double half = std::sqrt(0.25 * (p[2] - p[4]) * (p[2] - p[4]) + p[3] * p[3]);
  const double minor = 1.0 / std::sqrt(mean + half);
  const double inner = std::max(0.0, 1.0 - halfWidth / minor), outer = 1.0 + halfWidth / minor;
  const double inner2 = inner * inner, outer2 = outer * outer;
  for (int row = 0; row < window.rows; ++row) {
    const int y = window.y0 + row;
    const float* grey = window.grey + static_cast<std::ptrdiff_t>(row) * window.stride;
    for (int col = 0; col < window.cols; ++col) {
      const int x = window.x0 + col;
      const double qx = x - centre.x, qy = y - centre.y;
      // Beyond the outline scaled by 1 -+ halfWidth / minor the pixel is farther than halfWidth.
      const double f = p[2] * qx * qx + 2.0 * p[3] * qx * qy + p[4] * qy * qy;
      if (!(f >= inner2 && f <= outer2)) continue;
      OutlineDistance dist;
      if (!DistanceTo(p, qx, qy, dist) || !(std::abs(dist.d) <= halfWidth)) continue;
      bool foreign = false;
      for (const cv::Point2d& other : neighbours) {
        const cv::Point2d toOther = other - centre;
        foreign = foreign || qx * toOther.x + qy * toOther.y > 0.5 * toOther.dot(toOther);
      }
      if (!foreign) pixels.push_back({x - origin.x, y - origin.y, static_cast<double>(grey[col])});
    }
  }
  return pixels;
}

// First guesses of the dark and bright levels: the means of the pixels well inside and well
// outside the outline (the extremes when there are none).
void StartLevels(double* p, const std::vector<Pixel>& pixels, double halfWidth) {
  double darkSum = 0.0, brightSum = 0.0;
  int darkCount = 0, brightCount = 0;
  double lowest = HUGE_VAL, highest = -HUGE_VAL;
  for (const Pixel& px : pixels) {
    OutlineDistance dist;
    if (!DistanceTo(p, px.x - p[0], px.y - p[1], dist)) continue;
    lowest = std::min(lowest, px.grey);
    highest = std::max(highest, px.grey);
    if (dist.d <= -kLevelShare * halfWidth) {
      darkSum += px.grey;
      ++darkCount;
    } else if (dist.d >= kLevelShare * halfWidth) {
      brightSum += px.grey;
      ++brightCount;
    }
  }
  p[5] = darkCount > 0 ? darkSum / darkCount : lowest;
  p[6] = brightCount > 0 ? brightSum / brightCount : highest;
}

}  // namespace

GreyLevelFitResult FitGreyLevels(const GreyWindow& window, const FittedEllipse& start,
                                 double edgeSigma, double halfWidth,
                                 const std::vector<cv::Point2d>& neighbours) {
  GreyLevelFitResult result;
  if (!start.valid || !(halfWidth > 0.0) || !std::isfinite(halfWidth)) return result;
  // About the start's centre rounded to whole pixels, so that the pixels' offsets are exact.
  const cv::Point2d origin(std::round(start.centre.x), std::round(start.centre.y));
  double p[kParameters] = {start.centre.x - origin.x,
                           start.centre.y - origin.y,
                           start.shape(0, 0),
                           start.shape(0, 1),
                           start.shape(1, 1),
                           0.0,
                           0.0,
                           std::isfinite(edgeSigma) ? std::clamp(edgeSigma, 0.3, halfWidth) : 1.0};
  // The pixels within kReachSigmas of the edge's first guess (within halfWidth): farther out the
  // model is flat, and a pixel tells little but the levels.
  const double reach = std::min(halfWidth, std::max(kLeastReachPx, kReachSigmas * p[7]));
  const std::vector<Pixel> pixels = BandPixels(window, p, origin, reach, neighbours);
  if (static_cast<int>(pixels.size()) < kLeastPixels) return result;
  StartLevels(p, pixels, reach);

  // Gauss-Newton, each step halved until it lowers the sum of squares. The normal equations at
  // an accepted trial are those of the next step.
  Matx88 normal, trialNormal;
  Vec8 rhs, trialRhs, step;
  double cost = 0.0, trialCost = 0.0;
  if (!NormalEquations(p, pixels, normal, rhs, cost)) return result;
  for (int iteration = 1; iteration <= kMaxIterations; ++iteration) {
    if (!Solve(normal, rhs, step)) return result;
    double trial[kParameters];
    bool lowered = false;
    for (int halving = 0; halving <= kMaxHalvings && !lowered; ++halving, step *= 0.5) {
      for (int k = 0; k < kParameters; ++k) trial[k] = p[k] + step[k];
      lowered = trial[7] > 0.0 &&
                NormalEquations(trial, pixels, trialNormal, trialRhs, trialCost) &&
                trialCost <= cost;
    }
    if (!lowered) break;  // no step lowers it: at the minimum to rounding
    const double move = std::hypot(trial[0] - p[0], trial[1] - p[1]);
    std::copy(trial, trial + kParameters, p);
    normal = trialNormal;
    rhs = trialRhs;
    cost = trialCost;
    if (move < kCentreTolerancePx) break;
  }

  // The centre's deviation from the residuals at the optimum.
  Vec8 inverseDiagonal;
  if (!Solve(normal, rhs, step, &inverseDiagonal)) return result;
  const double dark = p[5], bright = p[6], s = p[7];
  const cv::Point2d centre = origin + cv::Point2d(p[0], p[1]);
  if (!(bright > dark) || !(s > 0.0 && s < reach) ||
      !(cv::norm(centre - start.centre) <= kMaxMovePx))
    return result;
  FittedEllipse ellipse = EllipseFromShape(centre, cv::Matx22d(p[2], p[3], p[3], p[4]));
  if (!ellipse.valid) return result;
  const double sigma2 = cost / static_cast<double>(pixels.size() - kParameters);
  ellipse.centreSigma = std::sqrt(sigma2 * (inverseDiagonal[0] + inverseDiagonal[1]));
  result.ellipse = ellipse;
  result.pixels = static_cast<int>(pixels.size());
  return result;
}

}  // namespace Oskelo::CV::Native64::detail
