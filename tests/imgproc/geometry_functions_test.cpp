#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "native64/GeometryFunctions.h"

namespace CV = Tarnwell::Native::CV;

namespace {

// Calls `call` and expects a cv::Exception whose text is `condition` and which names the public
// function the host called (not an internal helper) and its source file.
void ExpectRefusal(const std::function<void()>& call, const std::string& condition,
                   const std::string& function) {
  try {
    call();
    ADD_FAILURE() << "accepted, expected " << condition;
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.err, condition);
    EXPECT_NE(e.func.find(function), std::string::npos) << e.func;
    EXPECT_NE(e.file.find(function), std::string::npos) << e.file;
  }
}

// A random proper rotation of D dimensions: the orthogonal factor of a Gaussian matrix.
cv::Mat RandomRotation(int D, cv::RNG& rng) {
  cv::Mat M(D, D, CV_64F), w, u, vt;
  rng.fill(M, cv::RNG::NORMAL, 0, 1);
  cv::SVD::compute(M, w, u, vt);
  if (cv::determinant(u * vt) < 0) u.col(0) *= -1;
  return u * vt;
}

// N points of D coordinates, one per row, uniform in [-50, 50]^D.
cv::Mat RandomPoints(int N, int D, cv::RNG& rng) {
  cv::Mat points(N, D, CV_64F);
  rng.fill(points, cv::RNG::UNIFORM, -50, 50);
  return points;
}

cv::Mat Homogeneous(const cv::Mat& R, const cv::Mat& t) {
  const int D = R.rows;
  cv::Mat T = cv::Mat::eye(D + 1, D + 1, CV_64F);
  R.copyTo(T(cv::Rect(0, 0, D, D)));
  t.copyTo(T(cv::Rect(D, 0, 1, D)));
  return T;
}

// Rounding of coordinates near 100 through a well-conditioned D x D SVD: about 1e-11.
constexpr double kTransformTol = 1e-9;

TEST(FreeRigidTransform, RecoversMotionsInEveryLayoutAndDimension) {
  cv::RNG rng(51);
  for (int D = 2; D <= 4; ++D) {
    for (int N : {D + 1, 7, 1000}) {
      SCOPED_TRACE("D " + std::to_string(D) + ", N " + std::to_string(N));
      const cv::Mat R = RandomRotation(D, rng), A = RandomPoints(N, D, rng);
      cv::Mat t(D, 1, CV_64F);
      rng.fill(t, cv::RNG::UNIFORM, -100, 100);
      const cv::Mat B = A * R.t() + cv::repeat(t.t(), N, 1);

      cv::Mat rows, columns, channels, channelRow;
      EXPECT_LT(CV::GetRigidTransform(A, B, rows, true, true), 1e-10);
      EXPECT_LT(cv::norm(rows, Homogeneous(R, t), cv::NORM_INF), kTransformTol);
      // One point set in four layouts: the same transform, bit for bit.
      EXPECT_EQ(CV::GetRigidTransform(A.t(), B.t(), columns, false, true), 0.0);
      CV::GetRigidTransform(A.reshape(D, N), B.reshape(D, N), channels, false, true);
      CV::GetRigidTransform(A.reshape(D, 1), B.reshape(D, 1), channelRow, false, true);
      EXPECT_EQ(cv::norm(rows, columns, cv::NORM_INF), 0.0);
      EXPECT_EQ(cv::norm(rows, channels, cv::NORM_INF), 0.0);
      EXPECT_EQ(cv::norm(rows, channelRow, cv::NORM_INF), 0.0);
    }
  }
  // Single precision stays single: float rounding (6e-8) of coordinates near 100.
  const cv::Mat R = RandomRotation(3, rng), A = RandomPoints(50, 3, rng);
  cv::Mat A32, B32, transform;
  A.convertTo(A32, CV_32F);
  cv::Mat(A * R.t()).convertTo(B32, CV_32F);
  EXPECT_LT(CV::GetRigidTransform(A32, B32, transform, true, true), 1e-4);
  ASSERT_EQ(transform.type(), CV_32FC1);
  transform.convertTo(transform, CV_64F);
  EXPECT_LT(cv::norm(transform, Homogeneous(R, cv::Mat::zeros(3, 1, CV_64F)), cv::NORM_INF), 1e-4);
}

TEST(FreeRigidTransform, ReflectsOnlyWhenNotFixed) {
  cv::RNG rng(55);
  const cv::Mat A = RandomPoints(20, 3, rng);
  cv::Mat mirrored = A.clone(), fixed, free;
  mirrored.col(2) *= -1;
  // Points spread over 100 cannot be turned onto their mirror image.
  EXPECT_GT(CV::GetRigidTransform(A, mirrored, fixed, true, true), 1.0);
  EXPECT_LT(CV::GetRigidTransform(A, mirrored, free, true, false), 1e-10);
  EXPECT_NEAR(cv::determinant(fixed(cv::Rect(0, 0, 3, 3))), 1.0, 1e-12);
  EXPECT_NEAR(cv::determinant(free(cv::Rect(0, 0, 3, 3))), -1.0, 1e-12);
}

// A non-finite coordinate used to give a residual of 0.0, a perfect fit (found by the bad-input
// review): the residual is now NaN, in either depth.
TEST(FreeRigidTransform, NonFinitePointsGiveANaNResidual) {
  cv::RNG rng(56);
  const cv::Mat A = RandomPoints(10, 3, rng);
  for (const double bad : {std::nan(""), HUGE_VAL}) {
    cv::Mat B = A.clone(), transform;
    B.at<double>(4, 1) = bad;
    EXPECT_TRUE(std::isnan(CV::GetRigidTransform(A, B, transform, true, true))) << bad;
    cv::Mat A32, B32;
    A.convertTo(A32, CV_32F);
    B.convertTo(B32, CV_32F);
    EXPECT_TRUE(std::isnan(CV::GetRigidTransform(A32, B32, transform, true, false))) << bad;
  }
}

TEST(FreeRigidTransform, RefusesBrokenInputWithTheConditionText) {
  const cv::Mat points(6, 3, CV_64F, cv::Scalar(1)), wide(6, 8, CV_64F, cv::Scalar(1));
  cv::Mat transform = cv::Mat::eye(2, 2, CV_64F);
  auto refuse = [&](const cv::Mat& A, const cv::Mat& B, const std::string& condition) {
    ExpectRefusal([&] { CV::GetRigidTransform(A, B, transform, true, true); }, condition,
                  "RigidTransform");
  };
  refuse(wide.colRange(0, 3), points, "A.isContinuous() && B.isContinuous()");
  refuse(points, cv::Mat(6, 3, CV_32F), "depth == B.depth()");
  refuse(points.reshape(3, 6), points, "channels == B.channels()");
  refuse(points, points.rowRange(0, 5), "A.rows == B.rows");
  refuse(points, cv::Mat(6, 2, CV_64F), "A.cols == B.cols");
  refuse(cv::Mat(3, 3, CV_64F), cv::Mat(3, 3, CV_64F), "A.rows != A.cols");
  const std::string layout = "(multichannel) != ((A.rows > 1) == (A.cols > 1))";
  refuse(cv::Mat(1, 3, CV_64F), cv::Mat(1, 3, CV_64F), layout);
  refuse(cv::Mat(2, 3, CV_64FC3), cv::Mat(2, 3, CV_64FC3), layout);
  // Five coordinates per point; integer coordinates.
  refuse(cv::Mat(9, 5, CV_64F), cv::Mat(9, 5, CV_64F),
         "point sets need 2 to 4 coordinates per point, got 5");
  EXPECT_THROW(
      CV::GetRigidTransform(cv::Mat(9, 3, CV_32S), cv::Mat(9, 3, CV_32S), transform, false, true),
      cv::Exception);
  EXPECT_EQ(transform.size(), cv::Size(2, 2));  // nothing written
}

TEST(FitHyperSphere, FitsCirclesSpheresAndHyperspheresInEveryLayout) {
  cv::RNG rng(61);
  constexpr int kCount = 100;
  constexpr double kRadius = 10, kSigma = 0.05;
  for (int D = 2; D <= 4; ++D) {
    SCOPED_TRACE(D);
    const cv::Mat centre = cv::Mat((cv::Mat_<double>(1, 4) << 1, 2, 3, -4)).colRange(0, D).clone();
    cv::Mat exact(kCount, D, CV_64F), noise(kCount, D, CV_64F);
    rng.fill(exact, cv::RNG::NORMAL, 0, 1);
    rng.fill(noise, cv::RNG::NORMAL, 0, kSigma);
    for (int i = 0; i < kCount; ++i) {
      exact.row(i) = exact.row(i) * (kRadius / cv::norm(exact.row(i))) + centre;
    }

    cv::Mat rows, columns, channels, fit;
    EXPECT_LT(CV::FitHyperSphere(exact, rows, true), 1e-9);
    ASSERT_EQ(rows.size(), cv::Size(D + 1, 1));
    // Exact data: rounding of coordinates near 10.
    EXPECT_LT(cv::norm(rows.colRange(0, D), centre, cv::NORM_INF), 1e-9);
    EXPECT_NEAR(rows.at<double>(D), kRadius, 1e-9);
    EXPECT_EQ(CV::FitHyperSphere(exact.t(), columns, false), 0.0);
    CV::FitHyperSphere(exact.reshape(D, kCount), channels, false);
    EXPECT_EQ(cv::norm(rows, columns, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(rows, channels, cv::NORM_INF), 0.0);

    // With noise the RMS residual estimates sigma (relative scatter 1 / sqrt(2 * 100) = 7 %, so
    // within 20 %); radius and centre stay within five standard errors, sigma / sqrt(100) and
    // sigma * sqrt(D / 100).
    EXPECT_NEAR(CV::FitHyperSphere(exact + noise, fit, true), kSigma, 0.2 * kSigma);
    EXPECT_NEAR(fit.at<double>(D), kRadius, 5 * kSigma / 10);
    EXPECT_LT(cv::norm(fit.colRange(0, D), centre, cv::NORM_INF),
              5 * kSigma * std::sqrt(D / 100.0));

    // Single precision in, single precision out: float rounding (1e-6) of values near 10.
    cv::Mat single;
    exact.convertTo(single, CV_32F);
    CV::FitHyperSphere(single, fit, false);
    ASSERT_EQ(fit.type(), CV_32FC1);
    EXPECT_NEAR(fit.at<float>(D), kRadius, 1e-4);
  }
}

TEST(FitHyperSphere, RefusesBrokenInputWithTheConditionText) {
  cv::Mat output(1, 1, CV_8U, cv::Scalar(9));
  auto refuse = [&](const cv::Mat& spheroid, const std::string& condition) {
    ExpectRefusal([&] { CV::FitHyperSphere(spheroid, output, true); }, condition, "FitHyperSphere");
  };
  refuse(cv::Mat(10, 8, CV_64F).colRange(0, 3), "spheroid.isContinuous()");
  refuse(cv::Mat(4, 4, CV_64F), "spheroid.rows != spheroid.cols");
  const std::string layout = "(multichannel) != ((spheroid.rows > 1) == (spheroid.cols > 1))";
  refuse(cv::Mat(1, 6, CV_64F), layout);
  refuse(cv::Mat(3, 6, CV_64FC3), layout);
  // Four points of three coordinates (the fit needs five); six coordinates per point.
  EXPECT_THROW(CV::FitHyperSphere(cv::Mat(4, 3, CV_64F), output, false), cv::Exception);
  refuse(cv::Mat(20, 6, CV_64F), "point sets need 2 to 4 coordinates per point, got 6");
  EXPECT_EQ(output.at<unsigned char>(0), 9);  // nothing written
}

}  // namespace
