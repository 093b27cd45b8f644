#include "native64/UnbiasedCalibration.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <string>

#include "calibration/StereoSolve.h"
#include "native64/CentreBias.h"

namespace Oskelo::CV::Native64 {
namespace {

constexpr const char* kCaller = "CalibrateUnbiased";

[[noreturn]] void Refuse(const std::string& what) {
  CV_Error(cv::Error::StsBadArg, std::string(kCaller) + ": " + what);
}

bool Finite(const cv::Mat& m) {
  return !m.empty() && cv::checkRange(m, true, nullptr, -DBL_MAX, DBL_MAX);
}

// Every matrix and RMS value of a calibration is finite: OpenCV can return NaN from views that do
// not determine the cameras, and such a result must never be handed on.
void CheckFinite(const detail::StereoSolution& s, int round) {
  const CalibrationParameters& p = s.parameters;
  const bool finite = std::isfinite(s.rmsLeft) && std::isfinite(s.rmsRight) &&
                      std::isfinite(s.rmsStereo) && Finite(p.cameraMatrixLeft) &&
                      Finite(p.cameraMatrixRight) && Finite(p.distortionLeft) &&
                      Finite(p.distortionRight) && Finite(p.rotation) && Finite(p.translation) &&
                      Finite(p.essential) && Finite(p.fundamental) && Finite(p.rectificationLeft) &&
                      Finite(p.rectificationRight) && Finite(p.projectionLeft) &&
                      Finite(p.projectionRight) && Finite(p.disparityToDepth);
  if (!finite) {
    CV_Error(cv::Error::StsNoConv, std::string(kCaller) + ": the calibration of round " +
                                       std::to_string(round) +
                                       " is not finite; the views do not determine the cameras");
  }
}

// The largest bias removed, as a share of the dot's imaged radius.
constexpr double kLargestBiasShare = 0.5;

// One camera's views corrected by the bias of the poses estimated from `current` (the centres
// the last calibration was made from) with that calibration's intrinsics.
struct CameraCorrection {
  std::vector<std::vector<cv::Point2d>> centres;  // measured minus bias
  std::vector<int> uncorrected;                   // pairs whose pose was not usable
  double depthSum = 0.0;                          // depth of the plate's centroid, summed
  int depthCount = 0;
};

CameraCorrection Correct(const std::vector<cv::Point3d>& nominal, double radius,
                         const cv::Mat& cameraMatrix, const cv::Mat& distortion,
                         const std::vector<bool>& pairUsed,
                         const std::vector<std::vector<cv::Point2d>>& measured,
                         const std::vector<std::vector<cv::Point2d>>& current) {
  cv::Point3d centroid(0, 0, 0);
  for (const cv::Point3d& p : nominal) centroid += p;
  centroid *= 1.0 / static_cast<double>(nominal.size());

  CameraCorrection correction;
  correction.centres = measured;
  for (std::size_t i = 0; i < measured.size(); ++i) {
    if (!pairUsed[i]) continue;
    cv::Vec3d rvec, tvec;
    bool posed = false;
    std::vector<cv::Point2d> bias;
    try {
      posed = cv::solvePnP(nominal, current[i], cameraMatrix, distortion, rvec, tvec) &&
              std::isfinite(cv::norm(rvec)) && std::isfinite(cv::norm(tvec));
      // A pose that puts a dot behind the camera is refused here like a non-finite one.
      if (posed) bias = OutlineCentreBias(cameraMatrix, distortion, rvec, tvec, nominal, radius);
    } catch (const cv::Exception&) {
      posed = false;
    }
    if (!posed) {
      correction.uncorrected.push_back(static_cast<int>(i));
      continue;
    }
    cv::Matx33d rotation;
    cv::Rodrigues(rvec, rotation);
    const double focal = cameraMatrix.at<double>(0, 0);
    for (std::size_t j = 0; j < bias.size(); ++j) {
      // An edge-on dot has no bias to remove (NaN), and an outline's centre lies well inside the
      // dot's image: a shift beyond half its imaged radius comes from a pose far off the truth
      // (which would only throw the next calibration off). Either keeps its measured centre.
      const double depth = (rotation * cv::Vec3d(nominal[j]) + tvec)[2];
      const double largest = kLargestBiasShare * focal * radius / depth;
      if (std::isfinite(bias[j].x) && std::isfinite(bias[j].y) && cv::norm(bias[j]) <= largest) {
        correction.centres[i][j] = measured[i][j] - bias[j];
      }
    }
    correction.depthSum += (rotation * cv::Vec3d(centroid) + tvec)[2];
    ++correction.depthCount;
  }
  return correction;
}

// The change between two calibrations in pixels: the largest change of fx, fy, cx, cy of either
// camera, and the change of the translation between the cameras as the left camera sees it at
// the plate's mean distance.
double ParameterChange(const CalibrationParameters& before, const CalibrationParameters& after,
                       double meanDistance) {
  double change = 0.0;
  for (const auto& [a, b] : {std::pair{&before.cameraMatrixLeft, &after.cameraMatrixLeft},
                             std::pair{&before.cameraMatrixRight, &after.cameraMatrixRight}}) {
    const cv::Matx33d ka(*a), kb(*b);
    for (const auto& [r, c] :
         {std::pair{0, 0}, std::pair{1, 1}, std::pair{0, 2}, std::pair{1, 2}}) {
      change = std::max(change, std::abs(kb(r, c) - ka(r, c)));
    }
  }
  if (meanDistance > 0.0 && std::isfinite(meanDistance)) {
    const double fx = after.cameraMatrixLeft.at<double>(0, 0);
    change = std::max(change, cv::norm(after.translation, before.translation) * fx / meanDistance);
  }
  return change;
}

}  // namespace

UnbiasedCalibrationResult CalibrateUnbiased(
    const Calibration& calibration, const std::vector<std::vector<cv::Point2d>>& leftCentres,
    const std::vector<std::vector<cv::Point2d>>& rightCentres,
    const UnbiasedCalibrationOptions& options) {
  const std::vector<cv::Point3d>& nominal = calibration.nominalPattern.points;
  if (leftCentres.size() != calibration.leftTargets.size() ||
      rightCentres.size() != calibration.rightTargets.size()) {
    Refuse("one list of centres per accepted pair is needed (" +
           std::to_string(calibration.leftTargets.size()) + " left, " +
           std::to_string(calibration.rightTargets.size()) + " right), given " +
           std::to_string(leftCentres.size()) + " and " + std::to_string(rightCentres.size()));
  }
  for (std::size_t i = 0; i < leftCentres.size() || i < rightCentres.size(); ++i) {
    for (const auto& [centres, side] :
         {std::pair{&leftCentres, "left"}, std::pair{&rightCentres, "right"}}) {
      if (i < centres->size() && (*centres)[i].size() != nominal.size()) {
        Refuse(std::string("the ") + side + " centres of pair " + std::to_string(i) + " are " +
               std::to_string((*centres)[i].size()) + ", the plate has " +
               std::to_string(nominal.size()) + " points");
      }
    }
  }
  if (calibration.settings == nullptr) Refuse("the calibration has no settings record");
  const double radius =
      options.dotRadius == 0.0 ? 0.5 * calibration.settings->dotDiameter : options.dotRadius;
  if (!std::isfinite(radius) || !(radius > 0.0)) {
    Refuse(
        "the dot radius must be finite and positive (options.dotRadius, or the settings' "
        "dotDiameter when it is 0)");
  }
  const cv::Size imageSize(calibration.settings->imageRect.width,
                           calibration.settings->imageRect.height);

  detail::StereoSolution solution =
      detail::SolveStereo(kCaller, nominal, leftCentres, rightCentres, imageSize);
  CheckFinite(solution, 0);

  UnbiasedCalibrationResult result;
  result.measuredParameters = solution.parameters;
  result.measuredRmsStereo = solution.rmsStereo;
  result.pairUsed = solution.pairUsed;
  result.leftTargets = leftCentres;
  result.rightTargets = rightCentres;
  for (int round = 1; round <= options.maxRounds; ++round) {
    const CalibrationParameters& p = solution.parameters;
    CameraCorrection left = Correct(nominal, radius, p.cameraMatrixLeft, p.distortionLeft,
                                    solution.pairUsed, leftCentres, result.leftTargets);
    CameraCorrection right = Correct(nominal, radius, p.cameraMatrixRight, p.distortionRight,
                                     solution.pairUsed, rightCentres, result.rightTargets);
    detail::StereoSolution next =
        detail::SolveStereo(kCaller, nominal, left.centres, right.centres, imageSize);
    CheckFinite(next, round);

    const double meanDistance =
        left.depthCount > 0 ? left.depthSum / left.depthCount : std::nan("");
    const double change = ParameterChange(solution.parameters, next.parameters, meanDistance);
    result.changePerRound.push_back(change);
    result.rounds = round;
    result.leftTargets = std::move(left.centres);
    result.rightTargets = std::move(right.centres);
    result.uncorrectedLeft = std::move(left.uncorrected);
    result.uncorrectedRight = std::move(right.uncorrected);
    solution = std::move(next);
    if (change < options.tolerancePx) {
      result.converged = true;
      break;
    }
  }
  result.parameters = solution.parameters;
  result.rmsLeft = solution.rmsLeft;
  result.rmsRight = solution.rmsRight;
  result.rmsStereo = solution.rmsStereo;
  return result;
}

}  // namespace Oskelo::CV::Native64
