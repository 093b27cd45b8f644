#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "native64/Cone.h"
#include "synth/PointScenes.h"

using Oskelo::CV::Native64::Cone;

namespace {

cv::Mat Homogeneous(const cv::Matx33d& R, const cv::Vec3d& t) {
  cv::Mat T = cv::Mat::eye(4, 4, CV_64F);
  cv::Mat(R).copyTo(T(cv::Rect(0, 0, 3, 3)));
  cv::Mat(t).copyTo(T(cv::Rect(3, 0, 1, 3)));
  return T;
}

double Deviation(const cv::Mat& T, const cv::Matx33d& R, const cv::Vec3d& t) {
  EXPECT_EQ(T.type(), CV_64FC1);
  return cv::norm(T, Homogeneous(R, t), cv::NORM_INF);
}

// Rounding of points up to 100 through a well-conditioned 3x3 SVD: about 1e-11 on translations.
constexpr double kTransformTol = 1e-9;

TEST(ConeRigidTransform, RecoversMotionsAndGivesProperRotationsForMirrors) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> shift(-100, 100);
  for (int count : {3, 4, 7, 50, 1000}) {
    for (int trial = 0; trial < 20; ++trial) {
      const cv::Matx33d R = trial ? synth::RandomRotation(rng) : cv::Matx33d::eye();
      const cv::Vec3d t(shift(rng), shift(rng), shift(rng));
      const auto A = synth::BoxPoints(count, 50, rng);
      cv::Mat transform;
      Cone::GetRigidTransform(A, synth::Moved(A, R, t), transform);
      EXPECT_LT(Deviation(transform, R, t), kTransformTol) << count << " points";
    }
  }
  const auto A = synth::BoxPoints(10, 50, rng);
  std::vector<cv::Point3d> mirrored;
  for (const cv::Point3d& p : A) mirrored.push_back({p.x, p.y, -p.z});
  cv::Mat transform;
  Cone::GetRigidTransform(A, mirrored, transform);
  EXPECT_NEAR(cv::determinant(transform(cv::Rect(0, 0, 3, 3))), 1.0, 1e-12);
}

TEST(ConeRigidTransform, RefusesAShortSecondListAndEmptyGivesNaN) {
  const std::vector<cv::Point3d> three = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  const std::vector<cv::Point3d> two(three.begin(), three.begin() + 2);
  cv::Mat transform = cv::Mat::eye(4, 4, CV_64F) * 7;
  const cv::Mat before = transform.clone();
  Cone cone;
  double error = -1;
  EXPECT_THROW(Cone::GetRigidTransform(three, two, transform), cv::Exception);
  EXPECT_THROW(cone.FindTransformation(two, three, transform, error), cv::Exception);
  EXPECT_EQ(cv::norm(transform, before, cv::NORM_INF), 0.0);
  EXPECT_EQ(error, -1);

  cone.FindTransformation({}, {}, transform, error);
  EXPECT_TRUE(std::isnan(transform.at<double>(0, 3)));
  EXPECT_TRUE(std::isnan(error));
}

TEST(FindTransformation, ReportsTheResidualAndSwappedArgumentsInvert) {
  std::mt19937_64 rng(35);
  const cv::Matx33d R = synth::AxisAngle({0, 0, 1}, synth::Radians(30));
  const cv::Vec3d t(10, -5, 2);
  const auto model = synth::BoxPoints(500, 50, rng);
  const auto observed = synth::Moved(model, R, t);
  Cone cone;
  cv::Mat forward, backward;
  double error = -1;
  cone.FindTransformation(observed, model, forward, error);
  EXPECT_LT(Deviation(forward, R, t), kTransformTol);
  EXPECT_LT(error, 1e-12);  // rounding of coordinates near 100
  cone.FindTransformation(model, observed, backward, error);
  EXPECT_LT(cv::norm(forward * backward, cv::Mat::eye(4, 4, CV_64F), cv::NORM_INF), kTransformTol);

  // Noise sigma per coordinate leaves an RMS coordinate residual of sigma * sqrt(1 - 6 / 3n);
  // 1500 residuals scatter it by about 2 %.
  constexpr double kSigma = 0.1;
  std::vector<cv::Point3d> noisy;
  for (const cv::Point3d& p : observed) noisy.push_back(synth::Jitter(p, kSigma, rng));
  cone.FindTransformation(noisy, model, forward, error);
  EXPECT_NEAR(error, kSigma, 0.1 * kSigma);
}

// First-order expected squared error of the tip located from observations with noise sigma: the
// centroid's error (sigma^2 / n per axis) plus the rotation error sigma^2 (sum |q|^2 I - q q^T)^-1
// over the centred observations q, levered by the tip's distance d from their centroid.
double PredictedSquaredError(const std::vector<cv::Point3d>& observed, const cv::Vec3d& tip,
                             double sigma) {
  cv::Vec3d centroid(0, 0, 0);
  for (const cv::Point3d& p : observed) centroid += cv::Vec3d(p) / double(observed.size());
  cv::Matx33d information = cv::Matx33d::zeros();
  for (const cv::Point3d& p : observed) {
    const cv::Vec3d q = cv::Vec3d(p) - centroid;
    information += q.dot(q) * cv::Matx33d::eye() - q * q.t();
  }
  const cv::Vec3d d = tip - centroid;
  const cv::Matx33d lever(0, -d[2], d[1], d[2], 0, -d[0], -d[1], d[0], 0);
  return sigma * sigma * (3.0 / observed.size() + cv::trace(lever * information.inv() * lever.t()));
}

TEST(FindTransformationOld, LocatesTheCalibratedToolWithinTheNoise) {
  std::mt19937_64 rng(41);
  constexpr double kSigma = 0.05;
  constexpr int kTrials = 40;
  Cone cone;
  cone.markerTracks = synth::PivotTracks({5, -3, 200}, 4, 40, 35, 0, rng).tracks;
  cone.eulerOrder = 5;
  cone.Calibrate();

  double squared = 0, predicted = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    // The tool turned about its tip and carried elsewhere; with offset (0, 0, 0) the position is
    // the tip, with an offset it is where pivot - offset went.
    const cv::Matx33d R = synth::RandomRotation(rng);
    const cv::Vec3d tip(40.0 * trial, -20.0, 300.0);
    const auto exact = synth::Moved(cone.markerOffsets, R, tip);
    std::vector<cv::Point3d> observed;
    for (const cv::Point3d& p : exact) observed.push_back(synth::Jitter(p, kSigma, rng));
    cv::Point3d position, angles;
    cv::Mat transform;
    ASSERT_TRUE(cone.FindTransformation_old(observed, position, angles, transform, {0, 0, 0}));
    squared += std::pow(cv::norm(position - cv::Point3d(tip)), 2) / kTrials;
    predicted += PredictedSquaredError(exact, tip, kSigma) / kTrials;
    // The angles are those of the transform's rotation in eulerOrder 5, Rz * Ry * Rx.
    const cv::Matx33d rebuilt = synth::AxisAngle({0, 0, 1}, angles.x) *
                                synth::AxisAngle({0, 1, 0}, angles.y) *
                                synth::AxisAngle({1, 0, 0}, angles.z);
    EXPECT_LT(cv::norm(cv::Mat(rebuilt), transform(cv::Rect(0, 0, 3, 3)), cv::NORM_INF), 1e-12);

    const cv::Point3d offset(1, 2, 3);
    ASSERT_TRUE(cone.FindTransformation_old(exact, position, angles, transform, offset));
    EXPECT_LT(cv::norm(position - cv::Point3d(R * -cv::Vec3d(offset) + tip)), 1e-9);
  }
  std::printf("tool located from 4 markers, sigma %.2f: tip RMS error %.4f (predicted %.4f)\n",
              kSigma, std::sqrt(squared), std::sqrt(predicted));
  // 40 trials with about two dominant error axes scatter the RMS by 1 / sqrt(2 * 80) = 8 %;
  // 1.3 times the prediction is almost four of those.
  EXPECT_LT(std::sqrt(squared), 1.3 * std::sqrt(predicted));
}

TEST(FindTransformationOld, CountMismatchWritesNothingAndLargeResidualsFail) {
  Cone cone;
  cone.markerOffsets = {{0, 0, 0}, {100, 0, 0}, {0, 100, 0}, {0, 0, 100}};
  cv::Point3d position(1, 1, 1), angles(2, 2, 2);
  cv::Mat transform = cv::Mat::eye(4, 4, CV_64F) * 3;
  const cv::Mat before = transform.clone();
  for (std::size_t count : {3u, 5u}) {
    const std::vector<cv::Point3d> observed(count, cv::Point3d(1, 2, 3));
    EXPECT_FALSE(cone.FindTransformation_old(observed, position, angles, transform, {0, 0, 0}));
    EXPECT_EQ(position, cv::Point3d(1, 1, 1));
    EXPECT_EQ(angles, cv::Point3d(2, 2, 2));
    EXPECT_EQ(cv::norm(transform, before, cv::NORM_INF), 0.0);
  }
  // No rigid image of the model, scattered by thousands: the residual exceeds 1000 and the result
  // is false, but the outputs are written.
  const std::vector<cv::Point3d> scattered = {{0, 0, 0}, {5000, 0, 0}, {0, -9000, 0}, {0, 0, 7000}};
  EXPECT_FALSE(cone.FindTransformation_old(scattered, position, angles, transform, {0, 0, 0}));
  EXPECT_EQ(position, cv::Point3d(transform.at<double>(0, 3), transform.at<double>(1, 3),
                                  transform.at<double>(2, 3)));
  EXPECT_NE(position, cv::Point3d(1, 1, 1));
  // No markers and no observations: NaN, and false.
  cone.markerOffsets.clear();
  EXPECT_FALSE(cone.FindTransformation_old({}, position, angles, transform, {0, 0, 0}));
  EXPECT_TRUE(std::isnan(position.x));
}

}  // namespace
