#include "synth/Target.h"

#include <algorithm>

namespace synth {
namespace {

// The calibration plate's grid.
constexpr int kPlateColumns = 9;
constexpr int kPlateRows = 13;
constexpr double kPlateSpacing = 30.0;
constexpr double kPlateDotDiameter = 15.0;
// How far the plate's box reaches beyond the outer dot centres, in spacings.
constexpr double kPlateBorderSpacings = 0.75;

}  // namespace

Target Target::CalibrationPlate() {
  Target plate;
  for (int j = 1; j <= kPlateRows; ++j) {
    for (int k = 1; k <= kPlateColumns; ++k)
      plate.dots.emplace_back(k * kPlateSpacing, j * kPlateSpacing);
  }
  plate.dotDiameter = kPlateDotDiameter;
  const double border = kPlateBorderSpacings * kPlateSpacing;
  plate.box = cv::Rect2d(kPlateSpacing - border, kPlateSpacing - border,
                         (kPlateColumns - 1) * kPlateSpacing + 2.0 * border,
                         (kPlateRows - 1) * kPlateSpacing + 2.0 * border);
  return plate;
}

Target Target::Tracker(int columns, int rows, double spacing, double dotDiameter,
                       std::vector<int> emptyNodes) {
  if (columns < 1 || rows < 1)
    CV_Error(cv::Error::StsBadArg, "Tracker: the grid needs at least one node");
  if (!(spacing > 0.0) || !(dotDiameter > 0.0) || dotDiameter >= spacing) {
    CV_Error(cv::Error::StsBadArg,
             "Tracker: the dots must be smaller than the spacing and not empty");
  }
  const int nodes = columns * rows;
  for (int node : emptyNodes) {
    if (node < 0 || node >= nodes)
      CV_Error(cv::Error::StsOutOfRange, "Tracker: an empty node lies outside the grid");
  }
  Target tracker;
  for (int node = 0; node < nodes; ++node) {
    if (std::find(emptyNodes.begin(), emptyNodes.end(), node) != emptyNodes.end()) continue;
    tracker.dots.emplace_back((node % columns) * spacing, (node / columns) * spacing);
  }
  tracker.dotDiameter = dotDiameter;
  tracker.box = cv::Rect2d(-spacing, -spacing, (columns + 1) * spacing, (rows + 1) * spacing);
  return tracker;
}

}  // namespace synth
