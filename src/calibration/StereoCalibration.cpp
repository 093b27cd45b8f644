#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>

#include "calibration/StereoSolve.h"
#include "native64/Calibration.h"

namespace Oskelo::CV::Native64 {
namespace detail {
namespace {

// Termination of the single-camera calibrations: 30 iterations or a change below the
// double-precision machine epsilon; of the stereo calibration: 30 iterations or 1e-6.
const cv::TermCriteria kCameraCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30,
                                       2.220446049250313e-16);
const cv::TermCriteria kStereoCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-6);
constexpr int kEstimatedCoefficients = 5;  // k1, k2, p1, p2, k3
constexpr int kStoredCoefficients = 8;     // followed by k4, k5, k6 = 0

// The views that take part: pairs whose two lists each hold one usable point per nominal point.
// A NaN or infinite target (possible only in lists a host edited) makes a pair unusable: OpenCV's
// calibration would read memory it never wrote for it.
struct Views {
  std::vector<std::vector<cv::Point3f>> object;
  std::vector<std::vector<cv::Point2f>> left;
  std::vector<std::vector<cv::Point2f>> right;
};

std::vector<cv::Point2f> ToFloat(const std::vector<cv::Point_<double>>& points) {
  return std::vector<cv::Point2f>(points.begin(), points.end());
}

// Image points farther than this from the origin belong to no camera's image (sensors are a few
// thousand pixels wide); in OpenCV's camera calibration they overflow into NaN, which its LAPACK
// solver answers by ending the process.
constexpr double kLargestImageCoordinate = 1e6;

bool AllWithinReach(const std::vector<cv::Point_<double>>& points) {
  return std::all_of(points.begin(), points.end(), [](const cv::Point_<double>& p) {
    return std::abs(p.x) <= kLargestImageCoordinate && std::abs(p.y) <= kLargestImageCoordinate;
  });
}

Views UsableViews(const std::vector<cv::Point3_<double>>& nominal,
                  const std::vector<std::vector<cv::Point_<double>>>& leftTargets,
                  const std::vector<std::vector<cv::Point_<double>>>& rightTargets,
                  std::vector<bool>& pairUsed) {
  const std::vector<cv::Point3f> object(nominal.begin(), nominal.end());
  Views views;
  pairUsed.assign(std::max(leftTargets.size(), rightTargets.size()), false);
  for (std::size_t i = 0; i < leftTargets.size() && i < rightTargets.size(); ++i) {
    if (!PairUsable(nominal.size(), leftTargets[i], rightTargets[i])) continue;
    pairUsed[i] = true;
    views.object.push_back(object);
    views.left.push_back(ToFloat(leftTargets[i]));
    views.right.push_back(ToFloat(rightTargets[i]));
  }
  return views;
}

// OpenCV's five estimated coefficients followed by three zeros, the layout undistortion reads.
cv::Mat EightCoefficients(const cv::Mat& estimated) {
  CV_Assert(estimated.type() == CV_64FC1 && estimated.total() >= kEstimatedCoefficients);
  const cv::Mat flat = estimated.reshape(1, 1);  // a row or a column, as OpenCV returned it
  cv::Mat row = cv::Mat::zeros(1, kStoredCoefficients, CV_64F);
  for (int i = 0; i < kEstimatedCoefficients; ++i) {
    row.at<double>(0, i) = flat.at<double>(0, i);
  }
  return row;
}

}  // namespace

bool PairUsable(std::size_t nominalCount, const std::vector<cv::Point_<double>>& left,
                const std::vector<cv::Point_<double>>& right) {
  return left.size() == nominalCount && right.size() == nominalCount && AllWithinReach(left) &&
         AllWithinReach(right);
}

StereoSolution SolveStereo(const char* caller, const std::vector<cv::Point3_<double>>& nominal,
                           const std::vector<std::vector<cv::Point_<double>>>& leftTargets,
                           const std::vector<std::vector<cv::Point_<double>>>& rightTargets,
                           cv::Size imageSize) {
  StereoSolution solution;
  const Views views = UsableViews(nominal, leftTargets, rightTargets, solution.pairUsed);
  if (views.object.empty() || nominal.empty()) {
    CV_Error(cv::Error::StsBadArg,
             std::string(caller) +
                 ": no accumulated image pair holds all targets of the plate as finite points "
                 "within 1e6 px of the origin");
  }

  cv::Mat k1, d1, k2, d2;
  std::vector<cv::Mat> rotations, translations;  // per view; not kept
  solution.rmsLeft = cv::calibrateCamera(views.object, views.left, imageSize, k1, d1, rotations,
                                         translations, 0, kCameraCriteria);
  solution.rmsRight = cv::calibrateCamera(views.object, views.right, imageSize, k2, d2, rotations,
                                          translations, 0, kCameraCriteria);

  // Both cameras' intrinsics start from the single-camera results and are refined with the pose.
  cv::Mat r, t, e, f;
  solution.rmsStereo =
      cv::stereoCalibrate(views.object, views.left, views.right, k1, d1, k2, d2, imageSize, r, t, e,
                          f, cv::CALIB_USE_INTRINSIC_GUESS, kStereoCriteria);

  cv::Mat r1, r2, p1, p2, q;
  cv::stereoRectify(k1, d1, k2, d2, imageSize, r, t, r1, r2, p1, p2, q, cv::CALIB_ZERO_DISPARITY,
                    -1, cv::Size(0, 0), nullptr, nullptr);

  CalibrationParameters& parameters = solution.parameters;
  parameters.cameraMatrixLeft = k1;
  parameters.cameraMatrixRight = k2;
  parameters.distortionLeft = EightCoefficients(d1);
  parameters.distortionRight = EightCoefficients(d2);
  parameters.rectificationLeft = r1;
  parameters.rectificationRight = r2;
  parameters.projectionLeft = p1;
  parameters.projectionRight = p2;
  parameters.fundamental = f;
  parameters.essential = e;
  parameters.disparityToDepth = q;
  parameters.rotation = r;
  parameters.translation = t;
  return solution;
}

}  // namespace detail

void Calibration::ComputeStereoCalibration() {
  const cv::Size imageSize(settings->imageRect.width, settings->imageRect.height);
  detail::StereoSolution solution = detail::SolveStereo(
      "ComputeStereoCalibration", nominalPattern.points, leftTargets, rightTargets, imageSize);
  // Assigned only now, so that a failing call leaves the previous parameters and RMS values whole.
  rmsLeft = solution.rmsLeft;
  rmsRight = solution.rmsRight;
  rmsStereo = solution.rmsStereo;
  parameters = solution.parameters;
}

}  // namespace Oskelo::CV::Native64
