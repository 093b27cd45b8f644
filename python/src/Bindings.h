#pragma once

#include <pybind11/pybind11.h>

#include "native64/ImageProcessor.h"

// The module's parts, one per area of the library.
namespace native64_python {

// The settings record of `owner` for Python. The record belongs to the detectors that share it;
// the returned object keeps a detector that shares it alive, so it stays valid after `owner` is
// given another record (share_settings) or is itself collected (with a calibration that owned it).
pybind11::object SettingsOf(Oskelo::CV::Native64::ImageProcessor& owner);

// ImageProcessorSettings, ImageProcessor, the image entry points, the survey and dot refinement.
void BindDetection(pybind11::module_& m);

// NominalPattern, CalibrationParameters, Calibration, the unbiased calibration, the outline
// centre bias and the calibration's uncertainty.
void BindCalibration(pybind11::module_& m);

// dotcal's file formats: target descriptions, tool definitions, calibration files.
void BindFiles(pybind11::module_& m);

// Cone, Reference, the pose-based pivot fits, hypersphere and rigid-transform fits, utilities.
void BindGeometry(pybind11::module_& m);

}  // namespace native64_python
