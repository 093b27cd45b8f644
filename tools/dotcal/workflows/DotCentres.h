#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "native64/Native64.h"

namespace dotcal {

// How dot centres are measured.
enum class CentreMethod {
  kGrey,   // the detector's grey-weighted centroids, as the library's calibration uses them
  kConic,  // each dot's outline fitted from its edge gradients (RefineDots), then corrected for
           // the outline's perspective bias (OutlineCentreBias) from the target's pose
  kModel,  // as kConic, the conic fit followed by the fit of the blurred dot's image to the grey
           // levels (DotRefinementOptions::fitGreyLevels): closer still, most under strong blur,
           // at about three times the cost
};

// "grey", "conic" or "model" (--centres); throws UsageError for another name.
CentreMethod ParseCentreMethod(const std::string& name);
const char* CentreMethodName(CentreMethod method);

// Whether the method refines the detector's centres (and removes their outline bias).
inline bool IsRefined(CentreMethod method) { return method != CentreMethod::kGrey; }

// Refines the dots of one target found in `image` in place, as `method` (a refined one) says; a
// dot whose fit is poor keeps its grey centre. Returns how many dots kept it.
int RefineTargetCentres(const cv::Mat& image, std::vector<cv::Point2d>& dots, CentreMethod method);

// Triangulates a planar target's dots found in both images of a calibrated rig. With a refined
// method the dots are refined, triangulated, corrected for the outline bias in each camera from the
// plane and positions of the triangulated dots, and triangulated again; the correction needs no
// marker model, so it serves pivot calibration and tracking alike.
class StereoCentres {
 public:
  // `dotRadius`: the target's dot radius in the calibration's unit.
  StereoCentres(const Oskelo::CV::Native64::Calibration& calibration, CentreMethod method,
                double dotRadius);

  // Measures the dots (in place, in the order found) and triangulates them into `points`, in the
  // rectified left camera frame.
  void Triangulate(const cv::Mat& left, const cv::Mat& right, std::vector<cv::Point2d>& leftDots,
                   std::vector<cv::Point2d>& rightDots, std::vector<cv::Point3d>& points);

  CentreMethod Method() const { return method_; }

 private:
  void CorrectBias(const std::vector<cv::Point3d>& points, std::vector<cv::Point2d>& leftDots,
                   std::vector<cv::Point2d>& rightDots) const;

  const Oskelo::CV::Native64::Calibration& calibration_;
  CentreMethod method_;
  double dotRadius_;
  // Both cameras' poses of the rectified left camera frame: x_camera = R x_rectified + t.
  cv::Matx33d leftR_, rightR_;
  cv::Vec3d rightT_;
};

}  // namespace dotcal
