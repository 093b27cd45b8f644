#include <cmath>

#include <gtest/gtest.h>

#include "imgproc/Centroids.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

constexpr double kExact = 1e-12;  // sums of a few integers-valued products: rounding only
const cv::Point kNoOrigin(0, 0);

cv::Mat SquareOnBackground() {
  cv::Mat image(30, 30, CV_8UC1, cv::Scalar(200));
  image(cv::Rect(10, 10, 3, 3)).setTo(0);
  return image;
}

TEST(ContourMean, MeanOfPointsAndNaNWhenEmpty) {
  const cv::Point2d mean = detail::ContourMean({{0, 0}, {4, 0}, {4, 2}, {0, 2}});
  EXPECT_EQ(mean, cv::Point2d(2, 1));
  EXPECT_TRUE(std::isnan(detail::ContourMean({}).x));
}

TEST(IntegerPower, RepeatedSquaring) {
  EXPECT_EQ(detail::IntegerPower(3.0, 0), 1.0);
  EXPECT_EQ(detail::IntegerPower(3.0, 5), 243.0);
  EXPECT_EQ(detail::IntegerPower(2.0, -3), 0.125);
}

TEST(RefineCentroid, WeightsDepthBelowTheBrightestCornerSample) {
  cv::Mat image = SquareOnBackground();
  const cv::Rect rect(10, 10, 3, 3);
  cv::Point2d c = detail::RefineCentroid(rect, image, 0, 2, kNoOrigin);
  EXPECT_NEAR(c.x, 11.0, kExact);
  EXPECT_NEAR(c.y, 11.0, kExact);

  // A lighter pixel at row 10, column 12 weighs 100^2 against 200^2: Sx = 3 600 000,
  // Sy = 3 660 000, Sw = 330 000.
  image.at<uchar>(10, 12) = 100;
  c = detail::RefineCentroid(rect, image, 0, 2, kNoOrigin);
  EXPECT_NEAR(c.x, 3600000.0 / 330000.0, kExact);
  EXPECT_NEAR(c.y, 3660000.0 / 330000.0, kExact);

  // Power 1: plain depths, 8 x 200 + 100 = 1700.
  c = detail::RefineCentroid(rect, image, 0, 1, kNoOrigin);
  EXPECT_NEAR(c.x, (200.0 * (10 + 11) * 3 + 200.0 * 12 * 2 + 100.0 * 12) / 1700.0, kExact);

  // The origin of imageRect shifts the result.
  const cv::Point2d shifted = detail::RefineCentroid(rect, image, 0, 1, cv::Point(5, 7));
  EXPECT_NEAR(shifted.x, c.x + 5, kExact);
  EXPECT_NEAR(shifted.y, c.y + 7, kExact);
}

TEST(RefineCentroid, NaNWhenNothingIsDarkerThanTheBackground) {
  const cv::Mat flat(20, 20, CV_8UC1, cv::Scalar(90));
  EXPECT_TRUE(std::isnan(detail::RefineCentroid(cv::Rect(5, 5, 4, 4), flat, 0, 2, kNoOrigin).x));
}

TEST(RefineCentroid, ClipsWindowAndSamplesAtTheImageBorder) {
  // A dot in the lower right corner of a small image, read inside a larger buffer whose bytes
  // beyond the image are dark: a read outside the image would pull the centre toward them.
  cv::Mat buffer(12, 12, CV_8UC1, cv::Scalar(0));
  cv::Mat image = buffer(cv::Rect(0, 0, 8, 8));
  image.setTo(200);
  image(cv::Rect(6, 6, 2, 2)).setTo(10);
  const cv::Point2d c = detail::RefineCentroid(cv::Rect(6, 6, 2, 2), image, 3, 2, kNoOrigin);
  EXPECT_NEAR(c.x, 6.5, kExact);
  EXPECT_NEAR(c.y, 6.5, kExact);
  // Entirely outside the image: nothing to weigh.
  EXPECT_TRUE(std::isnan(detail::RefineCentroid(cv::Rect(50, 50, 3, 3), image, 0, 2, kNoOrigin).x));
}

}  // namespace
