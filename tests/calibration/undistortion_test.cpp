#include "calibration/Undistortion.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "synth/StereoRig.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

// The fixed-point inversion contracts by about 3 * k1 * r^2 < 0.15 per step over the image, so 20
// steps leave far less than this; the rest is rounding.
constexpr double kInverseTolPx = 1e-6;

cv::Mat EightCoefficients(const cv::Vec<double, 5>& d) {
  return (cv::Mat_<double>(1, 8) << d[0], d[1], d[2], d[3], d[4], 0, 0, 0);
}

TEST(UndistortPixels, InvertsOpenCvLensModelOverTheImage) {
  const synth::Camera camera = synth::StereoRig::Default().left;
  const cv::Mat K(camera.K);
  const cv::Vec<double, 5>& d = camera.distortion;
  // The camera's five coefficients, and the same with the rational model's k4, k5, k6 as well
  // (the denominator 1 + k4 r^2 + k5 r^4 + k6 r^6 of OpenCV's model).
  const cv::Mat five = EightCoefficients(d);
  const cv::Mat rational =
      (cv::Mat_<double>(1, 8) << d[0], d[1], d[2], d[3], d[4], 0.05, -0.02, 0.01);

  // Rays on a grid that covers the image out to its corners (normalised |x| < 0.42, |y| < 0.36).
  std::vector<cv::Point3d> rays;
  for (double x = -0.42; x <= 0.42; x += 0.06)
    for (double y = -0.36; y <= 0.36; y += 0.06) rays.emplace_back(x, y, 1.0);
  for (const cv::Mat& distortion : {five, rational}) {
    const detail::LensModel lens = detail::ReadLensModel(K, distortion);
    std::vector<cv::Point2d> distorted;
    cv::projectPoints(rays, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K, distortion, distorted);

    std::vector<cv::Point2d> undistorted;
    detail::UndistortPixels(distorted, lens, undistorted);
    ASSERT_EQ(undistorted.size(), rays.size());
    for (std::size_t i = 0; i < rays.size(); ++i) {
      const cv::Vec3d ideal = camera.K * cv::Vec3d(rays[i].x, rays[i].y, 1.0);
      EXPECT_NEAR(undistorted[i].x, ideal[0], kInverseTolPx) << distortion;
      EXPECT_NEAR(undistorted[i].y, ideal[1], kInverseTolPx) << distortion;
    }

    // In place, as triangulation uses it.
    detail::UndistortPixels(distorted, lens, distorted);
    EXPECT_EQ(distorted, undistorted);
  }
}

TEST(UndistortPixels, LeavesPointsUnchangedWithoutDistortion) {
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 1500, 0, 620, 0, 1490, 540, 0, 0, 1);
  const detail::LensModel lens = detail::ReadLensModel(K, cv::Mat::zeros(1, 8, CV_64F));
  const std::vector<cv::Point2d> points = {{0, 0}, {620, 540}, {1247.5, 1081.25}};
  std::vector<cv::Point2d> undistorted;
  detail::UndistortPixels(points, lens, undistorted);
  for (std::size_t i = 0; i < points.size(); ++i) {
    EXPECT_NEAR(undistorted[i].x, points[i].x, 1e-9);  // rounding of (x - cx) / fx * fx + cx
    EXPECT_NEAR(undistorted[i].y, points[i].y, 1e-9);
  }
}

TEST(ProjectToRectified, IsTheIdentityForUnrotatedCameraWithItsOwnProjection) {
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 1500, 0, 620, 0, 1490, 540, 0, 0, 1);
  cv::Mat P = cv::Mat::zeros(3, 4, CV_64F);
  K.copyTo(P.colRange(0, 3));
  const std::vector<cv::Point2d> points = {{0, 0}, {620, 540}, {1000.25, 77.5}};
  std::vector<cv::Point2d> projected;
  detail::ProjectToRectified(points, K, P, cv::Mat::eye(3, 3, CV_64F), projected);
  for (std::size_t i = 0; i < points.size(); ++i) {
    EXPECT_NEAR(projected[i].x, points[i].x, 1e-9);
    EXPECT_NEAR(projected[i].y, points[i].y, 1e-9);
  }
}

TEST(ReadLensModel, RefusesMatricesOfAnotherTypeOrSize) {
  const cv::Mat K = cv::Mat::eye(3, 3, CV_64F);
  EXPECT_THROW(detail::ReadLensModel(K, cv::Mat::zeros(1, 5, CV_64F)), cv::Exception);
  EXPECT_THROW(detail::ReadLensModel(K, cv::Mat::zeros(1, 8, CV_32F)), cv::Exception);
  EXPECT_THROW(detail::ReadLensModel(cv::Mat::eye(3, 3, CV_32F), cv::Mat::zeros(1, 8, CV_64F)),
               cv::Exception);
  EXPECT_NO_THROW(detail::ReadLensModel(K, cv::Mat::zeros(8, 1, CV_64F)));
}

}  // namespace
