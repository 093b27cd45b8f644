#include "synth/Camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/calib3d.hpp>
#include <random>
#include <vector>

#include "synth/StereoRig.h"

namespace {

// Both sides evaluate the same polynomial in double precision; only the order of the operations
// differs, which moves a pixel by about 1e-12.
constexpr double kSameModelTolPx = 1e-9;
// PixelToRay promises convergence far below 1e-6 px; Newton's method reaches rounding level.
constexpr double kRoundTripTolPx = 1e-9;

cv::Point3d WorldFromCamera(const synth::Camera& camera, const cv::Vec3d& inCamera) {
  const cv::Vec3d world = camera.camera_from_world_R.t() * (inCamera - camera.camera_from_world_t);
  return {world[0], world[1], world[2]};
}

TEST(SynthCamera, ProjectsAKnownPointOntoAKnownPixel) {
  synth::Camera camera;
  camera.K = cv::Matx33d(1500, 0, 600, 0, 1400, 500, 0, 0, 1);
  const cv::Point2d pixel = camera.Project({10, 20, 1000});
  EXPECT_NEAR(pixel.x, 615.0, kSameModelTolPx);
  EXPECT_NEAR(pixel.y, 528.0, kSameModelTolPx);
}

TEST(SynthCamera, ProjectsLikeOpenCVWithPoseAndDistortion) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  std::mt19937_64 generator(11);
  std::uniform_real_distribution<double> lateral(-400.0, 400.0), depth(500.0, 2000.0);
  std::vector<cv::Point3d> points;
  for (int i = 0; i < 50; ++i)
    points.emplace_back(lateral(generator), lateral(generator), depth(generator));

  for (const synth::Camera* camera : {&rig.left, &rig.right}) {
    cv::Vec3d rvec;
    cv::Rodrigues(camera->camera_from_world_R, rvec);
    std::vector<cv::Point2d> expected;
    cv::projectPoints(points, rvec, camera->camera_from_world_t, camera->K, camera->distortion,
                      expected);
    for (std::size_t i = 0; i < points.size(); ++i) {
      const cv::Point2d pixel = camera->Project(points[i]);
      EXPECT_NEAR(pixel.x, expected[i].x, kSameModelTolPx) << "point " << i;
      EXPECT_NEAR(pixel.y, expected[i].y, kSameModelTolPx) << "point " << i;
    }
  }
}

TEST(SynthCamera, PixelToRayInvertsProjectOverTheWholeImage) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  for (const synth::Camera* camera : {&rig.left, &rig.right}) {
    const cv::Size size = camera->imageSize;
    // Corners and edges of the image are where the distortion is strongest.
    for (double y : {-0.5, 100.25, 541.0, 900.75, size.height - 0.5}) {
      for (double x : {-0.5, 3.0, 624.5, 1000.125, size.width - 0.5}) {
        const cv::Point2d ray = camera->PixelToRay({x, y});
        const double depth = 800.0;
        const cv::Point2d back =
            camera->Project(WorldFromCamera(*camera, depth * cv::Vec3d(ray.x, ray.y, 1.0)));
        EXPECT_NEAR(back.x, x, kRoundTripTolPx) << "pixel " << x << ", " << y;
        EXPECT_NEAR(back.y, y, kRoundTripTolPx) << "pixel " << x << ", " << y;
      }
    }
  }
}

TEST(SynthStereoRig, RightCameraSitsOnTheBaselineTurnedTowardTheLeft) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const cv::Matx33d R = rig.RightFromLeftR();
  const cv::Vec3d T = rig.RightFromLeftT();
  // Rotation and translation are built from exact values; 1e-9 leaves room for rounding only.
  const cv::Vec3d rightCentreInLeft = -(R.t() * T);
  EXPECT_NEAR(rightCentreInLeft[0], 250.0, 1e-9);
  EXPECT_NEAR(rightCentreInLeft[1], 0.0, 1e-9);
  EXPECT_NEAR(rightCentreInLeft[2], 0.0, 1e-9);
  const cv::Vec3d rightAxisInLeft = R.t() * cv::Vec3d(0, 0, 1);
  EXPECT_NEAR(rightAxisInLeft[0], -std::sin(8.0 * CV_PI / 180.0), 1e-9);
  EXPECT_NEAR(rightAxisInLeft[1], 0.0, 1e-9);
  EXPECT_NEAR(cv::determinant(R), 1.0, 1e-9);

  // A point ahead of both cameras appears further left in the right image, as in any stereo pair
  // with a horizontal baseline and this small vergence.
  const cv::Point3d ahead(100, 50, 1000);
  EXPECT_LT(rig.right.Project(ahead).x - rig.right.K(0, 2),
            rig.left.Project(ahead).x - rig.left.K(0, 2));
}

}  // namespace
