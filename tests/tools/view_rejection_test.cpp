// Dropping views that the plate fitted in both images does not explain: a plate labelled
// differently in the two images and a view of noisy (blurred) centres, among good views.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

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

// The relabelling callback's record: which pair, in which order.
struct Relabels {
  std::vector<std::pair<int, std::vector<int>>>* calls;
  void operator()(int pair, const std::vector<int>& order) const {
    calls->emplace_back(pair, order);
  }
};

TEST(ViewRejection, DropsTheBlurredViewAndRelabelsTheMislabelledOne) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  Calibration calibration = SpoiledSeries(rig);
  const Calibration original = SpoiledSeries(rig);
  int calibrations = 0;
  const auto calibrate = [&](Calibration& c) {
    ++calibrations;
    dotcal::ComputeCalibration(c);
  };
  std::vector<std::pair<int, std::vector<int>>> calls;
  const dotcal::ViewRejection rejection = dotcal::CalibrateDroppingOutliers(
      calibration, calibrate, Relabels{&calls}, dotcal::ViewRejectionOptions());

  // The mislabelled view went first (its dots lie tens of pixels off), then the blurred one (its
  // RMS about kBlurredNoisePx / kGoodNoisePx = 6 times the median once the first is gone); the
  // first came back relabelled, turned by 180 degrees, and the rig was calibrated once more.
  ASSERT_EQ(rejection.dropped.size(), 1u);
  const dotcal::DroppedView& blurred = rejection.dropped[0];
  EXPECT_EQ(blurred.pair, kBlurred);
  EXPECT_GT(blurred.error.rms, 3.0 * blurred.medianRms);
  EXPECT_NE(blurred.reason.find("times the median"), std::string::npos) << blurred.reason;
  ASSERT_EQ(rejection.relabelled.size(), 1u);
  const dotcal::RelabelledView& turned = rejection.relabelled[0];
  EXPECT_EQ(turned.pair, kMislabelled);
  EXPECT_EQ(turned.degrees, 180);
  EXPECT_GT(std::max(turned.before.maxLeft, turned.before.maxRight), 10.0);
  EXPECT_LT(turned.after.rms, 1.5 * blurred.medianRms);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].first, kMislabelled);
  EXPECT_EQ(calibrations, 4);
  EXPECT_EQ(dotcal::UsablePairs(calibration), kViews - 1);
  // The right image's dots back in the left image's order: the reversal undone.
  std::vector<cv::Point2d> unturned = original.rightTargets[kMislabelled];
  std::reverse(unturned.begin(), unturned.end());
  EXPECT_EQ(calibration.rightTargets[kMislabelled], unturned);

  // What is left is good: every view within 1.5 times the median (the noise is the same in all),
  // and the rig recovered as from good views alone (its focal length to 0.2 px: 10 views of
  // 0.02 px noise give about 0.05 px).
  const auto errors = dotcal::ComputeStereoViewErrors(calibration);
  ASSERT_EQ(errors.size(), static_cast<std::size_t>(kViews - 1));
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
  std::vector<std::pair<int, std::vector<int>>> calls;
  const dotcal::ViewRejection clean = dotcal::CalibrateDroppingOutliers(
      calibration, dotcal::ComputeCalibration, Relabels{&calls}, dotcal::ViewRejectionOptions());
  EXPECT_TRUE(clean.dropped.empty());
  EXPECT_TRUE(clean.relabelled.empty());
  EXPECT_TRUE(calls.empty());

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

// Every turn is a rotation of the grid about its centre: the dot that takes label j lies where
// label j's dot lies turned by the turn's angle (one sense for all), on square and oblong plates.
TEST(ViewRejection, PlateTurnsAreTheGridsRotations) {
  for (const auto& [columns, rows] : {std::pair{4, 4}, std::pair{3, 5}}) {
    const std::vector<dotcal::PlateTurn> turns = dotcal::PlateTurns(columns, rows);
    ASSERT_EQ(turns.size(), columns == rows ? 3u : 1u);
    const cv::Point2d centre(0.5 * (columns - 1), 0.5 * (rows - 1));
    const auto at = [&](int label) { return cv::Point2d(label % columns, label / columns); };
    for (const dotcal::PlateTurn& turn : turns) {
      const double angle = turn.degrees * CV_PI / 180.0;
      for (int j = 0; j < columns * rows; ++j) {
        const cv::Point2d d = at(j) - centre;
        const cv::Point2d turned(centre.x + std::cos(angle) * d.x - std::sin(angle) * d.y,
                                 centre.y + std::sin(angle) * d.x + std::cos(angle) * d.y);
        EXPECT_NEAR(cv::norm(at(turn.order[static_cast<std::size_t>(j)]) - turned), 0.0, 1e-9)
            << columns << " x " << rows << ", " << turn.degrees << " degrees, label " << j;
      }
    }
  }
}

}  // namespace
