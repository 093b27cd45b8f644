#include "utils/FlooredMod.h"

#include <climits>

#include <gtest/gtest.h>

namespace {

using Oskelo::CV::Native64::detail::FlooredMod;

TEST(FlooredMod, TakesTheSignOfTheDivisor) {
  EXPECT_EQ(FlooredMod(-1, 4), 3);
  EXPECT_EQ(FlooredMod(-4, 4), 0);
  EXPECT_EQ(FlooredMod(3, 4), 3);
  EXPECT_EQ(FlooredMod(7, 5), 2);
  EXPECT_EQ(FlooredMod(5, -3), -1);
  EXPECT_EQ(FlooredMod(-5, -3), -2);
  EXPECT_EQ(FlooredMod(INT_MIN, -1), 0);  // the quotient 2^31 overflows in int, not in double
  EXPECT_EQ(FlooredMod(INT_MIN, 7), 5);
  EXPECT_EQ(FlooredMod(INT_MAX, INT_MIN), -1);
}

TEST(FlooredMod, RefusesZeroDivisor) { EXPECT_THROW(FlooredMod(3, 0), cv::Exception); }

}  // namespace
