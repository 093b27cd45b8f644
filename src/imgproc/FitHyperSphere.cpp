#include <cmath>

#include "cone/SphereFits.h"
#include "imgproc/PointSetLayout.h"
#include "native64/GeometryFunctions.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace Tarnwell::Native::CV {
namespace {

// RMS of |p - centre| - radius over the centred points, whose centre is centre - mean.
double GeometricRms(const cv::Mat& delta, const cv::Scalar& centredCentre, double radius) {
  double sum = 0.0;
  for (int i = 0; i < delta.rows; ++i) {
    const double* p = delta.ptr<double>(i);
    double squared = 0.0;
    for (int k = 0; k < delta.cols; ++k) {
      const double d = p[k] - centredCentre[k];
      squared += d * d;
    }
    const double residual = std::sqrt(squared) - radius;
    sum += residual * residual;
  }
  return std::sqrt(sum / delta.rows);
}

}  // namespace

// Al-Sharadqah and Chernov's hyper fit in D dimensions on the points centred on their mean.
double FitHyperSphere(cv::InputArray spheroidArray, cv::OutputArray output, bool flag) {
  const cv::Mat spheroid = spheroidArray.getMat();
  const bool multichannel = spheroid.channels() > 1;
  NATIVE64_REQUIRE(spheroid.isContinuous(), "spheroid.isContinuous()");
  NATIVE64_REQUIRE(spheroid.rows != spheroid.cols, "spheroid.rows != spheroid.cols");
  NATIVE64_REQUIRE(multichannel != ((spheroid.rows > 1) == (spheroid.cols > 1)),
                   "(multichannel) != ((spheroid.rows > 1) == (spheroid.cols > 1))");

  cv::Mat rows;
  detail::PointsAsRows(spheroid).convertTo(rows, CV_64F);
  const int D = rows.cols;
  const int n = rows.rows;
  NATIVE64_REQUIRE_COORDINATES(D);
  const cv::Mat points = rows.reshape(D, n);
  if (n < D + 2) {
    CV_Error(cv::Error::StsBadSize,
             cv::format("FitHyperSphere needs at least %d points of %d coordinates, got %d", D + 2,
                        D, n));
  }

  cv::Mat delta, deltaMag2, coefficients;
  const cv::Scalar mean = detail::CentrePoints(points, delta, deltaMag2);
  detail::FitHyperCoefficients(deltaMag2, delta, coefficients);
  cv::Scalar centre;
  double radius = 0.0;
  detail::SphereFromCoefficients(coefficients, mean, centre, radius);

  cv::Mat sphere(1, D + 1, CV_64F);
  for (int k = 0; k < D; ++k) sphere.at<double>(k) = centre[k];
  sphere.at<double>(D) = radius;
  sphere.convertTo(output, spheroid.depth());
  return flag ? GeometricRms(delta, centre - mean, radius) : 0.0;
}

}  // namespace Tarnwell::Native::CV
