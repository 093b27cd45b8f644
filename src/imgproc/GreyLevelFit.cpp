#include "imgproc/GreyLevelFit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <opencv2/core/hal/hal.hpp>

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
  double d;  // signed distance to the start's outline
};

// Sums are kept in this many independent float lanes, which the compiler maps onto vector
// registers; the pixels are padded with copies of weight 0 to a multiple of it.
constexpr std::size_t kLanes = 8;

// The pixels as parallel arrays of floats (offsets from the origin are exact), padded.
struct PixelArrays {
  std::vector<float> x, y, grey, weight;
  explicit PixelArrays(const std::vector<Pixel>& pixels) {
    const std::size_t padded = (pixels.size() + kLanes - 1) / kLanes * kLanes;
    for (std::size_t i = 0; i < padded; ++i) {
      const Pixel& px = pixels[i < pixels.size() ? i : 0];
      x.push_back(static_cast<float>(px.x));
      y.push_back(static_cast<float>(px.y));
      grey.push_back(static_cast<float>(px.grey));
      weight.push_back(i < pixels.size() ? 1.0f : 0.0f);
    }
  }
};

// The signed distance from q (offset from the centre) to the outline q^T Q q = 1, to first order:
// (F - sqrt F) / |Q q| for F = q^T Q q; false for F below kLeastF.
bool SignedDistance(const double* p, double qx, double qy, double& d) {
  const double nx = p[2] * qx + p[3] * qy, ny = p[3] * qx + p[4] * qy;
  const double f = qx * nx + qy * ny;
  if (!(f >= kLeastF)) return false;
  d = (f - std::sqrt(f)) / std::sqrt(nx * nx + ny * ny);
  return true;
}

// exp(z) for z <= 0 in float arithmetic that vectorises: z = k ln 2 + r with |r| <= ln 2 / 2
// (ln 2 in two parts, after Cody and Waite), e^r by its Taylor series to r^6 (relative error
// below 2e-7), 2^k from the exponent bits. Below -87 (and for NaN) it gives exp(-87).
inline float ExpNonPositive(float z) {
  z = z >= -87.0f ? z : -87.0f;  // NaN too, so that the conversion below stays defined
  const int k = static_cast<int>(-z * 1.44269504f + 0.5f);  // -z >= 0: truncation is floor
  const float kf = static_cast<float>(k);
  const float r = (z + kf * 0.693145751953125f) + kf * 1.428606765330187e-06f;
  const float series =
      1.0f +
      r * (1.0f + r * (0.5f + r * (1.0f / 6.0f + r * (1.0f / 24.0f +
                                                      r * (1.0f / 120.0f + r * (1.0f / 720.0f))))));
  const std::int32_t bits = (127 - k) << 23;
  float scale;
  std::memcpy(&scale, &bits, sizeof scale);
  return series * scale;
}

// The sums of the Gauss-Newton normal equations at p over the pixels, lane by lane: J^T J's lower
// triangle row by row (36), J^T r (8) and r^T r. Per pixel the model D + (B - D) Phi(d / s), with
// Phi by the rational approximation of erfc of Abramowitz and Stegun, "Handbook of Mathematical
// Functions", 7.1.26 (absolute error below 1.5e-7, 2e-5 grey levels on an 8-bit edge), which
// shares its exponential with the density.
constexpr int kSums = 45;
__attribute__((target_clones("avx2", "default"))) void SumNormalEquations(
    std::size_t n, const float* __restrict xs, const float* __restrict ys,
    const float* __restrict greys, const float* __restrict weights, const float* __restrict p,
    float (*__restrict sums)[kLanes]) {
  constexpr float kP = 0.3275911f;
  constexpr float kA1 = 0.254829592f, kA2 = -0.284496736f, kA3 = 1.421413741f, kA4 = -1.453152027f,
                  kA5 = 1.061405429f;
  const float inverseRoot2 = 0.70710678f, inverseRoot2Pi = 0.39894228f;
  const float cx = p[0], cy = p[1], q00 = p[2], q01 = p[3], q11 = p[4];
  const float dark = p[5], contrast = p[6] - p[5], inverseS = 1.0f / p[7];
  const float leastF = static_cast<float>(kLeastF);
  for (std::size_t i = 0; i < n; i += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::size_t k = i + l;
      const float w = weights[k];
      // The distance to the outline (SignedDistance) and its derivatives by the centre (moving
      // it by dc moves q by -dc) and by Q: dd = (dF (1 - 1 / (2 rho)) - d dm) / m, dm = n . dn / m.
      const float qx = xs[k] - cx, qy = ys[k] - cy;
      const float nx = q00 * qx + q01 * qy, ny = q01 * qx + q11 * qy;
      const float f = std::max(qx * nx + qy * ny, leastF);
      const float rho = std::sqrt(f);
      const float inverseM = 1.0f / std::sqrt(std::max(nx * nx + ny * ny, 1e-30f));
      const float d = (f - rho) * inverseM;
      const float byF = (1.0f - 0.5f / rho) * inverseM, byM = -d * inverseM * inverseM;
      // Phi(t) and phi(t).
      const float t = d * inverseS;
      const float x = std::abs(t) * inverseRoot2;
      const float e = ExpNonPositive(-x * x);
      const float u = 1.0f / (1.0f + kP * x);
      const float erfc = u * (kA1 + u * (kA2 + u * (kA3 + u * (kA4 + u * kA5)))) * e;
      const float phi = t >= 0.0f ? 1.0f - 0.5f * erfc : 0.5f * erfc;
      const float byD = contrast * e * inverseRoot2Pi * inverseS * w;
      const float r = (greys[k] - (dark + contrast * phi)) * w;
      const float j0 = byD * (byF * (-2.0f * nx) - byM * (nx * q00 + ny * q01));
      const float j1 = byD * (byF * (-2.0f * ny) - byM * (nx * q01 + ny * q11));
      const float j2 = byD * (byF * (qx * qx) + byM * (nx * qx));
      const float j3 = byD * (byF * (2.0f * qx * qy) + byM * (nx * qy + ny * qx));
      const float j4 = byD * (byF * (qy * qy) + byM * (ny * qy));
      const float j5 = (1.0f - phi) * w, j6 = phi * w, j7 = -byD * t;
      sums[0][l] += j0 * j0;
      sums[1][l] += j1 * j0;
      sums[2][l] += j1 * j1;
      sums[3][l] += j2 * j0;
      sums[4][l] += j2 * j1;
      sums[5][l] += j2 * j2;
      sums[6][l] += j3 * j0;
      sums[7][l] += j3 * j1;
      sums[8][l] += j3 * j2;
      sums[9][l] += j3 * j3;
      sums[10][l] += j4 * j0;
      sums[11][l] += j4 * j1;
      sums[12][l] += j4 * j2;
      sums[13][l] += j4 * j3;
      sums[14][l] += j4 * j4;
      sums[15][l] += j5 * j0;
      sums[16][l] += j5 * j1;
      sums[17][l] += j5 * j2;
      sums[18][l] += j5 * j3;
      sums[19][l] += j5 * j4;
      sums[20][l] += j5 * j5;
      sums[21][l] += j6 * j0;
      sums[22][l] += j6 * j1;
      sums[23][l] += j6 * j2;
      sums[24][l] += j6 * j3;
      sums[25][l] += j6 * j4;
      sums[26][l] += j6 * j5;
      sums[27][l] += j6 * j6;
      sums[28][l] += j7 * j0;
      sums[29][l] += j7 * j1;
      sums[30][l] += j7 * j2;
      sums[31][l] += j7 * j3;
      sums[32][l] += j7 * j4;
      sums[33][l] += j7 * j5;
      sums[34][l] += j7 * j6;
      sums[35][l] += j7 * j7;
      sums[36][l] += j0 * r;
      sums[37][l] += j1 * r;
      sums[38][l] += j2 * r;
      sums[39][l] += j3 * r;
      sums[40][l] += j4 * r;
      sums[41][l] += j5 * r;
      sums[42][l] += j6 * r;
      sums[43][l] += j7 * r;
      sums[44][l] += r * r;
    }
  }
}

// The Gauss-Newton normal equations J^T J and J^T r at p, and the sum of squared residuals,
// from the float lanes' sums added in double.
void NormalEquations(const double* p, const PixelArrays& pixels, Matx88& normal, Vec8& rhs,
                     double& cost) {
  float params[kParameters];
  for (int k = 0; k < kParameters; ++k) params[k] = static_cast<float>(p[k]);
  float sums[kSums][kLanes] = {};
  SumNormalEquations(pixels.x.size(), pixels.x.data(), pixels.y.data(), pixels.grey.data(),
                     pixels.weight.data(), params, sums);
  double total[kSums] = {};
  for (int m = 0; m < kSums; ++m)
    for (std::size_t l = 0; l < kLanes; ++l) total[m] += sums[m][l];
  int k = 0;
  for (int a = 0; a < kParameters; ++a)
    for (int b = 0; b <= a; ++b) normal(a, b) = normal(b, a) = total[k++];
  for (int a = 0; a < kParameters; ++a) rhs[a] = total[36 + a];
  cost = total[44];
}

// Solves normal x = rhs after scaling to a unit diagonal (the parameters differ in scale by
// four orders of magnitude).
bool Solve(const Matx88& normal, const Vec8& rhs, Vec8& x) {
  Vec8 scale;
  for (int a = 0; a < kParameters; ++a) {
    if (!(normal(a, a) > 0.0)) return false;
    scale[a] = 1.0 / std::sqrt(normal(a, a));
  }
  Matx88 scaled;
  Vec8 side;
  for (int a = 0; a < kParameters; ++a) {
    side[a] = rhs[a] * scale[a];
    for (int c = 0; c < kParameters; ++c) scaled(a, c) = normal(a, c) * scale[a] * scale[c];
  }
  if (!cv::hal::Cholesky64f(scaled.val, kParameters * sizeof(double), kParameters, side.val,
                            sizeof(double), 1))
    return false;
  for (int a = 0; a < kParameters; ++a) {
    x[a] = side[a] * scale[a];
    if (!std::isfinite(x[a])) return false;
  }
  return true;
}

// The window's pixels within halfWidth of the start's outline and nearer its centre than every
// neighbour, as offsets from `origin`.
std::vector<Pixel> BandPixels(const GreyWindow& window, const double* p, const cv::Point2d& origin,
                              double halfWidth, const std::vector<cv::Point2d>& neighbours) {
  std::vector<Pixel> pixels;
  const cv::Point2d centre = origin + cv::Point2d(p[0], p[1]);
  const double q00 = p[2], q01 = p[3], q11 = p[4];
  if (!(q00 > 0.0)) return pixels;
  // Farther than halfWidth from the outline lies all beyond it scaled by 1 + halfWidth / minor
  // (minor the semi-minor axis, from Q's larger eigenvalue)...
  const double mean = 0.5 * (q00 + q11);
  const double half = std::sqrt(0.25 * (q00 - q11) * (q00 - q11) + q01 * q01);
  const double outer = 1.0 + halfWidth * std::sqrt(mean + half);
  // ... and all within it scaled by 1 - halfWidth / minor.
  const double inner = std::max(0.0, 1.0 - halfWidth * std::sqrt(mean + half));
  for (int row = 0; row < window.rows; ++row) {
    const int y = window.y0 + row;
    const double qy = y - centre.y;
    // The columns where the row lies within the scaled outline: q00 qx^2 + 2 q01 qy qx +
    // q11 qy^2 <= outer^2.
    const double b = q01 * qy;
    const double disc = b * b - q00 * (q11 * qy * qy - outer * outer);
    if (!(disc >= 0.0)) continue;
    const double root = std::sqrt(disc);
    const int from = std::max(window.x0, static_cast<int>(std::ceil(centre.x + (-b - root) / q00)));
    const int to = std::min(window.x0 + window.cols - 1,
                            static_cast<int>(std::floor(centre.x + (-b + root) / q00)));
    const float* grey = window.grey + static_cast<std::ptrdiff_t>(row) * window.stride;
    for (int x = from; x <= to; ++x) {
      const double qx = x - centre.x;
      if (q00 * qx * qx + 2.0 * b * qx + q11 * qy * qy < inner * inner) continue;
      double d = 0.0;
      if (!SignedDistance(p, qx, qy, d) || !(std::abs(d) <= halfWidth)) continue;
      bool foreign = false;
      for (const cv::Point2d& other : neighbours) {
        const cv::Point2d toOther = other - centre;
        foreign = foreign || qx * toOther.x + qy * toOther.y > 0.5 * toOther.dot(toOther);
      }
      if (!foreign)
        pixels.push_back({x - origin.x, y - origin.y, static_cast<double>(grey[x - window.x0]), d});
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
    lowest = std::min(lowest, px.grey);
    highest = std::max(highest, px.grey);
    if (px.d <= -kLevelShare * halfWidth) {
      darkSum += px.grey;
      ++darkCount;
    } else if (px.d >= kLevelShare * halfWidth) {
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
  const PixelArrays arrays(pixels);

  // Gauss-Newton, each step halved until it lowers the sum of squares. The normal equations at
  // an accepted trial are those of the next step.
  Matx88 normal, trialNormal;
  Vec8 rhs, trialRhs, step;
  double cost = 0.0, trialCost = 0.0;
  NormalEquations(p, arrays, normal, rhs, cost);
  for (int iteration = 1; iteration <= kMaxIterations; ++iteration) {
    if (!Solve(normal, rhs, step)) return result;
    double trial[kParameters];
    bool lowered = false;
    for (int halving = 0; halving <= kMaxHalvings && !lowered; ++halving, step *= 0.5) {
      for (int k = 0; k < kParameters; ++k) trial[k] = p[k] + step[k];
      if (!(trial[7] > 0.0)) continue;
      NormalEquations(trial, arrays, trialNormal, trialRhs, trialCost);
      lowered = trialCost <= cost;
    }
    if (!lowered) break;  // no step lowers it: at the minimum to rounding
    const double move = std::hypot(trial[0] - p[0], trial[1] - p[1]);
    std::copy(trial, trial + kParameters, p);
    normal = trialNormal;
    rhs = trialRhs;
    cost = trialCost;
    if (move < kCentreTolerancePx) break;
  }

  const double dark = p[5], bright = p[6], s = p[7];
  const cv::Point2d centre = origin + cv::Point2d(p[0], p[1]);
  if (!(bright > dark) || !(s > 0.0 && s < reach) ||
      !(cv::norm(centre - start.centre) <= kMaxMovePx))
    return result;
  const FittedEllipse ellipse = EllipseFromShape(centre, cv::Matx22d(p[2], p[3], p[3], p[4]));
  if (!ellipse.valid) return result;
  result.ellipse = ellipse;
  result.pixels = static_cast<int>(pixels.size());
  return result;
}

}  // namespace Oskelo::CV::Native64::detail
