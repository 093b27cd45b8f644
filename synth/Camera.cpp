#include "synth/Camera.h"

#include <cmath>

namespace synth {
namespace {

// Newton's method stops once a step moves the ray by less than this, in normalised units
// (1e-13 x 1500 px = 1.5e-10 px); the quadratic convergence leaves the error far smaller still.
constexpr double kRayStepTolerance = 1e-13;
// Distortions of real lenses converge in about five steps; the bound only stops a divergence.
constexpr int kMaxNewtonSteps = 50;

// OpenCV's five-coefficient model: radial factor 1 + k1 r^2 + k2 r^4 + k3 r^6 and the two
// tangential terms. With a Jacobian given, also its partial derivatives, for Newton's method.
cv::Point2d Distort(const cv::Vec<double, 5>& d, double x, double y,
                    cv::Matx22d* jacobian = nullptr) {
  const double k1 = d[0], k2 = d[1], p1 = d[2], p2 = d[3], k3 = d[4];
  const double r2 = x * x + y * y;
  const double radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
  if (jacobian) {
    const double radialSlope = k1 + r2 * (2.0 * k2 + r2 * 3.0 * k3);  // d radial / d r^2
    const double cross = 2.0 * x * y * radialSlope + 2.0 * p1 * x + 2.0 * p2 * y;
    *jacobian =
        cv::Matx22d(radial + 2.0 * x * x * radialSlope + 2.0 * p1 * y + 6.0 * p2 * x, cross, cross,
                    radial + 2.0 * y * y * radialSlope + 6.0 * p1 * y + 2.0 * p2 * x);
  }
  return {x * radial + 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x),
          y * radial + p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y};
}

}  // namespace

cv::Point2d Camera::Project(const cv::Point3d& world) const {
  const cv::Vec3d c =
      camera_from_world_R * cv::Vec3d(world.x, world.y, world.z) + camera_from_world_t;
  const cv::Point2d distorted = Distort(distortion, c[0] / c[2], c[1] / c[2]);
  return {K(0, 0) * distorted.x + K(0, 2), K(1, 1) * distorted.y + K(1, 2)};
}

// Inverts the lens model by Newton's method on the two distorted coordinates, starting from the
// distorted point itself (the distortion is a small perturbation of the identity).
cv::Point2d Camera::PixelToRay(const cv::Point2d& pixel) const {
  const double wantedX = (pixel.x - K(0, 2)) / K(0, 0), wantedY = (pixel.y - K(1, 2)) / K(1, 1);
  double x = wantedX, y = wantedY;
  for (int step = 0; step < kMaxNewtonSteps; ++step) {
    cv::Matx22d J;
    const cv::Point2d d = Distort(distortion, x, y, &J);
    const double rx = d.x - wantedX, ry = d.y - wantedY;
    const double det = J(0, 0) * J(1, 1) - J(0, 1) * J(1, 0);
    const double dx = (J(1, 1) * rx - J(0, 1) * ry) / det, dy = (J(0, 0) * ry - J(1, 0) * rx) / det;
    x -= dx;
    y -= dy;
    if (dx * dx + dy * dy < kRayStepTolerance * kRayStepTolerance) break;
  }
  return {x, y};
}

}  // namespace synth
