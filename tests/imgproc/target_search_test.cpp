// The target search on small hand-made images whose dot centres are known exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "imgproc/HandMadeTracker.h"
#include "imgproc/TargetSearch.h"
#include "imgproc/ThresholdStateMachine.h"

namespace detail = Oskelo::CV::Native64::detail;
using Oskelo::CV::Native64::ImageProcessorSettings;

namespace {

using namespace handmade;

ImageProcessorSettings TrackerSettings() {
  ImageProcessorSettings s;
  s.imageRect = cv::Rect(0, 0, kWidth, kHeight);
  s.gridColumns = 4;
  s.gridRows = 2;
  s.thresholdState = 3;
  s.threshold = 120;  // between dot and box
  return s;
}

bool Find(ImageProcessorSettings& s, const HandMadeFrame& frame, std::vector<cv::Point2d>& targets,
          cv::Rect& roi, cv::Rect& targetRect, bool noColumnOffset = false,
          const std::vector<cv::Rect>& exclusions = {}) {
  return detail::FindTargets(s, frame.data(), targets, roi, targetRect, exclusions, noColumnOffset);
}

TEST(FindTargets, FindsTheTrackerAndAdaptsForTheNextCall) {
  ImageProcessorSettings s = TrackerSettings();
  s.columnOffset = 0;
  s.threshold = 90;  // kept in state 3; the dots then set the midpoint, 120
  const HandMadeFrame frame;
  std::vector<cv::Point2d> targets;
  cv::Rect roi = s.imageRect, targetRect = s.imageRect;
  ASSERT_TRUE(Find(s, frame, targets, roi, targetRect));
  ExpectSameSet(targets, frame.centres);

  EXPECT_EQ(s.thresholdState, 0);
  EXPECT_EQ(s.stateCounter, 11);  // the streak goes on from the default 10
  EXPECT_EQ(targetRect, kBoxRect);
  // Box (20, 20, 100, 60) with margin 30; a width is rounded down to a multiple of 4.
  EXPECT_EQ(roi, cv::Rect(-10, -10, 160, 120));
  EXPECT_EQ(detail::SearchRegionAroundBox(cv::Rect(50, 60, 45, 10), 30), cv::Rect(20, 30, 104, 70));
  // Box mean: (6000 * 200 - 7 * 81 * 160) / 6000 = 184.88.
  EXPECT_EQ(s.meanGrey, 184);
  // Midway between the darkest dot corner (the box, 200) and the brightest dot centre (40).
  EXPECT_EQ(s.threshold, 120);
  int ones = 0;
  for (const auto& line : s.gridMap)
    ones += static_cast<int>(std::count(line.begin(), line.end(), 1));
  EXPECT_EQ(ones, 7);

  // The next call clamps the region that reaches outside, and finds the target again.
  ASSERT_TRUE(Find(s, frame, targets, roi, targetRect));
  EXPECT_EQ(s.stateCounter, 12);
}

TEST(FindTargets, ColumnOffsetShiftsXAndIsIgnoredAt1248OrOnRequest) {
  constexpr int kOffset = 27;
  const HandMadeFrame padded(kOffset);
  ImageProcessorSettings s = TrackerSettings();
  std::vector<cv::Point2d> targets;
  cv::Rect roi = s.imageRect, targetRect = s.imageRect;
  ASSERT_TRUE(Find(s, padded, targets, roi, targetRect));
  ExpectSameSet(targets, Shifted(padded.centres, {kOffset, 0}));

  // A packed buffer read with noColumnOffset: no shift.
  const HandMadeFrame packed;
  s = TrackerSettings();
  roi = targetRect = s.imageRect;
  ASSERT_TRUE(Find(s, packed, targets, roi, targetRect, true));
  ExpectSameSet(targets, packed.centres);

  // The 1248-pixel camera has no leading bytes whatever columnOffset holds.
  cv::Mat wide(kHeight, 1248, CV_8UC1, cv::Scalar(kBackground));
  packed.image.copyTo(wide(cv::Rect(0, 0, kWidth, kHeight)));
  s = TrackerSettings();
  s.imageRect = cv::Rect(0, 0, 1248, kHeight);
  roi = targetRect = s.imageRect;
  ASSERT_TRUE(detail::FindTargets(s, wide.data, targets, roi, targetRect, {}, false));
  ExpectSameSet(targets, packed.centres);
}

TEST(FindTargets, ImageRectOriginShiftsRefinedCentresOnly) {
  ImageProcessorSettings s = TrackerSettings();
  s.columnOffset = 0;
  s.imageRect = cv::Rect(5, 7, kWidth, kHeight);
  const HandMadeFrame frame;
  std::vector<cv::Point2d> targets;
  cv::Rect roi(0, 0, kWidth, kHeight), targetRect = roi;
  ASSERT_TRUE(Find(s, frame, targets, roi, targetRect, true));
  ExpectSameSet(targets, Shifted(frame.centres, {5, 7}));

  // State 4 resets the regions to imageRect; its origin pushes the region past the image's end,
  // so it is clamped back to the image before anything is cut.
  s.thresholdState = 4;
  s.threshold = 120;
  roi = targetRect = cv::Rect(60, 50, 10, 10);  // holds no target
  ASSERT_TRUE(Find(s, frame, targets, roi, targetRect, true));
  ExpectSameSet(targets, Shifted(frame.centres, {5, 7}));
}

TEST(FindTargets, ForcedWholeFrameSearchesTheWholeImageWhateverTheRegions) {
  ImageProcessorSettings s = TrackerSettings();
  const HandMadeFrame frame(0, {20, 10});
  std::vector<cv::Point2d> targets;
  s.thresholdState = 4;
  s.threshold = 100;  // kept for the search; the dots then give their midpoint, 120
  cv::Rect roi(0, 0, 30, 30), targetRect(0, 0, 30, 30);  // miss the target
  ASSERT_TRUE(Find(s, frame, targets, roi, targetRect, true));
  // Contours come from the whole image and carry its origin: the centres are where they are.
  ExpectSameSet(targets, frame.centres);
  EXPECT_EQ(s.threshold, 120);  // grey levels of the dots: (200 + 40) / 2

  // Without the forced state the same regions miss it.
  s.thresholdState = 3;
  roi = targetRect = cv::Rect(0, 0, 30, 30);
  EXPECT_FALSE(Find(s, frame, targets, roi, targetRect, true));

  // A fixed threshold or fixed regions keep the caller's regions in the forced state too: the
  // regions that miss the target still miss it.
  for (const bool fixedThreshold : {true, false}) {
    s = TrackerSettings();
    s.thresholdState = 4;
    s.fixedThreshold = fixedThreshold;
    s.fixedRoi = !fixedThreshold;
    roi = targetRect = cv::Rect(0, 0, 30, 30);
    EXPECT_FALSE(Find(s, frame, targets, roi, targetRect, true))
        << (fixedThreshold ? "fixed threshold" : "fixed regions");
  }
}

TEST(FindTargets, TrackingScalesTheThresholdWithTheBoxBrightness) {
  // The tracker brightened since the last frame (box 250, dots 130, as under more light): the
  // last threshold, 120, now leaves the dots bright and finds nothing. Tracking scales it by the
  // grey region's brightness against referenceGrey first (the box mean, 238, against 128), which
  // puts it above the dots again.
  HandMadeFrame frame;
  frame.image.setTo(kBackground);
  frame.image(kBoxRect).setTo(250);
  for (const cv::Point2d& c : frame.centres) {
    frame.image(cv::Rect(static_cast<int>(c.x) - 4, static_cast<int>(c.y) - 4, 9, 9)).setTo(130);
  }
  ImageProcessorSettings s = TrackerSettings();
  s.thresholdState = 0;
  s.stateCounter = 20;
  s.threshold = 120;
  std::vector<cv::Point2d> targets;
  cv::Rect roi = s.imageRect, targetRect = kBoxRect;
  ASSERT_TRUE(Find(s, frame, targets, roi, targetRect, true));
  ExpectSameSet(targets, frame.centres);
  // The next threshold lies midway between the brightened box and dots.
  EXPECT_EQ(s.threshold, 190);
}

TEST(FindTargets, FirstMissWithDefaultsTakesTheWholeFrameMean) {
  ImageProcessorSettings s;  // state 3, counter 10, threshold 0
  s.imageRect = cv::Rect(0, 0, kWidth, kHeight);
  cv::Mat empty(kHeight, kWidth, CV_8UC1, cv::Scalar(kBackground));
  empty(cv::Rect(0, 0, 40, 30)).setTo(kBackground + 100);  // mean 20 + 1200 * 100 / 19200
  std::vector<cv::Point2d> targets{{1, 2}};
  cv::Rect roi = s.imageRect, targetRect = s.imageRect;
  EXPECT_FALSE(detail::FindTargets(s, empty.data, targets, roi, targetRect, {}, true));
  EXPECT_EQ(s.threshold, 26);
  EXPECT_EQ(s.meanGrey, 26);
  EXPECT_EQ(s.stateCounter, 9);
  EXPECT_EQ(targets, (std::vector<cv::Point2d>{{1, 2}}));  // untouched
}

TEST(FindTargets, WholeFrameMeanWithColumnOffsetStaysInsideTheBuffer) {
  // The leading bytes (255) are not image: the whole-frame mean is that of the image pixels, and
  // nothing beyond the buffer's last byte is read (the sanitizer build checks the latter).
  constexpr int kOffset = 27;
  ImageProcessorSettings s;
  s.imageRect = cv::Rect(0, 0, kWidth, kHeight);
  std::vector<unsigned char> buffer(static_cast<std::size_t>(kHeight) * (kWidth + kOffset), 255);
  cv::Mat(kHeight, kWidth, CV_8UC1, buffer.data() + kOffset, kWidth + kOffset).setTo(kBackground);
  std::vector<cv::Point2d> targets;
  cv::Rect roi = s.imageRect, targetRect = s.imageRect;
  EXPECT_FALSE(detail::FindTargets(s, buffer.data(), targets, roi, targetRect, {}, false));
  EXPECT_EQ(s.meanGrey, kBackground);
  EXPECT_EQ(s.threshold, kBackground);
}

TEST(ThresholdStateMachine, SuccessStreakAndLossTransitions) {
  ImageProcessorSettings s;
  s.thresholdState = 3;
  s.stateCounter = -40;
  detail::AdvanceOnSuccess(s);
  EXPECT_EQ(s.thresholdState, 0);
  EXPECT_EQ(s.stateCounter, 10);
  detail::AdvanceOnSuccess(s);
  EXPECT_EQ(s.stateCounter, 11);
  s.stateCounter = 1001;
  detail::AdvanceOnSuccess(s);
  EXPECT_EQ(s.stateCounter, 15);

  // A loss after a long streak: four brightness retries, four Otsu retries, then the whole frame.
  s.stateCounter = 13;
  const int expected[][2] = {{1, 4}, {1, 3}, {1, 2}, {1, 1},  {2, 4}, {2, 3},
                             {2, 2}, {2, 1}, {3, 0}, {3, -1}, {3, -2}};
  for (const auto& step : expected) {
    detail::AdvanceOnFailure(s);
    EXPECT_EQ(s.thresholdState, step[0]);
    EXPECT_EQ(s.stateCounter, step[1]);
  }
  // A loss after a short streak goes to the whole frame at once.
  s.thresholdState = 0;
  s.stateCounter = 12;
  detail::AdvanceOnFailure(s);
  EXPECT_EQ(s.thresholdState, 3);
  EXPECT_EQ(s.stateCounter, 0);
  // State 4 only counts down.
  s.thresholdState = 4;
  s.stateCounter = 1;
  detail::AdvanceOnFailure(s);
  EXPECT_EQ(s.thresholdState, 4);
  EXPECT_EQ(s.stateCounter, 0);
}

TEST(FindTargets, MissedTargetGrowsTheRegionThenResetsIt) {
  const HandMadeFrame frame;
  ImageProcessorSettings s = TrackerSettings();
  s.threshold = 250;  // everything dark: nothing found
  s.thresholdState = 1;
  s.stateCounter = 3;
  std::vector<cv::Point2d> targets;
  cv::Rect roi(3, 3, 21, 20), targetRect(5, 5, 10, 10);
  EXPECT_FALSE(Find(s, frame, targets, roi, targetRect, true));
  EXPECT_EQ(roi, cv::Rect(1, 1, 24, 24));  // width 25 rounded down to 24
  EXPECT_EQ(targetRect, cv::Rect(5, 5, 10, 10));
  EXPECT_EQ(s.stateCounter, 2);

  // In the whole-frame state a region that can still grow takes only the grey region's mean
  // (background, 20), not the whole frame's (71).
  s.thresholdState = 3;
  s.stateCounter = -5;
  roi = cv::Rect(10, 10, 40, 40);
  EXPECT_FALSE(Find(s, frame, targets, roi, targetRect, true));
  EXPECT_EQ(roi, cv::Rect(8, 8, 44, 44));
  EXPECT_EQ(s.meanGrey, kBackground);
  s.thresholdState = 1;
  s.stateCounter = 2;

  // At x or y 2 the region stays.
  roi = cv::Rect(2, 5, 20, 20);
  EXPECT_FALSE(Find(s, frame, targets, roi, targetRect, true));
  EXPECT_EQ(roi, cv::Rect(2, 5, 20, 20));

  // Counter 1 in state 1 moves to Otsu with counter 4; a counter that reaches 0 resets.
  EXPECT_FALSE(Find(s, frame, targets, roi, targetRect, true));
  EXPECT_EQ(s.thresholdState, 2);
  s.threshold = 250;
  s.thresholdState = 3;
  s.stateCounter = 1;
  EXPECT_FALSE(Find(s, frame, targets, roi, targetRect, true));
  EXPECT_EQ(s.stateCounter, 0);
  EXPECT_EQ(roi, s.imageRect);
  EXPECT_EQ(targetRect, s.imageRect);
}

TEST(FindTargets, FixedRoiAndFixedThresholdKeepWhatTheyFix) {
  const HandMadeFrame frame;
  ImageProcessorSettings s = TrackerSettings();
  s.fixedRoi = true;
  s.fixedThreshold = true;
  s.threshold = 130;
  std::vector<cv::Point2d> targets;
  const cv::Rect givenRoi(10, 10, 120, 80), givenTarget(20, 20, 10, 10);
  cv::Rect roi = givenRoi, targetRect = givenTarget;
  ASSERT_TRUE(Find(s, frame, targets, roi, targetRect, true));
  EXPECT_EQ(roi, givenRoi);
  EXPECT_EQ(targetRect, givenTarget);
  EXPECT_EQ(s.threshold, 130);
  EXPECT_EQ(s.meanGrey, 128);  // not measured

  s.threshold = 250;  // nothing found
  s.stateCounter = 0;
  EXPECT_FALSE(Find(s, frame, targets, roi, targetRect, true));
  EXPECT_EQ(roi, givenRoi);
  EXPECT_EQ(targetRect, givenTarget);
  EXPECT_EQ(s.threshold, 250);

  // Fixed regions are not clamped: one outside the image is refused.
  roi = cv::Rect(150, 10, 20, 20);
  EXPECT_THROW(Find(s, frame, targets, roi, targetRect, true), cv::Exception);
}

TEST(FindTargets, ExclusionOverADotHidesTheTarget) {
  const HandMadeFrame frame;
  ImageProcessorSettings s = TrackerSettings();
  std::vector<cv::Point2d> targets;
  cv::Rect roi = s.imageRect, targetRect = s.imageRect;
  const std::vector<cv::Rect> exclusions{cv::Rect(92, 52, 16, 16)};  // over the last dot
  EXPECT_FALSE(Find(s, frame, targets, roi, targetRect, true, exclusions));
  roi = targetRect = s.imageRect;
  EXPECT_TRUE(Find(s, frame, targets, roi, targetRect, true, {cv::Rect(140, 100, 10, 10)}));
}

TEST(FindTargets, ListModeCountsSeparateDotsAndOtherModesFail) {
  // Seven bright dots on a dark ground: separate contours. Nothing is darker than the corners, so
  // every centre is the contour mean.
  cv::Mat image(kHeight, kWidth, CV_8UC1, cv::Scalar(kBackground));
  std::vector<cv::Point2d> expected;
  for (int i = 0; i < 7; ++i) {
    image(cv::Rect(10 + 12 * i, 30, 5, 5)).setTo(kBox);
    expected.emplace_back(12 + 12 * i, 32);
  }
  ImageProcessorSettings s = TrackerSettings();
  s.contourMode = 1;
  s.fixedThreshold = true;  // the bright dots' own levels would lift the threshold to 200
  s.gridColumns = 7;
  s.gridRows = 1;
  std::vector<cv::Point2d> targets;
  cv::Rect roi = s.imageRect, targetRect = s.imageRect;
  // Seven dots on one line give no four-corner outline: ordering returns nothing.
  EXPECT_FALSE(detail::FindTargets(s, image.data, targets, roi, targetRect, {}, true));
  EXPECT_TRUE(targets.empty());
  EXPECT_EQ(s.thresholdState, 3);  // list mode leaves the state machine alone

  // Three dots come back unordered, in contour order: cv::findContours scans row by row and
  // lists the borders it met last first, so the rightmost dot leads.
  s.dotCount = 3;
  image(cv::Rect(10 + 12 * 3, 30, 60, 5)).setTo(kBackground);
  roi = targetRect = s.imageRect;
  ASSERT_TRUE(detail::FindTargets(s, image.data, targets, roi, targetRect, {}, true));
  EXPECT_EQ(targets, (std::vector<cv::Point2d>{expected[2], expected[1], expected[0]}));
  EXPECT_EQ(targetRect, cv::Rect(10, 30, 29, 5));  // the union of the dots

  s.contourMode = 3;
  roi = targetRect = s.imageRect;
  EXPECT_FALSE(detail::FindTargets(s, image.data, targets, roi, targetRect, {}, true));
}

TEST(FindTargets, RefusesBadInputBeforeTouchingAnything) {
  ImageProcessorSettings s = TrackerSettings();
  const ImageProcessorSettings before = s;
  std::vector<cv::Point2d> targets;
  cv::Rect roi = s.imageRect, targetRect = s.imageRect;
  EXPECT_THROW(detail::FindTargets(s, nullptr, targets, roi, targetRect, {}, true), cv::Exception);
  const HandMadeFrame frame;
  for (const cv::Rect bad : {cv::Rect(0, 0, 0, 80), cv::Rect(0, 0, 160, -3)}) {
    s.imageRect = bad;
    EXPECT_THROW(Find(s, frame, targets, roi, targetRect, true), cv::Exception);
  }
  s.imageRect = before.imageRect;
  s.imageType = CV_16UC1;
  EXPECT_THROW(Find(s, frame, targets, roi, targetRect, true), cv::Exception);
  s.imageType = 0;
  EXPECT_EQ(s.threshold, before.threshold);
  EXPECT_EQ(s.stateCounter, before.stateCounter);
  EXPECT_EQ(roi, before.imageRect);

  // A search region far outside is pulled back to the image; a grey region outside is refused.
  roi = cv::Rect(5000, 7000, 30, 30);
  targetRect = roi;
  EXPECT_TRUE(Find(s, frame, targets, roi, targetRect, true));
  roi = s.imageRect;
  targetRect = cv::Rect(150, 110, 30, 30);
  EXPECT_THROW(Find(s, frame, targets, roi, targetRect, true), cv::Exception);
  roi = cv::Rect(10, 10, -5, 20);
  EXPECT_THROW(Find(s, frame, targets, roi, targetRect, true), cv::Exception);
}

// Regions and margins anywhere in the int range (found by fuzzing, where they overflowed): the
// search region is pulled back into the image, and the next region saturates.
TEST(FindTargets, RegionsAndMarginsOfAnySizeAreSafe) {
  ImageProcessorSettings s = TrackerSettings();
  const HandMadeFrame frame;
  std::vector<cv::Point2d> targets;

  cv::Rect roi(INT_MAX - 10, 5, INT_MAX, INT_MIN), targetRect = roi;
  detail::ClampRegions(roi, targetRect, kWidth, kHeight);
  EXPECT_EQ(roi, cv::Rect(0, 5, kWidth, INT_MIN));
  EXPECT_THROW(Find(s, frame, targets, roi, targetRect, true), cv::Exception);  // negative height
  roi = cv::Rect(3, 4, INT_MIN, 10);
  targetRect = roi;
  detail::ClampRegions(roi, targetRect, kWidth, kHeight);
  EXPECT_EQ(roi, cv::Rect(3, 4, INT_MIN, 10));

  const cv::Rect box(20, 20, 100, 60);
  EXPECT_EQ(detail::SearchRegionAroundBox(box, 30), cv::Rect(-10, -10, 160, 120));
  EXPECT_EQ(detail::SearchRegionAroundBox(box, INT_MAX),
            cv::Rect(20 - INT_MAX, 20 - INT_MAX, INT_MAX / 4 * 4, INT_MAX));
  EXPECT_EQ(detail::SearchRegionAroundBox(box, INT_MIN),
            cv::Rect(INT_MAX, INT_MAX, INT_MIN / 4 * 4, INT_MIN));

  // Through the whole search: a huge margin, then the next call clamps the region to the image.
  s.roiMargin = INT_MAX;
  s.refineMargin = INT_MIN;
  roi = targetRect = s.imageRect;
  EXPECT_TRUE(Find(s, frame, targets, roi, targetRect, true));
  ExpectSameSet(targets, frame.centres);  // contour means: every dot's window is empty
  EXPECT_TRUE(Find(s, frame, targets, roi, targetRect, true));
}

TEST(FindTargets, RandomBytesNeverReadOutsideTheBuffer) {
  cv::RNG rng(12345);
  ImageProcessorSettings s = TrackerSettings();
  s.imageRect = cv::Rect(0, 0, 160, 120);
  for (int trial = 0; trial < 20; ++trial) {
    cv::Mat noise(120, 160 + s.columnOffset, CV_8UC1);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    s.threshold = rng.uniform(0, 256);
    s.thresholdState = rng.uniform(0, 5);
    std::vector<cv::Point2d> targets;
    cv::Rect roi(rng.uniform(-50, 200), rng.uniform(-50, 200), rng.uniform(1, 300),
                 rng.uniform(1, 300));
    cv::Rect targetRect = roi;
    // Random bytes rarely hold a box with seven dot holes; either answer is fine, a crash is not,
    // and neither is a success without the seven dots or a state outside the machine's five.
    const bool found = detail::FindTargets(s, noise.data, targets, roi, targetRect, {}, false);
    if (found) {
      EXPECT_EQ(targets.size(), 7u) << "trial " << trial;
    }
    EXPECT_GE(s.thresholdState, 0) << "trial " << trial;
    EXPECT_LE(s.thresholdState, 4) << "trial " << trial;
    // Unless they reset to the whole image, the regions for the next call lie inside it.
    const cv::Rect image(0, 0, 160, 120);
    EXPECT_EQ(roi & image, roi) << "trial " << trial;
  }
}

}  // namespace

namespace {

// A threshold sweep over one frame may share the frame's grey measurement between its calls.
TEST(FindTargets, FrameMeasurementsAreReusedWithinOneFrame) {
  const handmade::HandMadeFrame frame;
  detail::FrameMeasurements measurements;
  for (int threshold : {60, 120, 150}) {
    ImageProcessorSettings plain = TrackerSettings(), shared = TrackerSettings();
    plain.thresholdState = shared.thresholdState = 4;
    plain.threshold = shared.threshold = threshold;
    std::vector<cv::Point2d> a, b;
    cv::Rect roiA, targetA, roiB, targetB;
    const bool foundA = detail::FindTargets(plain, frame.data(), a, roiA, targetA, {}, true);
    const bool foundB =
        detail::FindTargets(shared, frame.data(), b, roiB, targetB, {}, true, &measurements);
    EXPECT_EQ(foundA, foundB);
    EXPECT_EQ(a, b);
    EXPECT_EQ(plain.meanGrey, shared.meanGrey);
    EXPECT_EQ(plain.threshold, shared.threshold);
  }
  EXPECT_EQ(measurements.regionMeans.count({0, 0, handmade::kWidth, handmade::kHeight}), 1u);
}

}  // namespace
