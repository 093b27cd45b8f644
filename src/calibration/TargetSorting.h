#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace Oskelo::CV::Native64::detail {

// Orders the detected targets of one view of the plate row by row: the outline's four corners
// (upper-left, upper-right, lower-left, lower-right by image position) are matched with the first
// and last nominal points of the first and last row, every target is mapped into plate
// coordinates by that homography, and the targets are sorted by plate y into rows of
// gridSize.width and each row by plate x. Returns an empty list when the outline has no four
// corners, when fewer than width x height targets are given, when a target is not finite, or when
// the nominal list is shorter than the grid. Targets beyond the last full row are not returned.
std::vector<cv::Point2d> SortAgainstPlate(const std::vector<cv::Point2d>& points,
                                          const std::vector<cv::Point3d>& nominal,
                                          cv::Size gridSize);

}  // namespace Oskelo::CV::Native64::detail
