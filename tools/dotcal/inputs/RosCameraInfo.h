#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace dotcal {

// One camera's calibration as ROS describes it (sensor_msgs/CameraInfo), for the YAML files that
// ROS's camera_calibration_parsers read. Lengths are in metres: P's fourth column is
// (fx' * Tx, fy' * Ty, 0), the rectified focal lengths (pixels) times the translation between
// the rectified frames, x_this = x_first + (Tx, Ty, 0) in metres: 0 for the pair's first camera,
// Tx = -B for the right camera of a horizontal rig of baseline B.
struct RosCameraInfo {
  std::string cameraName;
  cv::Size imageSize;     // pixels
  cv::Matx33d K;          // the raw image's camera matrix: fx, fy, cx, cy in pixels
  std::vector<double> D;  // plumb_bob: k1 k2 p1 p2 k3, as OpenCV orders them
  cv::Matx33d R;          // rectification: rotates the camera's frame into the rectified one
  cv::Matx34d P;          // the rectified camera's projection; fourth column in metres
};

// The info of one camera of a calibration whose lengths are in some unit: P's fourth column, the
// only length, is multiplied by metresPerUnit (0.001 for a calibration in mm). Throws
// WorkFailed unless metresPerUnit is positive and finite.
RosCameraInfo MakeRosCameraInfo(const std::string& cameraName, cv::Size imageSize,
                                const cv::Matx33d& K, const std::vector<double>& D,
                                const cv::Matx33d& R, const cv::Matx34d& P, double metresPerUnit);

// Writes the info as ROS's camera_info YAML: image_width, image_height, camera_name,
// camera_matrix, distortion_model (plumb_bob), distortion_coefficients, rectification_matrix and
// projection_matrix, each matrix a map of rows, cols and the row-major data, every value at full
// double precision. Throws WorkFailed when the image is empty, D does not hold five coefficients,
// a value is not finite, the name holds a control character, or the file cannot be written.
void WriteRosCameraInfo(const std::string& path, const RosCameraInfo& info);

}  // namespace dotcal
