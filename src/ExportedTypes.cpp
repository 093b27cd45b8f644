// The push comes before the includes: under -fvisibility=hidden the OpenCV point types would be
// hidden types, and an instantiation over a hidden type stays hidden whatever the pragma around
// it says, so the vectors' members would not be exported and hosts could not link against them.
#if !defined(_WIN32)
#pragma GCC visibility push(default)
#endif
#include "native64/ExportedTypes.h"

template class NATIVE64_TEMPLATE_API std::vector<cv::Point_<double>>;
template class NATIVE64_TEMPLATE_API std::vector<cv::Point3_<double>>;
template class NATIVE64_TEMPLATE_API std::vector<std::vector<cv::Point_<double>>>;
template class NATIVE64_TEMPLATE_API cv::Rect_<int>;
#if !defined(_WIN32)
#pragma GCC visibility pop
#endif
