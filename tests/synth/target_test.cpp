#include "synth/Target.h"

#include <gtest/gtest.h>

namespace {

TEST(SynthTarget, CalibrationPlateFollowsTheNominalOrder) {
  const synth::Target plate = synth::Target::CalibrationPlate();
  ASSERT_EQ(plate.dots.size(), 117u);
  EXPECT_EQ(plate.dots[0], cv::Point2d(30, 30));
  EXPECT_EQ(plate.dots[8], cv::Point2d(270, 30));
  EXPECT_EQ(plate.dots[9], cv::Point2d(30, 60));
  EXPECT_EQ(plate.dots[108], cv::Point2d(30, 390));
  EXPECT_EQ(plate.dots[116], cv::Point2d(270, 390));
  EXPECT_EQ(plate.dotDiameter, 15.0);
  EXPECT_EQ(plate.box, cv::Rect2d(7.5, 7.5, 285, 405));
}

TEST(SynthTarget, TrackerLeavesItsEmptyNodesOut) {
  const synth::Target tracker = synth::Target::Tracker();
  const std::vector<cv::Point2d> expected = {{0, 0},  {16, 0},  {32, 0}, {48, 0},
                                             {0, 16}, {32, 16}, {48, 16}};
  EXPECT_EQ(tracker.dots, expected);
  EXPECT_EQ(tracker.dotDiameter, 8.0);
  EXPECT_EQ(tracker.box, cv::Rect2d(-16, -16, 80, 48));

  EXPECT_EQ(synth::Target::Tracker(3, 3, 10, 5, {0, 4, 8}).dots.size(), 6u);
  EXPECT_THROW(synth::Target::Tracker(4, 2, 16, 8, {8}), cv::Exception);
  EXPECT_THROW(synth::Target::Tracker(4, 2, 16, 20, {}), cv::Exception);
}

}  // namespace
