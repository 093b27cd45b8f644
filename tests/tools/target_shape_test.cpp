#include <gtest/gtest.h>

#include "CommandError.h"
#include "detection/TargetShape.h"

namespace {

TEST(TargetShape, GridTextIsColumnsByRows) {
  dotcal::TargetShape shape;
  dotcal::ParseGrid("4x2", "--grid", shape);
  EXPECT_EQ(shape.columns, 4);
  EXPECT_EQ(shape.rows, 2);
  dotcal::ParseGrid("9x13", "--grid", shape);
  EXPECT_EQ(shape.columns, 9);
  EXPECT_EQ(shape.rows, 13);
  for (const char* bad :
       {"", "4", "4x", "x2", "4X2", "4x2x1", "-4x2", "4 x 2", "4x2.5", "99999x2"}) {
    EXPECT_THROW(dotcal::ParseGrid(bad, "--grid", shape), dotcal::UsageError) << bad;
  }
}

TEST(TargetShape, DefaultsFollowTheDotCount) {
  const dotcal::TargetShape plate = dotcal::MakeShape("9x13", 117, 0.0, 0.0);
  EXPECT_EQ(plate.spacing, 30.0);
  EXPECT_EQ(plate.diameter, 15.0);
  const dotcal::TargetShape tracker = dotcal::MakeShape("4x2", 7, 0.0, 0.0);
  EXPECT_EQ(tracker.spacing, 16.0);
  EXPECT_EQ(tracker.diameter, 8.0);
  const dotcal::TargetShape own = dotcal::MakeShape("5x3", 14, 20.0, 6.0);
  EXPECT_EQ(own.spacing, 20.0);
  EXPECT_EQ(own.diameter, 6.0);
}

TEST(TargetShape, ShapesTheDetectorCannotOrderAreUsageErrors) {
  EXPECT_THROW(dotcal::MakeShape("1x7", 7, 0, 0), dotcal::UsageError);    // a line
  EXPECT_THROW(dotcal::MakeShape("4x2", 9, 0, 0), dotcal::UsageError);    // more dots than nodes
  EXPECT_THROW(dotcal::MakeShape("4x2", 3, 0, 0), dotcal::UsageError);    // too few to order
  EXPECT_THROW(dotcal::MakeShape("4x2", 7, 10, 12), dotcal::UsageError);  // dots overlap
  EXPECT_NO_THROW(dotcal::MakeShape("2x2", 4, 0, 0));
}

}  // namespace
