// The public detector as a host uses it: ownership of the settings record, the short form, and
// the debugging output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "imgproc/HandMadeTracker.h"
#include "native64/ImageProcessor.h"

using Oskelo::CV::Native64::ImageProcessor;
using namespace handmade;

namespace {

void ConfigureForHandMadeTracker(ImageProcessor& detector) {
  detector.settings->imageRect = cv::Rect(0, 0, kWidth, kHeight);
  detector.settings->columnOffset = 0;
  detector.settings->gridColumns = 4;
  detector.settings->gridRows = 2;
  detector.settings->threshold = 120;
}

TEST(ImageProcessor, AssignmentSharesTheRecordWhichOutlivesItsCreator) {
  ImageProcessor keeper;
  auto* original = keeper.settings;
  {
    auto creator = std::make_unique<ImageProcessor>();
    creator->settings->dotCount = 9;
    keeper = *creator;
    EXPECT_EQ(keeper.settings, creator->settings);
    keeper.settings->threshold = 77;
    EXPECT_EQ(creator->settings->threshold, 77);
  }
  // The creator is gone; the shared record lives on with its last holder.
  EXPECT_NE(keeper.settings, original);
  EXPECT_EQ(keeper.settings->dotCount, 9);
  EXPECT_EQ(keeper.settings->threshold, 77);
}

TEST(ImageProcessor, ShortFormSearchesTheWholeImageEveryCall) {
  ImageProcessor detector;
  ConfigureForHandMadeTracker(detector);
  // Short form: column offset applies for a width other than 1248.
  detector.settings->columnOffset = 5;
  const HandMadeFrame frame(5, {30, 20});
  std::vector<cv::Point2d> targets;
  ASSERT_TRUE(detector.FindTargets(frame.data(), targets));
  ExpectSameSet(targets, Shifted(frame.centres, {5, 0}));
  ASSERT_TRUE(detector.FindTargets(frame.data(), targets));
  EXPECT_EQ(detector.settings->stateCounter, 12);

  EXPECT_THROW(detector.FindTargets(nullptr, targets), cv::Exception);
}

TEST(ImageProcessor, GridSmallerThanTwoByTwoIsRefusedWhenOrdering) {
  ImageProcessor detector;
  ConfigureForHandMadeTracker(detector);
  // One column of four nodes: the same box length window as the 4 x 2 grid, but no grid to order.
  detector.settings->gridColumns = 1;
  detector.settings->gridRows = 4;
  const HandMadeFrame frame;
  std::vector<cv::Point2d> targets;
  EXPECT_THROW(detector.FindTargets(frame.data(), targets), std::length_error);
  // The updates of a found target were made before ordering failed.
  EXPECT_EQ(detector.settings->thresholdState, 0);
}

TEST(ImageProcessor, DebugPrintsProgressAndNeverWaitsWithoutADisplay) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  ImageProcessor detector;
  ConfigureForHandMadeTracker(detector);
  detector.settings->debug = true;
  const HandMadeFrame frame;
  std::vector<cv::Point2d> targets;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(detector.FindTargets(frame.data(), targets));
  const std::string out = testing::internal::GetCapturedStdout();
  const char* expectedLines[] = {
      "found a big box- min box area: 171.428571, max box area: 685.714286, box area: 316.000000\n",
      "\t found a dot- min dot area: 9.306968, max dot area: 68.251100, dot area: 36.000000 \n",
      "\t\t good dot found #1\n",
      "\t\t good dot found #7\n",
      "YES! found all normal tracker dots0\n",
      "Sorting...\n",
      "Sorted. Started with 7 and ended up with 7\n"};
  std::size_t at = 0;
  for (const char* line : expectedLines) {
    const std::size_t found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing, in order: " << line << "\nin:\n" << out;
    at = found;
  }

  // A miss prints the search and its verdict.
  detector.settings->threshold = 250;
  detector.settings->thresholdState = 3;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(detector.FindTargets(frame.data(), targets));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Target not found\n");
}

}  // namespace
