#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <vector>

// Grey-level measurements that drive the adaptive binarisation threshold of the detector. All
// take 8-bit one-channel images; rows need not be packed (region views of a larger image work).
namespace Oskelo::CV::Native64::detail {

// Integer mean (truncated) of all pixels of `img`, summed exactly (64 bits). Returns false and leaves
// `mean` as it was when the image has no pixel.
bool MeanGrey(const cv::Mat& img, int& mean);

// Otsu's method: the grey level that maximises the between-class variance of the histogram of
// the first `pixelCount` pixels of `img` in row order (at most all of them). Returns the last
// level of the dark class; 255 when no split separates two populated classes (a uniform or empty
// region). Same arithmetic as OpenCV's THRESH_OTSU, ties keeping the lowest level.
int OtsuThreshold(const cv::Mat& img, std::size_t pixelCount);

// Two grey levels of one dot's bounding patch: {background, centre}. The background is the
// darkest of 255 and the four corner pixels (they lie on the box, outside the round dot); the
// centre is the integer mean of the 3 x 3 neighbourhood of the middle pixel (row h/2, column w/2),
// clipped to the patch when it is narrower or lower than 3 pixels. Empty for an empty patch.
std::vector<double> CentroidThresholdLevels(const cv::Mat& patch);

// Threshold of the next search scaled by the brightness of the grey region relative to the
// reference level: ratio = meanGrey / referenceGrey in single precision, softened below 1 to
// 1 - (1 - ratio)^1.4, and threshold * ratio truncated. A ratio that is not finite (reference 0)
// leaves the threshold unchanged.
int ScaleThresholdByBrightness(int threshold, int meanGrey, int referenceGrey);

// Threshold midway between the darkest dot background and the brightest dot centre over all dots
// of a found target. Returns false (no change) when no dot gave levels, when the brightest centre
// is 0 or when the darkest background is 255.
bool ThresholdFromDotLevels(const std::vector<double>& backgroundLevels,
                            const std::vector<double>& centreLevels, int& threshold);

}  // namespace Oskelo::CV::Native64::detail
