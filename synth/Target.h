#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace synth {

// A flat target in its own plane (z = 0, length unit mm): a bright rectangular box that carries
// dark circular dots.
struct Target {
  std::vector<cv::Point2d> dots;  // dot centres in the target plane, in the order ground truth uses
  double dotDiameter = 0.0;       // mm
  cv::Rect2d box;                 // the bright box in the target plane, mm

  // The calibration plate: 9 columns x 13 rows, spacing 30, diameter 15, dot (k, j) at
  // (k * 30, j * 30) for k = 1..9, j = 1..13, row-major (the order of the nominal plate); the box
  // reaches 0.75 spacing beyond the outer dot centres. The same as Grid(9, 13, 30, 15, 22.5).
  static Target CalibrationPlate();

  // A plate on a columns x rows grid: dot (k, j) at (k * spacing, j * spacing) for k = 1..columns,
  // j = 1..rows, row-major, with the given nodes left empty (node index (j - 1) * columns + k - 1);
  // the box reaches `margin` beyond the outer dot centres. Throws cv::Exception for an empty grid,
  // dots not smaller than the spacing, a margin that does not hold the outer dots, or an empty
  // node outside the grid.
  static Target Grid(int columns, int rows, double spacing, double dotDiameter, double margin,
                     std::vector<int> emptyNodes = {});

  // A tracker on a columns x rows grid with the given nodes left empty (node index
  // row * columns + column); dot (c, r) at (c * spacing, r * spacing), the box one spacing beyond
  // the outer dot centres. The default is the 7-dot tracker: 4 x 2 nodes, spacing 16, diameter 8,
  // the second node of the second row empty.
  static Target Tracker(int columns = 4, int rows = 2, double spacing = 16.0,
                        double dotDiameter = 8.0, std::vector<int> emptyNodes = {5});
};

// A target placed in the world: x_world = world_from_target_R * x_target + world_from_target_t.
struct PlacedTarget {
  Target target;
  cv::Matx33d world_from_target_R = cv::Matx33d::eye();
  cv::Vec3d world_from_target_t{0, 0, 0};
};

}  // namespace synth
