#include <gtest/gtest.h>

#include "native64/Calibration.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

using Oskelo::CV::Native64::Calibration;

namespace {

// A plate rendered without noise on a black background with chosen dot and box levels: the
// detector finds it exactly at the sweep thresholds t with dot <= t < box, where the dots are
// dark and the box is bright after binarisation.
cv::Mat PlateWithLevels(const synth::Camera& camera, double dotLevel, double boxLevel) {
  synth::RenderSettings render;
  render.noiseSigma = 0.0;
  render.backgroundLevel = 0.0;
  render.dotLevel = dotLevel;
  render.boxLevel = boxLevel;
  const synth::PlacedTarget plate = synth::PlaceInView(synth::Target::CalibrationPlate(), camera,
                                                       {624.0, 541.0}, 950.0, 10.0, -15.0, 5.0);
  return synth::Render(camera, {plate}, render).image;
}

// The plate as the detector finds it in state 4 at one threshold.
std::vector<cv::Point2d> DetectAt(const cv::Mat& image, int threshold) {
  Calibration fresh;
  fresh.settings->thresholdState = 4;
  fresh.settings->threshold = threshold;
  std::vector<cv::Point2d> targets;
  EXPECT_TRUE(fresh.imageProcessor->FindTargets(image.data, targets)) << threshold;
  return targets;
}

TEST(ExtractPair, DetectsEachCameraAtItsMiddleSuccessfulThreshold) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  // Left: found at 40, 45, 50, 55, so 50 is used; right: at 60, 65, 70, so 65.
  const cv::Mat left = PlateWithLevels(rig.left, 40.0, 58.0);
  const cv::Mat right = PlateWithLevels(rig.right, 60.0, 73.0);

  Calibration calibration;
  ASSERT_TRUE(calibration.ExtractPair(left.data, right.data));
  ASSERT_EQ(calibration.leftTargets.size(), 1u);

  // The thresholds next to the chosen ones cut the blurred dot rims elsewhere and move the
  // centres a little, so the lists identify the threshold used.
  const std::vector<cv::Point2d> left50 = DetectAt(left, 50);
  ASSERT_NE(left50, DetectAt(left, 45));
  ASSERT_NE(left50, DetectAt(left, 55));
  EXPECT_EQ(calibration.leftTargets[0], left50);
  const std::vector<cv::Point2d> right65 = DetectAt(right, 65);
  ASSERT_NE(right65, DetectAt(right, 60));
  ASSERT_NE(right65, DetectAt(right, 70));
  EXPECT_EQ(calibration.rightTargets[0], right65);
}

TEST(ExtractPair, UsesASingleSuccessfulThresholdAsItIs) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  // Found at 80 only (dots at 80, box at 84); the right image at 60, 65, 70.
  const cv::Mat left = PlateWithLevels(rig.left, 80.0, 84.0);
  const cv::Mat right = PlateWithLevels(rig.right, 60.0, 73.0);
  Calibration calibration;
  ASSERT_TRUE(calibration.ExtractPair(left.data, right.data));
  EXPECT_EQ(calibration.leftTargets[0], DetectAt(left, 80));
}

TEST(ExtractPair, WithAFixedThresholdDetectsOnceAtThatThreshold) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const cv::Mat left = PlateWithLevels(rig.left, 40.0, 58.0);
  const cv::Mat right = PlateWithLevels(rig.right, 60.0, 73.0);
  Calibration calibration;
  calibration.settings->fixedThreshold = true;
  calibration.settings->threshold = 50;
  // 50 lies below the right image's dots: the right camera fails, and nothing is appended.
  EXPECT_FALSE(calibration.ExtractPair(left.data, right.data));
  EXPECT_TRUE(calibration.leftTargets.empty());
  calibration.settings->threshold = 57;  // dots of both images dark, both boxes bright
  const cv::Mat right2 = PlateWithLevels(rig.right, 40.0, 73.0);
  ASSERT_TRUE(calibration.ExtractPair(left.data, right2.data));
  EXPECT_EQ(calibration.settings->threshold, 57);
}

}  // namespace
