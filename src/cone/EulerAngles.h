#pragma once

#include <opencv2/core.hpp>

// Euler angles of a rotation in one of six orders of elementary right-handed rotations.
namespace Oskelo::CV::Native64::detail {

// The five elements of a rotation that determine its angles in one order: sine and cosine of the
// first angle (up to a common positive factor), sine of the middle angle, and sine and cosine of
// the third angle (up to a common positive factor).
struct EulerTerms {
  double firstSin;
  double firstCos;
  double middleSin;
  double thirdSin;
  double thirdCos;
};

// Picks the terms from the upper-left 3x3 block of a CV_64F rotation or homogeneous transform for
// `order` (Cone::eulerOrder; values outside 0..5 act as 1).
EulerTerms SelectEulerTerms(const cv::Mat& rotation, int order);

// (atan2 of the first pair, asin of the middle sine, atan2 of the third pair), in radians. At the
// singular orientation (|middleSin| = 1) the first and third angles are NaN.
cv::Point3_<double> ComputeEulerAngles(const EulerTerms& terms);

// SelectEulerTerms followed by ComputeEulerAngles.
cv::Point3_<double> EulerAngles(const cv::Mat& rotation, int order);

}  // namespace Oskelo::CV::Native64::detail
