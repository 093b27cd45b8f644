#include "synth/Camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/calib3d.hpp>
#include <random>
#include <utility>
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

// Rays of the default image and of a rescaled one differ by the rounding of the scaled K only.
constexpr double kSameRayTol = 1e-12;

TEST(SynthStereoRig, ForImageSizeKeepsTheDefaultViewAtAnySize) {
  const synth::StereoRig standard = synth::StereoRig::Default();
  const synth::StereoRig same = synth::StereoRig::ForImageSize(standard.left.imageSize);
  for (const auto& [a, b] :
       {std::pair{&same.left, &standard.left}, {&same.right, &standard.right}}) {
    EXPECT_EQ(a->imageSize, b->imageSize);
    EXPECT_EQ(a->K, b->K);
    EXPECT_EQ(a->distortion, b->distortion);
    EXPECT_EQ(a->camera_from_world_R, b->camera_from_world_R);
    EXPECT_EQ(a->camera_from_world_t, b->camera_from_world_t);
  }

  // 640 x 480 and 4096 x 3000 are wider than the default (their width ratio is the larger),
  // 1024 x 1024 is taller.
  for (const cv::Size size : {cv::Size(640, 480), cv::Size(4096, 3000), cv::Size(1024, 1024)}) {
    const synth::StereoRig rig = synth::StereoRig::ForImageSize(size);
    EXPECT_EQ(rig.RightFromLeftR(), standard.RightFromLeftR());
    EXPECT_EQ(rig.RightFromLeftT(), standard.RightFromLeftT());
    for (const auto& [scaled, original] :
         {std::pair{&rig.left, &standard.left}, {&rig.right, &standard.right}}) {
      ASSERT_EQ(scaled->imageSize, size);
      EXPECT_EQ(scaled->distortion, original->distortion);
      const cv::Size was = original->imageSize;
      const double xRatio = static_cast<double>(size.width) / was.width;
      const double yRatio = static_cast<double>(size.height) / was.height;
      const bool wide = xRatio > yRatio;
      // One factor for both focal lengths keeps the pixels' shape (the products are rounded
      // once, so 1e-12 relative leaves room for rounding only).
      const double focalRatio = wide ? xRatio : yRatio;
      EXPECT_NEAR(scaled->K(0, 0), original->K(0, 0) * focalRatio, 1e-12 * scaled->K(0, 0));
      EXPECT_NEAR(scaled->K(1, 1), original->K(1, 1) * focalRatio, 1e-12 * scaled->K(1, 1));

      // Along the axis of the larger ratio the image edges see what the default's edges see;
      // along the other the view is cropped by the smaller ratio over the larger (0.85 to 0.87
      // for these sizes), so its edges see rays well inside the default image.
      const cv::Point2d c(scaled->K(0, 2), scaled->K(1, 2)),
          c0(original->K(0, 2), original->K(1, 2));
      const double right = size.width - 0.5, bottom = size.height - 0.5;
      const double right0 = was.width - 0.5, bottom0 = was.height - 0.5;
      const cv::Point2d edges[] = {{-0.5, c.y}, {right, c.y}, {c.x, -0.5}, {c.x, bottom}};
      const cv::Point2d edges0[] = {{-0.5, c0.y}, {right0, c0.y}, {c0.x, -0.5}, {c0.x, bottom0}};
      for (int i = 0; i < 4; ++i) {
        const cv::Point2d ray = scaled->PixelToRay(edges[i]);
        const cv::Point2d ray0 = original->PixelToRay(edges0[i]);
        const bool matchedAxis = (i < 2) == wide;
        if (matchedAxis) {
          EXPECT_NEAR(ray.x, ray0.x, kSameRayTol) << size << " edge " << i;
          EXPECT_NEAR(ray.y, ray0.y, kSameRayTol) << size << " edge " << i;
        } else {
          EXPECT_LT(std::hypot(ray.x, ray.y), 0.9 * std::hypot(ray0.x, ray0.y))
              << size << " edge " << i;
        }
      }
    }
  }
  EXPECT_THROW(synth::StereoRig::ForImageSize({0, 480}), cv::Exception);
}

}  // namespace
