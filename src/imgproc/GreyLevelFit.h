#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "imgproc/DualConicFit.h"

// The maximum-likelihood refinement of a dot's ellipse from the grey levels around its outline:
// the image of a dark ellipse on a bright ground, blurred by a Gaussian, fitted to the pixels by
// Gauss-Newton least squares. Under Gaussian sensor noise this is the efficient estimator; unlike
// the tangent lines of the dual-conic fit it takes the edge's blur as a parameter rather than
// cutting its tails at the band's edge, which keeps it unbiased under strong blur.
namespace Oskelo::CV::Native64::detail {

// Grey levels of a window of the image: pixel (x, y) at grey[(y - y0) * stride + (x - x0)], for
// x0 <= x < x0 + cols and y0 <= y < y0 + rows.
struct GreyWindow {
  const float* grey;
  int stride;
  int x0, y0, cols, rows;
};

// The model at a pixel q (offset from the ellipse's centre): D + (B - D) Phi(d / s), Phi the
// standard normal distribution, d the signed distance to the outline q^T Q q = 1 to first order,
// (F - sqrt F) / |Q q| for F = q^T Q q (exact on a circle), s the edge's deviation. Pixels are
// taken as points at their centres: the pixel's area adds about 1/12 px^2 to s^2 and nothing to
// the centre.
struct GreyLevelFitResult {
  FittedEllipse ellipse;  // valid false when the fit failed; centreSigma 0 (not estimated)
  int pixels = 0;         // pixels fitted
};

// Fits the pixels of `window` near the outline of `start` (within three of the edge's deviations,
// first guessed as `edgeSigma`, and at least 2.5 px, but within `halfWidth`) and nearer its
// centre than every one of `neighbours` (centres of the other dots, pixels). Fails (ellipse.valid
// false) with fewer than 24 pixels, a singular or diverging system, a contrast that is not dark
// on bright, an edge deviation beyond the pixels' reach or a centre more than 1 px from the
// start's.
GreyLevelFitResult FitGreyLevels(const GreyWindow& window, const FittedEllipse& start,
                                 double edgeSigma, double halfWidth,
                                 const std::vector<cv::Point2d>& neighbours);

}  // namespace Oskelo::CV::Native64::detail
