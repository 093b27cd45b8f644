#include "Reference.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "synth/PointScenes.h"

using Oskelo::CV::Native64::Reference;

namespace {

// Rounding of coordinates up to about 100 through the SVD and a 4x4 LU inversion.
constexpr double kTol = 1e-9;

double MaxDistance(const std::vector<cv::Point3d>& a, const std::vector<cv::Point3d>& b) {
  EXPECT_EQ(a.size(), b.size());
  double worst = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
    worst = std::max(worst, cv::norm(a[i] - b[i]));
  return worst;
}

TEST(Reference, NewObjectKeepsPointsAndCopiesShareTheTransform) {
  std::mt19937_64 rng(71);
  const auto points = synth::BoxPoints(10, 50, rng);
  Reference reference;
  std::vector<cv::Point3d> out = {{9, 9, 9}};
  reference.Transform(points, out);
  EXPECT_EQ(out, points);
  reference.Transform({}, out);
  EXPECT_TRUE(out.empty());

  Reference copy(reference);
  EXPECT_EQ(copy.referenceTransform.data, reference.referenceTransform.data);
  // Recomputing stores a new matrix: the copy keeps the old one.
  reference.measuredPoints = points;
  reference.referencePoints = synth::Moved(points, cv::Matx33d::eye(), {1, 0, 0});
  reference.ComputeReferenceTransform({0, 0, 0});
  EXPECT_EQ(cv::norm(copy.referenceTransform, cv::Mat::eye(4, 4, CV_64F), cv::NORM_INF), 0.0);
}

TEST(Reference, IdentityTranslationOffsetAndRigidMotion) {
  std::mt19937_64 rng(73);
  const auto points = synth::BoxPoints(12, 50, rng);
  Reference reference;
  reference.referencePoints = points;
  reference.measuredPoints = points;
  reference.ComputeReferenceTransform({0, 0, 0});
  EXPECT_LT(cv::norm(reference.referenceTransform, cv::Mat::eye(4, 4, CV_64F), cv::NORM_INF), kTol);

  // Measured = reference + t: the transform is a translation by -t.
  reference.measuredPoints = synth::Moved(points, cv::Matx33d::eye(), {10, -5, 2});
  reference.ComputeReferenceTransform({0, 0, 0});
  cv::Mat expected = cv::Mat::eye(4, 4, CV_64F);
  expected.at<double>(0, 3) = -10, expected.at<double>(1, 3) = 5, expected.at<double>(2, 3) = -2;
  EXPECT_LT(cv::norm(reference.referenceTransform, expected, cv::NORM_INF), kTol);

  // An offset shifts every result; a general motion is undone.
  const cv::Matx33d R = synth::RandomRotation(rng);
  reference.measuredPoints = synth::Moved(points, R, {30, 40, -50});
  reference.ComputeReferenceTransform({1, 2, 3});
  std::vector<cv::Point3d> out;
  reference.Transform(reference.measuredPoints, out);
  EXPECT_LT(MaxDistance(out, synth::Moved(points, cv::Matx33d::eye(), {1, 2, 3})), kTol);
}

TEST(Reference, MirrorGivesAProperRotationAndExtraReferencePointsAreIgnored) {
  std::mt19937_64 rng(75);
  const auto points = synth::BoxPoints(10, 50, rng);
  Reference reference;
  reference.referencePoints = points;
  for (const cv::Point3d& p : points) reference.measuredPoints.push_back({-p.x, p.y, p.z});
  reference.ComputeReferenceTransform({0, 0, 0});
  EXPECT_NEAR(cv::determinant(reference.referenceTransform(cv::Rect(0, 0, 3, 3))), 1.0, 1e-12);

  // Far-off extra reference points change neither centroid nor rotation.
  reference.measuredPoints = synth::Moved(points, synth::RandomRotation(rng), {5, 5, 5});
  reference.ComputeReferenceTransform({0, 0, 0});
  const cv::Mat exact = reference.referenceTransform.clone();
  reference.referencePoints.push_back({1e4, -1e4, 1e4});
  reference.ComputeReferenceTransform({0, 0, 0});
  EXPECT_EQ(cv::norm(reference.referenceTransform, exact, cv::NORM_INF), 0.0);
}

TEST(Reference, RefusesMissingPointsAndKeepsTheTransform) {
  std::mt19937_64 rng(77);
  Reference reference;
  reference.measuredPoints = synth::BoxPoints(5, 50, rng);
  reference.referencePoints = synth::Moved(reference.measuredPoints, cv::Matx33d::eye(), {1, 1, 1});
  reference.ComputeReferenceTransform({0, 0, 0});
  const cv::Mat stored = reference.referenceTransform;
  const cv::Mat values = stored.clone();

  reference.referencePoints.pop_back();
  EXPECT_THROW(reference.ComputeReferenceTransform({0, 0, 0}), cv::Exception);
  reference.measuredPoints.clear();
  EXPECT_THROW(reference.ComputeReferenceTransform({0, 0, 0}), cv::Exception);
  EXPECT_EQ(reference.referenceTransform.data, stored.data);
  EXPECT_EQ(cv::norm(reference.referenceTransform, values, cv::NORM_INF), 0.0);
}

}  // namespace
