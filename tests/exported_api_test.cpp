// Links the shared library the way a host does: only its exported symbols are reachable.
#include <gtest/gtest.h>

#include "native64/Native64.h"

namespace Utils = Oskelo::CV::Native64::Utils;
using Oskelo::CV::Native64::ImageProcessor;

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

TEST(ExportedApi, DetectorIsReachable) {
  ImageProcessor detector;
  ImageProcessor sharer;
  sharer = detector;
  sharer.settings->imageRect = cv::Rect(0, 0, 64, 48);
  sharer.settings->columnOffset = 0;
  const std::vector<unsigned char> blank(64 * 48, 30);
  std::vector<cv::Point_<double>> targets;
  EXPECT_FALSE(detector.FindTargets(blank.data(), targets));
  EXPECT_EQ(detector.settings->threshold, 30);  // the first miss takes the frame's mean
}

TEST(ExportedApi, ToolAndReferenceClassesAndFreeFunctionsAreReachable) {
  using Oskelo::CV::Native64::Cone;
  using Oskelo::CV::Native64::Reference;
  const std::vector<cv::Point3_<double>> square = {{-1, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  std::vector<cv::Point3_<double>> moved;
  moved.reserve(square.size());
  for (const cv::Point3_<double>& p : square) moved.push_back(p + cv::Point3_<double>(1, 2, 3));

  Cone cone;
  cone.markerTracks = {square};
  cone.Calibrate(cv::Point3_<double>(0, 0, 0));
  cv::Mat transform;
  double error = -1;
  cone.FindTransformation(moved, square, transform, error);
  EXPECT_NEAR(transform.at<double>(2, 3), 3.0, 1e-12);

  Reference reference;
  reference.referencePoints = square;
  reference.measuredPoints = moved;
  reference.ComputeReferenceTransform(cv::Point3_<double>(0, 0, 0));
  std::vector<cv::Point3_<double>> back;
  reference.Transform(moved, back);
  EXPECT_NEAR(back[3].z, 1.0, 1e-12);

  cv::Mat free;
  EXPECT_EQ(Tarnwell::Native::CV::GetRigidTransform(square, moved, free, false, true), 0.0);
  std::vector<cv::Point3_<double>> sphere = square;  // five points on the sphere of radius 1
  sphere.push_back({0, 0, -1});
  cv::Mat fit;
  Tarnwell::Native::CV::FitHyperSphere(sphere, fit, false);
  EXPECT_NEAR(fit.at<double>(3), 1.0, 1e-12);

  namespace N = Oskelo::CV::Native64;
  const N::SharedSphereFit shared = N::FitSharedSphere({sphere});
  ASSERT_TRUE(shared.solved);
  EXPECT_NEAR(shared.radii[0], 1.0, 1e-12);
  EXPECT_FALSE(N::PivotFromPoses({}).solved);
  EXPECT_FALSE(N::PivotFromMarkers({}, N::MeanMarkerModel({square, moved})).solved);
  EXPECT_EQ(N::PivotWarningTexts(N::kPivotSpinOnly, N::PivotFitOptions()).size(), 1u);
}

TEST(ExportedApi, CentreBiasAndUnbiasedCalibrationAreReachable) {
  namespace N = Oskelo::CV::Native64;
  const cv::Mat k = (cv::Mat_<double>(3, 3) << 1500, 0, 620, 0, 1500, 540, 0, 0, 1);
  // A plate facing the camera: the outline's centre is the centre's projection.
  const std::vector<cv::Point2d> bias =
      N::OutlineCentreBias(k, cv::Mat(), cv::Matx33d::eye(), {0, 0, 1000}, {{30, 0, 0}}, 7.5);
  ASSERT_EQ(bias.size(), 1u);
  EXPECT_NEAR(bias[0].x, 0.0, 1e-9);
  EXPECT_NEAR(bias[0].y, 0.0, 1e-9);
  const N::Calibration calibration;
  EXPECT_THROW(N::CalibrateUnbiased(calibration, {}, {}), cv::Exception);  // no pair
}

}  // namespace
