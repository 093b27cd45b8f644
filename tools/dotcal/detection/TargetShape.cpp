#include "detection/TargetShape.h"

#include <cctype>

#include "CommandError.h"

namespace dotcal {
namespace {

// The detector orders a target's dots on a grid of at least 2 x 2 nodes and 4 dots.
constexpr int kMinGridNodes = 2;
constexpr int kMinDots = 4;
// Grids larger than this are surely a typing error (the plate has 9 x 13 nodes).
constexpr int kMaxGridNodes = 1000;

bool ParseCount(const std::string& text, int& value) {
  if (text.empty() || text.size() > 4) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  value = std::stoi(text);
  return true;
}

}  // namespace

TargetShape TargetShape::Plate() { return {9, 13, 117, 30.0, 15.0}; }

TargetShape TargetShape::Tracker() { return {4, 2, 7, 16.0, 8.0}; }

void TargetShape::Check() const {
  if (columns < kMinGridNodes || rows < kMinGridNodes || columns > kMaxGridNodes ||
      rows > kMaxGridNodes) {
    throw UsageError("the grid needs 2 to 1000 nodes each way, not " + std::to_string(columns) +
                     "x" + std::to_string(rows));
  }
  if (dots < kMinDots || dots > columns * rows) {
    throw UsageError("a " + std::to_string(columns) + "x" + std::to_string(rows) +
                     " grid holds 4 to " + std::to_string(columns * rows) + " dots, not " +
                     std::to_string(dots));
  }
  if (!(spacing > 0.0) || !(diameter > 0.0) || !(diameter < spacing)) {
    throw UsageError("the dot diameter must be positive and below the dot spacing");
  }
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
  shape.dots = dots;
  const TargetShape nominal =
      dots == TargetShape::Plate().dots ? TargetShape::Plate() : TargetShape::Tracker();
  shape.spacing = spacing > 0.0 ? spacing : nominal.spacing;
  shape.diameter = diameter > 0.0 ? diameter : nominal.diameter;
  shape.Check();
  return shape;
}

void ConfigureDetector(Oskelo::CV::Native64::ImageProcessorSettings& settings,
                       const TargetShape& shape, cv::Size imageSize) {
  settings.imageRect = cv::Rect(0, 0, imageSize.width, imageSize.height);
  settings.columnOffset = 0;  // rows are packed: no leading bytes whatever the width
  settings.gridColumns = shape.columns;
  settings.gridRows = shape.rows;
  settings.dotCount = shape.dots;
  settings.dotSpacing = shape.spacing;
  settings.dotDiameter = shape.diameter;
  settings.fixedThreshold = false;
  settings.fixedRoi = false;
}

}  // namespace dotcal
