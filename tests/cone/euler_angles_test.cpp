#include <gtest/gtest.h>

#include <random>

#include "cone/EulerAngles.h"
#include "synth/PointScenes.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

// R = first(a) * middle(b) * third(c) for each rotation order; other orders act as 1.
cv::Matx33d Product(int order, double a, double b, double c) {
  const cv::Vec3d x(1, 0, 0), y(0, 1, 0), z(0, 0, 1);
  const cv::Vec3d axes[6][3] = {{x, z, y}, {x, y, z}, {y, x, z}, {y, z, x}, {z, x, y}, {z, y, x}};
  const cv::Vec3d* ax = axes[(order >= 0 && order <= 5) ? order : 1];
  return synth::AxisAngle(ax[0], a) * synth::AxisAngle(ax[1], b) * synth::AxisAngle(ax[2], c);
}

// A few ulps of the elements through atan2 and asin, away from the singular middle angle.
constexpr double kAngleTol = 1e-12;

TEST(EulerAngles, EveryOrderReturnsTheAnglesOfItsProduct) {
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> outer(-3.1, 3.1), middle(-1.5, 1.5);
  for (int order = -1; order <= 7; ++order) {
    for (int trial = 0; trial < 100; ++trial) {
      const double a = trial ? outer(rng) : 0.3, b = trial ? middle(rng) : -0.5;
      const double c = trial ? outer(rng) : 0.7;
      // Read from a 4x4 transform: only its rotation block counts.
      cv::Mat transform = cv::Mat::eye(4, 4, CV_64F);
      cv::Mat(Product(order, a, b, c)).copyTo(transform(cv::Rect(0, 0, 3, 3)));
      transform.col(3).rowRange(0, 3).setTo(100);
      const cv::Point3d angles = detail::EulerAngles(transform, order);
      EXPECT_NEAR(angles.x, a, kAngleTol) << order;
      EXPECT_NEAR(angles.y, b, kAngleTol) << order;
      EXPECT_NEAR(angles.z, c, kAngleTol) << order;
    }
    EXPECT_EQ(detail::EulerAngles(cv::Mat::eye(3, 3, CV_64F), order), cv::Point3d(0, 0, 0));
  }
}

}  // namespace
