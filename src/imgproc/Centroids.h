#pragma once

#include <opencv2/core.hpp>
#include <vector>

// Dot centres: the plain mean of a contour, and the grey-level weighted centroid that refines it.
namespace Oskelo::CV::Native64::detail {

// Mean of the contour's points (no origin added); NaN for an empty contour.
cv::Point2d ContourMean(const std::vector<cv::Point>& contour);

// base^power by repeated squaring in double precision; power 0 gives 1, a negative power the
// reciprocal of base^-power.
double IntegerPower(double base, int power);

// Weighted centroid of the dark pixels around one dot. The window is `rect` grown by `margin` on
// every side; the background level u is the brightest of the four samples at the window's
// upper-left pixel and one step beyond its right and lower edges. Every window pixel v below u
// weighs (u - v)^power; the result is origin + the weighted mean position, or NaN coordinates when
// no pixel is darker than u. Window and samples are clipped to the image (samples move to the
// nearest pixel inside), so dots at the border are safe. `image`: 8-bit, one channel.
cv::Point2d RefineCentroid(const cv::Rect& rect, const cv::Mat& image, int margin, int power,
                           const cv::Point& origin);

}  // namespace Oskelo::CV::Native64::detail
