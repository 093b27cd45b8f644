#include "imgproc/CornerQuadrilateral.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "synthetic_grid.h"

namespace {

using namespace Oskelo::CV::Native64::detail;
using Polygon = std::vector<cv::Point2f>;

// A jittered grid's outline is its four corner dots in hull order (TL, TR, BR, BL cyclically in
// image coordinates); which vertex comes first is OpenCV's choice.
TEST(CornerQuadrilateral, GridOutlineIsItsFourCornerDots) {
  const SyntheticGrid grid =
      MakeGrid(6, 5, {{100, 100}, {600, 120}, {620, 500}, {90, 480}}, 1.0, 11);
  Polygon outline = CornerQuadrilateral(grid.points, OutlineRetry::kNone);
  const auto topLeft = std::find(outline.begin(), outline.end(), cv::Point2f(grid.At(0, 0)));
  ASSERT_NE(topLeft, outline.end());
  std::rotate(outline.begin(), topLeft, outline.end());
  EXPECT_EQ(outline, (Polygon{grid.At(0, 0), grid.At(5, 0), grid.At(5, 4), grid.At(0, 4)}));
}

// The fourth corner lies 2.83 px off the triangle's side: dropped at 5 px, kept on the 2 px retry.
TEST(CornerQuadrilateral, FinerRetryOnlyWhenAsked) {
  const std::vector<cv::Point2d> cloud = {{0, 0}, {100, 0}, {100, 100}, {48, 52}, {60, 30}};
  EXPECT_EQ(CornerQuadrilateral(cloud, OutlineRetry::kNone).size(), 3u);
  EXPECT_EQ(CornerQuadrilateral(cloud, OutlineRetry::kFinerEpsilon).size(), 4u);
}

TEST(CornerQuadrilateral, DegenerateCloudsGiveFewerCornersAndNonFinitePointsAreIgnored) {
  EXPECT_TRUE(CornerQuadrilateral({}, OutlineRetry::kFinerEpsilon).empty());
  EXPECT_LT(
      CornerQuadrilateral({{1, 2}, {2, 4}, {3, 6}, {5, 10}}, OutlineRetry::kFinerEpsilon).size(),
      4u);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<cv::Point2d> square = {{0, 0},     {nan, 5}, {100, 0}, {100, 100},
                                           {1e300, 1}, {0, 100}, {50, 50}};
  EXPECT_EQ(CornerQuadrilateral(square, OutlineRetry::kNone).size(), 4u);
}

// Collinear in single precision, yet the law of cosines rounds past -1 (found by search).
TEST(VertexFlatness, StraightAndCoincidentVerticesAreFlatNotNaN) {
  const cv::Point2f previous(472.74908447265625f, 945.4981689453125f);
  const cv::Point2f vertex(718.8239135742188f, 1437.6478271484375f);
  const cv::Point2f next(878.8128051757812f, 1757.6256103515625f);
  const double h = VertexFlatness(previous, vertex, next);
  EXPECT_TRUE(std::isfinite(h));
  EXPECT_LT(h, 1e-9);  // sin(acos(-1)) * b, rounding only
  EXPECT_EQ(VertexFlatness(vertex, vertex, next), 0.0);
  EXPECT_EQ(VertexFlatness(previous, vertex, vertex), 0.0);
  EXPECT_NEAR(VertexFlatness({0, 0}, {10, 0}, {10, 7}), 7.0, 1e-12);  // next 7 px off the line
}

TEST(RemoveFlattestVertices, DeletesFlattestFirstAndDuplicatesBeforeCorners) {
  Polygon bump = {{0, 0}, {50, -6}, {100, 0}, {100, 100}, {0, 100}};
  RemoveFlattestVertices(bump);
  EXPECT_EQ(bump, (Polygon{{0, 0}, {100, 0}, {100, 100}, {0, 100}}));

  Polygon duplicate = {{0, 0}, {100, 0}, {100, 0}, {100, 100}, {0, 100}};
  RemoveFlattestVertices(duplicate);
  EXPECT_EQ(duplicate, (Polygon{{0, 0}, {100, 0}, {100, 100}, {0, 100}}));

  // Point-symmetric hexagon: vertices 1 and 4 tie exactly; removing 1 first leads to removing 2.
  Polygon hexagon = {{40, 41}, {-45, 12}, {-90, -37}, {-40, -41}, {45, -12}, {90, 37}};
  RemoveFlattestVertices(hexagon);
  EXPECT_EQ(hexagon, (Polygon{{40, 41}, {-40, -41}, {45, -12}, {90, 37}}));
}

}  // namespace
