#pragma once

#include <opencv2/core.hpp>

// The point-set layouts accepted by the free geometry functions: a single-channel matrix with one
// point per row (or per column, when it has fewer rows than columns), or a multi-channel array of
// one row or one column with one point per element.
namespace Oskelo::CV::Native64::detail {

// Raises cv::Exception (StsAssert) with `condition` as its text unless `holds`.
void RequireCondition(bool holds, const char* condition);

// A copy of the point set as one row of N elements of D channels, D being the number of
// coordinates per point. The layout must have been checked.
cv::Mat PointSetAsRow(const cv::Mat& set);

// Raises cv::Exception unless D is 2, 3 or 4: the per-point means are taken per channel.
void RequireCoordinateCount(int D);

}  // namespace Oskelo::CV::Native64::detail
