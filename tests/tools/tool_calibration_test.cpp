#include <gtest/gtest.h>

#include "CommandError.h"
#include "calibration/known_rig.h"
#include "workflows/PivotToolScene.h"
#include "workflows/StereoRendering.h"
#include "workflows/ToolCalibration.h"

namespace {

using Oskelo::CV::Native64::Calibration;

constexpr int kFrames = 12;
// With the exact calibration and 12 frames the tip lies within about 0.2 mm of the truth (dots
// triangulated to ~0.02 mm, amplified by the sphere fits on a 15-degree cap); 0.5 mm leaves room
// while a wrong marker order or frame is off by millimetres.
constexpr double kTipTolMm = 0.5;

class ToolSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override { SetKnownCalibration(calibration_, rig_); }

  dotcal::StereoImages Frame(const synth::PlacedTarget& pose, int index) const {
    return dotcal::RenderStereo(rig_, pose, synth::RenderSettings(), 5, dotcal::Sequence::kTool,
                                index);
  }

  const synth::StereoRig rig_ = synth::StereoRig::Default();
  Calibration calibration_;
};

TEST_F(ToolSequenceTest, FindsTheTipWithEveryFitAndSkipsLostFrames) {
  const dotcal::PivotToolScene scene = dotcal::MakePivotToolScene(rig_, kFrames);
  dotcal::ToolSequence sequence(calibration_, dotcal::TargetShape::Tracker());
  const cv::Mat blank(rig_.left.imageSize, CV_8UC1, cv::Scalar(20));
  std::vector<cv::Point2d> leftDots;
  for (int k = 0; k < kFrames; ++k) {
    const dotcal::StereoImages images = Frame(scene.frames[k], k);
    EXPECT_EQ(sequence.AddFrame(images.left, images.right, leftDots), dotcal::FrameOutcome::kUsed);
    EXPECT_EQ(leftDots.size(), 7u);
    if (k == 5) {  // the target hidden from the right camera for a frame
      EXPECT_EQ(sequence.AddFrame(images.left, blank, leftDots), dotcal::FrameOutcome::kLost);
    }
  }
  ASSERT_EQ(sequence.Frames().size(), static_cast<std::size_t>(kFrames));

  const cv::Point3d trueTip(cv::Matx33d(calibration_.parameters.rectificationLeft) *
                            cv::Vec3d(scene.tip));
  for (const char* method : {"hyper", "iterative", "pratt", "taubin"}) {
    const dotcal::PivotResult result = sequence.Calibrate(dotcal::FitMethodCode(method));
    EXPECT_LT(cv::norm(result.tip - trueTip), kTipTolMm) << method;
    EXPECT_EQ(result.framesUsed, kFrames);
    ASSERT_EQ(result.markerOffsets.size(), 7u);
    // The first marker's offset is its first position less the tip.
    EXPECT_LT(cv::norm(result.markerOffsets[0] - (sequence.Frames()[0][0] - result.tip)), 1e-9);
    EXPECT_LT(result.tipRms, kTipTolMm) << method;
  }
}

TEST_F(ToolSequenceTest, ATargetOfAnotherShapeIsNotTakenForTheTool) {
  const dotcal::PivotToolScene scene = dotcal::MakePivotToolScene(rig_, 2);
  dotcal::ToolSequence sequence(calibration_, dotcal::TargetShape::Tracker());
  std::vector<cv::Point2d> leftDots;
  const dotcal::StereoImages first = Frame(scene.frames[0], 0);
  ASSERT_EQ(sequence.AddFrame(first.left, first.right, leftDots), dotcal::FrameOutcome::kUsed);
  // The same 4 x 2 tracker with another node empty: seven dots, but not at the same distances.
  synth::PlacedTarget other = scene.frames[1];
  other.target = synth::Target::Tracker(4, 2, 16.0, 8.0, {6});
  const dotcal::StereoImages second = Frame(other, 1);
  EXPECT_EQ(sequence.AddFrame(second.left, second.right, leftDots),
            dotcal::FrameOutcome::kNotRigid);
  EXPECT_EQ(sequence.Frames().size(), 1u);
}

TEST_F(ToolSequenceTest, TooFewFramesForTheFitFailTheWork) {
  const dotcal::PivotToolScene scene = dotcal::MakePivotToolScene(rig_, 4);
  dotcal::ToolSequence sequence(calibration_, dotcal::TargetShape::Tracker());
  std::vector<cv::Point2d> leftDots;
  for (int k = 0; k < 4; ++k) {
    const dotcal::StereoImages images = Frame(scene.frames[k], k);
    sequence.AddFrame(images.left, images.right, leftDots);
  }
  // Four frames: enough for the iterative and Taubin fits, one short for hyper and Pratt.
  EXPECT_THROW(sequence.Calibrate(dotcal::FitMethodCode("hyper")), dotcal::WorkFailed);
  EXPECT_THROW(sequence.Calibrate(dotcal::FitMethodCode("pratt")), dotcal::WorkFailed);
  EXPECT_NO_THROW(sequence.Calibrate(dotcal::FitMethodCode("taubin")));
  EXPECT_THROW(dotcal::FitMethodCode("median"), dotcal::UsageError);
}

}  // namespace
