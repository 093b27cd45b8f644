#pragma once

// Comparison of two whole settings records, member by member, for the tests that require an
// operation to leave a record exactly as another one does (or as it was).
#include <gtest/gtest.h>

#include "native64/ImageProcessorSettings.h"

inline void ExpectSameRecord(const Oskelo::CV::Native64::ImageProcessorSettings& a,
                             const Oskelo::CV::Native64::ImageProcessorSettings& b) {
  EXPECT_EQ(a.imageType, b.imageType);
  EXPECT_EQ(a.contourMethod, b.contourMethod);
  EXPECT_EQ(a.contourMode, b.contourMode);
  EXPECT_EQ(a.reserved0, b.reserved0);
  EXPECT_EQ(a.thresholdState, b.thresholdState);
  EXPECT_EQ(a.threshold, b.threshold);
  EXPECT_EQ(a.meanGrey, b.meanGrey);
  EXPECT_EQ(a.referenceGrey, b.referenceGrey);
  EXPECT_EQ(a.reserved1, b.reserved1);
  EXPECT_EQ(a.stateCounter, b.stateCounter);
  EXPECT_EQ(a.columnOffset, b.columnOffset);
  EXPECT_EQ(a.imageRect, b.imageRect);
  EXPECT_EQ(a.roiMargin, b.roiMargin);
  EXPECT_EQ(a.refineMargin, b.refineMargin);
  EXPECT_EQ(a.refinePower, b.refinePower);
  EXPECT_EQ(a.fixedRoi, b.fixedRoi);
  EXPECT_EQ(a.fixedThreshold, b.fixedThreshold);
  EXPECT_EQ(a.reservedFlag0, b.reservedFlag0);
  EXPECT_EQ(a.debug, b.debug);
  EXPECT_EQ(a.gridColumns, b.gridColumns);
  EXPECT_EQ(a.gridRows, b.gridRows);
  EXPECT_EQ(a.reservedFlag1, b.reservedFlag1);
  EXPECT_EQ(a.gridMap, b.gridMap);
  EXPECT_EQ(a.dotSpacing, b.dotSpacing);
  EXPECT_EQ(a.dotDiameter, b.dotDiameter);
  EXPECT_EQ(a.sizeScale, b.sizeScale);
  EXPECT_EQ(a.dotCount, b.dotCount);
}

// The default columnOffset, which applies to raw buffers of any width but 1248.
constexpr int kDefaultColumnOffset = 27;

// The record left by an entry point that takes an image equals the one the raw entry point leaves
// on a packed copy, except for columnOffset: the raw host had to set it to 0, the image path
// neither reads nor changes it.
inline void ExpectSameRecordAsRaw(const Oskelo::CV::Native64::ImageProcessorSettings& fromImage,
                                  const Oskelo::CV::Native64::ImageProcessorSettings& raw,
                                  int columnOffsetOfImagePath) {
  EXPECT_EQ(fromImage.columnOffset, columnOffsetOfImagePath);
  Oskelo::CV::Native64::ImageProcessorSettings comparable = fromImage;
  comparable.columnOffset = raw.columnOffset;
  ExpectSameRecord(comparable, raw);
}
