#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "native64/Native64.h"

// How well a stored stereo calibration, held fixed, explains new views of a known plate: three
// figures that tell a rig that still fits from one whose cameras moved or whose lenses changed.
namespace dotcal {

// How well triangulated plate dots keep the plate's spacing: every distance between grid
// neighbours (along a row and along a column) against the nominal spacing, in the plate's unit.
struct SpacingErrors {
  double rms = 0.0;  // RMS of the distance errors
  double max = 0.0;  // largest error, by magnitude
  int count = 0;     // neighbour distances measured
};

// The spacing errors of one view of a complete plate: `points` in row-major grid order, `columns`
// dots per row.
SpacingErrors NeighbourSpacing(const std::vector<cv::Point3d>& points, int columns, double spacing);

// The errors of several views taken together: the RMS over all their distances, the largest.
SpacingErrors PooledSpacing(const std::vector<SpacingErrors>& views);

// The three figures of one or more pairs.
struct CheckFigures {
  // Triangulated neighbour distances against the spacing. A wrong scale (focal lengths, baseline)
  // shows here even when the cameras still agree on every dot's row.
  SpacingErrors spacing;
  // RMS vertical disparity of matched dots after rectification, pixels: what rectification leaves
  // of the two images' disagreement on a dot's row. Centre noise alone gives about sqrt(2) times
  // the noise; a camera turned about its horizontal axis gives about focal length x angle.
  double epipolarRms = 0.0;
  // RMS distance between the measured centres and the triangulated dots projected back into their
  // camera, over both images' dots, pixels.
  double reprojectionRms = 0.0;
  int dots = 0;  // matched dots measured (in each image)
};

// Measures one pair through the calibration `parameters`: `left` and `right` are the matched dot
// centres of a complete plate (row-major, `columns` per row) and `points` their triangulation in
// the rectified left camera frame, as Calibration::Triangulate gives it.
CheckFigures CheckPair(const Oskelo::CV::Native64::CalibrationParameters& parameters,
                       const std::vector<cv::Point2d>& left, const std::vector<cv::Point2d>& right,
                       const std::vector<cv::Point3d>& points, int columns, double spacing);

// The figures of several pairs taken together: each RMS over every distance or dot of them all.
CheckFigures PooledFigures(const std::vector<CheckFigures>& pairs);

// The thresholds of a calibration that still fits.
struct CheckLimits {
  double maxSpacingRms = 0.0;   // plate unit
  double maxEpipolarRms = 0.0;  // pixels
};

// What the figures say about the calibration.
enum class CheckVerdict {
  kFits,               // both figures within their limits
  kRigMoved,           // the epipolar error is too large: the cameras moved relative to each other
  kIntrinsicsChanged,  // only the spacing is off: the scale changed (focus, zoom)
};

// The epipolar error is judged first: a turned or shifted camera also spoils the spacing, while a
// changed focal length leaves the rows of matched dots in agreement and changes only the scale.
CheckVerdict JudgeFigures(const CheckFigures& figures, const CheckLimits& limits);

}  // namespace dotcal
