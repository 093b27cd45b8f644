#pragma once

#include <opencv2/calib3d.hpp>

#include "native64/Calibration.h"
#include "synth/StereoRig.h"

// Writes the exact calibration of a synthetic rig into a calibration object, rectified the way
// ComputeStereoCalibration rectifies, so that triangulation can be checked without estimation
// errors.
inline void SetKnownCalibration(Oskelo::CV::Native64::Calibration& calibration,
                                const synth::StereoRig& rig) {
  const auto eight = [](const cv::Vec<double, 5>& d) {
    return cv::Mat((cv::Mat_<double>(1, 8) << d[0], d[1], d[2], d[3], d[4], 0, 0, 0));
  };
  auto& p = calibration.parameters;
  p.cameraMatrixLeft = cv::Mat(rig.left.K).clone();
  p.cameraMatrixRight = cv::Mat(rig.right.K).clone();
  p.distortionLeft = eight(rig.left.distortion);
  p.distortionRight = eight(rig.right.distortion);
  p.rotation = cv::Mat(rig.RightFromLeftR()).clone();
  p.translation = cv::Mat(rig.RightFromLeftT()).clone();
  cv::stereoRectify(p.cameraMatrixLeft, p.distortionLeft, p.cameraMatrixRight, p.distortionRight,
                    rig.left.imageSize, p.rotation, p.translation, p.rectificationLeft,
                    p.rectificationRight, p.projectionLeft, p.projectionRight, p.disparityToDepth,
                    cv::CALIB_ZERO_DISPARITY, -1);
}
