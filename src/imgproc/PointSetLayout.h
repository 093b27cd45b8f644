#pragma once

#include <opencv2/core.hpp>

// The point-set layouts accepted by the free geometry functions: a single-channel matrix with one
// point per row (or per column, when it has fewer rows than columns), or a multi-channel array of
// one row or one column with one point per element.
namespace Oskelo::CV::Native64::detail {

// Raises cv::Exception (StsAssert) with `condition` as its text unless `holds`.
void RequireCondition(bool holds, const char* condition);

// The point set as a single-channel N x D matrix, one point per row: a view of the input where its
// layout allows, a transposed copy for points stored as columns. The layout must have been checked.
cv::Mat PointsAsRows(const cv::Mat& set);

// Raises cv::Exception unless D is 2, 3 or 4.
void RequireCoordinateCount(int D);

}  // namespace Oskelo::CV::Native64::detail
