#include "synth/Target.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace synth {
namespace {

// The calibration plate's grid.
constexpr int kPlateColumns = 9;
constexpr int kPlateRows = 13;
constexpr double kPlateSpacing = 30.0;
constexpr double kPlateDotDiameter = 15.0;
// How far the plate's box reaches beyond the outer dot centres, in spacings.
constexpr double kPlateBorderSpacings = 0.75;

// The dots of a columns x rows grid, row-major, node (c, r) at ((c + first) * spacing,
// (r + first) * spacing), the empty nodes left out. Refuses what no target can be made of.
std::vector<cv::Point2d> GridDots(const char* who, int columns, int rows, double spacing,
                                  double dotDiameter, int first,
                                  const std::vector<int>& emptyNodes) {
  const std::string name = who;
  if (columns < 1 || rows < 1)
    CV_Error(cv::Error::StsBadArg, name + ": the grid needs at least one node");
  if (columns > std::numeric_limits<int>::max() / rows)
    CV_Error(cv::Error::StsOutOfRange, name + ": the grid has too many nodes to index");
  if (!(spacing > 0.0) || !std::isfinite(spacing) || !(dotDiameter > 0.0) ||
      dotDiameter >= spacing) {
    CV_Error(cv::Error::StsBadArg,
             name + ": the dots must be smaller than the spacing and not empty");
  }
  const int nodes = columns * rows;
  for (int node : emptyNodes) {
    if (node < 0 || node >= nodes)
      CV_Error(cv::Error::StsOutOfRange, name + ": an empty node lies outside the grid");
  }
  std::vector<cv::Point2d> dots;
  for (int node = 0; node < nodes; ++node) {
    if (std::find(emptyNodes.begin(), emptyNodes.end(), node) != emptyNodes.end()) continue;
    dots.emplace_back((node % columns + first) * spacing, (node / columns + first) * spacing);
  }
  return dots;
}

}  // namespace

Target Target::CalibrationPlate() {
  return Grid(kPlateColumns, kPlateRows, kPlateSpacing, kPlateDotDiameter,
              kPlateBorderSpacings * kPlateSpacing);
}

Target Target::Grid(int columns, int rows, double spacing, double dotDiameter, double margin,
                    std::vector<int> emptyNodes) {
  Target plate;
  plate.dots = GridDots("Grid", columns, rows, spacing, dotDiameter, 1, emptyNodes);
  if (!(margin > 0.5 * dotDiameter) || !std::isfinite(margin))
    CV_Error(cv::Error::StsBadArg, "Grid: the box must reach beyond the outer dots");
  plate.dotDiameter = dotDiameter;
  plate.box = cv::Rect2d(spacing - margin, spacing - margin, (columns - 1) * spacing + 2.0 * margin,
                         (rows - 1) * spacing + 2.0 * margin);
  return plate;
}

Target Target::Tracker(int columns, int rows, double spacing, double dotDiameter,
                       std::vector<int> emptyNodes) {
  Target tracker;
  tracker.dots = GridDots("Tracker", columns, rows, spacing, dotDiameter, 0, emptyNodes);
  tracker.dotDiameter = dotDiameter;
  tracker.box = cv::Rect2d(-spacing, -spacing, (columns + 1) * spacing, (rows + 1) * spacing);
  return tracker;
}

}  // namespace synth
