#include "native64/DotRefinement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "imgproc/DualConicFit.h"
#include "imgproc/EdgeBand.h"
#include "imgproc/GreyLevelFit.h"

namespace Oskelo::CV::Native64 {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A neighbour whose rim comes closer to this dot's rim than the edge band plus this many of the
// edge's standard deviations has its edge inside this dot's band: kDotCrowded. 3 sigmas hold 99.7 %
// of a Gaussian edge's gradient.
constexpr double kEdgeSigmasApart = 3.0;
// Every pass's band grows by this many pixels on each side: in the first, the ellipse through the
// rays' crossings of the mid level is off the outline by up to a few tenths of a pixel; later
// passes keep the same width, as a band that cuts more of the smoothed edge's tail moves the
// centres (by 0.003 px RMS on rendered plates for a band half a pixel narrower).
constexpr double kBandGrowthPx = 0.5;
// The smoothed window reaches this many pixels past the first pass's band, so that the later
// passes' bands, around ellipses that moved by less than that, read the same window.
constexpr int kWindowSlackPx = 1;
// Scharr's 3 x 3 derivative (3, 10, 3): far more isotropic than Sobel's (1, 2, 1), whose
// direction errors of up to about 1 degree tilt every tangent line and bias small dots' centres.
// Divided by 32 to give grey levels per pixel.
constexpr double kScharrSide = 3.0, kScharrMiddle = 10.0, kScharrNorm = 32.0;
// Sectors of the outline checked for coverage (kDotCrowded): the octants between the axes and
// the diagonals (detail::BandSums::sectors).
constexpr int kSectors = 8;
// A row of the band is split around the pixels inside the inner ellipse when they are more than
// this many.
constexpr double kLeastRowGapPx = 8.0;

// The rays that measure a dot's size: kRays directions evenly around the circle.
constexpr int kRays = 16;
const std::array<cv::Point2d, kRays> kRayDirections = [] {
  std::array<cv::Point2d, kRays> directions;
  for (int k = 0; k < kRays; ++k) {
    const double angle = 2.0 * CV_PI * k / kRays;
    directions[static_cast<std::size_t>(k)] = {std::cos(angle), std::sin(angle)};
  }
  return directions;
}();

// The separable Gaussian of radius R (weights from the centre outward) along a line of taps
// `step` apart, for every k in [from, to): out[k] = w0 in[k] + w1 (in[k - step] + in[k + step])
// + ..., the taps added in that order. R fixed at compile time, so that the taps unroll and the
// loop over k vectorises with the sum held in registers.
template <int R>
__attribute__((always_inline)) inline void Smooth(const float* __restrict in, float* __restrict out,
                                                  std::ptrdiff_t from, std::ptrdiff_t to,
                                                  std::ptrdiff_t step, const float* kernel) {
  float w[R + 1];
  for (int i = 0; i <= R; ++i) w[i] = kernel[i];
  for (std::ptrdiff_t k = from; k < to; ++k) {
    float sum = w[0] * in[k];
    for (int i = 1; i <= R; ++i) sum += w[i] * (in[k - i * step] + in[k + i * step]);
    out[k] = sum;
  }
}

// The same for any radius, one pass over the line per tap.
__attribute__((always_inline)) inline void SmoothAnyRadius(const float* __restrict in,
                                                           float* __restrict out,
                                                           std::ptrdiff_t from, std::ptrdiff_t to,
                                                           std::ptrdiff_t step, const float* kernel,
                                                           int radius) {
  for (std::ptrdiff_t k = from; k < to; ++k) out[k] = kernel[0] * in[k];
  for (int i = 1; i <= radius; ++i) {
    const float weight = kernel[i];
    const std::ptrdiff_t offset = i * step;
    for (std::ptrdiff_t k = from; k < to; ++k) out[k] += weight * (in[k - offset] + in[k + offset]);
  }
}

// The window's filters, over a window of rows x cols pixels held in flat buffers of `stride`
// floats per row with `radius` pixels of margin on every side: the separable Gaussian of `radius`
// (weights from the centre outward) along x into gx (as scratch) on every row of the buffer,
// then along y into `smooth` on the window's rows, and Scharr's gradients of that into gx and gy
// on the window's rows but its first and last. Each filter is one long loop over its rows, which
// the compiler vectorises; where its taps wrap into the next row the results are wrong, and lie
// in the margin or the window's outermost ring of pixels, which no band pixel is on.
__attribute__((target_clones("avx2", "default"))) void FilterWindow(
    const float* __restrict raw, float* __restrict smooth, float* __restrict gx,
    float* __restrict gy, int rows, int stride, const float* __restrict kernel, int radius) {
  const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(stride) * (rows + 2 * radius);
  // Along x into gx (as scratch), then along y into smooth.
  float* const along = gx;
  const std::ptrdiff_t reach = static_cast<std::ptrdiff_t>(radius) * stride;
  switch (radius) {
    case 3:  // gradientSigmaPx 1.0
      Smooth<3>(raw, along, radius, size - radius, 1, kernel);
      Smooth<3>(along, smooth, reach, size - reach, stride, kernel);
      break;
    case 4:  // the default 1.2
      Smooth<4>(raw, along, radius, size - radius, 1, kernel);
      Smooth<4>(along, smooth, reach, size - reach, stride, kernel);
      break;
    default:
      SmoothAnyRadius(raw, along, radius, size - radius, 1, kernel, radius);
      SmoothAnyRadius(along, smooth, reach, size - reach, stride, kernel, radius);
  }

  // Scharr's gradients, in grey levels per pixel.
  const float side = static_cast<float>(kScharrSide / kScharrNorm);
  const float middle = static_cast<float>(kScharrMiddle / kScharrNorm);
  const std::ptrdiff_t w = stride;
  // From the second pixel of the window's second row to the last but one of its last but one
  // row: the taps stay inside the buffer even without a margin (radius 0).
  for (std::ptrdiff_t k = reach + w + 1; k < size - reach - w - 1; ++k) {
    gx[k] = side * (smooth[k - w + 1] + smooth[k + w + 1] - smooth[k - w - 1] - smooth[k + w - 1]) +
            middle * (smooth[k + 1] - smooth[k - 1]);
    gy[k] = side * (smooth[k + w - 1] + smooth[k + w + 1] - smooth[k - w - 1] - smooth[k - w + 1]) +
            middle * (smooth[k + w] - smooth[k - w]);
  }
}

// floor and ceil of a finite value within int's range, to int: inline, where std::floor and
// std::ceil are calls into libm on the baseline instruction set, once for every row of a band.
inline int FloorToInt(double v) {
  const int i = static_cast<int>(v);
  return i - (v < i ? 1 : 0);
}
inline int CeilToInt(double v) {
  const int i = static_cast<int>(v);
  return i + (v > i ? 1 : 0);
}

struct Options {
  double edgeBandPx, gradientSigmaPx, maxWindowRadiusPx, minGradientShare, minOutwardCos,
      maxForeignShare, minSectorShare, minRadiusPx, maxShiftPx, maxQualityPx;
  double refitOffsetPx;
  int passes, minEdgePixels;
  bool fitGreyLevels;
};

// Non-finite or out-of-range options get working values, so that no option can make a loop run
// away or a window grow without bound.
Options Sanitise(const DotRefinementOptions& o) {
  auto clamp = [](double v, double lo, double hi, double fallback) {
    return std::isfinite(v) ? std::clamp(v, lo, hi) : fallback;
  };
  Options s;
  s.edgeBandPx = clamp(o.edgeBandPx, 0.5, 50.0, 3.0);
  s.gradientSigmaPx = clamp(o.gradientSigmaPx, 0.0, 5.0, 1.0);
  s.maxWindowRadiusPx = clamp(o.maxWindowRadiusPx, 2.0, 500.0, 60.0);
  s.minGradientShare = clamp(o.minGradientShare, 0.0, 1.0, 0.05);
  s.minOutwardCos = clamp(o.minOutwardCos, -1.0, 1.0, 0.7);
  s.maxForeignShare = std::isnan(o.maxForeignShare) ? 0.25 : o.maxForeignShare;
  s.minSectorShare = std::isnan(o.minSectorShare) ? 0.3 : o.minSectorShare;
  s.minRadiusPx = clamp(o.minRadiusPx, 0.0, 500.0, 2.0);
  s.maxShiftPx = std::isnan(o.maxShiftPx) ? 0.5 : o.maxShiftPx;
  s.maxQualityPx = std::isnan(o.maxQualityPx) ? 0.05 : o.maxQualityPx;
  s.passes = std::clamp(o.passes, 1, 10);
  s.refitOffsetPx = std::isnan(o.refitOffsetPx) ? 1.0 : o.refitOffsetPx;
  s.minEdgePixels = std::max(o.minEdgePixels, 6);
  s.fitGreyLevels = o.fitGreyLevels;
  return s;
}

RefinedDot Unrefined(const cv::Point2d& centre, unsigned flags) {
  return RefinedDot{centre, {kNaN, kNaN}, kNaN, kNaN, kNaN, kNaN, 0, flags};
}

// Where a dot's outline is expected in one pass: a circle around the input centre in the first,
// the previous ellipse afterwards.
struct Outline {
  cv::Point2d centre;
  cv::Matx22d shape;  // (x - centre)^T shape (x - centre) = 1
  double halfWidth;   // half-width of the axis-aligned box that holds the outline, x
  double halfHeight;  // ... and y
  double band;        // half-width of the edge band, pixels
};

Outline CircleOutline(const cv::Point2d& centre, double radius, double band) {
  const double q = 1.0 / (radius * radius);
  return {centre, cv::Matx22d(q, 0.0, 0.0, q), radius, radius, band};
}

Outline EllipseOutline(const detail::FittedEllipse& e, double band) {
  // The bounding box of the ellipse: half-widths sqrt((Q^-1)_11), sqrt((Q^-1)_22).
  const cv::Matx22d inverse = e.shape.inv();
  return {e.centre, e.shape, std::sqrt(std::max(0.0, inverse(0, 0))),
          std::sqrt(std::max(0.0, inverse(1, 1))), band};
}

// The largest distance between two outlines along kRays directions, each outline's point taken
// along the direction from its own centre.
double OutlineDeparture(const Outline& a, const Outline& b) {
  const auto radiusAlong = [](const cv::Matx22d& q, const cv::Point2d& u) {
    return 1.0 / std::sqrt(q(0, 0) * u.x * u.x + 2.0 * q(0, 1) * u.x * u.y + q(1, 1) * u.y * u.y);
  };
  double largest2 = 0.0;
  for (const cv::Point2d& u : kRayDirections) {
    const cv::Point2d d =
        (b.centre + radiusAlong(b.shape, u) * u) - (a.centre + radiusAlong(a.shape, u) * u);
    largest2 = std::max(largest2, d.dot(d));
  }
  return std::sqrt(largest2);
}

// Where the row at `dy` from the outline's centre crosses the outline scaled by `scale`: the
// offsets lo < hi along x; false when it does not.
bool RowInterval(const Outline& outline, double dy, double scale, double& lo, double& hi) {
  const double b = outline.shape(0, 1) * dy;
  const double disc = b * b - outline.shape(0, 0) * (outline.shape(1, 1) * dy * dy - scale * scale);
  if (!(disc >= 0.0)) return false;
  const double root = std::sqrt(disc);
  lo = (-b - root) / outline.shape(0, 0);
  hi = (-b + root) / outline.shape(0, 0);
  return true;
}

struct FitOutcome {
  detail::FittedEllipse ellipse;
  double edgeSigma = 0.0;  // standard deviation of the (smoothed) edge across the rim, pixels
  int edgePixels = 0;
  unsigned flags = 0;
};

template <typename T>
class DotRefiner {
 public:
  // `band` is scratch space, kept by the caller from one call to the next.
  DotRefiner(const cv::Mat& image, const std::vector<cv::Point2d>& centres, const Options& options,
             detail::EdgeBand& band)
      : image_(image),
        pixels_(image.ptr<T>(0)),
        rowStride_(image.step1()),
        centres_(centres),
        o_(options),
        band_(band) {
    // The finite centres by x, so that each dot's neighbours are looked for among those near it
    // in x rather than among all the dots.
    for (std::size_t j = 0; j < centres_.size(); ++j)
      if (std::isfinite(centres_[j].x) && std::isfinite(centres_[j].y)) byX_.push_back(j);
    std::sort(byX_.begin(), byX_.end(),
              [this](std::size_t a, std::size_t b) { return centres_[a].x < centres_[b].x; });
    maxValue_ = static_cast<double>(std::numeric_limits<T>::max());
    smoothingRadius_ =
        o_.gradientSigmaPx > 0.0 ? static_cast<int>(std::ceil(3.0 * o_.gradientSigmaPx)) : 0;
    kernel_.assign(1, 1.0f);
    if (smoothingRadius_ > 0) {
      const cv::Mat k = cv::getGaussianKernel(2 * smoothingRadius_ + 1, o_.gradientSigmaPx, CV_32F);
      kernel_.assign(k.ptr<float>(smoothingRadius_),
                     k.ptr<float>(smoothingRadius_) + smoothingRadius_ + 1);
    }
  }

  RefinedDot Refine(std::size_t index) {
    const cv::Point2d input = centres_[index];
    if (!Inside(input, 0.0)) return Unrefined(input, kDotAtBorder);

    // Neighbours: the nearest one limits the disc in which the dot's size is measured; those
    // that may reach into the edge band are kept for the masking.
    const double nearest2 = NearestSquaredDistance(index);
    if (!(nearest2 > 0.0)) return Unrefined(input, kDotCrowded);  // a duplicate centre
    const double discRadius = std::min(0.5 * std::sqrt(nearest2), o_.maxWindowRadiusPx);

    double radius = 0.0;
    Outline outline;
    if (!EstimateOutline(input, discRadius, radius, outline))
      return Unrefined(input, kDotFewEdgePixels);
    if (!(radius >= o_.minRadiusPx)) return Unrefined(input, kDotFewEdgePixels);

    const double reach =
        2.0 * (std::max(outline.halfWidth, outline.halfHeight) + outline.band + 2.0);
    CollectNeighbours(index, reach);

    // The passes, and one more when the last one's band sat off the edge it found.
    windowRows_ = 0;  // no window smoothed for this dot yet
    FitOutcome fit;
    for (int pass = 1;; ++pass) {
      fit = Fit(outline);
      if (fit.flags != 0 || !fit.ellipse.valid) break;
      if (cv::norm(fit.ellipse.centre - input) > o_.maxShiftPx) break;
      const Outline fitted = EllipseOutline(fit.ellipse, o_.edgeBandPx + kBandGrowthPx);
      const bool again = pass < o_.passes || (pass == o_.passes &&
                                              OutlineDeparture(outline, fitted) > o_.refitOffsetPx);
      if (!again) break;
      outline = fitted;
    }

    if (fit.flags == 0 && fit.ellipse.valid && NeighbourEdgeInBand(fit)) fit.flags = kDotCrowded;
    if (o_.fitGreyLevels && fit.flags == 0 && fit.ellipse.valid) FitGreyLevels(fit);

    RefinedDot dot = Unrefined(input, fit.flags);
    dot.edgePixels = fit.edgePixels;
    if (fit.ellipse.valid) {
      const detail::FittedEllipse& e = fit.ellipse;
      dot.ellipseCentre = e.centre;
      dot.semiMajor = e.semiMajor;
      dot.semiMinor = e.semiMinor;
      dot.angleDeg = e.angleDeg;
      dot.quality = e.centreSigma;
      if (!(cv::norm(e.centre - input) <= o_.maxShiftPx) || !(e.centreSigma <= o_.maxQualityPx) ||
          !(e.semiMinor > 0.5 * radius && e.semiMajor < 2.0 * radius))
        dot.flags |= kDotPoorFit;
    } else if (dot.flags == 0) {
      dot.flags = kDotPoorFit;
    }
    if (dot.flags == 0) dot.centre = dot.ellipseCentre;
    return dot;
  }

 private:
  double SquaredDistance(std::size_t a, std::size_t b) const {
    const cv::Point2d d = centres_[a] - centres_[b];
    return d.x * d.x + d.y * d.y;
  }

  // Where byX_ reaches the x of dot `index`: the first position whose centre lies at or beyond it.
  std::size_t PositionByX(std::size_t index) const {
    const double x = centres_[index].x;
    return static_cast<std::size_t>(
        std::lower_bound(byX_.begin(), byX_.end(), x,
                         [this](std::size_t j, double v) { return centres_[j].x < v; }) -
        byX_.begin());
  }

  // The squared distance from dot `index` (finite) to the nearest other finite centre, infinity
  // when there is none: byX_ walked outward from the dot's x until the gap in x alone is larger.
  double NearestSquaredDistance(std::size_t index) const {
    double nearest2 = std::numeric_limits<double>::infinity();
    const double x = centres_[index].x;
    const std::size_t at = PositionByX(index);
    for (std::size_t k = at; k < byX_.size(); ++k) {
      const double dx = centres_[byX_[k]].x - x;
      if (dx * dx > nearest2) break;
      if (byX_[k] != index) nearest2 = std::min(nearest2, SquaredDistance(byX_[k], index));
    }
    for (std::size_t k = at; k-- > 0;) {
      const double dx = centres_[byX_[k]].x - x;
      if (dx * dx > nearest2) break;
      if (byX_[k] != index) nearest2 = std::min(nearest2, SquaredDistance(byX_[k], index));
    }
    return nearest2;
  }

  // The other finite centres nearer dot `index` than `reach`, into neighbours_ in the order of
  // the input.
  void CollectNeighbours(std::size_t index, double reach) {
    const double x = centres_[index].x;
    nearby_.clear();
    for (std::size_t k = PositionByX(index); k-- > 0 && centres_[byX_[k]].x >= x - reach;)
      nearby_.push_back(byX_[k]);
    for (std::size_t k = PositionByX(index); k < byX_.size() && centres_[byX_[k]].x <= x + reach;
         ++k)
      nearby_.push_back(byX_[k]);
    std::sort(nearby_.begin(), nearby_.end());
    neighbours_.clear();
    for (const std::size_t j : nearby_)
      if (j != index && SquaredDistance(j, index) < reach * reach)
        neighbours_.push_back(centres_[j]);
  }

  // Whether a neighbour's edge reaches into the band: the gap between the two rims along the line
  // of centres (the neighbour taken to be of this dot's shape, as a target's neighbours nearly
  // are) is smaller than the band plus kEdgeSigmasApart of the edge's deviation.
  bool NeighbourEdgeInBand(const FitOutcome& fit) const {
    const detail::FittedEllipse& e = fit.ellipse;
    for (const cv::Point2d& other : neighbours_) {
      const cv::Point2d d = other - e.centre;
      const double distance = std::hypot(d.x, d.y);
      if (!(distance > 0.0)) return true;
      const cv::Vec2d u(d.x / distance, d.y / distance);
      const double rimRadius = 1.0 / std::sqrt((u.t() * e.shape * u)[0]);
      const double gap = distance - 2.0 * rimRadius;
      if (!(gap >= o_.edgeBandPx + kEdgeSigmasApart * fit.edgeSigma)) return true;
    }
    return false;
  }

  // Whether `p` lies at least `margin` inside the image's pixel centres.
  bool Inside(const cv::Point2d& p, double margin) const {
    return std::isfinite(p.x) && std::isfinite(p.y) && p.x >= margin &&
           p.x <= image_.cols - 1 - margin && p.y >= margin && p.y <= image_.rows - 1 - margin;
  }

  // The grey level of pixel (x, y), addressed through the stride kept at construction rather
  // than Mat::ptr, as the rays read it for every step.
  double At(int x, int y) const {
    return static_cast<double>(
        pixels_[static_cast<std::size_t>(y) * rowStride_ + static_cast<std::size_t>(x)]);
  }

  // Bilinear grey level at a point at least 0 and at most size - 1 in each coordinate.
  double Bilinear(double x, double y) const {
    const int x0 = std::min(static_cast<int>(x), image_.cols - 2 < 0 ? 0 : image_.cols - 2);
    const int y0 = std::min(static_cast<int>(y), image_.rows - 2 < 0 ? 0 : image_.rows - 2);
    const int x1 = std::min(x0 + 1, image_.cols - 1), y1 = std::min(y0 + 1, image_.rows - 1);
    const double fx = x - x0, fy = y - y0;
    const double top = At(x0, y0) + fx * (At(x1, y0) - At(x0, y0));
    const double bottom = At(x0, y1) + fx * (At(x1, y1) - At(x0, y1));
    return top + fy * (bottom - top);
  }

  // Whether the point lies within [0, cols - 1] x [0, rows - 1].
  bool OnImage(double x, double y) const {
    return x >= 0.0 && y >= 0.0 && x <= image_.cols - 1 && y <= image_.rows - 1;
  }

  // How many of the steps t = 0 .. maxSteps from `c` along `step` stay on the image: the first
  // one off it ends the ray. Solved for, then settled by the test itself (the points move
  // monotonically along the ray, so the steps on the image are a run from 0), so that no step is
  // tested one by one.
  int StepsInside(const cv::Point2d& c, const cv::Point2d& step, int maxSteps) const {
    double reach = maxSteps;
    const auto limit = [&reach](double from, double by, double hi) {
      if (by > 0.0) reach = std::min(reach, (hi - from) / by);
      if (by < 0.0) reach = std::min(reach, -from / by);
    };
    limit(c.x, step.x, image_.cols - 1);
    limit(c.y, step.y, image_.rows - 1);
    int count = std::clamp(static_cast<int>(std::floor(reach)) + 1, 0, maxSteps + 1);
    while (count > 0 && !OnImage(c.x + (count - 1) * step.x, c.y + (count - 1) * step.y)) --count;
    while (count <= maxSteps && OnImage(c.x + count * step.x, c.y + count * step.y)) ++count;
    return count;
  }

  // The dot's radius and a first outline from kRays rays out of the centre, each walked in 1 px
  // steps up to `discRadius` (or the image's edge): the dark level is the mean of the 3 x 3 pixels
  // around the centre, the bright level the median of the rays' brightest samples (the box around
  // the dot), and each ray's first crossing of the level halfway between, interpolated between
  // samples, is a point of the outline. The radius is their mean distance; the outline is the
  // ellipse through them (a circle of that radius when they do not give a plausible one), good to
  // a few tenths of a pixel, which the first pass's band absorbs.
  bool EstimateOutline(const cv::Point2d& c, double discRadius, double& radius, Outline& outline) {
    const int cx = static_cast<int>(std::lround(c.x)), cy = static_cast<int>(std::lround(c.y));
    double darkSum = 0.0;
    int darkCount = 0;
    for (int y = std::max(0, cy - 1); y <= std::min(image_.rows - 1, cy + 1); ++y) {
      for (int x = std::max(0, cx - 1); x <= std::min(image_.cols - 1, cx + 1); ++x) {
        darkSum += At(x, y);
        ++darkCount;
      }
    }
    const double dark = darkSum / darkCount;

    // The rays walked on the nearest pixels, which is enough for the levels and for where each
    // ray crosses; the crossing itself is then placed on bilinear samples around it.
    const int steps = static_cast<int>(discRadius);
    // Each ray's samples are read only up to its last step on the image, all written below.
    values_.resize(static_cast<std::size_t>(kRays) * (steps + 1));
    std::array<int, kRays> lastStep;
    std::array<double, kRays> brightest{};
    int rays = 0;
    for (int k = 0; k < kRays; ++k) {
      const cv::Point2d step = kRayDirections[static_cast<std::size_t>(k)];
      double* ray = &values_[static_cast<std::size_t>(k * (steps + 1))];
      const int count = StepsInside(c, step, steps);
      double best = -1.0;
      for (int t = 0; t < count; ++t) {
        const double x = c.x + t * step.x, y = c.y + t * step.y;
        ray[t] = At(static_cast<int>(x + 0.5), static_cast<int>(y + 0.5));
        best = std::max(best, ray[t]);
      }
      lastStep[static_cast<std::size_t>(k)] = count - 1;
      if (best >= 0.0) brightest[static_cast<std::size_t>(rays++)] = best;
    }
    if (rays < kRays / 2) return false;
    std::nth_element(brightest.begin(), brightest.begin() + rays / 2, brightest.begin() + rays);
    const double bright = brightest[static_cast<std::size_t>(rays / 2)];
    if (!(bright > dark)) return false;
    const double mid = 0.5 * (bright + dark);

    std::array<cv::Point2d, kRays> crossings;
    int found = 0;
    double sum = 0.0;
    for (int k = 0; k < kRays; ++k) {
      const double* ray = &values_[static_cast<std::size_t>(k * (steps + 1))];
      const int last = lastStep[static_cast<std::size_t>(k)];
      int t = 1;
      while (t <= last && ray[t] < mid) ++t;
      if (t > last) continue;
      const double distance =
          CrossingNear(c, kRayDirections[static_cast<std::size_t>(k)], t, last, mid,
                       (t - 1) + (mid - ray[t - 1]) / (ray[t] - ray[t - 1]));
      crossings[static_cast<std::size_t>(found++)] =
          distance * kRayDirections[static_cast<std::size_t>(k)];
      sum += distance;
    }
    if (found < kRays / 2) return false;
    radius = sum / found;
    const double band = o_.edgeBandPx + kBandGrowthPx;
    outline = CircleOutline(c, radius, band);
    detail::FittedEllipse e = detail::EllipseThroughPoints(crossings.data(), found, radius);
    // Plausible: about the radius in size and centred near the detector's centre (which is
    // within a few tenths of a pixel of the truth).
    if (e.valid && e.semiMinor > 0.7 * radius && e.semiMajor < 1.4 * radius &&
        cv::norm(e.centre) < 0.25 * radius) {
      e.centre += c;
      outline = EllipseOutline(e, band);
    }
    return true;
  }

  // Where the ray from `c` along `direction` first crosses `mid` on bilinear samples 1 px apart,
  // looked for from two steps before to one after step `t`, where the nearest pixels cross it;
  // `fallback` (the crossing between the nearest pixels) when the bilinear samples there do not
  // cross it upward.
  double CrossingNear(const cv::Point2d& c, const cv::Point2d& direction, int t, int last,
                      double mid, double fallback) const {
    const int from = std::max(0, t - 2), to = std::min(last, t + 1);
    const auto sample = [&](int s) {
      return Bilinear(c.x + s * direction.x, c.y + s * direction.y);
    };
    double before = sample(from);
    if (before >= mid) return fallback;
    for (int s = from + 1; s <= to; ++s) {
      const double after = sample(s);
      if (after >= mid) return (s - 1) + (mid - before) / (after - before);
      before = after;
    }
    return fallback;
  }

  // Smooths the image over the window [x0, x1] x [y0, y1] (grown by kWindowSlackPx where the
  // image allows) with the separable Gaussian and takes Scharr's gradients of the result. Reads
  // smoothingRadius_ pixels around the window, which the caller has checked lie inside the image.
  // The buffers hold the window and that margin as one flat array of windowStride_ floats per row;
  // the gradients are good for the window but its outermost ring of pixels, which no band pixel
  // is on (Fit asks for a window one pixel larger than its band's box).
  void SmoothWindow(int x0, int y0, int x1, int y1) {
    const int r = smoothingRadius_;
    x0 = std::max(r, x0 - kWindowSlackPx);
    y0 = std::max(r, y0 - kWindowSlackPx);
    x1 = std::min(image_.cols - 1 - r, x1 + kWindowSlackPx);
    y1 = std::min(image_.rows - 1 - r, y1 + kWindowSlackPx);
    windowX_ = x0;
    windowY_ = y0;
    windowCols_ = x1 - x0 + 1;
    windowRows_ = y1 - y0 + 1;
    const int stride = windowCols_ + 2 * r;
    windowStride_ = stride;
    const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(stride) * (windowRows_ + 2 * r);
    for (std::vector<float>* buffer : {&raw_, &smoothed_, &gradientX_, &gradientY_})
      buffer->resize(static_cast<std::size_t>(size));
    for (int y = y0 - r; y <= y1 + r; ++y) {
      const T* __restrict in = image_.ptr<T>(y) + (x0 - r);
      float* __restrict out = &raw_[static_cast<std::size_t>(y - (y0 - r)) * stride];
      for (int x = 0; x < stride; ++x) out[x] = static_cast<float>(in[x]);
    }

    FilterWindow(raw_.data(), smoothed_.data(), gradientX_.data(), gradientY_.data(), windowRows_,
                 stride, kernel_.data(), r);
  }

  // Index of pixel (x, y) of the window in its flat buffers.
  std::size_t WindowIndex(int x, int y) const {
    return static_cast<std::size_t>(y - windowY_ + smoothingRadius_) * windowStride_ +
           static_cast<std::size_t>(x - windowX_ + smoothingRadius_);
  }

  bool WindowHolds(int x0, int y0, int x1, int y1) const {
    return windowRows_ > 0 && x0 >= windowX_ && y0 >= windowY_ && x1 < windowX_ + windowCols_ &&
           y1 < windowY_ + windowRows_;
  }

  // Replaces the fit's ellipse (but for its centreSigma, the quality) and pixel count by the
  // grey-level fit's over the last window, when that succeeds. Its first guess of the blur is the
  // edge's deviation without the smoothing's share.
  void FitGreyLevels(FitOutcome& fit) const {
    const detail::GreyWindow window{&raw_[WindowIndex(windowX_, windowY_)],
                                    windowStride_,
                                    windowX_,
                                    windowY_,
                                    windowCols_,
                                    windowRows_};
    const double blur2 = fit.edgeSigma * fit.edgeSigma - o_.gradientSigmaPx * o_.gradientSigmaPx;
    const detail::GreyLevelFitResult grey =
        detail::FitGreyLevels(window, fit.ellipse, std::sqrt(std::max(0.0, blur2)),
                              o_.edgeBandPx + kBandGrowthPx, neighbours_);
    if (!grey.ellipse.valid) return;
    const double conicSigma = fit.ellipse.centreSigma;
    fit.ellipse = grey.ellipse;
    fit.ellipse.centreSigma = conicSigma;  // the quality stays the conic fit's
    fit.edgePixels = grey.pixels;
  }

  // One dual-conic fit of the pixels in the outline's edge band.
  FitOutcome Fit(const Outline& outline) {
    FitOutcome outcome;
    const cv::Point2d c = outline.centre;
    const double pad = outline.band + 1.0;
    const double left = std::floor(c.x - outline.halfWidth - pad);
    const double right = std::ceil(c.x + outline.halfWidth + pad);
    const double top = std::floor(c.y - outline.halfHeight - pad);
    const double bottom = std::ceil(c.y + outline.halfHeight + pad);
    // The smoothing and the gradient filter read `margin` pixels around each band pixel. (Written
    // so that NaN fails.)
    const int margin = 1 + smoothingRadius_;
    if (!(left >= margin && top >= margin && right <= image_.cols - 1 - margin &&
          bottom <= image_.rows - 1 - margin)) {
      outcome.flags = kDotAtBorder;
      return outcome;
    }
    const int x0 = static_cast<int>(left), x1 = static_cast<int>(right);
    const int y0 = static_cast<int>(top), y1 = static_cast<int>(bottom);
    // The gradient filter reads one pixel around each band pixel.
    if (!WindowHolds(x0 - 1, y0 - 1, x1 + 1, y1 + 1)) SmoothWindow(x0 - 1, y0 - 1, x1 + 1, y1 + 1);

    // The outline's semi-minor axis: the root of the inverse of Q's larger eigenvalue.
    const double qMean = 0.5 * (outline.shape(0, 0) + outline.shape(1, 1));
    const double qHalf = std::sqrt(0.25 * (outline.shape(0, 0) - outline.shape(1, 1)) *
                                       (outline.shape(0, 0) - outline.shape(1, 1)) +
                                   outline.shape(0, 1) * outline.shape(0, 1));
    const double minor = 1.0 / std::sqrt(qMean + qHalf);
    if (!(minor > 0.0) || !(outline.shape(0, 0) > 0.0)) {
      outcome.flags = kDotPoorFit;
      return outcome;
    }

    // Band pixels and their gradients, row by row.
    band_.Reset(
        {c.x, c.y, outline.shape(0, 0), outline.shape(0, 1), outline.shape(1, 1), outline.band});
    const float maxGrey = static_cast<float>(maxValue_);
    for (int y = y0; y <= y1; ++y) {
      // Only the columns between the ellipses scaled by 1 - band / minor and 1 + band / minor
      // can lie within the band (the offset is (rho - 1) times the outline's radius along the
      // ray, which is at least the semi-minor axis). The columns inside the inner one are left
      // out when they are many; a few are cheaper to test than to split the row for.
      const double dy = y - c.y;
      double outerLo = 0.0, outerHi = 0.0, innerLo = 0.0, innerHi = 0.0;
      if (!RowInterval(outline, dy, 1.0 + outline.band / minor, outerLo, outerHi)) continue;
      const int from = std::max(x0, CeilToInt(c.x + outerLo));
      const int to = std::min(x1, FloorToInt(c.x + outerHi));
      const double innerScale = 1.0 - outline.band / minor;
      if (innerScale > 0.0 && RowInterval(outline, dy, innerScale, innerLo, innerHi) &&
          innerHi - innerLo > kLeastRowGapPx) {
        const int firstEnd = std::min(to, FloorToInt(c.x + innerLo));
        AddBandRow(from, firstEnd, y, maxGrey);
        AddBandRow(std::max(firstEnd + 1, CeilToInt(c.x + innerHi)), to, y, maxGrey);
      } else {
        AddBandRow(from, to, y, maxGrey);
      }
    }
    if (band_.Saturated()) {
      outcome.flags = kDotSaturated;
      return outcome;
    }

    detail::BandSelection& selection = selection_;  // kept, so its neighbours are not allocated
    selection.minGradient2 = o_.minGradientShare * o_.minGradientShare * band_.Strongest2();
    selection.minOutwardCos = o_.minOutwardCos;
    selection.scale = std::max(outline.halfWidth, outline.halfHeight);
    selection.neighbours.clear();
    for (const cv::Point2d& other : neighbours_) selection.neighbours.push_back(other - c);
    const detail::BandSums sums = band_.Sum(selection);
    detail::DualConicAccumulator fit(band_.Origin(), selection.scale);
    fit.AddSums(sums.conic, sums.count);
    const double used = sums.used;
    outcome.edgePixels = fit.count();
    if (fit.count() < o_.minEdgePixels || !(used > 0.0)) {
      outcome.flags = kDotFewEdgePixels;
      return outcome;
    }
    const double meanSector = used / kSectors;
    const double weakest = *std::min_element(sums.sectors.begin(), sums.sectors.end());
    if (sums.foreign > o_.maxForeignShare * used || weakest < o_.minSectorShare * meanSector) {
      outcome.flags = kDotCrowded;
      return outcome;
    }
    outcome.ellipse = fit.Solve();
    // The squared gradient of a Gaussian edge of deviation sigma has deviation sigma / sqrt(2).
    const double meanOffset = sums.offsetMoment / used;
    outcome.edgeSigma =
        std::sqrt(2.0 * std::max(0.0, sums.offsetSquares / used - meanOffset * meanOffset));
    return outcome;
  }

  // The pixels x0 .. x1 of row y of the window, added to the band.
  void AddBandRow(int x0, int x1, int y, float maxGrey) {
    if (x1 < x0) return;
    const std::size_t at = WindowIndex(x0, y);
    band_.AddRow(x0, y, x1 - x0 + 1, &gradientX_[at], &gradientY_[at], &raw_[at], maxGrey);
  }

  const cv::Mat& image_;
  const T* pixels_;        // the image's first pixel
  std::size_t rowStride_;  // elements from one row to the next
  const std::vector<cv::Point2d>& centres_;
  const Options& o_;
  double maxValue_ = 255.0;
  int smoothingRadius_ = 0;
  std::vector<float> kernel_;  // the Gaussian's weights from the centre outward
  // The window: windowRows_ x windowCols_ pixels from (windowX_, windowY_), in flat buffers of
  // windowStride_ floats per row that hold smoothingRadius_ pixels of margin on every side.
  std::vector<float> raw_, smoothed_, gradientX_, gradientY_;
  int windowX_ = 0, windowY_ = 0, windowCols_ = 0, windowRows_ = 0, windowStride_ = 0;
  std::vector<std::size_t> byX_;     // indices of the finite centres, by increasing x
  std::vector<std::size_t> nearby_;  // scratch: the indices of one dot's neighbours
  std::vector<cv::Point2d> neighbours_;
  std::vector<double> values_;
  detail::EdgeBand& band_;
  detail::BandSelection selection_{};
};

template <typename T>
std::vector<RefinedDot> RefineAll(const cv::Mat& image, const std::vector<cv::Point2d>& centres,
                                  const Options& options) {
  // The band's arrays stay allocated per thread, so that refining a frame's dots allocates none of
  // them again.
  thread_local detail::EdgeBand band;
  DotRefiner<T> refiner(image, centres, options, band);
  std::vector<RefinedDot> result;
  result.reserve(centres.size());
  for (std::size_t i = 0; i < centres.size(); ++i) result.push_back(refiner.Refine(i));
  return result;
}

}  // namespace

std::vector<RefinedDot> RefineDots(const cv::Mat& image, const std::vector<cv::Point2d>& centres,
                                   const DotRefinementOptions& options) {
  CV_Assert(!image.empty());
  CV_Assert(image.dims == 2);
  CV_Assert(image.type() == CV_8UC1 || image.type() == CV_16UC1);
  const Options sanitised = Sanitise(options);
  if (image.depth() == CV_8U) return RefineAll<std::uint8_t>(image, centres, sanitised);
  return RefineAll<std::uint16_t>(image, centres, sanitised);
}

}  // namespace Oskelo::CV::Native64
