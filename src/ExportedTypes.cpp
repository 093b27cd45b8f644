#include "ExportedTypes.h"

#if !defined(_WIN32)
#pragma GCC visibility push(default)
#endif
template class NATIVE64_TEMPLATE_API std::vector<cv::Point_<double>>;
template class NATIVE64_TEMPLATE_API std::vector<cv::Point3_<double>>;
template class NATIVE64_TEMPLATE_API std::vector<std::vector<cv::Point_<double>>>;
template class NATIVE64_TEMPLATE_API cv::Rect_<int>;
#if !defined(_WIN32)
#pragma GCC visibility pop
#endif
