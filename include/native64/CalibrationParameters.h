#pragma once

#include <opencv2/core.hpp>

#include "native64/Native64Export.h"

namespace Oskelo::CV::Native64 {

// The result of a stereo calibration, in OpenCV's terms (cv::stereoCalibrate, cv::stereoRectify).
// After a calibration every matrix holds 64-bit floats; copies share the matrices' element storage
// as cv::Mat copies do.
class NATIVE64_API CalibrationParameters {
 public:
  cv::Mat fundamental;         // F, 3 x 3
  cv::Mat essential;           // E, 3 x 3
  cv::Mat cameraMatrixLeft;    // intrinsics of the left camera (fx, fy, cx, cy in pixels), 3 x 3
  cv::Mat cameraMatrixRight;   // intrinsics of the right camera, 3 x 3
  cv::Mat projectionLeft;      // P1 of the rectified left camera, 3 x 4
  cv::Mat projectionRight;     // P2 of the rectified right camera, 3 x 4 (baseline in plate units)
  cv::Mat rectificationLeft;   // rectifying rotation R1 of the left camera, 3 x 3
  cv::Mat rectificationRight;  // rectifying rotation R2 of the right camera, 3 x 3
  cv::Mat distortionLeft;      // 1 x 8: k1, k2, p1, p2, k3, 0, 0, 0 (OpenCV's order)
  cv::Mat distortionRight;     // 1 x 8, the same layout
  cv::Mat disparityToDepth;    // Q, 4 x 4
  cv::Mat rotation;            // R: x_right = R * x_left + T, 3 x 3
  cv::Mat translation;         // T, 3 x 1, in plate units
};

}  // namespace Oskelo::CV::Native64
