// Dropping views that the plate fitted in both images does not explain: a plate labelled
// differently in the two images and a view of noisy (blurred) centres, among good views.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "calibration/calibration_tolerances.h"
#include "detection/TargetShape.h"
#include "reports/CalibrationReport.h"
#include "synth/GroundTruth.h"
#include "synth/Renderer.h"
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

namespace {

// The grid corner that a labelling starts from: the dot of the plate (index into its dots) whose
// image lies nearest the image point labelled first.
int FirstDot(const synth::Camera& camera, const synth::PlacedTarget& pose, cv::Point2d first) {
  int nearest = -1;
  double nearestPx = 1e300;
  for (std::size_t k = 0; k < pose.target.dots.size(); ++k) {
    const double px =
        cv::norm(camera.Project(synth::TargetToWorld(pose, pose.target.dots[k])) - first);
    if (px < nearestPx) nearestPx = px, nearest = static_cast<int>(k);
  }
  return nearest;
}

// A rendered series of a square plate (10 x 10 dots): 8 ordinary pairs, then three turned by
// about 45 degrees about their normal, where the corner that the labelling starts from changes
// (measured on this rig between 42.5 and 48 degrees, with the tilt deciding where): in two of them
// the two cameras start from corners 90 degrees apart, in the third from the same; then a pair
// blurred heavily (Gaussian sigma 6 px; measured: view RMS 0.086 px against a median of 0.015 px,
// where sigma 4 px stays just below 3 times the median). The calibration relabels the two, keeps
// the third as found and drops the blurred one, the only view dropped.
TEST(ViewRejection, RenderedSquarePlateNear45DegreesIsRelabelledAndTheBlurredPairDropped) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const synth::Target plate = synth::Target::Grid(10, 10, 20, 10, 15);
  const dotcal::TargetShape shape = dotcal::MakeShape("10x10", 0, 20, 10);
  std::vector<synth::PlacedTarget> poses = synth::CalibrationSeries(rig, plate, 8, 3);
  const cv::Point2d centre(624, 541);
  constexpr int kTurnedApart[] = {8, 9}, kBlurredPair = 11;  // pair 10 is turned alike
  poses.push_back(synth::PlaceInView(plate, rig.left, centre, 800, 0, 0, 45.0));
  poses.push_back(synth::PlaceInView(plate, rig.left, centre, 800, 0, -20, 44.5));
  poses.push_back(synth::PlaceInView(plate, rig.left, centre, 800, 0, 20, 46.0));
  poses.push_back(poses[2]);

  Calibration calibration;
  dotcal::ConfigureCalibration(calibration, shape);
  synth::RenderSettings render;
  for (std::size_t i = 0; i < poses.size(); ++i) {
    render.seed = 40 + 2 * i;
    cv::Mat left = synth::Render(rig.left, {poses[i]}, render).image;
    render.seed = 41 + 2 * i;
    cv::Mat right = synth::Render(rig.right, {poses[i]}, render).image;
    if (static_cast<int>(i) == kBlurredPair) {
      cv::GaussianBlur(left, left, cv::Size(), 6.0);
      cv::GaussianBlur(right, right, cv::Size(), 6.0);
    }
    const dotcal::PairResult found = dotcal::ExtractPlatePair(calibration, shape, left, right);
    ASSERT_EQ(found.outcome, dotcal::PairOutcome::kUsed) << "pair " << i << ": " << found.reason;
    const int leftFirst = FirstDot(rig.left, poses[i], calibration.leftTargets.back()[0]);
    const int rightFirst = FirstDot(rig.right, poses[i], calibration.rightTargets.back()[0]);
    const bool apart =
        static_cast<int>(i) == kTurnedApart[0] || static_cast<int>(i) == kTurnedApart[1];
    EXPECT_EQ(leftFirst != rightFirst, apart) << "pair " << i << ": the labellings start from dots "
                                              << leftFirst << " and " << rightFirst;
  }

  std::vector<std::pair<int, std::vector<int>>> calls;
  const dotcal::ViewRejection rejection = dotcal::CalibrateDroppingOutliers(
      calibration, dotcal::ComputeCalibration, Relabels{&calls}, dotcal::ViewRejectionOptions());
  ASSERT_EQ(rejection.dropped.size(), 1u);
  EXPECT_EQ(rejection.dropped[0].pair, kBlurredPair) << rejection.dropped[0].reason;
  std::printf("blurred pair: RMS %.4f px, median %.4f px\n", rejection.dropped[0].error.rms,
              rejection.dropped[0].medianRms);
  ASSERT_EQ(rejection.relabelled.size(), 2u);
  for (const dotcal::RelabelledView& view : rejection.relabelled) {
    EXPECT_TRUE(view.pair == kTurnedApart[0] || view.pair == kTurnedApart[1]) << view.pair;
    EXPECT_TRUE(view.degrees == 90 || view.degrees == 270) << view.degrees;
  }
  EXPECT_NE(rejection.relabelled[0].pair, rejection.relabelled[1].pair);
  // Relabelled, both cameras start from the same corner, and the rig comes out as from good views.
  for (const int pair : kTurnedApart) {
    EXPECT_EQ(FirstDot(rig.left, poses[pair], calibration.leftTargets[pair][0]),
              FirstDot(rig.right, poses[pair], calibration.rightTargets[pair][0]));
  }
  EXPECT_EQ(dotcal::UsablePairs(calibration), 11);
  EXPECT_NEAR(calibration.parameters.cameraMatrixLeft.at<double>(0, 0), rig.left.K(0, 0),
              calibration_tolerances::kFocalTolShare * rig.left.K(0, 0));
  EXPECT_LT(
      dotcal::RotationAngleDeg(cv::Matx33d(calibration.parameters.rotation), rig.RightFromLeftR()),
      calibration_tolerances::kRotationTolDeg);
}

}  // namespace
