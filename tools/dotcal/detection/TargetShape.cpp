#include "detection/TargetShape.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "CommandError.h"

namespace dotcal {
namespace {

// The detector orders a target's dots on a grid of at least 2 x 2 nodes and 4 dots.
constexpr int kMinGridNodes = 2;
constexpr int kMinDots = 4;
// Grids larger than this are surely a typing error (the plate has 9 x 13 nodes).
constexpr int kMaxGridNodes = 1000;
// The synthetic plate's bright region reaches three quarters of a spacing beyond its outer dots.
constexpr double kPlateMarginSpacings = 0.75;

struct Unit {
  const char* name;
  double metres;
};
constexpr Unit kUnits[] = {{"mm", 0.001}, {"cm", 0.01}, {"m", 1.0}, {"in", 0.0254}};

bool ParseCount(const std::string& text, int& value) {
  if (text.empty() || text.size() > 4) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  value = std::stoi(text);
  return true;
}

std::string GridText(const TargetShape& shape) {
  return std::to_string(shape.columns) + " x " + std::to_string(shape.rows);
}

}  // namespace

TargetShape TargetShape::Plate() {
  TargetShape plate;
  plate.name = "calibration plate";
  plate.columns = 9;
  plate.rows = 13;
  plate.dots = 117;
  plate.spacing = 30.0;
  plate.diameter = 15.0;
  plate.margin = kPlateMarginSpacings * plate.spacing;
  return plate;
}

TargetShape TargetShape::Tracker() {
  TargetShape tracker;
  tracker.name = "tracker";
  tracker.columns = 4;
  tracker.rows = 2;
  tracker.dots = 7;
  tracker.spacing = 16.0;
  tracker.diameter = 8.0;
  tracker.margin = tracker.spacing;
  tracker.emptyNodes = {5};
  return tracker;
}

const std::vector<std::string>& TargetUnits() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const Unit& unit : kUnits) list.emplace_back(unit.name);
    return list;
  }();
  return names;
}

double TargetShape::MetresPerUnit() const {
  for (const Unit& u : kUnits) {
    if (unit == u.name) return u.metres;
  }
  throw UsageError("the unit must be mm, cm, m or in, not '" + unit + "'");
}

void TargetShape::Check() const {
  if (columns < kMinGridNodes || rows < kMinGridNodes || columns > kMaxGridNodes ||
      rows > kMaxGridNodes) {
    throw UsageError("the grid needs 2 to 1000 nodes each way, not " + GridText(*this));
  }
  const int nodes = columns * rows;
  if (static_cast<int>(emptyNodes.size()) > nodes) {
    throw UsageError(std::to_string(emptyNodes.size()) + " empty nodes, but a " + GridText(*this) +
                     " grid has only " + std::to_string(nodes) + " nodes");
  }
  std::set<int> seen;
  for (int node : emptyNodes) {
    if (node < 0 || node >= nodes) {
      throw UsageError("empty node " + std::to_string(node) + " lies outside the " +
                       GridText(*this) + " grid (nodes 0 to " + std::to_string(nodes - 1) + ")");
    }
    if (!seen.insert(node).second) {
      throw UsageError("empty node " + std::to_string(node) + " is named twice");
    }
  }
  if (dots < kMinDots || dots > nodes) {
    throw UsageError("a " + GridText(*this) + " grid holds 4 to " + std::to_string(nodes) +
                     " dots, not " + std::to_string(dots));
  }
  if (!(spacing > 0.0)) throw UsageError("the dot spacing must be positive");
  if (!(diameter > 0.0) || !(diameter < spacing)) {
    throw UsageError("the dot diameter must be positive and smaller than the spacing");
  }
  if (!(margin >= 0.0)) throw UsageError("the margin must not be negative");
  MetresPerUnit();
}

void ParseGrid(const std::string& text, const std::string& option, TargetShape& shape) {
  const std::size_t x = text.find('x');
  int columns = 0, rows = 0;
  if (x == std::string::npos || !ParseCount(text.substr(0, x), columns) ||
      !ParseCount(text.substr(x + 1), rows)) {
    throw UsageError(option + " takes columns x rows, e.g. 4x2, not '" + text + "'");
  }
  shape.columns = columns;
  shape.rows = rows;
}

TargetShape MakeShape(const std::string& grid, int dots, double spacing, double diameter) {
  TargetShape shape;
  ParseGrid(grid, "--grid", shape);
  shape.dots = dots != 0 ? dots : shape.columns * shape.rows;
  const TargetShape nominal =
      shape.dots == TargetShape::Plate().dots ? TargetShape::Plate() : TargetShape::Tracker();
  shape.spacing = Given(spacing) ? spacing : nominal.spacing;
  shape.diameter = Given(diameter) ? diameter : nominal.diameter;
  shape.margin = kPlateMarginSpacings * shape.spacing;
  shape.name = grid + " target";
  shape.Check();
  return shape;
}

void ConfigureDetector(Oskelo::CV::Native64::ImageProcessorSettings& settings,
                       const TargetShape& shape) {
  settings.gridColumns = shape.columns;
  settings.gridRows = shape.rows;
  settings.dotCount = shape.dots;
  settings.dotSpacing = shape.spacing;
  settings.dotDiameter = shape.diameter;
  settings.fixedThreshold = false;
  settings.fixedRoi = false;
}

void ConfigureCalibration(Oskelo::CV::Native64::Calibration& calibration,
                          const TargetShape& shape) {
  if (!shape.emptyNodes.empty() || shape.dots != shape.columns * shape.rows) {
    throw UsageError("calibration needs a plate with a dot on every node; '" + shape.name +
                     "' has " + std::to_string(shape.columns * shape.rows - shape.dots) +
                     " empty nodes");
  }
  auto& pattern = calibration.nominalPattern;
  pattern.columns = shape.columns;
  pattern.rows = shape.rows;
  pattern.spacing = shape.spacing;
  pattern.points.clear();
  for (int j = 1; j <= shape.rows; ++j) {
    for (int k = 1; k <= shape.columns; ++k)
      pattern.points.emplace_back(k * shape.spacing, j * shape.spacing, 0.0);
  }
  ConfigureDetector(*calibration.settings, shape);
}

}  // namespace dotcal
