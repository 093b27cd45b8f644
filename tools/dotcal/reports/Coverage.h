#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace dotcal {

// Where a camera's accepted dots fell across its sensor. The lens model is fitted only where
// dots were seen; beyond them its distortion is extrapolated, and errors there grow fast. The
// outer fifth is the part of the image farther from its centre than four fifths of the way to
// the corners (in each direction, the image's border scaled by 0.8 about its centre), split into
// its four corners' quadrants.
struct Coverage {
  cv::Size imageSize;
  std::vector<cv::Point2d> dots;  // every accepted dot of every view, pixels
  // Per quadrant (top-left, top-right, bottom-right, bottom-left in the image), the dots in the
  // outer fifth.
  int outerDots[4] = {0, 0, 0, 0};
};

Coverage MeasureCoverage(cv::Size imageSize, const std::vector<std::vector<cv::Point2d>>& views);

// One sentence per quadrant of the outer fifth that received no dot, naming the camera; empty
// when every quadrant received some.
std::vector<std::string> CoverageWarnings(const Coverage& coverage, const std::string& camera);

// The sensor at `scale` of its size: the dots as points, the outer fifth's inner border as a
// rectangle, the quadrants without a dot shaded. A colour image, ready for a PNG.
cv::Mat DrawCoverage(const Coverage& coverage, double scale = 0.5);

}  // namespace dotcal
