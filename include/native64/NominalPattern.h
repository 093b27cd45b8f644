#pragma once

#include <opencv2/core/types.hpp>
#include <vector>

#include "native64/ExportedTypes.h"
#include "native64/Native64Export.h"

namespace Oskelo::CV::Native64 {

// The geometry of the calibration plate: a complete grid of circular targets in the plane z = 0.
class NATIVE64_API NominalPattern {
 public:
  int columns = 0;       // targets per row, counted along x
  int rows = 0;          // rows of targets, counted along y
  double spacing = 0.0;  // centre-to-centre distance of neighbouring targets; the length unit of
                         // every 3-D result of the calibration
  // Nominal target centres, row-major: the target of row j and column k (both from 1) is
  // (k * spacing, j * spacing, 0) at index (j - 1) * columns + (k - 1).
  std::vector<cv::Point3_<double>> points;
};

}  // namespace Oskelo::CV::Native64
