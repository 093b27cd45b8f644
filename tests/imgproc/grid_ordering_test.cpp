#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>
#include <stdexcept>

#include "imgproc/CornerQuadrilateral.h"
#include "imgproc/GridOrdering.h"
#include "synthetic_grid.h"

namespace {

using namespace Oskelo::CV::Native64::detail;
using Nodes = std::vector<cv::Point>;
using GridMap = std::vector<std::vector<int>>;
using Polygon = std::vector<cv::Point2f>;

// A 5 x 4 grid seen with perspective and a slight turn. Pitches are about 100 px, so 25 normalised
// units: a jitter of +-1 px moves a dot (and the corners) by under 0.5 units, inside the 3-unit
// box.
constexpr double kJitterPx = 1.0;
const cv::Point2d kBR(700, 520), kBL(260, 560), kTL(230, 230), kTR(680, 250);

Nodes RowMajor(int columns, int rows) {
  Nodes nodes;
  for (int b = 0; b < rows; ++b)
    for (int a = 0; a < columns; ++a) nodes.emplace_back(a, b);
  return nodes;
}

// The scene's points at `nodes`, skipping nodes that hold no point.
std::vector<cv::Point2d> PointsAt(const SyntheticGrid& scene, const Nodes& nodes) {
  std::vector<cv::Point2d> points;
  for (const cv::Point& n : nodes)
    if (std::count(scene.nodes.begin(), scene.nodes.end(), n)) points.push_back(scene.At(n.x, n.y));
  return points;
}

// SortGridPoints with a non-empty output list to start from.
std::vector<cv::Point2d> Sort(const std::vector<cv::Point2d>& points, int columns, int rows,
                              GridMap& gridMap) {
  std::vector<cv::Point2d> ordered = {{1, 1}};
  SortGridPoints(points, columns, rows, ordered, gridMap);
  return ordered;
}
GridMap Full(int columns, int rows) { return GridMap(rows, std::vector<int>(columns, 1)); }

// Node (0, 0) on the outline corner right-below the centre, the 5-node side along the outline's
// next edge (placement A) or along the edge after it (placement B): either way the complete grid
// is emitted row by row from node (0, 0).
TEST(SortGridPoints, CompleteGridRunsRowMajorInTheMatchingPlacement) {
  for (const SyntheticGrid& scene : {MakeGrid(5, 4, {kBR, kBL, kTL, kTR}, kJitterPx, 1),
                                     MakeGrid(5, 4, {kBL, kTL, kTR, kBR}, kJitterPx, 2)}) {
    GridMap gridMap = {{7}};
    EXPECT_EQ(Sort(scene.points, 5, 4, gridMap), PointsAt(scene, RowMajor(5, 4)));
    EXPECT_EQ(gridMap, Full(5, 4));
  }
}

// Seen upright (node (0, 0) top left, 9 per row), the plate's lower-right dot is the start corner
// and its bottom row the first line: the output is the row-major order reversed.
// Pitch about 60 px, 12.5 units: a +-0.5 px jitter stays under 0.3 units.
TEST(SortGridPoints, PlateInPerspectiveComesBackComplete) {
  const SyntheticGrid plate =
      MakeGrid(9, 13, {{370, 180}, {850, 150}, {900, 900}, {340, 950}}, 0.5, 3);
  Nodes reversed = RowMajor(9, 13);
  std::reverse(reversed.begin(), reversed.end());
  GridMap gridMap;
  EXPECT_EQ(Sort(plate.points, 9, 13, gridMap), PointsAt(plate, reversed));
  EXPECT_EQ(gridMap, Full(9, 13));
}

// A gap right after corner 0 keeps it the reference. The 7-dot tracker (4 x 2, node (2, 1) empty)
// starts at corner 2, which meets the gap first. Tracker pitch about 27 px, 33 units: +-0.3 px
// is under 0.5 units.
TEST(SortGridPoints, GapsChooseTheReferenceCorner) {
  SyntheticGrid scene = MakeGrid(5, 4, {kBR, kBL, kTL, kTR}, kJitterPx, 4);
  scene.Remove(1, 0);
  GridMap gridMap;
  EXPECT_EQ(Sort(scene.points, 5, 4, gridMap), PointsAt(scene, RowMajor(5, 4)));
  GridMap expected = Full(5, 4);
  expected[0][1] = 0;
  EXPECT_EQ(gridMap, expected);

  SyntheticGrid tracker = MakeGrid(4, 2, {{640, 420}, {560, 425}, {558, 398}, {638, 392}}, 0.3, 5);
  tracker.Remove(2, 1);
  EXPECT_EQ(Sort(tracker.points, 4, 2, gridMap),
            PointsAt(tracker, {{3, 1}, {1, 1}, {0, 1}, {3, 0}, {2, 0}, {1, 0}, {0, 0}}));
  EXPECT_EQ(gridMap, (GridMap{{1, 0, 1, 1}, {1, 1, 1, 1}}));
}

// Of two points in one node's box the lower input index is used, the other dropped. A stray dot
// 25 px outside one side adds a fifth outline corner (the 5 px simplification keeps it); being the
// flattest it goes, and the dot itself (about 6 units off any node) is dropped.
TEST(SortGridPoints, ExtraPointsAreDroppedOrTakeTheNodeByIndex) {
  const SyntheticGrid scene = MakeGrid(5, 4, {kBR, kBL, kTL, kTR}, kJitterPx, 6);
  const cv::Point2d intruder = scene.At(2, 1) + cv::Point2d(2.0, -1.5);  // about 0.6 units off
  std::vector<cv::Point2d> points = scene.points;
  points.insert(points.begin(), intruder);
  points.insert(points.begin() + 7, 0.5 * (kBL + kTL) - cv::Point2d(25, 0));
  points.push_back(scene.At(3, 2) + cv::Point2d(-1.5, 2.0));
  std::vector<cv::Point2f> hull, simplified;
  cv::convexHull(std::vector<cv::Point2f>(points.begin(), points.end()), hull);
  cv::approxPolyDP(hull, simplified, 5.0, true);
  ASSERT_EQ(simplified.size(), 5u);

  std::vector<cv::Point2d> expected = PointsAt(scene, RowMajor(5, 4));
  std::replace(expected.begin(), expected.end(), scene.At(2, 1), intruder);
  GridMap gridMap;
  EXPECT_EQ(Sort(points, 5, 4, gridMap), expected);
}

// A square turned by 45 degrees: no corner is strictly right of and below the centre (400, 260)
// (the right and bottom corners lie level with it; exact integer positions), so the outline's
// first vertex, the rightmost corner (560, 260), starts the order; the first row runs toward the
// bottom corner (400, 420) and the last dot is the leftmost corner (240, 260).
TEST(SortGridPoints, NoCornerRightBelowTheCentreStartsAtTheFirstOutlineVertex) {
  std::vector<cv::Point2d> points;
  for (int b = 4; b >= 0; --b)
    for (int a = 0; a < 5; ++a) points.emplace_back(400 + 40 * (a - b), 100 + 40 * (a + b));
  GridMap gridMap;
  const std::vector<cv::Point2d> ordered = Sort(points, 5, 5, gridMap);
  ASSERT_EQ(ordered.size(), 25u);
  EXPECT_EQ(ordered[0], cv::Point2d(560, 260));
  EXPECT_EQ(ordered[1], cv::Point2d(520, 300));
  EXPECT_EQ(ordered[4], cv::Point2d(400, 420));
  EXPECT_EQ(ordered[24], cv::Point2d(240, 260));
}

TEST(SortGridPoints, NoFourCornerOutlineLeavesOutputEmptyAndMapUntouched) {
  const std::vector<std::vector<cv::Point2d>> clouds = {
      {},
      {{3, 7}, {3, 7}, {3, 7}, {3, 7}},
      {{0, 1}, {10, 21}, {20, 41}, {30, 61}, {40, 81}},                // collinear
      {{0, 0}, {300, 0}, {0, 300}, {50, 50}, {100, 100}, {20, 150}}};  // triangle
  for (const auto& cloud : clouds) {
    GridMap gridMap = {{7, 7}};
    EXPECT_TRUE(Sort(cloud, 0, 0, gridMap).empty());  // too small a grid, but no outline first
    EXPECT_EQ(gridMap, (GridMap{{7, 7}}));
  }
}

TEST(SortGridPoints, GridBelowTwoByTwoThrowsLengthError) {
  const SyntheticGrid scene = MakeGrid(5, 4, {kBR, kBL, kTL, kTR}, kJitterPx, 8);
  for (const cv::Size grid : {cv::Size(0, 0), cv::Size(1, 4), cv::Size(5, 1), cv::Size(-3, 4)}) {
    std::vector<cv::Point2d> ordered = {{1, 1}};
    GridMap gridMap = {{7}};
    EXPECT_THROW(SortGridPoints(scene.points, grid.width, grid.height, ordered, gridMap),
                 std::length_error);
    EXPECT_TRUE(ordered.empty());
    EXPECT_EQ(gridMap, GridMap{{7}});
  }
}

// A mistaken grid shape of millions of nodes is refused before anything is allocated for it; the
// largest accepted grid still orders (a regression of the fuzzing, which ran out of memory).
TEST(SortGridPoints, GridOfMoreThan65536NodesThrowsLengthError) {
  const SyntheticGrid scene = MakeGrid(5, 4, {kBR, kBL, kTL, kTR}, kJitterPx, 8);
  for (const cv::Size grid : {cv::Size(65537, 2), cv::Size(2, 32769), cv::Size(INT_MAX, INT_MAX)}) {
    std::vector<cv::Point2d> ordered = {{1, 1}};
    GridMap gridMap = {{7}};
    EXPECT_THROW(SortGridPoints(scene.points, grid.width, grid.height, ordered, gridMap),
                 std::length_error);
    EXPECT_TRUE(ordered.empty());
    EXPECT_EQ(gridMap, GridMap{{7}});
    EXPECT_THROW(GridPlacement(grid.width, grid.height), std::length_error);
  }
  std::vector<cv::Point2d> ordered;
  GridMap gridMap;
  EXPECT_NO_THROW(SortGridPoints(scene.points, 256, 256, ordered, gridMap));
  EXPECT_EQ(gridMap.size() * gridMap.front().size(), 65536u);
}

// Placements filled by hand: every node but `missing`, point i standing at node (a, b) = (x, y).
struct HandPlacement {
  GridPlacement placement;
  std::vector<cv::Point2d> points;
  HandPlacement(int columns, int rows, const Nodes& missing) : placement(columns, rows) {
    for (const cv::Point& node : RowMajor(columns, rows)) {
      if (std::count(missing.begin(), missing.end(), node)) continue;
      placement.Place(node.x, node.y, static_cast<int>(points.size()));
      points.emplace_back(node.x, node.y);
    }
  }
  int Reference() const { return ChooseReferenceCorner(placement); }
};

TEST(ChooseReferenceCorner, GapsAndTieBreaks) {
  EXPECT_EQ(HandPlacement(5, 4, {}).Reference(), 0);        // complete, inner ring complete
  EXPECT_EQ(HandPlacement(3, 3, {}).Reference(), 0);        // complete, no inner ring
  EXPECT_EQ(HandPlacement(2, 2, {{1, 0}}).Reference(), 0);  // smallest ring
  EXPECT_EQ(HandPlacement(5, 4, {{0, 0}}).Reference(), 3);  // missing corner: the one before
  EXPECT_EQ(HandPlacement(5, 4, {{4, 3}}).Reference(), 1);
  // Outer gaps (1, 0) and (3, 4) tie corners 0 and 2 at 5; the inner gap (2, 3) follows inner
  // corner 2 directly, so it decides. Without the tie (one outer gap) the outer ring decides.
  EXPECT_EQ(HandPlacement(5, 5, {{1, 0}, {3, 4}, {2, 3}}).Reference(), 2);
  EXPECT_EQ(HandPlacement(5, 5, {{1, 0}, {2, 3}}).Reference(), 0);
  // Same outer tie with a 3-wide grid: it has no inner ring (the gap (1, 1) must not count), so
  // the lower corner wins.
  EXPECT_EQ(HandPlacement(3, 5, {{1, 0}, {1, 4}, {1, 1}}).Reference(), 0);
}

// A 4 x 3 grid with a gap right after each corner in turn: the four emission orders.
TEST(OrientGrid, EmitsLinesFromEachReferenceCorner) {
  const Nodes gaps = {{1, 0}, {3, 1}, {2, 2}, {0, 1}};
  const std::vector<Nodes> orders = {
      {{0, 0}, {2, 0}, {3, 0}, {0, 1}, {1, 1}, {2, 1}, {3, 1}, {0, 2}, {1, 2}, {2, 2}, {3, 2}},
      {{3, 0}, {3, 2}, {2, 0}, {2, 1}, {2, 2}, {1, 0}, {1, 1}, {1, 2}, {0, 0}, {0, 1}, {0, 2}},
      {{3, 2}, {1, 2}, {0, 2}, {3, 1}, {2, 1}, {1, 1}, {0, 1}, {3, 0}, {2, 0}, {1, 0}, {0, 0}},
      {{0, 2}, {0, 0}, {1, 2}, {1, 1}, {1, 0}, {2, 2}, {2, 1}, {2, 0}, {3, 2}, {3, 1}, {3, 0}}};
  const GridMap alongColumns = {{1, 0, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}};
  const GridMap alongRows = {{1, 0, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}};
  for (std::size_t corner = 0; corner < 4; ++corner) {
    const HandPlacement hand(4, 3, {gaps[corner]});
    GridMap gridMap;
    const std::vector<cv::Point2d> ordered = OrientGrid(hand.placement, hand.points, gridMap);
    EXPECT_EQ(ordered, std::vector<cv::Point2d>(orders[corner].begin(), orders[corner].end()));
    EXPECT_EQ(gridMap, corner % 2 == 0 ? alongColumns : alongRows);
  }
}

}  // namespace

namespace {

// The bucketed search against the plain one on points drawn near the nodes of a 13 x 9 grid on
// the normalised square: on the edges of the boxes, doubled, far outside the square and NaN.
TEST(GridPointMatcher, FindsWhatFindGridPointFinds) {
  std::mt19937 random(3);
  std::uniform_real_distribution<double> jitter(-4.0, 4.0), anywhere(-150.0, 250.0);
  const double tolerance = 3.0, pitchC = 100.0 / 12, pitchR = 100.0 / 8;
  int matched = 0;
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<cv::Point2d> points;
    for (int i = 0; i < 150; ++i) {
      const cv::Point2d node(static_cast<int>(random() % 13) * pitchC,
                             static_cast<int>(random() % 9) * pitchR);
      switch (random() % 5) {
        case 0:  // on a box's edge, which is outside the box
          points.push_back(node + cv::Point2d(tolerance, jitter(random) / 2));
          break;
        case 1:
          points.emplace_back(anywhere(random), anywhere(random));
          break;
        case 2:
          if (!points.empty()) {
            points.push_back(points[random() % points.size()]);
            break;
          }
          [[fallthrough]];
        default:
          points.push_back(node + cv::Point2d(jitter(random), jitter(random)));
      }
    }
    points.emplace_back(std::nan(""), 10.0);
    const GridPointMatcher matcher(points, tolerance);
    for (int a = -2; a < 15; ++a) {
      for (int b = -2; b < 11; ++b) {
        const cv::Point2d node(a * pitchC, b * pitchR);
        const int expected = FindGridPoint(points, node, tolerance);
        ASSERT_EQ(matcher.Find(node), expected) << "trial " << trial << " node " << node;
        matched += expected >= 0;
      }
    }
  }
  EXPECT_GT(matched, 500);  // so that found points are compared, not only misses (663 drawn)
}

}  // namespace
