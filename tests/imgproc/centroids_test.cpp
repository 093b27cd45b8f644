#include "imgproc/Centroids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <opencv2/imgproc.hpp>

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

namespace {

// The weighted centroid summed pixel by pixel in doubles, as the method is defined.
cv::Point2d ReferenceCentroid(const cv::Rect& rect, const cv::Mat& image, int m, int p) {
  const int x0 = rect.x - m, y0 = rect.y - m, x1 = rect.x + rect.width + m,
            y1 = rect.y + rect.height + m;
  const int u = std::max({image.at<uchar>(y0, x0), image.at<uchar>(y0, x1), image.at<uchar>(y1, x0),
                          image.at<uchar>(y1, x1)});
  double sx = 0, sy = 0, sw = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      const int v = image.at<uchar>(y, x);
      if (v >= u) continue;
      const double w = detail::IntegerPower(std::abs(u - v), p);
      sx += x * w;
      sy += y * w;
      sw += w;
    }
  }
  return {sx / sw, sy / sw};
}

TEST(RefineCentroid, BitForBitTheDefinedSumsOnNoisyDots) {
  cv::RNG rng(99);
  for (int trial = 0; trial < 200; ++trial) {
    cv::Mat image(64, 64, CV_8UC1);
    rng.fill(image, cv::RNG::NORMAL, 180, 20);
    const cv::Point centre(rng.uniform(20, 44), rng.uniform(20, 44));
    cv::circle(image, centre, rng.uniform(3, 9), cv::Scalar(rng.uniform(0, 120)), cv::FILLED);
    const cv::Rect rect(centre.x - 9, centre.y - 9, rng.uniform(10, 19), rng.uniform(10, 19));
    const int margin = rng.uniform(0, 3), power = rng.uniform(-1, 6);
    const cv::Point2d expected = ReferenceCentroid(rect, image, margin, power);
    const cv::Point2d found = detail::RefineCentroid(rect, image, margin, power, kNoOrigin);
    EXPECT_EQ(found, expected) << "trial " << trial << " power " << power;
  }
}

// Settings far from any real target (found by fuzzing, where they overflowed int): the power's
// magnitude of INT_MIN, and margins so large that the window's edges leave the int range.
TEST(IntegerPower, AnyExponentIncludingIntMin) {
  EXPECT_EQ(detail::IntegerPower(2.0, 10), 1024.0);
  EXPECT_EQ(detail::IntegerPower(2.0, -2), 0.25);
  EXPECT_EQ(detail::IntegerPower(1.0, INT_MIN), 1.0);
  EXPECT_EQ(detail::IntegerPower(2.0, INT_MIN), 0.0);  // 1 / inf
  EXPECT_EQ(detail::IntegerPower(2.0, INT_MAX), HUGE_VAL);
}

TEST(RefineCentroid, MarginsOfAnySizeClipToTheImage) {
  const cv::Mat image = SquareOnBackground();
  const cv::Rect dot(10, 10, 3, 3);
  // A margin that covers the whole image anyway gives the whole image's window.
  const cv::Point2d wide = detail::RefineCentroid(dot, image, 40, 2, kNoOrigin);
  EXPECT_EQ(detail::RefineCentroid(dot, image, INT_MAX, 2, kNoOrigin), wide);
  EXPECT_NEAR(wide.x, 11.0, kExact);
  // A negative margin that turns the window inside out leaves no pixel: NaN.
  EXPECT_TRUE(std::isnan(detail::RefineCentroid(dot, image, INT_MIN, 2, kNoOrigin).x));
  EXPECT_TRUE(std::isnan(detail::RefineCentroid(dot, image, -2, 2, kNoOrigin).x));
  // Powers of any size still give a centre inside the dot's window, or NaN, never a fault.
  for (int power : {INT_MIN, -1, INT_MAX}) {
    const cv::Point2d c = detail::RefineCentroid(dot, image, 0, power, kNoOrigin);
    if (std::isnan(c.x) || std::isnan(c.y)) continue;
    EXPECT_GE(c.x, 10.0) << power;
    EXPECT_LE(c.x, 12.0) << power;
    EXPECT_GE(c.y, 10.0) << power;
    EXPECT_LE(c.y, 12.0) << power;
  }
  // An empty window with a weight beyond any integer (200^9 > 2^63): NaN, no weights computed.
  EXPECT_TRUE(std::isnan(detail::RefineCentroid(dot, image, -2, 9, kNoOrigin).x));
  EXPECT_TRUE(std::isnan(detail::RefineCentroid(cv::Rect(40, 40, 3, 3), image, 0, 9, kNoOrigin).x));
}

}  // namespace
