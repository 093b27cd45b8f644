#include <gtest/gtest.h>

#include <cstdlib>

#include "imgproc/EdgeDetector.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

class EdgeDetectorTest : public testing::Test {
 protected:
  // No display: the debugging windows are skipped instead of waiting for a key.
  void SetUp() override {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }
};

TEST_F(EdgeDetectorTest, UniformImageHasNoEdges) {
  cv::Mat image(40, 50, CV_8UC1, cv::Scalar(90));
  testing::internal::CaptureStdout();
  detail::EdgeDetector(image);
  const std::string timings = testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(timings.begin(), timings.end(), '\n'), 5);  // five stage timings
  ASSERT_EQ(image.type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(image), 0);
}

TEST_F(EdgeDetectorTest, VerticalStepRespondsBesideTheStepOnly) {
  cv::Mat image(40, 50, CV_8UC1, cv::Scalar(0));
  image.colRange(25, 50).setTo(255);
  testing::internal::CaptureStdout();
  detail::EdgeDetector(image);
  testing::internal::GetCapturedStdout();
  for (int c = 0; c < image.cols; ++c) {
    const bool besideStep = c >= 23 && c <= 26;  // two columns on each side of the step
    EXPECT_EQ(cv::countNonZero(image.col(c)) > 0, besideStep) << "column " << c;
  }
}

}  // namespace
