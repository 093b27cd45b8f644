#pragma once

#include <array>
#include <opencv2/core.hpp>

// Ellipse fits for the dot refinement. Chiefly the dual-conic ellipse fit of Ouellet and Hebert
// ("Precise ellipse estimation without contour point extraction", Machine Vision and Applications
// 2009): lines that should touch an ellipse, each given by a point and a normal, are fitted by the
// dual conic C* with l^T C* l = 0 in weighted linear least squares, C*_33 fixed at 1.
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
//
// With the paper's weighting, the squared gradient magnitude |g|^2, every entry of the normal
// equations is a sum of one degree-4 monomial of the raw line (gx, gy, c) over |g|^2, c the
// line's offset for the raw gradient: 15 distinct sums, named by their monomial (xxyc is
// gx^2 gy c), where the 5 x 5 system with its right-hand side and residual would take 21. No
// square root is taken, and the sums are plain members, which the compiler keeps in registers in
// the loop over a dot's edge pixels.
class DualConicAccumulator {
 public:
  DualConicAccumulator(const cv::Point2d& origin, double scale)
      : origin_(origin), scale_(scale), inverseScale_(1.0 / scale) {}

  // Adds the line through the pixel at `offset` from the origin, in pixels, whose normal is the
  // image gradient (gx, gy) there.
  void AddGradientLine(const cv::Point2d& offset, double gx, double gy) {
    const double g2 = gx * gx + gy * gy;
    if (!(g2 > 0.0)) return;
    const double c = -(gx * offset.x + gy * offset.y) * inverseScale_;
    const double inverse = 1.0 / g2;
    const double xx = gx * gx, xy = gx * gy, yy = gy * gy, xc = gx * c, yc = gy * c, cc = c * c;
    const double wxx = inverse * xx, wxy = inverse * xy, wyy = inverse * yy;
    const double wxc = inverse * xc, wyc = inverse * yc;
    xxxx_ += wxx * xx;
    xxxy_ += wxx * xy;
    xxyy_ += wxx * yy;
    xyyy_ += wxy * yy;
    yyyy_ += wyy * yy;
    xxxc_ += wxx * xc;
    xxyc_ += wxx * yc;
    xyyc_ += wxy * yc;
    yyyc_ += wyy * yc;
    xxcc_ += wxc * xc;
    xycc_ += wxc * yc;
    yycc_ += wyc * yc;
    xccc_ += wxc * cc;
    yccc_ += wyc * cc;
    cccc_ += inverse * cc * cc;
    ++count_;
  }

  // Adds sums taken elsewhere in the same coordinates: the 15 sums in the order of the members
  // below (xxxx, xxxy, xxyy, xyyy, yyyy, xxxc, xxyc, xyyc, yyyc, xxcc, xycc, yycc, xccc, yccc,
  // cccc) over `count` lines.
  void AddSums(const std::array<double, 15>& sums, int count) {
    double* const members[15] = {&xxxx_, &xxxy_, &xxyy_, &xyyy_, &yyyy_, &xxxc_, &xxyc_, &xyyc_,
                                 &yyyc_, &xxcc_, &xycc_, &yycc_, &xccc_, &yccc_, &cccc_};
    for (std::size_t k = 0; k < sums.size(); ++k) *members[k] += sums[k];
    count_ += count;
  }

  int count() const { return count_; }

  // Solves the normal equations; `valid` false for fewer than 6 lines, a singular system or a
  // conic that is not an ellipse.
  FittedEllipse Solve() const;

 private:
  cv::Point2d origin_;
  double scale_;
  double inverseScale_;
  double xxxx_ = 0.0, xxxy_ = 0.0, xxyy_ = 0.0, xyyy_ = 0.0, yyyy_ = 0.0;
  double xxxc_ = 0.0, xxyc_ = 0.0, xyyc_ = 0.0, yyyc_ = 0.0;
  double xxcc_ = 0.0, xycc_ = 0.0, yycc_ = 0.0, xccc_ = 0.0, yccc_ = 0.0, cccc_ = 0.0;
  int count_ = 0;
};

// The ellipse through `count` points (at least 5) by the ordinary algebraic conic fit
// A u^2 + B uv + C v^2 + D u + E v = 1 in coordinates divided by `scale` (about the ellipse's
// radius, for conditioning), the origin inside the ellipse. `valid` false when the points do not
// determine a real ellipse. centreSigma is not estimated (0).
FittedEllipse EllipseThroughPoints(const cv::Point2d* points, int count, double scale);

// The ellipse {x : (x - centre)^T shape (x - centre) = 1} with its axes and angle; `valid` false
// when `shape` is not positive definite or the centre is not finite. centreSigma is 0.
FittedEllipse EllipseFromShape(const cv::Point2d& centre, const cv::Matx22d& shape);

}  // namespace Oskelo::CV::Native64::detail
