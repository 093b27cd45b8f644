#include "synth/StereoRig.h"

#include <algorithm>
#include <cmath>

namespace synth {
namespace {

constexpr double kBaselineMm = 250.0;
constexpr double kVergenceDeg = 8.0;  // the right camera turned toward the left one about y

Camera MakeCamera(double fx, double fy, double cx, double cy,
                  const cv::Vec<double, 5>& distortion) {
  Camera camera;
  camera.K = cv::Matx33d(fx, 0, cx, 0, fy, cy, 0, 0, 1);
  camera.distortion = distortion;
  return camera;
}

}  // namespace

StereoRig StereoRig::Default() {
  StereoRig rig;
  // Two lenses of one model: the same kind of distortion with slightly different coefficients.
  rig.left = MakeCamera(1498.0, 1500.5, 626.3, 538.7, {-0.150, 0.050, 2.0e-4, -1.5e-4, -0.010});
  rig.right = MakeCamera(1503.2, 1505.0, 621.8, 543.1, {-0.145, 0.046, -1.2e-4, 3.0e-4, -0.008});

  // The right camera's centre sits at (baseline, 0, 0) in the left frame; turning it toward the
  // left camera tilts its optical axis toward -x, so world_from_right is a rotation by -vergence.
  const double a = kVergenceDeg * CV_PI / 180.0;
  const cv::Matx33d right_from_world(std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0,
                                     std::cos(a));
  rig.right.camera_from_world_R = right_from_world;
  rig.right.camera_from_world_t = -(right_from_world * cv::Vec3d(kBaselineMm, 0, 0));
  return rig;
}

StereoRig StereoRig::ForImageSize(cv::Size size) {
  if (size.width <= 0 || size.height <= 0)
    CV_Error(cv::Error::StsBadSize, "ForImageSize: the image is empty");
  StereoRig rig = Default();
  for (Camera* camera : {&rig.left, &rig.right}) {
    const double xRatio = static_cast<double>(size.width) / camera->imageSize.width;
    const double yRatio = static_cast<double>(size.height) / camera->imageSize.height;
    const double focalRatio = std::max(xRatio, yRatio);
    cv::Matx33d& K = camera->K;
    K(0, 0) *= focalRatio;
    K(1, 1) *= focalRatio;
    // The image spans [-0.5, size - 0.5] in pixel coordinates: scaling it about its corner keeps
    // each image edge on the same ray along the axis whose ratio the focal lengths take.
    K(0, 2) = (K(0, 2) + 0.5) * xRatio - 0.5;
    K(1, 2) = (K(1, 2) + 0.5) * yRatio - 0.5;
    camera->imageSize = size;
  }
  return rig;
}

cv::Matx33d StereoRig::RightFromLeftR() const {
  return right.camera_from_world_R * left.camera_from_world_R.t();
}

cv::Vec3d StereoRig::RightFromLeftT() const {
  return right.camera_from_world_t - RightFromLeftR() * left.camera_from_world_t;
}

}  // namespace synth
