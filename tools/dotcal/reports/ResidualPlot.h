#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace dotcal {

// Per-dot residuals across one camera's sensor: for every dot of every view, an arrow from the
// dot's centre along its residual (the fitted plate's projection minus the centre) magnified
// `magnification` times (0: so that the RMS residual is some 15 plot pixels long, rounded to 1,
// 2 or 5 times a power of ten), on the sensor drawn at `scale` of its size, with a scale arrow
// in the corner. Residuals that point the same way over a region show a lens or rig model that
// does not fit there; noise points every way. A colour image, ready for a PNG.
cv::Mat PlotResiduals(cv::Size imageSize, const std::vector<std::vector<cv::Point2d>>& dots,
                      const std::vector<std::vector<cv::Point2d>>& residuals,
                      double magnification = 0.0, double scale = 0.5);

}  // namespace dotcal
