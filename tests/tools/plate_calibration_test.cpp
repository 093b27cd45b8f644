#include <gtest/gtest.h>

#include "CommandError.h"
#include "detection/SizeScale.h"
#include "native64/Native64.h"
#include "synth/Scenes.h"
#include "workflows/PlateCalibration.h"
#include "workflows/StereoRendering.h"

namespace {

using Oskelo::CV::Native64::Calibration;

TEST(PlateCalibration, TheDefaultPlateGivesExactlyTheLibrarysOwnCalibration) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const auto poses = synth::CalibrationSeries(rig, 4, 23);
  Calibration tool, library;
  dotcal::ConfigureCalibration(tool, dotcal::TargetShape::Plate());
  EXPECT_EQ(tool.nominalPattern.points, library.nominalPattern.points);
  for (int i = 0; i < 4; ++i) {
    const dotcal::StereoImages images = dotcal::RenderStereo(rig, poses[i], synth::RenderSettings(),
                                                             23, dotcal::Sequence::kPlate, i);
    const dotcal::PairResult result =
        dotcal::ExtractPlatePair(tool, dotcal::TargetShape::Plate(), images.left, images.right);
    ASSERT_EQ(result.outcome, dotcal::PairOutcome::kUsed) << result.reason;
    // The plate's outline lies well inside the detector's nominal window: the scale stays 1.
    EXPECT_EQ(result.sizeScale, 1.0);
    ASSERT_TRUE(library.ExtractPair(images.left.data, images.right.data));
  }
  EXPECT_EQ(tool.leftTargets, library.leftTargets);
  EXPECT_EQ(tool.rightTargets, library.rightTargets);
  dotcal::ComputeCalibration(tool);
  library.ComputeStereoCalibration();
  EXPECT_EQ(
      cv::norm(tool.parameters.cameraMatrixLeft, library.parameters.cameraMatrixLeft, cv::NORM_INF),
      0.0);
  EXPECT_EQ(cv::norm(tool.parameters.translation, library.parameters.translation, cv::NORM_INF),
            0.0);
  EXPECT_EQ(tool.rmsStereo, library.rmsStereo);
}

TEST(PlateCalibration, APairWithoutThePlateSaysWhyForEachImage) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const auto poses = synth::CalibrationSeries(rig, 1, 4);
  const dotcal::StereoImages images =
      dotcal::RenderStereo(rig, poses[0], synth::RenderSettings(), 4, dotcal::Sequence::kPlate, 0);
  const cv::Mat blank(images.right.size(), CV_8UC1, cv::Scalar(20));
  Calibration calibration;
  dotcal::ConfigureCalibration(calibration, dotcal::TargetShape::Plate());
  const dotcal::PairResult result =
      dotcal::ExtractPlatePair(calibration, dotcal::TargetShape::Plate(), images.left, blank);
  EXPECT_EQ(result.outcome, dotcal::PairOutcome::kRejected);
  EXPECT_TRUE(calibration.leftTargets.empty());
  // Only the image without the plate is named.
  EXPECT_EQ(result.reason.find("left image"), std::string::npos) << result.reason;
  EXPECT_EQ(result.reason.rfind("right image: no threshold from 20 to 215", 0), 0u)
      << result.reason;
  EXPECT_EQ(dotcal::OutcomeText(result), "rejected: " + result.reason);
  // A plate with empty nodes cannot be matched with nominal points.
  EXPECT_THROW(dotcal::ConfigureCalibration(calibration, dotcal::TargetShape::Tracker()),
               dotcal::UsageError);
}

TEST(SizeScale, StaysAtOneUnlessAnOutlineNearsTheWindowsEnds) {
  // The window spans 0.5 to 2 times the ideal; outlines are kept 1.25 times inside its ends.
  EXPECT_EQ(dotcal::ChooseSizeScale({}), 1.0);
  EXPECT_EQ(dotcal::ChooseSizeScale({1.0, 0.7, 1.5}), 1.0);
  EXPECT_DOUBLE_EQ(dotcal::ChooseSizeScale({3.2}), 2.0);       // 3.2 / 1.6
  EXPECT_DOUBLE_EQ(dotcal::ChooseSizeScale({0.25}), 0.4);      // 0.25 / 0.625
  EXPECT_DOUBLE_EQ(dotcal::ChooseSizeScale({4.0, 2.0}), 2.5);  // nearest 1 that holds both
  // Outlines too far apart for one window: midway between them.
  EXPECT_DOUBLE_EQ(dotcal::ChooseSizeScale({1.0, 9.0}), 3.0);
}

}  // namespace
