#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "GeometryFunctions.h"
#include "synth/PointScenes.h"

namespace CV = Tarnwell::Native::CV;

namespace {

// A random proper rotation of D dimensions: QR of a Gaussian matrix, with the sign fixed.
cv::Mat RandomRotation(int D, std::mt19937_64& rng) {
  std::normal_distribution<double> gauss(0, 1);
  cv::Mat Q(D, D, CV_64F);
  for (double& v : cv::Mat_<double>(Q)) v = gauss(rng);
  // Gram-Schmidt on the rows.
  for (int i = 0; i < D; ++i) {
    for (int j = 0; j < i; ++j) Q.row(i) -= Q.row(j) * Q.row(i).dot(Q.row(j));
    Q.row(i) /= cv::norm(Q.row(i));
  }
  if (cv::determinant(Q) < 0) Q.row(0) *= -1;
  return Q;
}

// N points of D coordinates, one per row, and their image under (R, t).
struct Pair {
  cv::Mat A, B;
};
Pair RandomPair(int N, int D, const cv::Mat& R, const cv::Mat& t, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> coordinate(-50, 50);
  Pair p{cv::Mat(N, D, CV_64F), cv::Mat()};
  for (double& v : cv::Mat_<double>(p.A)) v = coordinate(rng);
  p.B = p.A * R.t() + cv::repeat(t.t(), N, 1);
  return p;
}

// Rounding of coordinates near 100 through a well-conditioned D x D SVD.
constexpr double kTransformTol = 1e-9;

double Deviation(const cv::Mat& transform, const cv::Mat& R, const cv::Mat& t) {
  const int D = R.rows;
  cv::Mat expected = cv::Mat::eye(D + 1, D + 1, CV_64F);
  R.copyTo(expected(cv::Rect(0, 0, D, D)));
  t.copyTo(expected(cv::Rect(D, 0, 1, D)));
  return cv::norm(transform, expected, cv::NORM_INF);
}

TEST(FreeRigidTransform, RecoversRandomMotionsInEveryLayoutAndDimension) {
  std::mt19937_64 rng(51);
  for (int D = 2; D <= 4; ++D) {
    for (int N : {D + 1, 7, 1000}) {
      SCOPED_TRACE("D " + std::to_string(D) + ", N " + std::to_string(N));
      const cv::Mat R = RandomRotation(D, rng);
      cv::Mat t(D, 1, CV_64F);
      cv::randu(t, -100, 100);
      const Pair p = RandomPair(N, D, R, t, rng);

      cv::Mat rows, columns, channels;
      const double error = CV::GetRigidTransform(p.A, p.B, rows, true, true);
      EXPECT_LT(Deviation(rows, R, t), kTransformTol);
      EXPECT_LT(error, 1e-10);
      EXPECT_EQ(CV::GetRigidTransform(p.A.t(), p.B.t(), columns, false, true), 0.0);
      EXPECT_EQ(CV::GetRigidTransform(p.A.reshape(D, N), p.B.reshape(D, N), channels, false, true),
                0.0);
      // One point set, three layouts: the same arithmetic after the layout step.
      EXPECT_EQ(cv::norm(rows, columns, cv::NORM_INF), 0.0);
      EXPECT_EQ(cv::norm(rows, channels, cv::NORM_INF), 0.0);
      // A point row of D-channel elements too (a 1 x N multi-channel array).
      cv::Mat oneRow;
      CV::GetRigidTransform(p.A.reshape(D, 1), p.B.reshape(D, 1), oneRow, false, true);
      EXPECT_EQ(cv::norm(rows, oneRow, cv::NORM_INF), 0.0);
    }
  }
  // std::vector<cv::Point3d> is a multi-channel column.
  const auto A = synth::BoxPoints(10, 50, rng);
  const cv::Matx33d R = synth::RandomRotation(rng);
  cv::Mat transform;
  CV::GetRigidTransform(A, synth::Moved(A, R, {1, 2, 3}), transform, false, true);
  EXPECT_LT(Deviation(transform, cv::Mat(R), (cv::Mat_<double>(3, 1) << 1, 2, 3)), kTransformTol);
}

TEST(FreeRigidTransform, KeepsSinglePrecision) {
  std::mt19937_64 rng(53);
  const cv::Mat R = RandomRotation(3, rng);
  const cv::Mat t = (cv::Mat_<double>(3, 1) << 10, -5, 2);
  const Pair p = RandomPair(50, 3, R, t, rng);
  cv::Mat A, B, transform;
  p.A.convertTo(A, CV_32F);
  p.B.convertTo(B, CV_32F);
  const double error = CV::GetRigidTransform(A, B, transform, true, true);
  EXPECT_EQ(transform.type(), CV_32FC1);
  cv::Mat wide;
  transform.convertTo(wide, CV_64F);
  EXPECT_LT(Deviation(wide, R, t), 1e-4);  // float rounding (6e-8) of coordinates near 100
  EXPECT_LT(error, 1e-4);
}

TEST(FreeRigidTransform, ReflectionOnlyWhenNotFixed) {
  std::mt19937_64 rng(55);
  const Pair p = RandomPair(20, 3, cv::Mat::eye(3, 3, CV_64F), cv::Mat::zeros(3, 1, CV_64F), rng);
  cv::Mat mirrored = p.A.clone();
  mirrored.col(2) *= -1;
  cv::Mat fixed, free;
  const double fixedError = CV::GetRigidTransform(p.A, mirrored, fixed, true, true);
  const double freeError = CV::GetRigidTransform(p.A, mirrored, free, true, false);
  EXPECT_NEAR(cv::determinant(fixed(cv::Rect(0, 0, 3, 3))), 1.0, 1e-12);
  EXPECT_NEAR(cv::determinant(free(cv::Rect(0, 0, 3, 3))), -1.0, 1e-12);
  EXPECT_GT(fixedError, 1.0);  // points spread over 100 cannot be turned onto their mirror image
  EXPECT_LT(freeError, 1e-10);
}

TEST(FreeRigidTransform, RefusesBrokenInputWithTheConditionText) {
  const cv::Mat points(6, 3, CV_64F, cv::Scalar(1));
  auto expectRefusal = [](cv::InputArray A, cv::InputArray B, const std::string& condition) {
    cv::Mat transform = cv::Mat::eye(2, 2, CV_64F);
    try {
      CV::GetRigidTransform(A, B, transform, true, true);
      ADD_FAILURE() << "accepted, expected " << condition;
    } catch (const cv::Exception& e) {
      EXPECT_EQ(e.err, condition);
    }
    EXPECT_EQ(transform.size(), cv::Size(2, 2));  // nothing written
  };
  const cv::Mat wide(6, 8, CV_64F, cv::Scalar(1));
  expectRefusal(wide.colRange(0, 3), points, "A.isContinuous() && B.isContinuous()");
  expectRefusal(points, cv::Mat(6, 3, CV_32F), "depth == B.depth()");
  expectRefusal(points.reshape(3, 6), points, "channels == B.channels()");
  expectRefusal(points, points.rowRange(0, 5), "A.rows == B.rows");
  expectRefusal(points, cv::Mat(6, 2, CV_64F), "A.cols == B.cols");
  expectRefusal(cv::Mat(3, 3, CV_64F), cv::Mat(3, 3, CV_64F), "A.rows != A.cols");
  expectRefusal(cv::Mat(1, 3, CV_64F), cv::Mat(1, 3, CV_64F),
                "(multichannel) != ((A.rows > 1) == (A.cols > 1))");
  expectRefusal(cv::Mat(2, 3, CV_64FC3), cv::Mat(2, 3, CV_64FC3),
                "(multichannel) != ((A.rows > 1) == (A.cols > 1))");
  // Five coordinates per point: more than the per-channel means handle.
  EXPECT_THROW(CV::GetRigidTransform(cv::Mat(9, 5, CV_64F), cv::Mat(9, 5, CV_64F), cv::noArray(),
                                     false, true),
               cv::Exception);
}

}  // namespace
