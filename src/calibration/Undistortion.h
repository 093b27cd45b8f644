#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace Oskelo::CV::Native64::detail {

// Lens model of one camera, read from an intrinsic matrix and an 8-coefficient distortion row in
// OpenCV's order (k1, k2, p1, p2, k3, k4, k5, k6).
struct LensModel {
  double fx, fy, cx, cy;
  double k1, k2, p1, p2, k3, k4, k5, k6;
};

// Reads the lens model; throws cv::Exception unless the camera matrix is a 3 x 3 and the
// distortion an 8-element matrix, both of 64-bit floats.
LensModel ReadLensModel(const cv::Mat& cameraMatrix, const cv::Mat& distortion);

// Removes lens distortion from pixel points by 20 fixed-point steps that invert OpenCV's rational
// distortion model; results are pixels of the same camera matrix. The output may be the input.
void UndistortPixels(const std::vector<cv::Point_<double>>& points, const LensModel& lens,
                     std::vector<cv::Point_<double>>& undistorted);

// Carries undistorted pixel points into the rectified image: normalises them with the camera
// matrix, turns them by the rectifying rotation and projects them with the first three columns of
// the rectified projection matrix. The output may be the input.
void ProjectToRectified(const std::vector<cv::Point_<double>>& points,
                        const cv::Mat& cameraMatrix, const cv::Mat& projection,
                        const cv::Mat& rectification, std::vector<cv::Point_<double>>& projected);

}  // namespace Oskelo::CV::Native64::detail
