#include "native64/CalibrationUncertainty.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <string>

#include "calibration/StereoSolve.h"

namespace Oskelo::CV::Native64 {
namespace {

constexpr const char* kCaller = "EstimateCalibrationUncertainty";

// Columns of the rig parameters: each camera's fx, fy, cx, cy, k1, k2, p1, p2, k3, then the
// rotation vector and T of the right camera's pose; a view's plate pose follows in a view's block.
constexpr int kIntrinsics = 9;
constexpr int kLeftCol = 0;
constexpr int kRightCol = kIntrinsics;
constexpr int kRotationCol = 2 * kIntrinsics;
constexpr int kTranslationCol = kRotationCol + 3;
constexpr int kRig = kTranslationCol + 3;  // 24
constexpr int kPose = 6;                   // a view's rotation vector and translation
constexpr int kPoseCol = kRig;             // in a view's block of columns
constexpr int kViewBlock = kRig + kPose;

// cv::projectPoints's Jacobian columns: rotation vector, translation, fx fy, cx cy, distortion.
constexpr int kProjRotation = 0;
constexpr int kProjTranslation = 3;
constexpr int kProjIntrinsics = 6;

// Gauss-Newton steps of a view's plate pose with the rig fixed; it starts from cv::solvePnP in
// the left image, a few hundredths of a pixel from the two-image minimum, and converges in two.
constexpr int kPoseSteps = 4;

// Rig parameters below this share of the largest eigenvalue of the scaled normal matrix are
// taken as undetermined: double precision leaves about 1e-16, and a determined calibration's
// smallest scaled eigenvalue lies far above 1e-6.
constexpr double kMinEigenShare = 1e-12;

[[noreturn]] void Refuse(const std::string& what) {
  CV_Error(cv::Error::StsBadArg, std::string(kCaller) + ": " + what);
}

// One camera's model as cv::projectPoints takes it.
struct CameraModel {
  cv::Mat K;  // 3 x 3, 64-bit
  cv::Mat D;  // 1 x 5: k1, k2, p1, p2, k3
};

bool Finite(const cv::Mat& m) {
  return !m.empty() && cv::checkRange(m, true, nullptr, -DBL_MAX, DBL_MAX);
}

cv::Mat Double(const cv::Mat& m) {
  cv::Mat d;
  m.convertTo(d, CV_64F);
  return d;
}

CameraModel ModelOf(const cv::Mat& cameraMatrix, const cv::Mat& distortion, const char* name) {
  if (cameraMatrix.rows != 3 || cameraMatrix.cols != 3 || distortion.total() < 5 ||
      !Finite(cameraMatrix) || !Finite(distortion)) {
    Refuse(std::string("the ") + name + " camera's parameters are missing or not finite");
  }
  CameraModel model{Double(cameraMatrix), Double(distortion.reshape(1, 1).colRange(0, 5))};
  if (!(model.K.at<double>(0, 0) > 0.0 && model.K.at<double>(1, 1) > 0.0)) {
    Refuse(std::string("the ") + name + " camera has no focal length: calibrate first");
  }
  return model;
}

// The rig as the solve parameterised it.
struct Rig {
  CameraModel left, right;
  cv::Mat rotation;     // rotation vector of R, 3 x 1
  cv::Mat translation;  // T, 3 x 1
};

Rig RigOf(const CalibrationParameters& p) {
  Rig rig{ModelOf(p.cameraMatrixLeft, p.distortionLeft, "left"),
          ModelOf(p.cameraMatrixRight, p.distortionRight, "right"), cv::Mat(), cv::Mat()};
  if (p.rotation.rows != 3 || p.rotation.cols != 3 || p.translation.total() != 3 ||
      !Finite(p.rotation) || !Finite(p.translation)) {
    Refuse("the pose between the cameras is missing or not finite");
  }
  cv::Rodrigues(Double(p.rotation), rig.rotation);
  rig.translation = Double(p.translation).reshape(1, 3);
  return rig;
}

// The residuals (measured minus projected, left image's coordinates first) and their Jacobian
// (of the projections, 4n x kViewBlock) of one view with plate pose (rvec, tvec).
struct ViewLinearisation {
  cv::Mat residuals;  // 4n x 1
  cv::Mat jacobian;   // 4n x kViewBlock
};

cv::Mat PointsAsColumn(const std::vector<cv::Point2d>& points) {
  return cv::Mat(points, true).reshape(1, static_cast<int>(2 * points.size()));
}

ViewLinearisation Linearise(const Rig& rig, const std::vector<cv::Point3d>& object,
                            const std::vector<cv::Point2d>& left,
                            const std::vector<cv::Point2d>& right, const cv::Mat& rvec,
                            const cv::Mat& tvec) {
  const int n2 = static_cast<int>(2 * object.size());
  ViewLinearisation out{cv::Mat(2 * n2, 1, CV_64F), cv::Mat::zeros(2 * n2, kViewBlock, CV_64F)};

  // Left image: the plate pose and the left intrinsics.
  std::vector<cv::Point2d> projected;
  cv::Mat jl;
  cv::projectPoints(object, rvec, tvec, rig.left.K, rig.left.D, projected, jl);
  out.residuals.rowRange(0, n2) = PointsAsColumn(left) - PointsAsColumn(projected);
  jl.colRange(kProjRotation, kProjIntrinsics)
      .copyTo(out.jacobian(cv::Rect(kPoseCol, 0, kPose, n2)));
  jl.colRange(kProjIntrinsics, kProjIntrinsics + kIntrinsics)
      .copyTo(out.jacobian(cv::Rect(kLeftCol, 0, kIntrinsics, n2)));

  // Right image: the plate pose composed with the right camera's (x_r = R (R_v x + t_v) + T).
  cv::Mat r3, t3, dr3dr1, dr3dt1, dr3dr2, dr3dt2, dt3dr1, dt3dt1, dt3dr2, dt3dt2;
  cv::composeRT(rvec, tvec, rig.rotation, rig.translation, r3, t3, dr3dr1, dr3dt1, dr3dr2, dr3dt2,
                dt3dr1, dt3dt1, dt3dr2, dt3dt2);
  cv::Mat jr;
  cv::projectPoints(object, r3, t3, rig.right.K, rig.right.D, projected, jr);
  out.residuals.rowRange(n2, 2 * n2) = PointsAsColumn(right) - PointsAsColumn(projected);
  const cv::Mat dRot = jr.colRange(kProjRotation, kProjTranslation);
  const cv::Mat dTrans = jr.colRange(kProjTranslation, kProjIntrinsics);
  cv::Mat pose, stereo;
  cv::hconcat(dRot * dr3dr1 + dTrans * dt3dr1, dRot * dr3dt1 + dTrans * dt3dt1, pose);
  cv::hconcat(dRot * dr3dr2 + dTrans * dt3dr2, dRot * dr3dt2 + dTrans * dt3dt2, stereo);
  pose.copyTo(out.jacobian(cv::Rect(kPoseCol, n2, kPose, n2)));
  stereo.copyTo(out.jacobian(cv::Rect(kRotationCol, n2, kPose, n2)));
  jr.colRange(kProjIntrinsics, kProjIntrinsics + kIntrinsics)
      .copyTo(out.jacobian(cv::Rect(kRightCol, n2, kIntrinsics, n2)));
  return out;
}

// A view's plate pose with the rig fixed, at the minimum of its residuals in both images.
void FitPlatePose(const Rig& rig, const std::vector<cv::Point3d>& object,
                  const std::vector<cv::Point2d>& left, const std::vector<cv::Point2d>& right,
                  cv::Mat& rvec, cv::Mat& tvec) {
  if (!cv::solvePnP(object, left, rig.left.K, rig.left.D, rvec, tvec)) {
    Refuse("the plate pose of a view cannot be estimated");
  }
  for (int step = 0; step < kPoseSteps; ++step) {
    const ViewLinearisation view = Linearise(rig, object, left, right, rvec, tvec);
    const cv::Mat jv = view.jacobian.colRange(kPoseCol, kViewBlock);
    cv::Mat delta;
    if (!cv::solve(jv, view.residuals, delta, cv::DECOMP_CHOLESKY | cv::DECOMP_NORMAL)) {
      Refuse("the plate pose of a view is undetermined");
    }
    rvec += delta.rowRange(0, 3);
    tvec += delta.rowRange(3, 6);
  }
}

// The inverse of a symmetric positive-definite matrix, scaled to a unit diagonal first (the
// parameters' units differ by many orders of magnitude); refuses one that is singular.
cv::Mat InverseOfNormalMatrix(const cv::Mat& normal) {
  cv::Mat scale(normal.rows, 1, CV_64F);
  for (int i = 0; i < normal.rows; ++i) {
    const double d = normal.at<double>(i, i);
    if (!(d > 0.0)) Refuse("the views do not constrain every parameter of the rig");
    scale.at<double>(i) = 1.0 / std::sqrt(d);
  }
  const cv::Mat scaling = cv::Mat::diag(scale);
  const cv::Mat scaled = scaling * normal * scaling;
  cv::Mat eigenvalues;
  cv::eigen(scaled, eigenvalues);
  double lowest = 0.0, highest = 0.0;
  cv::minMaxLoc(eigenvalues, &lowest, &highest);
  if (!(lowest > kMinEigenShare * highest)) {
    Refuse("the views leave the rig's parameters undetermined");
  }
  return scaling * scaled.inv(cv::DECOMP_CHOLESKY) * scaling;
}

double StdDev(const cv::Mat& covariance, int i) { return std::sqrt(covariance.at<double>(i, i)); }

double Median(std::vector<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

}  // namespace

CalibrationUncertainty EstimateCalibrationUncertainty(const Calibration& calibration) {
  const Rig rig = RigOf(calibration.parameters);
  const std::vector<cv::Point3d>& object = calibration.nominalPattern.points;
  cv::Point3d plateCentre(0, 0, 0);
  for (const cv::Point3d& p : object) plateCentre += p / static_cast<double>(object.size());

  // Each view's plate pose is eliminated from the normal equations by its Schur complement:
  // S = sum over views of (A_rr - A_rv A_vv^-1 A_vr), the information on the rig alone.
  cv::Mat normal = cv::Mat::zeros(kRig, kRig, CV_64F);
  double squares = 0.0;
  CalibrationUncertainty u;
  std::vector<double> depths;
  const std::size_t pairs =
      std::min(calibration.leftTargets.size(), calibration.rightTargets.size());
  for (std::size_t i = 0; i < pairs; ++i) {
    const auto& left = calibration.leftTargets[i];
    const auto& right = calibration.rightTargets[i];
    if (object.empty() || !detail::PairUsable(object.size(), left, right)) continue;
    cv::Mat rvec, tvec;
    FitPlatePose(rig, object, left, right, rvec, tvec);
    const ViewLinearisation view = Linearise(rig, object, left, right, rvec, tvec);
    const cv::Mat a = view.jacobian.t() * view.jacobian;
    const cv::Mat arr = a(cv::Rect(0, 0, kRig, kRig));
    const cv::Mat arv = a(cv::Rect(kPoseCol, 0, kPose, kRig));
    const cv::Mat avv = a(cv::Rect(kPoseCol, kPoseCol, kPose, kPose));
    normal += arr - arv * avv.inv(cv::DECOMP_CHOLESKY) * arv.t();
    squares += view.residuals.dot(view.residuals);
    u.observations += view.residuals.rows;
    ++u.views;

    cv::Mat rotation;
    cv::Rodrigues(rvec, rotation);
    const cv::Mat centre = rotation * cv::Mat(plateCentre) + tvec;
    depths.push_back(centre.at<double>(2));
  }
  if (u.views == 0) Refuse("no pair holds all targets of the plate as finite points");
  u.parameters = kRig + kPose * u.views;
  if (u.observations <= u.parameters) Refuse("too few dots for the parameters they determine");

  const double variance = squares / (u.observations - u.parameters);
  if (!std::isfinite(variance)) Refuse("the residuals of the views are not finite");
  u.centreNoisePx = std::sqrt(variance);
  u.covariance = variance * InverseOfNormalMatrix(normal);
  if (!Finite(u.covariance)) Refuse("the covariance of the rig is not finite");
  for (int k = 0; k < kIntrinsics; ++k) {
    u.left[k] = StdDev(u.covariance, kLeftCol + k);
    u.right[k] = StdDev(u.covariance, kRightCol + k);
  }
  for (int k = 0; k < 3; ++k) {
    u.rotation[k] = StdDev(u.covariance, kRotationCol + k);
    u.translation[k] = StdDev(u.covariance, kTranslationCol + k);
  }
  // |T| changes along T's direction only, to first order.
  const cv::Mat direction = rig.translation / cv::norm(rig.translation);
  const cv::Mat covT = u.covariance(cv::Rect(kTranslationCol, kTranslationCol, 3, 3));
  u.baseline = std::sqrt(cv::Mat(direction.t() * covT * direction).at<double>(0));

  // The working volume at the plate's median depth: the image centre and the worst corner.
  u.medianDistance = Median(depths);
  const cv::Rect image = calibration.settings->imageRect;
  const double right = image.width - 1.0, bottom = image.height - 1.0;
  u.atCentre = TriangulatedPointUncertainty(calibration.parameters, u.covariance, u.centreNoisePx,
                                            {right / 2.0, bottom / 2.0}, u.medianDistance);
  if (!std::isfinite(u.atCentre.total)) Refuse("the centre ray's point is not finite");
  // A corner whose ray the lens model cannot follow (no finite point) is left out.
  for (const cv::Point2d corner : {cv::Point2d(0, 0), cv::Point2d(right, 0), cv::Point2d(0, bottom),
                                   cv::Point2d(right, bottom)}) {
    const PointUncertainty p = TriangulatedPointUncertainty(
        calibration.parameters, u.covariance, u.centreNoisePx, corner, u.medianDistance);
    if (std::isfinite(p.total) && p.total > u.atCorner.total) u.atCorner = p;
  }
  return u;
}

PointUncertainty TriangulatedPointUncertainty(const CalibrationParameters& parameters,
                                              const cv::Mat& covariance, double centreNoisePx,
                                              cv::Point2d leftPixel, double depth) {
  const Rig rig = RigOf(parameters);
  if (covariance.rows != kRig || covariance.cols != kRig || covariance.type() != CV_64F ||
      !Finite(covariance)) {
    Refuse("the covariance must be a finite 24 x 24 matrix of 64-bit floats");
  }
  if (!(std::isfinite(centreNoisePx) && centreNoisePx >= 0.0 && std::isfinite(depth) &&
        depth > 0.0 && std::isfinite(leftPixel.x) && std::isfinite(leftPixel.y))) {
    Refuse("the centre noise, the pixel and the depth must be finite, the depth positive");
  }

  // The point on the pixel's ray (undistorted to convergence, not OpenCV's default 5 steps).
  std::vector<cv::Point2d> normalised;
  cv::undistortPoints(
      std::vector<cv::Point2d>{leftPixel}, normalised, rig.left.K, rig.left.D, cv::noArray(),
      cv::noArray(), cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12));
  const cv::Point3d point(normalised[0].x * depth, normalised[0].y * depth, depth);

  // The two projections' Jacobians: h (4 x 24) on the rig's parameters, g (4 x 3) on the point.
  // The left camera's frame is the world's, so there the point's Jacobian is the translation's.
  const std::vector<cv::Point3d> points{point};
  std::vector<cv::Point2d> projected;
  cv::Mat jl, jr;
  cv::projectPoints(points, cv::Mat::zeros(3, 1, CV_64F), cv::Mat::zeros(3, 1, CV_64F), rig.left.K,
                    rig.left.D, projected, jl);
  cv::projectPoints(points, rig.rotation, rig.translation, rig.right.K, rig.right.D, projected, jr);
  cv::Mat h = cv::Mat::zeros(4, kRig, CV_64F), g(4, 3, CV_64F);
  jl.colRange(kProjIntrinsics, kProjIntrinsics + kIntrinsics)
      .copyTo(h(cv::Rect(kLeftCol, 0, kIntrinsics, 2)));
  jr.colRange(kProjIntrinsics, kProjIntrinsics + kIntrinsics)
      .copyTo(h(cv::Rect(kRightCol, 2, kIntrinsics, 2)));
  jr.colRange(kProjRotation, kProjIntrinsics).copyTo(h(cv::Rect(kRotationCol, 2, kPose, 2)));
  jl.colRange(kProjTranslation, kProjIntrinsics).copyTo(g.rowRange(0, 2));
  cv::Mat rotation;
  cv::Rodrigues(rig.rotation, rotation);
  g.rowRange(2, 4) = jr.colRange(kProjTranslation, kProjIntrinsics) * rotation;

  // The optimal triangulation moves the point by (g^T g)^-1 g^T (du - h dtheta) to first order.
  const cv::Mat solve = (g.t() * g).inv(cv::DECOMP_CHOLESKY) * g.t();
  const cv::Mat measured =
      h * covariance * h.t() + centreNoisePx * centreNoisePx * cv::Mat::eye(4, 4, CV_64F);
  const cv::Mat pointCovariance = solve * measured * solve.t();

  PointUncertainty out;
  out.point = point;
  for (int k = 0; k < 3; ++k) out.sigma[k] = StdDev(pointCovariance, k);
  out.total = std::sqrt(cv::trace(pointCovariance)[0]);
  return out;
}

}  // namespace Oskelo::CV::Native64
