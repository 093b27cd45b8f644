#include <gtest/gtest.h>

#include <random>

#include "calibration/known_rig.h"
#include "native64/Calibration.h"
#include "synth/StereoRig.h"

using Oskelo::CV::Native64::Calibration;

namespace {

// The point matrices handed to cv::triangulatePoints are 32-bit floats: about 6e-5 px of rounding
// at 1000 px, i.e. 3e-4 mm of depth at 1 m with a 250 mm baseline and f = 1500 px
// (dz = z^2 / (f * b) * dd). The homogeneous division is in single precision as well.
constexpr double kTriangulationTolMm = 5e-3;

TEST(Triangulate, RecoversPointsSeenThroughAKnownRig) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  Calibration calibration;
  SetKnownCalibration(calibration, rig);

  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> lateral(-250.0, 250.0);
  std::uniform_real_distribution<double> depth(700.0, 1300.0);
  std::vector<cv::Point3d> world;
  std::vector<cv::Point2d> left, right;
  for (int i = 0; i < 200; ++i) {
    const cv::Point3d x(lateral(random) + 125.0, lateral(random) * 0.8, depth(random));
    world.push_back(x);
    left.push_back(rig.left.Project(x));
    right.push_back(rig.right.Project(x));
  }

  std::vector<cv::Point3d> points = {{1, 2, 3}};
  calibration.Triangulate(left, right, points);
  ASSERT_EQ(points.size(), world.size());

  // The result lies in the rectified left camera's frame.
  const cv::Matx33d rectification(calibration.parameters.rectificationLeft);
  for (std::size_t i = 0; i < world.size(); ++i) {
    const cv::Vec3d expected = rectification * cv::Vec3d(world[i]);
    EXPECT_NEAR(points[i].x, expected[0], kTriangulationTolMm) << i;
    EXPECT_NEAR(points[i].y, expected[1], kTriangulationTolMm) << i;
    EXPECT_NEAR(points[i].z, expected[2], kTriangulationTolMm) << i;
  }
}

TEST(Triangulate, RefusesEmptyOrUnequalListsAndLeavesTheOutputEmpty) {
  Calibration calibration;
  SetKnownCalibration(calibration, synth::StereoRig::Default());
  std::vector<cv::Point3d> points = {{1, 2, 3}};
  EXPECT_THROW(calibration.Triangulate({}, {}, points), cv::Exception);
  EXPECT_TRUE(points.empty());
  points = {{1, 2, 3}};
  EXPECT_THROW(calibration.Triangulate({{600, 500}, {610, 500}}, {{600, 500}}, points),
               cv::Exception);
  EXPECT_TRUE(points.empty());
  EXPECT_THROW(calibration.Triangulate({{600, 500}}, {{600, 500}, {610, 500}}, points),
               cv::Exception);
}

TEST(Triangulate, PassesNonFinitePointsThroughAsNonFiniteResults) {
  Calibration calibration;
  SetKnownCalibration(calibration, synth::StereoRig::Default());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<cv::Point3d> points;
  calibration.Triangulate({{nan, 500}, {600, 500}}, {{550, 500}, {560, 500}}, points);
  ASSERT_EQ(points.size(), 2u);
  EXPECT_FALSE(std::isfinite(points[0].z));
  EXPECT_TRUE(std::isfinite(points[1].z));
}

}  // namespace
