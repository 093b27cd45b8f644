#pragma once

#include <opencv2/core.hpp>

// The point-set layouts accepted by the free geometry functions: a single-channel matrix with one
// point per row (or per column, when it has fewer rows than columns), or a multi-channel array of
// one row or one column with one point per element.
namespace Oskelo::CV::Native64::detail {

// Raises cv::Exception (StsAssert) with `condition` as its text unless `holds`, naming the public
// function, file and line given (NATIVE64_REQUIRE passes the caller's), so that a host sees the
// function it called rather than this helper.
void RequireCondition(bool holds, const char* condition, const char* function, const char* file,
                      int line);
#define NATIVE64_REQUIRE(holds, condition)                                                  \
  ::Oskelo::CV::Native64::detail::RequireCondition((holds), (condition), CV_Func, __FILE__, \
                                                   __LINE__)

// The point set as a single-channel N x D matrix, one point per row: a view of the input where its
// layout allows, a transposed copy for points stored as columns. The layout must have been checked.
cv::Mat PointsAsRows(const cv::Mat& set);

// Raises cv::Exception unless D is 2, 3 or 4, naming the function, file and line given
// (NATIVE64_REQUIRE_COORDINATES passes the caller's).
void RequireCoordinateCount(int D, const char* function, const char* file, int line);
#define NATIVE64_REQUIRE_COORDINATES(D) \
  ::Oskelo::CV::Native64::detail::RequireCoordinateCount((D), CV_Func, __FILE__, __LINE__)

}  // namespace Oskelo::CV::Native64::detail
