#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "calibration/TargetSorting.h"
#include "native64/Calibration.h"
#include "synth/GroundTruth.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

const cv::Size kPlateGrid(9, 13);

// The plate's dots as a camera sees them (projected centres), in the plate's row-major order.
std::vector<cv::Point2d> PlateInView(double tiltXDeg, double tiltYDeg, double spinDeg) {
  const synth::Camera camera = synth::StereoRig::Default().left;
  const synth::PlacedTarget plate = synth::PlaceInView(
      synth::Target::CalibrationPlate(), camera, {600.0, 520.0}, 900.0, tiltXDeg, tiltYDeg,
      spinDeg);
  std::vector<cv::Point2d> points;
  for (const synth::DotTruth& dot : synth::DotTruths(camera, plate))
    points.push_back(dot.projectedCentre);
  return points;
}

std::vector<cv::Point3d> NominalPlate() {
  return Oskelo::CV::Native64::Calibration().nominalPattern.points;
}

TEST(SortAgainstPlate, OrdersAPerspectiveViewOfThePlateRowByRow) {
  const std::vector<cv::Point2d> truth = PlateInView(25.0, -20.0, 12.0);
  std::vector<cv::Point2d> shuffled = truth;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));

  const std::vector<cv::Point2d> ordered =
      detail::SortAgainstPlate(shuffled, NominalPlate(), kPlateGrid);
  // Point 0 is the corner nearest the image's upper left, 8 the end of its row, 116 the lower
  // right: the nominal order, since the untilted plate reads left to right, top to bottom.
  EXPECT_EQ(ordered, truth);
}

TEST(SortAgainstPlate, ReturnsNothingWithoutFourCornersOrAFullGrid) {
  const std::vector<cv::Point3d> nominal = NominalPlate();
  std::vector<cv::Point2d> points = PlateInView(0.0, 0.0, 0.0);

  // Fewer points than the grid has nodes: the rows could not be filled.
  const std::vector<cv::Point2d> missing(points.begin() + 1, points.end());
  EXPECT_TRUE(detail::SortAgainstPlate(missing, nominal, kPlateGrid).empty());

  // Non-finite points cannot be sorted.
  std::vector<cv::Point2d> withNan = points;
  withNan[40].x = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(detail::SortAgainstPlate(withNan, nominal, kPlateGrid).empty());

  // A cloud whose outline is a triangle: the 120 nodes of a triangular lattice.
  std::vector<cv::Point2d> triangle;
  for (int row = 0; row <= 14; ++row)
    for (int column = 0; column <= 14 - row; ++column)
      triangle.emplace_back(100.0 + 20.0 * column, 100.0 + 20.0 * row);
  EXPECT_TRUE(detail::SortAgainstPlate(triangle, nominal, kPlateGrid).empty());

  // A nominal list shorter than the grid.
  EXPECT_TRUE(detail::SortAgainstPlate(points, std::vector<cv::Point3d>(nominal.begin(),
                                                                        nominal.begin() + 100),
                                       kPlateGrid)
                  .empty());
}

}  // namespace
