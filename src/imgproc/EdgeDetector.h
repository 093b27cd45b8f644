#pragma once

#include <opencv2/core.hpp>

namespace Oskelo::CV::Native64::detail {

// Diagnostic edge image: shows the Canny edges of the Gaussian-smoothed image (5 x 5, thresholds
// 20 and 30, aperture 5), then replaces `img` by the absolute Laplacian (kernel 1, 16-bit) of its
// inverted and 3 x 3 smoothed self, saturated to 8 bits, and shows it. Prints the time of each of
// the five stages ("\n%f", seconds). `img`: 8-bit, one channel. Without a display nothing is shown
// and nothing waits.
void EdgeDetector(cv::Mat& img);

}  // namespace Oskelo::CV::Native64::detail
