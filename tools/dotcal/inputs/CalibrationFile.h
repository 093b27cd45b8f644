#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "native64/Native64.h"

namespace dotcal {

// A stereo calibration as a file: an OpenCV YAML file (cv::FileStorage) with the keys of OpenCV's
// stereo tools: image_width, image_height, M1, D1, M2, D2, R, T, E, F, R1, R2, P1, P2, Q, and the
// three RMS reprojection errors rms_left, rms_right, rms_stereo (pixels). Lengths (T, P2, Q) are in
// the plate's unit.
struct CalibrationFile {
  cv::Size imageSize;  // pixels
  // Every matrix as 64-bit floats; the distortion rows hold 8 coefficients (k1, k2, p1, p2, k3,
  // k4, k5, k6), as triangulation reads them.
  Oskelo::CV::Native64::CalibrationParameters parameters;
  double rmsLeft = 0.0, rmsRight = 0.0, rmsStereo = 0.0;  // pixels; NaN when the file has none
};

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
