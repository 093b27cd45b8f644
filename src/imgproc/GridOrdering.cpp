#include "imgproc/GridOrdering.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <utility>

#include "imgproc/CornerQuadrilateral.h"

namespace Oskelo::CV::Native64::detail {
namespace {

constexpr double kSquareSide = 100.0;   // side of the normalised square the outline maps onto
constexpr double kNodeTolerance = 3.0;  // half-width of a node's box, in normalised units
constexpr int kMaxMatcherCells = 1024;  // cells per side of a GridPointMatcher
constexpr std::size_t kNoCell = static_cast<std::size_t>(-1);
constexpr int kMinimumNodesPerSide = 2;   // the border ring needs two nodes per side
constexpr int kInnerRingMinimumSide = 2;  // inner grid of 2 x 2 or more: it has its own corners
constexpr char kTooSmallGrid[] = "grid ordering: the grid needs at least 2 x 2 nodes";
// Nodes a grid may have: each placement keeps two ints per node and every node is searched for a
// dot, so a mistaken grid shape (gridColumns or gridRows in the millions) is refused instead of
// exhausting memory and time. The calibration plate has 117 nodes.
constexpr long long kMaxGridNodes = 1 << 16;
constexpr char kTooLargeGrid[] = "grid ordering: the grid has more than 65536 nodes";

// Throws std::length_error unless the grid has 2 to kMaxGridNodes nodes in all, at least 2 per
// direction.
void RequireGridShape(int columns, int rows) {
  if (columns < kMinimumNodesPerSide || rows < kMinimumNodesPerSide) {
    throw std::length_error(kTooSmallGrid);
  }
  if (static_cast<long long>(columns) * rows > kMaxGridNodes)
    throw std::length_error(kTooLargeGrid);
}

// Border ring of the sub-grid of `columns` x `rows` nodes whose first node is (origin, origin):
// its four sides in turn, and the ring positions of its corners 0 to 3.
struct Ring {
  std::vector<cv::Point> nodes;  // (a, b) of each ring position
  std::array<std::size_t, 4> corners;
};

Ring BorderRing(int origin, int columns, int rows) {
  Ring ring;
  auto add = [&](int a, int b) { ring.nodes.emplace_back(origin + a, origin + b); };
  for (int a = 0; a <= columns - 1; ++a) add(a, 0);
  for (int b = 1; b <= rows - 1; ++b) add(columns - 1, b);
  for (int a = columns - 2; a >= 0; --a) add(a, rows - 1);
  for (int b = rows - 2; b >= 1; --b) add(0, b);
  const std::size_t c = static_cast<std::size_t>(columns);
  const std::size_t r = static_cast<std::size_t>(rows);
  ring.corners = {0, c - 1, c + r - 2, 2 * c + r - 3};
  return ring;
}

// Per corner: the mean offset, walking once around the ring from that corner, at which missing
// nodes are met; `zeroSumScore` when there is none except possibly the corner itself.
std::array<double, 4> RingScores(const GridPlacement& placement, const Ring& ring,
                                 double zeroSumScore) {
  const std::size_t length = ring.nodes.size();
  std::array<double, 4> scores{};
  for (std::size_t corner = 0; corner < 4; ++corner) {
    unsigned long long sum = 0;
    unsigned long long count = 0;
    for (std::size_t offset = 0; offset < length; ++offset) {
      const cv::Point& node = ring.nodes[(ring.corners[corner] + offset) % length];
      if (!placement.Present(node.x, node.y)) {
        sum += offset;
        ++count;
      }
    }
    scores[corner] =
        sum == 0 ? zeroSumScore : static_cast<double>(sum) / static_cast<double>(count);
  }
  return scores;
}

int LowestArgMin(const std::array<double, 4>& scores) {
  return static_cast<int>(std::min_element(scores.begin(), scores.end()) - scores.begin());
}

// Node number k of line `line` when emitting from reference corner `corner`.
cv::Point NodeOnLine(int corner, int line, int k, int columns, int rows) {
  switch (corner) {
    case 0:
      return {k, line};
    case 1:
      return {columns - 1 - line, k};
    case 2:
      return {columns - 1 - k, rows - 1 - line};
    default:
      return {line, rows - 1 - k};
  }
}

// Outline corners in hull order, starting at the last one right of and below their average
// (corner 0 when none is), as the source of the map onto the square.
std::array<cv::Point2f, 4> OutlineFromLowerRight(const std::vector<cv::Point2f>& quad) {
  const float mx = 0.25f * (quad[0].x + quad[1].x + quad[2].x + quad[3].x);
  const float my = 0.25f * (quad[0].y + quad[1].y + quad[2].y + quad[3].y);
  std::size_t start = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (quad[i].x - mx > 0 && quad[i].y - my > 0) start = i;
  }
  std::array<cv::Point2f, 4> outline;
  for (std::size_t i = 0; i < 4; ++i) outline[i] = quad[(start + i) % 4];
  return outline;
}

// The points mapped by the perspective transform that takes the outline onto the square
// (0, 0), (100, 0), (100, 100), (0, 100).
std::vector<cv::Point2d> NormaliseToSquare(const std::vector<cv::Point2d>& points,
                                           const std::vector<cv::Point2f>& quad) {
  const std::array<cv::Point2f, 4> source = OutlineFromLowerRight(quad);
  const float side = static_cast<float>(kSquareSide);
  const cv::Point2f square[4] = {{0, 0}, {side, 0}, {side, side}, {0, side}};
  const cv::Mat toSquare = cv::getPerspectiveTransform(source.data(), square);
  std::vector<cv::Point2d> normalised;
  cv::perspectiveTransform(points, normalised, toSquare);
  return normalised;
}

// Matches the normalised points to the nodes of both placements: A puts node (a, b) at
// (a * sC, b * sR); B is A turned a quarter turn, node (0, 0) on the square's second corner.
void FitPlacements(const std::vector<cv::Point2d>& normalised, GridPlacement& placementA,
                   GridPlacement& placementB) {
  const int columns = placementA.Columns();
  const int rows = placementA.Rows();
  const double pitchC = kSquareSide / (columns - 1);
  const double pitchR = kSquareSide / (rows - 1);
  const GridPointMatcher matcher(normalised, kNodeTolerance);
  for (int a = 0; a < columns; ++a) {
    for (int b = 0; b < rows; ++b) {
      const int inA = matcher.Find({a * pitchC, b * pitchR});
      if (inA != -1) placementA.Place(a, b, inA);
      const int inB = matcher.Find({b * pitchR, a * pitchC});
      if (inB != -1) placementB.Place(a, rows - 1 - b, inB);
    }
  }
}

}  // namespace

GridPlacement::GridPlacement(int columns, int rows) : columns_(columns), rows_(rows) {
  RequireGridShape(columns, rows);
  const std::size_t cells = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  presence_.assign(cells, 0);
  index_.assign(cells, 0);
}

std::size_t GridPlacement::Cell(int a, int b) const {
  CV_DbgAssert(0 <= a && a < columns_ && 0 <= b && b < rows_);
  return static_cast<std::size_t>(a) * static_cast<std::size_t>(rows_) +
         static_cast<std::size_t>(b);
}

void GridPlacement::Place(int a, int b, int pointIndex) {
  presence_[Cell(a, b)] = 1;
  index_[Cell(a, b)] = pointIndex;
  ++hits_;
}

int FindGridPoint(const std::vector<cv::Point2d>& points, const cv::Point2d& node,
                  double tolerance) {
  for (std::size_t i = 0; i < points.size(); ++i) {
    const cv::Point2d& p = points[i];
    if (node.x - tolerance < p.x && p.x < node.x + tolerance && node.y - tolerance < p.y &&
        p.y < node.y + tolerance) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

GridPointMatcher::GridPointMatcher(const std::vector<cv::Point2d>& points, double tolerance)
    : points_(points),
      tolerance_(tolerance),
      low_(-tolerance),
      cellSide_(2.0 * tolerance),
      cells_(static_cast<int>((kSquareSide + 2.0 * tolerance) / (2.0 * tolerance)) + 1) {
  CV_Assert(tolerance > 0.0 && cells_ <= kMaxMatcherCells);
  // A counting sort of the point indices by cell, ascending within each.
  std::vector<std::size_t> cellOf(points.size(), kNoCell);
  cellStarts_.assign(static_cast<std::size_t>(cells_) * static_cast<std::size_t>(cells_) + 1, 0);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const cv::Point2d& p = points[i];
    if (std::isnan(p.x) || std::isnan(p.y)) continue;  // inside no box
    cellOf[i] = Bucket(Cell(p.x), Cell(p.y));
    ++cellStarts_[cellOf[i] + 1];
  }
  for (std::size_t c = 1; c < cellStarts_.size(); ++c) cellStarts_[c] += cellStarts_[c - 1];
  indices_.resize(cellStarts_.back());
  std::vector<std::size_t> filled(cellStarts_.begin(), cellStarts_.end() - 1);
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (cellOf[i] != kNoCell) indices_[filled[cellOf[i]]++] = static_cast<int>(i);
  }
}

int GridPointMatcher::Find(const cv::Point2d& node) const {
  int found = -1;
  // Cells are monotone in the coordinate, so every point inside the box lies in these.
  for (int cy = Cell(node.y - tolerance_); cy <= Cell(node.y + tolerance_); ++cy) {
    for (int cx = Cell(node.x - tolerance_); cx <= Cell(node.x + tolerance_); ++cx) {
      const std::size_t cell = Bucket(cx, cy);
      for (std::size_t k = cellStarts_[cell]; k < cellStarts_[cell + 1]; ++k) {
        const int i = indices_[k];
        if (found >= 0 && i > found) break;  // ascending in each cell
        const cv::Point2d& p = points_[static_cast<std::size_t>(i)];
        if (node.x - tolerance_ < p.x && p.x < node.x + tolerance_ && node.y - tolerance_ < p.y &&
            p.y < node.y + tolerance_) {
          found = i;
          break;
        }
      }
    }
  }
  return found;
}

int GridPointMatcher::Cell(double v) const {
  const double cell = std::floor((v - low_) / cellSide_);
  return static_cast<int>(std::clamp(cell, 0.0, static_cast<double>(cells_ - 1)));
}

int ChooseReferenceCorner(const GridPlacement& placement) {
  const int columns = placement.Columns();
  const int rows = placement.Rows();
  const Ring outer = BorderRing(0, columns, rows);
  const double outerLength = static_cast<double>(outer.nodes.size());
  const std::array<double, 4> scores = RingScores(placement, outer, outerLength);

  std::array<double, 4> ascending = scores;
  std::sort(ascending.begin(), ascending.end());
  if (ascending[0] == ascending[1] && std::min(columns - 2, rows - 2) >= kInnerRingMinimumSide) {
    // Inner corner i stands for outer corner i; a zero sum still scores the outer length.
    return LowestArgMin(RingScores(placement, BorderRing(1, columns - 2, rows - 2), outerLength));
  }
  return LowestArgMin(scores);
}

std::vector<cv::Point2d> OrientGrid(const GridPlacement& placement,
                                    const std::vector<cv::Point2d>& points,
                                    std::vector<std::vector<int>>& gridMap) {
  const int columns = placement.Columns();
  const int rows = placement.Rows();
  const int corner = ChooseReferenceCorner(placement);
  // From corners 0 and 2 the lines run along the first axis, from 1 and 3 along the second.
  const bool linesAlongColumns = corner % 2 == 0;
  const int lineCount = linesAlongColumns ? rows : columns;
  const int nodesPerLine = linesAlongColumns ? columns : rows;

  std::vector<cv::Point2d> ordered;
  std::vector<std::vector<int>> lines(static_cast<std::size_t>(lineCount));
  for (int line = 0; line < lineCount; ++line) {
    for (int k = 0; k < nodesPerLine; ++k) {
      const cv::Point node = NodeOnLine(corner, line, k, columns, rows);
      const bool found = placement.Present(node.x, node.y);
      lines[line].push_back(found ? 1 : 0);
      if (found) ordered.push_back(points.at(placement.PointIndex(node.x, node.y)));
    }
  }
  gridMap = std::move(lines);
  return ordered;
}

void SortGridPoints(const std::vector<cv::Point2d>& points, int columns, int rows,
                    std::vector<cv::Point2d>& ordered, std::vector<std::vector<int>>& gridMap) {
  ordered.clear();
  const std::vector<cv::Point2f> quad = CornerQuadrilateral(points, OutlineRetry::kFinerEpsilon);
  if (quad.size() != 4) return;
  RequireGridShape(columns, rows);

  const std::vector<cv::Point2d> normalised = NormaliseToSquare(points, quad);
  GridPlacement placementA(columns, rows);
  GridPlacement placementB(columns, rows);
  FitPlacements(normalised, placementA, placementB);
  const GridPlacement& chosen = placementB.Hits() > placementA.Hits() ? placementB : placementA;
  gridMap.clear();
  ordered = OrientGrid(chosen, points, gridMap);
}

}  // namespace Oskelo::CV::Native64::detail
