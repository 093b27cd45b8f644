// Links the shared library the way a host does: only its exported symbols are reachable.
#include <gtest/gtest.h>

#include "Native64.h"

namespace Utils = Oskelo::CV::Native64::Utils;

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

}  // namespace
