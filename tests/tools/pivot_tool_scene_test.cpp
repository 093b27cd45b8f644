#include <gtest/gtest.h>

#include "workflows/PivotToolScene.h"
#include "workflows/StereoRendering.h"

namespace {

// The tracker's dots as rigid points about the fixed tip: the scene is a true pivot.
TEST(PivotToolScene, DotsKeepTheirDistanceFromTheTipAndSpreadOverTheCone) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const dotcal::PivotToolScene scene = dotcal::MakePivotToolScene(rig, 40);
  ASSERT_EQ(scene.frames.size(), 40u);
  const std::vector<cv::Point3d> first = dotcal::DotPositions(scene.frames[0]);
  double largestTiltDeg = 0.0;
  for (const synth::PlacedTarget& frame : scene.frames) {
    const std::vector<cv::Point3d> dots = dotcal::DotPositions(frame);
    for (std::size_t i = 0; i < dots.size(); ++i) {
      EXPECT_NEAR(cv::norm(dots[i] - scene.tip), cv::norm(first[i] - scene.tip), 1e-9);
      for (std::size_t j = 0; j < dots.size(); ++j) {
        EXPECT_NEAR(cv::norm(dots[i] - dots[j]), cv::norm(first[i] - first[j]), 1e-9);
      }
    }
    // The tracker faces the cameras: its normal (+z, toward the tip) stays near the view axis.
    const cv::Vec3d normal = frame.world_from_target_R * cv::Vec3d(0, 0, 1);
    largestTiltDeg = std::max(largestTiltDeg, std::acos(normal[2]) * 180.0 / CV_PI);
  }
  EXPECT_NEAR(largestTiltDeg, scene.coneHalfAngleDeg, 1e-6);
  // The tracker plane lies trackerDistance in front of the tip.
  const cv::Vec3d normal = scene.frames[0].world_from_target_R * cv::Vec3d(0, 0, 1);
  EXPECT_NEAR((cv::Vec3d(scene.tip) - cv::Vec3d(first[0])).dot(normal), scene.trackerDistance,
              1e-9);
}

}  // namespace
