#pragma once

#include <ostream>
#include <string>

#include "inputs/CalibrationFile.h"
#include "native64/Native64.h"
#include "synth/StereoRig.h"
#include "workflows/CalibrationCheck.h"

namespace dotcal {

// How well the triangulated plate keeps its spacing: every distance between grid neighbours of
// every usable pair, compared with the nominal spacing (plate units).
SpacingErrors TriangulatedSpacing(const Oskelo::CV::Native64::Calibration& calibration);

// Angle of the rotation that carries one rotation onto the other, degrees.
double RotationAngleDeg(const cv::Matx33d& a, const cv::Matx33d& b);

// Prints the calibration: intrinsics and distortion of both cameras, baseline (in `unit`, the
// plate's), and the RMS values.
void PrintCalibration(std::ostream& out, const CalibrationFile& file, const std::string& unit);

// Prints the calibration's uncertainty (one sigma): the intrinsics, the baseline and the
// rotation between the cameras, and a triangulated point at the plates' median depth on the
// left image's centre ray and its worst corner ray; lengths in `unit`.
void PrintUncertainty(std::ostream& out, const Oskelo::CV::Native64::CalibrationUncertainty& u,
                      const std::string& unit);

// Prints the calibration next to the rig that took the images, with the errors: intrinsics,
// baseline, rotation, the three RMS values and the triangulated spacing.
void PrintComparison(std::ostream& out, const Oskelo::CV::Native64::Calibration& calibration,
                     const synth::StereoRig& rig);

}  // namespace dotcal
