#pragma once

// Bounds a working calibration chain must meet on a rendered series through the default rig
// (noise 1.5 grey levels, blur 0.7 px, detection about 0.015 px RMS): intrinsics and baseline as a
// share of truth, principal point and reprojection errors in pixels, rotation in degrees,
// triangulated grid spacing in plate units (mm).
namespace calibration_tolerances {
constexpr double kFocalTolShare = 0.003;
constexpr double kPrincipalPointTolPx = 3.0;
constexpr double kBaselineTolShare = 0.003;
constexpr double kRotationTolDeg = 0.05;
constexpr double kRmsMaxPx = 0.15;
constexpr double kSpacingRmsMax = 0.05;
constexpr double kSpacingMaxError = 0.2;
}  // namespace calibration_tolerances
