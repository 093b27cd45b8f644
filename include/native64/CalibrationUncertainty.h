#pragma once

#include <opencv2/core.hpp>

#include "native64/Calibration.h"
#include "native64/Native64Export.h"

// How well a stereo calibration is determined by the views it was made from: the standard
// deviations of its parameters and of the points it triangulates.
//
// The calibration's final solve (cv::stereoCalibrate with both cameras' intrinsics free) is a
// least-squares fit of both cameras' nine intrinsics, the right camera's pose and every view's
// plate pose to the dot centres. Near its minimum the parameters' covariance is
// sigma^2 (J^T J)^-1, with J the Jacobian of the reprojection residuals and sigma^2 the residual
// variance per coordinate (Hartley & Zisserman, Multiple View Geometry, 2nd ed., 5.2 and A6.4).
// The plate poses are eliminated by their Schur complement, as bundle adjustment does; what
// remains is the covariance of the 24 rig parameters.
namespace Oskelo::CV::Native64 {

// A triangulated point and its standard deviations, in the left camera's frame (z is depth).
struct PointUncertainty {
  cv::Point3d point;   // plate units
  cv::Vec3d sigma;     // per axis, plate units
  double total = 0.0;  // sqrt of the sum of the three variances: the RMS distance of the error
};

struct CalibrationUncertainty {
  // The standard deviation of one centre coordinate, estimated from the final solve's residuals
  // (the sum of squares over the observations' degrees of freedom left by the fit), pixels. It
  // holds the centres' noise and whatever the camera model does not describe.
  double centreNoisePx = 0.0;
  int views = 0;         // the views of the fit
  int observations = 0;  // residual coordinates: 4 per dot and view (two images, x and y)
  int parameters = 0;    // 24 for the rig, 6 per view's plate pose

  // Standard deviations of fx, fy, cx, cy (pixels) and k1, k2, p1, p2, k3 of each camera.
  cv::Vec<double, 9> left, right;
  // ... of the rotation vector of R (cv::Rodrigues, radians) and of T (plate units).
  cv::Vec3d rotation, translation;
  double baseline = 0.0;  // of |T|, plate units

  // The covariance of the 24 rig parameters, 24 x 24 in the order above: the left camera's nine,
  // the right camera's nine, the rotation vector, T.
  cv::Mat covariance;

  // The working volume: the median distance (depth) of the plate's centre over the views, and
  // the uncertainty of a point triangulated there from a new pair of centres measured with
  // centreNoisePx, on the ray of the left image's centre and on the worst of the rays of its four
  // corners (a corner whose ray gives no finite point is left out; all zero when none does). Both
  // the rig's uncertainty and the centres' noise contribute.
  double medianDistance = 0.0;
  PointUncertainty atCentre, atCorner;
};

// The uncertainty of `calibration`'s current parameters (after ComputeStereoCalibration or
// CalibrateUnbiased stored them) from the pairs whose two target lists hold every nominal point
// as finite points, the pairs the calibration used. Each view's plate pose is re-estimated in both
// cameras with the rig held fixed, which puts the residuals at the fit's minimum.
//
// Throws cv::Exception when no pair is usable, when the parameters are missing or not finite, when
// the views leave the parameters undetermined (too few views, or views that do not constrain
// every parameter: the normal equations are then singular and no standard deviation exists), and
// when the residuals or the result would not be finite: no NaN is returned.
NATIVE64_API CalibrationUncertainty EstimateCalibrationUncertainty(const Calibration& calibration);

// The uncertainty of the point `depth` plate units deep on the ray of `leftPixel` (a raw left
// image pixel), triangulated from its images in both cameras measured with `centreNoisePx`, given
// the rig `parameters` and their covariance (24 x 24, as in CalibrationUncertainty). The
// propagation is first order through the optimal two-view triangulation (the point that
// minimises the reprojection error in both images).
NATIVE64_API PointUncertainty TriangulatedPointUncertainty(const CalibrationParameters& parameters,
                                                           const cv::Mat& covariance,
                                                           double centreNoisePx,
                                                           cv::Point2d leftPixel, double depth);

}  // namespace Oskelo::CV::Native64
