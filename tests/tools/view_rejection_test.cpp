// Dropping views that the plate fitted in both images does not explain: a plate labelled
// differently in the two images and a view of noisy (blurred) centres, among good views.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "detection/TargetShape.h"
#include "synth/GroundTruth.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"
#include "workflows/PlateCalibration.h"
#include "workflows/ViewRejection.h"

namespace {

using Oskelo::CV::Native64::Calibration;

constexpr int kViews = 10;
constexpr double kGoodNoisePx = 0.02;     // the refined centres' scatter on sharp renders
constexpr double kBlurredNoisePx = 0.12;  // the scatter of centres in a heavily blurred view
constexpr int kMislabelled = 3, kBlurred = 6;

// The series' plate views projected through the rig, each centre moved by Gaussian noise; view
// kMislabelled has its right image labelled from the opposite corner (the plate's 180-degree
// turn, which every plate allows), view kBlurred has noisier centres.
Calibration SpoiledSeries(const synth::StereoRig& rig) {
  Calibration calibration;
  dotcal::ConfigureCalibration(calibration, dotcal::TargetShape::Plate());
  std::mt19937_64 random(5);
  int view = 0;
  for (const synth::PlacedTarget& pose : synth::CalibrationSeries(rig, kViews, 12)) {
    std::normal_distribution<double> noise(0.0, view == kBlurred ? kBlurredNoisePx : kGoodNoisePx);
    for (const auto& [camera, lists] : {std::pair{&rig.left, &calibration.leftTargets},
                                        std::pair{&rig.right, &calibration.rightTargets}}) {
      lists->emplace_back();
      for (const cv::Point2d& dot : pose.target.dots) {
        lists->back().push_back(camera->Project(synth::TargetToWorld(pose, dot)) +
                                cv::Point2d(noise(random), noise(random)));
      }
    }
    if (view == kMislabelled) {
      std::reverse(calibration.rightTargets.back().begin(), calibration.rightTargets.back().end());
    }
    ++view;
  }
  return calibration;
}

TEST(ViewRejection, DropsExactlyTheMislabelledAndTheBlurredView) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  Calibration calibration = SpoiledSeries(rig);
  int calibrations = 0;
  const auto calibrate = [&](Calibration& c) {
    ++calibrations;
    dotcal::ComputeCalibration(c);
  };
  const std::vector<dotcal::DroppedView> dropped =
      dotcal::CalibrateDroppingOutliers(calibration, calibrate, {});

  // The mislabelled view first (its dots lie tens of pixels off), then the blurred one (its RMS
  // is about kBlurredNoisePx / kGoodNoisePx = 6 times the median once the first is gone).
  ASSERT_EQ(dropped.size(), 2u);
  EXPECT_EQ(dropped[0].pair, kMislabelled);
  EXPECT_GT(std::max(dropped[0].error.maxLeft, dropped[0].error.maxRight), 10.0);
  EXPECT_NE(dropped[0].reason.find("labelled differently"), std::string::npos) << dropped[0].reason;
  EXPECT_EQ(dropped[1].pair, kBlurred);
  EXPECT_GT(dropped[1].error.rms, 3.0 * dropped[1].medianRms);
  EXPECT_NE(dropped[1].reason.find("times the median"), std::string::npos) << dropped[1].reason;
  EXPECT_EQ(calibrations, 3);
  EXPECT_EQ(dotcal::UsablePairs(calibration), kViews - 2);

  // What is left is good: every view within 1.5 times the median (the noise is the same in all),
  // and the rig recovered as from good views alone (its focal length to 0.2 px: 10 views of
  // 0.02 px noise give about 0.05 px).
  const auto errors = dotcal::ComputeStereoViewErrors(calibration);
  ASSERT_EQ(errors.size(), static_cast<std::size_t>(kViews - 2));
  double medianRms = 0.0;
  std::string reason;
  EXPECT_EQ(dotcal::WorstOutlier(errors, {}, medianRms, reason), -1);
  for (const auto& e : errors) EXPECT_LT(e.rms, 1.5 * medianRms) << "pair " << e.pair;
  EXPECT_NEAR(calibration.parameters.cameraMatrixLeft.at<double>(0, 0), rig.left.K(0, 0), 0.2);
}

TEST(ViewRejection, KeepsEveryGoodViewAndNeverGoesBelowTheMinimum) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  Calibration calibration = SpoiledSeries(rig);
  // Without the two spoiled views nothing is dropped.
  for (int spoiled : {kBlurred, kMislabelled}) {
    calibration.leftTargets.erase(calibration.leftTargets.begin() + spoiled);
    calibration.rightTargets.erase(calibration.rightTargets.begin() + spoiled);
  }
  EXPECT_TRUE(
      dotcal::CalibrateDroppingOutliers(calibration, dotcal::ComputeCalibration, {}).empty());

  // With as many views as the minimum, the worst is kept however bad.
  std::vector<dotcal::StereoViewError> errors(4);
  for (std::size_t v = 0; v < errors.size(); ++v)
    errors[v] = {static_cast<int>(v), 0.01, 0.03, 0.03};
  errors[2] = {2, 5.0, 40.0, 40.0};
  double medianRms = 0.0;
  std::string reason;
  dotcal::ViewRejectionOptions options;
  options.minViews = 4;
  EXPECT_EQ(dotcal::WorstOutlier(errors, options, medianRms, reason), -1);
  options.minViews = 3;
  EXPECT_EQ(dotcal::WorstOutlier(errors, options, medianRms, reason), 2);
  // A bound is broken only beyond it: a view at 2.9 times the median stays.
  errors[2] = {2, 0.029, 0.05, 0.05};
  EXPECT_EQ(dotcal::WorstOutlier(errors, options, medianRms, reason), -1);
}

}  // namespace
