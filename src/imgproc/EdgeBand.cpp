#include "imgproc/EdgeBand.h"

#include <algorithm>
#include <cmath>

// Built with -fno-math-errno and -fno-trapping-math (no square root here sets errno, and no
// floating-point exception is ever unmasked), so that the loops vectorise: their square roots,
// and the arithmetic whose result a mask then discards.
namespace Oskelo::CV::Native64::detail {

// The arrays of an edge band from one pixel on.
struct BandArrays {
  float *x, *y, *gx, *gy, *g2, *offset, *nx, *ny, *own, *strong, *octant;
};

namespace {

// Sums are kept in this many independent lanes, which the compiler maps onto vector registers;
// the arrays are padded with pixels of weight 0 to a multiple of it.
constexpr std::size_t kLanes = 8;

// Squared gradients are divided by no less than this (pixels without a gradient have no weight).
constexpr float kLeastSquaredGradient = 1e-30f;

std::size_t Padded(std::size_t n) { return (n + kLanes - 1) / kLanes * kLanes; }

// EdgeBand::AddRow's loop; returns how many band pixels are saturated. Every array is a
// parameter of its own, restrict-qualified, so that the loop vectorises without alias checks.
__attribute__((target_clones("avx2", "default"))) int AddRowTo(
    const BandOutline& outline, int x0, int y, int n, const float* __restrict gx,
    const float* __restrict gy, const float* __restrict grey, float maxGrey, float* __restrict xs,
    float* __restrict ys, float* __restrict gxs, float* __restrict gys, float* __restrict g2s,
    float* __restrict offsets, float* __restrict nxs, float* __restrict nys) {
  const float qy = static_cast<float>(y - outline.cy);
  const float qx0 = static_cast<float>(x0 - outline.cx);
  const float q00 = static_cast<float>(outline.q00), q01 = static_cast<float>(outline.q01);
  const float q11 = static_cast<float>(outline.q11), band = static_cast<float>(outline.band);
  int saturated = 0;
  for (int i = 0; i < n; ++i) {
    const float qx = qx0 + static_cast<float>(i);
    const float nx = q00 * qx + q01 * qy, ny = q01 * qx + q11 * qy;
    const float rho2 = qx * nx + qy * ny;
    // Distance to the outline along the ray from the centre: the ray's radius |q| / rho times
    // rho - 1.
    const float offset = std::sqrt((qx * qx + qy * qy) / rho2) * (std::sqrt(rho2) - 1.0f);
    // Bitwise operators, not && and ||: no branch, so that the loop vectorises.
    const bool inside = (rho2 > 0.0f) & (std::abs(offset) <= band);
    xs[i] = static_cast<float>(x0 + i);
    ys[i] = static_cast<float>(y);
    gxs[i] = gx[i];
    gys[i] = gy[i];
    const float g2 = gx[i] * gx[i] + gy[i] * gy[i];
    g2s[i] = inside ? g2 : 0.0f;
    offsets[i] = inside ? offset : 0.0f;
    nxs[i] = nx;
    nys[i] = ny;
    saturated += inside & ((grey[i] <= 0.0f) | (grey[i] >= maxGrey));
  }
  return saturated;
}

// Which pixels are strong (squared gradient at least minG2, and not 0) and which of them point
// outward: the cosine between the gradient and the normal Q q at least minCos, tested on squares.
// With a negative minCos a gradient passes when it points along the normal or at most that far
// against it. Weights 1 or 0 into `strong` and `own`.
__attribute__((target_clones("avx2", "default"))) void SelectOwn(
    std::size_t n, const float* __restrict g2s, const float* __restrict gxs,
    const float* __restrict gys, const float* __restrict nxs, const float* __restrict nys,
    float minG2, float minCos, float* __restrict own, float* __restrict strong) {
  const float minCos2 = minCos * minCos;
  const float negative = minCos < 0.0f ? 1.0f : 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float g2 = g2s[i];
    const float along = gxs[i] * nxs[i] + gys[i] * nys[i];
    const float bound = minCos2 * g2 * (nxs[i] * nxs[i] + nys[i] * nys[i]);
    const float take = g2 >= minG2 ? (g2 > 0.0f ? 1.0f : 0.0f) : 0.0f;
    const float forward = along >= 0.0f ? 1.0f : 0.0f;
    const float steep = along * along >= bound ? 1.0f : 0.0f;
    const float shallow = along * along <= bound ? 1.0f : 0.0f;
    const float outward = std::max(forward * steep, negative * std::max(forward, shallow));
    strong[i] = take;
    own[i] = take * outward;
  }
}

// Clears `own` for the pixels nearer a neighbour than the centre (cx, cy): for a neighbour at
// offset d from the centre, those at offset q with q . d > |d|^2 / 2.
__attribute__((target_clones("avx2", "default"))) void MaskNeighbours(
    std::size_t n, const float* __restrict xs, const float* __restrict ys, double cx, double cy,
    const std::vector<cv::Point2d>& neighbours, float* __restrict own) {
  const float x0 = static_cast<float>(cx), y0 = static_cast<float>(cy);
  for (const cv::Point2d& d : neighbours) {
    const float dx = static_cast<float>(d.x), dy = static_cast<float>(d.y);
    const float half = 0.5f * (dx * dx + dy * dy);
    for (std::size_t i = 0; i < n; ++i)
      own[i] = (xs[i] - x0) * dx + (ys[i] - y0) * dy > half ? 0.0f : own[i];
  }
}

// The octant (BandSums::sectors' numbering) of each pixel's offset q from (cx, cy): 4 for
// qy < 0, 2 more for the second quadrant of that half plane, and within a quadrant 1 for its
// second octant (steep in the first and third quadrants, shallow in the others). In float
// arithmetic, exclusive or as |a - b|, so that the loop vectorises.
__attribute__((target_clones("avx2", "default"))) void FindOctants(std::size_t n,
                                                                   const float* __restrict xs,
                                                                   const float* __restrict ys,
                                                                   double cx, double cy,
                                                                   float* __restrict octants) {
  const float x0 = static_cast<float>(cx), y0 = static_cast<float>(cy);
  for (std::size_t k = 0; k < n; ++k) {
    const float qx = xs[k] - x0, qy = ys[k] - y0;
    const float lower = qy < 0.0f ? 1.0f : 0.0f, left = qx < 0.0f ? 1.0f : 0.0f;
    const float second = std::abs(lower - left);
    const float steep = std::abs(qy) > std::abs(qx) ? 1.0f : 0.0f;
    octants[k] = 4.0f * lower + 2.0f * second + std::abs(steep - second);
  }
}

// 1 when the whole number `value` is `m`, else 0: in arithmetic, so that loops vectorise.
inline float Is(float value, float m) { return std::max(0.0f, 1.0f - std::abs(value - m)); }

// The largest of n values, at least 0, lane by lane.
__attribute__((target_clones("avx2", "default"))) float Largest(const float* __restrict values,
                                                                std::size_t n) {
  float lanes[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t l = 0; l < kLanes; ++l)
      lanes[l] = lanes[l] < values[i + l] ? values[i + l] : lanes[l];
  for (; i < n; ++i) lanes[0] = lanes[0] < values[i] ? values[i] : lanes[0];
  return *std::max_element(lanes, lanes + kLanes);
}

// EdgeBand::Sum over the `n` pixels of `a`, zeros in its padding.
__attribute__((target_clones("avx2", "default"))) BandSums SumArrays(
    const BandOutline& outline, const BandArrays& a, std::size_t n,
    const BandSelection& selection) {
  const float minG2 = static_cast<float>(selection.minGradient2);
  const float minCos = static_cast<float>(selection.minOutwardCos);
  const float* __restrict gxs = a.gx;
  const float* __restrict gys = a.gy;
  const float* __restrict g2s = a.g2;
  const float* __restrict nxs = a.nx;
  const float* __restrict nys = a.ny;
  float* __restrict own = a.own;
  float* __restrict strong = a.strong;
  SelectOwn(n, g2s, gxs, gys, nxs, nys, minG2, minCos, own, strong);
  const float* __restrict xs = a.x;
  const float* __restrict ys = a.y;
  MaskNeighbours(n, xs, ys, outline.cx, outline.cy, selection.neighbours, own);

  // The fit's sums, lane by lane, in float, about the outline's centre rounded to whole pixels
  // (EdgeBand::Origin) so that the pixels' offsets from it are exact: rounding then moves the
  // fitted centre by 1.3e-6 px at most on rendered plates, and twice as many lanes fit a vector
  // register as in double. Each own pixel adds the line through it whose normal is its gradient g,
  // weighted by 1 / |g|^2 (DualConicAccumulator::AddGradientLine).
  const float inverseScale = static_cast<float>(1.0 / selection.scale);
  const float ox = static_cast<float>(std::round(outline.cx));
  const float oy = static_cast<float>(std::round(outline.cy));
  const float* __restrict offsets = a.offset;
  float conic[15][kLanes] = {};
  float count[kLanes] = {}, used[kLanes] = {}, foreign[kLanes] = {}, moment[kLanes] = {},
        squares[kLanes] = {};
  float sectors[8][kLanes] = {};
  for (std::size_t i = 0; i < n; i += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::size_t k = i + l;
      const float w = own[k], gx = gxs[k], gy = gys[k];
      const float g2 = gx * gx + gy * gy;
      const float inverse = w / std::max(g2, kLeastSquaredGradient);
      const float c = -(gx * (xs[k] - ox) + gy * (ys[k] - oy)) * inverseScale;
      const float xx = gx * gx, xy = gx * gy, yy = gy * gy, xc = gx * c, yc = gy * c, cc = c * c;
      const float wxx = inverse * xx, wxy = inverse * xy, wyy = inverse * yy;
      const float wxc = inverse * xc, wyc = inverse * yc;
      conic[0][l] += wxx * xx;
      conic[1][l] += wxx * xy;
      conic[2][l] += wxx * yy;
      conic[3][l] += wxy * yy;
      conic[4][l] += wyy * yy;
      conic[5][l] += wxx * xc;
      conic[6][l] += wxx * yc;
      conic[7][l] += wxy * yc;
      conic[8][l] += wyy * yc;
      conic[9][l] += wxc * xc;
      conic[10][l] += wxc * yc;
      conic[11][l] += wyc * yc;
      conic[12][l] += wxc * cc;
      conic[13][l] += wyc * cc;
      conic[14][l] += inverse * cc * cc;
      const float energy = w * g2, offset = offsets[k];
      count[l] += w;
      used[l] += energy;
      foreign[l] += (strong[k] - w) * g2;
      moment[l] += energy * offset;
      squares[l] += energy * offset * offset;
    }
  }
  // The octants' sums in a loop of their own (with the fit's sums the lanes would not all fit in
  // vector registers), each octant taking a pixel's energy or 0 so that the lanes never wait on
  // one another.
  float* __restrict octants = a.octant;
  FindOctants(n, xs, ys, outline.cx, outline.cy, octants);
  for (std::size_t i = 0; i < n; i += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::size_t k = i + l;
      const float energy = own[k] * g2s[k], octant = octants[k];
      // Written out, not looped over, so that the loop over the lanes vectorises.
      sectors[0][l] += energy * Is(octant, 0.0f);
      sectors[1][l] += energy * Is(octant, 1.0f);
      sectors[2][l] += energy * Is(octant, 2.0f);
      sectors[3][l] += energy * Is(octant, 3.0f);
      sectors[4][l] += energy * Is(octant, 4.0f);
      sectors[5][l] += energy * Is(octant, 5.0f);
      sectors[6][l] += energy * Is(octant, 6.0f);
      sectors[7][l] += energy * Is(octant, 7.0f);
    }
  }

  BandSums sums;
  double pixels = 0.0;
  for (std::size_t l = 0; l < kLanes; ++l) {
    for (std::size_t m = 0; m < 15; ++m) sums.conic[m] += conic[m][l];
    pixels += count[l];
    sums.used += used[l];
    sums.foreign += foreign[l];
    sums.offsetMoment += moment[l];
    sums.offsetSquares += squares[l];
    for (std::size_t m = 0; m < sums.sectors.size(); ++m) sums.sectors[m] += sectors[m][l];
  }
  sums.count = static_cast<int>(pixels);
  return sums;
}

}  // namespace

void EdgeBand::Reset(const BandOutline& outline) {
  outline_ = outline;
  saturated_ = false;
  size_ = 0;
}

void EdgeBand::AddRow(int x0, int y, int n, const float* gx, const float* gy, const float* grey,
                      float maxGrey) {
  if (n <= 0) return;
  const std::size_t end = size_ + static_cast<std::size_t>(n);
  if (x_.size() < Padded(end)) {
    const std::size_t capacity = Padded(2 * end);
    for (std::vector<float>* a :
         {&x_, &y_, &gx_, &gy_, &g2_, &offset_, &nx_, &ny_, &own_, &strong_, &octant_})
      a->resize(capacity);
  }
  const BandArrays a = Arrays(size_);
  const int saturated = AddRowTo(outline_, x0, y, n, gx, gy, grey, maxGrey, a.x, a.y, a.gx, a.gy,
                                 a.g2, a.offset, a.nx, a.ny);
  saturated_ = saturated_ || saturated > 0;
  size_ = end;
}

BandArrays EdgeBand::Arrays(std::size_t from) {
  return {x_.data() + from,   y_.data() + from,      gx_.data() + from,    gy_.data() + from,
          g2_.data() + from,  offset_.data() + from, nx_.data() + from,    ny_.data() + from,
          own_.data() + from, strong_.data() + from, octant_.data() + from};
}

cv::Point2d EdgeBand::Origin() const { return {std::round(outline_.cx), std::round(outline_.cy)}; }

double EdgeBand::Strongest2() const { return Largest(g2_.data(), size_); }

BandSums EdgeBand::Sum(const BandSelection& selection) {
  const std::size_t n = Padded(size_);
  for (std::vector<float>* a : {&x_, &y_, &gx_, &gy_, &g2_, &offset_, &nx_, &ny_})
    std::fill(a->begin() + static_cast<std::ptrdiff_t>(size_),
              a->begin() + static_cast<std::ptrdiff_t>(n), 0.0f);
  return SumArrays(outline_, Arrays(0), n, selection);
}

}  // namespace Oskelo::CV::Native64::detail
