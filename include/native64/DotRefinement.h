#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "native64/Native64Export.h"

// Sub-pixel refinement of the dots found by FindTargets from the image gradients along each dot's
// outline: the dual-conic fit of the tangent lines that the gradients give (Ouellet and Hebert,
// "Precise ellipse estimation without contour point extraction", Machine Vision and Applications
// 2009). Every edge pixel x_i with gradient g_i gives the line l_i = (g_i, -g_i . x_i) that should
// touch the dot's imaged ellipse; the dual conic C* with l_i^T C* l_i = 0 is fitted by weighted
// linear least squares, and its centre (C*_13, C*_23) / C*_33 is the dot's centre. The grey-level
// centroid of the detector is biased by noise in the bright ring around a dot; the outline is not.
//
// Per dot: 16 rays out of the centre find where the grey level crosses halfway between the dot's
// and the box's; the ellipse through those points places the edge band and gives the dot's size.
// The window is smoothed by a small Gaussian before the gradients (Scharr's filter) are taken,
// and pixels nearer another dot than this one and gradients that do not point away from the dot
// (neighbours, the box edge) are left out. Further passes, if asked for, take their band around
// the previous fit, and so does one more when the last fit lies far from its band's outline. A dot
// that cannot be refined keeps its input centre and says why in its flags.
namespace Oskelo::CV::Native64 {

struct DotRefinementOptions {
  // Half-width of the edge band around the dot's outline, in pixels. The fit takes the pixels
  // within this distance and half a pixel more of the outline (in the first pass the ellipse
  // through the rays' crossings, whose error the half pixel takes up; the previous fit
  // afterwards). Wider bands tolerate more blur and take in more noise and more of the
  // neighbours; 3 covers a blurred edge of sigma up to about 1.2 px (its gradient lies within 2.5
  // sigma of the rim).
  double edgeBandPx = 3.0;
  // Standard deviation, in pixels, of the Gaussian that smooths the window before its gradients
  // are taken (0: none). The squared gradients that weigh the tangent lines then spread over
  // more pixels across the edge, so that their sum over the pixel grid no longer depends on
  // where the rim falls between pixel centres (a bias of about 0.005 px RMS without smoothing on
  // 5 to 18 px dots, 0.0028 px with 1.0 and 0.0023 px with 1.2); it also averages the noise of
  // the gradients. Beyond about 1.3 the smoothed edge outgrows a 3 px band.
  double gradientSigmaPx = 1.2;
  // Number of fits per dot, at least 1: the first uses a band around the ellipse through the
  // rays' crossings, each further one a band around the previous fit, centred on it. On rendered
  // plates a second pass changes the centres by less than 0.001 px RMS and doubles the cost.
  int passes = 1;
  // One more fit, after the last of `passes`, when that fit's outline departs from the outline
  // its band was placed around by more than this, in pixels (the largest distance between the
  // two along 16 directions from their centres). The band then sat off the edge and cut its
  // profile unevenly, which moves the centre. On rendered plates the outlines through the rays'
  // crossings depart by 0.1 px (median) to 0.6 px, and by up to 0.55 px under a blur of sigma 3,
  // where a refit in the narrower band is worse; on strongly foreshortened dots they can be 2.8 px
  // off, and the refit takes such a dot from 0.04 px to 0.014 px off the truth. Infinity: never.
  double refitOffsetPx = 1.0;
  // Largest length, in pixels, of the rays that measure a dot's size when no neighbour limits them
  // (they reach halfway to the nearest neighbour otherwise). Dots of a larger radius are flagged
  // kDotFewEdgePixels (their rim is not crossed).
  double maxWindowRadiusPx = 60.0;
  // A pixel takes part when its gradient magnitude is at least this share of the strongest one in
  // the band. Lower takes in more pixels of noise (weighted down by their small gradient) and more
  // of the edge's tails, higher keeps only the steepest part of the edge. On rendered plates 0.05
  // gives centres 2 to 5 % closer to the truth than 0.1, and 0.2 gives them 6 to 20 % farther.
  double minGradientShare = 0.05;
  // A pixel takes part when its gradient points away from the dot: the cosine between the
  // gradient and the outward normal of the outline (the direction from the centre in the first
  // pass) is at least this. Lower accepts more of the box edge's and neighbours' gradients.
  double minOutwardCos = 0.7;
  // kDotCrowded when the gradient energy (sum of squared magnitudes) of the band's strong pixels
  // that are left out (nearer another dot, or pointing the wrong way) exceeds this share of the
  // energy that takes part. Higher refines dots with more foreign edges close by.
  double maxForeignShare = 0.25;
  // kDotCrowded also when one of 8 equal angular sectors around the dot holds less than this share
  // of the mean sector energy: that part of the outline is hidden or cut. Lower accepts more of a
  // cut outline (a dot partly off the box).
  double minSectorShare = 0.3;
  // kDotFewEdgePixels below this number of pixels taking part in a fit, or below minRadiusPx.
  int minEdgePixels = 24;
  // Smallest estimated radius, in pixels, that is refined (kDotFewEdgePixels below it).
  double minRadiusPx = 2.0;
  // kDotPoorFit when the fitted centre lies farther than this from the input centre, in pixels.
  // The detector's centres are within about 0.1 px of the truth; a larger move means the fit
  // took in something other than the dot's outline.
  double maxShiftPx = 0.5;
  // kDotPoorFit when RefinedDot::quality (the fit's formal centre deviation) exceeds this, in
  // pixels. Rendered dots give 0.07 to 0.15 px (their true error is about a tenth of that); a fit
  // that took in foreign edges or noise gives more.
  double maxQualityPx = 0.5;
  // After the dual-conic fit, fit the dot's image itself to the grey levels of its edge band: a
  // dark ellipse on a bright ground blurred by a Gaussian, its centre, shape, two levels and blur
  // fitted by Gauss-Newton least squares from the conic's ellipse (the maximum-likelihood
  // estimate under Gaussian sensor noise). It takes the edge's blur into the model instead of
  // cutting the smoothed edge at the band, so it stays accurate under strong blur: on rendered
  // plates (noise 1.5 grey levels) 0.0052 px RMS against the conic's 0.0058 at a blur of sigma
  // 0.7 px, 0.0063 against 0.011 at 1.5 and 0.0079 against 0.032 at 3; 0.0045 against 0.0057 at
  // 0.7 when the blur acts on the light before the pixels integrate it, as a lens's does (the
  // edge's profile then does not change with where it falls between pixel centres). It about
  // triples the refinement's time. A dot whose fit fails (a singular or diverging system, a blur
  // wider than the band, a move of more than 1 px) keeps the conic's ellipse; `quality` stays
  // the conic's.
  bool fitGreyLevels = false;
};

// Why a dot kept its input centre (bits of RefinedDot::flags; 0: refined).
enum DotRefinementFlag : unsigned {
  kDotAtBorder = 1,       // the dot's window is cut by the image border, or its centre is not
                          // a finite point of the image
  kDotSaturated = 2,      // pixels at the image type's maximum (or 0) in the edge band
  kDotCrowded = 4,        // a neighbour or the box edge leaves too little clean edge
  kDotFewEdgePixels = 8,  // too few edge pixels for a fit (tiny dot, no contrast)
  kDotPoorFit = 16,       // the fit is not an ellipse, its centre moved too far, or its quality
                          // is beyond DotRefinementOptions::maxQualityPx
};

struct RefinedDot {
  // The refined centre in pixels (pixel (c, r) covers [c - 0.5, c + 0.5] x [r - 0.5, r + 0.5]),
  // or the input centre unchanged when flags != 0. The refinement never makes it NaN; a
  // non-finite input centre is returned as given, flagged kDotAtBorder.
  cv::Point2d centre;
  // The last fitted ellipse: centre, semi-axes in pixels, and the major axis' angle in degrees
  // from the image x axis toward the y axis (down), in (-90, 90]. NaN when no fit was made; set
  // (and not used for `centre`) when the fit was made but the dot is flagged.
  cv::Point2d ellipseCentre;
  double semiMajor;
  double semiMinor;
  double angleDeg;
  // The fit's formal standard deviation of the centre, in pixels: the root of the trace of the
  // centre's covariance, taking the weighted residuals of the tangent lines as independent noise.
  // Most of those residuals come from the edge's own width (pixels inside and outside the rim give
  // lines parallel to the tangent, which cancel in the centre), so this overstates the real
  // scatter about tenfold: a relative measure of how well the edge fits an ellipse, lower is
  // better. NaN when no fit was made.
  double quality;
  int edgePixels;  // pixels that took part in the last fit (0 when none)
  unsigned flags;  // 0: refined; else DotRefinementFlag bits
};

// Refines dots found by FindTargets in `image` (CV_8UC1 or CV_16UC1, any size and row step, a
// view into a larger image allowed). `centres` are the detector's centres of one target (all its
// dots, in any order), in the image's pixel coordinates; they also tell each dot where its
// neighbours are, to mask them out. Dark dots on a bright ground. Returns one result per centre,
// in input order. Throws cv::Exception, before anything is read, for an empty image, another type
// or more than two dimensions. Never reads outside the image: a centre that is not finite or whose
// window is cut by the border is flagged. Any option values are safe (non-finite or out-of-range
// ones are clamped to working values or flag every dot).
NATIVE64_API std::vector<RefinedDot> RefineDots(const cv::Mat& image,
                                                const std::vector<cv::Point2d>& centres,
                                                const DotRefinementOptions& options = {});

}  // namespace Oskelo::CV::Native64
