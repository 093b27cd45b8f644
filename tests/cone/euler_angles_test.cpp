#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "cone/EulerAngles.h"
#include "synth/PointScenes.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

cv::Matx33d Rx(double t) { return synth::AxisAngle({1, 0, 0}, t); }
cv::Matx33d Ry(double t) { return synth::AxisAngle({0, 1, 0}, t); }
cv::Matx33d Rz(double t) { return synth::AxisAngle({0, 0, 1}, t); }

// The product R = first(a) * middle(b) * third(c) of each rotation order.
cv::Matx33d Product(int order, double a, double b, double c) {
  switch (order) {
    case 0:
      return Rx(a) * Rz(b) * Ry(c);
    case 2:
      return Ry(a) * Rx(b) * Rz(c);
    case 3:
      return Ry(a) * Rz(b) * Rx(c);
    case 4:
      return Rz(a) * Rx(b) * Ry(c);
    case 5:
      return Rz(a) * Ry(b) * Rx(c);
    default:
      return Rx(a) * Ry(b) * Rz(c);
  }
}

// A few ulps of the rotation's elements through atan2 and asin away from the singular middle angle.
constexpr double kAngleTol = 1e-12;

TEST(EulerAngles, EveryOrderReturnsTheAnglesOfItsProduct) {
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> outer(-3.1, 3.1), middle(-1.5, 1.5);
  for (int order = 0; order <= 5; ++order) {
    SCOPED_TRACE(order);
    for (int trial = 0; trial < 100; ++trial) {
      const double a = outer(rng), b = middle(rng), c = outer(rng);
      const cv::Point3d angles = detail::EulerAngles(cv::Mat(Product(order, a, b, c)), order);
      EXPECT_NEAR(angles.x, a, kAngleTol);
      EXPECT_NEAR(angles.y, b, kAngleTol);
      EXPECT_NEAR(angles.z, c, kAngleTol);
    }
    // The example angles, read from a 4x4 transform as well.
    cv::Mat transform = cv::Mat::eye(4, 4, CV_64F);
    cv::Mat(Product(order, 0.3, -0.5, 0.7)).copyTo(transform(cv::Rect(0, 0, 3, 3)));
    transform.at<double>(0, 3) = 100;  // the translation is not read
    const cv::Point3d angles = detail::EulerAngles(transform, order);
    EXPECT_NEAR(angles.x, 0.3, kAngleTol);
    EXPECT_NEAR(angles.y, -0.5, kAngleTol);
    EXPECT_NEAR(angles.z, 0.7, kAngleTol);
  }
}

TEST(EulerAngles, OutOfRangeOrdersActAsOrderOneAndIdentityGivesZeros) {
  const cv::Mat R(Product(1, 0.3, -0.5, 0.7));
  const cv::Point3d expected = detail::EulerAngles(R, 1);
  for (int order : {-1, 6, 7, 1000}) EXPECT_EQ(detail::EulerAngles(R, order), expected);

  const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
  for (int order = -1; order <= 6; ++order) {
    const cv::Point3d angles = detail::EulerAngles(identity, order);
    EXPECT_EQ(angles.x, 0.0);
    EXPECT_EQ(angles.y, 0.0);
    EXPECT_EQ(angles.z, 0.0);
  }
}

}  // namespace
