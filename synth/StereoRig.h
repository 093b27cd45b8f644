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

  // The default rig with cameras of another image size that see the same scene: baseline,
  // vergence and distortion unchanged, principal points scaled with the image by its width and
  // height ratios to the default 1248 x 1082. Both focal lengths scale by the larger ratio, which
  // keeps the pixels' shape: the field of view equals the default's along that ratio's axis, and
  // for another aspect ratio it is the default's cropped along the other axis, so the lens model
  // is never used beyond the default image's corners. Throws cv::Exception for an empty size.
  static StereoRig ForImageSize(cv::Size size);

  // The right camera's pose relative to the left: x_right = R * x_left + T (OpenCV's R and T of
  // stereo calibration).
  cv::Matx33d RightFromLeftR() const;
  cv::Vec3d RightFromLeftT() const;
};

}  // namespace synth
