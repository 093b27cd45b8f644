#pragma once

#include <opencv2/core/types.hpp>
#include <vector>

#include "native64/Native64Export.h"

// The container types that cross the library boundary are instantiated once, inside the library,
// so that host and library use one and the same instantiation of each. Host and library must be
// built against the same standard library and the same OpenCV headers.
extern template class NATIVE64_TEMPLATE_API std::vector<cv::Point_<double>>;
extern template class NATIVE64_TEMPLATE_API std::vector<cv::Point3_<double>>;
extern template class NATIVE64_TEMPLATE_API std::vector<std::vector<cv::Point_<double>>>;
extern template class NATIVE64_TEMPLATE_API cv::Rect_<int>;
