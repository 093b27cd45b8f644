#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "native64/Native64.h"

namespace dotcal {

// A stereo calibration as a file: an OpenCV YAML file (cv::FileStorage) with the keys of OpenCV's
// stereo tools: image_width, image_height, M1, D1, M2, D2, R, T, E, F, R1, R2, P1, P2, Q, and the
// three RMS reprojection errors rms_left, rms_right, rms_stereo (pixels). Lengths (T, P2, Q) are in
// the plate's unit. What the calibration was made from follows: per_view_errors (one row per pair
// used: the RMS of the left and the right view, pixels), the plate (board_width and board_height in
// dots, square_size the spacing, dot_diameter, unit), how the dot centres were measured (centres:
// grey, conic or model, and calibration_rounds, the rounds of bias correction and calibration; 1
// for grey), calibration_time (ISO 8601, UTC), pairs_used, the image files of the pairs used
// (left_images, right_images), and those of the pairs dropped as outliers with the reasons
// (dropped_left_images, dropped_right_images, dropped_reasons), and the calibration's uncertainty
// (one standard deviation each): uncertainty_views, centre_noise (pixels), sigma_M1 (fx, fy, cx,
// cy), sigma_D1 (k1, k2, p1, p2, k3), sigma_M2, sigma_D2, sigma_R (of R's rotation vector,
// radians), sigma_T, sigma_baseline, rig_covariance (24 x 24, in the order of these sigmas),
// median_distance, and point_centre and point_corner (a point at that depth on the left image's
// centre ray and worst corner ray: x, y, z, its sigmas along x, y, z, and their root sum of
// squares). Files without these keys are read as well.
struct CalibrationFile {
  cv::Size imageSize;  // pixels
  // Every matrix as 64-bit floats; the distortion rows hold 8 coefficients (k1, k2, p1, p2, k3,
  // k4, k5, k6), as triangulation reads them.
  Oskelo::CV::Native64::CalibrationParameters parameters;
  double rmsLeft = 0.0, rmsRight = 0.0, rmsStereo = 0.0;  // pixels; NaN when the file has none

  // What it was made from; empty (zero, NaN) when a file has none of it.
  cv::Mat perViewErrors;                // pairs used x 2 (left, right), 64-bit floats, pixels
  int boardWidth = 0, boardHeight = 0;  // dots per row and rows
  double squareSize = 0.0;              // dot spacing, in `unit`
  double dotDiameter = 0.0;             // in `unit`
  std::string unit;                     // the plate's length unit (mm, cm, m or in)
  std::string centres;                  // grey, conic or model (CentreMethodName)
  int calibrationRounds = 0;            // calibrations run (1 for grey centres)
  std::string calibrationTime;          // ISO 8601, UTC
  int pairsUsed = 0;
  std::vector<std::string> leftImages, rightImages;  // the files of the pairs used
  // The pairs that showed the whole plate but were dropped as outliers, and why (one sentence
  // each).
  std::vector<std::string> droppedLeftImages, droppedRightImages, droppedReasons;
  // The calibration's uncertainty; none (views 0) when it was not estimated.
  Oskelo::CV::Native64::CalibrationUncertainty uncertainty;
};

// The current time as ISO 8601 in UTC, e.g. 2026-12-09T02:15:00Z.
std::string IsoTimeNow();

// The calibration held by a calibrated object, for images of `imageSize`.
CalibrationFile FromCalibration(const Oskelo::CV::Native64::Calibration& calibration,
                                cv::Size imageSize);

// Writes the file: YAML, or XML or JSON when the name ends so. The distortion rows are written with
// the five estimated coefficients (k1, k2, p1, p2, k3) when the last three are zero. Throws
// WorkFailed when the file cannot be written.
void WriteCalibrationFile(const std::string& path, const CalibrationFile& file);

// Reads and checks a calibration file: every key except the RMS values must be present, with the
// shape OpenCV gives it (distortion rows of 4, 5 or 8 coefficients) and finite values. Throws
// UsageError when the file does not exist and WorkFailed, naming the key, when it is malformed.
CalibrationFile ReadCalibrationFile(const std::string& path);

// A calibration object that triangulates with the file's calibration.
Oskelo::CV::Native64::Calibration MakeCalibration(const CalibrationFile& file);

}  // namespace dotcal
