#pragma once

#include <cmath>
#include <limits>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "native64/Native64.h"

namespace dotcal {

// A length option that was not given.
constexpr double kNotGiven = std::numeric_limits<double>::quiet_NaN();
inline bool Given(double value) { return !std::isnan(value); }

// A dot target as the tool describes it: a bright flat region carrying dark dots on the nodes of
// a grid, some nodes possibly left empty (a tracker). Lengths are in the target's own unit; the
// calibration's 3-D results come out in it.
struct TargetShape {
  std::string name;             // free text, for reports
  int columns = 0;              // grid nodes along the first axis (the plate's rows run along it)
  int rows = 0;                 // grid nodes along the second axis
  int dots = 0;                 // dots the target carries: the nodes less the empty ones
  double spacing = 0.0;         // distance of neighbouring grid nodes
  double diameter = 0.0;        // dot diameter
  double margin = 0.0;          // how far the bright region reaches beyond the outer dot centres
  std::string unit = "mm";      // mm, cm, m or in
  std::vector<int> emptyNodes;  // nodes without a dot: row * columns + column, from 0

  // The calibration plate: 9 x 13 nodes, spacing 30 mm, dots of 15 mm, 22.5 mm of margin.
  static TargetShape Plate();
  // The tracker: 4 x 2 nodes, spacing 16 mm, dots of 8 mm, node 5 empty, one spacing of margin.
  static TargetShape Tracker();

  // Throws UsageError unless the target can be detected and ordered: at least 2 x 2 nodes, at
  // least 4 dots, empty nodes inside the grid and each named once, positive sizes, a diameter
  // below the spacing, a margin that is not negative and a known unit.
  void Check() const;

  // Metres in one unit of the target (0.001 for mm).
  double MetresPerUnit() const;
};

// The units a target may be described in.
const std::vector<std::string>& TargetUnits();

// Reads "CxR" (columns x rows, e.g. "4x2") into `columns` and `rows`; throws UsageError with a
// message naming `option` when the text is not of that form.
void ParseGrid(const std::string& text, const std::string& option, TargetShape& shape);

// The shape given on a command line: `grid` as "CxR", `dots` (0: every node), and `spacing` and
// `diameter`, where kNotGiven takes the plate's values for a 117-dot target and the tracker's
// otherwise.
// Throws UsageError for a shape that cannot be detected.
TargetShape MakeShape(const std::string& grid, int dots = 0, double spacing = kNotGiven,
                      double diameter = kNotGiven);

// Configures a detector for the target: grid, dot count, spacing and diameter, a threshold that
// is not fixed and regions that follow the target. The image size is set by the detection itself.
void ConfigureDetector(Oskelo::CV::Native64::ImageProcessorSettings& settings,
                       const TargetShape& shape);

// Configures a calibration for a complete plate: its nominal pattern (columns x rows points
// (k * spacing, j * spacing, 0) for k = 1..columns, j = 1..rows, row-major, as the calibration
// lays out its own plate) and its detector. Throws UsageError for a target with empty nodes,
// whose dots could not be matched with the nominal points.
void ConfigureCalibration(Oskelo::CV::Native64::Calibration& calibration, const TargetShape& shape);

}  // namespace dotcal
