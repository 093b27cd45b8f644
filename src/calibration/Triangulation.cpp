#include <opencv2/calib3d.hpp>

#include "calibration/Undistortion.h"
#include "native64/Calibration.h"

namespace Oskelo::CV::Native64 {
namespace {

// Image points of one camera as a 2 x n matrix of 32-bit floats (row 0: x, row 1: y).
cv::Mat ToPointMatrix(const std::vector<cv::Point_<double>>& points) {
  cv::Mat matrix(2, static_cast<int>(points.size()), CV_32F);
  float* xs = matrix.ptr<float>(0);
  float* ys = matrix.ptr<float>(1);
  for (std::size_t i = 0; i < points.size(); ++i) {
    xs[i] = static_cast<float>(points[i].x);
    ys[i] = static_cast<float>(points[i].y);
  }
  return matrix;
}

// A new object holds zero matrices of 32-bit floats; a calibration replaces them with 64-bit ones.
bool HoldsCalibration(const CalibrationParameters& p) {
  for (const cv::Mat* m : {&p.cameraMatrixLeft, &p.cameraMatrixRight, &p.distortionLeft,
                           &p.distortionRight, &p.rectificationLeft, &p.rectificationRight,
                           &p.projectionLeft, &p.projectionRight}) {
    if (m->empty() || m->depth() != CV_64F) return false;
  }
  return true;
}

}  // namespace

void Calibration::Triangulate(const std::vector<cv::Point_<double>>& left,
                              const std::vector<cv::Point_<double>>& right,
                              std::vector<cv::Point3_<double>>& points) const {
  points.clear();
  if (left.empty() || left.size() != right.size()) {
    CV_Error(cv::Error::StsUnmatchedSizes,
             "Triangulate: the left and right point lists must be non-empty and of equal length");
  }
  if (!HoldsCalibration(parameters)) {
    CV_Error(cv::Error::StsError,
             "Triangulate: no stereo calibration has been computed (call "
             "ComputeStereoCalibration first)");
  }
  const CalibrationParameters& p = parameters;

  // Free both cameras' points of lens distortion, then carry them into the rectified images.
  std::vector<cv::Point_<double>> correctedLeft;
  std::vector<cv::Point_<double>> correctedRight;
  UndistortPoints(left, correctedLeft, p.cameraMatrixLeft, p.distortionLeft, p.rectificationLeft,
                  p.projectionLeft);
  UndistortPoints(right, correctedRight, p.cameraMatrixRight, p.distortionRight,
                  p.rectificationRight, p.projectionRight);
  Project(correctedLeft, p.cameraMatrixLeft, p.projectionLeft, p.rectificationLeft, correctedLeft);
  Project(correctedRight, p.cameraMatrixRight, p.projectionRight, p.rectificationRight,
          correctedRight);

  cv::Mat homogeneous;
  cv::triangulatePoints(p.projectionLeft, p.projectionRight, ToPointMatrix(correctedLeft),
                        ToPointMatrix(correctedRight), homogeneous);

  points.reserve(left.size());
  const float* xs = homogeneous.ptr<float>(0);
  const float* ys = homogeneous.ptr<float>(1);
  const float* zs = homogeneous.ptr<float>(2);
  const float* ws = homogeneous.ptr<float>(3);
  for (std::size_t i = 0; i < left.size(); ++i) {
    points.emplace_back(static_cast<double>(xs[i] / ws[i]), static_cast<double>(ys[i] / ws[i]),
                        static_cast<double>(zs[i] / ws[i]));
  }
}

}  // namespace Oskelo::CV::Native64
