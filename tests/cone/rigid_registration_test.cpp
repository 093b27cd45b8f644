#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "Cone.h"
#include "synth/PointScenes.h"

using Oskelo::CV::Native64::Cone;

namespace {

// Largest element difference of the upper 3x4 block against (R | t), and the bottom row.
double TransformDeviation(const cv::Mat& T, const cv::Matx33d& R, const cv::Vec3d& t) {
  EXPECT_EQ(T.type(), CV_64FC1);
  EXPECT_EQ(T.size(), cv::Size(4, 4));
  double worst = 0;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(T.at<double>(r, c) - R(r, c)));
    worst = std::max(worst, std::abs(T.at<double>(r, 3) - t[r]));
  }
  EXPECT_EQ(T.at<double>(3, 0), 0.0);
  EXPECT_EQ(T.at<double>(3, 1), 0.0);
  EXPECT_EQ(T.at<double>(3, 2), 0.0);
  EXPECT_EQ(T.at<double>(3, 3), 1.0);
  return worst;
}

// Rounding of points up to 100 through a well-conditioned 3x3 SVD: relative 1e-13, absolute 1e-11
// on translations near 100; 1e-9 leaves room for poorly spread small sets.
constexpr double kTransformTol = 1e-9;

TEST(ConeRigidTransform, RecoversRandomMotions) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> shift(-100, 100);
  for (int count : {3, 4, 7, 50, 1000}) {
    for (int trial = 0; trial < 20; ++trial) {
      const cv::Matx33d R = synth::RandomRotation(rng);
      const cv::Vec3d t(shift(rng), shift(rng), shift(rng));
      const auto A = synth::BoxPoints(count, 50, rng);
      cv::Mat transform;
      Cone::GetRigidTransform(A, synth::Moved(A, R, t), transform);
      EXPECT_LT(TransformDeviation(transform, R, t), kTransformTol) << count << " points";
    }
  }
  // A pure translation and identical sets.
  const auto A = synth::BoxPoints(5, 50, rng);
  cv::Mat transform;
  Cone::GetRigidTransform(A, synth::Moved(A, cv::Matx33d::eye(), {10, -5, 2}), transform);
  EXPECT_LT(TransformDeviation(transform, cv::Matx33d::eye(), {10, -5, 2}), kTransformTol);
  Cone::GetRigidTransform(A, A, transform);
  EXPECT_LT(TransformDeviation(transform, cv::Matx33d::eye(), {0, 0, 0}), kTransformTol);
}

TEST(ConeRigidTransform, MirrorImageGivesAProperRotation) {
  std::mt19937_64 rng(33);
  const auto A = synth::BoxPoints(10, 50, rng);
  std::vector<cv::Point3d> mirrored;
  for (const cv::Point3d& p : A) mirrored.push_back({p.x, p.y, -p.z});
  cv::Mat transform;
  Cone::GetRigidTransform(A, mirrored, transform);
  EXPECT_NEAR(cv::determinant(transform(cv::Rect(0, 0, 3, 3))), 1.0, 1e-12);

  Cone cone;
  double error = 0;
  cone.FindTransformation(mirrored, A, transform, error);
  EXPECT_GT(error, 1.0);  // a box of side 100 cannot be turned onto its mirror image
}

TEST(ConeRigidTransform, RefusesAShortSecondListAndEmptyGivesNaN) {
  const std::vector<cv::Point3d> three = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  const std::vector<cv::Point3d> two(three.begin(), three.begin() + 2);
  cv::Mat transform = cv::Mat::eye(4, 4, CV_64F) * 7;
  const cv::Mat before = transform.clone();
  EXPECT_THROW(Cone::GetRigidTransform(three, two, transform), cv::Exception);
  Cone cone;
  double error = -1;
  EXPECT_THROW(cone.FindTransformation(two, three, transform, error), cv::Exception);
  EXPECT_EQ(cv::norm(transform, before, cv::NORM_INF), 0.0);
  EXPECT_EQ(error, -1);

  // A longer second list is fine: its extra points are not paired.
  std::vector<cv::Point3d> four = three;
  four.push_back({1e3, 1e3, 1e3});
  Cone::GetRigidTransform(three, four, transform);
  EXPECT_LT(TransformDeviation(transform, cv::Matx33d::eye(), {0, 0, 0}), kTransformTol);

  Cone::GetRigidTransform({}, {}, transform);
  EXPECT_TRUE(std::isnan(transform.at<double>(0, 3)));
  cone.FindTransformation({}, {}, transform, error);
  EXPECT_TRUE(std::isnan(error));
}

TEST(FindTransformation, ReportsTheResidualAndSwappedArgumentsInvert) {
  std::mt19937_64 rng(35);
  const cv::Matx33d R = synth::AxisAngle({0, 0, 1}, synth::Radians(30));
  const cv::Vec3d t(10, -5, 2);
  const auto model = synth::BoxPoints(8, 50, rng);
  const auto observed = synth::Moved(model, R, t);
  Cone cone;
  cv::Mat forward, backward;
  double error = -1;
  cone.FindTransformation(observed, model, forward, error);
  EXPECT_LT(TransformDeviation(forward, R, t), kTransformTol);
  EXPECT_LT(error, 1e-12);  // rounding of coordinates near 100
  cone.FindTransformation(model, observed, backward, error);
  EXPECT_LT(cv::norm(forward * backward, cv::Mat::eye(4, 4, CV_64F), cv::NORM_INF), kTransformTol);

  // Noise of sigma per coordinate leaves a residual of about sigma * sqrt((3n - 6) / 3n).
  constexpr double kSigma = 0.1;
  std::vector<cv::Point3d> noisy;
  const auto many = synth::BoxPoints(500, 50, rng);
  for (const cv::Point3d& p : synth::Moved(many, R, t))
    noisy.push_back(synth::Jitter(p, kSigma, rng));
  cone.FindTransformation(noisy, many, forward, error);
  EXPECT_NEAR(error, kSigma, 0.1 * kSigma);  // 1500 residuals: relative spread about 2 %
}

// Expected squared error, to first order, of the point `target` carried by the rigid registration
// of exact model points onto observations with noise sigma per coordinate: the centroid's error
// (sigma^2 / n per axis) plus the rotation error sigma^2 (sum |q|^2 I - q q^T)^-1 over the centred
// observations q, levered by the target's distance d from the centroid.
double PredictedSquaredError(const std::vector<cv::Point3d>& observed, const cv::Point3d& target,
                             double sigma) {
  cv::Vec3d centroid(0, 0, 0);
  for (const cv::Point3d& p : observed) centroid += cv::Vec3d(p) / double(observed.size());
  cv::Matx33d information = cv::Matx33d::zeros();
  for (const cv::Point3d& p : observed) {
    const cv::Vec3d q = cv::Vec3d(p) - centroid;
    information += q.dot(q) * cv::Matx33d::eye() - q * q.t();
  }
  const cv::Vec3d d = cv::Vec3d(target) - centroid;
  const cv::Matx33d lever(0, -d[2], d[1], d[2], 0, -d[0], -d[1], d[0], 0);
  const cv::Matx33d rotationCovariance = information.inv() * (sigma * sigma);
  return 3 * sigma * sigma / observed.size() + cv::trace(lever * rotationCovariance * lever.t());
}

// A calibrated tool seen in new poses: the located tip matches the true tip within the noise that
// the marker noise carries to the tip.
TEST(FindTransformationOld, LocatesTheCalibratedTool) {
  std::mt19937_64 rng(41);
  const cv::Point3d tip(5, -3, 200);
  constexpr double kSigma = 0.05;
  constexpr int kTrials = 40;
  const synth::PivotScene scene = synth::PivotTracks(tip, 4, 40, 35, 0, rng);
  Cone cone;
  cone.markerTracks = scene.tracks;
  cone.eulerOrder = 5;
  cone.Calibrate();

  double squared = 0, predicted = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    // The tool moved rigidly: turned by R about its tip and carried to a new place.
    const cv::Matx33d R = synth::RandomRotation(rng);
    const cv::Vec3d newTip(40.0 * trial, -20.0, 300.0);
    std::vector<cv::Point3d> exact, observed;
    for (const cv::Point3d& offset : cone.markerOffsets) {
      exact.push_back(cv::Point3d(R * cv::Vec3d(offset) + newTip));
      observed.push_back(synth::Jitter(exact.back(), kSigma, rng));
    }
    cv::Point3d position, angles;
    cv::Mat transform;
    ASSERT_TRUE(cone.FindTransformation_old(observed, position, angles, transform, {0, 0, 0}));
    squared += std::pow(cv::norm(position - cv::Point3d(newTip)), 2) / kTrials;
    predicted += PredictedSquaredError(exact, cv::Point3d(newTip), kSigma) / kTrials;
    EXPECT_EQ(position, cv::Point3d(transform.at<double>(0, 3), transform.at<double>(1, 3),
                                    transform.at<double>(2, 3)));
    // The angles are those of the transform's rotation in eulerOrder 5: Rz * Ry * Rx.
    const cv::Matx33d rebuilt = synth::AxisAngle({0, 0, 1}, angles.x) *
                                synth::AxisAngle({0, 1, 0}, angles.y) *
                                synth::AxisAngle({1, 0, 0}, angles.z);
    EXPECT_LT(cv::norm(cv::Mat(rebuilt), transform(cv::Rect(0, 0, 3, 3)), cv::NORM_INF), 1e-12);
  }
  std::printf("tool located from 4 markers, sigma %.2f: tip RMS error %.4f (predicted %.4f)\n",
              kSigma, std::sqrt(squared), std::sqrt(predicted));
  // 40 trials with about two dominant error axes: the RMS scatters by about 1 / sqrt(2 * 80) = 8 %;
  // 1.3 times the prediction is almost four of those.
  EXPECT_LT(std::sqrt(squared), 1.3 * std::sqrt(predicted));

  // With an offset the model origin moves: the position is where pivot - offset went.
  const cv::Matx33d R = synth::RandomRotation(rng);
  std::vector<cv::Point3d> observed;
  for (const cv::Point3d& offset : cone.markerOffsets) {
    observed.push_back(cv::Point3d(R * cv::Vec3d(offset)));
  }
  cv::Point3d position, angles;
  cv::Mat transform;
  const cv::Point3d offset(1, 2, 3);
  ASSERT_TRUE(cone.FindTransformation_old(observed, position, angles, transform, offset));
  EXPECT_LT(cv::norm(position - cv::Point3d(R * cv::Vec3d(-offset))), 1e-9);
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

  // Observed points that are no rigid image of the model, scattered by thousands: the residual
  // exceeds 1000, the result is false, and the outputs are written all the same.
  const std::vector<cv::Point3d> scattered = {{0, 0, 0}, {5000, 0, 0}, {0, -9000, 0}, {0, 0, 7000}};
  EXPECT_FALSE(cone.FindTransformation_old(scattered, position, angles, transform, {0, 0, 0}));
  EXPECT_NE(cv::norm(transform, before, cv::NORM_INF), 0.0);
  EXPECT_EQ(position, cv::Point3d(transform.at<double>(0, 3), transform.at<double>(1, 3),
                                  transform.at<double>(2, 3)));

  // No markers and no observations: the transform holds NaN and the result is false.
  cone.markerOffsets.clear();
  EXPECT_FALSE(cone.FindTransformation_old({}, position, angles, transform, {0, 0, 0}));
  EXPECT_TRUE(std::isnan(position.x));
}

}  // namespace
