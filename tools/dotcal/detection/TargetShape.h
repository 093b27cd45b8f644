#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "native64/Native64.h"

namespace dotcal {

// The geometry of a dot target as the detector needs it. Lengths are in the target's own unit
// (mm for the synthetic targets); they set the box and dot sizes the detector accepts.
struct TargetShape {
  int columns = 0;        // grid nodes along the first axis
  int rows = 0;           // grid nodes along the second axis
  int dots = 0;           // dots the target carries (at most columns x rows)
  double spacing = 0.0;   // distance of neighbouring dot centres
  double diameter = 0.0;  // dot diameter

  static TargetShape Plate();    // the calibration plate: 9 x 13 nodes, 117 dots, 30, 15
  static TargetShape Tracker();  // the tracker: 4 x 2 nodes, 7 dots, 16, 8

  // Throws UsageError unless the shape can be detected and ordered: at least 2 x 2 nodes, between
  // 4 and columns x rows dots, positive spacing and a diameter below the spacing.
  void Check() const;
};

// Reads "CxR" (columns x rows, e.g. "4x2") into `columns` and `rows`; throws UsageError with a
// message naming `option` when the text is not of that form.
void ParseGrid(const std::string& text, const std::string& option, TargetShape& shape);

// The shape given on a command line: `grid` as "CxR", `dots`, and `spacing` and `diameter`, where
// 0 takes the plate's values for a 117-dot target and the tracker's otherwise. Throws UsageError
// for a shape that cannot be detected.
TargetShape MakeShape(const std::string& grid, int dots, double spacing, double diameter);

// Configures a detector for the target in images of `imageSize` pixels whose rows are packed.
void ConfigureDetector(Oskelo::CV::Native64::ImageProcessorSettings& settings,
                       const TargetShape& shape, cv::Size imageSize);

}  // namespace dotcal
