#pragma once

#include <opencv2/core.hpp>

#include "Camera.h"

namespace synth {

// Two cameras looking at one scene. The world frame is the left camera's frame.
struct StereoRig {
  Camera left;
  Camera right;

  // Baseline 250 mm along x, the right camera turned 8 degrees toward the left one about y,
  // focal lengths about 1500 px, principal points near the image centre, distortion k1 about
  // -0.15 with small k2, p1, p2, k3 (the two cameras differ slightly).
  static StereoRig Default();

  // The right camera's pose relative to the left: x_right = R * x_left + T (OpenCV's R and T of
  // stereo calibration).
  cv::Matx33d RightFromLeftR() const;
  cv::Vec3d RightFromLeftT() const;
};

}  // namespace synth
