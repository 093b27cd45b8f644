#pragma once

#include <opencv2/core.hpp>

namespace synth {

// A pinhole camera with OpenCV's five-coefficient lens model (k1, k2, p1, p2, k3), placed in the
// world by its pose: x_camera = camera_from_world_R * x_world + camera_from_world_t.
struct Camera {
  cv::Size imageSize{1248, 1082};      // pixels
  cv::Matx33d K = cv::Matx33d::eye();  // fx, fy, cx, cy in pixels
  cv::Vec<double, 5> distortion{};     // k1, k2, p1, p2, k3, as OpenCV orders them
  cv::Matx33d camera_from_world_R = cv::Matx33d::eye();
  cv::Vec3d camera_from_world_t{0, 0, 0};  // length unit of the scene (mm)

  // Pixel of a world point, lens distortion included (what cv::projectPoints gives).
  cv::Point2d Project(const cv::Point3d& world) const;

  // Normalised undistorted coordinates (x/z, y/z in the camera frame) of the ray through a pixel:
  // the inverse of the lens model, solved iteratively to well below 1e-6 px.
  cv::Point2d PixelToRay(const cv::Point2d& pixel) const;
};

}  // namespace synth
