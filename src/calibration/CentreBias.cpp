#include "native64/CentreBias.h"

#include <array>
#include <cmath>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <string>

namespace Oskelo::CV::Native64 {
namespace {

// Rim points per dot. The fit sums a smooth periodic integrand over evenly spaced angles, which
// converges faster than any power of the spacing: on 12 plate views through the default rig, 32
// and 64 points both give the centres of 256 points to within 3e-13 px, ten orders of magnitude
// below the refinement's precision: margin enough for larger dots and stronger lenses. The
// tracking loop corrects every frame's dots, so the smaller count.
constexpr int kRimPoints = 32;
// Distortion coefficient counts that cv::projectPoints accepts.
constexpr std::array<int, 5> kDistortionCounts = {4, 5, 8, 12, 14};
// A rotation is accepted when R^T R differs from the identity by at most this in every element:
// far above the rounding of a Rodrigues conversion (1e-15), far below any real rotation error.
constexpr double kRotationTolerance = 1e-6;
// Step along each rim point's 3-D tangent (in radians of the rim's angle) for the image tangent
// by central differences. Across the step the lens model is all but linear: the difference's
// error is of order (step * radius / distance)^2, some 1e-10 of the tangent, and rounding of the
// pixels (1e-13 px) adds 1e-11 at the resulting 0.01 px spacing. Cheaper than cv::projectPoints'
// Jacobian, which also computes the derivatives in the intrinsics and distortion.
constexpr double kTangentStep = 1e-3;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

[[noreturn]] void Refuse(const std::string& what) {
  CV_Error(cv::Error::StsBadArg, "OutlineCentreBias: " + what);
}

bool Finite(const cv::Mat& m) { return cv::checkRange(m, true, nullptr, -DBL_MAX, DBL_MAX); }

template <int m, int n>
bool Finite(const cv::Matx<double, m, n>& x) {
  for (int i = 0; i < m * n; ++i) {
    if (!std::isfinite(x.val[i])) return false;
  }
  return true;
}

cv::Matx33d CheckedCameraMatrix(const cv::Mat& cameraMatrix) {
  if (cameraMatrix.dims != 2 || cameraMatrix.rows != 3 || cameraMatrix.cols != 3 ||
      cameraMatrix.channels() != 1 ||
      (cameraMatrix.depth() != CV_32F && cameraMatrix.depth() != CV_64F)) {
    Refuse("the camera matrix must be 3 x 3 of 32- or 64-bit floats");
  }
  cv::Matx33d k;
  cameraMatrix.convertTo(cv::Mat(3, 3, CV_64F, k.val), CV_64F);
  if (!Finite(k)) Refuse("the camera matrix holds NaN or infinity");
  if (!(k(0, 0) > 0.0) || !(k(1, 1) > 0.0)) {
    Refuse("the camera matrix has no positive focal lengths (not calibrated?)");
  }
  return k;
}

cv::Mat CheckedDistortion(const cv::Mat& distortion) {
  if (distortion.empty()) return cv::Mat();
  const int count = static_cast<int>(distortion.total());
  bool countKnown = false;
  for (int known : kDistortionCounts) countKnown = countKnown || count == known;
  if (distortion.dims != 2 || (distortion.rows != 1 && distortion.cols != 1) ||
      distortion.channels() != 1 ||
      (distortion.depth() != CV_32F && distortion.depth() != CV_64F) || !countKnown) {
    Refuse("the distortion must be a row or column of 4, 5, 8, 12 or 14 floats, or empty");
  }
  cv::Mat coefficients;
  distortion.reshape(1, 1).convertTo(coefficients, CV_64F);
  if (!Finite(coefficients)) Refuse("the distortion holds NaN or infinity");
  return coefficients;
}

void CheckRotation(const cv::Matx33d& rotation) {
  if (!Finite(rotation)) Refuse("the rotation holds NaN or infinity");
  const cv::Matx33d gram = rotation.t() * rotation - cv::Matx33d::eye();
  for (double g : gram.val) {
    if (std::abs(g) > kRotationTolerance) Refuse("the rotation matrix is not orthonormal");
  }
  if (cv::determinant(rotation) < 0.0) Refuse("the rotation matrix is a reflection");
}

// A unit vector perpendicular to the unit vector n.
cv::Vec3d Perpendicular(const cv::Vec3d& n) {
  const cv::Vec3d axis = std::abs(n[0]) < 0.9 ? cv::Vec3d(1, 0, 0) : cv::Vec3d(0, 1, 0);
  return cv::normalize(n.cross(axis));
}

// Centre of the conic whose dual fits the tangent lines through rim[i] along tangent[i], each
// weighted by its length (the image arc length per unit angle). NaN when the lines do not
// determine an ellipse (a dot seen edge-on).
cv::Point2d DualConicCentre(const cv::Point2d* rim, const cv::Vec2d* tangent, int count) {
  cv::Point2d mean(0, 0);
  for (int i = 0; i < count; ++i) mean += rim[i];
  mean *= 1.0 / count;
  double spread = 0.0;
  for (int i = 0; i < count; ++i) {
    const cv::Point2d d = rim[i] - mean;
    spread += d.dot(d);
  }
  const double scale = std::sqrt(spread / count);
  if (!(scale > 0.0)) return {kNaN, kNaN};

  // Lines n . x + c = 0 with unit normal n in the centred, scaled coordinates; the dual conic's
  // coefficients (A, B, C, D, E) of A a^2 + B ab + C b^2 + D ac + E bc + c^2 = 0 by weighted least
  // squares through the normal equations.
  // Only the upper triangle of the symmetric normal matrix is summed, then mirrored.
  cv::Matx<double, 5, 5> normal = cv::Matx<double, 5, 5>::zeros();
  cv::Vec<double, 5> rhs = cv::Vec<double, 5>::all(0.0);
  for (int i = 0; i < count; ++i) {
    const double length = std::sqrt(tangent[i][0] * tangent[i][0] + tangent[i][1] * tangent[i][1]);
    if (!(length > 0.0)) continue;
    const double a = -tangent[i][1] / length, b = tangent[i][0] / length;
    const cv::Point2d p = (rim[i] - mean) / scale;
    const double c = -(a * p.x + b * p.y);
    const double row[5] = {a * a, a * b, b * b, a * c, b * c};
    for (int r = 0; r < 5; ++r) {
      const double weighted = length * row[r];
      for (int q = r; q < 5; ++q) normal(r, q) += weighted * row[q];
      rhs[r] -= weighted * c * c;
    }
  }
  for (int r = 1; r < 5; ++r) {
    for (int q = 0; q < r; ++q) normal(r, q) = normal(q, r);
  }
  cv::Vec<double, 5> x;
  if (!cv::solve(normal, rhs, x, cv::DECOMP_CHOLESKY)) return {kNaN, kNaN};
  const double cx = 0.5 * x[3], cy = 0.5 * x[4];
  // For an ellipse the dual conic, scaled to C*_33 = 1, minus the centre's outer product is
  // negative definite (for a circle of radius r it is -r^2 I).
  const double sxx = x[0] - cx * cx, sxy = 0.5 * x[1] - cx * cy, syy = x[2] - cy * cy;
  if (!(sxx < 0.0 && sxx * syy - sxy * sxy > 0.0)) return {kNaN, kNaN};
  return mean + scale * cv::Point2d(cx, cy);
}

}  // namespace

std::vector<cv::Point2d> OutlineCentreBias(const cv::Mat& cameraMatrix, const cv::Mat& distortion,
                                           const cv::Matx33d& rotation,
                                           const cv::Vec3d& translation,
                                           const std::vector<cv::Point3d>& centres, double radius,
                                           const cv::Vec3d& normal) {
  const cv::Matx33d k = CheckedCameraMatrix(cameraMatrix);
  const cv::Mat coefficients = CheckedDistortion(distortion);
  CheckRotation(rotation);
  if (!Finite(translation)) Refuse("the translation holds NaN or infinity");
  if (!std::isfinite(radius) || !(radius > 0.0)) Refuse("the radius must be finite and positive");
  const double normalLength = cv::norm(normal);
  if (!std::isfinite(normalLength)) Refuse("the normal holds NaN or infinity");
  if (!(normalLength > 0.0)) Refuse("the normal has zero length");

  // The rim in the camera frame: centre + radius * (cos u + sin v), u and v spanning the plane.
  const cv::Vec3d n = rotation * (normal / normalLength);
  const cv::Vec3d u = Perpendicular(n), v = n.cross(u);
  // The nearest a rim point comes to the camera's plane z = 0 below its centre's depth.
  const double rimReach = radius * std::sqrt(std::max(0.0, 1.0 - n[2] * n[2]));
  // Projected at once: the centres, then per dot its rim points, then the same stepped forward and
  // backward along the rim's tangent.
  std::vector<cv::Point3d> inCamera(centres.size() * (3 * kRimPoints + 1));
  for (std::size_t d = 0; d < centres.size(); ++d) {
    const cv::Point3d& c = centres[d];
    if (!std::isfinite(c.x) || !std::isfinite(c.y) || !std::isfinite(c.z)) {
      Refuse("centre " + std::to_string(d) + " holds NaN or infinity");
    }
    const cv::Vec3d centre = rotation * cv::Vec3d(c.x, c.y, c.z) + translation;
    if (!(centre[2] - rimReach > 0.0)) {
      Refuse("dot " + std::to_string(d) + " is not wholly in front of the camera");
    }
    inCamera[d] = cv::Point3d(centre);
  }
  if (centres.empty()) return {};

  std::array<cv::Vec3d, kRimPoints> rimOffset, rimTangent;  // per unit angle
  for (int i = 0; i < kRimPoints; ++i) {
    const double angle = 2.0 * CV_PI * i / kRimPoints;
    const double cosA = std::cos(angle), sinA = std::sin(angle);
    rimOffset[i] = radius * (cosA * u + sinA * v);
    rimTangent[i] = radius * (cosA * v - sinA * u);
  }
  const std::size_t rimStart = centres.size();
  for (std::size_t d = 0; d < centres.size(); ++d) {
    const std::size_t first = rimStart + 3 * d * kRimPoints;
    for (int i = 0; i < kRimPoints; ++i) {
      const cv::Point3d onRim = inCamera[d] + cv::Point3d(rimOffset[i]);
      const cv::Point3d step(kTangentStep * rimTangent[i]);
      inCamera[first + i] = onRim;
      inCamera[first + kRimPoints + i] = onRim + step;
      inCamera[first + 2 * kRimPoints + i] = onRim - step;
    }
  }

  std::vector<cv::Point2d> pixels;
  const cv::Vec3d zero(0, 0, 0);  // the points are in the camera frame already
  cv::projectPoints(inCamera, zero, zero, cv::Mat(k), coefficients, pixels);

  std::vector<cv::Point2d> bias(centres.size());
  std::array<cv::Vec2d, kRimPoints> tangents;
  for (std::size_t d = 0; d < centres.size(); ++d) {
    const std::size_t first = rimStart + 3 * d * kRimPoints;
    for (int i = 0; i < kRimPoints; ++i) {
      const cv::Point2d ahead = pixels[first + kRimPoints + i];
      const cv::Point2d behind = pixels[first + 2 * kRimPoints + i];
      tangents[i] = cv::Vec2d(ahead.x - behind.x, ahead.y - behind.y) / (2.0 * kTangentStep);
    }
    bias[d] = DualConicCentre(&pixels[first], tangents.data(), kRimPoints) - pixels[d];
  }
  return bias;
}

std::vector<cv::Point2d> OutlineCentreBias(const cv::Mat& cameraMatrix, const cv::Mat& distortion,
                                           const cv::Vec3d& rotationVector,
                                           const cv::Vec3d& translation,
                                           const std::vector<cv::Point3d>& centres, double radius,
                                           const cv::Vec3d& normal) {
  if (!Finite(rotationVector)) Refuse("the rotation vector holds NaN or infinity");
  cv::Matx33d rotation;
  cv::Rodrigues(rotationVector, rotation);
  return OutlineCentreBias(cameraMatrix, distortion, rotation, translation, centres, radius,
                           normal);
}

}  // namespace Oskelo::CV::Native64
