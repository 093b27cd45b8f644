#include <gtest/gtest.h>

#include "workflows/StereoRendering.h"
#include "detection/TargetDetection.h"
#include "native64/Native64.h"
#include "synth/Scenes.h"

namespace {

using Oskelo::CV::Native64::Calibration;

TEST(DetectTarget, FindsThePlateAsTheCalibrationDoes) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const auto poses = synth::CalibrationSeries(rig, 2, 11);
  for (int i = 0; i < 2; ++i) {
    const dotcal::StereoImages images = dotcal::RenderStereo(rig, poses[i], synth::RenderSettings(),
                                                             11, dotcal::Sequence::kPlate, i);
    Calibration calibration;
    ASSERT_TRUE(calibration.ExtractPair(images.left.data, images.right.data));
    std::vector<cv::Point2d> left, right;
    ASSERT_TRUE(dotcal::DetectTarget(images.left, dotcal::TargetShape::Plate(), left));
    ASSERT_TRUE(dotcal::DetectTarget(images.right, dotcal::TargetShape::Plate(), right));
    // The same sweep and choice of threshold: the same dots in the same order.
    EXPECT_EQ(left, calibration.leftTargets[0]);
    EXPECT_EQ(right, calibration.rightTargets[0]);
  }
}

TEST(DetectTarget, ReportsNoTargetWithAnEmptyList) {
  const cv::Mat blank(1082, 1248, CV_8UC1, cv::Scalar(20));
  std::vector<cv::Point2d> dots = {{1, 2}};
  EXPECT_FALSE(dotcal::DetectTarget(blank, dotcal::TargetShape::Tracker(), dots));
  EXPECT_TRUE(dots.empty());
}

TEST(TargetFollower, FollowsTheTrackerInAnImageOfAnotherWidth) {
  // 800 pixels wide: the rows must be read packed, without the detector's leading column bytes.
  synth::Camera camera = synth::StereoRig::Default().left;
  camera.imageSize = {800, 600};
  camera.K(0, 2) = 400.0;
  camera.K(1, 2) = 300.0;
  const synth::Target tracker = synth::Target::Tracker();
  dotcal::TargetFollower follower(dotcal::TargetShape::Tracker(), camera.imageSize);
  for (int frame = 0; frame < 8; ++frame) {
    const auto pose =
        synth::PlaceInView(tracker, camera, {300.0 + 15.0 * frame, 280.0}, 800.0, 5.0, -5.0, 0.0);
    synth::RenderSettings settings;
    settings.seed = 40 + frame;
    const synth::Rendering rendering = synth::Render(camera, {pose}, settings);
    std::vector<cv::Point2d> dots;
    ASSERT_TRUE(follower.Next(rendering.image, dots)) << "frame " << frame;
    ASSERT_EQ(dots.size(), 7u);
    // Detection order: dot i of the output is always the same tracker dot. Sub-pixel centres
    // lie within 0.15 px of the true area centroids (the detector's accuracy bound).
    double nearest = 1e9;
    for (const auto& truth : rendering.truth[0]) {
      nearest = std::min(nearest, cv::norm(truth.areaCentroid - dots[0]));
    }
    EXPECT_LT(nearest, 0.15);
  }
  std::vector<cv::Point2d> dots;
  EXPECT_FALSE(follower.Next(cv::Mat(600, 800, CV_8UC1, cv::Scalar(20)), dots));
}

}  // namespace
