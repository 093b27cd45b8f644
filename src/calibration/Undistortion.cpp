#include "calibration/Undistortion.h"

#include "native64/Calibration.h"

namespace Oskelo::CV::Native64 {
namespace detail {
namespace {

// The fixed-point inversion converges for the distortions of real lenses well within this count.
constexpr int kUndistortIterations = 20;
constexpr int kDistortionCoefficients = 8;

void RequireMatrix(const cv::Mat& m, int rows, int cols, const char* message) {
  if (m.type() != CV_64FC1 || m.rows != rows || m.cols != cols) {
    CV_Error(cv::Error::StsBadArg, message);
  }
}

}  // namespace

LensModel ReadLensModel(const cv::Mat& cameraMatrix, const cv::Mat& distortion) {
  RequireMatrix(cameraMatrix, 3, 3, "the camera matrix must be a 3 x 3 matrix of 64-bit floats");
  if (distortion.type() != CV_64FC1 || distortion.total() != kDistortionCoefficients ||
      !distortion.isContinuous()) {
    CV_Error(cv::Error::StsBadArg,
             "the distortion coefficients must be 8 values (k1, k2, p1, p2, k3, k4, k5, k6) of "
             "64-bit floats");
  }
  const double* d = distortion.ptr<double>();
  return LensModel{cameraMatrix.at<double>(0, 0), cameraMatrix.at<double>(1, 1),
                   cameraMatrix.at<double>(0, 2), cameraMatrix.at<double>(1, 2),
                   d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]};
}

void UndistortPixels(const std::vector<cv::Point_<double>>& points, const LensModel& lens,
                     std::vector<cv::Point_<double>>& undistorted) {
  const double ifx = 1.0 / lens.fx;
  const double ify = 1.0 / lens.fy;
  std::vector<cv::Point_<double>> result;
  result.reserve(points.size());
  for (const cv::Point_<double>& p : points) {
    const double x0 = (p.x - lens.cx) * ifx;
    const double y0 = (p.y - lens.cy) * ify;
    double u = x0;
    double v = y0;
    for (int i = 0; i < kUndistortIterations; ++i) {
      const double r2 = u * u + v * v;
      const double scale = (1 + ((lens.k6 * r2 + lens.k5) * r2 + lens.k4) * r2) /
                           (1 + ((lens.k3 * r2 + lens.k2) * r2 + lens.k1) * r2);
      const double du = 2 * lens.p1 * u * v + lens.p2 * (r2 + 2 * u * u);
      const double dv = lens.p1 * (r2 + 2 * v * v) + 2 * lens.p2 * u * v;
      u = (x0 - du) * scale;
      v = (y0 - dv) * scale;
    }
    result.emplace_back(u * lens.fx + lens.cx, v * lens.fy + lens.cy);
  }
  undistorted = std::move(result);
}

void ProjectToRectified(const std::vector<cv::Point_<double>>& points,
                        const cv::Mat& cameraMatrix, const cv::Mat& projection,
                        const cv::Mat& rectification, std::vector<cv::Point_<double>>& projected) {
  RequireMatrix(cameraMatrix, 3, 3, "the camera matrix must be a 3 x 3 matrix of 64-bit floats");
  RequireMatrix(projection, 3, 4, "the projection matrix must be a 3 x 4 matrix of 64-bit floats");
  RequireMatrix(rectification, 3, 3,
                "the rectification matrix must be a 3 x 3 matrix of 64-bit floats");
  const double fx = cameraMatrix.at<double>(0, 0);
  const double fy = cameraMatrix.at<double>(1, 1);
  const double cx = cameraMatrix.at<double>(0, 2);
  const double cy = cameraMatrix.at<double>(1, 2);
  const cv::Matx33d m = cv::Matx33d(cv::Mat(projection.colRange(0, 3) * rectification));

  std::vector<cv::Point_<double>> result;
  result.reserve(points.size());
  for (const cv::Point_<double>& p : points) {
    const double x = (p.x - cx) * (1.0 / fx);
    const double y = (p.y - cy) * (1.0 / fy);
    const double a = m(0, 0) * x + m(0, 1) * y + m(0, 2);
    const double b = m(1, 0) * x + m(1, 1) * y + m(1, 2);
    const double w = m(2, 0) * x + m(2, 1) * y + m(2, 2);
    result.emplace_back(a * (1.0 / w), b * (1.0 / w));
  }
  projected = std::move(result);
}

}  // namespace detail

void Calibration::UndistortPoints(const std::vector<cv::Point_<double>>& points,
                                  std::vector<cv::Point_<double>>& undistorted,
                                  const cv::Mat& cameraMatrix, const cv::Mat& distortion,
                                  const cv::Mat& /*rectification*/, const cv::Mat& /*projection*/) {
  detail::UndistortPixels(points, detail::ReadLensModel(cameraMatrix, distortion), undistorted);
}

void Calibration::Project(const std::vector<cv::Point_<double>>& points,
                          const cv::Mat& cameraMatrix, const cv::Mat& projection,
                          const cv::Mat& rectification,
                          std::vector<cv::Point_<double>>& projected) {
  detail::ProjectToRectified(points, cameraMatrix, projection, rectification, projected);
}

}  // namespace Oskelo::CV::Native64
