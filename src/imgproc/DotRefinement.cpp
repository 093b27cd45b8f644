#include "native64/DotRefinement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "imgproc/DualConicFit.h"

namespace Oskelo::CV::Native64 {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A neighbour whose rim comes closer to this dot's rim than the edge band plus this many of the
// edge's standard deviations has its edge inside this dot's band: kDotCrowded. 3 sigmas hold 99.7 %
// of a Gaussian edge's gradient.
constexpr double kEdgeSigmasApart = 3.0;
// The first pass's band grows by this share of the radius on each side: a circle of the
// estimated radius misses the outline of a dot tilted by 35 degrees (axis ratio 0.82) by up to
// about 0.1 radius, and the estimate itself is good to a few percent.
constexpr double kFirstBandGrowth = 0.15;
// Scharr's 3 x 3 derivative (3, 10, 3): far more isotropic than Sobel's (1, 2, 1), whose
// direction errors of up to about 1 degree tilt every tangent line and bias small dots' centres.
// Divided by 32 to give grey levels per pixel.
constexpr double kScharrSide = 3.0, kScharrMiddle = 10.0, kScharrNorm = 32.0;
// Sectors of the outline checked for coverage (kDotCrowded): the octants between the axes and
// the diagonals.
constexpr int kSectors = 8;
int Octant(const cv::Point2d& q) {
  const bool steep = std::abs(q.y) > std::abs(q.x);
  if (q.y >= 0.0) return q.x >= 0.0 ? (steep ? 1 : 0) : (steep ? 2 : 3);
  return q.x < 0.0 ? (steep ? 5 : 4) : (steep ? 6 : 7);
}

struct Options {
  double edgeBandPx, gradientSigmaPx, maxWindowRadiusPx, minGradientShare, minOutwardCos,
      maxForeignShare, minSectorShare, minRadiusPx, maxShiftPx, maxQualityPx;
  int passes, minEdgePixels;
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
  s.minGradientShare = clamp(o.minGradientShare, 0.0, 1.0, 0.1);
  s.minOutwardCos = clamp(o.minOutwardCos, -1.0, 1.0, 0.7);
  s.maxForeignShare = std::isnan(o.maxForeignShare) ? 0.25 : o.maxForeignShare;
  s.minSectorShare = std::isnan(o.minSectorShare) ? 0.3 : o.minSectorShare;
  s.minRadiusPx = clamp(o.minRadiusPx, 0.0, 500.0, 2.0);
  s.maxShiftPx = std::isnan(o.maxShiftPx) ? 0.5 : o.maxShiftPx;
  s.maxQualityPx = std::isnan(o.maxQualityPx) ? 0.05 : o.maxQualityPx;
  s.passes = std::clamp(o.passes, 1, 10);
  s.minEdgePixels = std::max(o.minEdgePixels, 6);
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

struct FitOutcome {
  detail::FittedEllipse ellipse;
  double edgeSigma = 0.0;  // standard deviation of the (smoothed) edge across the rim, pixels
  int edgePixels = 0;
  unsigned flags = 0;
};

template <typename T>
class DotRefiner {
 public:
  DotRefiner(const cv::Mat& image, const std::vector<cv::Point2d>& centres, const Options& options)
      : image_(image), centres_(centres), o_(options) {
    maxValue_ = static_cast<double>(std::numeric_limits<T>::max());
    smoothingRadius_ =
        o_.gradientSigmaPx > 0.0 ? static_cast<int>(std::ceil(3.0 * o_.gradientSigmaPx)) : 0;
  }

  RefinedDot Refine(std::size_t index) {
    const cv::Point2d input = centres_[index];
    if (!Inside(input, 0.0)) return Unrefined(input, kDotAtBorder);

    // Neighbours: the nearest one limits the disc in which the dot's size is measured; those
    // that may reach into the edge band are kept for the masking.
    double nearest = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < centres_.size(); ++j) {
      if (j == index || !std::isfinite(centres_[j].x) || !std::isfinite(centres_[j].y)) continue;
      nearest = std::min(nearest, cv::norm(centres_[j] - input));
    }
    if (!(nearest > 0.0)) return Unrefined(input, kDotCrowded);  // a duplicate centre
    const double discRadius = std::min(0.5 * nearest, o_.maxWindowRadiusPx);

    double radius = 0.0;
    if (!EstimateRadius(input, discRadius, radius)) return Unrefined(input, kDotFewEdgePixels);
    if (!(radius >= o_.minRadiusPx)) return Unrefined(input, kDotFewEdgePixels);

    const double reach = 2.0 * (radius * (1.0 + kFirstBandGrowth) + o_.edgeBandPx + 2.0);
    neighbours_.clear();
    for (std::size_t j = 0; j < centres_.size(); ++j) {
      if (j == index || !std::isfinite(centres_[j].x) || !std::isfinite(centres_[j].y)) continue;
      if (cv::norm(centres_[j] - input) < reach) neighbours_.push_back(centres_[j]);
    }

    Outline outline = CircleOutline(input, radius, o_.edgeBandPx + kFirstBandGrowth * radius);
    FitOutcome fit;
    for (int pass = 0; pass < o_.passes; ++pass) {
      fit = Fit(outline, pass == 0);
      if (fit.flags != 0 || !fit.ellipse.valid) break;
      if (cv::norm(fit.ellipse.centre - input) > o_.maxShiftPx) break;
      outline = EllipseOutline(fit.ellipse, o_.edgeBandPx);
    }

    if (fit.flags == 0 && fit.ellipse.valid && NeighbourEdgeInBand(fit)) fit.flags = kDotCrowded;

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

  double At(int x, int y) const { return static_cast<double>(image_.ptr<T>(y)[x]); }

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

  // The dot's radius from kRays rays out of the centre, each walked in 1 px steps up to
  // `discRadius` (or the image's edge): the dark level is the mean of the 3 x 3 pixels around the
  // centre, the bright level the median of the rays' brightest samples (the box around the dot),
  // and each ray's first crossing of the level halfway between, interpolated between samples,
  // gives one radius; their mean is the estimate, good to a few tenths of a pixel, which the
  // first pass's wide band absorbs.
  bool EstimateRadius(const cv::Point2d& c, double discRadius, double& radius) {
    constexpr int kRays = 16;
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

    const int steps = static_cast<int>(discRadius);
    values_.assign(static_cast<std::size_t>(kRays) * (steps + 1), kNaN);
    std::array<double, kRays> brightest{};
    int rays = 0;
    for (int k = 0; k < kRays; ++k) {
      const double angle = 2.0 * CV_PI * k / kRays;
      const double dx = std::cos(angle), dy = std::sin(angle);
      double best = -1.0;
      for (int t = 0; t <= steps; ++t) {
        const double x = c.x + t * dx, y = c.y + t * dy;
        if (!(x >= 0.0 && y >= 0.0 && x <= image_.cols - 1 && y <= image_.rows - 1)) break;
        const double v = Bilinear(x, y);
        values_[static_cast<std::size_t>(k * (steps + 1) + t)] = v;
        best = std::max(best, v);
      }
      if (best >= 0.0) brightest[static_cast<std::size_t>(rays++)] = best;
    }
    if (rays < kRays / 2) return false;
    std::nth_element(brightest.begin(), brightest.begin() + rays / 2, brightest.begin() + rays);
    const double bright = brightest[static_cast<std::size_t>(rays / 2)];
    if (!(bright > dark)) return false;
    const double mid = 0.5 * (bright + dark);

    double sum = 0.0;
    int crossings = 0;
    for (int k = 0; k < kRays; ++k) {
      const double* ray = &values_[static_cast<std::size_t>(k * (steps + 1))];
      for (int t = 1; t <= steps && !std::isnan(ray[t]); ++t) {
        if (ray[t] >= mid) {
          sum += (t - 1) + (mid - ray[t - 1]) / (ray[t] - ray[t - 1]);
          ++crossings;
          break;
        }
      }
    }
    if (crossings < kRays / 2) return false;
    radius = sum / crossings;
    return true;
  }

  // One dual-conic fit of the pixels in the outline's edge band.
  FitOutcome Fit(const Outline& outline, bool firstPass) {
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
    const cv::Rect patchRect(x0 - margin, y0 - margin, x1 - x0 + 1 + 2 * margin,
                             y1 - y0 + 1 + 2 * margin);
    image_(patchRect).convertTo(patch_, CV_32F);
    if (smoothingRadius_ > 0) {
      // Pixels within smoothingRadius_ of the patch's edge see replicated ones; the band pixels
      // and their gradient neighbours lie farther in.
      cv::GaussianBlur(patch_, patch_, cv::Size(2 * smoothingRadius_ + 1, 2 * smoothingRadius_ + 1),
                       o_.gradientSigmaPx, o_.gradientSigmaPx, cv::BORDER_REPLICATE);
    }

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

    // Band pixels and their gradients.
    band_.clear();
    bool saturated = false;
    double strongest2 = 0.0;
    for (int y = y0; y <= y1; ++y) {
      const T* row = image_.ptr<T>(y);
      const float* above = patch_.ptr<float>(y - patchRect.y - 1) - patchRect.x;
      const float* middle = patch_.ptr<float>(y - patchRect.y) - patchRect.x;
      const float* below = patch_.ptr<float>(y - patchRect.y + 1) - patchRect.x;
      // Only the columns between the ellipses scaled by 1 - band / minor and 1 + band / minor
      // can lie within the band (the offset is (rho - 1) times the outline's radius along the
      // ray, which is at least the semi-minor axis).
      const double dy = y - c.y;
      const auto interval = [&](double scale, double& lo, double& hi) {
        const double b = outline.shape(0, 1) * dy;
        const double disc =
            b * b - outline.shape(0, 0) * (outline.shape(1, 1) * dy * dy - scale * scale);
        if (!(disc >= 0.0)) return false;
        const double root = std::sqrt(disc);
        lo = (-b - root) / outline.shape(0, 0);
        hi = (-b + root) / outline.shape(0, 0);
        return true;
      };
      double outerLo = 0.0, outerHi = 0.0, innerLo = 0.0, innerHi = -1.0;
      if (!interval(1.0 + outline.band / minor, outerLo, outerHi)) continue;
      const double innerScale = 1.0 - outline.band / minor;
      if (!(innerScale > 0.0) || !interval(innerScale, innerLo, innerHi)) innerHi = innerLo - 1.0;
      const int from = std::max(x0, static_cast<int>(std::ceil(c.x + outerLo)));
      const int to = std::min(x1, static_cast<int>(std::floor(c.x + outerHi)));
      const double skipFrom = c.x + innerLo, skipTo = c.x + innerHi;
      for (int x = from; x <= to; ++x) {
        if (x > skipFrom && x < skipTo) {
          x = static_cast<int>(std::ceil(skipTo)) - 1;  // the loop's step lands on ceil(skipTo)
          continue;
        }
        const cv::Point2d q(x - c.x, y - c.y);
        const cv::Vec2d n = outline.shape * cv::Vec2d(q.x, q.y);
        const double rho2 = q.x * n[0] + q.y * n[1];
        if (!(rho2 > 0.0)) continue;
        // Distance to the outline along the ray from the centre.
        const double offset = std::sqrt((q.x * q.x + q.y * q.y) / rho2) * (std::sqrt(rho2) - 1.0);
        if (std::abs(offset) > outline.band) continue;
        const double v = static_cast<double>(row[x]);
        if (v <= 0.0 || v >= maxValue_) saturated = true;
        const double gx = (kScharrSide * (static_cast<double>(above[x + 1]) + below[x + 1] -
                                          above[x - 1] - below[x - 1]) +
                           kScharrMiddle * (static_cast<double>(middle[x + 1]) - middle[x - 1])) /
                          kScharrNorm;
        const double gy = (kScharrSide * (static_cast<double>(below[x - 1]) + below[x + 1] -
                                          above[x - 1] - above[x + 1]) +
                           kScharrMiddle * (static_cast<double>(below[x]) - above[x])) /
                          kScharrNorm;
        const double g2 = gx * gx + gy * gy;
        strongest2 = std::max(strongest2, g2);
        band_.push_back({x, y, gx, gy, g2, n[0], n[1], offset});
      }
    }
    if (saturated) {
      outcome.flags = kDotSaturated;
      return outcome;
    }

    const double floor2 = o_.minGradientShare * o_.minGradientShare * strongest2;
    const double scale = std::max(outline.halfWidth, outline.halfHeight);
    detail::DualConicAccumulator fit(c, scale);
    double used = 0.0, foreign = 0.0, offsetMoment = 0.0, offsetSquares = 0.0;
    std::array<double, kSectors> sectors{};
    for (const BandPixel& p : band_) {
      if (!(p.g2 >= floor2) || !(p.g2 > 0.0)) continue;
      const cv::Point2d at(p.x, p.y);
      const cv::Point2d q = at - c;
      // The outline's outward normal: the ray from the centre in the first pass (the ellipse is
      // not known yet), the ellipse's normal Q q afterwards.
      const cv::Point2d normal = firstPass ? q : cv::Point2d(p.nx, p.ny);
      const double normalLength = std::sqrt(normal.x * normal.x + normal.y * normal.y);
      const double cosine = normalLength > 0.0 ? (p.gx * normal.x + p.gy * normal.y) /
                                                     (normalLength * std::sqrt(p.g2))
                                               : -1.0;
      bool own = cosine >= o_.minOutwardCos;
      if (own) {
        const double d2 = q.x * q.x + q.y * q.y;
        for (const cv::Point2d& other : neighbours_) {
          const cv::Point2d r = at - other;
          if (r.x * r.x + r.y * r.y < d2) {
            own = false;
            break;
          }
        }
      }
      if (!own) {
        foreign += p.g2;
        continue;
      }
      used += p.g2;
      offsetMoment += p.g2 * p.offset;
      offsetSquares += p.g2 * p.offset * p.offset;
      fit.Add(at, {p.gx, p.gy}, p.g2);
      sectors[static_cast<std::size_t>(Octant(q))] += p.g2;
    }
    outcome.edgePixels = fit.count();
    if (fit.count() < o_.minEdgePixels || !(used > 0.0)) {
      outcome.flags = kDotFewEdgePixels;
      return outcome;
    }
    const double meanSector = used / kSectors;
    const double weakest = *std::min_element(sectors.begin(), sectors.end());
    if (foreign > o_.maxForeignShare * used || weakest < o_.minSectorShare * meanSector) {
      outcome.flags = kDotCrowded;
      return outcome;
    }
    outcome.ellipse = fit.Solve();
    // The squared gradient of a Gaussian edge of deviation sigma has deviation sigma / sqrt(2).
    const double meanOffset = offsetMoment / used;
    outcome.edgeSigma =
        std::sqrt(2.0 * std::max(0.0, offsetSquares / used - meanOffset * meanOffset));
    return outcome;
  }

  struct BandPixel {
    int x, y;
    double gx, gy, g2;
    double nx, ny;  // the outline's normal Q q at the pixel (not unit length)
    double offset;  // distance from the outline, pixels
  };

  const cv::Mat& image_;
  const std::vector<cv::Point2d>& centres_;
  const Options& o_;
  double maxValue_ = 255.0;
  int smoothingRadius_ = 0;
  cv::Mat patch_;
  std::vector<cv::Point2d> neighbours_;
  std::vector<double> values_;
  std::vector<BandPixel> band_;
};

template <typename T>
std::vector<RefinedDot> RefineAll(const cv::Mat& image, const std::vector<cv::Point2d>& centres,
                                  const Options& options) {
  DotRefiner<T> refiner(image, centres, options);
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
