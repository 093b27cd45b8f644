#include "native64/Utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace Utils = Oskelo::CV::Native64::Utils;

namespace {

TEST(Stopwatch, ReportsZeroBeforeUseAndNegativeAfterStartOnly) {
  Utils::Stopwatch fresh;
  EXPECT_EQ(fresh.GetElapsedTime(), 0.0);

  // Without Stop the stop count is still 0, so the interval runs backwards.
  Utils::Stopwatch started;
  started.Start();
  EXPECT_LT(started.GetElapsedTime(), 0.0);
}

TEST(Stopwatch, MeasuresForwardIntervalAndCopiesCounts) {
  Utils::Stopwatch watch;
  watch.Start();
  watch.Stop();
  const double elapsed = watch.GetElapsedTime();
  EXPECT_GE(elapsed, 0.0);
  EXPECT_LT(elapsed, 1.0);  // two counter reads, back to back

  Utils::Stopwatch copy;
  copy = watch;
  EXPECT_EQ(copy.GetElapsedTime(), elapsed);

  // A known interval in seconds: a sleep lasts at least what it was asked for, and on the
  // busiest machine far less than 100 times that (a counter read in another unit is off by 1000).
  watch.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  watch.Stop();
  EXPECT_GE(watch.GetElapsedTime(), 0.020);
  EXPECT_LT(watch.GetElapsedTime(), 2.0);
}

TEST(GeoDist, PointAndListFormsAgree) {
  double distance = -1.0;
  Utils::GeoDist({1, 2, 3}, {1, 2, 3}, distance);
  EXPECT_EQ(distance, 0.0);
  Utils::GeoDist({0, 0, 0}, {3, 4, 12}, distance);
  EXPECT_EQ(distance, 13.0);

  const std::vector<cv::Point3_<double>> a = {{0.1, -2.5, 7.0}, {1e3, 2e3, -3e3}};
  const std::vector<cv::Point3_<double>> b = {{4.2, 0.3, -1.0}, {0, 0, 0}, {9, 9, 9}};
  std::vector<double> distances = {42.0};
  Utils::GeoDist(a, b, distances);
  ASSERT_EQ(distances.size(), a.size());  // one per element of a, the old content gone
  for (std::size_t i = 0; i < a.size(); ++i) {
    Utils::GeoDist(a[i], b[i], distance);
    EXPECT_EQ(distances[i], distance);
  }
}

TEST(GeoDist, ListFormClearsForEmptyAndRefusesShortSecondList) {
  std::vector<double> distances = {1.0, 2.0};
  Utils::GeoDist({}, {}, distances);
  EXPECT_TRUE(distances.empty());

  distances = {1.0};
  EXPECT_THROW(Utils::GeoDist({{0, 0, 0}, {1, 1, 1}}, {{0, 0, 0}}, distances), cv::Exception);
  EXPECT_EQ(distances, std::vector<double>{1.0});
}

TEST(MatToString, WritesRowsOfFloatsAndSmallIntegers) {
  std::string text = "old";
  Utils::MatToString((cv::Mat_<double>(2, 2) << 1, 2, 3, 4), text);
  EXPECT_EQ(text, "\n1.000000, 2.000000\n3.000000, 4.000000\n");

  Utils::MatToString(cv::Mat(1, 1, CV_8UC1, cv::Scalar(7)), text);
  EXPECT_EQ(text, "\n7.000000\n");
  Utils::MatToString((cv::Mat_<short>(1, 2) << -3, 300), text);
  EXPECT_EQ(text, "\n-3.000000, 300.000000\n");

  // Channels of a column come one after the other.
  Utils::MatToString(cv::Mat(1, 2, CV_32FC2, cv::Scalar(0.5, -1.25)), text);
  EXPECT_EQ(text, "\n0.500000, -1.250000, 0.500000, -1.250000\n");

  cv::Mat half(1, 2, CV_16FC1);
  half.at<cv::float16_t>(0, 0) = cv::float16_t(1.5f);
  half.at<cv::float16_t>(0, 1) = cv::float16_t(-2.0f);
  Utils::MatToString(half, text);
  EXPECT_EQ(text, "\n1.500000, -2.000000\n");
}

TEST(MatToString, WritesOnlyTheNewlineForEmptyAndUnsupportedTypes) {
  std::string text;
  Utils::MatToString(cv::Mat(), text);
  EXPECT_EQ(text, "\n");
  Utils::MatToString(cv::Mat(2, 2, CV_32SC1, cv::Scalar(5)), text);
  EXPECT_EQ(text, "\n");
  Utils::MatToString(cv::Mat(2, 2, CV_8UC3, cv::Scalar(5)), text);
  EXPECT_EQ(text, "\n");
}

TEST(MatToString, GrowsForLargeMatricesAndRespectsRowSteps) {
  cv::Mat large(40, 40, CV_64F);
  for (int i = 0; i < 1600; ++i) large.at<double>(i / 40, i % 40) = i;
  std::string text;
  Utils::MatToString(large, text);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 41);
  EXPECT_EQ(std::count(text.begin(), text.end(), ','), 40 * 39);
  EXPECT_NE(text.find("\n1560.000000, "), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 14), ", 1599.000000\n");

  // A region of a larger matrix: rows are read through the row step, not as one run.
  Utils::MatToString(large(cv::Rect(38, 1, 2, 2)), text);
  EXPECT_EQ(text, "\n78.000000, 79.000000\n118.000000, 119.000000\n");

  // Very long values do not fit a short buffer either.
  Utils::MatToString((cv::Mat_<double>(1, 1) << 1e300), text);
  EXPECT_EQ(text.size(), 1u + 301u + 7u + 1u);
}

TEST(ShowMat, ReturnsAtOnceWithoutADisplay) {
  const char* display = std::getenv("DISPLAY");
  const std::string savedDisplay = display ? display : "";
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  // Would block forever in waitKey (or fail in the toolkit) if it tried to show the window.
  Utils::ShowMat(cv::Mat(10, 10, CV_8UC1, cv::Scalar(128)));
  if (display) setenv("DISPLAY", savedDisplay.c_str(), 1);
  SUCCEED();
}

}  // namespace
