#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace Oskelo::CV::Native64::detail {

// One placement of a C x R grid on the normalised square: for every node (a, b), 0 <= a < C,
// 0 <= b < R, whether a dot was found there and which input point it is.
class GridPlacement {
 public:
  GridPlacement(int columns, int rows);

  int Columns() const { return columns_; }
  int Rows() const { return rows_; }
  int Hits() const { return hits_; }
  bool Present(int a, int b) const { return presence_[Cell(a, b)] != 0; }
  int PointIndex(int a, int b) const { return index_[Cell(a, b)]; }  // valid where Present
  void Place(int a, int b, int pointIndex);  // marks the node found, one more hit

 private:
  std::size_t Cell(int a, int b) const;

  int columns_;
  int rows_;
  int hits_ = 0;
  std::vector<int> presence_;  // 1 where a dot was found
  std::vector<int> index_;     // input index of that dot
};

// Index of the first point strictly inside the box of half-width `tolerance` around `node`
// (lowest index wins when several are), or -1 when no point is.
int FindGridPoint(const std::vector<cv::Point2d>& points, const cv::Point2d& node,
                  double tolerance);

// FindGridPoint for many nodes of the normalised square (0 to 100 on both axes) on the same
// points: the points are kept in cells as wide as a node's box (those beyond the square in the
// outermost), so that a node is compared with the few points near it. Gives FindGridPoint's
// answer for every node. `points` must outlive the matcher; a tolerance below 0.05 (more than
// 1024 cells a side) is refused with cv::Exception.
class GridPointMatcher {
 public:
  GridPointMatcher(const std::vector<cv::Point2d>& points, double tolerance);
  int Find(const cv::Point2d& node) const;

 private:
  int Cell(double v) const;
  std::size_t Bucket(int cx, int cy) const {
    return static_cast<std::size_t>(cy) * static_cast<std::size_t>(cells_) +
           static_cast<std::size_t>(cx);
  }

  const std::vector<cv::Point2d>& points_;
  double tolerance_, low_, cellSide_;
  int cells_;
  std::vector<std::size_t> cellStarts_;  // per cell, where its points begin in indices_
  std::vector<int> indices_;             // point indices by cell, ascending within each
};

// Reference corner of the placement (0 to 3: nodes (0, 0), (C-1, 0), (C-1, R-1), (0, R-1)): the
// corner from which a walk around the border ring meets the missing nodes soonest on average
// (score = mean offset of the missing nodes, or the ring length when none but the corner itself
// is missing). A tie of the two best corners is settled by the same scores on the inner ring
// when both counts are at least 4. Precondition: C >= 2 and R >= 2.
int ChooseReferenceCorner(const GridPlacement& placement);

// Emits the found dots line by line from the reference corner, the first line being the ring
// side that leaves that corner; `gridMap` gets one list per line, 1 where a dot was found.
// Returns the points of `points` (image coordinates) in that order.
std::vector<cv::Point2d> OrientGrid(const GridPlacement& placement,
                                    const std::vector<cv::Point2d>& points,
                                    std::vector<std::vector<int>>& gridMap);

// Grid ordering of dot centres: finds the four outer corners of the cloud (CornerQuadrilateral),
// maps the cloud by the perspective transform of those corners onto a 100 x 100 square, matches
// dots to the nodes of a columns x rows grid in two placements turned a quarter turn apart, keeps
// the one with more hits, and emits the found dots with OrientGrid. Dots on no node are dropped.
// `ordered` is always cleared; `gridMap` is replaced only when a four-corner outline was found,
// otherwise `ordered` stays empty. Throws std::length_error when the outline was found but the
// grid has fewer than 2 nodes in either direction or more than 65536 nodes in all.
void SortGridPoints(const std::vector<cv::Point2d>& points, int columns, int rows,
                    std::vector<cv::Point2d>& ordered, std::vector<std::vector<int>>& gridMap);

}  // namespace Oskelo::CV::Native64::detail
