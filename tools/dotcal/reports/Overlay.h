#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace dotcal {

// The image in colour with every detected dot circled and numbered in grid order (0 first), for
// checking detection and order by eye.
cv::Mat DrawDots(const cv::Mat& grey, const std::vector<cv::Point2d>& dots);

}  // namespace dotcal
