#include "workflows/DotCentres.h"

#include <cmath>

#include "CommandError.h"
#include "native64/CentreBias.h"
#include "native64/DotRefinement.h"

namespace dotcal {
namespace {

using Oskelo::CV::Native64::Calibration;

cv::Matx33d Matx33(const cv::Mat& m) {
  cv::Mat d;
  m.convertTo(d, CV_64F);
  return cv::Matx33d(d.reshape(1, 3));
}

// The normal of the plane that fits `points` best: the eigenvector of their scatter matrix with
// the smallest eigenvalue.
cv::Vec3d PlaneNormal(const std::vector<cv::Point3d>& points) {
  cv::Vec3d mean(0, 0, 0);
  for (const cv::Point3d& p : points) mean += cv::Vec3d(p);
  mean *= 1.0 / static_cast<double>(points.size());
  cv::Matx33d scatter = cv::Matx33d::zeros();
  for (const cv::Point3d& p : points) {
    const cv::Vec3d d = cv::Vec3d(p) - mean;
    scatter += d * d.t();
  }
  cv::Matx31d eigenvalues;
  cv::Matx33d eigenvectors;
  cv::eigen(scatter, eigenvalues, eigenvectors);  // descending eigenvalues, vectors as rows
  return {eigenvectors(2, 0), eigenvectors(2, 1), eigenvectors(2, 2)};
}

bool AllFinite(const std::vector<cv::Point3d>& points) {
  for (const cv::Point3d& p : points) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return false;
  }
  return true;
}

}  // namespace

CentreMethod ParseCentreMethod(const std::string& name) {
  if (name == "grey") return CentreMethod::kGrey;
  if (name == "conic") return CentreMethod::kConic;
  if (name == "model") return CentreMethod::kModel;
  throw UsageError("--centres takes grey, conic or model, not '" + name + "'");
}

const char* CentreMethodName(CentreMethod method) {
  switch (method) {
    case CentreMethod::kGrey:
      return "grey";
    case CentreMethod::kConic:
      return "conic";
    case CentreMethod::kModel:
      return "model";
  }
  return "";
}

int RefineTargetCentres(const cv::Mat& image, std::vector<cv::Point2d>& dots, CentreMethod method) {
  Oskelo::CV::Native64::DotRefinementOptions options;
  options.fitGreyLevels = method == CentreMethod::kModel;
  const std::vector<Oskelo::CV::Native64::RefinedDot> refined =
      Oskelo::CV::Native64::RefineDots(image, dots, options);
  int kept = 0;
  for (std::size_t i = 0; i < dots.size(); ++i) {
    dots[i] = refined[i].centre;
    if (refined[i].flags != 0) ++kept;
  }
  return kept;
}

StereoCentres::StereoCentres(const Calibration& calibration, CentreMethod method, double dotRadius)
    : calibration_(calibration), method_(method), dotRadius_(dotRadius) {
  // Triangulation works in the rectified left camera frame, x_rectified = R1 x_left; the right
  // camera sees x_right = R x_left + T.
  leftR_ = Matx33(calibration.parameters.rectificationLeft).t();
  rightR_ = Matx33(calibration.parameters.rotation) * leftR_;
  cv::Mat t;
  calibration.parameters.translation.convertTo(t, CV_64F);
  rightT_ = cv::Vec3d(t.reshape(1, 3));
}

void StereoCentres::Triangulate(const cv::Mat& left, const cv::Mat& right,
                                std::vector<cv::Point2d>& leftDots,
                                std::vector<cv::Point2d>& rightDots,
                                std::vector<cv::Point3d>& points) {
  if (IsRefined(method_)) {
    RefineTargetCentres(left, leftDots, method_);
    RefineTargetCentres(right, rightDots, method_);
  }
  calibration_.Triangulate(leftDots, rightDots, points);
  // A plane needs 3 dots; dots that did not triangulate give no pose to correct from.
  if (method_ == CentreMethod::kGrey || points.size() < 3 || !AllFinite(points)) return;
  CorrectBias(points, leftDots, rightDots);
  calibration_.Triangulate(leftDots, rightDots, points);
}

void StereoCentres::CorrectBias(const std::vector<cv::Point3d>& points,
                                std::vector<cv::Point2d>& leftDots,
                                std::vector<cv::Point2d>& rightDots) const {
  const cv::Vec3d normal = PlaneNormal(points);
  const auto& p = calibration_.parameters;
  std::vector<cv::Point2d> leftBias, rightBias;
  try {
    leftBias =
        Oskelo::CV::Native64::OutlineCentreBias(p.cameraMatrixLeft, p.distortionLeft, leftR_,
                                                cv::Vec3d(0, 0, 0), points, dotRadius_, normal);
    rightBias = Oskelo::CV::Native64::OutlineCentreBias(
        p.cameraMatrixRight, p.distortionRight, rightR_, rightT_, points, dotRadius_, normal);
  } catch (const cv::Exception&) {
    // Dots that triangulate behind a camera (a wrong match) have no outline to correct: they
    // keep their refined centres, and the distance checks that follow judge them.
    return;
  }
  for (std::size_t i = 0; i < points.size(); ++i) {
    // A dot seen edge-on has no outline centre (NaN): it keeps its refined centre.
    if (std::isfinite(leftBias[i].x) && std::isfinite(leftBias[i].y)) leftDots[i] -= leftBias[i];
    if (std::isfinite(rightBias[i].x) && std::isfinite(rightBias[i].y))
      rightDots[i] -= rightBias[i];
  }
}

}  // namespace dotcal
