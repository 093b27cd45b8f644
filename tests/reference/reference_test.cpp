#include "native64/Reference.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "synth/PointScenes.h"

using Oskelo::CV::Native64::Reference;

namespace {

// Rounding of coordinates up to about 100 through the SVD and a 4x4 LU inversion.
constexpr double kTol = 1e-9;

cv::Mat Translation(const cv::Vec3d& t) {
  cv::Mat T = cv::Mat::eye(4, 4, CV_64F);
  cv::Mat(t).copyTo(T(cv::Rect(3, 0, 1, 3)));
  return T;
}

TEST(Reference, IdentityTranslationOffsetAndMirror) {
  std::mt19937_64 rng(73);
  const auto points = synth::BoxPoints(12, 50, rng);
  Reference reference;
  std::vector<cv::Point3d> out = {{9, 9, 9}};
  reference.Transform(points, out);  // a new object keeps the points
  EXPECT_EQ(out, points);

  reference.referencePoints = points;
  reference.measuredPoints = points;
  reference.ComputeReferenceTransform({0, 0, 0});
  EXPECT_LT(cv::norm(reference.referenceTransform, Translation({0, 0, 0}), cv::NORM_INF), kTol);

  // Measured = reference + t: a translation by -t. Extra reference points are ignored.
  reference.measuredPoints = synth::Moved(points, cv::Matx33d::eye(), {10, -5, 2});
  reference.referencePoints.push_back({1e4, -1e4, 1e4});
  reference.ComputeReferenceTransform({0, 0, 0});
  EXPECT_LT(cv::norm(reference.referenceTransform, Translation({-10, 5, -2}), cv::NORM_INF), kTol);

  // A general motion is undone and the offset added to every result.
  reference.measuredPoints = synth::Moved(points, synth::RandomRotation(rng), {30, 40, -50});
  reference.ComputeReferenceTransform({1, 2, 3});
  reference.Transform(reference.measuredPoints, out);
  ASSERT_EQ(out.size(), points.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_LT(cv::norm(out[i] - (points[i] + cv::Point3d(1, 2, 3))), kTol);
  }

  // A mirror image still gives a proper rotation.
  reference.measuredPoints.clear();
  for (const cv::Point3d& p : points) reference.measuredPoints.push_back({-p.x, p.y, p.z});
  reference.ComputeReferenceTransform({0, 0, 0});
  EXPECT_NEAR(cv::determinant(reference.referenceTransform(cv::Rect(0, 0, 3, 3))), 1.0, 1e-12);
}

TEST(Reference, CopiesKeepTheirTransformAndRefusalsKeepTheStoredOne) {
  std::mt19937_64 rng(77);
  Reference reference;
  reference.measuredPoints = synth::BoxPoints(5, 50, rng);
  reference.referencePoints = synth::Moved(reference.measuredPoints, cv::Matx33d::eye(), {1, 1, 1});
  const Reference copy(reference);
  EXPECT_EQ(copy.referenceTransform.data, reference.referenceTransform.data);  // shared
  reference.ComputeReferenceTransform({0, 0, 0});
  // A new matrix was stored: the copy still holds the identity.
  EXPECT_EQ(cv::norm(copy.referenceTransform, Translation({0, 0, 0}), cv::NORM_INF), 0.0);

  const cv::Mat stored = reference.referenceTransform, values = stored.clone();
  reference.referencePoints.pop_back();
  EXPECT_THROW(reference.ComputeReferenceTransform({0, 0, 0}), cv::Exception);
  reference.measuredPoints.clear();
  EXPECT_THROW(reference.ComputeReferenceTransform({0, 0, 0}), cv::Exception);
  EXPECT_EQ(reference.referenceTransform.data, stored.data);
  EXPECT_EQ(cv::norm(reference.referenceTransform, values, cv::NORM_INF), 0.0);
}

}  // namespace
