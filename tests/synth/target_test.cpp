#include "synth/Target.h"

#include <gtest/gtest.h>

#include <cmath>

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

  // The general grid with the plate's numbers gives the very same target.
  const synth::Target grid = synth::Target::Grid(9, 13, 30, 15, 22.5);
  EXPECT_EQ(grid.dots, plate.dots);
  EXPECT_EQ(grid.dotDiameter, plate.dotDiameter);
  EXPECT_EQ(grid.box, plate.box);
}

TEST(SynthTarget, GridCountsNodesFromOneSpacingAndLeavesItsEmptyNodesOut) {
  // 7 x 11 dots at 25 mm: the first row runs along x, the second starts one spacing lower.
  const synth::Target plate = synth::Target::Grid(7, 11, 25, 12, 18.75);
  ASSERT_EQ(plate.dots.size(), 77u);
  EXPECT_EQ(plate.dots[0], cv::Point2d(25, 25));
  EXPECT_EQ(plate.dots[6], cv::Point2d(175, 25));
  EXPECT_EQ(plate.dots[7], cv::Point2d(25, 50));
  EXPECT_EQ(plate.dots[76], cv::Point2d(175, 275));
  EXPECT_EQ(plate.dotDiameter, 12.0);
  EXPECT_EQ(plate.box, cv::Rect2d(6.25, 6.25, 187.5, 287.5));

  // On a 3 x 2 grid node 1 is the second of the first row and node 3 the first of the second.
  const synth::Target holed = synth::Target::Grid(3, 2, 30, 10, 15, {1, 3});
  const std::vector<cv::Point2d> expected = {{30, 30}, {90, 30}, {60, 60}, {90, 60}};
  EXPECT_EQ(holed.dots, expected);
  EXPECT_EQ(holed.box, cv::Rect2d(15, 15, 90, 60));
}

TEST(SynthTarget, GridRefusesWhatNoPlateCanBe) {
  EXPECT_THROW(synth::Target::Grid(0, 5, 25, 12, 20), cv::Exception);
  EXPECT_THROW(synth::Target::Grid(5, 0, 25, 12, 20), cv::Exception);
  EXPECT_THROW(synth::Target::Grid(5, 5, 25, 25, 20), cv::Exception);   // dots touch
  EXPECT_THROW(synth::Target::Grid(5, 5, 25, 0, 20), cv::Exception);    // no dots
  EXPECT_THROW(synth::Target::Grid(5, 5, NAN, 12, 20), cv::Exception);  // no spacing
  EXPECT_THROW(synth::Target::Grid(5, 5, 25, 12, 6), cv::Exception);    // box cuts the outer dots
  EXPECT_THROW(synth::Target::Grid(5, 5, 25, 12, INFINITY), cv::Exception);
  EXPECT_THROW(synth::Target::Grid(5, 5, 25, 12, 20, {25}), cv::Exception);
  EXPECT_THROW(synth::Target::Grid(5, 5, 25, 12, 20, {-1}), cv::Exception);
  EXPECT_THROW(synth::Target::Grid(65536, 65536, 25, 12, 20), cv::Exception);  // nodes overflow
  EXPECT_NO_THROW(synth::Target::Grid(1, 1, 25, 12, 6.01));
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
