#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "GeometryFunctions.h"
#include "synth/PointScenes.h"

namespace CV = Tarnwell::Native::CV;

namespace {

// N points on the hypersphere (centre, radius) in D dimensions, one per row, with noise sigma.
cv::Mat HyperspherePoints(int N, const cv::Mat& centre, double radius, double sigma,
                          std::mt19937_64& rng) {
  const int D = centre.cols;
  std::normal_distribution<double> gauss(0, 1);
  cv::Mat points(N, D, CV_64F);
  for (int i = 0; i < N; ++i) {
    cv::Mat direction(1, D, CV_64F);
    for (int k = 0; k < D; ++k) direction.at<double>(k) = gauss(rng);
    cv::Mat row = centre + direction * (radius / cv::norm(direction));
    for (int k = 0; k < D; ++k) row.at<double>(k) += sigma * gauss(rng);
    row.copyTo(points.row(i));
  }
  return points;
}

TEST(FitHyperSphere, FitsCirclesSpheresAndHyperspheresInEveryLayout) {
  std::mt19937_64 rng(61);
  const double centreValues[] = {1, 2, 3, -4};
  for (int D = 2; D <= 4; ++D) {
    SCOPED_TRACE(D);
    const cv::Mat centre(1, D, CV_64F, const_cast<double*>(centreValues));
    const cv::Mat points = HyperspherePoints(100, centre, 10, 0, rng);
    cv::Mat rows, columns, channels;
    const double residual = CV::FitHyperSphere(points, rows, true);
    ASSERT_EQ(rows.size(), cv::Size(D + 1, 1));
    ASSERT_EQ(rows.type(), CV_64FC1);
    // Exact data: rounding of coordinates near 10 through a singular-value test at 1e-12.
    EXPECT_LT(cv::norm(rows.colRange(0, D), centre, cv::NORM_INF), 1e-9);
    EXPECT_NEAR(rows.at<double>(D), 10.0, 1e-9);
    EXPECT_LT(residual, 1e-9);
    EXPECT_EQ(CV::FitHyperSphere(points.t(), columns, false), 0.0);
    CV::FitHyperSphere(points.reshape(D, 100), channels, false);
    EXPECT_EQ(cv::norm(rows, columns, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(rows, channels, cv::NORM_INF), 0.0);

    // Noise sigma on 100 points: the RMS of the geometric residuals estimates sigma (relative
    // spread 1 / sqrt(2 * 100) = 7 %, so within 20 %); radius and centre coordinates have standard
    // errors of about sigma / sqrt(100) and sigma * sqrt(D / 100): five of those bound them.
    constexpr double kSigma = 0.05;
    const cv::Mat noisy = HyperspherePoints(100, centre, 10, kSigma, rng);
    cv::Mat fit;
    const double rms = CV::FitHyperSphere(noisy, fit, true);
    EXPECT_NEAR(rms, kSigma, 0.2 * kSigma);
    EXPECT_NEAR(fit.at<double>(D), 10.0, 5 * kSigma / 10);
    EXPECT_LT(cv::norm(fit.colRange(0, D), centre, cv::NORM_INF),
              5 * kSigma * std::sqrt(D / 100.0));
  }

  // A std::vector of 3-D points, and single precision kept in the output.
  const auto sphere = synth::SpherePoints({1, 2, 3}, 10, 50, 180, 0, rng);
  cv::Mat fit;
  CV::FitHyperSphere(sphere, fit, false);
  EXPECT_NEAR(fit.at<double>(3), 10, 1e-9);
  cv::Mat single;
  cv::Mat(sphere).reshape(1).convertTo(single, CV_32F);
  CV::FitHyperSphere(single, fit, false);
  ASSERT_EQ(fit.type(), CV_32FC1);
  EXPECT_NEAR(fit.at<float>(3), 10.0f, 1e-4);  // float input rounding (1e-6) of values near 10
}

TEST(FitHyperSphere, RefusesBrokenInputWithTheConditionText) {
  auto expectRefusal = [](cv::InputArray spheroid, const std::string& condition) {
    cv::Mat output(1, 1, CV_8U, cv::Scalar(9));
    try {
      CV::FitHyperSphere(spheroid, output, true);
      ADD_FAILURE() << "accepted, expected " << condition;
    } catch (const cv::Exception& e) {
      EXPECT_EQ(e.err, condition);
    }
    EXPECT_EQ(output.at<unsigned char>(0), 9);  // nothing written
  };
  const cv::Mat wide(10, 8, CV_64F, cv::Scalar(1));
  expectRefusal(wide.colRange(0, 3), "spheroid.isContinuous()");
  expectRefusal(cv::Mat(4, 4, CV_64F), "spheroid.rows != spheroid.cols");
  expectRefusal(cv::Mat(1, 6, CV_64F),
                "(multichannel) != ((spheroid.rows > 1) == (spheroid.cols > 1))");
  expectRefusal(cv::Mat(3, 6, CV_64FC3),
                "(multichannel) != ((spheroid.rows > 1) == (spheroid.cols > 1))");

  cv::Mat output;
  // Four points of three coordinates: the hyper fit needs five.
  EXPECT_THROW(CV::FitHyperSphere(cv::Mat(4, 3, CV_64F), output, false), cv::Exception);
  // Six coordinates per point.
  EXPECT_THROW(CV::FitHyperSphere(cv::Mat(20, 6, CV_64F), output, false), cv::Exception);
  EXPECT_TRUE(output.empty());
}

}  // namespace
