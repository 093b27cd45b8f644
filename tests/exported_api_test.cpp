// Links the shared library the way a host does: only its exported symbols are reachable.
#include <gtest/gtest.h>

#include "Native64.h"

namespace Utils = Oskelo::CV::Native64::Utils;
using Oskelo::CV::Native64::ImageProcessor;

namespace {

TEST(ExportedApi, UtilitiesAreReachable) {
  Utils::Stopwatch watch;
  watch.Start();
  watch.Stop();
  EXPECT_GE(watch.GetElapsedTime(), 0.0);

  std::vector<double> distances;
  Utils::GeoDist(std::vector<cv::Point3_<double>>{{0, 0, 0}},
                 std::vector<cv::Point3_<double>>{{0, 3, 4}}, distances);
  ASSERT_EQ(distances.size(), 1u);
  EXPECT_EQ(distances[0], 5.0);

  std::string text;
  Utils::MatToString(cv::Mat::eye(1, 1, CV_64F), text);
  EXPECT_EQ(text, "\n1.000000\n");
}

TEST(ExportedApi, DetectorIsReachable) {
  ImageProcessor detector;
  ImageProcessor sharer;
  sharer = detector;
  sharer.settings->imageRect = cv::Rect(0, 0, 64, 48);
  sharer.settings->columnOffset = 0;
  const std::vector<unsigned char> blank(64 * 48, 30);
  std::vector<cv::Point_<double>> targets;
  EXPECT_FALSE(detector.FindTargets(blank.data(), targets));
  EXPECT_EQ(detector.settings->threshold, 30);  // the first miss takes the frame's mean
}

}  // namespace
