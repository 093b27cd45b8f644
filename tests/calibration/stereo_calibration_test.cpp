#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <opencv2/calib3d.hpp>

#include "calibration/calibration_tolerances.h"
#include "native64/Calibration.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

using Oskelo::CV::Native64::Calibration;

namespace {

// A calibration series through the default rig (baseline 250, vergence 8 degrees, f ~ 1500 px,
// k1 ~ -0.15), rendered with noise sigma 1.5 and blur 0.7, and calibrated once for all tests here.
constexpr int kPairs = 12;
constexpr std::uint64_t kSeriesSeed = 2024;

using namespace calibration_tolerances;
constexpr double kPlateSpacing = 30.0;

struct Series {
  synth::StereoRig rig = synth::StereoRig::Default();
  std::vector<cv::Mat> left, right;
  Calibration calibration;
  std::vector<bool> accepted;
};

Series* series = nullptr;

class StereoCalibration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    series = new Series;
    synth::RenderSettings render;
    const auto poses = synth::CalibrationSeries(series->rig, kPairs, kSeriesSeed);
    for (std::size_t i = 0; i < poses.size(); ++i) {
      render.seed = 100 + 2 * i;
      series->left.push_back(synth::Render(series->rig.left, {poses[i]}, render).image);
      render.seed = 101 + 2 * i;
      series->right.push_back(synth::Render(series->rig.right, {poses[i]}, render).image);
      series->accepted.push_back(
          series->calibration.ExtractPair(series->left.back().data, series->right.back().data));
    }
    series->calibration.ComputeStereoCalibration();
  }
  static void TearDownTestSuite() {
    delete series;
    series = nullptr;
  }
};

double RotationAngleDeg(const cv::Matx33d& a, const cv::Matx33d& b) {
  cv::Vec3d rodrigues;
  cv::Rodrigues(cv::Mat(a * b.t()), rodrigues);
  return cv::norm(rodrigues) * 180.0 / CV_PI;
}

TEST_F(StereoCalibration, AcceptsEveryPairAndRecoversTheRig) {
  for (int i = 0; i < kPairs; ++i) EXPECT_TRUE(series->accepted[i]) << "pair " << i;
  const Calibration& c = series->calibration;
  ASSERT_EQ(c.leftTargets.size(), static_cast<std::size_t>(kPairs));

  const synth::StereoRig& rig = series->rig;
  const cv::Matx33d k1(c.parameters.cameraMatrixLeft), k2(c.parameters.cameraMatrixRight);
  for (const auto& [estimated, truth] : {std::pair{k1, rig.left.K}, std::pair{k2, rig.right.K}}) {
    EXPECT_NEAR(estimated(0, 0), truth(0, 0), kFocalTolShare * truth(0, 0));
    EXPECT_NEAR(estimated(1, 1), truth(1, 1), kFocalTolShare * truth(1, 1));
    EXPECT_NEAR(estimated(0, 2), truth(0, 2), kPrincipalPointTolPx);
    EXPECT_NEAR(estimated(1, 2), truth(1, 2), kPrincipalPointTolPx);
  }
  const double baseline = cv::norm(c.parameters.translation);
  const double trueBaseline = cv::norm(rig.RightFromLeftT());
  EXPECT_NEAR(baseline, trueBaseline, kBaselineTolShare * trueBaseline);
  const double rotationError =
      RotationAngleDeg(cv::Matx33d(c.parameters.rotation), rig.RightFromLeftR());
  EXPECT_LT(rotationError, kRotationTolDeg);
  // Rectified with zero disparity at infinity: both rectified cameras share one principal point,
  // so that disparity is the plain difference of x.
  const cv::Matx34d P1(c.parameters.projectionLeft), P2(c.parameters.projectionRight);
  EXPECT_EQ(P1(0, 2), P2(0, 2));
  EXPECT_EQ(P1(1, 2), P2(1, 2));
  EXPECT_LE(c.rmsLeft, kRmsMaxPx);
  EXPECT_LE(c.rmsRight, kRmsMaxPx);
  EXPECT_LE(c.rmsStereo, kRmsMaxPx);

  std::printf("fx %.3f/%.3f fy %.3f/%.3f cx %.3f/%.3f cy %.3f/%.3f (left, estimate/truth)\n",
              k1(0, 0), rig.left.K(0, 0), k1(1, 1), rig.left.K(1, 1), k1(0, 2), rig.left.K(0, 2),
              k1(1, 2), rig.left.K(1, 2));
  std::printf("fx %.3f/%.3f fy %.3f/%.3f cx %.3f/%.3f cy %.3f/%.3f (right)\n", k2(0, 0),
              rig.right.K(0, 0), k2(1, 1), rig.right.K(1, 1), k2(0, 2), rig.right.K(0, 2), k2(1, 2),
              rig.right.K(1, 2));
  std::printf("baseline %.4f/%.4f rotation error %.4f deg rms %.4f %.4f %.4f px\n", baseline,
              trueBaseline, rotationError, c.rmsLeft, c.rmsRight, c.rmsStereo);
}

// Distances between grid neighbours (same row, next column; same column, next row) of one view.
std::vector<double> NeighbourDistances(const std::vector<cv::Point3d>& points, int columns) {
  std::vector<double> distances;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if ((i + 1) % columns != 0) distances.push_back(cv::norm(points[i + 1] - points[i]));
    if (i + columns < points.size()) distances.push_back(cv::norm(points[i + columns] - points[i]));
  }
  return distances;
}

TEST_F(StereoCalibration, TriangulatesThePlateWithItsSpacing) {
  const Calibration& c = series->calibration;
  double sumSquares = 0.0, maxError = 0.0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < c.leftTargets.size(); ++i) {
    std::vector<cv::Point3d> points;
    c.Triangulate(c.leftTargets[i], c.rightTargets[i], points);
    ASSERT_EQ(points.size(), c.leftTargets[i].size());
    double pairSquares = 0.0, pairMax = 0.0;
    const std::vector<double> distances = NeighbourDistances(points, c.nominalPattern.columns);
    for (double d : distances) {
      const double error = std::abs(d - kPlateSpacing);
      pairSquares += error * error;
      pairMax = std::max(pairMax, error);
    }
    std::printf("pair %2zu: spacing error rms %.4f max %.4f\n", i,
                std::sqrt(pairSquares / distances.size()), pairMax);
    sumSquares += pairSquares;
    count += distances.size();
    maxError = std::max(maxError, pairMax);
  }
  const double rms = std::sqrt(sumSquares / count);
  std::printf("all pairs: spacing error rms %.4f max %.4f over %zu neighbours\n", rms, maxError,
              count);
  EXPECT_LE(rms, kSpacingRmsMax);
  EXPECT_LE(maxError, kSpacingMaxError);
}

TEST_F(StereoCalibration, ReportsTheErrorsOfOpenCvsOwnChain) {
  const Calibration& c = series->calibration;
  std::vector<std::vector<cv::Point3f>> object;
  std::vector<std::vector<cv::Point2f>> left, right;
  for (std::size_t i = 0; i < c.leftTargets.size(); ++i) {
    object.emplace_back(c.nominalPattern.points.begin(), c.nominalPattern.points.end());
    left.emplace_back(c.leftTargets[i].begin(), c.leftTargets[i].end());
    right.emplace_back(c.rightTargets[i].begin(), c.rightTargets[i].end());
  }
  const cv::Size size(1248, 1082);
  const cv::TermCriteria camera(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, DBL_EPSILON);
  cv::Mat k1, d1, k2, d2, r, t, e, f;
  std::vector<cv::Mat> rvecs, tvecs;
  EXPECT_EQ(c.rmsLeft, cv::calibrateCamera(object, left, size, k1, d1, rvecs, tvecs, 0, camera));
  EXPECT_EQ(c.rmsRight, cv::calibrateCamera(object, right, size, k2, d2, rvecs, tvecs, 0, camera));
  EXPECT_EQ(c.rmsStereo,
            cv::stereoCalibrate(object, left, right, k1, d1, k2, d2, size, r, t, e, f,
                                cv::CALIB_USE_INTRINSIC_GUESS,
                                {cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-6}));
}

TEST_F(StereoCalibration, StoresEveryMatrixAsDoublesInItsShape) {
  const auto& p = series->calibration.parameters;
  const std::vector<std::tuple<const cv::Mat*, int, int>> shapes = {
      {&p.fundamental, 3, 3},       {&p.essential, 3, 3},          {&p.cameraMatrixLeft, 3, 3},
      {&p.cameraMatrixRight, 3, 3}, {&p.projectionLeft, 3, 4},     {&p.projectionRight, 3, 4},
      {&p.rectificationLeft, 3, 3}, {&p.rectificationRight, 3, 3}, {&p.distortionLeft, 1, 8},
      {&p.distortionRight, 1, 8},   {&p.disparityToDepth, 4, 4},   {&p.rotation, 3, 3},
      {&p.translation, 3, 1}};
  for (const auto& [m, rows, cols] : shapes) {
    EXPECT_EQ(m->type(), CV_64FC1);
    EXPECT_EQ(m->rows, rows);
    EXPECT_EQ(m->cols, cols);
  }
  for (const cv::Mat* d : {&p.distortionLeft, &p.distortionRight}) {
    EXPECT_NE(d->at<double>(0, 0), 0.0);  // k1 was estimated
    for (int i = 5; i < 8; ++i) EXPECT_EQ(d->at<double>(0, i), 0.0);
  }
}

TEST_F(StereoCalibration, SkipsPairsWithoutThePlateAndRecomputesOnDemand) {
  Calibration copy(series->calibration);
  const double rmsStereo = copy.rmsStereo;
  // A pair whose right view misses a target takes no part, but stays in the data.
  copy.leftTargets.push_back(copy.leftTargets[0]);
  copy.rightTargets.push_back(
      std::vector<cv::Point2d>(copy.rightTargets[0].begin() + 1, copy.rightTargets[0].end()));
  const cv::Mat previous = copy.parameters.cameraMatrixLeft;
  copy.ComputeStereoCalibration();
  EXPECT_EQ(copy.leftTargets.size(), static_cast<std::size_t>(kPairs + 1));
  EXPECT_EQ(copy.rmsStereo, rmsStereo);
  EXPECT_EQ(cv::norm(copy.parameters.cameraMatrixLeft, previous, cv::NORM_INF), 0.0);
  // New matrices for the copy; the source keeps its own.
  EXPECT_NE(copy.parameters.cameraMatrixLeft.data, previous.data);
  EXPECT_EQ(series->calibration.parameters.cameraMatrixLeft.data, previous.data);
}

TEST_F(StereoCalibration, AppendsEachAcceptedPairInOrder) {
  Calibration calibration;
  ASSERT_TRUE(calibration.ExtractPair(series->left[3].data, series->right[3].data));
  ASSERT_TRUE(calibration.ExtractPair(series->left[5].data, series->right[5].data));
  ASSERT_EQ(calibration.leftTargets.size(), 2u);
  ASSERT_EQ(calibration.rightTargets.size(), 2u);
  EXPECT_EQ(calibration.leftTargets[1], series->calibration.leftTargets[5]);
  EXPECT_EQ(calibration.rightTargets[1], series->calibration.rightTargets[5]);

  // A pair in which one camera sees no plate is refused and changes nothing.
  const cv::Mat blank = cv::Mat::zeros(1082, 1248, CV_8UC1);
  EXPECT_FALSE(calibration.ExtractPair(series->left[4].data, blank.data));
  EXPECT_FALSE(calibration.ExtractPair(blank.data, series->right[4].data));
  EXPECT_EQ(calibration.leftTargets.size(), 2u);
  EXPECT_EQ(calibration.rightTargets.size(), 2u);
}

}  // namespace
